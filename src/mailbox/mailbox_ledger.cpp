#include "mailbox/mailbox_ledger.h"

#include <algorithm>
#include <cstdlib>

#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace {

// Fields of a pending save are separated by tabs, which no file name or request holds here.
std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

std::string NoTabs(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
    return text;
}

} // namespace

TMailboxLedger::TMailboxLedger(std::string path) : path_(std::move(path)) {}

void TMailboxLedger::Load() {
    accounts_.clear();
    pending_.clear();
    held_.clear();
    waiting_.clear();
    const std::string text = ReadFileString(path_);
    TLedgerAccount* account = nullptr;
    for (const std::string& line : TextLines(text)) {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            const std::string name = line.substr(1, line.size() - 2);
            account = name == "Pending" || name == "Held" ? nullptr : &accounts_[name];
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (account == nullptr) {
            const auto f = SplitTabs(value);
            if (key == "Save" && f.size() == 6 && !f[1].empty() && !f[2].empty())
                pending_.push_back(TPendingSave{f[0], f[1], f[2], f[3], f[4], f[5]});
            else if (key == "Part" && f.size() == 5 && !f[1].empty() && !f[4].empty())
                held_.push_back(THeldPart{f[0], f[1], f[2], f[3], f[4]});
            else if (key == "Waiting" && f.size() == 2)
                waiting_[f[1]] = static_cast<std::size_t>(std::strtoul(f[0].c_str(), nullptr, 10));
            continue;
        }
        if (key == "UidValidity")
            account->UidValidity = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "Seen")
            account->Seen = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "Done")
            account->Done.insert(value);
        else if (key == "Delete")
            account->ToDelete.insert(value);
        else if (key == "Taken")
            account->TakenIds.push_back(value);
    }
    written_ = Text();
}

void TMailboxLedger::Save() const {
    // Each write is flushed to the disk: one that would not change the file is not made.
    std::string text = Text();
    if (text == written_)
        return;
    WriteFileAtomic(path_, text);
    written_ = std::move(text);
}

std::string TMailboxLedger::Text() const {
    std::string text;
    text.reserve(4096);
    for (const auto& [name, a] : accounts_) {
        text += "[" + name + "]\r\n";
        text += "UidValidity=" + std::to_string(a.UidValidity) + "\r\n";
        text += "Seen=" + std::to_string(a.Seen) + "\r\n";
        for (const auto& key : a.Done)
            text += "Done=" + key + "\r\n";
        for (const auto& key : a.ToDelete)
            text += "Delete=" + key + "\r\n";
        for (const auto& id : a.TakenIds)
            text += "Taken=" + id + "\r\n";
    }
    if (!pending_.empty()) {
        text += "[Pending]\r\n";
        for (const auto& p : pending_)
            text += "Save=" + NoTabs(p.Key) + "\t" + NoTabs(p.Spool) + "\t" + NoTabs(p.Target) + "\t" +
                    NoTabs(p.Request) + "\t" + NoTabs(p.State) + "\t" + NoTabs(p.Note) + "\r\n";
    }
    if (!held_.empty()) {
        text += "[Held]\r\n";
        for (const auto& h : held_)
            text += "Part=" + NoTabs(h.Key) + "\t" + NoTabs(h.Spool) + "\t" + NoTabs(h.Request) + "\t" +
                    NoTabs(h.Group) + "\t" + NoTabs(h.Target) + "\r\n";
        // Not a structured binding: clang before 16 cannot capture one in the lambda.
        for (const auto& waiting : waiting_)
            if (std::any_of(held_.begin(), held_.end(), [&](const THeldPart& h) { return h.Group == waiting.first; }))
                text += "Waiting=" + std::to_string(waiting.second) + "\t" + NoTabs(waiting.first) + "\r\n";
    }
    return text;
}

bool TMailboxLedger::WasTaken(const TLedgerAccount& account, const std::string& messageId) const {
    return !messageId.empty() &&
           std::find(account.TakenIds.begin(), account.TakenIds.end(), messageId) != account.TakenIds.end();
}

void TMailboxLedger::NoteTaken(TLedgerAccount& account, const std::string& messageId) {
    const std::string id = NoTabs(Trim(messageId));
    if (id.empty())
        return;
    account.TakenIds.push_back(id);
    while (account.TakenIds.size() > TakenIdLimit)
        account.TakenIds.pop_front();
}

} // namespace ostrel
