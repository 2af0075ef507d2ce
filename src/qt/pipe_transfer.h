#pragma once

#include <QObject>
#include <QTimer>
#include <cstddef>
#include <functional>
#include <string>

class QSocketNotifier;

namespace ostrel {

// Reads everything another program writes into a pipe, driven by the event loop so that the
// window never waits on it. The other end is outside our control: a program that never closes it
// or writes without end is cut off at a size and a time limit. Takes ownership of the fd.
class TPipeReader : public QObject {
    Q_OBJECT
public:
    enum class TResult { Done, TooLarge, TimedOut, Failed };
    TPipeReader(int fd, std::size_t sizeLimit, int timeLimitMs, std::function<void(TResult, std::string)> onFinished,
                QObject* parent = nullptr);
    ~TPipeReader() override;

private:
    void ReadAvailable();
    void Finish(TResult result);

    int fd_;
    std::size_t sizeLimit_;
    std::string data_;
    QSocketNotifier* notifier_;
    QTimer deadline_;
    std::function<void(TResult, std::string)> onFinished_;
};

// Writes a text into a pipe for a program that asked for it, without waiting on its reader; a
// reader that stops reading is given up after a time limit. Takes ownership of the fd and deletes
// itself when done.
class TPipeWriter : public QObject {
    Q_OBJECT
public:
    TPipeWriter(int fd, std::string data, int timeLimitMs, QObject* parent = nullptr);
    ~TPipeWriter() override;

private:
    void WriteSome();

    int fd_;
    std::string data_;
    std::size_t written_ = 0;
    QSocketNotifier* notifier_;
    QTimer deadline_;
};

} // namespace ostrel
