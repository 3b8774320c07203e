// UpdateUI: brings the controls into line with the phase of the current job.
// One decision table (docs/ARCHITECTURE.md, "The refresh"), its rows named
// here as there; the first row whose condition holds decides, and the
// effects listed in it are all that a refresh does. It runs once per copied
// file, so every step here is cheap when nothing changes.
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <initializer_list>

#include "ui/form1.h"

namespace {

template <typename Widgets>
void Enable(const Widgets& widgets, bool enabled)
{
    for (QWidget* widget : widgets) widget->setEnabled(enabled);
}
void Enable(std::initializer_list<QWidget*> widgets, bool enabled)
{
    Enable<std::initializer_list<QWidget*>>(widgets, enabled);
}

}  // namespace

void Form1::ListGovernedControls()
{
    governed_ = {btnDelete, btnStart,      btnBrowse,          btnAddFolder, btnDestination,
                 cboxTime,  cboxOverwrite, cboxSubDirectories, cboxSetForget};
    governed_.insert(governed_.end(), modeButtons_.begin(), modeButtons_.end());
}

void Form1::EnableGoverned(bool enabled, std::initializer_list<QWidget*> except)
{
    for (QWidget* widget : governed_)
        if (std::find(except.begin(), except.end(), widget) == except.end()) widget->setEnabled(enabled);
}

void Form1::StepProgress()
{
    // A progress bar paints itself on the spot whenever a step changes its
    // look. Refreshes come one per copied file, many of them in a row: the
    // bar is painted once for all of them, when the event loop comes round.
    progressBar1->setUpdatesEnabled(false);
    progressBar1->setValue(std::min(progressBar1->value() + 1, progressBar1->maximum()));
    progressBar1->setUpdatesEnabled(true);
}

void Form1::SetWaitCursor(bool wait)
{
    const bool waiting = testAttribute(Qt::WA_SetCursor) && cursor().shape() == Qt::WaitCursor;
    if (wait == waiting) return;
    if (wait)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void Form1::UpdateUI()
{
    // Row 1, Failed: a failed job ends.
    if (jobs_.hasErrored.load()) {
        SetWaitCursor(false);
        progressBar1->hide();
        EnableGoverned(true, {btnDelete, cboxTime});
        btnDelete->setEnabled(false);
        jobs_.hasErrored.store(false);
        return;
    }

    // Row 2, Gathering: a gathering walks.
    if (!jobs_.foldersComplete.load()) {
        SetWaitCursor(true);
        EnableGoverned(false);
        return;
    }

    // The bar counts as shown only while the window is shown as well.
    const bool barShown = progressBar1->isVisible();

    // Row 3, Copying: a copy runs and the bar is not yet (nearly) full.
    if (barShown && progressBar1->value() < progressBar1->maximum() - 1) {
        progressBar1->setEnabled(true);
        StepProgress();
        if (progressBar1->value() == progressBar1->maximum() - 1) StepProgress();
        EnableGoverned(false);
        return;
    }

    // Row 4, BarFull: the bar is full or nearly so.
    if (barShown) {
        SetWaitCursor(false);
        progressBar1->setEnabled(false);
        progressBar1->hide();
        EnableGoverned(true, {btnDelete});
        btnDelete->setEnabled(false);
        return;
    }

    // Row 6, CopyingBarHidden: a copy runs with the bar hidden. Tested before
    // row 5, whose condition is its opposite.
    if (!jobs_.complete.load()) {
        SetWaitCursor(true);
        progressBar1->show();
        StepProgress();
        EnableGoverned(false);
        return;
    }

    // Row 5, AtRest.
    RefreshAtRest();
}

// Row 5, AtRest, and its rows 5a-5c.
void Form1::RefreshAtRest()
{
    SetWaitCursor(false);
    progressBar1->hide();

    // Row 5a, AutoBackupSet: an automatic backup is set up.
    if (cboxSetForget->isChecked() && cboxTime->currentIndex() != -1) {
        cboxTime->setEnabled(cboxSetForget->isEnabled());
        EnableGoverned(false, {cboxTime, cboxSetForget});
        listboxFilestoBackup->clearSelection();
        listBoxDestinationFolder->clearSelection();
        return;
    }

    // Row 5b, ListsFilled: both lists hold entries.
    if (listboxFilestoBackup->count() > 0 && listBoxDestinationFolder->count() > 0) {
        EnableGoverned(true, {cboxTime});
        listboxFilestoBackup->clearSelection();
        listBoxDestinationFolder->clearSelection();
        return;
    }

    // Row 5c, ListEmpty: a list is empty. Unchecking "Auto Backup" runs its handler at
    // once, and with it a nested refresh, before the enabling below.
    Enable({btnStart, cboxTime, cboxSetForget}, false);
    Enable(modeButtons_, false);
    cboxSetForget->setChecked(false);
    Enable({btnDestination, btnBrowse, btnAddFolder, cboxSubDirectories}, true);
    listboxFilestoBackup->clearSelection();
    listBoxDestinationFolder->clearSelection();
    btnDelete->setEnabled(listboxFilestoBackup->count() > 0);
}
