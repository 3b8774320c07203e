// The Restore dialog through the window, over a destination that two real
// backups made: data/a.txt backed up twice (its first copy kept as a
// version), data/b.txt once, but modified later than a.txt's first copy.
#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "engine/nativefs.h"
#include "engine/restore.h"
#include "tests/ui/window_harness.h"
#include "ui/form1.h"
#include "ui/heldtree.h"
#include "ui/restoredialog.h"

using namespace tandrel::ui::testing;
using tandrel::ui::RestoreDialog;

namespace {

const QDateTime kFirst(QDate(2020, 1, 1), QTime(12, 0));
const QDateTime kSecond(QDate(2021, 1, 1), QTime(12, 0));
const QDateTime kB(QDate(2022, 1, 1), QTime(12, 0));
const QDateTime kBetween(QDate(2020, 6, 1), QTime(12, 0));  // after a.txt's first copy, before b.txt

void Write(const QString& path, const QByteArray& content, const QDateTime& modified)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.flush() ||
        !file.setFileTime(modified, QFileDevice::FileModificationTime))
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// The names of an item's children, opening it first.
QStringList Children(QTreeWidgetItem* item)
{
    item->setExpanded(true);
    QStringList names;
    for (int i = 0; i < item->childCount(); ++i)
        if (!item->child(i)->isHidden()) names << item->child(i)->text(0);
    return names;
}

QTreeWidgetItem* Child(QTreeWidgetItem* item, const QString& name)
{
    item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i)
        if (item->child(i)->text(0) == name) return item->child(i);
    return nullptr;
}

struct Harness : CountingWindow {
    // Backs `data` up into `destination` with Overwrite, through the window.
    void Backup(const QString& data, const QString& destination)
    {
        dialogs.answers.push_back(QStringList {data});
        form->btnAddFolder_Click();
        dialogs.answers.push_back(QStringList {destination});
        form->btnDestination_Click();
        form->findChild<QCheckBox*>(QStringLiteral("cboxOverwrite"))->setChecked(true);
        QVERIFY(threads.Settle());
        form->btnStart_Click();
        QVERIFY(threads.Settle());
        QCOMPARE(boxes.shown.back().caption, std::string(tandrel::text::kCompleteTitle));
    }

    RestoreDialog* Open()
    {
        form->findChild<QAction*>(QStringLiteral("menuItemRestore"))->trigger();
        auto* dialog = form->findChild<RestoreDialog*>();
        if (dialog && !QTest::qWaitFor([dialog] { return dialog->Tree() != nullptr; }, 20000)) return nullptr;
        return dialog;
    }
};

}  // namespace

class TestRestore : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        data_ = QDir::toNativeSeparators(dir_->filePath(QStringLiteral("data")));
        destination_ = QDir::toNativeSeparators(dir_->filePath(QStringLiteral("backup")));
        QDir().mkpath(destination_);
        h_ = std::make_unique<Harness>();
        Write(data_ + "/a.txt", "first version", kFirst);
        Write(data_ + "/b.txt", "b", kB);
        h_->Backup(data_, destination_);
        Write(data_ + "/a.txt", "the second version", kSecond);
        h_->form->btnStart_Click();
        QVERIFY(h_->threads.Settle());
    }
    void cleanup() { h_.reset(); }

    void noDestinationSaysSo();
    void opensForTheDestination();
    void treeShowsWhatTheBackupHolds();
    void aDatePicksTheOlderCopy();
    void restoreToRestoresIntoTheFolderOnAWorker();

private:
    // The data folder's item: the tree's only top-level one, by its path.
    QTreeWidgetItem* DataItem(RestoreDialog* dialog)
    {
        auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("treeContents"));
        if (tree->topLevelItemCount() != 1) return nullptr;
        QTreeWidgetItem* item = tree->topLevelItem(0);
        return item->text(0) == data_ ? item : nullptr;
    }

    std::unique_ptr<QTemporaryDir> dir_;
    QString data_, destination_;
    std::unique_ptr<Harness> h_;
};

void TestRestore::noDestinationSaysSo()
{
    Harness fresh;
    fresh.form->findChild<QAction*>(QStringLiteral("menuItemRestore"))->trigger();
    QVERIFY(!fresh.form->findChild<RestoreDialog*>());
    QCOMPARE(fresh.boxes.shown.size(), std::size_t {1});
    QVERIFY(fresh.boxes.shown[0].text.starts_with("Choose a destination folder first"));
}

void TestRestore::opensForTheDestination()
{
    RestoreDialog* dialog = h_->Open();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(QString::fromStdString(dialog->Destination()), destination_ + QDir::separator());
    for (QWidget* control : dialog->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QLabel*>(control) ||
            qobject_cast<QTreeWidget*>(control) || qobject_cast<QDateTimeEdit*>(control) ||
            qobject_cast<QProgressBar*>(control))
            QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
    }
}

void TestRestore::treeShowsWhatTheBackupHolds()
{
    // By where the files came from: the folders down to the data folder in
    // one, open.
    RestoreDialog* dialog = h_->Open();
    QVERIFY(dialog);
    QVERIFY(dialog->Tree()->Contents().HasIndex());
    QTreeWidgetItem* data = DataItem(dialog);
    QVERIFY(data);
    QVERIFY(data->isExpanded());
    QCOMPARE(Children(data), (QStringList {"a.txt", "b.txt"}));
    QVERIFY(dialog->findChild<QPushButton*>(QStringLiteral("btnRestore"))->toolTip().startsWith("Put the"));

    // A destination that does not record it: by the path below it, and
    // nothing to restore to the original place.
    dialog->reject();
    QTRY_VERIFY(!h_->form->findChild<RestoreDialog*>());
    QVERIFY(QFile::remove(destination_ + "/" + tandrel::kRestoreIndexName));
    dialog = h_->Open();
    QVERIFY(dialog);
    auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("treeContents"));
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("data"));
    QCOMPARE(Children(tree->topLevelItem(0)), (QStringList {"a.txt", "b.txt"}));
    tree->topLevelItem(0)->setSelected(true);
    auto* restore = dialog->findChild<QPushButton*>(QStringLiteral("btnRestore"));
    QVERIFY(!restore->isEnabled());
    QVERIFY(restore->toolTip().contains("does not record where its files came from"));
    QVERIFY(dialog->findChild<QPushButton*>(QStringLiteral("btnRestoreTo"))->isEnabled());
}

void TestRestore::aDatePicksTheOlderCopy()
{
    RestoreDialog* dialog = h_->Open();
    QVERIFY(dialog);
    QTreeWidgetItem* data = DataItem(dialog);
    QVERIFY(data);
    auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("treeContents"));
    tree->setCurrentItem(Child(data, "a.txt"));
    auto* copies = dialog->findChild<QTreeWidget*>(QStringLiteral("listCopies"));
    QCOMPARE(copies->topLevelItemCount(), 2);
    QCOMPARE(copies->topLevelItem(0)->text(0), QStringLiteral("Current copy"));
    QVERIFY(copies->topLevelItem(1)->text(0).startsWith("Replaced "));
    QCOMPARE(copies->currentItem(), copies->topLevelItem(0));

    dialog->findChild<QDateTimeEdit*>(QStringLiteral("dtpAsOf"))->setDateTime(kBetween);
    QCOMPARE(dialog->ChosenTime(), std::optional<std::int64_t>(kBetween.toSecsSinceEpoch()));
    QCOMPARE(copies->currentItem(), copies->topLevelItem(1));
    QCOMPARE(copies->currentItem()->text(1), kFirst.toString("yyyy-MM-dd HH:mm:ss"));
    QVERIFY(copies->currentItem()->font(0).bold());
    QCOMPARE(Children(data), QStringList {"a.txt"});  // b.txt's only copy is newer
}

void TestRestore::restoreToRestoresIntoTheFolderOnAWorker()
{
    RestoreDialog* dialog = h_->Open();
    QVERIFY(dialog);
    QTreeWidgetItem* data = DataItem(dialog);
    QVERIFY(data);
    dialog->findChild<QDateTimeEdit*>(QStringLiteral("dtpAsOf"))->setDateTime(kBetween);
    data->setSelected(true);
    const QString out = QDir::toNativeSeparators(dir_->filePath(QStringLiteral("out")));
    QVERIFY(QDir().mkpath(out));
    h_->dialogs.answers.push_back(QStringList {out});
    const std::size_t before = h_->boxes.shown.size();
    // click() serves no events: the worker's end cannot have reached the
    // window yet, however fast it was.
    dialog->findChild<QPushButton*>(QStringLiteral("btnRestoreTo"))->click();
    QVERIFY(dialog->Restoring());
    QVERIFY(!dialog->findChild<QPushButton*>(QStringLiteral("btnRestoreTo"))->isEnabled());
    QVERIFY(h_->threads.Settle());
    QVERIFY(!dialog->Restoring());

    QCOMPARE(Read(out + "/data/a.txt"), QByteArray("first version"));
    QVERIFY(!QFile::exists(out + "/data/b.txt"));
    QCOMPARE(h_->boxes.shown.size(), before + 1);
    const QString text = QString::fromStdString(h_->boxes.shown.back().text);
    QVERIFY2(text.startsWith("1 file restored into '" + out + "'."), qPrintable(text));
    QVERIFY2(text.contains("1 file has no copy as old as"), qPrintable(text));
}

QTEST_MAIN(TestRestore)
#include "test_restore.moc"
