#include "decoder/receiver.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <new>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mime/header_params.h"
#include "mime/mail_walker.h"
#include "mime/yenc.h"
#include "util/debug_log.h"
#include "util/error.h"
#include "util/file_io.h"
#include "util/text.h"

namespace ostrel {

namespace {

constexpr std::size_t kReadPiece = 1 << 20;
// Data joined straight onto a file leaves in writes of up to this size, whatever the size of
// the parts it came in.
constexpr std::size_t kGatherPiece = 1 << 20;
// The room the walker needs for its next step of decoding straight into that buffer.
constexpr std::size_t kGatherRoom = 64 << 10;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string CollapseLower(std::string_view s) {
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (c == ' ' || c == '\t') {
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return out;
}

bool MatchNoCase(std::string_view text, std::size_t at, std::string_view word) {
    if (at + word.size() > text.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if ((text[at + i] | 0x20) != word[i])
            return false;
    return true;
}

} // namespace

TSubjectPart PartInSubject(std::string_view subject) {
    struct TMatch {
        std::size_t From, To;
        int Part, Total;
        bool Bracketed;
    };
    std::vector<TMatch> found;
    for (std::size_t i = 0; i < subject.size(); ++i) {
        if (!IsDigit(subject[i]) || (i > 0 && IsDigit(subject[i - 1])))
            continue;
        std::size_t p = i;
        while (p < subject.size() && IsDigit(subject[p]))
            ++p;
        if (p - i > 6)
            continue;
        const int part = std::stoi(std::string(subject.substr(i, p - i)));
        std::size_t q = p;
        while (q < subject.size() && subject[q] == ' ')
            ++q;
        if (q < subject.size() && subject[q] == '/') {
            ++q;
        } else if (MatchNoCase(subject, q, "of") && q > p) {
            q += 2;
            if (q >= subject.size() || subject[q] != ' ')
                continue;
        } else {
            continue;
        }
        while (q < subject.size() && subject[q] == ' ')
            ++q;
        const std::size_t t = q;
        while (q < subject.size() && IsDigit(subject[q]))
            ++q;
        if (q == t || q - t > 6 || (q < subject.size() && (IsDigit(subject[q]) || subject[q] == '/')))
            continue;
        const int total = std::stoi(std::string(subject.substr(t, q - t)));
        if (part < 1 || total < 1 || part > total)
            continue;
        // What stands before the numbers: "part ", "(" or "[".
        std::size_t from = i;
        while (from > 0 && subject[from - 1] == ' ')
            --from;
        if (from >= 4 && MatchNoCase(subject, from - 4, "part")) {
            from -= 4;
            while (from > 0 && subject[from - 1] == ' ')
                --from;
        } else {
            from = i;
        }
        bool bracketed = false;
        std::size_t to = q;
        if (from > 0 && (subject[from - 1] == '(' || subject[from - 1] == '[') && to < subject.size() &&
            (subject[to] == ')' || subject[to] == ']')) {
            --from;
            ++to;
            bracketed = true;
        }
        found.push_back({from, to, part, total, bracketed});
    }
    TSubjectPart result;
    if (found.empty())
        return result;
    // A bracketed number is the surest; else the last one.
    const TMatch* best = &found.back();
    for (auto it = found.rbegin(); it != found.rend(); ++it)
        if (it->Bracketed) {
            best = &*it;
            break;
        }
    result.Part = best->Part;
    result.Total = best->Total;
    std::string text(subject.substr(0, best->From));
    text += subject.substr(best->To);
    auto trim = [](std::string t) {
        while (!t.empty() && (t.back() == '-' || t.back() == ' ' || t.back() == ':'))
            t.pop_back();
        while (!t.empty() && t.front() == ' ')
            t.erase(0, 1);
        return t;
    };
    result.Text = trim(text);
    result.Base = trim(CollapseLower(text));
    return result;
}

struct TReceiver::TImpl : TWalkerSink {
    explicit TImpl(TReceiveOptions o) : options(std::move(o)) {
        if (options.TargetFolder.empty())
            options.TargetFolder = "./";
        if (options.TargetFolder.back() != '/')
            options.TargetFolder += '/';
    }

    struct TSegment {
        std::unique_ptr<TNewFile> File;
        bool HasEnd = false;
        std::uint64_t Begin = 0, End = 0;
    };

    struct TGroup {
        TFoundKind Kind = TFoundKind::UUPart;
        std::string Key;
        std::string Name;
        int Total = 0;
        bool Numbered = false;
        std::map<int, TSegment> Held;
        std::unique_ptr<TNewFile> Assembly;
        int Next = 1;
        int Segments = 0;
        bool HasBegin = false;
        int EndPart = 0;
        std::string Damage;
        // A part could not be written here (a full disk, a size limit): the fault is this
        // machine's, not the data's, so the file is not saved and its mails can decode again.
        std::string Failure;
        std::string Origin;
        std::uint64_t FileSize = 0, Assembled = 0;
        bool HasFileCrc = false;
        std::uint32_t FileCrc = 0;
        std::uint64_t Order = 0;
    };

    struct TActive {
        TFoundFile Info;
        std::unique_ptr<TNewFile> Own;
        TGroup* Group = nullptr;
        int Part = 0;
        bool Direct = false;
        bool Drop = false;
        std::string Failure;
    };

    struct TContext {
        std::map<int, TActive> Active;
        TSubjectPart Subject;
        std::string Origin;
        std::unique_ptr<TMailWalker> Walker;
    };

    TReceiveOptions options;
    std::vector<TReceivedFile> settled;
    std::map<std::string, std::unique_ptr<TGroup>> groups;
    // Numbered files already joined: a part of one that comes again is a repeat.
    std::set<std::string> joined;
    std::vector<std::unique_ptr<TContext>> contexts;
    std::vector<std::unique_ptr<TMailWalker>> spareWalkers;
    std::uint64_t order = 0;
    int unnamed = 0;
    int unnumberedKeys = 0;
    // Where files too small to be worth mapping are read, reused for each. Aligned to a page:
    // the system's copy into a block that starts just past a page boundary (as a large block from
    // malloc does) was measured three times slower than into an aligned one.
    std::unique_ptr<char, decltype(&std::free)> readBuffer{nullptr, &std::free};
    // What was decoded for the assembly of gatherFor and is not written yet: one buffer, reused
    // for every part, so that a thousand small parts cost a few large writes.
    std::string gathered;
    TGroup* gatherFor = nullptr;

    TContext& Ctx() { return *contexts.back(); }

    bool EnsureFolder() { return ForceDirectories(options.TargetFolder); }

    // Writes what was gathered for a group; a failure (a full disk, a size limit) means the
    // group is not saved, so that it is never reported saved and its parts can be given again.
    void WriteGathered() {
        SpillGathered();
        gatherFor = nullptr;
    }

    // Writes what was gathered, the buffer staying with its group.
    void SpillGathered() {
        TGroup* g = gatherFor;
        if (!g || gathered.empty())
            return;
        try {
            g->Assembly->Write(gathered);
        } catch (const std::exception& e) {
            if (g->Failure.empty())
                g->Failure = e.what();
        }
        gathered.clear();
    }

    // Everything gathered for g is in its file (before the file is read, appended to or saved).
    void WriteGathered(const TGroup& g) {
        if (gatherFor == &g)
            WriteGathered();
    }

    void Gather(TGroup& g, std::string_view bytes) {
        if (gatherFor != &g || gathered.size() + bytes.size() > kGatherPiece)
            WriteGathered();
        if (bytes.size() >= kGatherPiece) {
            try {
                g.Assembly->Write(bytes);
            } catch (const std::exception& e) {
                if (g.Failure.empty())
                    g.Failure = e.what();
            }
            return;
        }
        if (gathered.capacity() < kGatherPiece)
            gathered.reserve(kGatherPiece);
        gathered.append(bytes);
        gatherFor = &g;
    }

    std::unique_ptr<TNewFile> NewFile(TActive& a) {
        try {
            EnsureFolder();
            return std::make_unique<TNewFile>(options.TargetFolder);
        } catch (const std::exception& e) {
            a.Failure = e.what();
            return nullptr;
        }
    }

    // ---------------------------------------------------------------- reports
    std::string MadeUpName(const TFoundFile& f) {
        if (f.Kind == TFoundKind::Message)
            return "message.eml";
        return "att." + std::to_string(unnamed++);
    }

    void Report(TReceivedFile r) {
        settled.push_back(r);
        if (r.State == TReceivedFile::Saved)
            TryWriteDebugLog("Decoded " + r.Path);
        else
            TryWriteDebugLog("Not saved: " + r.Name + ": " + r.Why);
        if (options.OnFile)
            options.OnFile(settled.back());
    }

    void Settle(std::unique_ptr<TNewFile> file, const std::string& name, const std::string& damage,
                const std::string& origin, int parts, int total) {
        TReceivedFile r;
        r.Name = name;
        r.Origin = origin;
        r.PartsHeld = parts;
        r.PartsTotal = total;
        try {
            if (damage.empty()) {
                r.Path = file->Commit(name);
                r.State = TReceivedFile::Saved;
            } else {
                r.State = TReceivedFile::Damaged;
                r.Why = damage;
                // What could be decoded is kept, under a name no program opens as the file.
                if (file && file->Size() > 0)
                    r.Path = file->Commit(name + ".damaged");
            }
        } catch (const std::exception& e) {
            r.State = TReceivedFile::NotSaved;
            r.Why = e.what();
            r.Path.clear();
        }
        Report(r);
    }

    // ---------------------------------------------------------------- groups
    TGroup& MakeGroup(const std::string& key, TFoundKind kind, int total) {
        auto& slot = groups[key];
        if (!slot) {
            slot = std::make_unique<TGroup>();
            slot->Key = key;
            slot->Kind = kind;
            slot->Total = total;
            slot->Numbered = total > 0;
            slot->Origin = Ctx().Origin;
        }
        slot->Order = ++order;
        return *slot;
    }

    TGroup* OpenUnnumbered() {
        TGroup* best = nullptr;
        for (auto& [key, g] : groups)
            if (!g->Numbered && g->Kind == TFoundKind::UUPart && g->EndPart == 0 && (!best || g->Order > best->Order))
                best = g.get();
        return best;
    }

    // A group made only for a repeated part.
    void ForgetIfEmpty(TGroup& g) {
        if (!g.Assembly && g.Held.empty() && g.Segments == 0)
            groups.erase(g.Key);
    }

    std::string NewUnnumberedKey() { return "uu#" + std::to_string(++unnumberedKeys); }

    bool Holds(const TGroup& g, int part) const {
        return part < g.Next || g.Held.count(part) > 0 || joined.count(g.Key) > 0;
    }

    // Where a part's data goes: straight into the assembly when it is the next one, else into
    // a file of its own.
    void Place(TActive& a, TGroup& g, int part) {
        a.Group = &g;
        a.Part = part;
        if (Holds(g, part)) {
            a.Drop = true;
            a.Group = nullptr;
            TryWriteDebugLog("Part " + std::to_string(part) + " of " + (g.Name.empty() ? g.Key : g.Name) +
                             " came again: dropped");
            ForgetIfEmpty(g);
            return;
        }
        if (part == g.Next && g.Assembly) {
            a.Direct = true;
            return;
        }
        a.Own = NewFile(a);
    }

    void AddSegment(TGroup& g, TActive& a, bool hasEnd, const std::string& damage) {
        if (!damage.empty() && g.Damage.empty())
            g.Damage = (g.Numbered ? "part " + std::to_string(a.Part) + ": " : std::string()) + damage;
        if (!a.Failure.empty() && g.Failure.empty())
            g.Failure = a.Failure;
        if (hasEnd)
            g.EndPart = a.Part;
        ++g.Segments;
        TSegment seg;
        seg.HasEnd = hasEnd;
        seg.Begin = a.Info.Begin;
        seg.End = a.Info.End;
        if (a.Direct) {
            Appended(g, seg);
            ++g.Next;
        } else if (a.Part == g.Next && !g.Assembly && a.Own) {
            g.Assembly = std::move(a.Own);
            Appended(g, seg);
            ++g.Next;
        } else if (a.Own) {
            seg.File = std::move(a.Own);
            g.Held[a.Part] = std::move(seg);
        } else {
            // No file could be made for it: the group cannot become whole.
            ++g.Next;
        }
        Drain(g);
        CheckComplete(g);
    }

    void Appended(TGroup& g, const TSegment& seg) {
        if (g.Kind != TFoundKind::YEnc)
            return;
        if (seg.Begin != g.Assembled + 1 && g.Damage.empty())
            g.Damage = "its parts do not join: a part starts at byte " + std::to_string(seg.Begin) + " where " +
                       std::to_string(g.Assembled + 1) + " was due";
        g.Assembled = seg.End;
    }

    void Drain(TGroup& g) {
        if (g.Held.count(g.Next) > 0)
            WriteGathered(g);
        for (auto it = g.Held.find(g.Next); it != g.Held.end() && g.Assembly; it = g.Held.find(g.Next)) {
            TSegment seg = std::move(it->second);
            g.Held.erase(it);
            try {
                g.Assembly->AppendFrom(seg.File->Fd(), 0, seg.File->Size());
            } catch (const std::exception& e) {
                if (g.Failure.empty())
                    g.Failure = e.what();
            }
            Appended(g, seg);
            ++g.Next;
        }
    }

    void CheckComplete(TGroup& g) {
        if (!g.Held.empty())
            return;
        bool complete;
        if (g.Kind == TFoundKind::YEnc)
            complete = g.Numbered ? g.Next > g.Total : (g.FileSize > 0 && g.Assembled >= g.FileSize);
        else if (g.Numbered)
            complete = g.Next > g.Total;
        else
            complete = g.EndPart != 0;
        if (!complete)
            return;
        WriteGathered(g);
        std::string damage = g.Damage;
        if (damage.empty() && g.Kind == TFoundKind::UUPart) {
            if (!g.HasBegin)
                damage = "its first part holds no begin line";
            else if (g.Numbered && g.EndPart != g.Total)
                damage = g.EndPart == 0 ? "its last part holds no end line"
                                        : "part " + std::to_string(g.EndPart) + " ends the data but " +
                                              std::to_string(g.Total) + " parts were announced";
        }
        if (damage.empty() && g.Kind == TFoundKind::YEnc && g.Assembled != g.FileSize)
            damage = "its parts hold " + std::to_string(g.Assembled) + " bytes of " + std::to_string(g.FileSize);
        if (damage.empty() && g.Kind == TFoundKind::YEnc && g.HasFileCrc && g.Assembly) {
            // The whole file's CRC, read back from what was assembled.
            std::uint32_t crc = 0;
            std::string chunk(1 << 16, '\0');
            for (off_t at = 0;;) {
                const ssize_t n = ::pread(g.Assembly->Fd(), chunk.data(), chunk.size(), at);
                if (n <= 0)
                    break;
                crc = Crc32(crc, std::string_view(chunk.data(), static_cast<std::size_t>(n)));
                at += n;
            }
            if (crc != g.FileCrc)
                damage = "its CRC does not match: the data was changed on the way";
        }
        std::unique_ptr<TGroup> owned = std::move(groups[g.Key]);
        groups.erase(g.Key);
        const int parts = owned->Numbered ? owned->Total : owned->Segments;
        if (!owned->Failure.empty()) {
            // Nothing of it is kept (a half file would pass for the damaged data it is not), and its
            // parts may be given again.
            TReceivedFile r;
            r.State = TReceivedFile::NotSaved;
            r.Name = !owned->Name.empty()                 ? owned->Name
                     : owned->Kind == TFoundKind::Partial ? owned->Key.substr(owned->Key.find(':') + 1)
                                                          : "att." + std::to_string(unnamed++);
            r.Why = owned->Failure;
            r.Origin = owned->Origin;
            r.PartsHeld = parts;
            r.PartsTotal = owned->Numbered ? owned->Total : 0;
            Report(r);
            return;
        }
        if (owned->Numbered)
            joined.insert(owned->Key);
        if (owned->Kind == TFoundKind::Partial) {
            if (!damage.empty() || !owned->Assembly) {
                TReceivedFile r;
                r.State = TReceivedFile::Damaged;
                r.Name = owned->Name.empty() ? owned->Key.substr(owned->Key.find(':') + 1) : owned->Name;
                r.Why = damage.empty() ? "its parts could not be joined" : damage;
                r.Origin = owned->Origin;
                r.PartsHeld = r.PartsTotal = owned->Total;
                Report(r);
                return;
            }
            WalkJoined(*owned);
            return;
        }
        const std::string name = owned->Name.empty() ? "att." + std::to_string(unnamed++) : owned->Name;
        Settle(std::move(owned->Assembly), name, damage, owned->Origin, parts, owned->Numbered ? owned->Total : 0);
    }

    // The parts of a message/partial are one mail again: read it like any other.
    void WalkJoined(TGroup& g) {
        const int fd = g.Assembly->Fd();
        Begin(g.Origin + " (joined from " + std::to_string(g.Total) + " parts)");
        std::string piece(kReadPiece, '\0');
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            Ctx().Walker->Feed(std::string_view(piece.data(), static_cast<std::size_t>(n)));
            at += n;
            if (options.Pump)
                options.Pump();
        }
        End();
    }

    // ---------------------------------------------------------------- the walker's events
    void MailStart(const TmsHeaders& headers) override {
        Ctx().Subject = PartInSubject(DecodeWordsToUtf8(RawFieldValue(headers, "Subject")));
        if (options.IgnoreSubjectNumbers)
            Ctx().Subject.Part = Ctx().Subject.Total = 0;
    }

    void FileStart(const TFoundFile& f) override {
        TActive a;
        a.Info = f;
        const TSubjectPart& subject = Ctx().Subject;
        switch (f.Kind) {
        case TFoundKind::UUPart: {
            TGroup* g = nullptr;
            int part = 0;
            if (subject.Part > 0 && subject.Total > 1) {
                g = &MakeGroup("uu:" + subject.Base + "/" + std::to_string(subject.Total), TFoundKind::UUPart,
                               subject.Total);
                part = subject.Part;
            } else {
                g = OpenUnnumbered();
                if (!g)
                    g = &MakeGroup(NewUnnumberedKey(), TFoundKind::UUPart, 0);
                part = g->Next + static_cast<int>(g->Held.size());
            }
            Place(a, *g, part);
            break;
        }
        case TFoundKind::YEnc:
            if (f.Part > 0) {
                TGroup& g = MakeGroup("yenc:" + f.Name + "/" + std::to_string(f.Total), TFoundKind::YEnc, f.Total);
                g.Name = f.Name;
                g.FileSize = f.FileSize;
                Place(a, g, f.Part);
            } else {
                a.Own = NewFile(a);
            }
            break;
        case TFoundKind::Partial: {
            if (f.Total < 1 || f.Part < 1 || f.Part > f.Total || f.PartialId.empty()) {
                a.Own = NewFile(a);
                break;
            }
            TGroup& g = MakeGroup("partial:" + f.PartialId, TFoundKind::Partial, f.Total);
            // Until the parts are joined, the subject names what they hold.
            if (g.Name.empty() && !subject.Text.empty())
                g.Name = subject.Text;
            Place(a, g, f.Part);
            break;
        }
        default:
            a.Own = NewFile(a);
            break;
        }
        Ctx().Active[f.Id] = std::move(a);
    }

    // The next part of an assembly is decoded straight into the gather buffer: no copy of its
    // bytes on their way to the file.
    std::string* DataBuffer(int id) override {
        auto it = Ctx().Active.find(id);
        if (it == Ctx().Active.end())
            return nullptr;
        TActive& a = it->second;
        if (!a.Direct || a.Drop || !a.Failure.empty())
            return nullptr;
        if (gatherFor != a.Group)
            WriteGathered();
        gatherFor = a.Group;
        if (gathered.capacity() < kGatherPiece)
            gathered.reserve(kGatherPiece);
        DataAppended(id);
        return &gathered;
    }

    void DataAppended(int) override {
        if (gathered.size() + kGatherRoom > kGatherPiece)
            SpillGathered();
    }

    void FileData(int id, std::string_view bytes) override {
        auto it = Ctx().Active.find(id);
        if (it == Ctx().Active.end())
            return;
        TActive& a = it->second;
        if (a.Drop || !a.Failure.empty())
            return;
        if (a.Direct) {
            Gather(*a.Group, bytes);
            return;
        }
        TNewFile* target = a.Own.get();
        if (!target)
            return;
        try {
            target->Write(bytes);
        } catch (const std::exception& e) {
            a.Failure = e.what();
        }
    }

    void FileEnd(int id, const TFoundEnd& end) override {
        auto it = Ctx().Active.find(id);
        if (it == Ctx().Active.end())
            return;
        TActive a = std::move(it->second);
        Ctx().Active.erase(it);
        if (a.Drop)
            return;
        const TFoundFile& f = a.Info;
        const std::string origin = Ctx().Origin;
        if (!a.Failure.empty() && !a.Group) {
            TReceivedFile r;
            r.State = TReceivedFile::NotSaved;
            r.Name = f.Name.empty() ? MadeUpName(f) : f.Name;
            r.Why = a.Failure;
            r.Origin = origin;
            Report(r);
            return;
        }
        switch (f.Kind) {
        case TFoundKind::UUPart:
            AddSegment(*a.Group, a, end.Closed, end.Damage);
            return;
        case TFoundKind::YEnc:
            if (a.Group) {
                if (end.HasFileCrc) {
                    a.Group->HasFileCrc = true;
                    a.Group->FileCrc = end.FileCrc;
                }
                AddSegment(*a.Group, a, end.Closed, end.Damage);
                return;
            }
            break;
        case TFoundKind::Partial:
            if (a.Group) {
                AddSegment(*a.Group, a, end.Closed, end.Damage);
                return;
            }
            break;
        case TFoundKind::UU:
            if (!end.Closed) {
                // The first part of a file split over mails.
                const TSubjectPart& subject = Ctx().Subject;
                TGroup* g;
                if (subject.Part == 1 && subject.Total > 1)
                    g = &MakeGroup("uu:" + subject.Base + "/" + std::to_string(subject.Total), TFoundKind::UUPart,
                                   subject.Total);
                else
                    g = &MakeGroup(NewUnnumberedKey(), TFoundKind::UUPart, 0);
                if (Holds(*g, 1)) {
                    TryWriteDebugLog("Part 1 of " + f.Name + " came again: dropped");
                    ForgetIfEmpty(*g);
                    return;
                }
                g->Name = f.Name.empty() ? MadeUpName(f) : f.Name;
                g->HasBegin = true;
                if (g->Origin.empty() || !g->Numbered)
                    g->Origin = origin;
                a.Group = g;
                a.Part = 1;
                AddSegment(*g, a, false, end.Damage);
                return;
            }
            break;
        default:
            break;
        }
        const std::string name = f.Name.empty() ? MadeUpName(f) : f.Name;
        Settle(std::move(a.Own), name, end.Damage, origin, 1, 1);
    }

    // ---------------------------------------------------------------- input
    void Begin(const std::string& origin) {
        auto c = std::make_unique<TContext>();
        c->Origin = origin;
        if (!spareWalkers.empty()) {
            c->Walker = std::move(spareWalkers.back());
            spareWalkers.pop_back();
            c->Walker->Reset();
        } else {
            c->Walker = std::make_unique<TMailWalker>(*this);
        }
        contexts.push_back(std::move(c));
    }

    void Feed(std::string_view piece) {
        if (contexts.empty())
            Begin("text");
        Ctx().Walker->Feed(piece);
    }

    void End() {
        if (contexts.empty())
            return;
        Ctx().Walker->Finish();
        spareWalkers.push_back(std::move(Ctx().Walker));
        contexts.pop_back();
    }
};

TReceiver::TReceiver(TReceiveOptions options) : impl_(std::make_unique<TImpl>(std::move(options))) {}
TReceiver::~TReceiver() = default;

void TReceiver::Begin(const std::string& origin) {
    impl_->Begin(origin);
}
void TReceiver::Feed(std::string_view piece) {
    impl_->Feed(piece);
}
void TReceiver::End() {
    impl_->End();
}

void TReceiver::AddText(std::string_view text, const std::string& origin) {
    Begin(origin);
    // In pieces, so that a window stays alive during a large paste.
    while (!text.empty()) {
        const std::size_t n = std::min(text.size(), kReadPiece);
        Feed(text.substr(0, n));
        text.remove_prefix(n);
        if (impl_->options.Pump)
            impl_->options.Pump();
    }
    End();
}

void TReceiver::AddFile(const std::string& path) {
    // Without blocking, a pipe nobody writes to is refused instead of waited on.
    const bool regularOnly = impl_->options.RegularFilesOnly;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regularOnly ? O_NONBLOCK : 0));
    if (fd < 0)
        throw EInOutError("Cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regularOnly && !regular) {
        ::close(fd);
        throw EInOutError("Cannot read " + path + ": it is not a regular file");
    }
    // A large file is read where the system keeps it, without copying it into a buffer of ours;
    // a small one (a part of a file split over a thousand mails) costs less copied in one read
    // than mapped and unmapped.
    if (regular && st.st_size > static_cast<off_t>(kReadPiece) && AddMapped(fd, path, st.st_size)) {
        ::close(fd);
        return;
    }
    if (!impl_->readBuffer) {
        void* block = std::aligned_alloc(4096, kReadPiece);
        if (!block) {
            ::close(fd);
            throw std::bad_alloc();
        }
        impl_->readBuffer.reset(static_cast<char*>(block));
    }
    char* const buffer = impl_->readBuffer.get();
    Begin(path);
    std::uint64_t left = regular ? static_cast<std::uint64_t>(st.st_size) : ~std::uint64_t{0};
    while (left > 0) {
        const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, left)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            End();
            throw EInOutError("Cannot read " + path + ": " + std::strerror(err));
        }
        if (n == 0)
            break;
        // A file that grows while it is read is read as far as it was.
        if (regular)
            left -= static_cast<std::uint64_t>(n);
        Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        if (impl_->options.Pump)
            impl_->options.Pump();
    }
    ::close(fd);
    End();
}

bool TReceiver::AddMapped(int fd, const std::string& path, std::int64_t size) {
    // The file is read where the system keeps it, a window at a time: no copy into a buffer of
    // ours, and the memory used stays that of one window whatever the size of the file.
    constexpr std::int64_t kWindow = 8 << 20;
    const auto length = static_cast<std::size_t>(std::min(size, kWindow));
    void* first = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (first == MAP_FAILED)
        return false;
    Begin(path);
    for (std::int64_t at = 0; at < size; at += kWindow) {
        const auto n = static_cast<std::size_t>(std::min(size - at, kWindow));
        void* window = at == 0 ? first : ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, at);
        if (window == MAP_FAILED) {
            const int err = errno;
            End();
            throw EInOutError("Cannot read " + path + ": " + std::strerror(err));
        }
        if (size > kWindow)
            ::madvise(window, n, MADV_SEQUENTIAL);
        try {
            Feed(std::string_view(static_cast<const char*>(window), n));
        } catch (...) {
            ::munmap(window, n);
            throw;
        }
        ::munmap(window, n);
        if (impl_->options.Pump)
            impl_->options.Pump();
    }
    End();
    return true;
}

const std::vector<TReceivedFile>& TReceiver::Settled() const {
    return impl_->settled;
}

std::vector<TReceivedFile> TReceiver::Pending() const {
    std::vector<const TImpl::TGroup*> open;
    for (const auto& [key, g] : impl_->groups)
        open.push_back(g.get());
    std::sort(open.begin(), open.end(), [](auto* a, auto* b) { return a->Order < b->Order; });
    std::vector<TReceivedFile> result;
    for (const TImpl::TGroup* g : open) {
        TReceivedFile r;
        r.State = TReceivedFile::Incomplete;
        r.Name = !g->Name.empty()                 ? g->Name
                 : g->Kind == TFoundKind::Partial ? "message (" + g->Key.substr(8) + ")"
                                                  : "(a file whose first part is missing)";
        r.Origin = g->Origin;
        if (g->Numbered) {
            r.PartsTotal = g->Total;
            for (int p = 1; p <= g->Total; ++p) {
                if (p < g->Next || g->Held.count(p))
                    ++r.PartsHeld;
                else
                    r.Missing.push_back(p);
            }
            std::string list;
            for (int m : r.Missing)
                list += (list.empty() ? "" : ", ") + std::to_string(m);
            r.Why = "part" + std::string(r.Missing.size() == 1 ? " " : "s ") + list + " of " +
                    std::to_string(g->Total) + (r.Missing.size() == 1 ? " is" : " are") + " missing";
        } else {
            r.PartsHeld = g->Segments;
            r.Why = !g->HasBegin && g->Kind == TFoundKind::UUPart ? "its first part (with the begin line) has not come"
                                                                  : "the part with the end of its data has not come";
        }
        result.push_back(r);
    }
    return result;
}

void TReceiver::DiscardPending() {
    impl_->gatherFor = nullptr;
    impl_->gathered.clear();
    impl_->groups.clear();
}

} // namespace ostrel
