// The desktop program: a resident tray utility that turns copied URLs into request mails.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <clocale>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "forms/application.h"
#include "qt/form_view.h"
#include "qt/icons.h"
#include "qt/qt_desktop.h"
#include "shell/ostrel_app.h"
#include "shell/program_folder.h"
#include "util/text.h"
#include "util/debug_log.h"
#include "util/program_state.h"

using namespace ostrel;

namespace {
bool HaveDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}
} // namespace

int main(int argc, char** argv) {
    if (!HaveDisplay()) {
        std::fprintf(stderr, "ostrel: no graphical display (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                             "Start it from a desktop session, or use the command-line front end: "
                             "ostrel-cli --help\n");
        return 1;
    }
    // A Wayland compositor tells only the focused window of clipboard changes, and a program
    // that sits in the tray never has the focus. Where the session also offers an X server
    // (Xwayland), the program runs there, as other clipboard tools do: Xwayland passes the copies
    // of Wayland programs on to the X clipboard.
    const char* x = std::getenv("DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (x && *x && !(platform && *platform))
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    std::setlocale(LC_TIME, "");

    const std::string exePath = QCoreApplication::applicationFilePath().toStdString();
    try {
        ProgramState().LocalRoot = PrepareProgramFolder(exePath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel: %s\n", e.what());
        QMessageBox::critical(nullptr, "Ostrel", QString::fromUtf8(e.what()));
        return 1;
    }
    try {
        WriteDebugLog("Started Ostrel");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel: %s\n", e.what());
    }
    Application().Title = "Ostrel";
    Application().HelpFile = "help/index.html";
    QApplication::setApplicationName("Ostrel");
    QApplication::setWindowIcon(OstrelIcon("bright"));

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);

    QtDesktop desktop;
    auto ostrel = std::make_unique<TOstrelApp>(desktop, exePath, args);
    if (!ostrel->CheckSingleInstance())
        return 0;
    // The main window's view is made the first time the window is shown (the desktop makes a
    // form's view on first need): a program that sits in the tray carries no hidden window of a
    // hundred widgets, and starts sooner.
    // Another copy was started: raise this one's window if the user has it open; a program
    // that sits in the tray stays there.
    desktop.OnActivateRequest = [&] {
        if (ostrel->Form().Visible())
            desktop.BringToFront(ostrel->Form());
    };
    ostrel->FormCreate();
    // A quit asked for while start-up showed a question (the installer's flag, Unload) is
    // honoured here: the application's loop would not see it.
    if (!ostrel->QuitRequested()) {
        ostrel->CreateStartupWindows();
#ifdef __GLIBC__
        // Start-up reads and parses files and builds what the first events need; give the heap
        // it freed back to the system once the program sits idle in the tray.
        QTimer::singleShot(0, [] { ::malloc_trim(0); });
#endif
        QApplication::exec();
    }
    ostrel->FormDestroy();
    desktop.ForgetView(ostrel->Form());
    ostrel.reset();
    return 0;
}
