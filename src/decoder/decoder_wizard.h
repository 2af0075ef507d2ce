#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "decoder/receiver.h"
#include "forms/form.h"

namespace ostrel {

class Desktop;

// The wizard that turns the mails of a received file into the file in the downloads folder. The
// user copies one mail after another (or several at once) and presses Next, or opens saved
// mails; parts may come in any order. The window asks for the first part still missing and lists
// what it holds and what it still needs. A file is saved only once every part of it is there and
// it decoded completely; anything damaged is named and never saved under the file's name.
class TfrmDecode : public TForm {
public:
    // clipboardSettle: how long to wait after emptying the clipboard, so that the change
    // notification of the emptying has passed before the user copies the next part.
    explicit TfrmDecode(Desktop& desktop, std::chrono::milliseconds clipboardSettle = std::chrono::milliseconds(50));
    ~TfrmDecode() override;
    std::string ClassName() const override { return "TfrmDecode"; }

    TLabel& UseYourOwnMailer;
    TLabel& lblPart;
    TLabel& lblInstruct;
    TListBox& lstParts;
    TButton& btnHelp;
    TButton& btnOpen;
    TButton& btnNext;
    TButton& btnCancel;

    // Handlers.
    void FormCreate();
    void btnNextClick();
    void btnOpenClick();
    void btnCancelClick();
    void btnHelpClick();

    void ShowExpectedPart();

    // The part the wizard asks for next: the first one missing of the file it is joining.
    int ExpectedPart() const { return expectedPart_; }
    // Files still waiting for parts.
    std::vector<TReceivedFile> Pending() const;
    // Program folder + "downloads/".
    static std::string DownloadsFolder();

    // Where decoded files go (ending in "/").
    std::string TargetFolder;

private:
    // Hands the mails to the receiver and tells the user what came of them.
    void Receive(const std::function<void(TReceiver&)>& give, bool fromClipboard);
    void Refresh();
    TReceiver& Receiver();

    Desktop& desktop_;
    std::chrono::milliseconds clipboardSettle_;
    std::unique_ptr<TReceiver> receiver_;
    int expectedPart_ = 1;
    bool busy_ = false;
};

} // namespace ostrel
