#pragma once

#include <functional>
#include <string>

namespace ostrel {

class Desktop;
class Secrets;
class TfrmProps;
struct TPrefs;

// Whether the preferences may be kept: a split into pieces needs a piece size above 0.
bool IsLegalChunkSize(const TPrefs& prefs);

// The texts of SMTPSecurity, by the index of cboSecurity.
inline constexpr const char* SecurityNames[] = {"None", "STARTTLS", "TLS"};
// The index of a stored SMTPSecurity: a missing key is None (settings from before encryption
// keep working), except on a first run, where STARTTLS is preselected; an unknown word never
// means less protection than STARTTLS.
int SecurityIndexOf(const std::string& stored, bool firstRun);
// The texts of Protocol in [Mailbox], by the index of cboMailProtocol.
inline constexpr const char* MailProtocolNames[] = {"None", "IMAP", "POP3"};
// The index of a stored [Mailbox] Protocol (unknown or missing: None) and Security (missing:
// TLS; an unknown word never means less protection than TLS... except a stored None).
int MailProtocolIndexOf(const std::string& stored);
int MailSecurityIndexOf(const std::string& stored);
// The minutes between fetches: Interval read as a number, 10 when missing or not one, 0 for
// fetching only by hand, at most a day.
int MailIntervalOf(const std::string& text);

inline constexpr const char* kSettingsNotLoaded =
    "The settings could not be read when Ostrel started, so the window does not show them and "
    "nothing was saved: the stored settings are kept as they are. Mend what start-up reported, "
    "then use Unload and start Ostrel again.";

// The settings store: OSTREL.INI on one side, the main window's controls and the preference
// variables on the other.
class TSettingsStore {
public:
    TSettingsStore(Desktop& desktop, TfrmProps& form) : desktop_(desktop), form_(form) {}

    // Called after Enabled is loaded (the tray icon follows it) and by the control refresh
    // (the server selection follows the binary format).
    std::function<void()> OnRefreshTrayIcon;
    std::function<void()> OnRefreshServerSelection;
    // Where the SMTP password goes; set by the shell.
    Secrets* PasswordStore = nullptr;

    // Sets Loaded once every key has been read.
    void LoadSettings();
    // Whether the window holds the stored settings; until then nothing the window shows is
    // saved over them.
    bool Loaded() const { return loaded_; }
    // Raises EIniFileError when a key cannot be written; the keys after it are not written.
    void SaveSettings();
    void SaveTipSettings();
    void SaveNewsletterSetting();
    // Writes SMTPTrustedCert alone (the answer to the certificate question).
    void SaveTrustedCertSetting();
    // Writes TrustedCert of [Mailbox] alone.
    void SaveMailboxTrustedCertSetting();
    // Keeps the text of the password field in the password store, empties the field and says
    // on the page where it went; false (with a message) when it could not be kept.
    bool StorePassword();
    // Reports the first empty required field and shows the window on "My Details".
    bool ValidateRequiredFields();
    void ControlRefresh();
    // Puts the preference variables into the Preferences controls (once, at start-up).
    void SetPreferenceControls();

    void btnOkClick();
    void btnCancelClick();

private:
    bool ValidateField(class TEdit& field, class TLabel& label);
    bool ValidateMailbox();
    bool StoreSecret(class TEdit& field, class TLabel* where, const std::string& account);
    Desktop& desktop_;
    TfrmProps& form_;
    bool loaded_ = false;
};

} // namespace ostrel
