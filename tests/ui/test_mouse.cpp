// The mouse where it could change things behind the user's back: a right
// click in the backup list leaves the selection as it was, for the context
// menu to act on; the wheel over the interval box changes nothing unless the
// box has the focus.
#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <QtTest>

#include "tests/ui/window_harness.h"

using tandrel::ui::testing::WindowHarness;

namespace {

QList<int> SelectedRows(const QListWidget* list)
{
    QList<int> rows;
    for (int row = 0; row < list->count(); ++row)
        if (list->item(row)->isSelected()) rows << row;
    return rows;
}

QStringList Items(const QListWidget* list)
{
    QStringList items;
    for (int row = 0; row < list->count(); ++row) items << list->item(row)->text();
    return items;
}

QPoint Centre(const QListWidget* list, int row)
{
    return list->visualItemRect(list->item(row)).center();
}

// A right click on an entry as the window system delivers it: the press, the
// context-menu request that follows it (Qt Test's mouse events come without
// one), and the release.
void RightClick(QListWidget* list, int row)
{
    QWidget* viewport = list->viewport();
    const QPoint at = Centre(list, row);
    QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, at);
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QCoreApplication::sendEvent(viewport, &request);
    QTest::mouseRelease(viewport, Qt::RightButton, Qt::NoModifier, at);
}

// One notch of the wheel over the widget's centre, downwards.
void Wheel(QWidget* widget)
{
    const QPointF at = QPointF(widget->rect().center());
    QWheelEvent wheel(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &wheel);
}

}  // namespace

class TestMouse : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_ {QDir::tempPath() + QStringLiteral("/tandrel-mouse-XXXXXX")};
    QStringList files_;

    // Fills the backup list of a shown window with the three files, as a
    // drop does, and waits for their gathering.
    void Fill(WindowHarness& h)
    {
        std::vector<std::string> entries;
        for (const QString& file : files_) entries.push_back(file.toStdString());
        h.jobs.dragNdrop = true;
        h.form->BeginGetFiles(entries, false);
        QTRY_VERIFY_WITH_TIMEOUT(h.idle() && h.backupList()->count() == 3, 10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        for (const char* name : {"alpha.txt", "bravo.txt", "charlie.txt"}) {
            const QString path = tmp_.path() + '/' + QLatin1String(name);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("data");
            files_ << path;
        }
    }

    void aRightClickLeavesTheSelectionForTheContextMenu()
    {
        WindowHarness h;
        Fill(h);
        if (QTest::currentTestFailed()) return;
        QListWidget* list = h.backupList();
        QWidget* viewport = list->viewport();
        auto* menu = h.form->findChild<QMenu*>(QStringLiteral("contextMenuFiles"));

        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, Centre(list, 0));
        QCOMPARE(SelectedRows(list), QList<int> {0});

        // Right on another entry: the menu opens, the selection stays.
        RightClick(list, 2);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(SelectedRows(list), QList<int> {0});
        QCOMPARE(list->currentRow(), 0);
        menu->hide();

        // A double click of the right button, or a drag with it held,
        // selects nothing either.
        QTest::mouseDClick(viewport, Qt::RightButton, Qt::NoModifier, Centre(list, 1));
        menu->hide();
        QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, Centre(list, 1));
        QMouseEvent drag(QEvent::MouseMove, QPointF(Centre(list, 2)), QPointF(viewport->mapToGlobal(Centre(list, 2))),
                         Qt::NoButton, Qt::RightButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &drag);
        menu->hide();
        QTest::mouseRelease(viewport, Qt::RightButton, Qt::NoModifier, Centre(list, 2));
        QCOMPARE(SelectedRows(list), QList<int> {0});

        // "&Remove" of the menu takes the selected entry, not the one the
        // pointer was on.
        RightClick(list, 2);
        QTRY_VERIFY(menu->isVisible());
        QVERIFY(menu->actions().last()->isEnabled());
        QTest::keyClick(menu, Qt::Key_R);
        QTRY_VERIFY(!menu->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(h.idle() && list->count() == 2, 10000);
        QCOMPARE(Items(list), files_.mid(1));
    }

    void aRightClickKeepsASelectionOfSeveral()
    {
        WindowHarness h;
        Fill(h);
        if (QTest::currentTestFailed()) return;
        QListWidget* list = h.backupList();
        QWidget* viewport = list->viewport();
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, Centre(list, 0));
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, Centre(list, 2));
        QCOMPARE(SelectedRows(list), (QList<int> {0, 2}));
        // On an unselected entry and on a selected one.
        for (int row : {1, 2}) {
            RightClick(list, row);
            h.form->findChild<QMenu*>(QStringLiteral("contextMenuFiles"))->hide();
            QCOMPARE(SelectedRows(list), (QList<int> {0, 2}));
        }
        // The left button still selects as before.
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, Centre(list, 1));
        QCOMPARE(SelectedRows(list), QList<int> {1});
    }

    void theWheelChangesTheIntervalOnlyWithTheFocus()
    {
        WindowHarness h;
        QComboBox* box = h.interval();
        auto* overwrite = h.check("cboxOverwrite");
        h.check("cboxSetForget")->setEnabled(true);
        h.check("cboxSetForget")->setChecked(true);  // enables the box, checks "Overwrite"
        box->setCurrentIndex(0);
        overwrite->setChecked(false);
        h.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(h.form.get()));
        h.button("btnBrowse")->setFocus();
        QTRY_VERIFY(h.button("btnBrowse")->hasFocus());

        // Scrolling the window past it: no new interval, no "Overwrite",
        // and the box does not take the focus.
        Wheel(box);
        QCOMPARE(box->currentIndex(), 0);
        QVERIFY(!overwrite->isChecked());
        QVERIFY(!box->hasFocus());

        // With the focus on it, the wheel picks the next interval.
        box->setFocus();
        QTRY_VERIFY(box->hasFocus());
        Wheel(box);
        QCOMPARE(box->currentText(), QStringLiteral("20 Minutes"));
        QVERIFY(overwrite->isChecked());
    }
};

QTEST_MAIN(TestMouse)
#include "test_mouse.moc"
