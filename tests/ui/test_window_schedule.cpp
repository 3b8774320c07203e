// The window beyond its own sight: the record and notices of its backups,
// the tray's warning badge, "Start with the Desktop" and "Schedule This
// Backup...".
#include <QAction>
#include <QDir>
#include <QFile>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <fstream>

#include "listfile/listfile.h"
#include "tests/ui/window_harness.h"
#include "ui/pathtext.h"

using tandrel::DialogResult;
using tandrel::RunResult;
using tandrel::ui::ToPath;
using tandrel::ui::testing::WindowHarness;

namespace {

class FakeNotices : public tandrel::ui::DesktopNotices {
public:
    bool Notify(const tandrel::Notice& notice, std::string&) override
    {
        given.push_back(notice);
        return true;
    }
    std::vector<tandrel::Notice> given;
};

class FakeManager : public tandrel::UserManager {
public:
    bool Booted() override { return booted; }
    bool Runs() override { return false; }
    int Systemctl(const std::vector<std::string>&) override { return 0; }
    bool booted = true;
};

std::string Slurp(const QString& file)
{
    std::ifstream in(ToPath(file), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything the window is given for its record, notices and schedules, in
// one scratch folder.
struct Outside {
    QTemporaryDir dir;
    tandrel::RunLog log {ToPath(dir.path() + "/state")};
    tandrel::Settings settings {ToPath(dir.path() + "/settings")};
    FakeNotices notices;
    FakeManager manager;
    tandrel::ui::WindowSchedule Schedule()
    {
        return {&log,
                &notices,
                &settings,
                &manager,
                ToPath(dir.path() + "/units"),
                ToPath(dir.path() + "/autostart/org.tandrel.tandrel.desktop"),
                "/usr/bin/tandrel-cli",
                nullptr};
    }
};

// A folder of two files, and a destination.
struct Source {
    QTemporaryDir source {QDir::tempPath() + QStringLiteral("/tandrelsched-XXXXXX")};
    QTemporaryDir destination;
    Source()
    {
        QDir().mkpath(source.path() + "/Docs");
        for (const char* name : {"one", "two"}) {
            QFile file(source.path() + "/Docs/" + name);
            if (file.open(QIODevice::WriteOnly)) file.write("data");
        }
    }
    QString Docs() const { return source.path() + "/Docs"; }
};

void Gather(WindowHarness& h, const Source& s)
{
    h.form->BeginGetFiles({ToPath(s.Docs())}, false);
    QTRY_VERIFY_WITH_TIMEOUT(h.idle() && h.backupList()->count() == 1, 10000);
    h.destinationList()->addItem(s.destination.path() + "/");
    h.form->ShowProgress();
}

QAction* Action(WindowHarness& h, const char* name)
{
    return h.form->findChild<QAction*>(QString::fromLatin1(name));
}

QSystemTrayIcon* Tray(WindowHarness& h)
{
    return h.form->findChild<QSystemTrayIcon*>(QStringLiteral("notifyIcon1"));
}

}  // namespace

class TestWindowSchedule : public QObject {
    Q_OBJECT

private slots:
    void aFailureIsNoticedWhileItsQuestionWaitsAndRecorded()
    {
        Outside outside;
        Source s;
        WindowHarness h(nullptr, {}, tandrel::ui::TrayHost::XEmbed, outside.Schedule());
        const qint64 plainIcon = Tray(h)->icon().cacheKey();
        Gather(h, s);
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle() && outside.log.Last("window"), 10000);
        QVERIFY(outside.notices.given.empty());  // success is quiet
        QCOMPARE(Tray(h)->icon().cacheKey(), plainIcon);

        // Again without Overwrite: each file fails. The notice comes while
        // the question waits unanswered.
        h.boxes.holdModeless = true;
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!outside.notices.given.empty(), 10000);
        QCOMPARE(outside.notices.given[0].summary, std::string("Backup failed"));
        QVERIFY(outside.notices.given[0].body.find("File exists") != std::string::npos);
        QVERIFY(Tray(h)->toolTip().contains(QStringLiteral("failed at ")));
        QVERIFY(Tray(h)->icon().cacheKey() != plainIcon);
        h.boxes.holdModeless = false;
        while (!h.boxes.pending.empty()) h.boxes.Answer(DialogResult::Yes);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle() && outside.log.Last("window")->last.result == RunResult::Failed, 10000);
        QCOMPARE(outside.log.Last("window")->last.failed, std::int64_t {2});
        QCOMPARE(outside.notices.given.size(), std::size_t(1));  // once for the run
        QVERIFY(Slurp(QString::fromStdString(outside.log.LogFile())).find(" window failed into ") != std::string::npos);
    }

    void startWithTheDesktopWritesTheEntryAndTheStartTakesUpTheLastBackup()
    {
        Outside outside;
        Source s;
        const QString list = outside.dir.path() + "/my.lst";
        tandrel::Serialize(ToPath(list), std::vector<std::string> {ToPath(s.Docs())});
        {
            WindowHarness h(nullptr, {}, tandrel::ui::TrayHost::XEmbed, outside.Schedule());
            h.form->BeginDeserialize(list);
            QTRY_VERIFY_WITH_TIMEOUT(h.idle() && h.backupList()->count() == 1, 10000);
            h.destinationList()->addItem(s.destination.path() + "/");
            h.form->ShowProgress();
            h.check("cboxSetForget")->setChecked(true);
            h.interval()->setCurrentIndex(2);  // "2 Hours"
            QAction* start = Action(h, "menuItemStartWithDesktop");
            QVERIFY(start->isCheckable() && !start->isChecked());
            start->trigger();
            const std::string entry = Slurp(QString::fromStdString(outside.Schedule().autostartFile));
            QVERIFY(entry.find(" --autostart\n") != std::string::npos);
            if (std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0) {
                const std::string validate = "desktop-file-validate '" + outside.Schedule().autostartFile + "'";
                QCOMPARE(std::system(validate.c_str()), 0);
            }
        }
        // The next start, hidden: the list, the destination, Auto Backup
        // and a first backup.
        WindowHarness h(nullptr, {}, tandrel::ui::TrayHost::XEmbed, outside.Schedule());
        QVERIFY(Action(h, "menuItemStartWithDesktop")->isChecked());
        h.form->StartFromDesktop();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(s.destination.path() + "/Docs/two") && h.threads.ActiveWorkers() == 0,
                                 15000);
        QVERIFY(h.check("cboxSetForget")->isChecked());
        QCOMPARE(h.interval()->currentText(), QStringLiteral("2 Hours"));
        QTRY_VERIFY_WITH_TIMEOUT(h.timer->IsActive(), 5000);

        Action(h, "menuItemStartWithDesktop")->trigger();  // unchecked: the entry goes
        QVERIFY(!QFile::exists(QString::fromStdString(outside.Schedule().autostartFile)));
    }

    void scheduleThisBackupSavesAListWithoutAFileAndWritesTheTimer()
    {
        Outside outside;
        Source s;
        WindowHarness h(nullptr, {}, tandrel::ui::TrayHost::XEmbed, outside.Schedule());
        Gather(h, s);
        h.interval()->setCurrentIndex(1);  // "20 Minutes"
        const QString list = outside.dir.path() + "/Work Docs.lst";
        h.dialogs.answers.push_back(QStringList {list});
        Action(h, "menuItemSchedule")->trigger();
        QCOMPARE(tandrel::Deserialize(ToPath(list)).PresentEntries(), std::vector<std::string> {ToPath(s.Docs())});
        const std::string timer = Slurp(outside.dir.path() + "/units/tandrel-Work-Docs.timer");
        QVERIFY2(timer.find("OnCalendar=*-*-* *:00/20:00\n") != std::string::npos, timer.c_str());
        const std::string service = Slurp(outside.dir.path() + "/units/tandrel-Work-Docs.service");
        QVERIFY(service.find("\"--list\" \"" + ToPath(list) + "\" \"--dest\" \"" + ToPath(s.destination.path()) +
                             "\" \"--mode\" \"directory\"") != std::string::npos);
        QCOMPARE(h.boxes.shown.back().icon, tandrel::MessageBoxIcon::Information);

        // Without systemd: said, with the way that remains, and nothing written.
        outside.manager.booted = false;
        QFile::remove(outside.dir.path() + "/units/tandrel-Work-Docs.timer");
        Action(h, "menuItemSchedule")->trigger();
        QVERIFY(h.boxes.shown.back().text.find("\"Start with the Desktop\"") != std::string::npos);
        QVERIFY(!QFile::exists(outside.dir.path() + "/units/tandrel-Work-Docs.timer"));
    }
};

QTEST_MAIN(TestWindowSchedule)
#include "test_window_schedule.moc"
