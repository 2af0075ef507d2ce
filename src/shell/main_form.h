#pragma once

#include <functional>
#include <string>

#include "forms/form.h"
#include "util/version_label.h"

namespace ostrel {

class Desktop;

// The main window model: the settings dialog with its pages. Its controls hold the settings
// and the lists while the program runs; other parts read them here. The handlers are wired by
// the shell (TOstrelApp), which owns the objects they drive.
class TfrmProps : public TForm {
public:
    TfrmProps();
    std::string ClassName() const override { return "TfrmProps"; }

    TPageControl& PageControl1;

    // General
    TTabSheet& TabSheet1;
    TRadioGroup& optEnabled;
    TRadioGroup& optConfirm;
    TCheckBox& chkCheckHistory;
    TLabel& StaticText7;
    TEdit& txtURL;
    TButton& btnGo;
    TGroupBox& grpTips;
    TCheckBox& chkShowTips;
    TButton& btnNow;

    // My Details
    TTabSheet& TabSheet2;
    TGroupBox& grpDetails;
    TLabel& StaticText2;
    TEdit& txtEmail;
    TLabel& StaticText3;
    TEdit& txtSMTP;
    TLabel& lblSecurity;
    TComboBox& cboSecurity; // None, STARTTLS, TLS
    TLabel& lblSecurityHint;
    TLabel& lblUser;
    TEdit& txtUser;
    TLabel& lblPassword;
    TEdit& txtPassword;
    TButton& btnCheck;
    TLabel& lblPasswordWhere;

    // Mailbox: where the replies arrive
    TTabSheet& tbsMailbox;
    TGroupBox& grpMailbox;
    TLabel& lblMailProtocol;
    TComboBox& cboMailProtocol; // None, IMAP, POP3
    TLabel& lblMailServer;
    TEdit& txtMailServer;
    TLabel& lblMailSecurity;
    TComboBox& cboMailSecurity; // None, STARTTLS, TLS
    TLabel& lblMailSecurityHint;
    TLabel& lblMailUser;
    TEdit& txtMailUser;
    TLabel& lblMailPassword;
    TEdit& txtMailPassword;
    TButton& btnMailCheck;
    TLabel& lblMailFolder;
    TEdit& txtMailFolder;
    TLabel& lblMailInterval;
    TEdit& txtMailInterval;
    TCheckBox& chkMailDelete;
    TButton& btnFetch;
    TLabel& lblMailState;

    // Servers
    TTabSheet& TabSheet3;
    TGroupBox& grpServers;
    TLabel& lblHTTPServersPages;
    TComboBox& cboHTTPServersPages;
    TLabel& infoHTTPServersPages;
    TLabel& lblHTTPServersBinary;
    TComboBox& cboHTTPServersBinary;
    TLabel& infoHTTPServersBinary;
    TLabel& lblFTPservers;
    TComboBox& cboFTPservers;
    TLabel& infoFTPservers;

    // History
    TTabSheet& TabSheet4;
    TListBox& lstHistory;
    TLabel& lblHistoryHint;
    TPopupMenu& PopupMenu1;
    TButton& btnHistoryFetch;

    // Queued Requests
    TTabSheet& TabSheet5;
    TGroupBox& GroupBox1;
    TCheckBox& chkOnFailure;
    TCheckBox& chkNotEnabled;
    TCheckBox& chkNever;
    TListBox& lstQueue;
    TButton& btnSend;
    TLabel& lblQueueHint;
    TPopupMenu& PopupMenu2;

    // Hot List
    TTabSheet& tbsHot;
    TLabel& lblLookFor;
    TEdit& txtLookFor;
    TButton& btnSearch;
    TListBox& lstHot;
    TButton& btnRequest;

    // Preferences
    TTabSheet& TabSheet6;
    TRadioGroup& optBinaryFormat;
    TLabel& lblImportant;
    TGroupBox& grpSplitting;
    TLabel& lblChunkSize;
    TCheckBox& chkNoSplit;
    TEdit& medChunksize;
    TCheckBox& chkAutostart;

    // Friend
    TTabSheet& tbsFriend;
    TLabel& lblFriendTitle;
    TLabel& lblFriendText;
    TLabel& lblFName;
    TEdit& txtFName;
    TLabel& lblFemail;
    TEdit& txtFemail;
    TLabel& lblMyName;
    TEdit& txtMyName;
    TButton& btnFSend;

    // About
    TTabSheet& TabSheet7;
    TVersionLabel& VersionLabel2;
    TImage& TrayIconImageBright;
    TImage& TrayIconImageDim;
    TLabel& lblAboutText;

    // Button row
    TButton& btnUnload;
    TButton& btnDecoderTools;
    TButton& btnHelp;
    TButton& btnCancel;
    TButton& btnOk;

    // Selects a page from code (no change event, as with the classic control).
    void SelectPage(TTabSheet& page) { PageControl1.SetActivePage(&page); }
    bool PageActive(const TTabSheet& page) const { return PageControl1.ActivePage() == &page; }

private:
    TTabSheet& Page(const std::string& name, const std::string& caption, int helpContext);
};

} // namespace ostrel
