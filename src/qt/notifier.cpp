#include "qt/notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QUrl>
#include <QVariantMap>

#include "ostrel_version.h"
#include "util/program_state.h"

namespace ostrel {

namespace {
const char* const kService = "org.freedesktop.Notifications";
const char* const kPath = "/org/freedesktop/Notifications";
const char* const kInterface = "org.freedesktop.Notifications";
// A hung notification service must not freeze the program's only thread for long.
constexpr int kCallTimeoutMs = 1000;

QString AppIcon() {
    // The program folder's own icon file; the theme's icon by name where that file is missing.
    const QString file = QString::fromStdString(LocalPath("icons/ostrel-app-48.png"));
    return QFile::exists(file) ? file : QString(OSTREL_APP_ID);
}
} // namespace

void OpenWithDesktop(const QString& path) {
    if (!path.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

TNotifier::TNotifier(QObject* parent) : QObject(parent) {}

bool TNotifier::ServiceRuns() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    // A service that the bus would start on demand counts as well as one that already runs.
    if (bus.interface()->isServiceRegistered(kService).value())
        return true;
    QDBusMessage list = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                       "org.freedesktop.DBus", "ListActivatableNames");
    const QDBusMessage reply = bus.call(list, QDBus::Block, kCallTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().toStringList().contains(kService);
}

bool TNotifier::TakesMarkup() {
    if (markup_ < 0) {
        QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface, "GetCapabilities");
        const QDBusMessage reply = QDBusConnection::sessionBus().call(ask, QDBus::Block, kCallTimeoutMs);
        markup_ = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                  reply.arguments().first().toStringList().contains("body-markup");
    }
    return markup_ == 1;
}

bool TNotifier::Send(const QString& title, const QString& text, const QString& openPath,
                     std::function<void()> onRefused) {
    if (!ServiceRuns())
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!signalsConnected_) {
        bus.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(ActionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(NotificationClosed(uint, uint)));
        signalsConnected_ = true;
    }
    // A service that reads markup would take a "<" or "&" of a URL for a tag.
    const QString body = TakesMarkup() ? text.toHtmlEscaped() : text;
    QStringList actions;
    if (!openPath.isEmpty())
        actions << "default"
                << "Open";
    QVariantMap hints;
    hints["desktop-entry"] = QString(OSTREL_APP_ID);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    call << QString("Ostrel") << uint(0) << AppIcon() << title << body << actions << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, openPath, onRefused = std::move(onRefused)](QDBusPendingCallWatcher* w) {
                QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    if (onRefused)
                        onRefused();
                } else if (!openPath.isEmpty()) {
                    openOnClick_[reply.value()] = openPath;
                }
                w->deleteLater();
            });
    return true;
}

void TNotifier::ActionInvoked(uint id, const QString& action) {
    auto it = openOnClick_.find(id);
    if (it == openOnClick_.end() || action != "default")
        return;
    const QString path = it->second;
    openOnClick_.erase(it);
    OpenWithDesktop(path);
}

void TNotifier::NotificationClosed(uint id, uint) {
    openOnClick_.erase(id);
}

} // namespace ostrel
