// Telling the two kinds of tray apart over a private session bus (the test
// runs under dbus-run-session), with a stand-in for the panel's
// StatusNotifierWatcher served from a thread of its own.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QThread>
#include <QtTest>
#include <atomic>

#include "ui/seams.h"

using tandrel::ui::DetectTrayHost;
using tandrel::ui::TrayHost;

class FakeWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    std::atomic<bool> host {false};
    bool hostRegistered() const { return host.load(); }
};

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

}  // namespace

class TestTrayHost : public QObject {
    Q_OBJECT

    QThread thread_;
    FakeWatcher* watcher_ = nullptr;

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TANDREL_PRIVATE_SESSION_BUS"))
            QSKIP("needs a private session bus (dbus-run-session, package dbus-daemon)");
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) QSKIP("no session bus");
        QVERIFY(!bus.interface()->isServiceRegistered(kWatcher));
        thread_.start();
    }

    void cleanupTestCase()
    {
        thread_.quit();
        thread_.wait();
        delete watcher_;
    }

    void withoutAWatcherTheTrayIsXEmbed() { QCOMPARE(DetectTrayHost(), TrayHost::XEmbed); }

    void aWatcherCountsOnlyWithARegisteredHost()
    {
        // The watcher on a connection of its own, as a panel would own it;
        // its calls are served by the thread while this one waits.
        QDBusConnection panel = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("panel"));
        QVERIFY(panel.isConnected());
        watcher_ = new FakeWatcher;
        watcher_->moveToThread(&thread_);
        QVERIFY(panel.registerObject(QStringLiteral("/StatusNotifierWatcher"), watcher_,
                                     QDBusConnection::ExportAllProperties));
        QVERIFY(panel.registerService(kWatcher));
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kWatcher));

        // A watcher whose host has gone (no panel shows the items).
        QCOMPARE(DetectTrayHost(), TrayHost::XEmbed);
        watcher_->host = true;
        QCOMPARE(DetectTrayHost(), TrayHost::StatusNotifierItem);

        // The watcher leaves with its panel.
        QVERIFY(panel.unregisterService(kWatcher));
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(kWatcher));
        QCOMPARE(DetectTrayHost(), TrayHost::XEmbed);
        panel.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
        QDBusConnection::disconnectFromBus(QStringLiteral("panel"));
    }
};

QTEST_GUILESS_MAIN(TestTrayHost)
#include "test_trayhost.moc"
