#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

namespace ostrel {

class Desktop;

// The whole content of a file; empty when it does not exist. Raises EInOutError when the file
// exists but cannot be read.
std::string ReadFileString(const std::string& path);
bool FileExists(const std::string& path);
// Deletes a file; true when it is gone afterwards.
bool DeleteFileIfExists(const std::string& path);

// Replaces the file with content atomically: a temporary file in the same folder is written,
// flushed to disk and renamed over the old one, so a crash leaves the old or the new content,
// never a mix. Raises EInOutError (the old file stays as it was).
void WriteFileAtomic(const std::string& path, const std::string& content);

// Writes the file whole and flushes it to disk before returning (not atomically: for files that
// nothing refers to until this returns). Raises EInOutError naming the file and the reason.
void WriteFileDurable(const std::string& path, const std::string& content);
// Flushes a folder's entries (files created, renamed or linked in it) to disk. Raises EInOutError.
void SyncFolder(const std::string& path);
// Writes the file whole without flushing it: for files that FlushWrittenFiles then flushes
// together, before anything refers to them. Raises EInOutError naming the file and the reason.
void WriteFileUnflushed(const std::string& path, const std::string& content);
// Flushes everything written to the file system that holds the folder (files and folder entries)
// to disk. Raises EInOutError when that fails, so that nothing written since counts as kept.
void SyncFileSystemOf(const std::string& folder);
// Flushes files written with WriteFileUnflushed to disk, with the folder entries that name them:
// names are relative to folder and may lie in subfolders of it. Each file is flushed on its own,
// so that the wait is for their own data; many files while little else waits to be written take
// one SyncFileSystemOf instead, far cheaper per file. Raises EInOutError naming what could not be
// flushed.
void FlushWrittenFiles(const std::string& folder, const std::vector<std::string>& names);

// Writes the file whole (atomically); a failure is reported with ReportError and the caller
// goes on. Returns whether the write succeeded.
bool WriteFileString(Desktop& desktop, const std::string& path, const std::string& content);
// Keeps only the last limit + 1 bytes of a file longer than limit.
void TrimFileToSize(Desktop& desktop, const std::string& path, long limit);
// TrimFileToSize, then drops everything up to the first line feed (unless it is the last
// byte), so the file starts at a whole line. Never raises: failures are reported.
void TrimFileToSizeCosmetic(Desktop& desktop, const std::string& path, long limit);

// Writes all of data to an open descriptor, going on after interruptions; returns 0 or the
// system's error number.
int WriteAllToFd(int fd, const char* data, size_t size);

// Creates a folder and its parents; true when it exists afterwards.
bool ForceDirectories(const std::string& path);

// The name cut to at most maxBytes bytes at a UTF-8 character boundary, keeping its extension
// (the text from its last ".", when that is short) whole.
std::string ShortenFileName(std::string_view name, std::size_t maxBytes);
// "report.pdf" with n = 2 gives "report (2).pdf"; a name without an extension gets the number at
// its end. n = 0 gives the name itself.
std::string NumberedFileName(std::string_view name, int n);

// A file that gets its name only once it is whole. The data goes to a file without a name (or a
// hidden temporary one where the file system has no such files) in the target folder; Commit
// makes it durable and links it under the wanted name, or under the first free "name (n).ext"
// when a file, folder or link of that name exists. Nothing is ever replaced, and a crash leaves
// no half-written file under a real name. Every failure raises EInOutError naming the folder or
// file and the system's reason.
class TNewFile {
public:
    explicit TNewFile(const std::string& folder);
    ~TNewFile();
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;

    void Write(std::string_view data);
    // Appends length bytes of another open file, from offset on, without passing them through
    // this process where the system allows.
    void AppendFrom(int fd, std::uint64_t offset, std::uint64_t length);
    std::uint64_t Size() const { return size_; }
    int Fd() const { return fd_; }
    const std::string& Folder() const { return folder_; }

    // Flushes the data to disk and gives the file its name; returns the full path it got.
    std::string Commit(const std::string& name);
    // Drops the data; the object is spent afterwards (as after Commit).
    void Discard();

private:
    void StartWriteBack();
    std::string folder_;
    std::string tempPath_; // set when the file has a temporary name
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t writtenBack_ = 0;
};

} // namespace ostrel
