#include "mailbox/reply_pickup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include "decoder/receiver.h"
#include "mailbox/page_reply.h"
#include "net/certificate.h"
#include "platform/desktop.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace fs = std::filesystem;

namespace {

// The spool's folder for decoded files, one folder per file sent in parts.
constexpr const char* kDecodedFolder = "Decoded/";

// Replies fetched in one command; their records reach the ledger together, after one flush
// of the spool. A batch ends at either bound, so large mails still show progress.
constexpr std::size_t BatchMails = 400;
constexpr std::uint64_t BatchBytes = 8u << 20;
constexpr std::uint64_t UnknownMailBytes = 64u << 10; // POP3 lists no sizes

std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string Hex(std::uint64_t value, int digits) {
    static const char* const hex = "0123456789abcdef";
    std::string s(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        s[static_cast<std::size_t>(i)] = hex[value & 15];
    return s;
}

// "name (n).ext": the number goes before the extension.
std::string Numbered(const std::string& name, int n) {
    const auto dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    const std::string stem = hasExtension ? name.substr(0, dot) : name;
    const std::string extension = hasExtension ? name.substr(dot) : "";
    return stem + " (" + std::to_string(n) + ")" + extension;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string SystemText(int err) {
    return std::strerror(err);
}

// Puts the spool file into the folder under name, or the first numbered form of it that no
// file, folder or link holds; nothing there is ever replaced. A name that already holds this
// very file (a save interrupted after this step) is taken as done. Returns the path.
std::string PlaceWithoutReplacing(const std::string& spool, const std::string& folder, const std::string& name) {
    for (int n = 0; n < 10000; ++n) {
        const std::string path = folder + (n == 0 ? name : Numbered(name, n));
        if (::link(spool.c_str(), path.c_str()) == 0)
            return path;
        const int err = errno;
        if (err == EEXIST) {
            if (SameFile(spool, path))
                return path;
            continue;
        }
        if (err == EXDEV || err == EPERM || err == EOPNOTSUPP || err == EMLINK) {
            // A downloads folder on another file system (or one without links): a copy, made
            // whole under a hidden name first so that no half file ever carries the name.
            const std::string content = ReadFileString(spool);
            const std::string hidden = folder + ".ostrel-" + fs::path(spool).filename().string();
            WriteFileDurable(hidden, content);
            for (int m = n; m < 10000; ++m) {
                const std::string target = folder + (m == 0 ? name : Numbered(name, m));
                if (::link(hidden.c_str(), target.c_str()) == 0) {
                    ::unlink(hidden.c_str());
                    return target;
                }
                if (errno != EEXIST) {
                    // No links at all: rename cannot refuse an existing name, so look first.
                    struct stat st {};
                    if (::lstat(target.c_str(), &st) == 0)
                        continue;
                    if (::rename(hidden.c_str(), target.c_str()) == 0)
                        return target;
                    const int e = errno;
                    ::unlink(hidden.c_str());
                    throw EInOutError("Cannot save " + target + ": " + SystemText(e));
                }
            }
            ::unlink(hidden.c_str());
            break;
        }
        throw EInOutError("Cannot save " + path + ": " + SystemText(err));
    }
    throw EInOutError("Cannot find a free name for " + name + " in " + folder);
}

} // namespace

std::string SpoolName(const std::string& accountKey, std::uint32_t uidValidity, const std::string& key) {
    return Hex(Fnv1a(accountKey), 8) + "-" + std::to_string(uidValidity) + "-" + Hex(Fnv1a(key), 16);
}

TReplyPickup::TReplyPickup(Desktop& desktop, std::string programFolder, TPickupOptions options)
    : desktop_(desktop), folder_(std::move(programFolder)), options_(std::move(options)),
      accountKey_(MailboxAccountKey(options_.Account)), ledger_(folder_ + "Mailbox.Dat"),
      tracking_(folder_ + "Replies.Dat"), matcher_(options_.ServerAddresses, SentRequests(options_.History)) {
    if (!folder_.empty() && folder_.back() != '/')
        folder_ += '/';
}

TReplyPickup::~TReplyPickup() = default;

void TReplyPickup::Status(const std::string& text) {
    if (OnStatus)
        OnStatus(text);
}

void TReplyPickup::Cancel() {
    canceled_ = true;
    if (client_)
        client_->Cancel();
}

const ECertificateError* TReplyPickup::RefusedCertificate() const {
    return client_ ? client_->RefusedCertificate() : nullptr;
}

bool TReplyPickup::Check(const std::function<void(const std::string& line)>& report) {
    TMailboxAccount account = options_.Account;
    account.WillDelete = false;
    client_ = std::make_unique<TMailboxClient>(desktop_, account);
    bool failedStepReported = false;
    client_->OnStep = [&](const std::string& line) {
        failedStepReported = line.starts_with("Failed:");
        report(line);
    };
    try {
        client_->Open();
    } catch (const std::exception& e) {
        if (!failedStepReported)
            report(std::string("Failed: ") + e.what());
        return false;
    }
    const bool loggedOut = client_->Close();
    if (!loggedOut)
        report("Failed: the server did not confirm the log-out");
    return loggedOut;
}

// Spool files that no pending save names are left over from a fetch that ended before it
// recorded them: the reply they hold was not taken and is fetched again.
void TReplyPickup::RemoveStaleSpool() {
    std::set<std::string> named;
    for (const auto& p : ledger_.Pending())
        named.insert(p.Spool);
    for (const auto& h : ledger_.Held())
        named.insert(h.Spool);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(SpoolFolder(), ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(ec) && !named.count(name))
            fs::remove(entry.path(), ec);
    }
    RemoveStaleDecoded();
}

// A folder of decoded files that no pending save names was left by a run that ended before it
// recorded them (the parts are still held and decode again), or its files are all placed.
void TReplyPickup::RemoveStaleDecoded() {
    const std::string decoded = SpoolFolder() + kDecodedFolder;
    std::error_code ec;
    if (!fs::is_directory(decoded, ec))
        return;
    for (const auto& entry : fs::directory_iterator(decoded, ec)) {
        const std::string prefix = std::string(kDecodedFolder) + entry.path().filename().string() + "/";
        const auto& p = ledger_.Pending();
        if (std::none_of(p.begin(), p.end(), [&](const TPendingSave& s) { return s.Spool.starts_with(prefix); }))
            fs::remove_all(entry.path(), ec);
    }
    fs::remove(decoded, ec); // only when empty
}

// Runs the parts held for each file through the receiver. A file that decodes is written and
// flushed into a folder of its own in the spool, and only then does the ledger name it as a save
// to place, in the same atomic write that lets its parts go. A run that ends between the two
// still holds the parts and decodes them again into the emptied folder, so the file reaches the
// downloads folder once, under its own name. Nothing is kept of a file still missing parts: its
// parts wait in the spool and the request shows how many of how many are there.
void TReplyPickup::DecodeHeld(TPickupResult& result) {
    auto& held = ledger_.Held();
    if (held.empty())
        return;
    std::vector<std::string> groups;
    for (const auto& h : held)
        if (std::find(groups.begin(), groups.end(), h.Group) == groups.end())
            groups.push_back(h.Group);
    std::vector<TPendingSave> saves;
    std::set<std::string> settledGroups;
    bool trackingChanged = false;
    bool waitingChanged = false;
    auto& waitingFor = ledger_.Waiting();
    for (const auto& group : groups) {
        std::vector<THeldPart> parts;
        std::copy_if(held.begin(), held.end(), std::back_inserter(parts),
                     [&](const THeldPart& h) { return h.Group == group; });
        // Still missing parts and none came since it was last tried: decoding it again would only
        // write and remove the same bytes once more.
        if (const auto w = waitingFor.find(group); w != waitingFor.end() && w->second == parts.size())
            continue;
        const THeldPart& first = parts.front();
        // The request of the first part matched to one.
        const auto matched =
            std::find_if(parts.begin(), parts.end(), [](const THeldPart& p) { return !p.Request.empty(); });
        const std::string request = matched == parts.end() ? std::string() : matched->Request;
        const std::string folderName = std::string(kDecodedFolder) + first.Spool + "/";
        const std::string folder = SpoolFolder() + folderName;
        std::error_code ec;
        fs::remove_all(folder, ec);
        Status("Decoding the file of " + (request.empty() ? first.Target : request));
        TryWriteDebugLog("Decoding " + std::to_string(parts.size()) + " held mails of " + first.Target);
        std::vector<TReceivedFile> settled, waiting;
        try {
            TReceiveOptions options;
            options.TargetFolder = folder;
            // A large file takes a while: the window stays alive meanwhile.
            options.Pump = [this] { desktop_.ProcessMessages(); };
            TReceiver receiver(options);
            for (const auto& p : parts)
                receiver.AddFile(SpoolFolder() + p.Spool);
            settled = receiver.Settled();
            waiting = receiver.Pending();
            receiver.DiscardPending();
        } catch (const std::exception& e) {
            settled.clear();
            waiting.clear();
            settled.push_back(TReceivedFile{TReceivedFile::NotSaved, first.Target, "", 0, 0, {}, e.what(), ""});
        }
        const auto notSaved = std::find_if(settled.begin(), settled.end(),
                                           [](const TReceivedFile& f) { return f.State == TReceivedFile::NotSaved; });
        if (notSaved != settled.end() || !waiting.empty()) {
            fs::remove_all(folder, ec);
            if (notSaved != settled.end()) {
                result.Problems.push_back("The file " + notSaved->Name + " could not be saved: " + notSaved->Why +
                                          " (its mails are kept and decoded again at the next fetch)");
                continue;
            }
            waitingFor[group] = parts.size();
            waitingChanged = true;
            const TReplyState before = tracking_.State(request);
            if (!request.empty() && (before.Kind == TReplyState::Sent || before.Kind == TReplyState::Parts)) {
                TReplyState s;
                s.Kind = TReplyState::Parts;
                s.PartsHeld = waiting.front().PartsHeld;
                s.PartsTotal = waiting.front().PartsTotal;
                s.Note = waiting.front().Why;
                tracking_.Set(request, s);
                trackingChanged = true;
            }
            continue;
        }
        settledGroups.insert(group);
        // The mails themselves go to the downloads folder only when nothing usable came of them:
        // the user needs them for the UUDecoder then.
        auto keepMails = [&](const std::string& why) {
            for (const auto& p : parts)
                saves.push_back(TPendingSave{p.Key, p.Spool, p.Target, request, "damaged",
                                             why + ": the mail is kept for the UUDecoder"});
        };
        bool mailsKept = false;
        if (settled.empty()) {
            keepMails("no file could be decoded from the mails");
            continue;
        }
        // Damaged files after whole ones: a request with any damaged file shows damaged.
        std::stable_partition(settled.begin(), settled.end(),
                              [](const TReceivedFile& f) { return f.State == TReceivedFile::Saved; });
        for (const auto& f : settled) {
            const std::string name = fs::path(f.Path).filename().string();
            if (f.State == TReceivedFile::Saved) {
                saves.push_back(TPendingSave{first.Key, folderName + name, name, request, "arrived", ""});
            } else if (!f.Path.empty()) {
                saves.push_back(
                    TPendingSave{first.Key, folderName + name, name, request, "damaged", f.Name + ": " + f.Why});
            } else if (!mailsKept) {
                keepMails(f.Name + " is damaged (" + f.Why + ")");
                mailsKept = true;
            }
        }
    }
    if (trackingChanged)
        tracking_.Save();
    for (const auto& group : settledGroups)
        waitingFor.erase(group);
    if (settledGroups.empty()) {
        // Only spares work: when it cannot be written, the next fetch tries the group again.
        if (waitingChanged)
            try {
                SaveLedger(result);
            } catch (const EInOutError& e) {
                TryWriteDebugLog(e.what());
            }
        return;
    }
    // The decoded files are on disk before the record that names them.
    std::vector<std::string> decoded;
    for (const auto& save : saves)
        if (save.Spool.starts_with(kDecodedFolder))
            decoded.push_back(save.Spool);
    FlushWrittenFiles(SpoolFolder(), decoded);
    std::vector<std::string> released;
    for (const auto& h : held)
        if (settledGroups.count(h.Group))
            released.push_back(h.Spool);
    std::erase_if(held, [&](const THeldPart& h) { return settledGroups.count(h.Group) > 0; });
    auto& pending = ledger_.Pending();
    pending.insert(pending.end(), saves.begin(), saves.end());
    SaveLedger(result);
    for (const auto& spool : released)
        if (std::none_of(saves.begin(), saves.end(), [&](const TPendingSave& s) { return s.Spool == spool; }))
            ::unlink((SpoolFolder() + spool).c_str());
    CompletePending(result);
    RemoveStaleDecoded();
}

void TReplyPickup::CompletePending(TPickupResult& result, bool recordNow) {
    auto& pending = ledger_.Pending();
    if (pending.empty())
        return;
    std::vector<TArrival> placed;
    std::vector<std::string> spools;
    for (const auto& p : pending) {
        const std::string spool = SpoolFolder() + p.Spool;
        std::string path;
        if (::access(spool.c_str(), F_OK) == 0) {
            path = PlaceWithoutReplacing(spool, DownloadsFolder(), p.Target);
        } else {
            // Placed and its spool entry removed, the record not yet: the tracking knows where.
            path = tracking_.State(p.Request).Path;
            if (path.empty())
                path = DownloadsFolder() + p.Target;
        }
        TArrival a{p.Request, path, p.State == "damaged", p.Note};
        placed.push_back(a);
        spools.push_back(spool);
        if (!p.Request.empty()) {
            TReplyState s;
            s.Kind = a.Damaged ? TReplyState::Damaged : TReplyState::Arrived;
            if (p.State.starts_with("file")) {
                const TReplyState before = tracking_.State(p.Request);
                s.Kind = TReplyState::Parts;
                s.PartsHeld = (before.Kind == TReplyState::Parts ? before.PartsHeld : 0) + 1;
                s.PartsTotal = p.State.size() > 5 ? VBVal(p.State.substr(5)) : before.PartsTotal;
            }
            s.Path = path;
            s.Note = p.Note;
            tracking_.Set(p.Request, s);
        }
    }
    SyncFolder(DownloadsFolder());
    tracking_.Save();
    for (const auto& spool : spools)
        ::unlink(spool.c_str());
    pending.clear();
    unreported_.insert(unreported_.end(), placed.begin(), placed.end());
    if (recordNow)
        SaveLedger(result);
}

void TReplyPickup::FlushSpool() {
    std::vector<std::string> names;
    names.swap(unflushed_);
    FlushWrittenFiles(SpoolFolder(), names);
}

void TReplyPickup::SaveLedger(TPickupResult& result) {
    ledger_.Save();
    if (unreported_.empty())
        return;
    std::vector<TArrival> arrivals;
    arrivals.swap(unreported_);
    std::vector<std::string> lines;
    lines.reserve(arrivals.size());
    // Reported before the log is written: a log that cannot be written loses no arrival.
    for (const auto& a : arrivals) {
        lines.push_back("Reply saved: " + a.Path);
        result.Arrivals.push_back(a);
        if (OnArrival)
            OnArrival(a);
    }
    WriteDebugLogLines(lines);
}

bool TReplyPickup::TakeReply(const TMailSummary& mail, std::string&& content, const TReplyHeaders& headers,
                             TPickupResult& result) {
    TLedgerAccount& account = ledger_.Account(accountKey_);
    const std::string spoolName = SpoolName(accountKey_, account.UidValidity, mail.Key);
    const TReplyContent reply = ReadReply(content);
    auto answered = [this](const std::string& request) {
        const auto kind = tracking_.State(request).Kind;
        if (kind == TReplyState::Arrived || kind == TReplyState::Damaged)
            return true;
        const auto& p = ledger_.Pending();
        return std::any_of(p.begin(), p.end(),
                           [&](const TPendingSave& s) { return s.Request == request && !s.State.starts_with("file"); });
    };
    // "(2/5)" and the like in the subject: one mail of a file sent in parts, even when it
    // carries only the middle of the encoded lines and reads as text.
    const TSubjectPart part = PartInSubject(headers.Subject);
    TPendingSave save;
    save.Key = mail.Key;
    save.Spool = spoolName;
    THeldPart held;
    std::string data;
    if (reply.Kind == TReplyContent::Page && part.Part == 0) {
        save.Request = matcher_.MatchRequest(headers, reply.Data, answered);
        save.Target = PageFileName(save.Request, headers.Subject, reply.Extension);
        save.State = "arrived";
        data = reply.Data;
    } else if (reply.Kind == TReplyContent::Damaged) {
        // The mail as it came, for the user to look at: nothing is claimed to have decoded.
        save.Request = matcher_.MatchRequest(headers, content, answered);
        save.Target = PageFileName(save.Request, headers.Subject, ".damaged.eml");
        save.State = "damaged";
        save.Note = reply.Problem;
        data = std::move(content);
    } else {
        // A mail that carries a file, or one part of it (the numbering in its subject tells, even
        // when the part holds only the middle of the encoded lines and reads as text): held in the
        // spool until every part of its file is there, then decoded (see DecodeHeld).
        held.Key = mail.Key;
        held.Spool = spoolName;
        held.Request = matcher_.MatchRequest(headers, content, answered);
        // The parts of one file share their subject, whatever request each was matched to. Kept as
        // the ledger will read it back: no tabs or line ends.
        held.Group = part.Part > 0 ? part.Base : Trim(LowerCase(headers.Subject));
        std::replace_if(
            held.Group.begin(), held.Group.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
        held.Target = PageFileName(held.Request, headers.Subject, ".eml");
        data = std::move(content);
    }
    try {
        // Flushed with the rest of its batch before the ledger names it.
        WriteFileUnflushed(SpoolFolder() + spoolName, data);
        unflushed_.push_back(spoolName);
    } catch (const std::exception& e) {
        result.Problems.push_back(std::string(e.what()) + " (the reply stays on the server for the next fetch)");
        WriteDebugLog(std::string("Reply not saved: ") + e.what());
        return false;
    }
    if (held.Spool.empty())
        ledger_.Pending().push_back(save);
    else
        ledger_.Held().push_back(held);
    return true;
}

TPickupResult TReplyPickup::Fetch() {
    TPickupResult result;
    canceled_ = false;
    unflushed_.clear();
    if (!ForceDirectories(SpoolFolder()) || !ForceDirectories(DownloadsFolder()))
        throw EInOutError("Cannot create the folders " + SpoolFolder() + " and " + DownloadsFolder() +
                          " for the replies: check that the program folder can be written");
    ledger_.Load();
    tracking_.Load();
    RemoveStaleSpool();
    CompletePending(result);
    DecodeHeld(result);

    TMailboxAccount account = options_.Account;
    account.WillDelete = options_.Delete;
    client_ = std::make_unique<TMailboxClient>(desktop_, account);
    Status("Connecting to " + account.Server);
    client_->Open();
    TLedgerAccount& record = ledger_.Account(accountKey_);
    const bool imap = account.Protocol == TMailProtocol::IMAP;
    if (imap && record.UidValidity != client_->UidValidity()) {
        if (record.UidValidity != 0)
            WriteDebugLog("The mailbox folder was renumbered (UIDVALIDITY " + std::to_string(record.UidValidity) +
                          " to " + std::to_string(client_->UidValidity()) + "): every mail is judged again");
        record.UidValidity = client_->UidValidity();
        record.Seen = 0;
        record.Done.clear();
        record.ToDelete.clear();
    }
    Status("Looking for replies");
    std::vector<TMailSummary> listed = client_->List(imap ? record.Seen + 1 : 0);
    if (!imap) {
        // A UIDL that left the server never comes back: forget it.
        std::set<std::string> present;
        for (const auto& m : listed)
            present.insert(m.Key);
        std::erase_if(record.Done, [&](const std::string& k) { return !present.count(k); });
        std::erase_if(record.ToDelete, [&](const std::string& k) { return !present.count(k); });
    }
    std::vector<TMailSummary*> fresh;
    for (auto& m : listed)
        if (!record.Done.count(m.Key))
            fresh.push_back(&m);
    client_->ReadHeaders(fresh);

    std::vector<const TMailSummary*> replies;
    std::vector<TReplyHeaders> replyHeaders;
    for (TMailSummary* m : fresh) {
        if (!m->HeadersRead)
            continue; // judged next time
        ++result.Examined;
        const TReplyHeaders h = ReadReplyHeaders(m->Headers);
        if (matcher_.IsReply(h) && !ledger_.WasTaken(record, h.MessageId)) {
            replies.push_back(m);
            replyHeaders.push_back(h);
        } else {
            record.Done.insert(m->Key);
        }
    }

    std::set<std::string> taken;
    try {
        for (std::size_t from = 0, to = 0; from < replies.size(); from = to) {
            std::uint64_t bytes = 0;
            for (to = from; to < replies.size() && to - from < BatchMails && (to == from || bytes < BatchBytes); ++to)
                bytes += replies[to]->Size != 0 ? replies[to]->Size : UnknownMailBytes;
            Status("Reading replies: " + std::to_string(from + 1) + " to " + std::to_string(to) + " of " +
                   std::to_string(replies.size()));
            std::vector<const TMailSummary*> batch(replies.begin() + static_cast<std::ptrdiff_t>(from),
                                                   replies.begin() + static_cast<std::ptrdiff_t>(to));
            std::vector<std::string> takenNow;
            client_->FetchMany(batch, [&](const TMailSummary& m, std::string&& content) {
                const auto index =
                    static_cast<std::size_t>(std::find(replies.begin(), replies.end(), &m) - replies.begin());
                if (TakeReply(m, std::move(content), replyHeaders[index], result)) {
                    takenNow.push_back(m.Key);
                    TLedgerAccount& r = ledger_.Account(accountKey_);
                    r.Done.insert(m.Key);
                    TMailboxLedger::NoteTaken(r, replyHeaders[index].MessageId);
                    if (options_.Delete)
                        r.ToDelete.insert(m.Key);
                }
            });
            if (takenNow.empty())
                continue;
            // The spool entries are on disk before the record that names them.
            FlushSpool();
            SaveLedger(result);
            result.Replies += takenNow.size();
            taken.insert(takenNow.begin(), takenNow.end());
            CompletePending(result, false);
        }
    } catch (...) {
        // What the earlier batches placed is recorded and reported now, not at the next fetch; the
        // replies of the broken batch taken so far are flushed before the record names them.
        if (!unreported_.empty())
            try {
                FlushSpool();
                SaveLedger(result);
            } catch (const std::exception&) {
            }
        throw;
    }

    DecodeHeld(result);

    TLedgerAccount& r = ledger_.Account(accountKey_);
    if (imap) {
        // Seen moves over the judged mails from the start; Done keeps the judged ones after a
        // reply that is still to be taken.
        for (const auto& m : listed) {
            if (!r.Done.count(m.Key))
                break;
            r.Seen = std::max(r.Seen, m.Uid);
        }
        std::erase_if(r.Done, [&](const std::string& k) {
            return static_cast<std::uint32_t>(std::strtoul(k.c_str(), nullptr, 10)) <= r.Seen;
        });
    }
    // Deleted only now that their files are in the downloads folder, flushed.
    std::vector<std::string> deleted;
    if (options_.Delete && !r.ToDelete.empty()) {
        Status("Deleting the replies saved");
        std::vector<TMailSummary> all = imap ? std::vector<TMailSummary>{} : listed;
        for (const auto& key : std::vector<std::string>(r.ToDelete.begin(), r.ToDelete.end())) {
            TMailSummary target;
            target.Key = key;
            if (imap) {
                target.Uid = static_cast<std::uint32_t>(std::strtoul(key.c_str(), nullptr, 10));
            } else {
                const auto it =
                    std::find_if(all.begin(), all.end(), [&](const TMailSummary& m) { return m.Key == key; });
                if (it == all.end())
                    continue;
                target.Number = it->Number;
            }
            try {
                client_->Delete(target);
                deleted.push_back(key);
            } catch (const ESocketError& e) {
                result.Problems.push_back(std::string("A saved reply was not deleted on the server: ") + e.what());
                if (!client_->Connected())
                    break;
            }
        }
        if (imap)
            for (const auto& key : deleted)
                r.ToDelete.erase(key);
    }
    SaveLedger(result);
    const bool loggedOut = client_->Close();
    // POP3 carries the deletions out at a confirmed QUIT only.
    if (!imap && loggedOut && !deleted.empty()) {
        for (const auto& key : deleted)
            ledger_.Account(accountKey_).ToDelete.erase(key);
        ledger_.Save();
    }
    Status(result.Arrivals.empty() ? "Nothing new" : std::to_string(result.Arrivals.size()) + " saved");
    return result;
}

} // namespace ostrel
