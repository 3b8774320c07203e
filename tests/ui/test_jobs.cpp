// Background jobs and their hand-off to the window thread: refresh requests
// from workers, the order of posted work, gatherings and copies run through
// the window, worker questions, and failures that escape a job.
#include <QAccessible>
#include <QAction>
#include <QMenu>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

#include "engine/hashrecord.h"
#include "ui/pathtext.h"
#include "tests/ui/window_harness.h"

using tandrel::DialogResult;
using tandrel::MessageBoxButtons;
using tandrel::MessageBoxIcon;
using tandrel::MessageBoxRequest;
using tandrel::ui::ToPath;
using tandrel::ui::testing::WindowHarness;

namespace {

// Something that is no std::exception, so that the engine lets it pass.
struct Escaping {};

// The native file system with faults on chosen calls.
class FaultyFileSystem : public tandrel::NativeFileSystem {
public:
    std::string refuseListing;  // List of this folder fails as the platform's would
    std::string escapeListing;  // List of this folder throws something unforeseen
    int escapeCopyAt = -1;      // CopyFile number N (from 0) throws something unforeseen
    std::atomic<int> copies {0};
    std::function<void()> beforeCommit;  // runs on the copy's worker before each commit

    tandrel::Listing List(const std::string& folder) override
    {
        if (folder == refuseListing)
            throw tandrel::FsError("Permission denied: '" + folder + "'", tandrel::FsError::Kind::Other, EACCES,
                                   folder);
        if (folder == escapeListing) throw Escaping {};
        return NativeFileSystem::List(folder);
    }
    std::unique_ptr<tandrel::CopySession> BeginCopy(const std::string& destination) override
    {
        return std::make_unique<Session>(*this, NativeFileSystem::BeginCopy(destination));
    }

private:
    // The native copies, but the commit of copy number escapeCopyAt throws.
    class Session : public tandrel::CopySession {
    public:
        Session(FaultyFileSystem& fs, std::unique_ptr<tandrel::CopySession> native)
            : fs_(fs), native_(std::move(native))
        {
        }
        bool DirectoryExists(const std::string& path) override { return native_->DirectoryExists(path); }
        void CreateDirectory(const std::string& path, const std::string& mirrored) override
        {
            native_->CreateDirectory(path, mirrored);
        }
        std::unique_ptr<tandrel::FileCopy> Open(const std::string& source) override { return native_->Open(source); }
        void Work(tandrel::FileCopy& copy, const std::string& target, bool overwrite) noexcept override
        {
            native_->Work(copy, target, overwrite);
        }
        tandrel::CopyOutcome Commit(tandrel::FileCopy& copy) override
        {
            if (fs_.beforeCommit) fs_.beforeCommit();
            if (fs_.copies++ == fs_.escapeCopyAt) throw Escaping {};
            return native_->Commit(copy);
        }
        void Finish() override { native_->Finish(); }

    private:
        FaultyFileSystem& fs_;
        std::unique_ptr<tandrel::CopySession> native_;
    };
};

void Write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// A source tree without "." in its folder names: 3 files at the top and 2 in
// the sub-folder "inner", 3000 bytes in all.
struct SourceTree {
    QTemporaryDir dir {QDir::tempPath() + QStringLiteral("/tandrelsrc-XXXXXX")};
    QString root;
    SourceTree()
    {
        root = dir.path() + QStringLiteral("/Photos");
        Write(root + "/a.txt", QByteArray(1000, 'a'));
        Write(root + "/b.txt", QByteArray(500, 'b'));
        Write(root + "/c.txt", QByteArray(500, 'c'));
        Write(root + "/inner/d.txt", QByteArray(600, 'd'));
        Write(root + "/inner/e.txt", QByteArray(400, 'e'));
    }
};

// Gathers `root` with sub-folders through the window and waits for the end.
void Gather(WindowHarness& h, const QString& root)
{
    h.form->BeginGetFiles({ToPath(root)}, true);
    QTRY_VERIFY_WITH_TIMEOUT(h.idle() && h.backupList()->count() > 0, 10000);
}

// The one modeless message box that is open, if any.
QMessageBox* OpenBox()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

const MessageBoxRequest kContinue {"Would you like to continue?", "Continue?", MessageBoxButtons::YesNo,
                                   MessageBoxIcon::Question};

}  // namespace

class TestJobs : public QObject {
    Q_OBJECT

private slots:
    void theRealModelessBoxAnswersOnce()
    {
        tandrel::ui::QtMessageBoxes boxes;
        struct Case {
            MessageBoxRequest request;
            QMessageBox::StandardButton press;  // NoButton: close the box instead
            DialogResult expected;
        };
        const Case cases[] = {
            {kContinue, QMessageBox::Yes, DialogResult::Yes},
            {kContinue, QMessageBox::No, DialogResult::No},
            {kContinue, QMessageBox::NoButton, DialogResult::No},
            {{"2 KB copied successfully", "Backup Complete", MessageBoxButtons::OK, MessageBoxIcon::Information},
             QMessageBox::NoButton,
             DialogResult::OK},
        };
        for (const Case& c : cases) {
            std::vector<DialogResult> answers;
            boxes.ShowModeless(c.request, [&](DialogResult r) { answers.push_back(r); });
            QMessageBox* box = OpenBox();
            QVERIFY(box);
            QCOMPARE(box->text(), QString::fromStdString(c.request.text));
            QCOMPARE(box->windowTitle(), QString::fromStdString(c.request.caption));
            QVERIFY(!box->isModal());
            QPointer<QMessageBox> watched(box);
            if (c.press == QMessageBox::NoButton)
                box->close();
            else
                box->button(c.press)->click();
            QTRY_VERIFY(!watched);  // deleted once closed
            QCOMPARE(answers, std::vector<DialogResult> {c.expected});
        }
    }

    void refreshesFromAWorkerArePostedInOrder()
    {
        WindowHarness h;
        h.jobs.foldersComplete = true;
        h.jobs.complete = false;
        h.bar()->setMaximum(10);
        h.bar()->setValue(0);
        std::thread worker([&] {
            h.link().PostRefresh();
            h.link().PostRefresh();
        });
        worker.join();
        // Nothing has run yet: the worker only posted.
        QCOMPARE(h.bar()->value(), 0);
        QVERIFY(!h.bar()->isVisible());
        QCoreApplication::processEvents();
        // Row 6, then row 3: two runs, none merged.
        QVERIFY(h.bar()->isVisible());
        QCOMPARE(h.bar()->value(), 2);
    }

    void refreshesRightAfterOneServedAreHeldThenServedEachInTurn()
    {
        WindowHarness h;
        h.jobs.foldersComplete = true;
        h.jobs.complete = false;
        h.bar()->setMaximum(100);
        h.bar()->setValue(0);
        auto onWorker = [](const std::function<void()>& work) { std::thread(work).join(); };
        onWorker([&] { h.link().PostRefresh(); });
        QCoreApplication::processEvents();
        QCOMPARE(h.bar()->value(), 1);  // row 6 showed the bar and stepped it
        // Served a moment ago: the next ones wait for the pace to end.
        onWorker([&] {
            for (int i = 0; i < 5; ++i) h.link().PostRefresh();
        });
        QCoreApplication::processEvents();
        QCOMPARE(h.bar()->value(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(h.bar()->value(), 6, 5000);  // one step each
        // Held ones go ahead of anything posted after them.
        int barWhenFilesCame = -1;
        QObject::connect(h.backupList()->model(), &QAbstractItemModel::rowsInserted, h.form.get(),
                         [&] { barWhenFilesCame = h.bar()->value(); });
        h.jobs.dragNdrop = true;
        onWorker([&] { h.link().PostRefresh(); });
        QVERIFY(QTest::qWaitFor([&] { return h.bar()->value() == 7; }, 5000));  // just served: holding again
        onWorker([&] {
            h.link().PostRefresh();
            h.link().Post([](Form1& form) { form.ReturnFiles({"/x/one"}, "/x/one"); });
        });
        QTRY_COMPARE_WITH_TIMEOUT(h.backupList()->count(), 1, 5000);
        QCOMPARE(barWhenFilesCame, 8);
    }

    void returnFilesRunsBeforeTheFinalRefresh()
    {
        WindowHarness h;
        h.destinationList()->addItem(QStringLiteral("/dest/"));
        h.jobs.dragNdrop = true;
        std::thread worker([&] {
            // A gathering's ending, as a worker does it.
            h.link().Post([](Form1& form) { form.ReturnFiles({"/x/one", "/x/two"}, "/x/one"); });
            h.jobs.foldersComplete = true;
            h.jobs.complete = true;
            h.link().PostRefresh();
        });
        worker.join();
        QCOMPARE(h.backupList()->count(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(h.backupList()->count(), 2);
        QCOMPARE(h.backupList()->item(1)->text(), QStringLiteral("/x/two"));
        // The refresh saw both lists filled (row 5b).
        QVERIFY(h.button("btnStart")->isEnabled());
        QVERIFY(!h.jobs.dragNdrop);
    }

    void aGatheringFillsTheListAndTheTotals()
    {
        SourceTree tree;
        WindowHarness h;
        Gather(h, tree.root);
        QCOMPARE(h.backupList()->count(), 1);
        QCOMPARE(h.backupList()->item(0)->text(), tree.root);
        QCOMPARE(h.panelText("statusbarpanelTotalFiles"), QStringLiteral("Total Files: 5"));
        QCOMPARE(h.panelText("statusbarpanelTotalFoldres"), QStringLiteral("Total Folders: 2"));
        QCOMPARE(h.jobs.fileCount.load(), 5);
        QVERIFY(h.boxes.shown.empty());
        // One list filled, no destination: row 5c, "Remove" enabled.
        QVERIFY(h.button("btnDelete")->isEnabled());
        QVERIFY(!h.button("btnStart")->isEnabled());
    }

    void workerQuestionsLeaveTheWindowServing()
    {
        SourceTree tree;
        FaultyFileSystem fs;
        fs.refuseListing = ToPath(tree.root + "/inner");
        WindowHarness h(&fs);
        h.boxes.holdModeless = true;
        h.form->BeginGetFiles({ToPath(tree.root)}, true);
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.pending.size(), std::size_t(1), 10000);
        QCOMPARE(h.boxes.shown.back(), (MessageBoxRequest {"Permission denied: '" + fs.refuseListing + "'", "Warning!",
                                                           MessageBoxButtons::OK, MessageBoxIcon::Warning}));

        // While the worker waits, the window runs what another job posts.
        h.jobs.foldersComplete = true;
        h.jobs.complete = false;
        h.bar()->setMaximum(10);
        h.bar()->setValue(0);
        std::thread other([&] { h.link().PostRefresh(); });
        other.join();
        QTRY_VERIFY_WITH_TIMEOUT(h.bar()->isVisible(), 5000);
        QCOMPARE(h.bar()->value(), 1);
        QCOMPARE(h.threads.ActiveWorkers(), 1);  // still waiting
        h.bar()->hide();

        h.boxes.Answer(DialogResult::OK);
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.pending.size(), std::size_t(1), 10000);
        QCOMPARE(h.boxes.shown.back(), kContinue);
        h.boxes.Answer(DialogResult::Yes);  // skip the folder, go on
        QTRY_VERIFY_WITH_TIMEOUT(h.idle(), 10000);
        QCOMPARE(h.panelText("statusbarpanelTotalFiles"), QStringLiteral("Total Files: 3"));
        QCOMPARE(h.backupList()->count(), 1);
    }

    void noDestinationStartsNoCopy()
    {
        SourceTree tree;
        WindowHarness h;
        Gather(h, tree.root);
        h.button("btnStart")->setEnabled(true);  // as a refresh after an error leaves it
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QCOMPARE(h.threads.ActiveWorkers(), 0);
        QVERIFY(h.boxes.shown.empty());
        QVERIFY(h.atRest());
        QVERIFY(!h.button("btnStart")->isEnabled());
        QVERIFY(h.button("btnBrowse")->isEnabled());
        QVERIFY(h.jobs.directoryData.load() == nullptr);
    }

    void aWholeCopyThroughStart()
    {
        SourceTree tree;
        QTemporaryDir destination(QDir::tempPath() + QStringLiteral("/tandrel-dest-XXXXXX"));
        WindowHarness h;
        Gather(h, tree.root);
        h.destinationList()->addItem(destination.path() + "/");
        h.form->ShowProgress();
        QVERIFY(h.button("btnStart")->isEnabled());

        h.boxes.holdModeless = true;
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.pending.size(), std::size_t(1), 10000);
        QCOMPARE(h.boxes.shown.back(), (MessageBoxRequest {"2 KB copied successfully", "Backup Complete",
                                                           MessageBoxButtons::OK, MessageBoxIcon::Information}));
        // The copy has set `complete`: the window is at rest while the box is open.
        QTRY_VERIFY_WITH_TIMEOUT(h.atRest(), 5000);
        QCOMPARE(h.threads.ActiveWorkers(), 1);
        h.boxes.Answer(DialogResult::OK);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle(), 10000);

        QCOMPARE(h.bar()->maximum(), 5);
        QCOMPARE(h.destinationList()->currentRow(), 0);
        const auto snapshot = h.jobs.directoryData.load();
        QVERIFY(snapshot);
        QCOMPARE(*snapshot, std::vector<std::string> {ToPath(tree.root)});
        for (const char* name : {"a.txt", "b.txt", "c.txt", "inner/d.txt", "inner/e.txt"}) {
            const QString copy = destination.path() + "/Photos/" + name;
            QVERIFY2(QFile::exists(copy), qPrintable(copy));
            QCOMPARE(QFileInfo(copy).size(), QFileInfo(tree.root + "/" + name).size());
        }
        QVERIFY(h.button("btnStart")->isEnabled());
        QVERIFY(!h.timer->IsActive());
    }

    // The checked radio button is the mode the copy names its targets by.
    void eachModeButtonNamesTheTargets()
    {
        SourceTree tree;
        const std::vector<std::pair<const char*, QString>> modes = {
            {"rboxDirCopy", "/Photos/inner/d.txt"}, {"rboxConsolidate", "/d.txt"}, {"rboxCD", "/CD_backup0/d.txt"}};
        for (const auto& [button, target] : modes) {
            QTemporaryDir destination(QDir::tempPath() + QStringLiteral("/tandrel-dest-XXXXXX"));
            WindowHarness h;
            Gather(h, tree.root);
            h.destinationList()->addItem(destination.path() + "/");
            h.form->ShowProgress();
            h.radio(button)->setChecked(true);
            QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(h.idle(), 10000);
            QVERIFY2(QFile::exists(destination.path() + target), button);
            QCOMPARE(QDir(destination.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(),
                     std::strcmp(button, "rboxConsolidate") == 0 ? 5 : 1);
        }
    }

    // While another backup holds the destination, the copy waits with a box
    // that closes by itself once the destination is free.
    void aCopyWaitsForAnotherBackupIntoItsDestination()
    {
        SourceTree tree;
        QTemporaryDir destination(QDir::tempPath() + QStringLiteral("/tandrel-dest-XXXXXX"));
        WindowHarness h;
        auto other = h.nativeFs.BeginCopy(ToPath(destination.path()));
        QVERIFY(other->TryLock());
        Gather(h, tree.root);
        h.destinationList()->addItem(destination.path() + "/");
        h.form->ShowProgress();
        h.boxes.holdModeless = true;
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.pending.size(), std::size_t(1), 10000);
        QCOMPARE(
            h.boxes.shown.back(),
            (MessageBoxRequest {"Waiting for another backup into '" + ToPath(destination.path()) + "' to finish\u2026",
                                "Tandrel", MessageBoxButtons::Cancel, MessageBoxIcon::Information}));
        other.reset();
        QTRY_COMPARE_WITH_TIMEOUT(h.boxes.closed, 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!h.boxes.shown.empty() && h.boxes.shown.back().text == "2 KB copied successfully",
                                 10000);
        h.boxes.Answer(DialogResult::OK);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle(), 10000);
        QVERIFY(QFile::exists(destination.path() + "/Photos/a.txt"));
    }

    void aFailureEscapingTheCopyIsShownAndTheWindowRests()
    {
        SourceTree tree;
        QTemporaryDir destination;
        FaultyFileSystem fs;
        WindowHarness h(&fs);
        Gather(h, tree.root);
        h.destinationList()->addItem(destination.path() + "/");
        h.check("cboxSetForget")->setEnabled(true);
        h.check("cboxSetForget")->setChecked(true);
        h.interval()->setCurrentIndex(0);
        h.jobs.foldersComplete = true;
        h.jobs.complete = true;
        fs.escapeCopyAt = 1;  // after the first file's refresh has shown the bar
        h.timer->Start();     // armed before the copy
        h.form->InitCopy();
        QTRY_VERIFY_WITH_TIMEOUT(!h.boxes.shown.empty() && h.threads.ActiveWorkers() == 0, 10000);
        // Back to rest; "Auto Backup" with an interval holds it at row 5a.
        QTRY_VERIFY_WITH_TIMEOUT(h.jobs.complete && !h.bar()->isVisible() && !h.waitCursor(), 5000);
        QCOMPARE(h.boxes.shown.size(), std::size_t(1));
        QCOMPARE(h.boxes.shown.front().caption, std::string("Warning!"));
        QVERIFY(!h.boxes.shown.front().text.empty());
        QVERIFY(!h.timer->IsActive());  // not re-armed after a failed copy
    }

    void aFailureEscapingAGatheringIsShownAndTheWindowRests()
    {
        SourceTree tree;
        FaultyFileSystem fs;
        fs.escapeListing = ToPath(tree.root);
        WindowHarness h(&fs);
        h.form->BeginGetFiles({ToPath(tree.root)}, true);
        QTRY_VERIFY_WITH_TIMEOUT(h.boxes.shown.size() == 1 && h.idle(), 10000);
        QCOMPARE(h.boxes.shown.front().icon, MessageBoxIcon::Warning);
        // The walk locks were let go: the next gathering runs.
        fs.escapeListing.clear();
        Gather(h, tree.root);
        QCOMPARE(h.panelText("statusbarpanelTotalFiles"), QStringLiteral("Total Files: 5"));
    }

    // The window thread is the application's, whichever thread made the
    // services.
    void theWindowThreadIsTheApplicationsThread()
    {
        tandrel::ui::QtThreadServices threads;
        QVERIFY(!threads.InvokeRequired());
        bool fromWorker = false, madeOnWorker = false;
        std::thread([&] {
            fromWorker = threads.InvokeRequired();
            tandrel::ui::QtThreadServices other;
            madeOnWorker = other.InvokeRequired();
        }).join();
        QVERIFY(fromWorker);
        QVERIFY(madeOnWorker);
        QVERIFY(!threads.InvokeRequired());
    }

    // A copy whose window has gone while it ran: its question can no longer
    // be shown, and is answered No; the copy ends without touching the window.
    void aCopyWhoseWindowHasGoneStopsAtItsFirstQuestion()
    {
        SourceTree tree;
        QTemporaryDir destination(QDir::tempPath() + QStringLiteral("/tandrel-dest-XXXXXX"));
        FaultyFileSystem fs;
        std::atomic<bool> windowGone {false};
        std::atomic<int> commits {0};
        fs.beforeCommit = [&] {
            ++commits;
            while (!windowGone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            throw tandrel::FsError("The device is not ready.", tandrel::FsError::Kind::Other, EIO, {});
        };
        WindowHarness h(&fs);
        Gather(h, tree.root);
        h.destinationList()->addItem(destination.path() + "/");
        h.form->ShowProgress();
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QCOMPARE(h.threads.ActiveWorkers(), 1);
        h.form.reset();
        windowGone = true;
        QTRY_COMPARE_WITH_TIMEOUT(h.threads.ActiveWorkers(), 0, 10000);
        QVERIFY(h.boxes.shown.empty());
        QVERIFY(h.jobs.hasErrored);  // stopped at the first failed file
        QCOMPARE(commits.load(), 1);
    }

    // A load whose read ends after the window has gone: its completion posts
    // into a window that no longer exists, and nothing of it runs.
    void aCompletionAfterTheWindowHasGoneTouchesNothing()
    {
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("slow.lst"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        WindowHarness h;
        h.dialogs.answers.push_back(QStringList {fifo});
        h.form->menuItemLoad_Click();  // the worker's open waits for a writer
        QCOMPARE(h.threads.ActiveWorkers(), 1);
        h.form.reset();

        // The read ends with an empty file, which would be reported.
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        QVERIFY(writer >= 0);
        ::close(writer);
        QVERIFY(h.threads.Calls()->Wait(std::chrono::seconds(10)));
        QTest::qWait(20);  // serves whatever was posted
        QVERIFY(h.boxes.shown.empty());
        QVERIFY(!h.jobs.filelistLoad);
    }

    // "Verify Copies" is kept in the settings file, and a backup started
    // with it checked reads its copies back: each is marked checked.
    void verifyCopiesIsRememberedAndReadsTheCopiesBack()
    {
        SourceTree tree;
        QTemporaryDir destination(QDir::tempPath() + QStringLiteral("/tandrel-dest-XXXXXX"));
        QTemporaryDir config(QDir::tempPath() + QStringLiteral("/tandrel-config-XXXXXX"));
        tandrel::Settings settings(ToPath(config.path() + "/settings"));
        {
            WindowHarness h(nullptr, {}, tandrel::ui::TrayHost::XEmbed, {}, &settings);
            auto* verify = h.form->findChild<QAction*>(QStringLiteral("menuItemVerify"));
            QVERIFY(verify && verify->isCheckable() && !verify->isChecked());
            auto* file = h.form->findChild<QMenu*>(QStringLiteral("menuFile"));
            QAccessibleInterface* menu = QAccessible::queryAccessibleInterface(file);
            QVERIFY(menu && menu->childCount() > 2);
            QCOMPARE(menu->child(2)->text(QAccessible::Name), QStringLiteral("Verify Copies"));
            verify->trigger();
            QVERIFY(settings.Flag("verify", false));
        }
        WindowHarness h(nullptr, {}, tandrel::ui::TrayHost::XEmbed, {}, &settings);
        QVERIFY(h.form->findChild<QAction*>(QStringLiteral("menuItemVerify"))->isChecked());
        Gather(h, tree.root);
        h.destinationList()->addItem(destination.path() + "/");
        h.form->ShowProgress();
        QTest::mouseClick(h.button("btnStart"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!h.boxes.shown.empty() && h.boxes.shown.back().text == "2 KB copied successfully",
                                 10000);
        QFile record(destination.path() + "/" + tandrel::kHashRecordName);
        QVERIFY(record.open(QIODevice::ReadOnly));
        const tandrel::HashRecord copies = tandrel::ParseRecord(record.readAll().toStdString());
        QCOMPARE(copies.size(), std::size_t(5));
        for (const auto& [path, copy] : copies) QVERIFY2(copy.checked > 0, path.c_str());
    }
};

QTEST_MAIN(TestJobs)
#include "test_jobs.moc"
