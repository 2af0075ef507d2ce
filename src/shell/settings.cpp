#include "shell/settings.h"

#include <algorithm>

#include "platform/desktop.h"
#include "platform/secrets.h"
#include "shell/main_form.h"
#include "util/debug_log.h"
#include "util/form_helpers.h"
#include "util/ini_file.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

int SecurityIndexOf(const std::string& stored, bool firstRun) {
    const std::string word = UpperCase(Trim(stored));
    if (word.empty())
        return firstRun ? 1 : 0;
    for (int i = 0; i < 3; ++i)
        if (word == UpperCase(SecurityNames[i]))
            return i;
    WriteDebugLog("Unknown SMTPSecurity " + stored + ", STARTTLS used");
    return 1;
}

int MailProtocolIndexOf(const std::string& stored) {
    const std::string word = UpperCase(Trim(stored));
    for (int i = 0; i < 3; ++i)
        if (word == UpperCase(MailProtocolNames[i]))
            return i;
    if (!word.empty())
        WriteDebugLog("Unknown mailbox Protocol " + stored + ", None used");
    return 0;
}

int MailSecurityIndexOf(const std::string& stored) {
    const std::string word = UpperCase(Trim(stored));
    for (int i = 0; i < 3; ++i)
        if (word == UpperCase(SecurityNames[i]))
            return i;
    if (!word.empty())
        WriteDebugLog("Unknown mailbox Security " + stored + ", TLS used");
    return 2;
}

int MailIntervalOf(const std::string& text) {
    const std::string t = Trim(text);
    if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 6)
        return 10;
    return std::min(VBVal(t), 24 * 60);
}

bool IsLegalChunkSize(const TPrefs& prefs) { return prefs.ChunkSize > 0 || !prefs.Chunks; }

void TSettingsStore::LoadSettings() {
    TIniFile ini(SettingsFileName());
    auto& prefs = ProgramState().Prefs;
    SetStage(1001, false);
    form_.txtEmail.SetText(ini.ReadString("General", "Email", ""));
    SetStage(1002, false);
    const std::string smtp = ini.ReadString("Servers", "SMTP", "");
    form_.txtSMTP.SetText(smtp);
    // No server yet means the user has never completed this page: a first run.
    form_.cboSecurity.SetItemIndex(SecurityIndexOf(ini.ReadString("Servers", "SMTPSecurity", ""), smtp.empty()));
    form_.txtUser.SetText(ini.ReadString("Servers", "SMTPUser", ""));
    // A password typed but not saved goes with the other unsaved changes.
    form_.txtPassword.SetText("");
    prefs.SMTPTrustedCert = ini.ReadString("Servers", "SMTPTrustedCert", "");
    form_.cboMailProtocol.SetItemIndex(MailProtocolIndexOf(ini.ReadString("Mailbox", "Protocol", "")));
    form_.txtMailServer.SetText(ini.ReadString("Mailbox", "Server", ""));
    form_.cboMailSecurity.SetItemIndex(MailSecurityIndexOf(ini.ReadString("Mailbox", "Security", "")));
    form_.txtMailUser.SetText(ini.ReadString("Mailbox", "User", ""));
    form_.txtMailPassword.SetText("");
    const std::string folder = Trim(ini.ReadString("Mailbox", "Folder", ""));
    form_.txtMailFolder.SetText(folder.empty() ? "INBOX" : folder);
    form_.txtMailInterval.SetText(std::to_string(MailIntervalOf(ini.ReadString("Mailbox", "Interval", ""))));
    form_.chkMailDelete.SetChecked(ini.ReadBool("Mailbox", "Delete", false));
    prefs.MailboxTrustedCert = ini.ReadString("Mailbox", "TrustedCert", "");
    SetStage(1003, false);
    form_.optConfirm.SetItemIndex(ini.ReadInteger("General", "Confirm", 2));
    SetStage(1004, false);
    prefs.prefBinaryFormat = ini.ReadInteger("General", "prefBinaryFormat", 1);
    if (prefs.prefBinaryFormat < 0)
        prefs.prefBinaryFormat = 1;
    SetStage(1005, false);
    prefs.ChunkSize = ini.ReadInteger("General", "ChunkSize", 60);
    prefs.Chunks = ini.ReadBool("General", "Chunks", false);
    SetStage(1006, false);
    int enabled = ini.ReadInteger("General", "Enabled", 0);
    if (enabled > 1)
        enabled = 0;
    form_.optEnabled.SetItemIndex(enabled < 0 ? -1 : enabled);
    if (OnRefreshTrayIcon)
        OnRefreshTrayIcon();
    SetStage(1007, false);
    form_.chkCheckHistory.SetChecked(ini.ReadBool("General", "CheckHistory", true));
    form_.chkNotEnabled.SetChecked(ini.ReadBool("General", "chkNotEnabled", false));
    form_.chkOnFailure.SetChecked(ini.ReadBool("General", "chkOnFailure", true));
    form_.chkNever.SetChecked(ini.ReadBool("General", "chkNever", false));
    SetStage(1010, false);
    prefs.TipNumber = ini.ReadInteger("General", "TipNumber", 0);
    prefs.TipEnabled = ini.ReadBool("General", "TipEnabled", true);
    SetStage(1011, false);
    try {
        ini.WriteString("General", "LocalRoot", ProgramState().LocalRoot);
    } catch (const std::exception& e) {
        // Nothing reads this key back; a settings folder that cannot be written is reported
        // when the user saves.
        WriteDebugLog(e.what());
    }
    SetStage(1012, false);
    prefs.NewsLetterRequest = ini.ReadInteger("General", "NewsLetterRequest", 0);
    SetStage(1013, false);
    loaded_ = true;
}

void TSettingsStore::SaveSettings() {
    TIniFile ini(SettingsFileName());
    const auto& prefs = ProgramState().Prefs;
    SetStage(1101, false);
    ini.WriteString("General", "Email", form_.txtEmail.Text());
    ini.WriteString("Servers", "SMTP", form_.txtSMTP.Text());
    const int security = form_.cboSecurity.ItemIndex();
    ini.WriteString("Servers", "SMTPSecurity", SecurityNames[security >= 0 && security < 3 ? security : 1]);
    ini.WriteString("Servers", "SMTPUser", Trim(form_.txtUser.Text()));
    ini.WriteString("Servers", "SMTPTrustedCert", prefs.SMTPTrustedCert);
    const int protocol = form_.cboMailProtocol.ItemIndex();
    ini.WriteString("Mailbox", "Protocol", MailProtocolNames[protocol >= 0 && protocol < 3 ? protocol : 0]);
    ini.WriteString("Mailbox", "Server", Trim(form_.txtMailServer.Text()));
    const int mailSecurity = form_.cboMailSecurity.ItemIndex();
    ini.WriteString("Mailbox", "Security", SecurityNames[mailSecurity >= 0 && mailSecurity < 3 ? mailSecurity : 2]);
    ini.WriteString("Mailbox", "User", Trim(form_.txtMailUser.Text()));
    const std::string folder = Trim(form_.txtMailFolder.Text());
    ini.WriteString("Mailbox", "Folder", folder.empty() ? "INBOX" : folder);
    ini.WriteInteger("Mailbox", "Interval", MailIntervalOf(form_.txtMailInterval.Text()));
    ini.WriteBool("Mailbox", "Delete", form_.chkMailDelete.Checked());
    ini.WriteString("Mailbox", "TrustedCert", prefs.MailboxTrustedCert);
    SetStage(1102, false);
    ini.WriteInteger("General", "Confirm", form_.optConfirm.ItemIndex());
    ini.WriteInteger("General", "prefBinaryFormat", prefs.prefBinaryFormat);
    ini.WriteInteger("General", "Enabled", form_.optEnabled.ItemIndex());
    SetStage(1103, false);
    ini.WriteBool("General", "CheckHistory", form_.chkCheckHistory.Checked());
    ini.WriteBool("General", "chkOnFailure", form_.chkOnFailure.Checked());
    ini.WriteBool("General", "chkNotEnabled", form_.chkNotEnabled.Checked());
    ini.WriteBool("General", "chkNever", form_.chkNever.Checked());
    SetStage(1104, false);
    ini.WriteInteger("General", "ChunkSize", prefs.ChunkSize);
    ini.WriteBool("General", "Chunks", prefs.Chunks);
    SetStage(1105, false);
    ini.WriteString("Servers", "FTP", form_.cboFTPservers.Text());
    ini.WriteString("Servers", "HTTPBinary", form_.cboHTTPServersBinary.Text());
    ini.WriteString("Servers", "HTTPPages", form_.cboHTTPServersPages.Text());
    SetStage(1199, false);
}

void TSettingsStore::SaveTipSettings() {
    if (!loaded_)
        return;
    TIniFile ini(SettingsFileName());
    const auto& prefs = ProgramState().Prefs;
    ini.WriteInteger("General", "TipNumber", prefs.TipNumber);
    ini.WriteBool("General", "TipEnabled", prefs.TipEnabled);
    form_.chkShowTips.SetChecked(prefs.TipEnabled);
}

void TSettingsStore::SaveNewsletterSetting() {
    TIniFile(SettingsFileName()).WriteInteger("General", "NewsLetterRequest", ProgramState().Prefs.NewsLetterRequest);
}

void TSettingsStore::SaveTrustedCertSetting() {
    TIniFile(SettingsFileName()).WriteString("Servers", "SMTPTrustedCert", ProgramState().Prefs.SMTPTrustedCert);
}

void TSettingsStore::SaveMailboxTrustedCertSetting() {
    TIniFile(SettingsFileName()).WriteString("Mailbox", "TrustedCert", ProgramState().Prefs.MailboxTrustedCert);
}

bool TSettingsStore::StorePassword() {
    return StoreSecret(form_.txtPassword, &form_.lblPasswordWhere, "smtp") &&
           StoreSecret(form_.txtMailPassword, &form_.lblMailState, "mailbox");
}

bool TSettingsStore::StoreSecret(TEdit& field, TLabel* where, const std::string& account) {
    const std::string password = field.Text();
    if (password.empty() || PasswordStore == nullptr)
        return true;
    if (password.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        desktop_.MessageDlg("The password contains a line break; enter it again.", TMsgDlgType::mtError, mbOK, 0);
        return false;
    }
    const TSecretResult kept = PasswordStore->Store(account, password);
    if (!kept.Ok) {
        desktop_.MessageDlg("The password was not kept: " + kept.Error, TMsgDlgType::mtError, mbOK, 0);
        form_.SelectPage(&field == &form_.txtPassword ? form_.TabSheet2 : form_.tbsMailbox);
        field.SetFocus();
        return false;
    }
    field.SetText("");
    if (where != nullptr)
        where->SetCaption("The password is kept in " + kept.Where + ".");
    WriteDebugLog((account == "smtp" ? "SMTP" : "Mailbox") + std::string(" password kept in ") + kept.Where);
    return true;
}

bool TSettingsStore::ValidateMailbox() {
    auto refuse = [this](const std::string& text, TEdit& field) {
        desktop_.MessageDlg(text, TMsgDlgType::mtError, mbOK, 0);
        form_.Show();
        form_.SelectPage(form_.tbsMailbox);
        field.SetFocus();
        return false;
    };
    if (form_.cboMailProtocol.ItemIndex() <= 0)
        return true;
    if (Trim(form_.txtMailServer.Text()).empty())
        return refuse("The mailbox server address is empty: fill it in, or choose None as the protocol",
                      form_.txtMailServer);
    if (Trim(form_.txtMailUser.Text()).empty())
        return refuse("The mailbox user name is empty: fill it in, or choose None as the protocol", form_.txtMailUser);
    const std::string interval = Trim(form_.txtMailInterval.Text());
    if (interval.empty() || interval.find_first_not_of("0123456789") != std::string::npos || interval.size() > 4)
        return refuse("The interval is not a number of minutes: give 0 to fetch only by hand, or for example 10",
                      form_.txtMailInterval);
    return true;
}

bool TSettingsStore::ValidateField(TEdit& field, TLabel& label) {
    if (!Trim(field.Text()).empty())
        return true;
    PushyMessageDlg(desktop_, "The required field, " + label.Caption() + " is empty", TMsgDlgType::mtError,
                    mbOK | mbHelp, label.HelpContext(), &form_);
    PlaceForm(desktop_, form_, 0.5, 0.5);
    form_.Show();
    form_.SelectPage(form_.TabSheet2);
    field.SetFocus();
    return false;
}

bool TSettingsStore::ValidateRequiredFields() {
    return ValidateField(form_.txtEmail, form_.StaticText2) && ValidateField(form_.txtSMTP, form_.StaticText3);
}

void TSettingsStore::SetPreferenceControls() {
    // Setting a control raises its event, which refreshes the dependent controls and reads
    // every Preferences control back: work from a copy, the chunk size first.
    const TPrefs prefs = ProgramState().Prefs;
    form_.medChunksize.SetText(std::to_string(prefs.ChunkSize));
    form_.optBinaryFormat.SetItemIndex(prefs.prefBinaryFormat);
    form_.chkNoSplit.SetChecked(!prefs.Chunks);
}

void TSettingsStore::ControlRefresh() {
    auto& f = form_;
    auto& prefs = ProgramState().Prefs;
    f.btnGo.SetDefault(f.PageActive(f.TabSheet1));
    f.btnRequest.SetDefault(f.PageActive(f.tbsHot));
    f.btnSend.SetDefault(f.PageActive(f.TabSheet5));
    f.btnFSend.SetDefault(f.PageActive(f.tbsFriend));

    f.btnFSend.SetEnabled(!f.txtFName.Text().empty() && f.txtFemail.Text().find('@') != std::string::npos &&
                          !f.txtMyName.Text().empty());
    f.btnSearch.SetEnabled(!Trim(f.txtLookFor.Text()).empty());

    prefs.Chunks = !f.chkNoSplit.Checked();
    prefs.prefBinaryFormat = f.optBinaryFormat.ItemIndex();
    if (OnRefreshServerSelection)
        OnRefreshServerSelection();
    prefs.ChunkSize = VBVal(f.medChunksize.Text());
    f.lblChunkSize.SetEnabled(!f.chkNoSplit.Checked());
    f.medChunksize.SetEnabled(!f.chkNoSplit.Checked());
    if (!IsLegalChunkSize(prefs)) {
        desktop_.MessageDlg("The Chunksize is not legal", TMsgDlgType::mtError, mbRetry, 0);
        f.Show();
        f.SelectPage(f.TabSheet6);
        f.medChunksize.SetFocus();
        f.btnOk.SetEnabled(false);
    } else {
        f.btnOk.SetEnabled(true);
    }
    f.chkOnFailure.SetEnabled(!f.chkNever.Checked());
    f.chkNotEnabled.SetEnabled(!f.chkNever.Checked());
    f.btnSend.SetEnabled(f.lstQueue.Count() >= 1);
    f.btnRequest.SetEnabled(f.lstHot.ItemIndex() >= 0);
}

void TSettingsStore::btnOkClick() {
    if (!loaded_) {
        // Start-up stopped before the stored settings reached the window: what it shows is
        // empty fields and defaults, and writing them would wipe the user's settings.
        desktop_.MessageDlg(kSettingsNotLoaded, TMsgDlgType::mtError, mbOK, 0);
        form_.Hide();
        return;
    }
    ProgramState().SettingsValid = ValidateRequiredFields();
    if (ProgramState().SettingsValid) {
        if (!ValidateMailbox())
            return;
        SaveSettings();
        if (!StorePassword()) {
            // The rest is saved; the page stays open with the password still in its field.
            form_.Show();
            return;
        }
        SetStage(2345, false);
        form_.Hide();
    }
}

void TSettingsStore::btnCancelClick() {
    SetStage(4410, false);
    LoadSettings();
    SetStage(4411, false);
    form_.Hide();
}

} // namespace ostrel
