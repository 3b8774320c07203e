// The routing of the list boxes' and the "Remove" button's events to their
// handlers: drags and drops, mouse releases, and the right button on the
// backup list.
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>

#include "ui/form1.h"

namespace {

// A press, double click or move of the right button alone (a move with the
// left button held too still extends a selection).
bool RightButtonOnly(const QMouseEvent* e)
{
    if (e->type() == QEvent::MouseMove) return e->buttons() == Qt::RightButton;
    return e->button() == Qt::RightButton;
}

}  // namespace

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    const bool onBackupList = listboxFilestoBackup && watched == listboxFilestoBackup->viewport();
    const bool onDestination = listBoxDestinationFolder && watched == listBoxDestinationFolder->viewport();
    const bool onList = onBackupList || onDestination;
    bool& dragAccepted = onBackupList ? backupDragAccepted_ : destinationDragAccepted_;

    switch (event->type()) {
    case QEvent::DragEnter:
        if (onList) {
            auto* drag = static_cast<QDragEnterEvent*>(event);
            drag->ignore();  // refused unless the handler accepts it
            if (onBackupList)
                listboxFilestoBackup_DragEnter(drag);
            else
                listBoxDestinationFolder_DragEnter(drag);
            dragAccepted = drag->isAccepted();
            return true;
        }
        break;
    case QEvent::DragMove:
        if (onList) {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (dragAccepted) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        break;
    case QEvent::DragLeave:
        if (onList) {
            dragAccepted = false;
            return true;
        }
        break;
    case QEvent::Drop:
        if (onList) {
            auto* drop = static_cast<QDropEvent*>(event);
            dragAccepted = false;
            if (onBackupList)
                listboxFilestoBackup_DragDrop(drop);
            else
                listBoxDestinationFolder_DragDrop(drop);
            return true;
        }
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        // The right button leaves the backup list's selection alone: its
        // context menu acts on the entries selected before. The list never
        // sees that button; the context menu comes all the same, as Qt sends
        // it on the press that the list did not get.
        if (onBackupList && RightButtonOnly(static_cast<QMouseEvent*>(event))) {
            event->accept();
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        // The control handles the release first (a click of "Remove" runs
        // its handler there); the mouse-up handler comes after it.
        if ((onBackupList || watched == btnDelete) && event != redelivering_) {
            QEvent* outer = redelivering_;
            redelivering_ = event;
            if (!(onBackupList && static_cast<QMouseEvent*>(event)->button() == Qt::RightButton))
                QCoreApplication::sendEvent(watched, event);
            redelivering_ = outer;
            if (onBackupList)
                listboxFilestoBackup_MouseUp();
            else
                btnDelete_MouseUp();
            event->accept();
            return true;
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}
