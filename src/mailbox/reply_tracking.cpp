#include "mailbox/reply_tracking.h"

#include <algorithm>

#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace {
const char* const kKindNames[] = {"sent", "parts", "arrived", "damaged"};

std::string Clean(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
    return text;
}
} // namespace

std::string StateText(const TReplyState& state) {
    switch (state.Kind) {
    case TReplyState::Parts:
        if (state.PartsTotal <= 0)
            return std::to_string(state.PartsHeld) + (state.PartsHeld == 1 ? " part arrived" : " parts arrived");
        return std::to_string(state.PartsHeld) + " of " + std::to_string(state.PartsTotal) + " parts arrived";
    case TReplyState::Arrived:
        return "arrived";
    case TReplyState::Damaged:
        return "damaged";
    default:
        return "sent";
    }
}

TReplyTracking::TReplyTracking(std::string path) : path_(std::move(path)) {}

void TReplyTracking::Load() {
    states_.clear();
    order_.clear();
    const std::string text = ReadFileString(path_);
    for (const std::string& line : TextLines(text)) {
        std::vector<std::string> f;
        std::size_t from = 0;
        for (;;) {
            const std::size_t tab = line.find('\t', from);
            f.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos)
                break;
            from = tab + 1;
        }
        if (f.size() < 6 || f[0].empty())
            continue;
        TReplyState s;
        const auto kind = std::find(std::begin(kKindNames), std::end(kKindNames), f[1]);
        if (kind == std::end(kKindNames))
            continue;
        s.Kind = static_cast<TReplyState::TKind>(kind - std::begin(kKindNames));
        s.PartsHeld = VBVal(f[2]);
        s.PartsTotal = VBVal(f[3]);
        s.Path = f[4];
        s.Note = f[5];
        Set(f[0], s);
    }
}

void TReplyTracking::Save() const {
    std::string text;
    for (const auto& request : order_) {
        const TReplyState& s = states_.at(request);
        text += Clean(request) + "\t" + kKindNames[s.Kind] + "\t" + std::to_string(s.PartsHeld) + "\t" +
                std::to_string(s.PartsTotal) + "\t" + Clean(s.Path) + "\t" + Clean(s.Note) + "\r\n";
    }
    WriteFileAtomic(path_, text);
}

TReplyState TReplyTracking::State(const std::string& request) const {
    const auto it = states_.find(request);
    return it == states_.end() ? TReplyState{} : it->second;
}

void TReplyTracking::Set(const std::string& request, const TReplyState& state) {
    if (request.empty())
        return;
    if (states_.count(request))
        order_.erase(std::find(order_.begin(), order_.end(), request));
    states_[request] = state;
    order_.push_back(request);
    while (order_.size() > Limit) {
        states_.erase(order_.front());
        order_.erase(order_.begin());
    }
}

} // namespace ostrel
