// The "Exclusions" dialog: the common choices of what to leave out, the
// user's own rules, and a preview of what they leave out of the current
// backup list, counted on a worker by the gathering itself.
#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "engine/exclusions.h"
#include "engine/filesystem.h"
#include "engine/threads.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;
class QTimer;

namespace tandrel::ui {

class ExclusionsDialog : public QDialog {
    Q_OBJECT

public:
    // `entries` and `subdirectories`: the backup list as the window has it,
    // for the preview, which runs through `threads` on `fileSystem`.
    ExclusionsDialog(const ExclusionChoices& choices, std::vector<std::string> entries, bool subdirectories,
                     ThreadServices& threads, FileSystem& fileSystem, QWidget* parent = nullptr);

    // What the controls say now.
    ExclusionChoices Choices() const;
    // The preview line's text.
    QString PreviewText() const;
    // How long the preview waits after a change for the next one.
    static constexpr int kPreviewDelayMs = 250;

private:
    void ScheduleCount();
    void StartCount();
    void ShowCount(int serial, const QString& text);

    std::vector<std::string> entries_;
    bool subdirectories_;
    ThreadServices& threads_;
    FileSystem& fileSystem_;
    int serial_ = 0;  // of the latest count started; older ones are not shown

    QCheckBox* cboxTaggedCaches = nullptr;
    QCheckBox* cboxTrash = nullptr;
    QCheckBox* cboxHomeCache = nullptr;
    QCheckBox* cboxNodeModules = nullptr;
    QLabel* lblOwnRules = nullptr;
    QPlainTextEdit* txtOwnRules = nullptr;
    QLabel* lblPreview = nullptr;
    QDialogButtonBox* buttons = nullptr;
    QTimer* countDelay = nullptr;
};

}  // namespace tandrel::ui
