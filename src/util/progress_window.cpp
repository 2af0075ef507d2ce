#include "util/progress_window.h"

#include <algorithm>

#include "platform/desktop.h"
#include "util/debug_log.h"

namespace ostrel {

TWindowTimer::~TWindowTimer() {
    SetEnabled(false);
}

void TWindowTimer::SetEnabled(bool enabled) {
    if (enabled == Enabled())
        return;
    if (enabled) {
        id_ = desktop_.SetTimer(interval_, [this] {
            if (OnTimer)
                OnTimer();
        });
    } else {
        desktop_.KillTimer(id_);
        id_ = 0;
    }
}

TPoint ProgressWindowPosition(TPoint cursor, TSize screen, int width, int height) {
    TPoint p = cursor;
    // The top and left rules first, so that on a screen too small for both the window still
    // ends up clear of the bottom and right edges, where the taskbar and panels usually are.
    p.Y = std::max(p.Y, height + 50);
    p.X = std::max(p.X, width + 50);
    if (p.Y + height > screen.Height - 50)
        p.Y = screen.Height - 50 - height;
    if (p.X + width > screen.Width - 50)
        p.X = screen.Width - 50 - width;
    return p;
}

TfrmProgress::TfrmProgress(Desktop& desktop)
    : TForm("frmProgress"), Panel1(Make<TGroupBox>("Panel1", this)), Label1(Make<TLabel>("Label1", &Panel1)),
      ProgressBar1(Make<TProgressBar>("ProgressBar1", &Panel1)), Timer1(desktop, NoteMs), desktop_(desktop) {
    MinimizeButton = false;
    Borderless = true;
    SetBounds(0, 0, FormWidth, FormHeight);
    Panel1.SetBounds(0, 0, FormWidth, FormHeight);
    Label1.SetBounds(5, 3, 182, 16);
    Label1.Centered = true;
    // The end of a request's URL tells it from the others.
    Label1.KeepEnd = true;
    ProgressBar1.SetBounds(5, 20, 182, 9);
    ProgressBar1.Min = 0;
    ProgressBar1.Max = 100;
    Timer1.OnTimer = [this] { Timer1Timer(); };
    FormCreate();
    desktop_.SetTopmost(*this, true);
}

TfrmProgress::~TfrmProgress() {
    Timer1.SetEnabled(false);
}

void TfrmProgress::FormCreate() {
    const TPoint p = ProgressWindowPosition(desktop_.CursorPos(), desktop_.ScreenSize(), FormWidth, FormHeight);
    SetBounds(p.X, p.Y, FormWidth, FormHeight);
}

void TfrmProgress::Timer1Timer() {
    // One tick is all a note gets; the timer must not fire into a closed window.
    Timer1.SetEnabled(false);
    ModalResult = IDOK;
    Hide();
}

void ShowProgressNote(Desktop& desktop, const std::string& text) {
    constexpr int FormHeight = TfrmProgress::FormHeight;
    try {
        TfrmProgress note(desktop);
        note.ProgressBar1.SetVisible(false);
        // Without the bar the text sits in the middle of the box, not above an empty band.
        const int height = note.Label1.Height();
        note.Label1.SetBounds(note.Label1.Left(), (FormHeight - height) / 2, note.Label1.Width(), height);
        note.Label1.SetCaption(text);
        note.Timer1.SetEnabled(true);
        desktop.ShowModal(note);
    } catch (...) {
    }
    try {
        NoteLastOperation("Requesting");
    } catch (...) {
    }
}

} // namespace ostrel
