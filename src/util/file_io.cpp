#include "util/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "util/debug_log.h"
#include "util/error.h"

namespace ostrel {

namespace fs = std::filesystem;

namespace {
std::string SystemError(int err) {
    return std::strerror(err);
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
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError("Cannot open the folder " + folder + ": " + SystemError(errno));
    // One flush for a whole batch of files costs what one fsync costs; a write that failed on
    // its way to the disk is reported here (the kernel tells it to syncfs since Linux 5.8).
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throw EInOutError("Cannot flush the files written in " + folder + ": " + SystemError(err));
}

void SyncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError("Cannot open the folder " + path + ": " + SystemError(errno));
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throw EInOutError("Cannot flush the folder " + path + ": " + SystemError(err));
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

} // namespace ostrel
