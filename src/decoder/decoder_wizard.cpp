#include "decoder/decoder_wizard.h"

#include <algorithm>
#include <thread>

#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr int HelpContextWizard = 21;

std::string PartList(const std::vector<int>& parts) {
    std::string list;
    for (int p : parts)
        list += (list.empty() ? "" : ", ") + std::to_string(p);
    return list;
}

// One line of the list of files being joined.
std::string HeldLine(const TReceivedFile& f) {
    if (f.PartsTotal > 0) {
        std::vector<int> held;
        for (int p = 1; p <= f.PartsTotal; ++p)
            if (std::find(f.Missing.begin(), f.Missing.end(), p) == f.Missing.end())
                held.push_back(p);
        return f.Name + ": holding part" + (held.size() == 1 ? " " : "s ") + PartList(held) + " of " +
               std::to_string(f.PartsTotal) + "; still needed: " + PartList(f.Missing);
    }
    return f.Name + ": " + std::to_string(f.PartsHeld) + (f.PartsHeld == 1 ? " part" : " parts") + " held; " + f.Why;
}

// The reasons the receiver gives are clauses ("line 12 is short"); a message box shows them as
// sentences.
std::string Sentence(std::string why) {
    if (!why.empty() && why[0] >= 'a' && why[0] <= 'z')
        why[0] = static_cast<char>(why[0] - 'a' + 'A');
    return why;
}

bool IsBlankText(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

} // namespace

TfrmDecode::TfrmDecode(Desktop& desktop, std::chrono::milliseconds clipboardSettle)
    : TForm("frmDecode"), UseYourOwnMailer(Make<TLabel>("UseYourOwnMailer", this)),
      lblPart(Make<TLabel>("lblPart", this)), lblInstruct(Make<TLabel>("lblInstruct", this)),
      lstParts(Make<TListBox>("lstParts", this)), btnHelp(Make<TButton>("btnHelp", this)),
      btnOpen(Make<TButton>("btnOpen", this)), btnNext(Make<TButton>("btnNext", this)),
      btnCancel(Make<TButton>("btnCancel", this)), TargetFolder(DownloadsFolder()), desktop_(desktop),
      clipboardSettle_(clipboardSettle) {
    SetCaption("Ostrel - UUDecoder");
    SetHelpContext(HelpContextWizard);
    MinimizeButton = false;
    Modal = true;
    // Taller than the classic 161 for the list of parts held and still needed.
    constexpr int width = 409, height = 241;
    const TSize screen = desktop_.ScreenSize();
    SetBounds(std::max(0, (screen.Width - width) / 2), std::max(0, (screen.Height - height) / 2), width, height);

    UseYourOwnMailer.SetCaption("Use this tool to unscramble UUencoded files received from \"Bymail\" servers. Tip: "
                                "Many e-mail programs have their own tools");
    UseYourOwnMailer.WordWrap = true;
    UseYourOwnMailer.Centered = true;
    UseYourOwnMailer.SetBounds(8, 8, 393, 30);
    lblPart.SetBounds(8, 44, 393, 22);
    lblPart.Bold = true;
    lblPart.Centered = true;
    lblPart.FontSizeDelta = 3;
    lblInstruct.SetCaption("Please place the part referenced above into the Windows Clipboard. In most e-mail "
                           "prograns, the sequence  Right-click, Select All, Right-click, Copy will be needed.");
    lblInstruct.WordWrap = true;
    lblInstruct.Centered = true;
    lblInstruct.SetBounds(8, 72, 393, 46);
    lstParts.SetBounds(8, 122, 393, 74);
    lstParts.SetHint("Files being joined: the parts held and the parts still needed");

    btnHelp.SetCaption("&Help");
    btnHelp.SetBounds(8, 208, 75, 25);
    btnHelp.OnClick = [this] { btnHelpClick(); };
    btnOpen.SetCaption("&Open mails...");
    btnOpen.SetHint("Read saved mails or a mailbox file: every part in them at once, in any order");
    btnOpen.SetBounds(88, 208, 100, 25);
    btnOpen.OnClick = [this] { btnOpenClick(); };
    btnNext.SetCaption("&Next >>");
    btnNext.SetHint("Read the mail, or the mails, copied to the clipboard");
    btnNext.SetBounds(246, 208, 75, 25);
    btnNext.OnClick = [this] { btnNextClick(); };
    btnCancel.SetCaption("&Cancel");
    btnCancel.Cancel = true;
    btnCancel.SetBounds(326, 208, 75, 25);
    btnCancel.OnClick = [this] { btnCancelClick(); };

    FormCreate();
}

TfrmDecode::~TfrmDecode() = default;

std::string TfrmDecode::DownloadsFolder() {
    return LocalPath("downloads/");
}

TReceiver& TfrmDecode::Receiver() {
    if (!receiver_) {
        TReceiveOptions options;
        options.TargetFolder = TargetFolder;
        options.Pump = [this] { desktop_.ProcessMessages(); };
        receiver_ = std::make_unique<TReceiver>(options);
    }
    return *receiver_;
}

std::vector<TReceivedFile> TfrmDecode::Pending() const {
    return receiver_ ? receiver_->Pending() : std::vector<TReceivedFile>{};
}

void TfrmDecode::FormCreate() {
    // Older versions joined parts in this file; one may be left from a crash.
    DeleteFileIfExists(LocalPath("uudecoder.tmp"));
    receiver_.reset();
    expectedPart_ = 1;
    lstParts.SetItems({});
    desktop_.SetTopmost(*this, true);
    ShowExpectedPart();
}

void TfrmDecode::ShowExpectedPart() {
    lblPart.SetCaption("Part " + std::to_string(expectedPart_));
    desktop_.SetClipboardText("");
    if (clipboardSettle_.count() > 0)
        std::this_thread::sleep_for(clipboardSettle_);
}

void TfrmDecode::Refresh() {
    const std::vector<TReceivedFile> pending = Pending();
    std::vector<std::string> items;
    for (const auto& f : pending)
        items.push_back(HeldLine(f));
    lstParts.SetItems(items);
    // The first part still missing of the file joined first; for unnumbered parts, the next.
    expectedPart_ = 1;
    if (!pending.empty()) {
        const TReceivedFile& f = pending.front();
        expectedPart_ = !f.Missing.empty() ? f.Missing.front() : f.PartsHeld + 1;
    }
}

void TfrmDecode::Receive(const std::function<void(TReceiver&)>& give, bool fromClipboard) {
    TReceiver& receiver = Receiver();
    const std::size_t settledBefore = receiver.Settled().size();
    const std::vector<TReceivedFile> pendingBefore = receiver.Pending();
    int heldBefore = 0;
    for (const auto& f : pendingBefore)
        heldBefore += f.PartsHeld;
    const int expectedBefore = expectedPart_;
    lblPart.SetCaption("Processing File");
    // The window stays alive during a long decode; another press must wait for this one.
    busy_ = true;
    btnNext.SetEnabled(false);
    btnOpen.SetEnabled(false);
    auto ready = [this] {
        busy_ = false;
        btnNext.SetEnabled(true);
        btnOpen.SetEnabled(true);
    };
    try {
        give(receiver);
    } catch (...) {
        ready();
        Refresh();
        ShowExpectedPart();
        throw;
    }
    ready();
    Refresh();
    int heldAfter = 0;
    for (const auto& f : receiver.Pending())
        heldAfter += f.PartsHeld;

    const std::vector<TReceivedFile> settled(receiver.Settled().begin() + static_cast<std::ptrdiff_t>(settledBefore),
                                             receiver.Settled().end());
    if (settled.empty() && heldAfter == heldBefore) {
        // Nothing in the text was encoded data, or every part in it was held already.
        if (heldBefore == 0)
            desktop_.MessageDlg("Bad first part", TMsgDlgType::mtError, mbCancel, 0);
        else
            desktop_.MessageDlg("This text holds no part that is still needed.\r\n\nCopy the mail of part " +
                                    std::to_string(expectedPart_) + " and press Next again.",
                                TMsgDlgType::mtWarning, mbOK, 0);
        if (fromClipboard)
            ShowExpectedPart();
        else
            lblPart.SetCaption("Part " + std::to_string(expectedPart_));
        return;
    }
    for (const auto& f : settled) {
        switch (f.State) {
        case TReceivedFile::Saved:
            desktop_.MessageDlg("Decoded\r\n\n" + f.Path, TMsgDlgType::mtInformation, mbOK, 0);
            break;
        case TReceivedFile::Damaged:
            desktop_.MessageDlg(
                "Not decoded: " + f.Name + "\r\n\n" + Sentence(f.Why) + "." +
                    (f.Path.empty() ? std::string() : "\r\n\nWhat could be read was kept as " + f.Path) +
                    "\r\n\nAsk the server for the file again.",
                TMsgDlgType::mtError, mbOK, 0);
            break;
        case TReceivedFile::NotSaved:
            desktop_.MessageDlg("Not saved: " + f.Name + "\r\n\n" + Sentence(f.Why), TMsgDlgType::mtError, mbOK, 0);
            break;
        case TReceivedFile::Incomplete:
            break;
        }
    }
    if (receiver.Pending().empty()) {
        ModalResult = IDCANCEL;
        Hide();
        receiver_.reset();
        expectedPart_ = 1;
        ShowExpectedPart();
        return;
    }
    // More parts to come.
    if (expectedPart_ != expectedBefore || heldAfter > heldBefore)
        desktop_.Beep(0);
    if (fromClipboard)
        ShowExpectedPart();
    else
        lblPart.SetCaption("Part " + std::to_string(expectedPart_));
}

void TfrmDecode::btnNextClick() {
    if (busy_)
        return;
    const std::string text = desktop_.ClipboardText();
    if (IsBlankText(text) && !receiver_) {
        desktop_.MessageDlg("Bad first part", TMsgDlgType::mtError, mbCancel, 0);
        ShowExpectedPart();
        return;
    }
    Receive([&text](TReceiver& r) { r.AddText(text, "clipboard"); }, true);
}

void TfrmDecode::btnOpenClick() {
    if (busy_)
        return;
    const std::vector<std::string> files =
        desktop_.OpenFileNames("Open the mails of a received file", "Mails (*.eml *.mbox *.txt *.msg);;All files (*)");
    if (files.empty())
        return;
    Receive(
        [&files](TReceiver& r) {
            for (const auto& file : files)
                r.AddFile(file);
        },
        false);
}

void TfrmDecode::btnCancelClick() {
    ModalResult = IDCANCEL;
    Hide();
}

void TfrmDecode::btnHelpClick() {
    desktop_.ShowHelp(HelpContextWizard);
}

} // namespace ostrel
