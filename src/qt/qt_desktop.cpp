#include "qt/qt_desktop.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFileDialog>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "forms/form.h"
#include "qt/form_view.h"
#include "qt/icons.h"
#include "qt/notifier.h"
#ifdef OSTREL_HAVE_WAYLAND
#include "qt/wayland_clipboard.h"
#endif
#include "util/program_state.h"

namespace ostrel {

namespace {
QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }

QString InstanceKey(const std::string& name) { return QString("ostrel-%1-%2").arg(::getuid()).arg(Q(name)); }

QMessageBox::Icon IconOf(unsigned flags) {
    switch (flags & 0xF0) {
    case MB_ICONHAND:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONASTERISK:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

// Runs a message box, keeping it above the program's other windows, and maps its answer to
// the classic identifiers. A box closed by Quit answers IDCANCEL.
int QtDesktop::RunBox(QMessageBox& box, const std::map<QAbstractButton*, int>& ids) {
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    openBoxes_.push_back(&box);
    box.exec();
    openBoxes_.erase(std::find(openBoxes_.begin(), openBoxes_.end(), &box));
    auto it = ids.find(box.clickedButton());
    return it == ids.end() ? IDCANCEL : it->second;
}

QtDesktop::QtDesktop() : notifier_(new TNotifier(this)) {
    trayClock_.start();
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
        // A change the program made itself is not news; nor one the Wayland clipboard reports.
        if (settingClipboard_ || !clipboardListener_ || FollowsWayland())
            return;
        auto listener = clipboardListener_;
        listener();
    });
#ifdef OSTREL_HAVE_WAYLAND
    // On Xwayland the X clipboard sees the copies of Wayland programs only while an X window has
    // the focus, and natively Qt sees them only while one of its own windows has it. Where the
    // compositor offers data-control, the Wayland selection is followed directly instead.
    const QString platform = QGuiApplication::platformName();
    if (platform == "xcb" || platform == "wayland") {
        wayland_ = TWaylandClipboard::Open(
            [this] {
                if (!clipboardListener_ || !FollowsWayland())
                    return;
                auto listener = clipboardListener_;
                listener();
            },
            this);
    }
#endif
}

bool QtDesktop::FollowsWayland() const {
#ifdef OSTREL_HAVE_WAYLAND
    return wayland_ && wayland_->Active();
#else
    return false;
#endif
}

QtDesktop::~QtDesktop() {
    for (auto& [id, tray] : trays_)
        delete tray;
    for (auto& [form, view] : views_)
        form->OnDestroy = nullptr;
    views_.clear();
    if (listenFd_ >= 0)
        ::close(listenFd_);
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

int QtDesktop::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    QMessageBox box(IconOf(flags), Q(caption), Q(text));
    std::map<QAbstractButton*, int> ids;
    auto add = [&](QMessageBox::StandardButton b, int id) { ids[box.addButton(b)] = id; };
    switch (flags & 0x0F) {
    case MB_OKCANCEL:
        add(QMessageBox::Ok, IDOK);
        add(QMessageBox::Cancel, IDCANCEL);
        break;
    case MB_ABORTRETRYIGNORE:
        add(QMessageBox::Abort, IDABORT);
        add(QMessageBox::Retry, IDRETRY);
        add(QMessageBox::Ignore, IDIGNORE);
        break;
    case MB_YESNOCANCEL:
        add(QMessageBox::Yes, IDYES);
        add(QMessageBox::No, IDNO);
        add(QMessageBox::Cancel, IDCANCEL);
        break;
    case MB_YESNO:
        add(QMessageBox::Yes, IDYES);
        add(QMessageBox::No, IDNO);
        break;
    case MB_RETRYCANCEL:
        add(QMessageBox::Retry, IDRETRY);
        add(QMessageBox::Cancel, IDCANCEL);
        break;
    default:
        add(QMessageBox::Ok, IDOK);
        break;
    }
    return RunBox(box, ids);
}

int QtDesktop::MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons, int helpContext) {
    static const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical, QMessageBox::Information,
                                              QMessageBox::Question, QMessageBox::NoIcon};
    static const char* const titles[] = {"Warning", "Error", "Information", "Confirm", "Ostrel"};
    const auto t = static_cast<size_t>(type);
    QMessageBox box(icons[t], titles[t], Q(text));
    std::map<QAbstractButton*, int> ids;
    const struct {
        unsigned flag;
        QMessageBox::StandardButton button;
        int id;
    } all[] = {{mbYes, QMessageBox::Yes, IDYES},       {mbNo, QMessageBox::No, IDNO},
               {mbOK, QMessageBox::Ok, IDOK},          {mbCancel, QMessageBox::Cancel, IDCANCEL},
               {mbAbort, QMessageBox::Abort, IDABORT}, {mbRetry, QMessageBox::Retry, IDRETRY},
               {mbIgnore, QMessageBox::Ignore, IDIGNORE}};
    for (const auto& b : all)
        if (buttons & b.flag)
            ids[box.addButton(b.button)] = b.id;
    if (buttons & mbHelp) {
        // Help opens the page and leaves the question on screen.
        QAbstractButton* help = box.addButton(QMessageBox::Help);
        help->disconnect();
        connect(help, &QAbstractButton::clicked, this, [this, helpContext] { ShowHelp(helpContext); });
    }
    if (ids.empty())
        ids[box.addButton(QMessageBox::Ok)] = IDOK;
    return RunBox(box, ids);
}

void QtDesktop::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

std::string QtDesktop::ClipboardText() {
#ifdef OSTREL_HAVE_WAYLAND
    if (FollowsWayland())
        return wayland_->Text();
#endif
    return QGuiApplication::clipboard()->text().toUtf8().toStdString();
}

void QtDesktop::SetClipboardText(const std::string& text) {
#ifdef OSTREL_HAVE_WAYLAND
    // X programs of the session take the Wayland selection through Xwayland.
    if (FollowsWayland())
        return wayland_->SetText(text);
#endif
    settingClipboard_ = true;
    QGuiApplication::clipboard()->setText(Q(text));
    ProcessMessages();
    settingClipboard_ = false;
}

void QtDesktop::SetClipboardListener(std::function<void()> onChange) { clipboardListener_ = std::move(onChange); }

bool QtDesktop::TrayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool QtDesktop::TrayAdd(const TTrayIconData& icon) {
    if (trays_.count(icon.ID) || !TrayAvailable())
        return false;
    auto* tray = new QSystemTrayIcon(OstrelIcon(icon.Icon));
    tray->setObjectName("TaskIcon1");
    tray->setToolTip(Q(icon.Tip));
    const int id = icon.ID;
    connect(tray, &QSystemTrayIcon::activated, this, [this, id](QSystemTrayIcon::ActivationReason reason) {
        if (!trayListener_)
            return;
        // The program counts a double click as two clicks and the double click itself, in the
        // order a Windows notification area reports them (up, double click, up). Qt reports
        // each press of the first click, but on X11 the second press only as the double click:
        // its click is added here unless it was reported already.
        const qint64 now = trayClock_.elapsed();
        switch (reason) {
        case QSystemTrayIcon::Trigger:
            previousTrayClick_ = lastTrayClick_;
            lastTrayClick_ = now;
            trayListener_(id, TTrayEvent::LButtonUp);
            break;
        case QSystemTrayIcon::DoubleClick: {
            const bool bothReported =
                previousTrayClick_ >= 0 && now - previousTrayClick_ <= 2 * QApplication::doubleClickInterval();
            previousTrayClick_ = lastTrayClick_ = -1;
            trayListener_(id, TTrayEvent::LButtonDblClk);
            if (!bothReported)
                trayListener_(id, TTrayEvent::LButtonUp);
            break;
        }
        case QSystemTrayIcon::Context:
            trayListener_(id, TTrayEvent::RButtonUp);
            break;
        default:
            break;
        }
    });
    connect(tray, &QSystemTrayIcon::messageClicked, this, [this] { OpenWithDesktop(balloonOpens_); });
    tray->show();
    trays_[id] = tray;
    return true;
}

bool QtDesktop::TrayModify(const TTrayIconData& icon) {
    auto it = trays_.find(icon.ID);
    if (it == trays_.end())
        return false;
    it->second->setIcon(OstrelIcon(icon.Icon));
    it->second->setToolTip(Q(icon.Tip));
    return true;
}

bool QtDesktop::TrayDelete(int id) {
    auto it = trays_.find(id);
    if (it == trays_.end())
        return false;
    it->second->hide();
    it->second->deleteLater();
    trays_.erase(it);
    return true;
}

void QtDesktop::SetTrayListener(std::function<void(int, TTrayEvent)> onEvent) { trayListener_ = std::move(onEvent); }

void QtDesktop::Beep(unsigned) { QApplication::beep(); }

bool QtDesktop::OpenDocument(const std::string& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
}

void QtDesktop::Notify(const std::string& title, const std::string& text, const std::string& openPath) {
    const QString t = Q(title), body = Q(text), path = Q(openPath);
    if (!notifier_->Send(t, body, path, [this, t, body, path] { ShowBalloon(t, body, path); }))
        ShowBalloon(t, body, path);
}

void QtDesktop::ShowBalloon(const QString& title, const QString& text, const QString& openPath) {
    if (trays_.empty())
        return; // nowhere to show it: the program's own messages still tell
    balloonOpens_ = openPath;
    trays_.begin()->second->showMessage(title, text, QSystemTrayIcon::Information, 10000);
}

int QtDesktop::SetTimer(int intervalMs, std::function<void()> onTick) {
    auto* timer = new QTimer(this);
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, std::move(onTick));
    timer->start();
    const int id = nextTimer_++;
    timers_[id] = timer;
    return id;
}

void QtDesktop::KillTimer(int id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    it->second->stop();
    it->second->deleteLater();
    timers_.erase(it);
}

// The pointer and the screen in the models' units (see ModelScale).
TPoint QtDesktop::CursorPos() {
    const QPoint p = QCursor::pos();
    const double scale = ModelScale();
    return {static_cast<int>(std::lround(p.x() / scale)), static_cast<int>(std::lround(p.y() / scale))};
}

TSize QtDesktop::ScreenSize() {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect r = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    const double scale = ModelScale();
    return {static_cast<int>(std::lround(r.width() / scale)), static_cast<int>(std::lround(r.height() / scale))};
}

std::string QtDesktop::HelpPage(int context) {
    const std::string page = context == 0 ? "index" : "ctx" + std::to_string(context);
    return LocalPath("help/" + page + ".html");
}

void QtDesktop::ShowHelp(int context) {
    std::string page = HelpPage(context);
    if (!QFile::exists(Q(page)))
        page = HelpPage(0);
    QDesktopServices::openUrl(QUrl::fromLocalFile(Q(page)));
}

namespace {
// The lock and the socket of one user's copy of a program file live side by side, in the
// session's runtime folder where there is one.
std::string InstancePath(const std::string& name, const char* suffix) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime && *runtime ? runtime : "/tmp";
    return folder + "/" + InstanceKey(name).toStdString() + suffix;
}
} // namespace

namespace {
// A Unix socket at path, or -1 with errno when the path does not fit or the call fails.
int UnixSocket(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}
} // namespace

bool QtDesktop::AcquireInstanceLock(const std::string& name) {
    const std::string path = InstancePath(name, ".lock");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // no lock can be taken: better two copies than none
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    // Listen for later copies that ask this one to show itself. A plain socket watched by the
    // event loop does it without a network library in memory for the whole run.
    const std::string socketPath = InstancePath(name, ".sock");
    sockaddr_un address;
    const int listener = UnixSocket(socketPath, address);
    if (listener < 0)
        return true;
    ::unlink(socketPath.c_str()); // left by a copy that did not end cleanly; we hold the lock
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0) {
        ::close(listener);
        return true;
    }
    ::chmod(socketPath.c_str(), 0600);
    listenFd_ = listener;
    activation_ = new QSocketNotifier(listener, QSocketNotifier::Read, this);
    connect(activation_, &QSocketNotifier::activated, this, [this] {
        bool asked = false;
        for (int client; (client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            ::close(client); // the connection is the request; what it says does not matter
            asked = true;
        }
        if (asked && OnActivateRequest)
            OnActivateRequest();
    });
    return true;
}

void QtDesktop::ActivatePreviousInstance(const std::string& name) {
    sockaddr_un address;
    const int fd = UnixSocket(InstancePath(name, ".sock"), address);
    if (fd < 0)
        return;
    // A local connect is taken or refused at once; a full backlog refuses rather than blocks.
    // The running copy may close the connection before reading: no SIGPIPE for that.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        (void)::send(fd, "activate\n", 9, MSG_NOSIGNAL);
    ::close(fd);
}

bool QtDesktop::StartProgram(const std::string& path, const std::vector<std::string>& args) {
    QStringList list;
    for (const auto& a : args)
        list << Q(a);
    return QProcess::startDetached(Q(path), list);
}

// The program has decided to end (Unload, the installer's flag, a restart): the loops stop
// without asking the windows, whose close request means "hide" (the main window refuses it while
// it is open, which made a quit with the window open do nothing). The application's loop does
// not stop before it runs, and the program's start-up runs before it, showing questions and
// windows in loops of their own: those are ended here, and the program does not enter its loop
// once it has been asked to quit.
void QtDesktop::Quit() {
    quitRequested_ = true;
    for (QMessageBox* box : openBoxes_)
        box->reject();
    for (QEventLoop* loop : modalLoops_)
        loop->quit();
    QCoreApplication::exit(0);
}

TFormView& QtDesktop::ViewOf(TForm& form) {
    auto it = views_.find(&form);
    if (it == views_.end()) {
        it = views_.emplace(&form, std::make_unique<TFormView>(form, *this)).first;
        form.OnDestroy = [this, &form] { views_.erase(&form); };
    }
    return *it->second;
}

void QtDesktop::ForgetView(TForm& form) {
    form.OnDestroy = nullptr;
    views_.erase(&form);
}

void QtDesktop::BringToFront(TForm& form) {
    TFormView& view = ViewOf(form);
    if (view.isVisible()) {
        view.raise();
        view.activateWindow();
    }
}

void QtDesktop::SetTopmost(TForm& form, bool topmost) { ViewOf(form).SetTopmost(topmost); }

int QtDesktop::ShowModal(TForm& form) {
    form.ModalResult = 0;
    if (quitRequested_)
        return IDCANCEL; // the program is ending: no window comes up any more
    TFormView& view = ViewOf(form);
    view.setWindowModality(Qt::ApplicationModal);
    form.Show();
    QEventLoop loop;
    // The form closes by hiding itself (a button with a modal result, Close, Escape).
    QTimer watch;
    watch.setInterval(20);
    connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!form.Visible())
            loop.quit();
    });
    watch.start();
    modalLoops_.push_back(&loop);
    loop.exec();
    modalLoops_.erase(std::find(modalLoops_.begin(), modalLoops_.end(), &loop));
    view.setWindowModality(Qt::NonModal);
    if (quitRequested_) {
        form.Hide();
        return IDCANCEL;
    }
    return form.ModalResult;
}

std::vector<std::string> QtDesktop::OpenFileNames(const std::string& title, const std::string& filter) {
    const QStringList picked = QFileDialog::getOpenFileNames(QApplication::activeWindow(), QString::fromStdString(title),
                                                             QString(), QString::fromStdString(filter));
    std::vector<std::string> names;
    for (const QString& name : picked)
        names.push_back(name.toStdString());
    return names;
}

} // namespace ostrel
