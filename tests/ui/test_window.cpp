// The window as it starts: controls, texts, states, geometry and resizing,
// tab order, names, menus, shortcuts, the tray icon, and the routing of drops
// and mouse releases to their handlers.
#include <QAccessible>
#include <QAction>
#include <QContextMenuEvent>
#include <QDir>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "tests/ui/window_harness.h"

using tandrel::MessageBoxButtons;
using tandrel::MessageBoxIcon;
using tandrel::ui::testing::WindowHarness;

namespace {

struct Placed {
    const char* name;
    QRect design;
    int dx;  // how far the control moves right per pixel of extra width: 0 or 1
    int dw;  // how much wider it gets
    int dy;
    int dh;
};

// The design geometry of every control, and how each follows a larger
// client area along its anchors.
const Placed kPlaced[] = {
    {"gboxFilestoBackup", {8, 8, 668, 267}, 0, 1, 0, 1},
    {"listboxFilestoBackup", {8, 16, 532, 244}, 0, 1, 0, 1},
    {"btnBrowse", {552, 16, 96, 24}, 1, 0, 0, 0},
    {"btnAddFolder", {552, 48, 96, 24}, 1, 0, 0, 0},
    {"btnDelete", {552, 80, 96, 24}, 1, 0, 0, 0},
    {"cboxSubDirectories", {552, 120, 96, 32}, 1, 0, 0, 0},
    {"cboxOverwrite", {552, 160, 96, 16}, 1, 0, 0, 0},
    {"cboxSetForget", {552, 184, 96, 16}, 1, 0, 0, 0},
    {"lblAutobackup", {552, 208, 40, 16}, 1, 0, 0, 0},
    {"cboxTime", {552, 224, 96, 21}, 1, 0, 0, 0},
    {"gboxDestinationFolder", {8, 320, 542, 80}, 0, 1, 1, 0},
    {"rboxDirCopy", {8, 16, 96, 24}, 0, 0, 0, 0},
    {"rboxConsolidate", {112, 16, 104, 24}, 0, 0, 0, 0},
    {"rboxCD", {224, 16, 80, 24}, 0, 0, 0, 0},
    {"btnDestination", {434, 16, 96, 24}, 1, 0, 0, 0},
    {"listBoxDestinationFolder", {8, 48, 522, 20}, 0, 1, 0, 0},
    {"progressBar1", {8, 288, 667, 19}, 0, 1, 1, 0},
    {"btnStart", {568, 336, 96, 56}, 1, 0, 1, 0},
    {"statusBar1", {0, 430, 692, 24}, 0, 1, 1, 0},
};

QString AccessibleName(QWidget* widget)
{
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}

QStringList Texts(const QMenu* menu)
{
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QStringList Names(const QMenu* menu)
{
    QStringList names;
    for (const QAction* action : menu->actions()) names << action->objectName();
    return names;
}

}  // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void aFreshStart()
    {
        WindowHarness h;
        QCOMPARE(h.form->objectName(), QStringLiteral("Form1"));
        QCOMPARE(h.form->windowTitle(), QStringLiteral("Tandrel"));
        QCOMPARE(h.backupList()->count(), 0);
        QCOMPARE(h.destinationList()->count(), 0);
        QCOMPARE(h.enabledGoverned(),
                 (QStringList {"btnAddFolder", "btnBrowse", "btnDestination", "cboxOverwrite", "cboxSubDirectories"}));
        QVERIFY(!h.everyLabel()->isEnabled());
        QVERIFY(h.radio("rboxDirCopy")->isChecked());
        QVERIFY(!h.radio("rboxCD")->isChecked() && !h.radio("rboxConsolidate")->isChecked());
        QVERIFY(h.check("cboxSubDirectories")->isChecked());
        QVERIFY(!h.check("cboxOverwrite")->isChecked());
        QVERIFY(!h.check("cboxSetForget")->isChecked());
        QCOMPARE(h.panelText("statusbarpanelTotalFiles"), QStringLiteral("Total Files: 0"));
        QCOMPARE(h.panelText("statusbarpanelTotalFoldres"), QStringLiteral("Total Folders: 0"));
        QCOMPARE(h.panelText("statusBarPanel1"), QString());
        QVERIFY(!h.bar()->isVisible());
        QCOMPARE(h.bar()->minimum(), 0);
        QCOMPARE(h.bar()->maximum(), 100);
        QCOMPARE(h.bar()->value(), 0);
        QVERIFY(!h.timer->IsActive());
        QCOMPARE(h.timer->Interval(), 60000);
        QVERIFY(!h.waitCursor());
        QVERIFY(!h.form->acceptDrops());
        QVERIFY(h.backupList()->viewport()->acceptDrops());
        QVERIFY(h.destinationList()->viewport()->acceptDrops());
        QCOMPARE(h.backupList()->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(h.destinationList()->selectionMode(), QAbstractItemView::SingleSelection);

        auto* tray = h.form->findChild<QSystemTrayIcon*>(QStringLiteral("notifyIcon1"));
        QVERIFY(tray && tray->isVisible());
        QCOMPARE(tray->toolTip(), QStringLiteral("Tandrel"));
        QCOMPARE(tray->contextMenu(), h.form->findChild<QMenu*>(QStringLiteral("contextMenuMain")));

        // The interval box takes no typing and starts empty.
        QVERIFY(!h.interval()->isEditable());
        QCOMPARE(h.interval()->currentIndex(), -1);
        QCOMPARE(h.interval()->currentText(), QString());
        QStringList items;
        for (int i = 0; i < h.interval()->count(); ++i) items << h.interval()->itemText(i);
        QCOMPARE(items, (QStringList {"10 Minutes", "20 Minutes", "2 Hours", "8 Hours"}));

        // Icons: the two count panels carry one each.
        QVERIFY(
            h.get<tandrel::ui::StatusBarPanel>("statusbarpanelTotalFiles")->findChild<QLabel*>(QStringLiteral("icon")));
        QVERIFY(!h.get<tandrel::ui::StatusBarPanel>("statusBarPanel1")->findChild<QLabel*>(QStringLiteral("icon")));
        QVERIFY(!h.form->windowIcon().isNull());
    }

    void theLayoutAndItsAnchors()
    {
        WindowHarness h;
        QWidget* client = h.form->centralWidget();
        QCOMPARE(client->size(), QSize(692, 454));
        for (const Placed& p : kPlaced) QCOMPARE(h.widget(p.name)->geometry(), p.design);

        const int wider = 100, taller = 60;
        h.form->resize(h.form->width() + wider, h.form->height() + taller);
        QTRY_COMPARE(client->size(), QSize(692 + wider, 454 + taller));
        for (const Placed& p : kPlaced) {
            const QRect expected(p.design.x() + p.dx * wider, p.design.y() + p.dy * taller,
                                 p.design.width() + p.dw * wider, p.design.height() + p.dh * taller);
            QVERIFY2(h.widget(p.name)->geometry() == expected, p.name);
        }

        // Back to the design size, back to the design geometry.
        h.form->resize(h.form->width() - wider, h.form->height() - taller);
        QTRY_COMPARE(client->size(), QSize(692, 454));
        for (const Placed& p : kPlaced) QCOMPARE(h.widget(p.name)->geometry(), p.design);
    }

    void theSmallestSize()
    {
        WindowHarness h;
        h.form->resize(200, 100);
        QCoreApplication::processEvents();
        QCOMPARE(h.form->size(), h.form->minimumSize());
        // The outer frame keeps 700 x 488, unless the frame is so thin that
        // this would make the smallest window larger than the design size.
        const QSize outer = h.form->frameGeometry().size();
        const QSize client = h.form->centralWidget()->size();
        QVERIFY2(outer.width() == 700 || (outer.width() < 700 && client.width() == 692),
                 qPrintable(QString::number(outer.width())));
        QVERIFY2(outer.height() == 488 || (outer.height() < 488 && client.height() == 454),
                 qPrintable(QString::number(outer.height())));
        QVERIFY(client.width() <= 692 && client.height() <= 454);
        // At the smallest size the controls still keep clear of each other.
        QVERIFY(h.widget("gboxFilestoBackup")->geometry().bottom() < h.widget("progressBar1")->y());
        QVERIFY(h.widget("listboxFilestoBackup")->height() > 100);
        QCOMPARE(h.widget("statusBar1")->geometry().bottom(), client.height() - 1);
    }

    void tabOrderFollowsTheTabIndexes()
    {
        WindowHarness h;
        const QStringList expected {
            "listboxFilestoBackup", "btnBrowse",   "btnDelete",     "btnAddFolder",   "cboxOverwrite",
            "cboxSubDirectories",   "cboxTime",    "cboxSetForget", "btnDestination", "listBoxDestinationFolder",
            "rboxConsolidate",      "rboxDirCopy", "rboxCD",        "btnStart"};
        QStringList order;
        QWidget* w = h.widget(expected.first());
        for (int steps = 0; steps < 200 && order.size() < expected.size(); ++steps) {
            if (expected.contains(w->objectName()) && !order.contains(w->objectName())) order << w->objectName();
            w = w->nextInFocusChain();
        }
        QCOMPARE(order, expected);
        for (const char* name : {"gboxFilestoBackup", "gboxDestinationFolder", "progressBar1", "statusBar1"})
            QCOMPARE(h.widget(name)->focusPolicy(), Qt::NoFocus);
    }

    void namesAndAccessibleNames()
    {
        WindowHarness h;
        const QList<QPair<const char*, const char*>> named {
            {"gboxFilestoBackup", "Backup list:"},
            {"listboxFilestoBackup", "Backup list"},
            {"btnBrowse", "Add Files"},
            {"btnAddFolder", "Add Folder"},
            {"btnDelete", "Remove"},
            {"cboxSubDirectories", "Include Subdirectories"},
            {"cboxOverwrite", "Overwrite"},
            {"cboxSetForget", "Auto Backup"},
            {"lblAutobackup", "Every:"},
            {"cboxTime", "Every:"},
            {"gboxDestinationFolder", "Destination Folder:"},
            {"rboxDirCopy", "Directory Copy"},
            {"rboxConsolidate", "Consolidate Files"},
            {"rboxCD", "CD Backup"},
            {"btnDestination", "Select Folder"},
            {"listBoxDestinationFolder", "Destination Folder"},
            {"progressBar1", "Progress"},
            {"btnStart", "Start"},
            {"statusbarpanelTotalFiles", "Total Files: 0"},
            {"statusbarpanelTotalFoldres", "Total Folders: 0"},
        };
        for (const auto& [name, caption] : named) {
            QWidget* widget = h.widget(QString::fromLatin1(name));
            QVERIFY2(widget, name);
            QCOMPARE(AccessibleName(widget), QString::fromLatin1(caption));
        }
        QVERIFY(h.widget("statusBar1") && h.widget("statusBarPanel1") && h.widget("mainMenu1"));
        for (const char* dialog : {"openFileDialog1", "folderBrowserDialog1"})
            QVERIFY2(h.form->findChild<QFileDialog*>(QString::fromLatin1(dialog)), dialog);
        QVERIFY(!h.form->findChild<QFileDialog*>(QStringLiteral("saveFolder")));
        QCOMPARE(h.form->findChild<QFileDialog*>(QStringLiteral("openFileDialog1"))->windowTitle(),
                 QStringLiteral("Add files to backup"));
        QCOMPARE(h.form->findChild<QFileDialog*>(QStringLiteral("folderBrowserDialog1"))->windowTitle(),
                 QStringLiteral("Add a folder to backup"));
    }

    void theMenus()
    {
        WindowHarness h;
        auto* bar = h.form->menuBar();
        QCOMPARE(bar->objectName(), QStringLiteral("mainMenu1"));
        QStringList top;
        for (const QAction* action : bar->actions()) top << action->text();
        QCOMPARE(top, (QStringList {"&File", "&Help"}));
        auto* file = h.form->findChild<QMenu*>(QStringLiteral("menuFile"));
        QCOMPARE(Texts(file), (QStringList {"&Load Backup list...", "&Save Backup list", "&Verify Copies",
                                            "E&xclusions\u2026", "Start with the &Desktop",
                                            "Schedule &This Backup\u2026", "&Restore\u2026", "-", "&Exit"}));
        QCOMPARE(Names(file), (QStringList {"menuItemLoad", "menuItemSave", "menuItemVerify", "menuItemExclusions",
                                            "menuItemStartWithDesktop", "menuItemSchedule", "menuItemRestore",
                                            "menuItemSpacer3", "menuItemexitMain"}));
        auto* help = h.form->findChild<QMenu*>(QStringLiteral("menuHelp"));
        QCOMPARE(Texts(help), QStringList {"&About Tandrel"});
        QCOMPARE(file->actions()[0]->shortcut(), QKeySequence(QStringLiteral("Ctrl+L")));
        QCOMPARE(file->actions()[1]->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
        QCOMPARE(help->actions()[0]->shortcut(), QKeySequence(QStringLiteral("F1")));

        auto* files = h.form->findChild<QMenu*>(QStringLiteral("contextMenuFiles"));
        QCOMPARE(Texts(files), (QStringList {"Select &All", "-", "&Remove"}));
        QCOMPARE(Names(files), (QStringList {"menuItemSelectAll", "menuItemSpacer1", "menuItemRemove"}));
        auto* main = h.form->findChild<QMenu*>(QStringLiteral("contextMenuMain"));
        QCOMPARE(Texts(main), (QStringList {"&Show", "&Hide", "Start with the &Desktop", "Schedule &This Backup\u2026",
                                            "&Restore\u2026", "-", "Exit"}));
        QCOMPARE(Names(main), (QStringList {"menuItemShow", "menuItemHide", "menuItemStartWithDesktop",
                                            "menuItemSchedule", "menuItemRestore", "menuItemSpacer2", "menuItemExit"}));
    }

    void contextMenusOpenWhereTheyBelong()
    {
        WindowHarness h;
        auto* files = h.form->findChild<QMenu*>(QStringLiteral("contextMenuFiles"));
        auto* main = h.form->findChild<QMenu*>(QStringLiteral("contextMenuMain"));
        QWidget* viewport = h.backupList()->viewport();
        QContextMenuEvent onList(QContextMenuEvent::Mouse, QPoint(10, 10), viewport->mapToGlobal(QPoint(10, 10)));
        QCoreApplication::sendEvent(viewport, &onList);
        QTRY_VERIFY(files->isVisible());
        QVERIFY(!main->isVisible());
        // Its about-to-open handler ran: an empty list leaves nothing to choose.
        QVERIFY(!files->actions()[0]->isEnabled());
        files->hide();

        QWidget* background = h.form->centralWidget();
        QContextMenuEvent onWindow(QContextMenuEvent::Mouse, QPoint(300, 415),
                                   background->mapToGlobal(QPoint(300, 415)));
        QCoreApplication::sendEvent(background, &onWindow);
        QTRY_VERIFY(main->isVisible());
        main->hide();
    }

    void shortcutsReachTheirCommands()
    {
        WindowHarness h;
        h.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form.get()));
        QSignalSpy load(h.form->findChild<QAction*>(QStringLiteral("menuItemLoad")), &QAction::triggered);
        QSignalSpy save(h.form->findChild<QAction*>(QStringLiteral("menuItemSave")), &QAction::triggered);
        QTest::keyClick(h.form.get(), Qt::Key_L, Qt::ControlModifier);
        QTRY_COMPARE(load.count(), 1);
        QTest::keyClick(h.form.get(), Qt::Key_S, Qt::ControlModifier);
        QTRY_COMPARE(save.count(), 1);
        QTest::keyClick(h.form.get(), Qt::Key_F1);
        QTRY_VERIFY(!h.boxes.shown.empty());
        QCOMPARE(h.boxes.shown.back().caption, std::string("About Tandrel"));
        QCOMPARE(h.boxes.shown.back().icon, MessageBoxIcon::Information);
    }

    void dropsAndReleasesReachTheirHandlers()
    {
        QTemporaryDir folder;
        WindowHarness h;
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(folder.path())});
        QMimeData text;
        text.setText(QStringLiteral("not a file list"));

        QWidget* destination = h.destinationList()->viewport();
        QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(destination, &refused);
        QVERIFY(!refused.isAccepted());
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(destination, &enter);
        QVERIFY(enter.isAccepted());
        QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction | Qt::MoveAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(destination, &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(QPointF(6, 6), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(destination, &drop);
        QCOMPARE(h.destinationList()->count(), 1);
        QVERIFY(h.destinationList()->item(0)->text().startsWith(folder.path()));

        // A release over the backup list lets "Remove" follow the selection.
        h.backupList()->addItem(QStringLiteral("/one"));
        QVERIFY(!h.button("btnDelete")->isEnabled());
        const QPoint onItem = h.backupList()->visualItemRect(h.backupList()->item(0)).center();
        QTest::mouseClick(h.backupList()->viewport(), Qt::LeftButton, Qt::NoModifier, onItem);
        QVERIFY(h.backupList()->item(0)->isSelected());
        QVERIFY(h.button("btnDelete")->isEnabled());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
