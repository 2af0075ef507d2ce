#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostrel::test {

// A fresh empty folder under the system's temp folder, removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder, ending in "/".
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// Makes a fresh temp folder the program folder (and the settings folder) for one test, and
// clears the process-wide state; restores nothing, each test sets up its own.
class ProgramFolder {
public:
    ProgramFolder();
    const std::string& Path() const { return dir_.Path(); }
    std::string File(const std::string& name) const { return dir_.File(name); }
    // Copies a file delivered with the program (data/) into the folder.
    void CopyData(const std::string& name) const;
    void Write(const std::string& name, const std::string& content) const;
    std::string Read(const std::string& name) const;

private:
    TempDir dir_;
};

// Runs body in a child process as a user without privileges (nobody when the test runs as root,
// so that permissions hold; the test's own user otherwise) and returns the child's exit status:
// body's result, or -1 when it raised or did not end normally. The child leaves through _exit,
// so nothing of the parent (a TempDir) is cleaned up twice.
int RunUnprivileged(const std::function<int()>& body);

// While it lives, no file of this process may grow beyond a size: a write past it fails (EFBIG)
// as one fails on a full disk, as root too, and without a file system of the test's own.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(std::uint64_t bytes);
    ~TFileSizeLimit();
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    std::uint64_t old_ = 0;
    void (*handler_)(int) = nullptr;
};

// A data file as the tests see it: the example server directory and suggestions of
// tests/data/servers (every dialect, all under example.org) in place of the delivered ones,
// else the file delivered with the program.
std::string DataFile(const std::string& name);

std::string ReadAll(const std::string& path);
// n bytes of every value, the same for the same seed.
std::string RandomBytes(std::size_t n, unsigned seed);
void WriteAll(const std::string& path, const std::string& content);
// The data UUencoded (CR LF line ends) and cut into parts as a server splits a file over mails:
// the first part starts with "begin 644 name", the last ends with the closing lines.
std::vector<std::string> UUParts(const std::string& name, const std::string& data, int parts);

// Judges a pumping wait from the times the desktop was pumped, between start and end: waits are
// cut into slices of 10 ms, so the typical stretch without a pump is one slice. A loaded machine
// may hold the process off the processor now and then, which stretches a few of them; none may
// reach longest (a wait that sat through what it waited for).
void ExpectPumpedInSlices(std::chrono::steady_clock::time_point start,
                          const std::vector<std::chrono::steady_clock::time_point>& pumps,
                          std::chrono::steady_clock::time_point end, std::chrono::milliseconds longest);

} // namespace ostrel::test
