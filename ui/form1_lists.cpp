// Saving and loading backup lists. The file is read and written on workers;
// the dialogs, the question to the user, the list box and the job-state reset
// happen on the window thread.
#include <QCheckBox>
#include <QFileDialog>
#include <QListWidget>
#include <any>
#include <exception>
#include <stdexcept>

#include "ui/failuretext.h"
#include "ui/form1.h"
#include "listfile/listfile.h"
#include "ui/pathtext.h"

using tandrel::DialogResult;
using tandrel::MessageBoxButtons;
using tandrel::MessageBoxIcon;
using tandrel::MessageBoxRequest;
using tandrel::ui::FromQtPath;
using tandrel::ui::ToPath;

namespace tandrel::ui {
void ForgetFileName(QFileDialog& dialog);  // form1_edit.cpp
}  // namespace tandrel::ui

namespace {

constexpr const char* kListFilter = "Backup List (*.lst)";
constexpr const char* kNotSavedTitle = "Backup list not saved";
constexpr const char* kNotLoadedTitle = "Backup list not loaded";

// A list whose paths add up to more than this is refused rather than built
// in memory (a file can repeat one long text many times over).
constexpr std::uint64_t kMaxLoadedBytes = 64ull << 20;

// What a load carries from its start to its completion.
struct LoadCall {
    Form1::DeserializeDelegate deserialize;
    QString filename;
};

std::string Reason(const std::exception_ptr& failure)
{
    return tandrel::ui::FailureText(failure, "unknown error");
}

MessageBoxRequest ListFileFailure(const char* action, const QString& filename, const std::string& reason,
                                  const char* title)
{
    const std::string text =
        std::string("The backup list ") + action + " \"" + filename.toStdString() + "\".\n\n" + reason;
    return {text, title, MessageBoxButtons::OK, MessageBoxIcon::Warning};
}

}  // namespace

void Form1::Serialize(std::string filename, std::vector<std::string> data)
{
    tandrel::Serialize(filename, data);
}

// Only the present entries: absent slots of a list never reach a gathering.
std::vector<std::string> Form1::Deserialize(std::string filename)
{
    tandrel::BackupList list = tandrel::Deserialize(filename);
    if (list.PresentBytes() > kMaxLoadedBytes)
        throw std::length_error("the list holds more than " + std::to_string(kMaxLoadedBytes >> 20) + " MiB of paths");
    return std::move(list).PresentEntries();
}

// "Save Backup list": a new dialog for each save; the write runs on a worker
// over a copy of the entries, and a failure is shown once it has ended.
void Form1::menuItemSave_Click()
{
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QString::fromLatin1(kListFilter));
    dialog.setDefaultSuffix(QStringLiteral("lst"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);  // as the window's other dialogs
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    const std::optional<QStringList> chosen = dialogs_.Run(dialog);
    if (!chosen || chosen->isEmpty()) return;

    const QString filename = FromQtPath(chosen->front());
    listFile_ = filename;
    SerializeDelegate serialize = &Form1::Serialize;
    std::vector<std::string> data = Entries(listboxFilestoBackup);
    threads_.BeginInvoke(
        [serialize, path = ToPath(filename), data = std::move(data)]() -> std::any {
            serialize(path, data);
            return {};
        },
        [window = Link(), filename](const tandrel::AsyncHandle& ar) {
            try {
                ar->EndInvoke();
            } catch (...) {
                const MessageBoxRequest box = ListFileFailure("could not be saved as", filename,
                                                              Reason(std::current_exception()), kNotSavedTitle);
                window.Post([box](Form1& form) { form.messageBoxes_.Show(&form, box); });
            }
        });
}

// "Load Backup list...".
void Form1::menuItemLoad_Click()
{
    openFileDialog1->setNameFilter(QString::fromLatin1(kListFilter));
    openFileDialog1->setFileMode(QFileDialog::ExistingFile);
    const std::optional<QStringList> chosen = dialogs_.Run(*openFileDialog1);
    if (!chosen || chosen->isEmpty())
        tandrel::ui::ForgetFileName(*openFileDialog1);
    else
        BeginDeserialize(FromQtPath(chosen->front()));
    ClosingRefresh();
}

void Form1::BeginDeserialize(const QString& filename)
{
    LoadCall load {&Form1::Deserialize, filename};
    threads_.BeginInvoke(
        [deserialize = load.deserialize, path = ToPath(filename)]() -> std::any { return deserialize(path); },
        OnWindow(&Form1::DeserializeCallback), load);
}

// Completes a load on the window thread, where the load's completion posts
// it: a failed read changes nothing; otherwise the job lists are rebuilt from
// the loaded entries, optionally behind the current ones.
void Form1::DeserializeCallback(const tandrel::AsyncHandle& ar)
{
    const auto& load = std::any_cast<const LoadCall&>(ar->AsyncState());
    std::vector<std::string> loaded;
    try {
        loaded = std::any_cast<std::vector<std::string>>(ar->EndInvoke());
    } catch (...) {
        messageBoxes_.Show(this, ListFileFailure("could not be loaded from", load.filename,
                                                 Reason(std::current_exception()), kNotLoadedTitle));
        return;
    }

    jobs_.ResetLists();
    jobs_.filelistLoad = true;
    listFile_ = load.filename;

    std::vector<std::string> entries;
    if (listboxFilestoBackup->count() > 0) {
        const DialogResult answer =
            messageBoxes_.Show(this, {tandrel::text::kRemoveCurrentText, tandrel::text::kWarningTitle,
                                      MessageBoxButtons::YesNo, MessageBoxIcon::Warning});
        if (answer == DialogResult::Yes) {
            listboxFilestoBackup->clear();
            entries = std::move(loaded);
        } else {
            entries = Entries(listboxFilestoBackup);
            entries.insert(entries.end(), std::make_move_iterator(loaded.begin()),
                           std::make_move_iterator(loaded.end()));
            listboxFilestoBackup->clear();
        }
    } else {
        entries = std::move(loaded);
    }

    BeginGetFiles(std::move(entries), cboxSubDirectories->isChecked());
    ClosingRefresh();
}
