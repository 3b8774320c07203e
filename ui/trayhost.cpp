// Which tray Qt talks to: the same question Qt asks the session bus before it
// makes a StatusNotifierItem for a tray icon.
#include "ui/seams.h"

#ifdef TANDREL_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#endif

namespace tandrel::ui {

TrayHost DetectTrayHost()
{
#ifdef TANDREL_HAVE_DBUS
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(watcher))
        return TrayHost::XEmbed;
    QDBusMessage get =
        QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                       QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    // A watcher that does not answer within a second is no host to rely on.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
        reply.arguments().front().value<QDBusVariant>().variant().toBool())
        return TrayHost::StatusNotifierItem;
#endif
    return TrayHost::XEmbed;
}

}  // namespace tandrel::ui
