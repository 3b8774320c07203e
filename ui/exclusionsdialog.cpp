#include "ui/exclusionsdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <any>

#include "engine/engine.h"

namespace tandrel::ui {

namespace {

// The preview's gathering shows nothing and asks nothing: what can't be read
// is passed by, as "Yes" to going on would.
class QuietHost : public JobHost {
public:
    void ShowProgress() override {}
    void ReturnFiles(std::vector<std::string>, std::string) override {}
    DialogResult Show(const MessageBoxRequest& box) override
    {
        return box.buttons == MessageBoxButtons::YesNo ? DialogResult::Yes : DialogResult::OK;
    }
};

QCheckBox* NamedCheckBox(QWidget* parent, const char* name, const QString& text, const QString& accessible)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setAccessibleName(accessible);
    return box;
}

}  // namespace

ExclusionsDialog::ExclusionsDialog(const ExclusionChoices& choices, std::vector<std::string> entries,
                                   bool subdirectories, ThreadServices& threads, FileSystem& fileSystem,
                                   QWidget* parent)
    : QDialog(parent), entries_(std::move(entries)), subdirectories_(subdirectories), threads_(threads),
      fileSystem_(fileSystem)
{
    setObjectName(QStringLiteral("ExclusionsDialog"));
    setWindowTitle(QStringLiteral("Exclusions"));
    setAccessibleName(QStringLiteral("Exclusions"));
    auto* layout = new QVBoxLayout(this);

    cboxTaggedCaches =
        NamedCheckBox(this, "cboxTaggedCaches", QStringLiteral("Leave out caches tagged with CACHEDIR.TAG"),
                      QStringLiteral("Leave out tagged caches"));
    cboxTrash = NamedCheckBox(this, "cboxTrash", QStringLiteral("Leave out the desktop's Trash"),
                              QStringLiteral("Leave out the Trash"));
    cboxHomeCache = NamedCheckBox(this, "cboxHomeCache", QStringLiteral("Leave out ~/.cache"),
                                  QStringLiteral("Leave out the home cache folder"));
    cboxNodeModules = NamedCheckBox(this, "cboxNodeModules", QStringLiteral("Leave out node_modules/ folders"),
                                    QStringLiteral("Leave out node_modules folders"));
    cboxTaggedCaches->setChecked(choices.taggedCaches);
    cboxTrash->setChecked(choices.trash);
    cboxHomeCache->setChecked(choices.homeCache);
    cboxNodeModules->setChecked(choices.nodeModules);
    for (QCheckBox* box : {cboxTaggedCaches, cboxTrash, cboxHomeCache, cboxNodeModules}) {
        layout->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &ExclusionsDialog::ScheduleCount);
    }

    lblOwnRules = new QLabel(QStringLiteral("Your own rules, one a line, as in .gitignore:"), this);
    lblOwnRules->setObjectName(QStringLiteral("lblOwnRules"));
    lblOwnRules->setAccessibleName(QStringLiteral("Your own rules"));
    txtOwnRules = new QPlainTextEdit(this);
    txtOwnRules->setObjectName(QStringLiteral("txtOwnRules"));
    txtOwnRules->setAccessibleName(QStringLiteral("Your own rules"));
    txtOwnRules->setAccessibleDescription(
        QStringLiteral("One rule a line: a bare name at any depth, / at the start for the entry's own folder, "
                       "/ at the end for folders only, ** for any folders, ! to take a rule back, # a comment"));
    txtOwnRules->setPlainText(QString::fromStdString(choices.ownRules));
    lblOwnRules->setBuddy(txtOwnRules);
    connect(txtOwnRules, &QPlainTextEdit::textChanged, this, &ExclusionsDialog::ScheduleCount);
    layout->addWidget(lblOwnRules);
    layout->addWidget(txtOwnRules);

    lblPreview = new QLabel(QStringLiteral("Counting what would be left out\u2026"), this);
    lblPreview->setObjectName(QStringLiteral("lblPreview"));
    lblPreview->setAccessibleName(QStringLiteral("What would be left out"));
    layout->addWidget(lblPreview);

    buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttons"));
    buttons->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("Save the exclusions"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    countDelay = new QTimer(this);
    countDelay->setSingleShot(true);
    countDelay->setInterval(kPreviewDelayMs);
    connect(countDelay, &QTimer::timeout, this, &ExclusionsDialog::StartCount);
    StartCount();
}

ExclusionChoices ExclusionsDialog::Choices() const
{
    ExclusionChoices choices;
    choices.taggedCaches = cboxTaggedCaches->isChecked();
    choices.trash = cboxTrash->isChecked();
    choices.homeCache = cboxHomeCache->isChecked();
    choices.nodeModules = cboxNodeModules->isChecked();
    choices.ownRules = txtOwnRules->toPlainText().toStdString();
    return choices;
}

QString ExclusionsDialog::PreviewText() const
{
    return lblPreview->text();
}

void ExclusionsDialog::ScheduleCount()
{
    countDelay->start();
}

void ExclusionsDialog::StartCount()
{
    const int serial = ++serial_;
    auto exclusions = std::make_shared<const Exclusions>(Choices().ToExclusions());
    FileSystem& fs = fileSystem_;
    // A gathering of its own, on job state of its own: the window's lists
    // and the walks of its jobs are not touched.
    auto count = [&fs, exclusions, entries = entries_, subdirs = subdirectories_]() -> std::any {
        JobState jobs;
        QuietHost host;
        BackupEngine engine(jobs, host, fs);
        engine.SetExclusions(exclusions);
        engine.GetFiles(entries, subdirs);
        return LeftOutPreview(TallyLeftOut(fs, engine.LeftOut(), PathStyle::Native()));
    };
    QPointer<ExclusionsDialog> self(this);
    std::shared_ptr<RunningCalls> calls = threads_.Calls();
    threads_.BeginInvoke(std::move(count), [self, serial, calls](const AsyncHandle& handle) {
        QString text;
        try {
            text = QString::fromStdString(std::any_cast<std::string>(handle->EndInvoke()));
        } catch (const std::exception& failure) {
            text = QString::fromStdString(std::string("The count failed: ") + failure.what());
        }
        calls->Post([self, serial, text] {
            if (self) self->ShowCount(serial, text);
        });
    });
}

void ExclusionsDialog::ShowCount(int serial, const QString& text)
{
    if (serial == serial_) lblPreview->setText(text);
}

}  // namespace tandrel::ui
