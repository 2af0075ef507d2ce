#include "qt/wayland_clipboard.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <wayland-client.h>

#include "qt/pipe_transfer.h"
#include "util/debug_log.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace ostrel {

namespace {
// The text types a selection may carry, the most faithful first.
constexpr const char* TextTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "TEXT", "STRING"};
// What the program offers when it sets the selection itself: its text is UTF-8, which STRING
// (Latin-1) cannot promise.
constexpr const char* OwnTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "TEXT"};
// Another program is given this long to take a text the program offers.
constexpr int WriteLimitMs = 5000;

// STRING is Latin-1 by definition; the program works in UTF-8.
std::string Latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void Log(const std::string& line) {
    try {
        WriteDebugLog(line);
    } catch (const std::exception&) {
        // The log is a help for support; the clipboard goes on without it.
    }
}

TWaylandClipboard* Self(void* data) {
    return static_cast<TWaylandClipboard*>(data);
}
} // namespace

struct TWaylandEvents {
    static void Global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        auto* self = Self(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_)
            self->seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 && !self->manager_)
            self->manager_ = static_cast<zwlr_data_control_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    }

    static void GlobalRemove(void*, wl_registry*, uint32_t) {
        // A seat that goes away ends its data device with "finished"; that is handled there.
    }

    static void SyncDone(void* data, wl_callback* callback, uint32_t) {
        auto* self = Self(data);
        wl_callback_destroy(callback);
        self->sync_ = nullptr;
        if (!self->manager_ || !self->seat_) {
            // GNOME and KDE without data-control: the toolkit's clipboard stays in charge.
            self->shutdownWanted_ = true;
            return;
        }
        self->device_ = zwlr_data_control_manager_v1_get_data_device(self->manager_, self->seat_);
        zwlr_data_control_device_v1_add_listener(self->device_, &DeviceListener, self);
        Log("Following the Wayland clipboard");
    }

    static void DataOffer(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = Self(data);
        self->offers_.try_emplace(offer);
        zwlr_data_control_offer_v1_add_listener(offer, &OfferListener, self);
    }

    static void OfferType(void* data, zwlr_data_control_offer_v1* offer, const char* mimeType) {
        auto* self = Self(data);
        auto it = self->offers_.find(offer);
        if (it != self->offers_.end())
            it->second.emplace_back(mimeType);
    }

    static void Selection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        Self(data)->NewSelection(offer);
    }

    static void Finished(void* data, zwlr_data_control_device_v1*) {
        // The seat is gone: the toolkit's clipboard takes over again.
        Log("The Wayland clipboard is no longer followed");
        Self(data)->shutdownWanted_ = true;
    }

    static void PrimarySelection(void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        // Only bound at version 1, so never sent; an offer would still be ours to destroy.
        if (offer) {
            Self(data)->offers_.erase(offer);
            zwlr_data_control_offer_v1_destroy(offer);
        }
    }

    static void SourceSend(void* data, zwlr_data_control_source_v1* source, const char*, int32_t fd) {
        auto* self = Self(data);
        if (source != self->source_) {
            ::close(fd);
            return;
        }
        new TPipeWriter(fd, self->sourceText_, WriteLimitMs, self);
    }

    static void SourceCancelled(void* data, zwlr_data_control_source_v1* source) {
        auto* self = Self(data);
        if (source == self->source_)
            self->source_ = nullptr;
        zwlr_data_control_source_v1_destroy(source);
    }

    static constexpr wl_registry_listener RegistryListener = {&Global, &GlobalRemove};
    static constexpr wl_callback_listener SyncListener = {&SyncDone};
    static constexpr zwlr_data_control_device_v1_listener DeviceListener = {&DataOffer, &Selection, &Finished,
                                                                            &PrimarySelection};
    static constexpr zwlr_data_control_offer_v1_listener OfferListener = {&OfferType};
    static constexpr zwlr_data_control_source_v1_listener SourceListener = {&SourceSend, &SourceCancelled};
};

TWaylandClipboard* TWaylandClipboard::Open(std::function<void()> onChange, QObject* parent, TClipboardLimits limits) {
    // Without WAYLAND_DISPLAY libwayland would guess a socket name: a session that names no
    // Wayland display has none for this program.
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name)
        return nullptr;
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return nullptr;
    return new TWaylandClipboard(display, std::move(onChange), limits, parent);
}

// Start-up does not wait on the compositor: the globals and the answer to a sync arrive through
// the event loop, and data-control is taken up (or the connection dropped) when they do.
TWaylandClipboard::TWaylandClipboard(wl_display* display, std::function<void()> onChange, TClipboardLimits limits,
                                     QObject* parent)
    : QObject(parent), display_(display), onChange_(std::move(onChange)), limits_(limits) {
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &TWaylandEvents::RegistryListener, this);
    sync_ = wl_display_sync(display_);
    wl_callback_add_listener(sync_, &TWaylandEvents::SyncListener, this);
    notifier_ = new QSocketNotifier(wl_display_get_fd(display_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { Dispatch(); });
    Flush();
}

TWaylandClipboard::~TWaylandClipboard() {
    Shutdown();
}

// Listeners may ask to shut the connection down; that waits until libwayland has returned from
// the dispatch that called them.
void TWaylandClipboard::Dispatch() {
    if (!display_)
        return;
    bool prepared = true;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            prepared = false;
            break;
        }
    }
    if (prepared) {
        // The socket is readable, and libwayland reads without waiting.
        wl_display_read_events(display_);
        if (wl_display_get_error(display_) == 0)
            wl_display_dispatch_pending(display_);
    }
    if (const int error = wl_display_get_error(display_)) {
        Log("The Wayland display closed the connection (" + std::string(std::strerror(error)) + ")");
        shutdownWanted_ = true;
    }
    if (shutdownWanted_)
        Shutdown();
    else
        Flush();
}

void TWaylandClipboard::Flush() {
    if (display_ && wl_display_flush(display_) < 0 && errno != EAGAIN) {
        Log("The Wayland display closed the connection");
        Shutdown();
    }
}

// Everything is released and the connection closed; the toolkit's clipboard is in charge again.
void TWaylandClipboard::Shutdown() {
    if (!display_)
        return;
    DropReader();
    DropSource();
    for (auto& [offer, types] : offers_)
        zwlr_data_control_offer_v1_destroy(offer);
    offers_.clear();
    if (device_)
        zwlr_data_control_device_v1_destroy(device_);
    device_ = nullptr;
    if (manager_)
        zwlr_data_control_manager_v1_destroy(manager_);
    manager_ = nullptr;
    if (seat_)
        wl_seat_destroy(seat_);
    seat_ = nullptr;
    if (sync_)
        wl_callback_destroy(sync_);
    sync_ = nullptr;
    if (registry_)
        wl_registry_destroy(registry_);
    registry_ = nullptr;
    delete notifier_;
    notifier_ = nullptr;
    wl_display_disconnect(display_);
    display_ = nullptr;
}

void TWaylandClipboard::DropReader() {
    delete reader_;
    reader_ = nullptr;
}

void TWaylandClipboard::DropSource() {
    if (source_)
        zwlr_data_control_source_v1_destroy(source_);
    source_ = nullptr;
}

// A new selection replaces the one being read; its text is read through a pipe when it has one.
void TWaylandClipboard::NewSelection(zwlr_data_control_offer_v1* offer) {
    DropReader();
    for (auto it = offers_.begin(); it != offers_.end();) {
        if (it->first == offer) {
            ++it;
            continue;
        }
        zwlr_data_control_offer_v1_destroy(it->first);
        it = offers_.erase(it);
    }
    if (!offer)
        return Published("");
    const auto& types = offers_[offer];
    const char* chosen = nullptr;
    for (const char* type : TextTypes) {
        if (std::find(types.begin(), types.end(), type) != types.end()) {
            chosen = type;
            break;
        }
    }
    if (!chosen)
        return Published("");
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        Log("Clipboard text not read: " + std::string(std::strerror(errno)));
        return Published("");
    }
    zwlr_data_control_offer_v1_receive(offer, chosen, fds[1]);
    ::close(fds[1]);
    const bool latin1 = std::strcmp(chosen, "STRING") == 0;
    reader_ = new TPipeReader(
        fds[0], limits_.MaxBytes, limits_.MaxMs,
        [this, latin1](TPipeReader::TResult result, std::string text) {
            // The reader is done with; it goes once its handler returns.
            reader_->deleteLater();
            reader_ = nullptr;
            switch (result) {
            case TPipeReader::TResult::Done:
                return Published(latin1 ? Latin1ToUtf8(text) : std::move(text));
            case TPipeReader::TResult::TooLarge:
                Log("Clipboard text not read: larger than " + std::to_string(limits_.MaxBytes) + " bytes");
                break;
            case TPipeReader::TResult::TimedOut:
                Log("Clipboard text not read: the copying program did not finish sending it");
                break;
            case TPipeReader::TResult::Failed:
                Log("Clipboard text not read: " + std::string(std::strerror(errno)));
                break;
            }
            // Never the previous copy's text in place of one that was lost.
            text_.clear();
            ownChangePending_ = false;
            initialSelection_ = false;
        },
        this);
    // Called from the dispatch, which sends the request when it returns.
}

// The selection's text is known: the listener hears of it after the compositor's events are
// dispatched, so that it may pump events without re-entering the Wayland dispatch.
void TWaylandClipboard::Published(std::string text) {
    const bool own = ownChangePending_ && text == ownText_;
    ownChangePending_ = false;
    // The compositor tells a new data device the selection it finds: what was copied before the
    // program started is not a copy made while it runs.
    const bool initial = std::exchange(initialSelection_, false);
    text_ = std::move(text);
    if (own || initial)
        return;
    QTimer::singleShot(0, this, [this] {
        if (onChange_)
            onChange_();
    });
}

void TWaylandClipboard::SetText(const std::string& text) {
    if (!Active())
        return;
    DropReader();
    DropSource();
    text_ = text;
    ownText_ = text;
    ownChangePending_ = true;
    if (text.empty()) {
        zwlr_data_control_device_v1_set_selection(device_, nullptr);
    } else {
        source_ = zwlr_data_control_manager_v1_create_data_source(manager_);
        zwlr_data_control_source_v1_add_listener(source_, &TWaylandEvents::SourceListener, this);
        for (const char* type : OwnTypes)
            zwlr_data_control_source_v1_offer(source_, type);
        sourceText_ = text;
        zwlr_data_control_device_v1_set_selection(device_, source_);
    }
    Flush();
}

} // namespace ostrel
