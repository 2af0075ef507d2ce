#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "forms/form.h"

namespace ostrel {

class Desktop;
class TmsMessage;

// The number between the first open and the first close after it, read with VBVal; 0 when a
// delimiter is missing or the text between is not a number.
int NumberBetween(const std::string& text, const std::string& open, const std::string& close);

// The part number a mail program wrote into a subject: "[n of m]" wins over "(part n of m)",
// which wins over "(n/m)"; 0 when there is none.
int PartNumberInSubject(const std::string& subject);

// Drops what a mail program wrapped around the encoded lines of joined parts (headers, quoted
// text, signatures) and keeps the begin line, full encoded lines, the short last line before the
// closing line, the closing line and the end line. text holds lines ending in CR, LF or CR LF;
// the result has CR LF line ends. Each removed line is passed to removed (may be empty).
std::string CleanCollectedLines(std::string_view text, const std::function<void(std::string_view)>& removed);
// The same, handing each kept line (without its line end) to kept, in order; the text may come
// in chunks that each end at a line break.
void CleanCollectedLines(const std::vector<std::string_view>& chunks,
                         const std::function<void(std::string_view)>& removed,
                         const std::function<void(std::string_view)>& kept);
void CleanCollectedLines(std::string_view text, const std::function<void(std::string_view)>& removed,
                         const std::function<void(std::string_view)>& kept);

// Whether a part copied after the first holds the closing line and the end line.
bool HoldsEndOfData(const std::string& text);

// The wizard that joins UUencoded parts copied from a mail program one by one and decodes them
// into the downloads folder. The desktop gives the clipboard and the dialogs; the message is the
// main window's, borrowed for decoding and cleared before and after.
class TfrmDecode : public TForm {
public:
    // clipboardSettle: how long to wait after emptying the clipboard, so that the change
    // notification of the emptying has passed before the user copies the next part.
    TfrmDecode(Desktop& desktop, TmsMessage& message,
               std::chrono::milliseconds clipboardSettle = std::chrono::milliseconds(50));
    std::string ClassName() const override { return "TfrmDecode"; }

    TLabel& UseYourOwnMailer;
    TLabel& lblPart;
    TLabel& lblInstruct;
    TButton& btnHelp;
    TButton& btnNext;
    TButton& btnCancel;

    // Handlers.
    void FormCreate();
    void btnNextClick();
    void btnCancelClick();
    void btnHelpClick();

    void ShowExpectedPart();
    // IDOK when the subject names the expected part or none; otherwise the user's answer to the
    // warning (IDRETRY or IDIGNORE).
    int ConfirmPartNumber(const std::string& subject);
    void DecodeTempFile();

    int ExpectedPart() const { return expectedPart_; }
    // The lines gathered so far.
    std::vector<std::string> CollectedLines() const;
    // Program folder + "uudecoder.tmp" and program folder + "downloads/".
    static std::string DefaultTempFileName();
    static std::string DownloadsFolder();

    // Where the joined text is written for the parser, and where decoded files go (ending in
    // "/"); the command line points both elsewhere.
    std::string TempFileName;
    std::string TargetFolder;

private:
    void ReleaseCollected();
    void Finish();

    Desktop& desktop_;
    std::chrono::milliseconds clipboardSettle_;
    TmsMessage& message_;
    int expectedPart_ = 1;
    // The gathered text, one chunk per part, each ending in CR LF (part 1 from its begin line
    // on, later parts whole).
    std::vector<std::string> collected_;
};

} // namespace ostrel
