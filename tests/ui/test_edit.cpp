// The commands that edit the backup list and the destination, driven through
// the window with scripted dialogs and synthetic drags.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <memory>

#include "tests/ui/window_harness.h"
#include "ui/form1.h"
#include "engine/nativefs.h"

using namespace tandrel::ui::testing;
using tandrel::DialogResult;
using tandrel::MessageBoxRequest;

namespace {

// One window over real threads and the real file system, with scripted
// dialogs and message boxes.
struct Harness : CountingWindow {
    template <class T>
    T* get(const char* name)
    {
        T* found = form->findChild<T*>(QString::fromLatin1(name));
        if (!found) qFatal("no control named %s", name);
        return found;
    }
    QListWidget* list() { return get<QListWidget>("listboxFilestoBackup"); }
    QListWidget* destination() { return get<QListWidget>("listBoxDestinationFolder"); }
    QCheckBox* subdirs() { return get<QCheckBox>("cboxSubDirectories"); }
    QPushButton* remove() { return get<QPushButton>("btnDelete"); }
    QPushButton* start() { return get<QPushButton>("btnStart"); }

    // Adds entries as a drop does, waits for their gathering, and tells
    // whether they all arrived at the end of the list.
    bool AddByDrop(const QStringList& paths);

    QStringList Items(QListWidget* box) const
    {
        QStringList items;
        for (int i = 0; i < box->count(); ++i) items << box->item(i)->text();
        return items;
    }
    QStringList Gathered() const
    {
        QStringList files;
        for (const std::string& file : jobs.syncfileList.ToArray()) files << QString::fromStdString(file);
        files.sort();
        return files;
    }
    int Shown(const char* caption) const
    {
        return static_cast<int>(std::count_if(boxes.shown.begin(), boxes.shown.end(),
                                              [caption](const MessageBoxRequest& b) { return b.caption == caption; }));
    }
};

std::unique_ptr<QMimeData> FileList(const QStringList& paths)
{
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
    data->setUrls(urls);
    return data;
}

// Delivers a drop to a handler; true when the drop was accepted as a copy.
bool Drop(Form1& form, void (Form1::*handler)(QDropEvent*), const QStringList& paths)
{
    auto data = FileList(paths);
    QDropEvent drop(QPointF(4, 4), Qt::CopyAction | Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    drop.setAccepted(false);
    (form.*handler)(&drop);
    return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
}

bool Harness::AddByDrop(const QStringList& paths)
{
    const int before = list()->count();
    return Drop(*form, &Form1::listboxFilestoBackup_DragDrop, paths) && Settle() && Items(list()).mid(before) == paths;
}

void WriteFile(const QString& path, int size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(path));
    QByteArray bytes(size, 'x');
    for (int i = 0; i < size; ++i) bytes[i] = char('a' + (i * 7 + size) % 26);
    file.write(bytes);
}

}  // namespace

class TestEdit : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_ {QDir::tempPath() + QStringLiteral("/tandrel-edit-XXXXXX")};
    QString root_;
    QString data_, docs_, single_;

    QString P(const QString& relative) const { return root_ + '/' + relative; }

private slots:
    void initTestCase();

    void addFiles_gathersChosenFilesWithoutSubfolders();
    void addFiles_cancelForgetsTheRememberedName();
    void addFolder_followsIncludeSubdirectories();
    void addFolder_cancelChangesNothingAndMakesNoRefresh();
    void selectFolder_setsDestinationWithSeparatorAndReusesItsDialog();
    void selectFolder_rootGivesDoubleSeparator_cancelKeepsDestination();

    void removeButton_regathersWhatIsLeft();
    void removeButton_withNothingSelectedFollowsTheCheckBox();
    void removeEnabling_followsSelectionOnMouseRelease();
    void contextMenu_popupAndSelectAll();
    void contextMenuRemove_dropsRemovedFilesFromTheJob();
    void contextMenuRemove_everythingLeavesNoFiles();

    void dragEnter_acceptsOnlyLocalFiles();
    void drop_addsEveryPathInOrder();
    void drop_listFileNamesAreLoaded();
    void drop_capitalLstIsAnOrdinaryFile();
    void drop_enablesRemoveAndStartFromTheListsAsTheyAre();
    void drop_throughTheViewport();
    void destinationDrop_takesOnlyAnExistingFirstFolder();

    void wholeBackupThroughTheWindow();
};

void TestEdit::initTestCase()
{
    QVERIFY(tmp_.isValid());
    root_ = tmp_.path();
    QVERIFY2(!root_.contains('.'), "the counts below assume a path without a dot");
    QDir dir(root_);
    QVERIFY(dir.mkpath("Data/Sub") && dir.mkpath("Docs") && dir.mkpath("Dest") && dir.mkpath("old.lst"));
    WriteFile(P("Data/a.txt"), 3000);
    WriteFile(P("Data/b.txt"), 2000);
    WriteFile(P("Data/Sub/c.txt"), 1192);
    WriteFile(P("Docs/d.txt"), 10);
    WriteFile(P("single.txt"), 20);
    WriteFile(P("notes.lst.txt"), 30);
    WriteFile(P("LIST.LST"), 40);
    data_ = P("Data");
    docs_ = P("Docs");
    single_ = P("single.txt");
}

void TestEdit::addFiles_gathersChosenFilesWithoutSubfolders()
{
    Harness h;
    h.dialogs.answers.push_back(QStringList {single_, P("Data/a.txt")});
    h.dialogs.inspect = [](QFileDialog& d) {
        QCOMPARE(d.windowTitle(), QStringLiteral("Add files to backup"));
        QCOMPARE(d.fileMode(), QFileDialog::ExistingFiles);
        QCOMPARE(d.nameFilters(), QStringList {QStringLiteral("All files (*)")});
    };
    h.form->btnBrowse_Click();
    QCOMPARE(h.dialogs.runs, 1);
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), (QStringList {single_, P("Data/a.txt")}));
    QCOMPARE(h.jobs.fileCount.load(), 2);
    QCOMPARE(h.jobs.folderCount.load(), 0);
    QVERIFY(!h.jobs.filesOnly);

    // "Add Files" after a load goes back to several files.
    h.dialogs.inspect = nullptr;
    h.dialogs.answers.push_back(std::nullopt);
    h.form->menuItemLoad_Click();
    h.dialogs.answers.push_back(std::nullopt);
    h.dialogs.inspect = [](QFileDialog& d) { QCOMPARE(d.fileMode(), QFileDialog::ExistingFiles); };
    h.form->btnBrowse_Click();
    QCOMPARE(h.dialogs.runs, 3);
}

void TestEdit::addFiles_cancelForgetsTheRememberedName()
{
    Harness h;
    QString nameBox = QStringLiteral("unset");
    h.dialogs.inspect = [&](QFileDialog& d) {
        auto* edit = d.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        nameBox = edit ? edit->text() : QStringLiteral("no name box");
        d.selectFile(single_);  // as if the user had picked it before
    };
    h.dialogs.answers.push_back(std::nullopt);
    h.form->btnBrowse_Click();
    QVERIFY(h.jobs.complete && h.jobs.foldersComplete);  // the closing refresh
    QVERIFY(!h.jobs.filesOnly);
    QCOMPARE(h.list()->count(), 0);

    h.dialogs.answers.push_back(std::nullopt);
    h.form->btnBrowse_Click();
    QCOMPARE(nameBox, QString());
}

void TestEdit::addFolder_followsIncludeSubdirectories()
{
    Harness h;
    h.dialogs.inspect = [](QFileDialog& d) { QCOMPARE(d.windowTitle(), QStringLiteral("Add a folder to backup")); };
    h.subdirs()->setChecked(true);
    h.dialogs.answers.push_back(QStringList {data_});
    h.form->btnAddFolder_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), QStringList {data_});
    QCOMPARE(h.jobs.fileCount.load(), 3);
    QCOMPARE(h.jobs.folderCount.load(), 2);

    h.subdirs()->setChecked(false);
    h.dialogs.answers.push_back(QStringList {data_});
    h.form->btnAddFolder_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), (QStringList {data_, data_}));
    QCOMPARE(h.jobs.fileCount.load(), 5);
    QCOMPARE(h.jobs.folderCount.load(), 3);
    QVERIFY(!h.jobs.hasErrored);
}

void TestEdit::addFolder_cancelChangesNothingAndMakesNoRefresh()
{
    Harness h;
    h.start()->setEnabled(true);  // a refresh with empty lists would disable it
    h.dialogs.answers.push_back(std::nullopt);
    h.form->btnAddFolder_Click();
    QCOMPARE(h.dialogs.runs, 1);
    QVERIFY(h.start()->isEnabled());
    QVERIFY(!h.jobs.complete && !h.jobs.foldersComplete);
    QCOMPARE(h.threads.started.load(), 0);
    QCOMPARE(h.list()->count(), 0);
}

void TestEdit::selectFolder_setsDestinationWithSeparatorAndReusesItsDialog()
{
    Harness h;
    QList<QFileDialog*> seen;
    h.dialogs.inspect = [&](QFileDialog& d) {
        seen << &d;
        QCOMPARE(d.windowTitle(), QStringLiteral("Find Destination Folder"));
        QCOMPARE(d.fileMode(), QFileDialog::Directory);
        QVERIFY(d.testOption(QFileDialog::ShowDirsOnly));
    };
    h.dialogs.answers.push_back(QStringList {P("Dest")});
    h.form->btnDestination_Click();
    QCOMPARE(h.Items(h.destination()), QStringList {P("Dest") + '/'});
    h.dialogs.answers.push_back(QStringList {docs_});
    h.form->btnDestination_Click();
    QCOMPARE(h.Items(h.destination()), QStringList {docs_ + '/'});
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0], seen[1]);
}

void TestEdit::selectFolder_rootGivesDoubleSeparator_cancelKeepsDestination()
{
    Harness h;
    h.dialogs.answers.push_back(QStringList {QStringLiteral("/")});
    h.form->btnDestination_Click();
    QCOMPARE(h.Items(h.destination()), QStringList {QStringLiteral("//")});

    h.start()->setEnabled(true);
    h.dialogs.answers.push_back(std::nullopt);
    h.form->btnDestination_Click();
    QCOMPARE(h.Items(h.destination()), QStringList {QStringLiteral("//")});
    QVERIFY(h.jobs.complete && h.jobs.foldersComplete);
    QVERIFY(!h.start()->isEnabled());  // refreshed: the backup list is empty
}

void TestEdit::removeButton_regathersWhatIsLeft()
{
    Harness h;
    h.subdirs()->setChecked(true);
    QVERIFY(h.AddByDrop({data_, docs_, single_}));
    QCOMPARE(h.jobs.fileCount.load(), 5);

    h.list()->item(1)->setSelected(true);  // Docs
    h.form->btnDelete_Click();
    QCOMPARE(h.list()->count(), 0);  // until the gathering hands the entries back
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), (QStringList {data_, single_}));
    QCOMPARE(h.jobs.fileCount.load(), 4);
    QCOMPARE(h.jobs.folderCount.load(), 2);
    QCOMPARE(h.Gathered(), (QStringList {P("Data/Sub/c.txt"), P("Data/a.txt"), P("Data/b.txt"), single_}));

    // Everything selected: the list and the totals end empty.
    for (int i = 0; i < h.list()->count(); ++i) h.list()->item(i)->setSelected(true);
    h.form->btnDelete_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.list()->count(), 0);
    QCOMPARE(h.jobs.fileCount.load(), 0);
    QCOMPARE(h.jobs.folderCount.load(), 0);
    QVERIFY(h.Gathered().isEmpty());
}

void TestEdit::removeButton_withNothingSelectedFollowsTheCheckBox()
{
    Harness h;
    h.subdirs()->setChecked(true);
    QVERIFY(h.AddByDrop({data_}));
    QCOMPARE(h.jobs.fileCount.load(), 3);

    h.subdirs()->setChecked(false);
    h.form->btnDelete_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), QStringList {data_});
    QCOMPARE(h.jobs.fileCount.load(), 2);
    QCOMPARE(h.jobs.folderCount.load(), 1);
    QVERIFY(!h.jobs.dragNdrop);

    // An entry that vanished empties the job and the list.
    QDir(root_).mkpath("Gone");
    QVERIFY(h.AddByDrop({P("Gone")}));
    QCOMPARE(h.list()->count(), 2);
    QVERIFY(QDir(P("Gone")).removeRecursively());
    h.form->btnDelete_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.Shown(tandrel::text::kLoadErrorTitle), 1);
    QCOMPARE(h.list()->count(), 0);
    QCOMPARE(h.jobs.fileCount.load(), 0);
}

void TestEdit::removeEnabling_followsSelectionOnMouseRelease()
{
    Harness h;
    QVERIFY(h.AddByDrop({single_, docs_}));
    h.list()->item(1)->setSelected(true);
    h.form->listboxFilestoBackup_MouseUp();
    QVERIFY(h.remove()->isEnabled());
    h.list()->clearSelection();
    h.form->btnDelete_MouseUp();
    QVERIFY(!h.remove()->isEnabled());
    h.list()->item(0)->setSelected(true);
    h.form->btnDelete_MouseUp();
    QVERIFY(h.remove()->isEnabled());
}

void TestEdit::contextMenu_popupAndSelectAll()
{
    Harness h;
    auto* selectAll = h.get<QAction>("menuItemSelectAll");
    auto* removeItem = h.get<QAction>("menuItemRemove");
    h.form->contextMenuFiles_Popup();
    QVERIFY(!selectAll->isEnabled() && !removeItem->isEnabled());

    QVERIFY(h.AddByDrop({single_, docs_, data_}));
    h.form->contextMenuFiles_Popup();
    QVERIFY(selectAll->isEnabled() && removeItem->isEnabled());

    h.remove()->setEnabled(false);
    h.form->menuItemSelectAll_Click();
    QCOMPARE(h.list()->selectedItems().size(), 3);
    QVERIFY(h.remove()->isEnabled());
    QVERIFY(h.list()->updatesEnabled());
}

void TestEdit::contextMenuRemove_dropsRemovedFilesFromTheJob()
{
    Harness h;
    h.subdirs()->setChecked(true);
    QVERIFY(h.AddByDrop({docs_, data_, single_}));
    h.list()->item(1)->setSelected(true);  // Data
    h.form->menuItemRemove_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), (QStringList {docs_, single_}));
    QCOMPARE(h.Gathered(), (QStringList {P("Docs/d.txt"), single_}));
    QCOMPARE(h.jobs.fileCount.load(), 2);
    QVERIFY(h.jobs.complete && h.jobs.foldersComplete);
}

void TestEdit::contextMenuRemove_everythingLeavesNoFiles()
{
    Harness h;
    QVERIFY(h.AddByDrop({docs_, single_}));
    h.form->menuItemSelectAll_Click();
    h.form->menuItemRemove_Click();
    QCOMPARE(h.list()->count(), 0);
    QVERIFY(h.Settle());
    QCOMPARE(h.list()->count(), 0);
    QVERIFY(h.Gathered().isEmpty());
    QCOMPARE(h.jobs.fileCount.load(), 0);

    // Nothing selected: nothing goes and the job is left alone.
    QVERIFY(h.AddByDrop({docs_}));
    h.form->menuItemRemove_Click();
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), QStringList {docs_});
    QCOMPARE(h.jobs.fileCount.load(), 1);
}

void TestEdit::dragEnter_acceptsOnlyLocalFiles()
{
    Harness h;
    for (auto handler : {&Form1::listboxFilestoBackup_DragEnter, &Form1::listBoxDestinationFolder_DragEnter}) {
        auto files = FileList({single_});
        QDragEnterEvent withFiles(QPoint(4, 4), Qt::CopyAction | Qt::MoveAction, files.get(), Qt::LeftButton,
                                  Qt::NoModifier);
        withFiles.setAccepted(false);
        (h.form.get()->*handler)(&withFiles);
        QVERIFY(withFiles.isAccepted());
        QCOMPARE(withFiles.dropAction(), Qt::CopyAction);

        QMimeData text;
        text.setText(single_);
        text.setUrls({QUrl(QStringLiteral("https://example.org/a.txt"))});
        QDragEnterEvent withoutFiles(QPoint(4, 4), Qt::CopyAction | Qt::MoveAction, &text, Qt::LeftButton,
                                     Qt::NoModifier);
        withoutFiles.setAccepted(true);
        (h.form.get()->*handler)(&withoutFiles);
        QVERIFY(!withoutFiles.isAccepted());
    }
}

void TestEdit::drop_addsEveryPathInOrder()
{
    Harness h;
    h.subdirs()->setChecked(false);
    QVERIFY(h.AddByDrop({single_, data_, P("Data/a.txt"), docs_}));
    QCOMPARE(h.Items(h.list()), (QStringList {single_, data_, P("Data/a.txt"), docs_}));
    QCOMPARE(h.jobs.fileCount.load(), 1 + 2 + 1 + 1);
    QCOMPARE(h.jobs.folderCount.load(), 2);
    QVERIFY(!h.jobs.dragNdrop);
}

void TestEdit::drop_listFileNamesAreLoaded()
{
    Harness h;
    QVERIFY(h.AddByDrop({docs_}));
    const int before = h.jobs.fileCount;

    for (const QString& first : {P("old.lst"), P("notes.lst.txt")}) {
        h.boxes.shown.clear();
        QVERIFY(Drop(*h.form, &Form1::listboxFilestoBackup_DragDrop, {first, single_}));
        QVERIFY(h.Settle());
        QCOMPARE(h.boxes.shown.size(), std::size_t(1));
        QCOMPARE(h.boxes.shown[0].caption, std::string("Backup list not loaded"));
        QVERIFY(QString::fromStdString(h.boxes.shown[0].text).contains(first));
        // Nothing else happened: single.txt was not gathered.
        QCOMPARE(h.Items(h.list()), QStringList {docs_});
        QCOMPARE(h.jobs.fileCount.load(), before);
        QVERIFY(h.jobs.dragNdrop);  // stays set until the next gathering ends
    }
    QVERIFY(h.AddByDrop({single_}));
    QVERIFY(!h.jobs.dragNdrop);
}

void TestEdit::drop_capitalLstIsAnOrdinaryFile()
{
    Harness h;
    QVERIFY(h.AddByDrop({P("LIST.LST"), single_}));
    QCOMPARE(h.Items(h.list()), (QStringList {P("LIST.LST"), single_}));
    QCOMPARE(h.jobs.fileCount.load(), 2);
    QVERIFY(h.boxes.shown.empty());
}

void TestEdit::drop_enablesRemoveAndStartFromTheListsAsTheyAre()
{
    Harness h;
    QVERIFY(h.AddByDrop({docs_}));
    h.dialogs.answers.push_back(QStringList {P("Dest")});
    h.form->btnDestination_Click();
    h.list()->item(0)->setSelected(true);
    h.remove()->setEnabled(false);
    h.start()->setEnabled(false);
    QVERIFY(Drop(*h.form, &Form1::listboxFilestoBackup_DragDrop, {single_}));
    QVERIFY(h.remove()->isEnabled());
    QVERIFY(h.start()->isEnabled());
    QVERIFY(h.Settle());

    // Empty lists: a drop enables nothing by itself.
    Harness empty;
    empty.start()->setEnabled(false);
    empty.remove()->setEnabled(false);
    QVERIFY(Drop(*empty.form, &Form1::listboxFilestoBackup_DragDrop, {single_}));
    QVERIFY(!empty.start()->isEnabled());
    QVERIFY(!empty.remove()->isEnabled());
    QVERIFY(empty.Settle());
}

// As a file manager's drag arrives: enter, move, drop on the list's viewport.
static bool DragOnto(QWidget* viewport, const QStringList& paths)
{
    auto files = FileList(paths);
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    if (!enter.isAccepted()) return false;
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &move);
    if (!move.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, files.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    return drop.isAccepted();
}

void TestEdit::drop_throughTheViewport()
{
    Harness h;
    h.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.form.get()));
    QVERIFY(DragOnto(h.list()->viewport(), {single_, docs_}));
    QVERIFY(h.Settle());
    QCOMPARE(h.Items(h.list()), (QStringList {single_, docs_}));

    QVERIFY(DragOnto(h.destination()->viewport(), {P("Dest")}));
    QCOMPARE(h.Items(h.destination()), QStringList {P("Dest") + '/'});
    QCOMPARE(h.Items(h.list()), (QStringList {single_, docs_}));
}

void TestEdit::destinationDrop_takesOnlyAnExistingFirstFolder()
{
    Harness h;
    QVERIFY(Drop(*h.form, &Form1::listBoxDestinationFolder_DragDrop, {docs_, data_, single_}));
    QCOMPARE(h.Items(h.destination()), QStringList {docs_ + '/'});
    QVERIFY(h.jobs.complete && h.jobs.foldersComplete);

    QVERIFY(Drop(*h.form, &Form1::listBoxDestinationFolder_DragDrop, {single_, data_}));
    QCOMPARE(h.destination()->count(), 0);

    QVERIFY(Drop(*h.form, &Form1::listBoxDestinationFolder_DragDrop, {P("missing")}));
    QCOMPARE(h.destination()->count(), 0);
    QCOMPARE(h.threads.started.load(), 0);
}

// Add a folder, choose the destination, "Start", answer the closing box.
void TestEdit::wholeBackupThroughTheWindow()
{
    Harness h;
    h.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.form.get()));
    const QString destination = P("Backup");
    QVERIFY(QDir().mkpath(destination));

    h.subdirs()->setChecked(true);
    h.dialogs.answers.push_back(QStringList {data_});
    QTest::mouseClick(h.get<QPushButton>("btnAddFolder"), Qt::LeftButton);
    QVERIFY(h.Settle());
    h.dialogs.answers.push_back(QStringList {destination});
    QTest::mouseClick(h.get<QPushButton>("btnDestination"), Qt::LeftButton);
    QCOMPARE(h.dialogs.runs, 2);
    QCOMPARE(h.Items(h.list()), QStringList {data_});
    QTRY_VERIFY(h.start()->isEnabled());

    QTest::mouseClick(h.start(), Qt::LeftButton);
    const std::string done = "6 KB copied successfully";  // (3000 + 2000 + 1192) / 1024
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(h.boxes.shown.begin(), h.boxes.shown.end(),
                                         [&](const MessageBoxRequest& b) { return b.text == done; }),
                             30000);
    QVERIFY(h.Settle());
    QCOMPARE(h.Shown(tandrel::text::kCompleteTitle), 1);
    QCOMPARE(h.boxes.shown.size(), std::size_t(1));

    for (const char* file : {"Data/a.txt", "Data/b.txt", "Data/Sub/c.txt"}) {
        QFile source(P(file)), copy(destination + '/' + file);
        QVERIFY2(copy.open(QIODevice::ReadOnly), qPrintable(copy.fileName()));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), source.readAll());
    }
    QTRY_VERIFY(h.start()->isEnabled());  // back at rest
}

QTEST_MAIN(TestEdit)
#include "test_edit.moc"
