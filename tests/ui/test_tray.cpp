// The automatic backup through a hand-driven timer, hiding to the tray and
// coming back, the exits and the About box.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include "ui/pathtext.h"
#include "tests/ui/window_harness.h"

using tandrel::DialogResult;
using tandrel::MessageBoxButtons;
using tandrel::MessageBoxIcon;
using tandrel::MessageBoxRequest;
using tandrel::ui::ToPath;
using tandrel::ui::testing::WindowHarness;

namespace {

// A backup list of one folder with two files, gathered, and a destination.
struct ReadyToCopy {
    QTemporaryDir source {QDir::tempPath() + QStringLiteral("/tandreltray-XXXXXX")};
    QTemporaryDir destination;

    explicit ReadyToCopy(WindowHarness& h)
    {
        const QString root = source.path() + QStringLiteral("/Docs");
        QDir().mkpath(root);
        for (const char* name : {"one", "two"}) {
            QFile file(root + "/" + name);
            if (file.open(QIODevice::WriteOnly)) file.write("data");
        }
        h.form->BeginGetFiles({ToPath(root)}, false);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle() && h.backupList()->count() == 1, 10000);
        h.destinationList()->addItem(destination.path() + "/");
        h.form->ShowProgress();  // row 5b
    }
};

bool IsClosingBox(const MessageBoxRequest& box)
{
    return box.caption == "Backup Complete" && box.buttons == MessageBoxButtons::OK;
}

// Waits until a copy's closing box is open and the copy waits on it.
void AwaitClosingBox(WindowHarness& h, std::size_t pending = 1)
{
    QTRY_VERIFY_WITH_TIMEOUT(h.boxes.pending.size() == pending && IsClosingBox(h.boxes.shown.back()), 10000);
}

QAction* Action(WindowHarness& h, const char* name)
{
    return h.form->findChild<QAction*>(QString::fromLatin1(name));
}

}  // namespace

class TestTray : public QObject {
    Q_OBJECT

private slots:
    void theTimerIsArmedWhenTheClosingBoxIsDismissed()
    {
        WindowHarness h;
        ReadyToCopy ready(h);
        QVERIFY(h.check("cboxSetForget")->isEnabled());
        h.check("cboxSetForget")->setChecked(true);
        h.interval()->setCurrentIndex(0);  // "10 Minutes"
        h.boxes.holdModeless = true;
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        AwaitClosingBox(h);
        QVERIFY(!h.timer->IsActive());  // the wait counts from the dismissal
        h.boxes.Answer(DialogResult::OK);
        QTRY_VERIFY_WITH_TIMEOUT(h.timer->IsActive(), 5000);
        QCOMPARE(h.timer->Interval(), 600000);

        // A tick starts the next copy, which stops the timer until it ends.
        h.timer->Fire();
        QVERIFY(!h.timer->IsActive());
        AwaitClosingBox(h);
        QCOMPARE(h.boxes.shown.size(), std::size_t(2));
        h.boxes.Answer(DialogResult::OK);
        QTRY_VERIFY_WITH_TIMEOUT(h.timer->IsActive() && h.threads.ActiveWorkers() == 0, 5000);
        QCOMPARE(h.timer->starts, 2);
    }

    void withoutAnIntervalTheBackupRunsOnce()
    {
        for (bool autoBackup : {true, false}) {
            WindowHarness h;
            ReadyToCopy ready(h);
            h.check("cboxSetForget")->setChecked(autoBackup);
            QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!h.boxes.shown.empty() && h.idle(), 10000);
            QVERIFY(IsClosingBox(h.boxes.shown.back()));
            QVERIFY(!h.timer->IsActive());
            QCOMPARE(h.timer->starts, 0);
        }
    }

    void aTickDuringAJobStartsNothing()
    {
        WindowHarness h;
        ReadyToCopy ready(h);
        h.check("cboxSetForget")->setChecked(true);
        h.interval()->setCurrentIndex(0);
        h.timer->SetInterval(600000);
        h.timer->Start();
        h.jobs.complete = false;  // a gathering runs
        h.timer->Fire();
        QCOMPARE(h.threads.ActiveWorkers(), 0);
        QVERIFY(h.timer->IsActive());  // ticks again one interval later
        QVERIFY(h.boxes.shown.empty());

        h.jobs.complete = true;
        h.timer->Fire();
        QVERIFY(!h.timer->IsActive());
        QTRY_VERIFY_WITH_TIMEOUT(!h.boxes.shown.empty() && IsClosingBox(h.boxes.shown.back()), 10000);
    }

    void aNewIntervalTakesEffectAfterTheNextCopy()
    {
        WindowHarness h;
        ReadyToCopy ready(h);
        h.check("cboxSetForget")->setChecked(true);
        h.interval()->setCurrentIndex(0);
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(h.timer->IsActive() && h.threads.ActiveWorkers() == 0, 10000);
        QCOMPARE(h.timer->Interval(), 600000);

        h.interval()->setCurrentIndex(2);  // "2 Hours"
        QCOMPARE(h.timer->Interval(), 600000);
        QVERIFY(h.timer->IsActive());
        h.timer->Fire();
        QTRY_VERIFY_WITH_TIMEOUT(h.timer->IsActive() && h.threads.ActiveWorkers() == 0, 10000);
        QCOMPARE(h.timer->Interval(), 7200000);
        QCOMPARE(h.boxes.shown.size(), std::size_t(2));
    }

    void overwriteFollowsTheAutoBackupControls()
    {
        WindowHarness h;
        ReadyToCopy ready(h);
        QVERIFY(!h.check("cboxOverwrite")->isChecked());
        h.check("cboxSetForget")->setChecked(true);
        QVERIFY(h.check("cboxOverwrite")->isChecked());
        QVERIFY(h.everyLabel()->isEnabled() && h.interval()->isEnabled());
        QVERIFY(!h.timer->IsActive());

        h.check("cboxOverwrite")->setChecked(false);
        h.interval()->setCurrentIndex(1);
        QVERIFY(h.check("cboxOverwrite")->isChecked());
        h.check("cboxOverwrite")->setChecked(false);
        h.interval()->setCurrentIndex(3);
        QVERIFY(h.check("cboxOverwrite")->isChecked());

        h.check("cboxSetForget")->setChecked(false);
        QVERIFY(!h.check("cboxOverwrite")->isChecked());
        QVERIFY(!h.everyLabel()->isEnabled() && !h.interval()->isEnabled());
        QCOMPARE(h.interval()->currentText(), QStringLiteral("8 Hours"));  // stays selected
    }

    void uncheckingStopsTheSeriesAndUnlocksStart()
    {
        WindowHarness h;
        ReadyToCopy ready(h);
        h.check("cboxSetForget")->setChecked(true);
        h.interval()->setCurrentIndex(0);
        // An entry added now: the refresh takes row 5a and locks "Start".
        h.form->ShowProgress();
        QVERIFY(!h.button("btnStart")->isEnabled());
        h.timer->Start();  // as a finished copy leaves it

        h.check("cboxSetForget")->setChecked(false);
        QVERIFY(!h.timer->IsActive());
        QVERIFY(h.button("btnStart")->isEnabled());
        QVERIFY(h.radio("rboxCD")->isEnabled());  // row 5b
        h.check("cboxSetForget")->setChecked(true);
        QVERIFY(h.button("btnStart")->isEnabled());

        // With an empty destination the refresh takes row 5c instead.
        h.destinationList()->clear();
        h.check("cboxSetForget")->setChecked(false);
        QVERIFY(!h.button("btnStart")->isEnabled());
        QVERIFY(!h.check("cboxSetForget")->isEnabled());
    }

    void hideAndShowWithATray()
    {
        WindowHarness h(nullptr, [] { return true; });
        auto* tray = h.form->findChild<QSystemTrayIcon*>(QStringLiteral("notifyIcon1"));
        QVERIFY(tray);
        h.form->showMaximized();
        Action(h, "menuItemHide")->trigger();
        QVERIFY(h.form->isHidden());
        QCOMPARE(h.form->windowState(), Qt::WindowNoState);
        QVERIFY(tray->isVisible());

        emit tray->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(h.form->isVisible());
        QCOMPARE(h.form->windowState(), Qt::WindowNoState);

        Action(h, "menuItemHide")->trigger();
        Action(h, "menuItemShow")->trigger();
        QVERIFY(h.form->isVisible());
        QCOMPARE(h.form->windowState(), Qt::WindowNoState);
    }

    // An XEmbed tray reports single clicks too: only the double click shows
    // the window. A StatusNotifierItem host reports its activation as
    // Trigger and never a double click: there Trigger shows the window.
    void whatShowsTheWindowDependsOnTheTray()
    {
        using tandrel::ui::TrayHost;
        struct Case {
            TrayHost host;
            QSystemTrayIcon::ActivationReason reason;
            bool shows;
        };
        const Case cases[] = {
            {TrayHost::XEmbed, QSystemTrayIcon::Trigger, false},
            {TrayHost::XEmbed, QSystemTrayIcon::DoubleClick, true},
            {TrayHost::XEmbed, QSystemTrayIcon::MiddleClick, false},
            {TrayHost::XEmbed, QSystemTrayIcon::Context, false},
            {TrayHost::StatusNotifierItem, QSystemTrayIcon::Trigger, true},
            {TrayHost::StatusNotifierItem, QSystemTrayIcon::DoubleClick, true},
            {TrayHost::StatusNotifierItem, QSystemTrayIcon::MiddleClick, false},
            {TrayHost::StatusNotifierItem, QSystemTrayIcon::Context, false},
        };
        for (const Case& c : cases) {
            WindowHarness h(
                nullptr, [] { return true; }, c.host);
            auto* tray = h.form->findChild<QSystemTrayIcon*>(QStringLiteral("notifyIcon1"));
            Action(h, "menuItemHide")->trigger();
            QVERIFY(h.form->isHidden());
            emit tray->activated(c.reason);
            const QByteArray what = QByteArray(c.host == TrayHost::XEmbed ? "XEmbed" : "StatusNotifierItem") +
                                    " reason " + QByteArray::number(int(c.reason));
            QVERIFY2(h.form->isVisible() == c.shows, what.constData());
            if (c.shows) QCOMPARE(h.form->windowState(), Qt::WindowNoState);
        }
    }

    void hideWithoutATrayMinimises()
    {
        WindowHarness h(nullptr, [] { return false; });
        Action(h, "menuItemHide")->trigger();
        QVERIFY(!h.form->isHidden());
        QVERIFY(h.form->windowState().testFlag(Qt::WindowMinimized));
        // Showing a minimised window leaves it minimised.
        Action(h, "menuItemShow")->trigger();
        QVERIFY(h.form->windowState().testFlag(Qt::WindowMinimized));
    }

    void exitDuringACopyClosesWithoutAQuestion()
    {
        for (const char* exit : {"menuItemExit", "menuItemexitMain"}) {
            WindowHarness h;
            ReadyToCopy ready(h);
            auto* tray = h.form->findChild<QSystemTrayIcon*>(QStringLiteral("notifyIcon1"));
            h.check("cboxSetForget")->setChecked(true);
            h.interval()->setCurrentIndex(0);
            h.boxes.holdModeless = true;
            QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
            AwaitClosingBox(h);
            const std::size_t boxes = h.boxes.shown.size();

            Action(h, exit)->trigger();
            QVERIFY2(h.form->isHidden(), exit);
            QCOMPARE(h.boxes.shown.size(), boxes);  // nothing asked
            QVERIFY(!tray->isVisible());
            QCOMPARE(h.threads.ActiveWorkers(), 1);  // the copy was not waited for

            // The copy's end re-arms nothing on a closed window.
            h.boxes.Answer(DialogResult::OK);
            QTRY_COMPARE_WITH_TIMEOUT(h.threads.ActiveWorkers(), 0, 5000);
            QTest::qWait(20);
            QVERIFY(!h.timer->IsActive());
        }
    }

    void theAboutBox()
    {
        WindowHarness h;
        Action(h, "menuItemAbout")->trigger();
        QCOMPARE(h.boxes.shown.size(), std::size_t(1));
        QCOMPARE(h.boxes.shown.back(),
                 (MessageBoxRequest {"Tandrel helps backup files on your computer. \n \n https://tandrel.org",
                                     "About Tandrel", MessageBoxButtons::OK, MessageBoxIcon::Information}));
    }
};

QTEST_MAIN(TestTray)
#include "test_tray.moc"
