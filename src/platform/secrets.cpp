#include "platform/secrets.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel {

namespace {

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// Quotes a path for a shell command the user may copy.
std::string ShellQuoted(const std::string& path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

bool WriteWhole(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string SecretVariableName(const std::string& account) {
    std::string name = "OSTREL_";
    for (char c : account)
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name + "_PASSWORD";
}

std::string SecretFileName(const std::string& settingsFolder, const std::string& account) {
    std::string folder = settingsFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder + account + ".password";
}

TSecretResult ReadSecretFile(const std::string& path) {
    TSecretResult result;
    result.Place = TSecretPlace::File;
    result.Where = path;
    // O_NOFOLLOW: a link planted in the settings folder must not point the program elsewhere.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd == -1) {
        if (errno != ENOENT && errno != ENOTDIR)
            result.Error = "The password file " + path + " cannot be read: " + ErrnoText(errno) + ".";
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result.Error = "The password file " + path + " cannot be read: " + ErrnoText(errno) + ".";
        ::close(fd);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.Error = "The password file " + path +
                       " is not a regular file; Ostrel does not use it. Remove it and "
                       "enter the password again on My Details.";
    } else if (st.st_uid != ::geteuid()) {
        result.Error = "The password file " + path +
                       " belongs to another user; Ostrel does not use it. Remove it "
                       "and enter the password again on My Details.";
    } else if ((st.st_mode & 077) != 0) {
        result.Error = "The password file " + path +
                       " can be read by other users, so Ostrel does not use it. "
                       "Make it private with the command: chmod 600 " +
                       ShellQuoted(path) + " (and change the password if others may have read it).";
    }
    if (!result.Error.empty()) {
        ::close(fd);
        return result;
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.Error = "The password file " + path + " cannot be read: " + ErrnoText(errno) + ".";
            ::close(fd);
            return result;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // An editor adds a line end; it is not part of the password.
    if (!content.empty() && content.back() == '\n')
        content.pop_back();
    if (!content.empty() && content.back() == '\r')
        content.pop_back();
    result.Value = content;
    result.Ok = true;
    return result;
}

TSecretResult WriteSecretFile(const std::string& path, const std::string& password) {
    TSecretResult result;
    result.Place = TSecretPlace::File;
    result.Where = path;
    const auto fail = [&](const std::string& what, int err) {
        result.Error = "The password could not be kept in " + path + ": " + what + ": " + ErrnoText(err) + ".";
        return result;
    };
    // Written beside the old one and renamed over it: a crash leaves the old password or the
    // new one, never half a file; made 0600 before a byte of the password is written.
    const std::string temp = path + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd == -1)
        return fail("cannot create " + temp, errno);
    if (::fchmod(fd, 0600) != 0 || !WriteWhole(fd, password + "\n") || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return fail("cannot write it", err);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return fail("cannot write it", err);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return fail("cannot replace it", err);
    }
    result.Ok = true;
    return result;
}

SystemSecrets::SystemSecrets(std::string settingsFolder, std::function<void()> pump)
    : folder_(std::move(settingsFolder)), keyring_(folder_, std::move(pump)) {}

TSecretResult SystemSecrets::Lookup(const std::string& account) {
    const std::string variable = SecretVariableName(account);
    if (const char* value = std::getenv(variable.c_str()); value != nullptr && *value != '\0') {
        TSecretResult result;
        result.Ok = true;
        result.Value = value;
        result.Place = TSecretPlace::Environment;
        result.Where = "the environment variable " + variable;
        return result;
    }
    TSecretResult kept = keyring_.Lookup(account);
    if (kept.Ok)
        return kept;
    return ReadSecretFile(SecretFileName(folder_, account));
}

TSecretResult SystemSecrets::Store(const std::string& account, const std::string& password) {
    TSecretResult kept = keyring_.Store(account, password);
    const std::string file = SecretFileName(folder_, account);
    if (kept.Ok) {
        // An older copy in the file would outlive the password it held.
        ::unlink(file.c_str());
        return kept;
    }
    return WriteSecretFile(file, password);
}

} // namespace ostrel
