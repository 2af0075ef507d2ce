#include "shell/main_form.h"

namespace ostrel {

namespace {
// The Preferences note, shown as it stands.
const char* const kImportantNote =
    "IMPORTANT: This page allows you to express preferences. You will not always get the "
    "option you prefer because not all servers support all modes.";
const char* const kFriendText = "Know someone who has e-mail but no web access? Ostrel sends them a short note that "
                                "tells them what it does and how to get it. Nothing else is sent, and their address "
                                "is not kept.";
const char* const kAboutText = "Ostrel fetches web pages and files for you by e-mail: copy a link anywhere and the "
                               "request goes out to a \"ByMail\" server, which mails the page or file back.\n\n"
                               "News and updates reach you by e-mail too: press F1 for how they come, and for "
                               "where Ostrel's home page will be.";
} // namespace

TTabSheet& TfrmProps::Page(const std::string& name, const std::string& caption, int helpContext) {
    auto& page = Make<TTabSheet>(name, &PageControl1);
    page.SetCaption(caption);
    page.SetHelpContext(helpContext);
    page.SetBounds(0, 0, 664, 210);
    return page;
}

TfrmProps::TfrmProps()
    : TForm("frmProps"), PageControl1(Make<TPageControl>("PageControl1", this)),
      TabSheet1(Page("TabSheet1", "General", 4000)), optEnabled(Make<TRadioGroup>("optEnabled", &TabSheet1)),
      optConfirm(Make<TRadioGroup>("optConfirm", &TabSheet1)),
      chkCheckHistory(Make<TCheckBox>("chkCheckHistory", &TabSheet1)),
      StaticText7(Make<TLabel>("StaticText7", &TabSheet1)), txtURL(Make<TEdit>("txtURL", &TabSheet1)),
      btnGo(Make<TButton>("btnGo", &TabSheet1)), grpTips(Make<TGroupBox>("grpTips", &TabSheet1)),
      chkShowTips(Make<TCheckBox>("chkShowTips", &grpTips)), btnNow(Make<TButton>("btnNow", &grpTips)),
      TabSheet2(Page("TabSheet2", "My Details", 0)), grpDetails(Make<TGroupBox>("grpDetails", &TabSheet2)),
      StaticText2(Make<TLabel>("StaticText2", &grpDetails)), txtEmail(Make<TEdit>("txtEmail", &grpDetails)),
      StaticText3(Make<TLabel>("StaticText3", &grpDetails)), txtSMTP(Make<TEdit>("txtSMTP", &grpDetails)),
      lblSecurity(Make<TLabel>("lblSecurity", &grpDetails)), cboSecurity(Make<TComboBox>("cboSecurity", &grpDetails)),
      lblSecurityHint(Make<TLabel>("lblSecurityHint", &grpDetails)), lblUser(Make<TLabel>("lblUser", &grpDetails)),
      txtUser(Make<TEdit>("txtUser", &grpDetails)), lblPassword(Make<TLabel>("lblPassword", &grpDetails)),
      txtPassword(Make<TEdit>("txtPassword", &grpDetails)), btnCheck(Make<TButton>("btnCheck", &grpDetails)),
      lblPasswordWhere(Make<TLabel>("lblPasswordWhere", &grpDetails)), tbsMailbox(Page("tbsMailbox", "Mailbox", 0)),
      grpMailbox(Make<TGroupBox>("grpMailbox", &tbsMailbox)),
      lblMailProtocol(Make<TLabel>("lblMailProtocol", &grpMailbox)),
      cboMailProtocol(Make<TComboBox>("cboMailProtocol", &grpMailbox)),
      lblMailServer(Make<TLabel>("lblMailServer", &grpMailbox)),
      txtMailServer(Make<TEdit>("txtMailServer", &grpMailbox)),
      lblMailSecurity(Make<TLabel>("lblMailSecurity", &grpMailbox)),
      cboMailSecurity(Make<TComboBox>("cboMailSecurity", &grpMailbox)),
      lblMailSecurityHint(Make<TLabel>("lblMailSecurityHint", &grpMailbox)),
      lblMailUser(Make<TLabel>("lblMailUser", &grpMailbox)), txtMailUser(Make<TEdit>("txtMailUser", &grpMailbox)),
      lblMailPassword(Make<TLabel>("lblMailPassword", &grpMailbox)),
      txtMailPassword(Make<TEdit>("txtMailPassword", &grpMailbox)),
      btnMailCheck(Make<TButton>("btnMailCheck", &grpMailbox)),
      lblMailFolder(Make<TLabel>("lblMailFolder", &grpMailbox)),
      txtMailFolder(Make<TEdit>("txtMailFolder", &grpMailbox)),
      lblMailInterval(Make<TLabel>("lblMailInterval", &grpMailbox)),
      txtMailInterval(Make<TEdit>("txtMailInterval", &grpMailbox)),
      chkMailDelete(Make<TCheckBox>("chkMailDelete", &grpMailbox)), btnFetch(Make<TButton>("btnFetch", &grpMailbox)),
      lblMailState(Make<TLabel>("lblMailState", &grpMailbox)), TabSheet3(Page("TabSheet3", "Servers", 4002)),
      grpServers(Make<TGroupBox>("grpServers", &TabSheet3)),
      lblHTTPServersPages(Make<TLabel>("lblHTTPServersPages", &grpServers)),
      cboHTTPServersPages(Make<TComboBox>("cboHTTPServersPages", &grpServers)),
      infoHTTPServersPages(Make<TLabel>("infoHTTPServersPages", &grpServers)),
      lblHTTPServersBinary(Make<TLabel>("lblHTTPServersBinary", &grpServers)),
      cboHTTPServersBinary(Make<TComboBox>("cboHTTPServersBinary", &grpServers)),
      infoHTTPServersBinary(Make<TLabel>("infoHTTPServersBinary", &grpServers)),
      lblFTPservers(Make<TLabel>("lblFTPservers", &grpServers)),
      cboFTPservers(Make<TComboBox>("cboFTPservers", &grpServers)),
      infoFTPservers(Make<TLabel>("infoFTPservers", &grpServers)), TabSheet4(Page("TabSheet4", "History", 4003)),
      lstHistory(Make<TListBox>("lstHistory", &TabSheet4)), lblHistoryHint(Make<TLabel>("lblHistoryHint", &TabSheet4)),
      PopupMenu1(MakePopup("PopupMenu1")), btnHistoryFetch(Make<TButton>("btnHistoryFetch", &TabSheet4)),
      TabSheet5(Page("TabSheet5", "Queued Requests", 4004)), GroupBox1(Make<TGroupBox>("GroupBox1", &TabSheet5)),
      chkOnFailure(Make<TCheckBox>("chkOnFailure", &GroupBox1)),
      chkNotEnabled(Make<TCheckBox>("chkNotEnabled", &GroupBox1)), chkNever(Make<TCheckBox>("chkNever", &GroupBox1)),
      lstQueue(Make<TListBox>("lstQueue", &TabSheet5)), btnSend(Make<TButton>("btnSend", &TabSheet5)),
      lblQueueHint(Make<TLabel>("lblQueueHint", &TabSheet5)), PopupMenu2(MakePopup("PopupMenu2")),
      tbsHot(Page("tbsHot", "Hot List", 4005)), lblLookFor(Make<TLabel>("lblLookFor", &tbsHot)),
      txtLookFor(Make<TEdit>("txtLookFor", &tbsHot)), btnSearch(Make<TButton>("btnSearch", &tbsHot)),
      lstHot(Make<TListBox>("lstHot", &tbsHot)), btnRequest(Make<TButton>("btnRequest", &tbsHot)),
      TabSheet6(Page("TabSheet6", "Preferences", 0)), optBinaryFormat(Make<TRadioGroup>("optBinaryFormat", &TabSheet6)),
      lblImportant(Make<TLabel>("lblImportant", &TabSheet6)), grpSplitting(Make<TGroupBox>("grpSplitting", &TabSheet6)),
      lblChunkSize(Make<TLabel>("lblChunkSize", &grpSplitting)), chkNoSplit(Make<TCheckBox>("chkNoSplit", &grpSplitting)),
      medChunksize(Make<TEdit>("medChunksize", &grpSplitting)),
      chkAutostart(Make<TCheckBox>("chkAutostart", &TabSheet6)), tbsFriend(Page("tbsFriend", "Friend", 0)),
      lblFriendTitle(Make<TLabel>("lblFriendTitle", &tbsFriend)), lblFriendText(Make<TLabel>("lblFriendText", &tbsFriend)),
      lblFName(Make<TLabel>("lblFName", &tbsFriend)), txtFName(Make<TEdit>("txtFName", &tbsFriend)),
      lblFemail(Make<TLabel>("lblFemail", &tbsFriend)), txtFemail(Make<TEdit>("txtFemail", &tbsFriend)),
      lblMyName(Make<TLabel>("lblMyName", &tbsFriend)), txtMyName(Make<TEdit>("txtMyName", &tbsFriend)),
      btnFSend(Make<TButton>("btnFSend", &tbsFriend)), TabSheet7(Page("TabSheet7", "About", 4006)),
      VersionLabel2(Make<TVersionLabel>("VersionLabel2", &TabSheet7)),
      TrayIconImageBright(Make<TImage>("TrayIconImageBright", &TabSheet7)),
      TrayIconImageDim(Make<TImage>("TrayIconImageDim", &TabSheet7)),
      lblAboutText(Make<TLabel>("lblAboutText", &TabSheet7)), btnUnload(Make<TButton>("btnUnload", this)),
      btnDecoderTools(Make<TButton>("btnDecoderTools", this)), btnHelp(Make<TButton>("btnHelp", this)),
      btnCancel(Make<TButton>("btnCancel", this)), btnOk(Make<TButton>("btnOk", this)) {
    SetCaption("Ostrel");
    // Wider than the classic 520-unit dialog: with today's desktop fonts all nine page tabs
    // must fit in one row.
    SetBounds(0, 0, 680, 278);
    KeyPreview = true;
    HelpButton = true;
    PageControl1.SetBounds(4, 4, 672, 238);
    PageControl1.SetActivePage(&TabSheet1);

    // General
    optEnabled.SetCaption("Enabled");
    optEnabled.SetItems({"Y&es", "&No"});
    optEnabled.SetHelpContext(2);
    optEnabled.SetBounds(8, 4, 180, 58);
    chkCheckHistory.SetCaption("Don't &repeat requests");
    chkCheckHistory.SetHelpContext(17);
    chkCheckHistory.SetBounds(8, 68, 180, 20);
    optConfirm.SetCaption("When requesting files or pages");
    optConfirm.SetItems(
        {"&Ask me to confirm all requests", "Ask me to confirm &ZIP and EXE files only", "&Just do it"});
    optConfirm.SetHelpContext(3);
    optConfirm.SetBounds(196, 4, 460, 84);
    grpTips.SetCaption("Tip Of The Day");
    grpTips.SetBounds(8, 92, 648, 48);
    chkShowTips.SetCaption("Enabled");
    chkShowTips.SetBounds(10, 18, 120, 20);
    btnNow.SetCaption("Now");
    btnNow.SetBounds(140, 16, 72, 25);
    StaticText7.SetCaption("Manual entry: Type a URL from a book, magazine, etc. and press Go");
    StaticText7.SetHelpContext(22);
    StaticText7.SetBounds(8, 148, 648, 16);
    StaticText7.FocusControl = &txtURL;
    txtURL.SetHelpContext(22);
    txtURL.SetBounds(8, 170, 568, 22);
    btnGo.SetCaption("&Go");
    btnGo.SetHelpContext(22);
    btnGo.SetBounds(584, 168, 72, 25);

    // My Details
    grpDetails.SetCaption("Where to return files and pages. Check the SMTP settings with your Service Provider");
    grpDetails.SetBounds(8, 4, 648, 200);
    StaticText2.SetCaption("A&ddress");
    StaticText2.SetHelpContext(2000);
    StaticText2.SetBounds(12, 24, 150, 16);
    StaticText2.FocusControl = &txtEmail;
    txtEmail.SetHint("Your e-mail address for delivery of pages and files");
    txtEmail.SetHelpContext(2000);
    txtEmail.SetBounds(170, 22, 460, 22);
    StaticText3.SetCaption("&SMTP server address");
    StaticText3.SetHelpContext(2001);
    StaticText3.SetBounds(12, 52, 150, 16);
    StaticText3.FocusControl = &txtSMTP;
    txtSMTP.SetHint("The mail server used to send mail");
    txtSMTP.SetHelpContext(2001);
    txtSMTP.SetBounds(170, 50, 460, 22);
    lblSecurity.SetCaption("&Encryption");
    lblSecurity.SetHelpContext(2001);
    lblSecurity.SetBounds(12, 80, 150, 16);
    lblSecurity.FocusControl = &cboSecurity;
    cboSecurity.SetItems({"None", "STARTTLS", "TLS"});
    cboSecurity.SetHint("How the connection to the SMTP server is protected; your provider says which to use");
    cboSecurity.SetHelpContext(2001);
    cboSecurity.SetBounds(170, 78, 140, 22);
    lblSecurityHint.SetCaption("Port unless given: None 25, STARTTLS 587, TLS 465");
    lblSecurityHint.SetBounds(322, 80, 308, 16);
    lblUser.SetCaption("User &name");
    lblUser.SetHelpContext(2001);
    lblUser.SetBounds(12, 108, 150, 16);
    lblUser.FocusControl = &txtUser;
    txtUser.SetHint("The name you log in to the SMTP server with; empty when it needs no log-in");
    txtUser.SetHelpContext(2001);
    txtUser.SetBounds(170, 106, 460, 22);
    lblPassword.SetCaption("Pass&word");
    lblPassword.SetHelpContext(2001);
    lblPassword.SetBounds(12, 136, 150, 16);
    lblPassword.FocusControl = &txtPassword;
    txtPassword.Password = true;
    txtPassword.SetHint("Kept in the desktop's keyring, never in the settings file; leave it empty to keep the "
                        "stored one");
    txtPassword.SetHelpContext(2001);
    txtPassword.SetBounds(170, 134, 300, 22);
    btnCheck.SetCaption("Chec&k");
    btnCheck.SetHint("Connect to the SMTP server and log in, without sending mail");
    btnCheck.SetBounds(558, 132, 72, 25);
    lblPasswordWhere.WordWrap = true;
    lblPasswordWhere.SetBounds(170, 162, 460, 32);

    // Mailbox
    grpMailbox.SetCaption("Where the replies arrive: Ostrel fetches them and saves them in the downloads folder");
    grpMailbox.SetBounds(8, 4, 648, 192);
    const struct {
        TLabel& label;
        TControl& control;
        const char* caption;
        int top;
    } mailRows[] = {
        {lblMailProtocol, cboMailProtocol, "&Protocol", 20},
        {lblMailServer, txtMailServer, "Se&rver address", 44},
        {lblMailSecurity, cboMailSecurity, "Encr&yption", 68},
        {lblMailUser, txtMailUser, "User na&me", 92},
        {lblMailPassword, txtMailPassword, "Pass&word", 116},
        {lblMailFolder, txtMailFolder, "F&older (IMAP)", 140},
        {lblMailInterval, txtMailInterval, "&Interval (minutes)", 164},
    };
    for (const auto& r : mailRows) {
        r.label.SetCaption(r.caption);
        r.label.SetBounds(12, r.top + 2, 130, 16);
        r.label.FocusControl = &r.control;
    }
    cboMailProtocol.SetItems({"None", "IMAP", "POP3"});
    cboMailProtocol.SetHint("None: replies are read in your own mail program, as before");
    cboMailProtocol.SetBounds(150, 20, 120, 22);
    txtMailServer.SetHint("The server your provider names for receiving mail (IMAP or POP3), with :port if unusual");
    txtMailServer.SetBounds(150, 44, 300, 22);
    cboMailSecurity.SetItems({"None", "STARTTLS", "TLS"});
    cboMailSecurity.SetHint("How the connection to the mailbox is protected; your provider says which to use");
    cboMailSecurity.SetBounds(150, 68, 120, 22);
    lblMailSecurityHint.SetCaption("Port unless given: IMAP 143 or 993 (TLS), POP3 110 or 995 (TLS)");
    lblMailSecurityHint.SetBounds(280, 70, 360, 16);
    txtMailUser.SetHint("The name you log in to the mailbox with");
    txtMailUser.SetBounds(150, 92, 300, 22);
    txtMailPassword.Password = true;
    txtMailPassword.SetHint("Kept in the desktop's keyring, never in the settings file; leave it empty to keep the "
                            "stored one");
    txtMailPassword.SetBounds(150, 116, 220, 22);
    btnMailCheck.SetCaption("C&heck");
    btnMailCheck.SetHint("Connect to the mailbox and log in, without reading any mail");
    btnMailCheck.SetBounds(378, 114, 72, 25);
    txtMailFolder.SetHint("The IMAP folder the replies arrive in");
    txtMailFolder.SetBounds(150, 140, 120, 22);
    txtMailInterval.SetHint("How often Ostrel looks for replies; 0: only when you press Fetch now");
    txtMailInterval.SetBounds(150, 164, 50, 22);
    chkMailDelete.SetCaption("&Delete replies on the server once saved");
    chkMailDelete.SetBounds(280, 141, 300, 20);
    btnFetch.SetCaption("&Fetch now");
    btnFetch.SetHint("Look for replies now");
    btnFetch.SetBounds(540, 162, 96, 25);
    lblMailState.WordWrap = true;
    lblMailState.SetBounds(462, 92, 176, 44);

    // Servers
    grpServers.SetCaption("The \"ByMail\" severs used to fetch files and pages");
    grpServers.SetBounds(8, 4, 648, 198);
    struct Row {
        TLabel& label;
        TComboBox& combo;
        TLabel& info;
        const char* caption;
        int help;
    };
    Row rows[] = {
        {lblHTTPServersPages, cboHTTPServersPages, infoHTTPServersPages, "Http (www) server for &pages", 4},
        {lblHTTPServersBinary, cboHTTPServersBinary, infoHTTPServersBinary,
         "Http (www) server for progra&m/binary files", 6},
        {lblFTPservers, cboFTPservers, infoFTPservers, "&Ftp server", 7},
    };
    int y = 20;
    for (auto& r : rows) {
        r.label.SetCaption(r.caption);
        r.label.SetBounds(12, y, 300, 16);
        r.label.FocusControl = &r.combo;
        r.combo.SetHelpContext(r.help);
        r.combo.SetBounds(12, y + 18, 300, 22);
        r.info.SetHint("Click to expand");
        r.info.WordWrap = true;
        r.info.SetBounds(324, y, 312, 56);
        y += 60;
    }

    // History
    lstHistory.SetHelpContext(9);
    lstHistory.SetBounds(8, 8, 648, 170);
    lstHistory.SetPopupMenu(&PopupMenu1);
    lblHistoryHint.SetCaption("Right click a history item to access commands");
    lblHistoryHint.SetBounds(8, 184, 440, 16);
    btnHistoryFetch.SetCaption("&Fetch replies");
    btnHistoryFetch.SetHint("Look for replies in the mailbox now (set it up on the Mailbox page)");
    btnHistoryFetch.SetBounds(544, 180, 112, 25);
    PopupMenu1.Add("mnuOpen", "&Open");
    PopupMenu1.Add("mnuShowDetail", "&Show Detail");
    PopupMenu1.Add("mnuDeletefromHistory", "&Delete from History");
    PopupMenu1.Add("mnuRequestAgain", "Request &Again");
    PopupMenu1.Add("mnuHelp", "&Help");

    // Queued Requests
    GroupBox1.SetCaption("Add requests to queue");
    GroupBox1.SetHelpContext(25);
    GroupBox1.SetBounds(8, 4, 648, 48);
    chkOnFailure.SetCaption("On &failure to send");
    chkOnFailure.SetHelpContext(26);
    chkOnFailure.SetBounds(10, 20, 200, 20);
    chkNotEnabled.SetCaption("When Enabled is set to No");
    chkNotEnabled.SetHelpContext(27);
    chkNotEnabled.SetBounds(220, 20, 240, 20);
    chkNever.SetCaption("&Never");
    chkNever.SetHelpContext(28);
    chkNever.SetBounds(480, 20, 150, 20);
    lstQueue.SetBounds(8, 58, 648, 112);
    lstQueue.SetPopupMenu(&PopupMenu2);
    btnSend.SetCaption("&Send Queue");
    btnSend.SetHelpContext(29);
    btnSend.SetBounds(560, 176, 96, 25);
    lblQueueHint.SetCaption("Right click a queued item to access commands");
    lblQueueHint.SetBounds(8, 180, 380, 16);
    PopupMenu2.Add("Delete1", "&Delete");
    PopupMenu2.Add("RequestNow1", "Request &Now");
    PopupMenu2.Add("DeleteAll1", "Delete &All");

    // Hot List
    lblLookFor.SetCaption("Look for: ");
    lblLookFor.SetBounds(8, 10, 70, 16);
    lblLookFor.FocusControl = &txtLookFor;
    txtLookFor.SetBounds(80, 8, 480, 22);
    btnSearch.SetCaption("Search");
    btnSearch.SetBounds(568, 6, 88, 25);
    lstHot.SetBounds(8, 38, 648, 134);
    btnRequest.SetCaption("Request");
    btnRequest.SetBounds(568, 178, 88, 25);

    // Preferences
    optBinaryFormat.SetCaption(" Binary file return format ");
    optBinaryFormat.SetItems({"&UUencoded", "&MIME", "&Btoa"});
    optBinaryFormat.SetHelpContext(7550);
    optBinaryFormat.SetBounds(8, 4, 200, 86);
    lblImportant.SetCaption(kImportantNote);
    lblImportant.WordWrap = true;
    lblImportant.SetBounds(216, 10, 440, 80);
    grpSplitting.SetCaption(" Splitting binary files into multiple e-mails ");
    grpSplitting.SetBounds(8, 96, 648, 60);
    lblChunkSize.SetCaption("Chun&ksize (Kbytes)");
    lblChunkSize.SetHelpContext(7550);
    lblChunkSize.SetBounds(12, 28, 130, 16);
    lblChunkSize.FocusControl = &medChunksize;
    medChunksize.SetHelpContext(7550);
    medChunksize.SetBounds(150, 26, 70, 22);
    chkNoSplit.SetCaption("&Don't split");
    chkNoSplit.SetHelpContext(7550);
    chkNoSplit.SetBounds(250, 26, 150, 20);
    chkAutostart.SetCaption("Start Ostrel when I &log in");
    chkAutostart.SetBounds(8, 166, 300, 20);

    // Friend
    lblFriendTitle.SetCaption("Tell A Friend About Ostrel!");
    lblFriendTitle.SetBounds(8, 6, 648, 18);
    lblFriendText.SetCaption(kFriendText);
    lblFriendText.WordWrap = true;
    lblFriendText.SetBounds(8, 28, 648, 48);
    const struct {
        TLabel& label;
        TEdit& edit;
        const char* caption;
    } fields[] = {{lblFName, txtFName, "Friend's name: "},
                  {lblFemail, txtFemail, "Friend's e-mail address: "},
                  {lblMyName, txtMyName, "Your Name: "}};
    y = 86;
    for (const auto& f : fields) {
        f.label.SetCaption(f.caption);
        f.label.SetBounds(8, y + 4, 170, 16);
        f.label.FocusControl = &f.edit;
        f.edit.SetBounds(180, y, 460, 22);
        y += 28;
    }
    btnFSend.SetCaption("Send");
    btnFSend.SetBounds(552, 176, 88, 25);

    // About
    TrayIconImageBright.Picture = "bright";
    TrayIconImageBright.SetBounds(16, 16, 32, 32);
    TrayIconImageDim.Picture = "dim";
    TrayIconImageDim.SetVisible(false);
    VersionLabel2.WordWrap = true;
    VersionLabel2.SetInfoPrefix("Ostrel, web pages and files by e-mail. Version:");
    VersionLabel2.SetBounds(64, 22, 580, 18);
    lblAboutText.SetCaption(kAboutText);
    lblAboutText.WordWrap = true;
    lblAboutText.SetBounds(64, 50, 580, 130);

    // Button row
    const struct {
        TButton& button;
        const char* caption;
        const char* hint;
        int left;
    } buttons[] = {
        {btnUnload, "&Unload", "Remove Ostrel from memory", 4},
        {btnDecoderTools, "UUDecoder", "For processing files received", 84},
        {btnHelp, "&Help", "", 444},
        {btnCancel, "&Cancel", "Close without changes", 524},
        {btnOk, "&Ok", "Confirm the changes you made", 604},
    };
    for (const auto& b : buttons) {
        b.button.SetCaption(b.caption);
        b.button.SetHint(b.hint);
        b.button.SetBounds(b.left, 248, 72, 25);
    }
    btnUnload.SetHelpContext(19);
    btnCancel.Cancel = true;
}

} // namespace ostrel
