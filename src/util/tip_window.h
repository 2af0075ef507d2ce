#pragma once

#include <functional>
#include <string>
#include <vector>

#include "forms/form.h"

namespace ostrel {

class Desktop;

// One line of tips.dat: "help context,text". The help context is 0 when the tip has none.
struct TTip {
    int HelpContext = 0;
    std::string Text;
};

// Reads one line of the tips file. Only the first comma separates, so the text may hold more.
// A line whose part before the first comma is not a whole number (or that has no comma) is
// shown whole, without a help topic: a slip in the file should cost one Help button, not the tip.
TTip ParseTipLine(const std::string& line);
// The tip lines of a file's content: LF or CR LF line ends, blank lines left out.
std::vector<std::string> SplitTipLines(const std::string& content);

// The tip of the day. Every creation moves on to the next tip and saves the tip number, so
// the user sees a different tip each time the window appears.
class TfrmTips : public TForm {
public:
    static constexpr int FormWidth = 363;
    static constexpr int FormHeight = 204;
    // Shown when tips.dat is missing, empty or unreadable.
    static constexpr const char* NoTipsText =
        "There are no tips to show. The file tips.dat in the program folder is missing or empty.";

    // saveTipSettings writes the tip number and the on/off state (from ProgramState().Prefs)
    // to the settings file; it is called after every change of either. Runs FormCreate.
    TfrmTips(Desktop& desktop, std::function<void()> saveTipSettings);
    std::string ClassName() const override { return "TfrmTips"; }

    TImage& Image1;
    TLabel& Label1;
    TLabel& StaticText1;
    TButton& btnOk;
    TButton& btnNext;
    TButton& btnPrevious;
    TButton& btnHelp;
    TCheckBox& chkShowTips;

    void FormCreate();
    void btnNextClick();
    void btnPreviousClick();
    void btnOkClick();
    void btnHelpClick();
    void chkShowTipsClick();

    const std::vector<std::string>& Tips() const { return tips_; }
    // The help context of the tip on display (0: none).
    int CurrentHelpContext() const { return helpContext_; }

private:
    void ShowTip();
    void SaveTipState();

    Desktop& desktop_;
    std::function<void()> saveTipSettings_;
    std::vector<std::string> tips_;
    int helpContext_ = 0;
};

// Shows the tip of the day modally, unless a tip window is open already (the six-second timer
// and the "Now" button can both ask while one is up). trayIcon(false) takes the tray icon away
// for that time and trayIcon(true) brings it back, also when the window fails.
void ShowTips(Desktop& desktop, const std::function<void(bool on)>& trayIcon,
              const std::function<void()>& saveTipSettings);

} // namespace ostrel
