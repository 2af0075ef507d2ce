#include "qt/pipe_transfer.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace ostrel {

namespace {
void MakeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// A reader that went away must not end the program: the write fails with EPIPE and the signal
// it raises is taken back before it is delivered.
ssize_t WriteWithoutSigpipe(int fd, const char* data, std::size_t size) {
    sigset_t pipeSet;
    sigset_t old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE) {
        const timespec zero{};
        ::sigtimedwait(&pipeSet, nullptr, &zero);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}
} // namespace

TPipeReader::TPipeReader(int fd, std::size_t sizeLimit, int timeLimitMs,
                         std::function<void(TResult, std::string)> onFinished, QObject* parent)
    : QObject(parent), fd_(fd), sizeLimit_(sizeLimit), notifier_(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      onFinished_(std::move(onFinished)) {
    MakeNonBlocking(fd_);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadAvailable(); });
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { Finish(TResult::TimedOut); });
    deadline_.start(timeLimitMs);
}

TPipeReader::~TPipeReader() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TPipeReader::ReadAvailable() {
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            if (data_.size() + static_cast<std::size_t>(n) > sizeLimit_)
                return Finish(TResult::TooLarge);
            data_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            return Finish(TResult::Done);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        return Finish(TResult::Failed);
    }
}

void TPipeReader::Finish(TResult result) {
    notifier_->setEnabled(false);
    deadline_.stop();
    ::close(fd_);
    fd_ = -1;
    if (result != TResult::Done)
        data_.clear();
    // The handler may delete this reader: nothing of it is touched afterwards.
    auto onFinished = std::move(onFinished_);
    onFinished_ = nullptr;
    if (onFinished)
        onFinished(result, std::move(data_));
}

TPipeWriter::TPipeWriter(int fd, std::string data, int timeLimitMs, QObject* parent)
    : QObject(parent), fd_(fd), data_(std::move(data)),
      notifier_(new QSocketNotifier(fd, QSocketNotifier::Write, this)) {
    MakeNonBlocking(fd_);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { WriteSome(); });
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        notifier_->setEnabled(false);
        deleteLater();
    });
    deadline_.start(timeLimitMs);
}

TPipeWriter::~TPipeWriter() {
    ::close(fd_);
}

void TPipeWriter::WriteSome() {
    while (written_ < data_.size()) {
        const ssize_t n = WriteWithoutSigpipe(fd_, data_.data() + written_, data_.size() - written_);
        if (n > 0) {
            written_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        break;
    }
    notifier_->setEnabled(false);
    deadline_.stop();
    deleteLater();
}

} // namespace ostrel
