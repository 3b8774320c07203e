// The window's notices over a private session bus (the test runs under
// dbus-run-session), taken by a stand-in for the desktop's notification
// service on a connection of its own.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QtTest>

#include "ui/schedule.h"

class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList summaries, bodies;
    QList<int> urgencies;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap& hints, int)
    {
        summaries << summary;
        bodies << body;
        urgencies << hints.value(QStringLiteral("urgency")).toInt();
        return static_cast<uint>(summaries.size());
    }
};

class TestNotices : public QObject {
    Q_OBJECT

private slots:
    void aNoticeReachesTheNotificationService()
    {
        if (qEnvironmentVariableIsEmpty("TANDREL_PRIVATE_SESSION_BUS"))
            QSKIP("needs a private session bus (dbus-run-session, package dbus-daemon)");
        QDBusConnection service =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("notifications"));
        QVERIFY(service.isConnected());
        FakeNotifications fake;
        QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &fake,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.Notifications")));

        tandrel::RunRecord failed;
        failed.result = tandrel::RunResult::Failed;
        failed.destination = "/media/usb/Backup";
        failed.failed = 3;
        failed.failures = {"Could not copy '/home/a.txt': Input/output error"};
        tandrel::ui::DBusNotices notices;
        std::string why;
        QVERIFY2(notices.Notify(tandrel::NoticeOf(failed), why), why.c_str());
        QTRY_COMPARE_WITH_TIMEOUT(fake.summaries, QStringList {QStringLiteral("Backup failed")}, 5000);
        QCOMPARE(fake.bodies.front(), QStringLiteral("The backup into '/media/usb/Backup': 3 files failed.\n"
                                                     "Could not copy '/home/a.txt': Input/output error"));
        QCOMPARE(fake.urgencies.front(), 2);
        service.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("notifications"));
    }
};

QTEST_GUILESS_MAIN(TestNotices)
#include "test_notices.moc"
