// Editing the backup list and the destination: the add, remove and select
// commands, the backup list's context menu, and drops on both list boxes.
//
// Adding never writes to the backup list box itself: a command starts a
// gathering of the new entries on a worker, and ReturnFiles puts the entries
// into the list box once the walk is done.
#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <algorithm>
#include <functional>

#include "ui/form1.h"
#include "ui/pathtext.h"

using tandrel::ui::FromPath;
using tandrel::ui::FromQtPath;
using tandrel::ui::ToPath;

namespace tandrel::ui {

// Makes a file dialog forget the file name it would offer next. Qt's
// selectFile ignores an empty name, so the name box and the view selections
// (the dialog's own widgets) are cleared instead.
void ForgetFileName(QFileDialog& dialog)
{
    if (auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) edit->clear();
    for (const char* name : {"listView", "treeView"}) {
        auto* view = dialog.findChild<QAbstractItemView*>(QLatin1String(name));
        if (view && view->selectionModel()) view->selectionModel()->clear();
    }
}

}  // namespace tandrel::ui

namespace {

// The paths a dialog chose, in the platform's separators.
QStringList Chosen(const QStringList& paths)
{
    QStringList native;
    native.reserve(paths.size());
    for (const QString& path : paths) native.append(FromQtPath(path));
    return native;
}

std::vector<std::string> ToPaths(const QStringList& paths)
{
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(paths.size()));
    for (const QString& path : paths) result.push_back(ToPath(path));
    return result;
}

// The destination as "Select Folder" and a drop store it: the folder and one
// separator ("/" becomes "//").
QString DestinationEntry(const QString& folder)
{
    return FromPath(tandrel::AddSeparator(ToPath(folder), tandrel::PathStyle::Native()));
}

// Accepts a drag as a copy when it carries local files, refuses it otherwise.
void AcceptFileDrag(QDragEnterEvent* e, const QStringList& paths)
{
    if (paths.isEmpty() || !(e->possibleActions() & Qt::CopyAction)) {
        e->ignore();
        return;
    }
    if (e->proposedAction() == Qt::CopyAction)
        e->acceptProposedAction();
    else {
        e->setDropAction(Qt::CopyAction);
        e->accept();
    }
}

void AcceptFileDrop(QDropEvent* e)
{
    e->setDropAction(Qt::CopyAction);
    e->accept();
}

}  // namespace

QStringList Form1::DroppedPaths(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    const QList<QUrl> urls = data->urls();
    for (const QUrl& url : urls)
        if (url.isLocalFile()) paths.append(tandrel::ui::WithoutTrailingSeparator(FromQtPath(url.toLocalFile())));
    return paths;
}

// "Add Files".
void Form1::btnBrowse_Click()
{
    openFileDialog1->setNameFilter(QStringLiteral("All files (*)"));
    openFileDialog1->setFileMode(QFileDialog::ExistingFiles);
    const std::optional<QStringList> chosen = dialogs_.Run(*openFileDialog1);
    if (!chosen || chosen->isEmpty()) {
        tandrel::ui::ForgetFileName(*openFileDialog1);
    } else {
        jobs_.filesOnly = true;
        BeginGetFiles(ToPaths(Chosen(*chosen)), false);
    }
    ClosingRefresh();
}

// "Add Folder".
void Form1::btnAddFolder_Click()
{
    const std::optional<QStringList> chosen = dialogs_.Run(*folderBrowserDialog1);
    if (!chosen || chosen->isEmpty()) return;

    std::vector<std::string> folderArray {ToPath(FromQtPath(chosen->front()))};
    if (cboxSubDirectories->isChecked()) {
        BeginGetFiles(std::move(folderArray), true);
        if (jobs_.foldersComplete)
            jobs_.complete = true;
        else
            jobs_.hasErrored = true;
        ShowProgress();
    } else {
        BeginGetFiles(std::move(folderArray), false);
    }
}

// "Select Folder".
void Form1::btnDestination_Click()
{
    if (!saveFolder) {
        saveFolder = new QFileDialog(this, QStringLiteral("Find Destination Folder"));
        saveFolder->setObjectName(QStringLiteral("saveFolder"));
        saveFolder->setOption(QFileDialog::DontUseNativeDialog);
        saveFolder->setFileMode(QFileDialog::Directory);
        saveFolder->setOption(QFileDialog::ShowDirsOnly, true);
    }
    const std::optional<QStringList> chosen = dialogs_.Run(*saveFolder);
    if (chosen && !chosen->isEmpty()) {
        listBoxDestinationFolder->clear();
        ChoseDestination(DestinationEntry(FromQtPath(chosen->front())));
        listBoxDestinationFolder->setCurrentRow(0);
    }
    ClosingRefresh();
}

// "Remove": takes out the selected entries and gathers what is left from
// scratch, so the job lists hold only files of entries still in the list.
void Form1::btnDelete_Click()
{
    QList<int> rows;
    const QList<QListWidgetItem*> selected = listboxFilestoBackup->selectedItems();
    for (QListWidgetItem* item : selected) rows.append(listboxFilestoBackup->row(item));
    if (rows.size() == listboxFilestoBackup->count()) {
        listboxFilestoBackup->clear();
    } else {
        std::sort(rows.begin(), rows.end(), std::greater<>());
        for (int row : rows) delete listboxFilestoBackup->takeItem(row);
    }

    std::vector<std::string> remaining = Entries(listboxFilestoBackup);
    listboxFilestoBackup->clear();

    jobs_.dragNdrop = true;
    jobs_.ResetLists();
    BeginGetFiles(std::move(remaining), cboxSubDirectories->isChecked());
    ClosingRefresh();
}

void Form1::btnDelete_MouseUp()
{
    btnDelete->setEnabled(!listboxFilestoBackup->selectedItems().isEmpty());
}

void Form1::listboxFilestoBackup_MouseUp()
{
    btnDelete->setEnabled(!listboxFilestoBackup->selectedItems().isEmpty());
}

void Form1::contextMenuFiles_Popup()
{
    const bool any = listboxFilestoBackup->count() > 0;
    menuItemSelectAll->setEnabled(any);
    menuItemRemove->setEnabled(any);
}

// "Select All": one redraw for the whole list.
void Form1::menuItemSelectAll_Click()
{
    btnDelete->setEnabled(true);
    listboxFilestoBackup->setUpdatesEnabled(false);
    for (int row = 0; row < listboxFilestoBackup->count(); ++row) listboxFilestoBackup->item(row)->setSelected(true);
    listboxFilestoBackup->setUpdatesEnabled(true);
}

// The context menu's "Remove". After taking entries out it rebuilds the job
// lists from what is left, as the button does; otherwise the next backup
// would still copy the files of the removed entries.
void Form1::menuItemRemove_Click()
{
    const auto n = listboxFilestoBackup->selectedItems().size();
    if (n == 0) {
        ClosingRefresh();
        return;
    }
    if (n == listboxFilestoBackup->count()) listboxFilestoBackup->clear();
    btnDelete_Click();  // takes out the selected entries and gathers the rest
}

void Form1::listboxFilestoBackup_DragEnter(QDragEnterEvent* e)
{
    AcceptFileDrag(e, DroppedPaths(e->mimeData()));
}

void Form1::listBoxDestinationFolder_DragEnter(QDragEnterEvent* e)
{
    AcceptFileDrag(e, DroppedPaths(e->mimeData()));
}

// A drop on the backup list: a list file as the first path is loaded (the
// other paths are ignored); anything else is gathered, every path in order.
void Form1::listboxFilestoBackup_DragDrop(QDropEvent* e)
{
    const QStringList paths = DroppedPaths(e->mimeData());
    if (paths.isEmpty()) {
        e->ignore();
        return;
    }
    AcceptFileDrop(e);

    jobs_.dragNdrop = true;
    if (tandrel::NamesListFile(ToPath(paths.front())))
        BeginDeserialize(paths.front());
    else
        BeginGetFiles(ToPaths(paths), cboxSubDirectories->isChecked());

    // The list boxes as they are now, before the started work adds anything.
    if (!listboxFilestoBackup->selectedItems().isEmpty()) btnDelete->setEnabled(true);
    if (listboxFilestoBackup->count() > 0 && listBoxDestinationFolder->count() > 0) btnStart->setEnabled(true);
}

// A drop on the destination: the first path, when it is a folder.
void Form1::listBoxDestinationFolder_DragDrop(QDropEvent* e)
{
    const QStringList paths = DroppedPaths(e->mimeData());
    if (paths.isEmpty()) {
        e->ignore();
        return;
    }
    AcceptFileDrop(e);

    listBoxDestinationFolder->clear();
    if (fileSystem_.DirectoryExists(ToPath(paths.front()))) ChoseDestination(DestinationEntry(paths.front()));
    ClosingRefresh();
}

void Form1::ChoseDestination(const QString& entry)
{
    listBoxDestinationFolder->addItem(entry);
    if (destinations_) destinations_->Forget(ToPath(entry));
}
