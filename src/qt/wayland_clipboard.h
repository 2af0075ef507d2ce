#pragma once

#include <QObject>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

class QSocketNotifier;
struct wl_callback;
struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_device_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

namespace ostrel {

class TPipeReader;

struct TClipboardLimits {
    // A copy larger than this, or slower than this, is not taken: a program that writes
    // without end must not fill the memory or hold the reader forever.
    std::size_t MaxBytes = 64u << 20;
    int MaxMs = 5000;
};

// The clipboard of a Wayland session, followed through the compositor's data-control interface.
// A compositor tells ordinary clients of clipboard changes only while one of their windows has the
// focus, and a program in the tray never has it; data-control reports every change of the seat's
// selection. Everything runs on the event loop: the display's socket and the pipes the selection
// arrives through are watched by socket notifiers, so no read ever blocks the window.
class TWaylandClipboard : public QObject {
    Q_OBJECT
public:
    // Connects to the session's Wayland display and asks for data-control; Active() turns true
    // once the compositor offers it. nullptr when there is no display to connect to.
    static TWaylandClipboard* Open(std::function<void()> onChange, QObject* parent, TClipboardLimits limits = {});
    ~TWaylandClipboard() override;

    // The compositor offers data-control and the selection is followed here.
    bool Active() const { return device_ != nullptr; }
    // The text of the latest selection ("" when it holds no text or could not be read).
    const std::string& Text() const { return text_; }
    // Makes the text the seat's selection ("" clears it). Not reported back as a change.
    void SetText(const std::string& text);

private:
    TWaylandClipboard(wl_display* display, std::function<void()> onChange, TClipboardLimits limits, QObject* parent);
    void Dispatch();
    void Flush();
    void Shutdown();
    void Published(std::string text);
    void DropReader();
    void DropSource();
    void NewSelection(zwlr_data_control_offer_v1* offer);

    // The compositor's events arrive through the listeners of TWaylandEvents.
    friend struct TWaylandEvents;

    wl_display* display_;
    std::function<void()> onChange_;
    TClipboardLimits limits_;
    QSocketNotifier* notifier_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_callback* sync_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwlr_data_control_manager_v1* manager_ = nullptr;
    zwlr_data_control_device_v1* device_ = nullptr;
    // Offers announced by the compositor with the types each carries; only the selection's stays.
    std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers_;
    TPipeReader* reader_ = nullptr;
    zwlr_data_control_source_v1* source_ = nullptr;
    std::string sourceText_;
    std::string text_;
    // The program set the selection itself and the compositor has not yet reported it back.
    bool ownChangePending_ = false;
    std::string ownText_;
    bool shutdownWanted_ = false;
    // The next selection is the one the compositor finds when the data device is made.
    bool initialSelection_ = true;
};

} // namespace ostrel
