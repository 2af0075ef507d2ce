#include "shell/settings.h"

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

bool TSettingsStore::StorePassword() {
    const std::string password = form_.txtPassword.Text();
    if (password.empty() || PasswordStore == nullptr)
        return true;
    if (password.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        desktop_.MessageDlg("The password contains a line break; enter it again.", TMsgDlgType::mtError, mbOK, 0);
        return false;
    }
    const TSecretResult kept = PasswordStore->Store("smtp", password);
    if (!kept.Ok) {
        desktop_.MessageDlg("The password was not kept: " + kept.Error, TMsgDlgType::mtError, mbOK, 0);
        return false;
    }
    form_.txtPassword.SetText("");
    form_.lblPasswordWhere.SetCaption("The password is kept in " + kept.Where + ".");
    WriteDebugLog("SMTP password kept in " + kept.Where);
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
        SaveSettings();
        if (!StorePassword()) {
            // The rest is saved; the page stays open with the password still in its field.
            form_.Show();
            form_.SelectPage(form_.TabSheet2);
            form_.txtPassword.SetFocus();
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
