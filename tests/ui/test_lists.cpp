// Saving and loading backup lists through the window: the dialogs, the
// question about the current entries, what reaches the gathering, and the
// boxes that report a failed save or load.
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <memory>

#include "tests/ui/window_harness.h"
#include "ui/form1.h"
#include "listfile/listfile.h"
#include "engine/nativefs.h"

using namespace tandrel::ui::testing;
using tandrel::DialogResult;
using tandrel::MessageBoxRequest;

Q_DECLARE_METATYPE(DialogResult)

namespace {

struct Harness : CountingWindow {
    QListWidget* list()
    {
        auto* box = form->findChild<QListWidget*>(QStringLiteral("listboxFilestoBackup"));
        if (!box) qFatal("no backup list box");
        return box;
    }
    QCheckBox* subdirs()
    {
        auto* box = form->findChild<QCheckBox*>(QStringLiteral("cboxSubDirectories"));
        if (!box) qFatal("no Include Subdirectories box");
        return box;
    }

    bool Drop(const QStringList& paths)
    {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
        data.setUrls(urls);
        QDropEvent drop(QPointF(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        form->listboxFilestoBackup_DragDrop(&drop);
        return drop.isAccepted() && Settle();
    }
    bool Load(const QString& path)
    {
        dialogs.answers.push_back(QStringList {path});
        form->menuItemLoad_Click();
        return Settle();
    }
    bool Save(const QString& path)
    {
        dialogs.answers.push_back(QStringList {path});
        form->menuItemSave_Click();
        return Settle();
    }

    QStringList Items()
    {
        QStringList items;
        for (int i = 0; i < list()->count(); ++i) items << list()->item(i)->text();
        return items;
    }
    QStringList Gathered() const
    {
        QStringList files;
        for (const std::string& file : jobs.syncfileList.ToArray()) files << QString::fromStdString(file);
        files.sort();
        return files;
    }
    std::vector<MessageBoxRequest> WithCaption(const char* caption) const
    {
        std::vector<MessageBoxRequest> found;
        for (const MessageBoxRequest& box : boxes.shown)
            if (box.caption == caption) found.push_back(box);
        return found;
    }
    int Questions() const
    {
        const MessageBoxRequest question {tandrel::text::kRemoveCurrentText, tandrel::text::kWarningTitle,
                                          tandrel::MessageBoxButtons::YesNo, tandrel::MessageBoxIcon::Warning};
        return static_cast<int>(std::count(boxes.shown.begin(), boxes.shown.end(), question));
    }
};

std::string S(const QString& path)
{
    return path.toStdString();
}

}  // namespace

class TestLists : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_ {QDir::tempPath() + QStringLiteral("/tandrel-lists-XXXXXX")};
    QString root_, data_, docs_, single_, dataList_;

    QString P(const QString& relative) const { return root_ + '/' + relative; }
    static void Write(const QString& path, const QByteArray& bytes)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
    }

private slots:
    void initTestCase();

    void load_sixWaysIntoTheGathering_data();
    void load_sixWaysIntoTheGathering();
    void load_dialogSettingsAndCancel();
    void load_skipsAbsentEntries();
    void load_droppedListFileLoadsOnlyThatFile();
    void load_failureChangesNothingAndSaysWhy_data();
    void load_failureChangesNothingAndSaysWhy();

    void save_roundTripThroughTheDialogs();
    void save_emptyListThenLoadItOverEntries();
    void save_failureIsReportedWithTheFile();
};

void TestLists::initTestCase()
{
    QVERIFY(tmp_.isValid());
    root_ = tmp_.path();
    QVERIFY2(!root_.contains('.'), "the counts below assume a path without a dot");
    QDir dir(root_);
    QVERIFY(dir.mkpath("Data/Sub") && dir.mkpath("Docs/More"));
    Write(P("Data/a.txt"), "a");
    Write(P("Data/b.txt"), "bb");
    Write(P("Data/Sub/c.txt"), "ccc");
    Write(P("Docs/d.txt"), "d");
    Write(P("Docs/More/e.txt"), "e");
    Write(P("single.txt"), "s");
    data_ = P("Data");
    docs_ = P("Docs");
    single_ = P("single.txt");
    dataList_ = P("data.lst");
    tandrel::Serialize(S(dataList_), std::vector<std::string> {S(data_)});
}

void TestLists::load_sixWaysIntoTheGathering_data()
{
    QTest::addColumn<bool>("filled");
    QTest::addColumn<DialogResult>("answer");
    QTest::addColumn<bool>("withSubfolders");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("folders");

    const QStringList both {P("Docs"), P("Data")};
    const QStringList loaded {P("Data")};
    // Docs: 2 files and 2 folders with sub-folders, 1 and 1 without.
    // Data: 3 files and 2 folders with sub-folders, 2 and 1 without.
    QTest::newRow("kept list, Yes, with sub-folders") << true << DialogResult::Yes << true << loaded << 3 << 2;
    QTest::newRow("kept list, Yes, without") << true << DialogResult::Yes << false << loaded << 2 << 1;
    QTest::newRow("kept list, No, with sub-folders") << true << DialogResult::No << true << both << 5 << 4;
    QTest::newRow("kept list, No, without") << true << DialogResult::No << false << both << 3 << 2;
    QTest::newRow("empty list, with sub-folders") << false << DialogResult::Yes << true << loaded << 3 << 2;
    QTest::newRow("empty list, without") << false << DialogResult::Yes << false << loaded << 2 << 1;
}

void TestLists::load_sixWaysIntoTheGathering()
{
    QFETCH(bool, filled);
    QFETCH(DialogResult, answer);
    QFETCH(bool, withSubfolders);
    QFETCH(QStringList, entries);
    QFETCH(int, files);
    QFETCH(int, folders);

    Harness h;
    h.subdirs()->setChecked(true);
    if (filled) {
        QVERIFY(h.Drop({docs_}));
        QCOMPARE(h.jobs.fileCount.load(), 2);
    }
    h.subdirs()->setChecked(withSubfolders);
    h.boxes.answers.push_back(answer);
    QVERIFY(h.Load(dataList_));

    QCOMPARE(h.Questions(), filled ? 1 : 0);
    QCOMPARE(h.Items(), entries);
    QCOMPARE(h.jobs.fileCount.load(), files);
    QCOMPARE(h.jobs.folderCount.load(), folders);
    QCOMPARE(h.Gathered().size(), files);
    for (const QString& file : h.Gathered())
        QVERIFY2(
            std::any_of(entries.begin(), entries.end(), [&](const QString& e) { return file.startsWith(e + '/'); }),
            qPrintable(file));
    QVERIFY(!h.jobs.filelistLoad && !h.jobs.dragNdrop);
}

void TestLists::load_dialogSettingsAndCancel()
{
    Harness h;
    QVERIFY(h.Drop({single_}));
    QString nameBox = QStringLiteral("unset");
    h.dialogs.inspect = [&](QFileDialog& d) {
        QCOMPARE(d.windowTitle(), QStringLiteral("Add files to backup"));
        QCOMPARE(d.fileMode(), QFileDialog::ExistingFile);
        QCOMPARE(d.nameFilters(), QStringList {QStringLiteral("Backup List (*.lst)")});
        auto* edit = d.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        nameBox = edit ? edit->text() : QStringLiteral("no name box");
        d.selectFile(dataList_);  // as if chosen before
    };
    h.jobs.complete = false;
    h.jobs.foldersComplete = false;
    const int calls = h.threads.started;
    h.dialogs.answers.push_back(std::nullopt);
    h.form->menuItemLoad_Click();
    QVERIFY(h.jobs.complete && h.jobs.foldersComplete);  // the closing refresh
    QCOMPARE(h.threads.started.load(), calls);
    QVERIFY(!h.jobs.filelistLoad);

    h.dialogs.answers.push_back(std::nullopt);
    h.form->menuItemLoad_Click();
    QCOMPARE(nameBox, QString());
    QCOMPARE(h.dialogs.runs, 2);
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(), QStringList {single_});
    QCOMPARE(h.Questions(), 0);
}

void TestLists::load_skipsAbsentEntries()
{
    const QString path = P("gaps.lst");
    tandrel::Serialize(
        S(path), std::vector<tandrel::ListEntry> {std::nullopt, S(data_), std::nullopt, std::nullopt, S(single_)});
    Harness h;
    h.subdirs()->setChecked(false);
    QVERIFY(h.Load(path));
    QCOMPARE(h.Items(), (QStringList {data_, single_}));
    QCOMPARE(h.jobs.fileCount.load(), 3);
    QVERIFY(h.boxes.shown.empty());
}

void TestLists::load_droppedListFileLoadsOnlyThatFile()
{
    Harness h;
    QVERIFY(h.Drop({dataList_, single_, docs_}));
    QCOMPARE(h.Items(), QStringList {data_});
    QCOMPARE(h.jobs.fileCount.load(), 3);
    QVERIFY(!h.jobs.dragNdrop && !h.jobs.filelistLoad);
    QCOMPARE(h.Questions(), 0);
}

void TestLists::load_failureChangesNothingAndSaysWhy_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("bytes");  // empty: the file is not written

    QTest::newRow("not a list") << P("bad.lst") << QByteArray("just some text, not a list\n");
    QTest::newRow("cut short") << P("short.lst") << QByteArray::fromHex("0001000000ffffffff0100");
    QTest::newRow("missing") << P("nothing here.lst") << QByteArray();

    // A path text of 1 MiB repeated by reference 64 times: 65 MiB of paths
    // from a file of about 1 MiB.
    QByteArray big;
    auto i32 = [&big](qint32 v) {
        for (int k = 0; k < 4; ++k) big.append(char((quint32(v) >> (8 * k)) & 0xff));
    };
    const int repeats = 64;
    big.append('\0');
    i32(1), i32(-1), i32(1), i32(0);
    big.append(char(0x11)), i32(1), i32(repeats + 1);
    big.append(char(0x06)), i32(2);
    big.append(QByteArray::fromHex("808040"));  // 1048576
    big.append(QByteArray(1 << 20, 'x').replace(0, 1, "/"));
    for (int r = 0; r < repeats; ++r) big.append(char(0x09)), i32(2);
    big.append(char(0x0B));
    QTest::newRow("too large") << P("huge.lst") << big;
}

void TestLists::load_failureChangesNothingAndSaysWhy()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, bytes);
    if (!bytes.isEmpty()) Write(file, bytes);

    Harness h;
    QVERIFY(h.Drop({docs_}));
    const QStringList gathered = h.Gathered();
    QVERIFY(h.Load(file));

    const auto failures = h.WithCaption("Backup list not loaded");
    QCOMPARE(failures.size(), std::size_t(1));
    QCOMPARE(h.boxes.shown.size(), std::size_t(1));  // no question either
    QVERIFY2(QString::fromStdString(failures[0].text).contains(file), failures[0].text.c_str());
    QCOMPARE(failures[0].buttons, tandrel::MessageBoxButtons::OK);
    QCOMPARE(h.Items(), QStringList {docs_});
    QCOMPARE(h.Gathered(), gathered);
    QCOMPARE(h.jobs.fileCount.load(), 2);
    QCOMPARE(h.jobs.folderCount.load(), 2);
    QVERIFY(!h.jobs.filelistLoad);
}

void TestLists::save_roundTripThroughTheDialogs()
{
    const QString path = P("round trip.lst");
    QStringList saved;
    {
        Harness h;
        QVERIFY(h.Drop({data_, single_, docs_, data_}));
        saved = h.Items();
        QCOMPARE(saved.size(), 4);
        h.dialogs.inspect = [](QFileDialog& d) {
            QCOMPARE(d.acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(d.nameFilters(), QStringList {QStringLiteral("Backup List (*.lst)")});
            QCOMPARE(d.defaultSuffix(), QStringLiteral("lst"));
            QVERIFY(!d.testOption(QFileDialog::DontConfirmOverwrite));
        };
        h.jobs.complete = false;
        QVERIFY(h.Save(path));
        QVERIFY(!h.jobs.complete);  // saving makes no refresh
        QVERIFY(h.boxes.shown.empty());
        QCOMPARE(h.dialogs.runs, 1);

        const int calls = h.threads.started;
        h.dialogs.answers.push_back(std::nullopt);  // a cancelled save writes nothing
        h.form->menuItemSave_Click();
        QCOMPARE(h.threads.started.load(), calls);
    }
    QVERIFY(QFileInfo::exists(path));
    Harness fresh;
    QVERIFY(fresh.Load(path));
    QCOMPARE(fresh.Items(), saved);
    QCOMPARE(fresh.jobs.fileCount.load(), 3 + 1 + 2 + 3);
}

void TestLists::save_emptyListThenLoadItOverEntries()
{
    const QString path = P("empty.lst");
    Harness h;
    QVERIFY(h.Save(path));
    QCOMPARE(QFileInfo(path).size(), 27);

    QVERIFY(h.Drop({docs_}));
    h.boxes.answers.push_back(DialogResult::No);
    QVERIFY(h.Load(path));
    QCOMPARE(h.Items(), QStringList {docs_});
    QCOMPARE(h.jobs.fileCount.load(), 2);

    h.boxes.answers.push_back(DialogResult::Yes);
    QVERIFY(h.Load(path));
    QCOMPARE(h.Questions(), 2);
    QCOMPARE(h.list()->count(), 0);
    QCOMPARE(h.jobs.fileCount.load(), 0);
    QCOMPARE(h.jobs.folderCount.load(), 0);
}

void TestLists::save_failureIsReportedWithTheFile()
{
    Harness h;
    QVERIFY(h.Drop({docs_}));
    const QString path = P("no such folder/list.lst");
    QVERIFY(h.Save(path));
    QTRY_COMPARE(h.WithCaption("Backup list not saved").size(), std::size_t(1));
    const MessageBoxRequest box = h.WithCaption("Backup list not saved").front();
    QVERIFY2(QString::fromStdString(box.text).contains(path), box.text.c_str());
    QCOMPARE(box.icon, tandrel::MessageBoxIcon::Warning);
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(h.Items(), QStringList {docs_});

    // A name too long for the file system fails the same way.
    const QString tooLong = P(QString(300, 'n') + ".lst");
    QVERIFY(h.Save(tooLong));
    QTRY_COMPARE(h.WithCaption("Backup list not saved").size(), std::size_t(2));
    QVERIFY(QString::fromStdString(h.WithCaption("Backup list not saved")[1].text).contains(tooLong));
}

QTEST_MAIN(TestLists)
#include "test_lists.moc"
