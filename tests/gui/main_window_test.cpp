// The main window as Qt draws it: every control present under its own name, model and widgets
// in step both ways, the tray icon's clicks, the hidden keys and the default button.

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QtTest>
#include <deque>

#include "decoder/decoder_wizard.h"
#include "qt/form_view.h"
#include "qt/qt_desktop.h"
#include "shell/ostrel_app.h"
#include "support/test_support.h"
#include "util/debug_log.h"
#include "util/program_state.h"
#include "util/progress_window.h"
#include "util/tip_window.h"

using namespace ostrel;

namespace {
// The real Qt desktop, except for what a test must script: answers to questions, and a
// notification area (the offscreen platform has none).
class ScriptedDesktop : public QtDesktop {
public:
    std::deque<int> Answers;
    std::vector<std::string> Questions;
    std::map<int, TTrayIconData> Tray;
    std::vector<int> Help;
    std::function<void(int, TTrayEvent)> TrayListener;

    int MessageBox(const std::string& text, const std::string&, unsigned) override { return Answer(text); }
    int MessageDlg(const std::string& text, TMsgDlgType, TMsgDlgButtons, int) override { return Answer(text); }
    bool TrayAdd(const TTrayIconData& icon) override {
        Tray[icon.ID] = icon;
        return true;
    }
    bool TrayModify(const TTrayIconData& icon) override {
        Tray[icon.ID] = icon;
        return true;
    }
    bool TrayDelete(int id) override { return Tray.erase(id) > 0; }
    bool TrayAvailable() override { return true; }
    void SetTrayListener(std::function<void(int, TTrayEvent)> onEvent) override { TrayListener = std::move(onEvent); }
    void ShowHelp(int context) override { Help.push_back(context); }

private:
    int Answer(const std::string& text) {
        Questions.push_back(text);
        if (Answers.empty())
            return IDNO;
        int a = Answers.front();
        Answers.pop_front();
        return a;
    }
};
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<test::ProgramFolder> folder_;
    std::unique_ptr<ScriptedDesktop> desk_;
    std::unique_ptr<TOstrelApp> app_;
    TFormView* view_ = nullptr;

    template <typename W> W* Widget(const char* name) {
        W* w = view_->findChild<W*>(name);
        if (!w)
            qFatal("no widget named %s", name);
        return w;
    }

private slots:
    void init() {
        folder_ = std::make_unique<test::ProgramFolder>();
        for (const char* f : {"uservers.da2", "Suggest.Ini", "nbinary.ext", "unbinary.txt", "HotList.Dat", "tips.dat"})
            folder_->CopyData(f);
        folder_->Write("config/ostrel/OSTREL.INI",
                       "[General]\r\nEmail=me@example.org\r\nNewsLetterRequest=1\r\nTipEnabled=0\r\n"
                       "[Servers]\r\nSMTP=127.0.0.1:9\r\n");
        desk_ = std::make_unique<ScriptedDesktop>();
        WriteDebugLog("Started Ostrel");
        app_ = std::make_unique<TOstrelApp>(*desk_, folder_->Path() + "ostrel", std::vector<std::string>{});
        view_ = &desk_->ViewOf(app_->Form());
        app_->FormCreate();
        desk_->Questions.clear();
    }

    void cleanup() {
        app_->FormDestroy();
        desk_->ForgetView(app_->Form());
        app_.reset();
        desk_.reset();
        folder_.reset();
    }

    void everyControlHasItsWidget() {
        for (TControl* c : app_->Form().AllControls()) {
            QWidget* w = view_->findChild<QWidget*>(QString::fromStdString(c->Name()));
            QVERIFY2(w, c->Name().c_str());
        }
        // Captions go in as the program writes them; "&" marks the mnemonic.
        QCOMPARE(Widget<QPushButton>("btnOk")->text(), QString("&Ok"));
        QCOMPARE(Widget<QCheckBox>("chkCheckHistory")->text(), QString("Don't &repeat requests"));
        QCOMPARE(Widget<QTabWidget>("PageControl1")->count(), 10);
    }

    void modelAndWidgetsFollowEachOther() {
        auto* email = Widget<QLineEdit>("txtEmail");
        QCOMPARE(email->text(), QString("me@example.org"));
        email->clear();
        QTest::keyClicks(email, "you@example.org");
        QCOMPARE(app_->Form().txtEmail.Text(), std::string("you@example.org"));
        app_->Form().chkNever.SetChecked(true);
        QVERIFY(Widget<QCheckBox>("chkNever")->isChecked());
        Widget<QCheckBox>("chkNever")->click();
        QVERIFY(!app_->Form().chkNever.Checked());
        Widget<QRadioButton>("optConfirm_0")->click();
        QCOMPARE(app_->Form().optConfirm.ItemIndex(), 0);
        // What is typed as the password reaches the model but is never shown.
        auto* password = Widget<QLineEdit>("txtPassword");
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        QTest::keyClicks(password, "s3cret");
        QCOMPARE(app_->Form().txtPassword.Text(), std::string("s3cret"));
        QTest::keyClick(Widget<QComboBox>("cboSecurity"), Qt::Key_End);
        QCOMPARE(app_->Form().cboSecurity.Text(), std::string("TLS"));
    }

    void trayClicksToggleTheState() {
        QVERIFY(desk_->TrayListener);
        QCOMPARE(desk_->Tray.at(0).Tip, std::string("Ostrel"));
        desk_->TrayListener(0, TTrayEvent::LButtonUp);
        QCOMPARE(app_->Form().optEnabled.ItemIndex(), 1);
        QVERIFY(Widget<QRadioButton>("optEnabled_1")->isChecked());
        QCOMPARE(desk_->Tray.at(0).Tip, std::string("(Ostrel)"));
        QCOMPARE(desk_->Tray.at(0).Icon, std::string("dim"));
        desk_->TrayListener(3, TTrayEvent::LButtonUp); // not our icon
        QCOMPARE(app_->Form().optEnabled.ItemIndex(), 1);
        desk_->TrayListener(0, TTrayEvent::LButtonDblClk);
        QCOMPARE(app_->Form().optEnabled.ItemIndex(), 1);
        desk_->TrayListener(0, TTrayEvent::LButtonUp);
        QCOMPARE(desk_->Tray.at(0).Tip, std::string("Ostrel"));
        QCOMPARE(desk_->Tray.at(0).Icon, std::string("bright"));
        QVERIFY(!view_->isVisible());
        desk_->TrayListener(0, TTrayEvent::RButtonUp);
        QVERIFY(view_->isVisible());
    }

    // Keys go where the user's keys go: to the widget with the focus.
    QWidget* FocusTarget() { return QApplication::focusWidget() ? QApplication::focusWidget() : view_; }

    void hiddenKeysAskFirst() {
        app_->TaskIcon1RightClick();
        QVERIFY(QTest::qWaitForWindowExposed(view_));
        desk_->Answers = {IDNO};
        QTest::keyClick(FocusTarget(), Qt::Key_A, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(!desk_->Questions.empty());
        QCOMPARE(desk_->Questions.back(), std::string("Super debug status is: OFF. Change?"));
        QVERIFY(!ProgramState().SuperDebug);
        desk_->Answers = {IDYES};
        QTest::keyClick(FocusTarget(), Qt::Key_A, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(ProgramState().SuperDebug);
        desk_->Answers = {IDYES};
        QTest::keyClick(FocusTarget(), Qt::Key_1, Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(desk_->Questions.back(), std::string("Don't send mode is: OFF. Change?"));
        QVERIFY(ProgramState().DontSend);
        ProgramState().SuperDebug = ProgramState().DontSend = false;
    }

    void theDefaultButtonMovesWithThePage() {
        auto* tabs = Widget<QTabWidget>("PageControl1");
        tabs->setCurrentWidget(Widget<QWidget>("tbsHot"));
        QVERIFY(Widget<QPushButton>("btnRequest")->isDefault());
        QVERIFY(!Widget<QPushButton>("btnGo")->isDefault());
        tabs->setCurrentWidget(Widget<QWidget>("TabSheet1"));
        QVERIFY(Widget<QPushButton>("btnGo")->isDefault());
        QVERIFY(!Widget<QPushButton>("btnRequest")->isDefault());
    }

    void f1OpensTheHelpOfTheFocusedControl() {
        app_->TaskIcon1RightClick();
        QVERIFY(QTest::qWaitForWindowExposed(view_));
        auto* tabs = Widget<QTabWidget>("PageControl1");
        tabs->setCurrentWidget(Widget<QWidget>("TabSheet2"));
        auto* smtp = Widget<QLineEdit>("txtSMTP");
        smtp->setFocus();
        QTest::keyClick(smtp, Qt::Key_F1);
        QVERIFY(!desk_->Help.empty());
        QCOMPARE(desk_->Help.back(), 2001);
    }

    // A direct request's parts are kept apart by a byte no font draws: the lists show it as a
    // bar, and a UTF-8 character that holds the same byte stays itself.
    void listsShowTheDirectRequestSeparatorReadably() {
        auto* hot = Widget<QListWidget>("lstHot");
        QString direct;
        for (int i = 0; i < hot->count(); ++i)
            if (hot->item(i)->text().contains("mailserver:"))
                direct = hot->item(i)->text();
        QVERIFY2(direct.contains("mailserver:www4mail@example.org | help | help"), qPrintable(direct));
        app_->Form().lstQueue.AddItem("mailserver:r@x\x9FStra\xC3\x9F" "e\x9F" "body");
        QCOMPARE(Widget<QListWidget>("lstQueue")->item(0)->text(),
                 QString::fromUtf8("mailserver:r@x | Stra\xC3\x9F" "e | body"));
    }

    // What a search finds further down the hot list is scrolled into sight.
    void aFoundHotListEntryIsInSight() {
        app_->TaskIcon1RightClick();
        QVERIFY(QTest::qWaitForWindowExposed(view_));
        Widget<QTabWidget>("PageControl1")->setCurrentWidget(Widget<QWidget>("tbsHot"));
        auto* hot = Widget<QListWidget>("lstHot");
        app_->Form().txtLookFor.SetText("direct mail");
        app_->HotList().btnSearchClick();
        QCoreApplication::processEvents();
        QVERIFY(hot->currentRow() > 10);
        QVERIFY(hot->viewport()->rect().intersects(hot->visualItemRect(hot->currentItem())));
    }

    // The label of a send shows "..." and the end of the URL: that end stays readable however
    // wide the font draws it.
    void theProgressLabelKeepsTheEndOfTheUrl() {
        TfrmProgress progress(*desk_);
        progress.Label1.SetCaption("...WWWWWWWWWWWWWWWWWWWWWWW/W.zip");
        progress.Show();
        QCoreApplication::processEvents();
        auto* label = desk_->ViewOf(progress).findChild<QLabel*>("Label1");
        QVERIFY(label);
        QVERIFY2(label->text().endsWith("W/W.zip"), qPrintable(label->text()));
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width());
        progress.Hide();
    }

    // With OSTREL_SCREENSHOTS set to a folder, every page is saved there as a picture.
    void screenshotsOfEveryPage() {
        const QString folder = qEnvironmentVariable("OSTREL_SCREENSHOTS");
        if (folder.isEmpty())
            QSKIP("OSTREL_SCREENSHOTS not set");
        QDir().mkpath(folder);
        app_->TaskIcon1RightClick();
        auto* tabs = Widget<QTabWidget>("PageControl1");
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            QCoreApplication::processEvents();
            QVERIFY(
                view_->grab().save(QString("%1/page%2-%3.png").arg(folder).arg(i).arg(tabs->widget(i)->objectName())));
        }
        // The small windows, drawn by the same view.
        TfrmProgress progress(*desk_);
        progress.Label1.SetCaption("...example.com/files/archive.zip");
        progress.ProgressBar1.SetPosition(40);
        progress.Show();
        TfrmTips tips(*desk_, [] {});
        tips.Show();
        TfrmDecode wizard(*desk_);
        wizard.FormCreate();
        wizard.Show();
        QCoreApplication::processEvents();
        QVERIFY(desk_->ViewOf(progress).grab().save(folder + "/progress.png"));
        QVERIFY(desk_->ViewOf(tips).grab().save(folder + "/tips.png"));
        QVERIFY(desk_->ViewOf(wizard).grab().save(folder + "/decoder.png"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
