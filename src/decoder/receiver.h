#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// The part numbering a server or mail program writes into a subject: "name (2/5)",
// "name [2/5]", "name 2/5", "name - part 2 of 5", "(part 2 of 5)", "[2 of 5]". Base is the
// subject without it (lower case, blanks collapsed): the parts of one file share it.
struct TSubjectPart {
    int Part = 0; // 0: the subject has no numbering
    int Total = 0;
    std::string Base;
    // The subject without the numbering, as written.
    std::string Text;
};
TSubjectPart PartInSubject(std::string_view subject);

// What became of one file found in the mails given.
struct TReceivedFile {
    enum TState {
        Saved,      // decoded completely and saved under Path
        Incomplete, // parts are still missing: nothing saved
        Damaged,    // the data is not whole or not right: never saved under its own name
        NotSaved,   // decoded, but the file could not be written (Why says why)
    };
    TState State = Incomplete;
    // The name the mail gave (made safe), or a made-up one.
    std::string Name;
    // Saved: the file written. Damaged: what could be decoded, kept as Name + ".damaged" (empty
    // when nothing was kept).
    std::string Path;
    int PartsHeld = 0;
    // 0 when the mails do not say how many parts there are.
    int PartsTotal = 0;
    std::vector<int> Missing;
    // Damaged: what was wrong. Incomplete: what is still needed.
    std::string Why;
    // The input (file name, "clipboard") where the file, or its first part held, was found.
    std::string Origin;
};

struct TReceiveOptions {
    // Where files are saved; created when missing.
    std::string TargetFolder;
    // Told of each file as soon as it is saved or found damaged.
    std::function<void(const TReceivedFile&)> OnFile;
    // Run between pieces of a long text, so that a window stays alive.
    std::function<void()> Pump;
    // Parts are taken in the order given, whatever the numbers in their subjects say.
    bool IgnoreSubjectNumbers = false;
    // AddFile refuses what is not a regular file (a folder, a pipe, a device) without waiting
    // on it.
    bool RegularFilesOnly = false;
};

// Takes mails, in any order and any number, over as many calls as they come, and turns the
// files in them into saved files: whole files at once, files split over several mails once
// every part is there (ordered by the numbers in their subjects or in the encoding, or else in
// the order given; a part given twice counts once). A file is saved only when it decoded
// completely, under its own name or, when that is taken, "name (1).ext" and so on: nothing is
// ever replaced. Data streams from the text to the saved file through fixed buffers; parts that
// come before their turn wait in unnamed files beside the target.
class TReceiver {
public:
    explicit TReceiver(TReceiveOptions options);
    ~TReceiver();
    TReceiver(const TReceiver&) = delete;
    TReceiver& operator=(const TReceiver&) = delete;

    // One text of one or more mails (a copied mail, several copied one after the other, an mbox),
    // fed in pieces of any size. origin names it in reports.
    void Begin(const std::string& origin);
    void Feed(std::string_view piece);
    void End();

    void AddText(std::string_view text, const std::string& origin);
    // Reads the file in fixed pieces. Raises EInOutError when it cannot be read (or, with
    // RegularFilesOnly, is not a regular file).
    void AddFile(const std::string& path);

    // Files saved or found damaged so far, in order.
    const std::vector<TReceivedFile>& Settled() const;
    // Files still waiting for parts.
    std::vector<TReceivedFile> Pending() const;
    // Forgets the parts held.
    void DiscardPending();

private:
    // AddFile for a regular file the system can map; false when it cannot.
    bool AddMapped(int fd, const std::string& path, std::int64_t size);
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

} // namespace ostrel
