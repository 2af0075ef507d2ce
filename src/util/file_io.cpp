#include "util/file_io.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "util/debug_log.h"
#include "util/error.h"
#include "util/text.h"

namespace ostrel {

namespace fs = std::filesystem;

namespace {
std::string SystemError(int err) {
    return std::strerror(err);
}

// Opens the path, runs flush on it and closes it; raises EInOutError with the words given and
// the system's reason.
void OpenAndFlush(const std::string& path, int flags, int (*flush)(int), const std::string& cannotOpen,
                  const std::string& cannotFlush) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError(cannotOpen + ": " + SystemError(errno));
    const int rc = flush(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throw EInOutError(cannotFlush + ": " + SystemError(err));
}

// What the system still has to write to its disks (all of them), in bytes; -1 when unknown.
long long UnwrittenBytes() {
    std::FILE* f = std::fopen("/proc/meminfo", "re");
    if (!f)
        return -1;
    long long total = 0;
    int found = 0;
    char line[128];
    while (std::fgets(line, sizeof line, f)) {
        long long kb = 0;
        if (std::sscanf(line, "Dirty: %lld kB", &kb) == 1 || std::sscanf(line, "Writeback: %lld kB", &kb) == 1) {
            total += kb * 1024;
            ++found;
        }
    }
    std::fclose(f);
    return found == 2 ? total : -1;
}
} // namespace

int WriteAllToFd(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteFileIfExists(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
    return !fs::exists(path, ec);
}

std::string ReadFileString(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        throw EInOutError("Cannot open " + path + ": " + SystemError(errno));
    }
    std::string content;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        content.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            throw EInOutError("Cannot read " + path + ": " + SystemError(err));
        }
        if (n == 0)
            break;
        content.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

void WriteFileAtomic(const std::string& path, const std::string& content) {
    const fs::path target(path);
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    std::string tmpl = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        throw EInOutError("Cannot write " + path + ": " + SystemError(errno));
    if (int err = WriteAllToFd(fd, content.data(), content.size()); err != 0) {
        ::close(fd);
        ::unlink(tmpl.c_str());
        throw EInOutError("Cannot write " + path + ": " + SystemError(err));
    }
    // Keep the permissions an existing file had; a new one gets the usual rw-r--r-- less umask.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        throw EInOutError("Cannot write " + path + ": " + SystemError(err));
    }
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpl.c_str());
        throw EInOutError("Cannot write " + path + ": " + SystemError(err));
    }
}

namespace {
void WriteFileFlushing(const std::string& path, const std::string& content, bool flush) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        throw EInOutError("Cannot write " + path + ": " + SystemError(errno));
    int err = WriteAllToFd(fd, content.data(), content.size());
    if (err == 0 && flush && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err != 0) {
        ::unlink(path.c_str());
        throw EInOutError("Cannot write " + path + ": " + SystemError(err));
    }
}
} // namespace

void WriteFileDurable(const std::string& path, const std::string& content) { WriteFileFlushing(path, content, true); }

void WriteFileUnflushed(const std::string& path, const std::string& content) {
    WriteFileFlushing(path, content, false);
}

void SyncFileSystemOf(const std::string& folder) {
    // One flush for a whole batch of files costs what one fsync costs; a write that failed on
    // its way to the disk is reported here (the kernel tells it to syncfs since Linux 5.8).
    OpenAndFlush(folder, O_RDONLY | O_DIRECTORY, ::syncfs, "Cannot open the folder " + folder,
                 "Cannot flush the files written in " + folder);
}

void FlushWrittenFiles(const std::string& folder, const std::vector<std::string>& names) {
    if (names.empty())
        return;
    std::string base = folder;
    if (!base.empty() && base.back() != '/')
        base += '/';
    // One flush of the whole file system is far cheaper than one per file for many files (200 of
    // 10 KB on a quiet disk: 15-20 ms against 80-150 ms), but it also waits for whatever else is
    // waiting to be written: beside a large copy, seconds. So it is taken only for many files,
    // and only while little besides them waits to be written.
    constexpr std::size_t FewFiles = 16;
    constexpr long long OthersUnwrittenAtMost = 16ll << 20;
    if (names.size() > FewFiles) {
        long long ours = 0;
        struct stat st {};
        for (const auto& name : names)
            if (::stat((base + name).c_str(), &st) == 0)
                ours += st.st_size;
        const long long unwritten = UnwrittenBytes();
        if (unwritten >= 0 && unwritten <= ours + OthersUnwrittenAtMost) {
            SyncFileSystemOf(folder);
            return;
        }
    }
    std::set<std::string> folders{base};
    for (const auto& name : names) {
        const std::string path = base + name;
        OpenAndFlush(path, O_RDONLY, ::fdatasync, "Cannot flush " + path, "Cannot flush " + path);
        // Every folder between the file and the given one may hold a new entry.
        for (auto slash = name.rfind('/'); slash != std::string::npos && slash > 0; slash = name.rfind('/', slash - 1))
            folders.insert(base + name.substr(0, slash + 1));
    }
    for (const auto& f : folders)
        SyncFolder(f);
}

void SyncFolder(const std::string& path) {
    OpenAndFlush(path, O_RDONLY | O_DIRECTORY, ::fsync, "Cannot open the folder " + path,
                 "Cannot flush the folder " + path);
}

bool WriteFileString(Desktop& desktop, const std::string& path, const std::string& content) {
    try {
        WriteFileAtomic(path, content);
        return true;
    } catch (const std::exception& e) {
        ReportError(desktop, "WriteFileString:" + path, e.what());
        return false;
    }
}

void TrimFileToSize(Desktop& desktop, const std::string& path, long limit) {
    if (!FileExists(path))
        return;
    std::string content = ReadFileString(path);
    const long size = static_cast<long>(content.size());
    if (size > limit)
        WriteFileString(desktop, path, content.substr(static_cast<size_t>(size - limit - 1)));
}

void TrimFileToSizeCosmetic(Desktop& desktop, const std::string& path, long limit) {
    std::string text;
    try {
        TrimFileToSize(desktop, path, limit);
        text = ReadFileString(path);
        auto lf = text.find('\n');
        if (lf != std::string::npos && lf + 1 < text.size())
            text.erase(0, lf + 1);
    } catch (const std::exception& e) {
        ReportError(desktop, "TrimFileToSizeCosmetic: " + path, e.what());
        return;
    }
    WriteFileString(desktop, path, text);
}

bool ForceDirectories(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

namespace {

// Where the extension starts (its "."), or the name's size when it has none worth keeping.
std::size_t ExtensionStart(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16)
        return name.size();
    return dot;
}

long NameMax(int dirFd) {
    const long max = ::fpathconf(dirFd, _PC_NAME_MAX);
    return max > 0 ? max : 255;
}

} // namespace

std::string ShortenFileName(std::string_view name, std::size_t maxBytes) {
    if (name.size() <= maxBytes)
        return std::string(name);
    const std::size_t ext = ExtensionStart(name);
    std::string_view extension = name.substr(ext);
    if (extension.size() >= maxBytes)
        extension = {};
    std::string out = CutAtCharacter(std::string(name.substr(0, ext)), maxBytes - extension.size());
    // A cut may leave blanks or a dot just before the extension.
    while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    out += extension;
    return out;
}

std::string NumberedFileName(std::string_view name, int n) {
    if (n <= 0)
        return std::string(name);
    const std::size_t ext = ExtensionStart(name);
    return std::string(name.substr(0, ext)) + " (" + std::to_string(n) + ")" + std::string(name.substr(ext));
}

TNewFile::TNewFile(const std::string& folder) : folder_(folder) {
    if (folder_.empty())
        folder_ = "./";
    if (folder_.back() != '/')
        folder_ += '/';
#ifdef O_TMPFILE
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0)
        return;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
        throw EInOutError("Cannot write into " + folder_ + ": " + SystemError(errno));
#endif
    // No unnamed files here: a hidden temporary one, removed again unless committed.
    tempPath_ = folder_ + ".ostrel-new-XXXXXX";
    fd_ = ::mkostemp(tempPath_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        const int err = errno;
        tempPath_.clear();
        throw EInOutError("Cannot write into " + folder_ + ": " + SystemError(err));
    }
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
}

TNewFile::~TNewFile() { Discard(); }

void TNewFile::Discard() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!tempPath_.empty())
        ::unlink(tempPath_.c_str());
    tempPath_.clear();
}

void TNewFile::Write(std::string_view data) {
    if (fd_ < 0)
        throw EInOutError("Cannot write into " + folder_ + ": the file is already closed");
    if (const int err = WriteAllToFd(fd_, data.data(), data.size()); err != 0)
        throw EInOutError("Cannot write into " + folder_ + ": " + SystemError(err));
    size_ += data.size();
    StartWriteBack();
}

void TNewFile::StartWriteBack() {
    // The disk starts on what is written while the rest is still being decoded, so that the
    // flush at the end finds little left to do.
    constexpr std::uint64_t kStep = 4 << 20;
    if (size_ - writtenBack_ < kStep)
        return;
    ::sync_file_range(fd_, static_cast<off_t>(writtenBack_), static_cast<off_t>(size_ - writtenBack_),
                      SYNC_FILE_RANGE_WRITE);
    writtenBack_ = size_;
}

void TNewFile::AppendFrom(int fd, std::uint64_t offset, std::uint64_t length) {
    auto in = static_cast<off_t>(offset);
    while (length > 0) {
        const ssize_t n = ::copy_file_range(fd, &in, fd_, nullptr, length, 0);
        if (n > 0) {
            length -= static_cast<std::uint64_t>(n);
            size_ += static_cast<std::uint64_t>(n);
            StartWriteBack();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
            throw EInOutError("Cannot write into " + folder_ + ": " + SystemError(errno));
        if (n == 0)
            throw EInOutError("Cannot write into " + folder_ + ": a held part is shorter than recorded");
        // The system cannot copy between these files: through a buffer then.
        char buffer[65536];
        while (length > 0) {
            const ssize_t r = ::pread(fd, buffer, std::min<std::uint64_t>(sizeof buffer, length), in);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                throw EInOutError("Cannot read a held part: " + SystemError(r < 0 ? errno : EIO));
            Write(std::string_view(buffer, static_cast<std::size_t>(r)));
            in += r;
            length -= static_cast<std::uint64_t>(r);
        }
    }
}

std::string TNewFile::Commit(const std::string& name) {
    if (fd_ < 0)
        throw EInOutError("Cannot write into " + folder_ + ": the file is already closed");
    if (::fsync(fd_) != 0)
        throw EInOutError("Cannot write into " + folder_ + ": " + SystemError(errno));
    const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        throw EInOutError("Cannot write into " + folder_ + ": " + SystemError(errno));
    const auto maxName = static_cast<std::size_t>(NameMax(dir));
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    std::string chosen;
    int err = 0;
    for (int n = 0; n < 100000 && chosen.empty(); ++n) {
        // The number must fit beside the name, so the name is shortened for it.
        const std::string suffix = n == 0 ? std::string() : " (" + std::to_string(n) + ")";
        const std::string candidate =
            NumberedFileName(ShortenFileName(name, maxName - suffix.size()), n);
        int rc;
        if (tempPath_.empty())
            rc = ::linkat(AT_FDCWD, self.c_str(), dir, candidate.c_str(), AT_SYMLINK_FOLLOW);
        else
            rc = ::linkat(AT_FDCWD, tempPath_.c_str(), dir, candidate.c_str(), 0);
        if (rc == 0) {
            chosen = candidate;
            break;
        }
        err = errno;
        if (err == EEXIST)
            continue;
        if (!tempPath_.empty() && (err == EPERM || err == EOPNOTSUPP || err == EMLINK)) {
            // No hard links on this file system: a rename that refuses to replace.
            if (::renameat2(AT_FDCWD, tempPath_.c_str(), dir, candidate.c_str(), RENAME_NOREPLACE) == 0) {
                tempPath_.clear();
                chosen = candidate;
                break;
            }
            err = errno;
            if (err == EEXIST)
                continue;
        }
        break;
    }
    if (chosen.empty()) {
        ::close(dir);
        throw EInOutError("Cannot save " + folder_ + name + ": " + SystemError(err == 0 ? EEXIST : err));
    }
    // The name itself must survive a crash too.
    ::fsync(dir);
    ::close(dir);
    Discard();
    return folder_ + chosen;
}

} // namespace ostrel
