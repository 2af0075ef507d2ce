#include "requests/auxiliary.h"

#include "forms/controls.h"
#include "mime/message.h"
#include "net/smtp.h"
#include "platform/desktop.h"
#include "requests/dispatch.h"
#include "util/debug_log.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

std::string TestMessageFlagPath() {
    return PathOfF(SettingsFileName()) + TestMessageFlagFileName;
}

namespace {
// Marks where the distribution tag goes in the test message's text.
constexpr const char* DistInfoMarker = "\xFE";

// Clears the flag however the send ends, so that the next request's SMTP events count again.
class TAuxSendScope {
public:
    TAuxSendScope() { ProgramState().AuxSend = true; }
    ~TAuxSendScope() { ProgramState().AuxSend = false; }
    TAuxSendScope(const TAuxSendScope&) = delete;
    TAuxSendScope& operator=(const TAuxSendScope&) = delete;
};
} // namespace

TAuxiliaryMessages::TAuxiliaryMessages(Desktop& desktop, TAuxiliaryControls controls, TmsMessage& message,
                                       TmsSMTP& smtp, TRequestDispatcher& dispatcher,
                                       std::function<void()> saveNewsletterSetting)
    : desktop_(desktop), c_(controls), message_(message), smtp_(smtp), dispatcher_(dispatcher),
      saveNewsletterSetting_(std::move(saveNewsletterSetting)) {}

bool TAuxiliaryMessages::SendAuxiliaryMessage(bool newsletter, const std::string& recipient, const std::string& subject,
                                              const std::string& body) {
    TAuxSendScope scope;
    try {
        message_.Recipients.Clear();
        message_.CC.Clear();
        message_.BCC.Clear();
        message_.Recipients.Add(recipient, "");
        if (newsletter)
            message_.BCC.Add(NewsletterRequestAddress, NewsletterRequestName);
        message_.Subject = CutAtCharacter(subject, kMaxShortText);
        message_.Body.clear();
        message_.Body.push_back(body);
        message_.Attachments.Clear();
        message_.Sender.Address = CutAtCharacter(c_.txtEmail.Text(), kMaxShortText);
        smtp_.Server = c_.txtSMTP.Text();
        if (ProgramState().DontSend) {
            dispatcher_.ShowInsteadOfSending();
            return true;
        }
        if (PrepareTransport)
            PrepareTransport();
        smtp_.Connect();
        smtp_.Send();
        return true;
    } catch (...) {
        return false;
    }
}

void TAuxiliaryMessages::SendTestMessageOnce() {
    // Don't-send mode keeps everything off the network; the test message waits for a real send.
    if (ProgramState().DontSend || FileExists(TestMessageFlagPath()))
        return;
    std::string text;
    try {
        text = ReadFileString(LocalPath(TestMessageTextFileName));
    } catch (const std::exception&) {
        // As silent as a failed send: the next successful request tries again.
        return;
    }
    // Each marker once: a tag that holds the marker byte itself must not loop.
    text = ReplaceEach(DistInfoMarker, text, ProgramState().DistInfo);

    auto& prefs = ProgramState().Prefs;
    if (!SendAuxiliaryMessage(prefs.NewsLetterRequest == 2, c_.txtEmail.Text(), TestMessageSubject, text))
        return;
    WriteFileString(desktop_, TestMessageFlagPath(), " ");
    prefs.NewsLetterRequest = 3;
    if (!saveNewsletterSetting_)
        return;
    try {
        saveNewsletterSetting_();
    } catch (const std::exception& e) {
        // The request before it was sent; its queue clean-up must still run.
        ReportError(desktop_, "SendTestMessageOnce", e.what());
    }
}

std::string TAuxiliaryMessages::FriendBody() const {
    // A missing or unreadable text only shortens the note; the note still goes out.
    std::string middle;
    try {
        middle = ReadFileString(LocalPath(FriendTextFileName));
    } catch (const std::exception&) {
    }
    return "From: " + c_.txtMyName.Text() + "   To: " + c_.txtFName.Text() + "\r\n\n" + middle + "\r\n\n" +
           c_.txtMyName.Text();
}

void TAuxiliaryMessages::btnFSendClick() {
    // A send may be under way (its waits keep the window alive): this one waits for its turn.
    dispatcher_.Serialize([this] {
        const bool showOnly = ProgramState().DontSend;
        if (SendAuxiliaryMessage(false, c_.txtFemail.Text(), FriendSubject, FriendBody())) {
            if (!showOnly)
                ShowMessageBox(desktop_, "Message sent.", 4, MB_OK);
        } else {
            ShowMessageBox(desktop_, "Problem sending message. Try again later", 1, MB_OK);
        }
    });
}

} // namespace ostrel
