// The window's desktop notices, through Qt D-Bus.
#include "ui/schedule.h"

#ifdef TANDREL_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#endif

namespace tandrel::ui {

bool DBusNotices::Notify(const Notice& notice, std::string& why)
{
#ifdef TANDREL_HAVE_DBUS
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        why = "no session bus: " + bus.lastError().message().toStdString();
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(notice.critical ? 2 : 1));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.tandrel.tandrel"));
    call << QStringLiteral("Tandrel") << 0u << QStringLiteral("org.tandrel.tandrel")
         << QString::fromStdString(notice.summary) << QString::fromStdString(notice.body) << QStringList() << hints
         << -1;
    // Sent without waiting: a notification service that hangs never holds
    // the window.
    if (!bus.send(call)) {
        why = "the session bus did not take the notice: " + bus.lastError().message().toStdString();
        return false;
    }
    return true;
#else
    (void)notice;
    why = "this build of Tandrel reaches no session bus";
    return false;
#endif
}

}  // namespace tandrel::ui
