#include "util/tip_window.h"

#include <algorithm>
#include <charconv>

#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

TTip ParseTipLine(const std::string& line) {
    TTip tip;
    tip.Text = line;
    const size_t comma = line.find(',');
    if (comma == std::string::npos)
        return tip;
    const std::string head = Trim(line.substr(0, comma));
    int context = 0;
    const char* first = head.data();
    const char* last = head.data() + head.size();
    const auto [end, ec] = std::from_chars(first, last, context);
    if (head.empty() || ec != std::errc() || end != last || context < 0)
        return tip;
    tip.HelpContext = context;
    tip.Text = line.substr(comma + 1);
    return tip;
}

std::vector<std::string> SplitTipLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!Trim(line).empty())
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

TfrmTips::TfrmTips(Desktop& desktop, std::function<void()> saveTipSettings)
    : TForm("frmTips"), Image1(Make<TImage>("Image1", this)), Label1(Make<TLabel>("Label1", this)),
      StaticText1(Make<TLabel>("StaticText1", this)), btnOk(Make<TButton>("btnOk", this)),
      btnNext(Make<TButton>("btnNext", this)), btnPrevious(Make<TButton>("btnPrevious", this)),
      btnHelp(Make<TButton>("btnHelp", this)), chkShowTips(Make<TCheckBox>("chkShowTips", this)), desktop_(desktop),
      saveTipSettings_(std::move(saveTipSettings)) {
    SetCaption("Ostrel - Tip of the Day");
    MinimizeButton = false;
    Modal = true;
    const TSize screen = desktop_.ScreenSize();
    SetBounds(std::max(0, (screen.Width - FormWidth) / 2), std::max(0, (screen.Height - FormHeight) / 2), FormWidth,
              FormHeight);

    Image1.Picture = "bright";
    Image1.SetBounds(8, 8, 32, 32);
    Label1.SetCaption("Did you know?");
    Label1.SetBounds(48, 16, 225, 20);
    StaticText1.WordWrap = true;
    StaticText1.Centered = true;
    StaticText1.Panel = true;
    StaticText1.SetBounds(8, 48, 265, 129);

    btnOk.SetCaption("&Ok");
    btnOk.SetDefault(true);
    btnOk.Cancel = true;
    btnOk.SetBounds(281, 48, 75, 25);
    btnOk.OnClick = [this] { btnOkClick(); };
    btnNext.SetCaption("&Next");
    btnNext.SetBounds(281, 79, 75, 25);
    btnNext.OnClick = [this] { btnNextClick(); };
    btnPrevious.SetCaption("&Previous");
    btnPrevious.SetBounds(281, 110, 75, 25);
    btnPrevious.OnClick = [this] { btnPreviousClick(); };
    btnHelp.SetCaption("&Help");
    btnHelp.SetBounds(281, 141, 75, 25);
    btnHelp.OnClick = [this] { btnHelpClick(); };
    chkShowTips.SetCaption("Show these tips");
    chkShowTips.SetBounds(8, 183, 200, 17);

    FormCreate();
    desktop_.SetTopmost(*this, true);
    // Wired only now: ticking the box from the saved state is not the user's choice and must
    // not write the settings a second time.
    chkShowTips.OnClick = [this] { chkShowTipsClick(); };
}

void TfrmTips::FormCreate() {
    if (ProgramState().Prefs.TipEnabled)
        chkShowTips.SetChecked(true);
    tips_.clear();
    try {
        tips_ = SplitTipLines(ReadFileString(LocalPath("tips.dat")));
    } catch (const std::exception& e) {
        // An unreadable file is the same to the user as a missing one; the log keeps why.
        try {
            WriteDebugLog("Tips not read: " + std::string(e.what()));
        } catch (...) {
        }
    }
    btnNext.SetEnabled(!tips_.empty());
    btnPrevious.SetEnabled(!tips_.empty());
    btnNextClick();
}

void TfrmTips::btnNextClick() {
    const int count = static_cast<int>(tips_.size());
    if (count > 0) {
        int& n = ProgramState().Prefs.TipNumber;
        // A number from an older, longer file (or a hand-edited one) starts again at the top.
        n = (n >= 0 && n < count - 1) ? n + 1 : 0;
        SaveTipState();
    }
    ShowTip();
}

void TfrmTips::btnPreviousClick() {
    const int count = static_cast<int>(tips_.size());
    if (count > 0) {
        int& n = ProgramState().Prefs.TipNumber;
        n = (n > 0 && n < count) ? n - 1 : count - 1;
        SaveTipState();
    }
    ShowTip();
}

void TfrmTips::ShowTip() {
    const int n = ProgramState().Prefs.TipNumber;
    if (n < 0 || n >= static_cast<int>(tips_.size())) {
        StaticText1.SetCaption(NoTipsText);
        helpContext_ = 0;
    } else {
        const TTip tip = ParseTipLine(tips_[static_cast<size_t>(n)]);
        StaticText1.SetCaption(tip.Text);
        helpContext_ = tip.HelpContext;
    }
    btnHelp.SetEnabled(helpContext_ != 0);
}

void TfrmTips::btnOkClick() {
    ModalResult = IDOK;
    Hide();
}

void TfrmTips::btnHelpClick() {
    desktop_.ShowHelp(helpContext_);
    btnOkClick();
}

void TfrmTips::chkShowTipsClick() {
    ProgramState().Prefs.TipEnabled = chkShowTips.Checked();
    SaveTipState();
}

void TfrmTips::SaveTipState() {
    if (!saveTipSettings_)
        return;
    try {
        saveTipSettings_();
    } catch (const EOstrelError& e) {
        // The window stays usable; the user hears once why the choice may not survive a restart.
        ReportError(desktop_, ClassName(), e.what());
    }
}

void ShowTips(Desktop& desktop, const std::function<void(bool on)>& trayIcon,
              const std::function<void()>& saveTipSettings) {
    TProgramState& state = ProgramState();
    if (state.TipWindowOpen)
        return;
    state.TipWindowOpen = true;
    // Whatever happens in the window, the next tip must be possible and the tray icon must
    // come back: without it the user has no way to reach the program.
    struct TRestore {
        const std::function<void(bool)>& tray;
        bool trayOff = false;
        ~TRestore() {
            ProgramState().TipWindowOpen = false;
            if (trayOff && tray) {
                try {
                    tray(true);
                } catch (...) {
                }
            }
        }
    } restore{trayIcon};
    TfrmTips tips(desktop, saveTipSettings);
    if (trayIcon) {
        restore.trayOff = true;
        trayIcon(false);
    }
    desktop.ShowModal(tips);
}

} // namespace ostrel
