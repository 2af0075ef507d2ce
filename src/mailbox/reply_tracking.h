#pragma once

#include <map>
#include <string>
#include <vector>

namespace ostrel {

// What has come back for one request.
struct TReplyState {
    enum TKind { Sent, Parts, Arrived, Damaged };
    TKind Kind = Sent;
    int PartsHeld = 0;
    int PartsTotal = 0; // 0: not known
    // Arrived: the file saved in the downloads folder. Damaged: what was kept of it, if anything.
    std::string Path;
    std::string Note;
};

// "sent", "2 of 5 parts arrived", "arrived", "damaged": the state as the History page shows it.
std::string StateText(const TReplyState& state);

// Replies.Dat beside History.Dat: one line per request that something came back for (the
// request as the history holds it, the state, the parts held and expected, the file, a note;
// separated by tabs). History.Dat keeps its own format; a request without a line here was sent
// and nothing has arrived for it yet.
class TReplyTracking {
public:
    static constexpr std::size_t Limit = 1000;

    explicit TReplyTracking(std::string path);
    // Raises EInOutError when the file exists and cannot be read.
    void Load();
    // Atomic; raises EInOutError.
    void Save() const;

    // The state of a request (as the history holds it: its first word).
    TReplyState State(const std::string& request) const;
    void Set(const std::string& request, const TReplyState& state);
    bool Empty() const { return states_.empty(); }

private:
    std::string path_;
    std::map<std::string, TReplyState> states_;
    std::vector<std::string> order_; // oldest first, for the limit
};

} // namespace ostrel
