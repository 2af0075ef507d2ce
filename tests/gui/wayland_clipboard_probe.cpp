// Drives the Wayland clipboard from a test: prints "active" once the compositor's data-control is
// followed and "change <text>" for every change it reports; reads "set <text>" (sets the selection,
// "set" alone clears it) and "get" (prints "text <text>") from standard input, one per line.

#include <QCoreApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "qt/wayland_clipboard.h"

using namespace ostrel;

namespace {
void Say(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}
} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    TWaylandClipboard* clipboard = nullptr;
    clipboard = TWaylandClipboard::Open([&] { Say("change " + clipboard->Text()); }, &app);
    if (!clipboard) {
        Say("no display");
        return 1;
    }
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (clipboard->Active()) {
            Say("active");
            watch.stop();
        }
    });
    watch.start(20);

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            return QCoreApplication::quit();
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string line = pending.substr(0, end);
            if (line == "get")
                Say("text " + clipboard->Text());
            else if (line.rfind("set", 0) == 0)
                clipboard->SetText(line.size() > 4 ? line.substr(4) : "");
        }
    });
    return QCoreApplication::exec();
}
