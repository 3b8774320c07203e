// The "Exclusions" dialog of the File menu, and what its choices change: the
// rules of every gathering from then on, and the backup list gathered again.
#include <QCheckBox>
#include <QListWidget>

#include "ui/exclusionsdialog.h"
#include "ui/form1.h"
#include "ui/jobcontext.h"

void Form1::ApplyExclusions(const tandrel::ExclusionChoices& choices)
{
    exclusionChoices_ = choices;
    context_->engine.SetExclusions(std::make_shared<const tandrel::Exclusions>(choices.ToExclusions()));
}

void Form1::menuItemExclusions_Click()
{
    auto* dialog = new tandrel::ui::ExclusionsDialog(exclusionChoices_, Entries(listboxFilestoBackup),
                                                     cboxSubDirectories->isChecked(), threads_, fileSystem_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        const tandrel::ExclusionChoices choices = dialog->Choices();
        if (settings_) choices.Save(*settings_, exclusionsFile_);
        ApplyExclusions(choices);
        RegatherBackupList();
    });
    dialog->open();
}

void Form1::RegatherBackupList()
{
    // While a job runs the list stays as it is; the rules hold from the next
    // gathering on.
    if (listboxFilestoBackup->count() == 0 || !jobs_.complete || !jobs_.foldersComplete) return;
    std::vector<std::string> entries = Entries(listboxFilestoBackup);
    listboxFilestoBackup->clear();
    jobs_.dragNdrop = true;
    jobs_.ResetLists();
    BeginGetFiles(std::move(entries), cboxSubDirectories->isChecked());
    ClosingRefresh();
}
