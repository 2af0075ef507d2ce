#pragma once

#include <cstddef>
#include <string>

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
// Writes the file whole without flushing it: for many files that SyncFileSystemOf then flushes
// together, before anything refers to them. Raises EInOutError naming the file and the reason.
void WriteFileUnflushed(const std::string& path, const std::string& content);
// Flushes everything written to the file system that holds the folder (files and folder entries)
// to disk. Raises EInOutError when that fails, so that nothing written since counts as kept.
void SyncFileSystemOf(const std::string& folder);

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

} // namespace ostrel
