// The clipboard's pipes to other programs: whatever the other end does, the event loop keeps
// running, the text arrives whole or not at all, and the program survives.

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qt/pipe_transfer.h"

using namespace ostrel;

namespace {
struct TOutcome {
    TPipeReader::TResult Result;
    std::string Text;
    int Ticks;
};

// Reads fd to its end and counts how often a 10 ms timer fired meanwhile.
TOutcome ReadAll(int fd, std::size_t sizeLimit, int timeLimitMs) {
    std::optional<TOutcome> outcome;
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    TPipeReader reader(fd, sizeLimit, timeLimitMs, [&](TPipeReader::TResult result, std::string text) {
        outcome = TOutcome{result, std::move(text), 0};
    });
    QElapsedTimer clock;
    clock.start();
    while (!outcome && clock.elapsed() < timeLimitMs + 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!outcome)
        qFatal("the reader never finished");
    outcome->Ticks = ticks;
    return *outcome;
}

std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + i % 23);
    return text;
}
} // namespace

class PipeTransferTest : public QObject {
    Q_OBJECT
private slots:
    // Far more than a pipe holds at once, so both sides meet a full or empty pipe many times.
    void aLargeTextArrivesWhole() {
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        const std::string text = Pattern(3 << 20);
        new TPipeWriter(fds[1], text, 10000, this);
        const TOutcome got = ReadAll(fds[0], 4 << 20, 10000);
        QCOMPARE(got.Result, TPipeReader::TResult::Done);
        QVERIFY(got.Text == text);
    }

    // A program that writes without end is cut off at the size limit, and one that keeps the pipe
    // open without finishing at the time limit, with what it sent so far dropped rather than taken
    // as the text; the window's timers run all the while.
    void aSenderWithoutEndIsCutOff() {
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        pid_t pid;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        char cat[] = "cat", zero[] = "/dev/zero";
        char* argv[] = {cat, zero, nullptr};
        QVERIFY(::posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ) == 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        const TOutcome endless = ReadAll(fds[0], 1 << 20, 20000);
        QCOMPARE(endless.Result, TPipeReader::TResult::TooLarge);
        QVERIFY(endless.Text.empty());
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFSIGNALED(status) || WIFEXITED(status));

        QVERIFY(::pipe(fds) == 0);
        QCOMPARE(::write(fds[1], "http://example.com/", 19), 19);
        const TOutcome silent = ReadAll(fds[0], 1 << 20, 500);
        ::close(fds[1]);
        QCOMPARE(silent.Result, TPipeReader::TResult::TimedOut);
        QVERIFY(silent.Text.empty());
        QVERIFY2(silent.Ticks >= 10, qPrintable(QString("only %1 timer ticks in 500 ms").arg(silent.Ticks)));
    }

    // The reader goes away before taking the text: the write fails, the program lives on.
    void aReaderThatGoesAwayDoesNotEndTheProgram() {
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        ::close(fds[0]);
        QPointer<TPipeWriter> writer = new TPipeWriter(fds[1], Pattern(1 << 20), 10000, this);
        QTRY_VERIFY_WITH_TIMEOUT(writer.isNull(), 10000);
    }
};

QTEST_MAIN(PipeTransferTest)
#include "pipe_transfer_test.moc"
