// The "Restore" dialog: what a destination holds, as it is now or as it was
// at a time, the copies kept of the selected file, and the restore of what is
// selected to where it came from or into a folder. Reading the destination
// and the restore run on workers; the dialog only shows their progress.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/filesystem.h"
#include "engine/restore.h"
#include "engine/threads.h"
#include "ui/seams.h"

class QCheckBox;
class QDateTimeEdit;
class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tandrel::ui {

class HeldTree;

class RestoreDialog : public QDialog {
    Q_OBJECT

public:
    // What the dialog is given from outside; the window's own seams.
    struct Services {
        ThreadServices& threads;
        FileSystem& fileSystem;
        DialogRunner& dialogs;
        MessageBoxes& messageBoxes;
    };

    // Starts reading what `destination` holds at once.
    RestoreDialog(std::string destination, Services services, QWidget* parent = nullptr);
    ~RestoreDialog() override;

    const std::string& Destination() const { return destination_; }
    // What was read of the destination; null until it is read.
    const HeldTree* Tree() const { return tree_.get(); }
    bool Restoring() const { return run_ != nullptr; }
    // The time "As it was on" stands for; none: now, the current copies.
    std::optional<std::int64_t> ChosenTime() const;

public slots:
    // While a restore runs, a stop after the file it is at; else closes.
    void reject() override;

private:
    struct Run;
    struct Outcome;
    void BuildControls();
    void StartReading();
    void ShowContents(std::shared_ptr<const HeldTree> tree);
    void ReadFailed(const std::string& what);
    // `top`: an item of the tree's top level.
    QTreeWidgetItem* MakeItem(int node, bool top = false);
    // Makes a folder item's children, on its first opening.
    void Populate(QTreeWidgetItem* item);
    // Hides what was not held at the chosen time, and shows the copy of
    // each file that was current then.
    void ShowAsOfChosenTime();
    void ShowItemAt(QTreeWidgetItem* item, std::optional<std::int64_t> at);
    void ShowCopies();
    void copyActivated(QTreeWidgetItem* item);
    void UpdateButtons();
    std::vector<std::string> SelectedPaths() const;
    void btnRestore_Click();
    void btnRestoreTo_Click();
    void StartRestore(std::string to);
    void ShowProgress(std::int64_t done, std::int64_t total);
    void ShowWaiting();
    void Finished(const AsyncHandle& handle);

    std::string destination_;
    Services services_;
    std::shared_ptr<const HeldTree> tree_;
    std::int64_t opened_ = 0;   // the time the dialog opened (s since 1970)
    std::shared_ptr<Run> run_;  // the restore that runs; null: none
    QString statusAtRest_;      // what the status line says while no restore runs

    QLabel* lblDestination = nullptr;
    QLabel* lblAsOf = nullptr;
    QDateTimeEdit* dtpAsOf = nullptr;
    QTreeWidget* treeContents = nullptr;
    QLabel* lblCopies = nullptr;
    QTreeWidget* listCopies = nullptr;
    QCheckBox* cboxReplace = nullptr;
    QProgressBar* progressRestore = nullptr;
    QLabel* lblStatus = nullptr;
    QPushButton* btnRestore = nullptr;
    QPushButton* btnRestoreTo = nullptr;
    QPushButton* btnClose = nullptr;
    QFileDialog* restoreFolder = nullptr;  // made on first use
};

}  // namespace tandrel::ui
