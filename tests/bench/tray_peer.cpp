// The peer of the idle benchmark: the smallest resident tray program, built the same way as
// Ostrel (same compiler, flags and Qt). It shows a tray icon, listens to the clipboard and
// writes "ready" to $TRAY_PEER_READY once its event loop runs.

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdlib>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon tray(QIcon(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString()));
    tray.setToolTip("peer");
    tray.show();
    int changes = 0;
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, [&changes] { ++changes; });
    QTimer::singleShot(0, [] {
        if (const char* ready = std::getenv("TRAY_PEER_READY")) {
            QFile f(QString::fromLocal8Bit(ready));
            if (f.open(QIODevice::WriteOnly))
                f.write("ready\n");
        }
    });
    return QApplication::exec();
}
