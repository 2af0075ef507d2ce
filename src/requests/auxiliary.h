#pragma once

#include <functional>
#include <string>

namespace ostrel {

class Desktop;
class TEdit;
class TmsMessage;
class TmsSMTP;
class TRequestDispatcher;

// The newsletter list's request service. An example address: the list service that goes with
// a real distribution replaces it here, and nowhere else.
inline constexpr const char* NewsletterRequestAddress = "newsletter-request@example.org";
inline constexpr const char* NewsletterRequestName = "Brismark Newsletter Request";

inline constexpr const char* TestMessageTextFileName = "Test Message.Txt";
// Kept beside the settings file, where it belongs to the user: a flag in whatever folder the
// program happened to be started from would send the test message again from every other one.
inline constexpr const char* TestMessageFlagFileName = "Test Message.Flg";
std::string TestMessageFlagPath();
inline constexpr const char* FriendTextFileName = "Friend.Txt";

inline constexpr const char* TestMessageSubject = "Test Message from your copy of Ostrel";
inline constexpr const char* FriendSubject = "Using this \"Ostrel\" software";

// The main-window controls that the mails other than requests read.
struct TAuxiliaryControls {
    TEdit& txtEmail;
    TEdit& txtSMTP;
    TEdit& txtFName;
    TEdit& txtFemail;
    TEdit& txtMyName;
};

// Mails that are not requests: the one-time test message to the user (which carries the
// newsletter subscription as a blind copy) and the tell-a-friend note. They share the program's
// one message and SMTP client with request dispatch, but never reach the history, the queue or
// the progress window.
class TAuxiliaryMessages {
public:
    // saveNewsletterSetting writes the newsletter setting to the settings file.
    TAuxiliaryMessages(Desktop& desktop, TAuxiliaryControls controls, TmsMessage& message, TmsSMTP& smtp,
                       TRequestDispatcher& dispatcher, std::function<void()> saveNewsletterSetting);

    // Sends one mail from the user's address through the user's SMTP server; true when the
    // server took it. Never raises and reports nothing.
    bool SendAuxiliaryMessage(bool newsletter, const std::string& recipient, const std::string& subject,
                              const std::string& body);
    // After a successful request: the test message, unless it has gone out before. Never
    // raises, so the request's own follow-up (queue clean-up and run) always happens.
    void SendTestMessageOnce();
    // The "Send" button of the Friend page.
    void btnFSendClick();

    // The tell-a-friend body for the current fields and Friend.Txt.
    std::string FriendBody() const;

    // Sets up the SMTP client from the settings before a send (as for requests).
    std::function<void()> PrepareTransport;

private:
    Desktop& desktop_;
    TAuxiliaryControls c_;
    TmsMessage& message_;
    TmsSMTP& smtp_;
    TRequestDispatcher& dispatcher_;
    std::function<void()> saveNewsletterSetting_;
};

} // namespace ostrel
