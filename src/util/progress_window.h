#pragma once

#include <functional>
#include <string>

#include "forms/form.h"
#include "platform/desktop.h"

namespace ostrel {

// A timer owned by a window: runs on the desktop's timers while enabled, and stops with the
// window, so a tick can never reach a window that is gone.
class TWindowTimer {
public:
    TWindowTimer(Desktop& desktop, int intervalMs) : desktop_(desktop), interval_(intervalMs) {}
    ~TWindowTimer();
    TWindowTimer(const TWindowTimer&) = delete;
    TWindowTimer& operator=(const TWindowTimer&) = delete;

    bool Enabled() const { return id_ != 0; }
    void SetEnabled(bool enabled);
    int Interval() const { return interval_; }
    // Takes effect at the next enabling.
    void SetInterval(int intervalMs) { interval_ = intervalMs; }

    std::function<void()> OnTimer;

private:
    Desktop& desktop_;
    int interval_;
    int id_ = 0;
};

// The small borderless box near the mouse pointer: one line of text over a progress bar. It
// shows how far a request mail has got, and doubles as a note that closes itself.
class TfrmProgress : public TForm {
public:
    static constexpr int FormWidth = 192;
    static constexpr int FormHeight = 32;
    static constexpr int NoteMs = 2000;

    // Builds the window and places it near the pointer (FormCreate). Not shown yet.
    explicit TfrmProgress(Desktop& desktop);
    ~TfrmProgress() override;
    std::string ClassName() const override { return "TfrmProgress"; }

    TGroupBox& Panel1;
    TLabel& Label1;
    TProgressBar& ProgressBar1;
    TWindowTimer Timer1;

    void FormCreate();
    // Closes the window once the note has been on screen long enough.
    void Timer1Timer();

private:
    Desktop& desktop_;
};

// Where the top-left corner of a window of that size goes: at the pointer, but never closer
// than the window's own size + 50 to the top and left edges nor 50 to the bottom and right.
TPoint ProgressWindowPosition(TPoint cursor, TSize screen, int width, int height);

// Shows text in a progress window for two seconds, modally, without the bar. Never raises:
// a note that cannot be shown is not worth interrupting the request it belongs to.
void ShowProgressNote(Desktop& desktop, const std::string& text);

} // namespace ostrel
