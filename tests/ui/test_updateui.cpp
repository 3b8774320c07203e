// The control-state refresh: every row of its decision table, driven by
// setting the job state and the controls, then asking for a refresh on the
// window thread (which runs it at once).
#include <QtTest>

#include "tests/ui/window_harness.h"

using tandrel::ui::testing::WindowHarness;

namespace {

const QStringList kAllButDelete {"btnStart",      "btnBrowse",          "btnAddFolder", "btnDestination",
                                 "rboxCD",        "rboxConsolidate",    "rboxDirCopy",  "cboxTime",
                                 "cboxOverwrite", "cboxSubDirectories", "cboxSetForget"};

QStringList Sorted(QStringList names)
{
    names.sort();
    return names;
}

QStringList Without(QStringList names, const QStringList& removed)
{
    for (const QString& name : removed) names.removeAll(name);
    return names;
}

// A copy in progress: the phase flags as the copy sets them.
void Copying(WindowHarness& h, int maximum, int value, bool barShown)
{
    h.jobs.foldersComplete = true;
    h.jobs.complete = false;
    h.bar()->setMaximum(maximum);
    h.bar()->setValue(value);
    h.bar()->setVisible(barShown);
}

void Resting(WindowHarness& h)
{
    h.jobs.foldersComplete = true;
    h.jobs.complete = true;
    h.bar()->hide();
}

}  // namespace

class TestUpdateUI : public QObject {
    Q_OBJECT

private slots:
    void rowOneEndsAFailedJob()
    {
        WindowHarness h;
        for (bool intervalEnabled : {false, true}) {
            h.setGovernedEnabled(false);
            h.interval()->setEnabled(intervalEnabled);
            h.form->setCursor(Qt::WaitCursor);
            Copying(h, 10, 4, true);
            h.bar()->setEnabled(false);
            h.jobs.hasErrored = true;
            h.form->ShowProgress();
            QVERIFY(!h.waitCursor());
            QVERIFY(!h.bar()->isVisible());
            QVERIFY(!h.bar()->isEnabled());  // its enabled state is left alone
            QCOMPARE(h.enabledGoverned(), Sorted(Without(kAllButDelete, {"cboxTime"}) +
                                                 (intervalEnabled ? QStringList {"cboxTime"} : QStringList {})));
            QVERIFY(!h.button("btnDelete")->isEnabled());
            QVERIFY(!h.jobs.hasErrored);
        }
        // The flag is cleared, so the next refresh follows another row (2).
        h.jobs.foldersComplete = false;
        h.form->ShowProgress();
        QVERIFY(h.enabledGoverned().isEmpty());
        QVERIFY(h.waitCursor());
    }

    void rowTwoLocksWhileGathering()
    {
        WindowHarness h;
        h.setGovernedEnabled(true);
        h.jobs.foldersComplete = false;
        h.jobs.complete = true;  // whatever the rest says
        h.bar()->show();
        h.bar()->setValue(3);
        h.form->ShowProgress();
        QVERIFY(h.waitCursor());
        QVERIFY(h.enabledGoverned().isEmpty());
        QVERIFY(h.bar()->isVisible());
        QCOMPARE(h.bar()->value(), 3);
    }

    void rowThreeStepsAndLeavesTheCursor()
    {
        WindowHarness h;
        for (bool wait : {true, false}) {
            h.setGovernedEnabled(true);
            wait ? h.form->setCursor(Qt::WaitCursor) : h.form->unsetCursor();
            Copying(h, 10, 3, true);
            h.bar()->setEnabled(false);
            h.form->ShowProgress();
            QCOMPARE(h.bar()->value(), 4);
            QVERIFY(h.bar()->isEnabled());
            QVERIFY(h.bar()->isVisible());
            QCOMPARE(h.waitCursor(), wait);
            QVERIFY(h.enabledGoverned().isEmpty());
        }
    }

    void rowThreeStepsTwiceOntoFullThenRowFour()
    {
        WindowHarness h;
        Copying(h, 5, 3, true);
        h.form->setCursor(Qt::WaitCursor);
        h.form->ShowProgress();
        QCOMPARE(h.bar()->value(), 5);  // 4 is Maximum - 1: stepped again
        QVERIFY(h.bar()->isVisible());

        h.interval()->setEnabled(false);
        h.form->ShowProgress();  // row 4
        QVERIFY(!h.bar()->isVisible());
        QVERIFY(!h.bar()->isEnabled());
        QVERIFY(!h.waitCursor());
        QCOMPARE(h.enabledGoverned(), Sorted(kAllButDelete));  // the interval box included
    }

    void maximumOne()
    {
        WindowHarness h;
        Copying(h, 1, 0, false);
        h.form->ShowProgress();  // row 6
        QVERIFY(h.bar()->isVisible());
        QCOMPARE(h.bar()->value(), 1);
        QVERIFY(h.waitCursor());
        QVERIFY(h.enabledGoverned().isEmpty());

        h.form->ShowProgress();  // row 4 although the copy has not ended
        QVERIFY(!h.bar()->isVisible());
        QCOMPARE(h.enabledGoverned(), Sorted(kAllButDelete));

        h.form->ShowProgress();  // still running: row 6 again
        QVERIFY(h.bar()->isVisible());
        QCOMPARE(h.bar()->value(), 1);
        QVERIFY(h.enabledGoverned().isEmpty());

        h.form->ShowProgress();  // row 4
        h.jobs.complete = true;
        h.form->ShowProgress();  // row 5
        QVERIFY(!h.bar()->isVisible());
        QVERIFY(!h.waitCursor());
    }

    void maximumZero()
    {
        WindowHarness h;
        Copying(h, 0, 0, false);
        h.form->ShowProgress();  // row 6: the step cannot pass 0
        QVERIFY(h.bar()->isVisible());
        QCOMPARE(h.bar()->value(), 0);
        h.form->ShowProgress();  // row 4
        QVERIFY(!h.bar()->isVisible());
        QCOMPARE(h.enabledGoverned(), Sorted(kAllButDelete));
    }

    void rowSixShowsWithoutEnabling()
    {
        WindowHarness h;
        Copying(h, 10, 0, false);
        h.bar()->setEnabled(false);
        h.form->ShowProgress();
        QVERIFY(h.bar()->isVisible());
        QVERIFY(!h.bar()->isEnabled());
        QCOMPARE(h.bar()->value(), 1);
        h.form->ShowProgress();  // row 3 enables it
        QVERIFY(h.bar()->isEnabled());
        QCOMPARE(h.bar()->value(), 2);
    }

    void hiddenWindowNeverCountsTheBarAsShown()
    {
        WindowHarness h;
        Copying(h, 3, 0, false);
        h.form->hide();
        for (int expected : {1, 2, 3, 3}) {
            h.form->ShowProgress();  // row 6 each time: steps once
            QCOMPARE(h.bar()->value(), expected);
            QVERIFY(!h.bar()->isVisible());
        }
        h.jobs.complete = true;
        h.form->ShowProgress();  // the first refresh after the end: row 5
        QVERIFY(!h.waitCursor());
        QVERIFY(h.bar()->isHidden());

        // Shown again during a copy, the bar that row 6 showed counts again.
        Copying(h, 10, 0, false);
        h.form->hide();
        h.form->ShowProgress();
        h.form->show();
        QVERIFY(h.bar()->isVisible());
        h.form->ShowProgress();  // row 3
        QCOMPARE(h.bar()->value(), 2);
        QVERIFY(h.bar()->isEnabled());
    }

    void rowFiveAComesBeforeTheListSizes()
    {
        WindowHarness h;
        h.setGovernedEnabled(true);
        h.check("cboxSetForget")->setChecked(true);
        h.interval()->setCurrentIndex(0);
        h.backupList()->addItem(QStringLiteral("/a"));
        h.backupList()->item(0)->setSelected(true);
        Resting(h);
        h.form->ShowProgress();  // the destination list is empty: 5a all the same
        QVERIFY(h.check("cboxSetForget")->isChecked());
        QCOMPARE(h.enabledGoverned(), Sorted((QStringList {"cboxTime", "cboxSetForget"})));
        QVERIFY(h.backupList()->selectedItems().isEmpty());

        // With "Auto Backup" disabled (as a row 2, 3 or 6 leaves it), the
        // interval box goes with it.
        h.jobs.foldersComplete = false;
        h.form->ShowProgress();
        Resting(h);
        h.form->ShowProgress();
        QVERIFY(h.check("cboxSetForget")->isChecked());
        QVERIFY(h.enabledGoverned().isEmpty());
    }

    void rowFiveBOpensFully()
    {
        WindowHarness h;
        h.backupList()->addItems({QStringLiteral("/a"), QStringLiteral("/b")});
        h.destinationList()->addItem(QStringLiteral("/dest/"));
        for (bool intervalEnabled : {false, true}) {
            h.setGovernedEnabled(false);
            h.interval()->setEnabled(intervalEnabled);
            h.backupList()->item(1)->setSelected(true);
            h.destinationList()->item(0)->setSelected(true);
            Resting(h);
            h.form->ShowProgress();
            QCOMPARE(h.enabledGoverned(), Sorted(QStringList {"btnDelete"} + Without(kAllButDelete, {"cboxTime"}) +
                                                 (intervalEnabled ? QStringList {"cboxTime"} : QStringList {})));
            QVERIFY(h.backupList()->selectedItems().isEmpty());
            QVERIFY(h.destinationList()->selectedItems().isEmpty());
        }
        // "Auto Backup" checked without an interval: 5a does not apply.
        h.check("cboxSetForget")->setChecked(true);
        h.form->ShowProgress();
        QVERIFY(h.check("cboxSetForget")->isChecked());
        QVERIFY(h.button("btnStart")->isEnabled());
    }

    void rowFiveCOpensForAdding()
    {
        WindowHarness h;
        for (bool overwriteEnabled : {false, true}) {
            h.setGovernedEnabled(true);
            h.check("cboxOverwrite")->setEnabled(overwriteEnabled);
            h.destinationList()->addItem(QStringLiteral("/dest/"));
            h.destinationList()->item(0)->setSelected(true);
            Resting(h);
            h.form->ShowProgress();  // backup list empty
            QStringList expected {"btnBrowse", "btnAddFolder", "btnDestination"};
            if (overwriteEnabled) expected << "cboxOverwrite";
            expected << "cboxSubDirectories";
            QCOMPARE(h.enabledGoverned(), Sorted(expected));
            QVERIFY(h.destinationList()->selectedItems().isEmpty());
            h.destinationList()->clear();
        }

        // Entries but no destination: "Remove" enabled, "Start" disabled.
        h.backupList()->addItem(QStringLiteral("/a"));
        h.backupList()->item(0)->setSelected(true);
        h.form->ShowProgress();
        QVERIFY(h.button("btnDelete")->isEnabled());
        QVERIFY(!h.button("btnStart")->isEnabled());
        QVERIFY(!h.radio("rboxDirCopy")->isEnabled());
        QVERIFY(h.backupList()->selectedItems().isEmpty());
        QVERIFY(h.radio("rboxDirCopy")->isChecked());
    }

    void rowFiveCUnchecksAutoBackupWithANestedRefresh()
    {
        WindowHarness h;
        h.setGovernedEnabled(true);
        h.check("cboxSetForget")->setChecked(true);  // enables "Every:", checks "Overwrite"
        QVERIFY(h.everyLabel()->isEnabled());
        QVERIFY(h.check("cboxOverwrite")->isChecked());
        h.timer->Start();
        h.backupList()->addItem(QStringLiteral("/a"));
        Resting(h);

        h.form->ShowProgress();  // no interval, no destination: 5c
        QVERIFY(!h.check("cboxSetForget")->isChecked());
        QVERIFY(!h.timer->IsActive());
        QVERIFY(!h.everyLabel()->isEnabled());
        QVERIFY(!h.interval()->isEnabled());
        QVERIFY(!h.check("cboxOverwrite")->isChecked());
        // The handler enabled "Start"; only the nested refresh disables it again.
        QVERIFY(!h.button("btnStart")->isEnabled());
        QVERIFY(h.button("btnDelete")->isEnabled());
        QVERIFY(h.jobs.complete && h.jobs.foldersComplete);
    }
};

QTEST_MAIN(TestUpdateUI)
#include "test_updateui.moc"
