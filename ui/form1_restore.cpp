// "Restore…" of the File menu and of the tray's menu: the Restore dialog for
// the chosen destination.
#include <QAction>
#include <QListWidget>
#include <QMenu>

#include "ui/form1.h"
#include "ui/pathtext.h"
#include "ui/restoredialog.h"

void Form1::BuildRestoreMenu()
{
    // In both menus right above their separator, after the schedule's items.
    menuItemRestore = new QAction(QStringLiteral("&Restore\u2026"), this);
    menuItemRestore->setObjectName(QStringLiteral("menuItemRestore"));
    menuFile->insertAction(menuItemSpacer3, menuItemRestore);
    contextMenuMain->insertAction(menuItemSpacer2, menuItemRestore);
    connect(menuItemRestore, &QAction::triggered, this, &Form1::menuItemRestore_Click);
}

void Form1::menuItemRestore_Click()
{
    if (restoreDialog_) {
        restoreDialog_->raise();
        restoreDialog_->activateWindow();
        return;
    }
    if (listBoxDestinationFolder->count() == 0) {
        messageBoxes_.Show(this, tandrel::MessageBoxRequest {
                                     "Choose a destination folder first: Restore shows what a backup into it holds.",
                                     "Restore", tandrel::MessageBoxButtons::OK, tandrel::MessageBoxIcon::Information});
        return;
    }
    restoreDialog_ = new tandrel::ui::RestoreDialog(
        tandrel::ui::ToPath(listBoxDestinationFolder->item(0)->text()),
        tandrel::ui::RestoreDialog::Services {threads_, fileSystem_, dialogs_, messageBoxes_}, this);
    restoreDialog_->setAttribute(Qt::WA_DeleteOnClose);
    restoreDialog_->open();
}
