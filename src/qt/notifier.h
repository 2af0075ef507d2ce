#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <map>

namespace ostrel {

// Passing notices through the desktop's notification service (org.freedesktop.Notifications on
// the session bus), with a click that opens a file or folder.
class TNotifier : public QObject {
    Q_OBJECT
public:
    explicit TNotifier(QObject* parent = nullptr);

    // False when no notification service runs; onRefused runs later if the service turns the
    // notice down, so that the caller can still show it another way.
    bool Send(const QString& title, const QString& text, const QString& openPath, std::function<void()> onRefused);

private Q_SLOTS:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

private:
    bool ServiceRuns();
    bool TakesMarkup();
    std::map<uint, QString> openOnClick_;
    bool signalsConnected_ = false;
    int markup_ = -1; // unknown until asked
};

// Opens a file or folder with the desktop's usual program for it.
void OpenWithDesktop(const QString& path);

} // namespace ostrel
