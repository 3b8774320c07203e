#include "ui/restoredialog.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <any>
#include <mutex>
#include <set>

#include "engine/messages.h"
#include "support/quoted.h"
#include "ui/failuretext.h"
#include "ui/heldtree.h"
#include "ui/pathtext.h"

namespace tandrel::ui {

using support::Quoted;

// The restore that runs: what the worker tells the dialog, and the stop.
struct RestoreDialog::Run {
    std::string to;  // empty: each file's original place
    std::optional<std::int64_t> at;
    std::atomic<bool> stop {false};
    std::atomic<std::int64_t> done {0};
    std::atomic<std::int64_t> total {0};
    std::atomic<bool> progressPosted {false};  // a progress report waits for the window thread
    std::atomic<bool> waitingPosted {false};
};

struct RestoreDialog::Outcome {
    RestoreSummary summary;
    std::vector<std::string> failures;
};

namespace {

constexpr const char* kTitle = "Restore";
constexpr int kNodeRole = Qt::UserRole;
constexpr int kPopulatedRole = Qt::UserRole + 1;
constexpr int kModifiedRole = Qt::UserRole;
// A box lists at most this many failures or unmatched paths.
constexpr std::size_t kListedAtMost = 20;
constexpr int kProgressSteps = 1000;
constexpr const char* kNoIndexTip =
    "This backup does not record where its files came from (an older Tandrel made it): "
    "use Restore To\u2026 to restore them into a folder.";
constexpr const char* kRestoreTip = "Put the selected files back where they came from.";

QString TimeText(std::int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString ModifiedText(std::int64_t nanoseconds)
{
    return QDateTime::fromMSecsSinceEpoch(nanoseconds / 1000000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString SizeText(std::uint64_t bytes)
{
    return QLocale().formattedDataSize(static_cast<qint64>(bytes));
}

std::string Count(std::int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// `items` one a line, at most kListedAtMost of them.
void AddList(std::string& text, const std::vector<std::string>& items, bool quoted)
{
    for (std::size_t i = 0; i < items.size() && i < kListedAtMost; ++i)
        text += "\n" + (quoted ? Quoted(items[i]) : items[i]);
    if (items.size() > kListedAtMost) text += "\n\u2026 and " + std::to_string(items.size() - kListedAtMost) + " more";
}

template <typename W>
W* Named(W* widget, const char* name, const QString& accessible)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setAccessibleName(accessible);
    return widget;
}

}  // namespace

RestoreDialog::RestoreDialog(std::string destination, Services services, QWidget* parent)
    : QDialog(parent), destination_(std::move(destination)), services_(services),
      opened_(QDateTime::currentSecsSinceEpoch())
{
    setObjectName(QStringLiteral("RestoreDialog"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setAccessibleName(QString::fromLatin1(kTitle));
    BuildControls();
    resize(680, 600);
    StartReading();
}

RestoreDialog::~RestoreDialog()
{
    // A restore still running stops after the file it is at.
    if (run_) run_->stop = true;
}

void RestoreDialog::BuildControls()
{
    auto* layout = new QVBoxLayout(this);
    lblDestination = Named(new QLabel(QStringLiteral("Backup in ") + FromPath(Quoted(destination_)), this),
                           "lblDestination", QStringLiteral("Destination"));
    lblDestination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblDestination);

    auto* row = new QHBoxLayout;
    lblAsOf = Named(new QLabel(QStringLiteral("As it was on"), this), "lblAsOf", QStringLiteral("As it was on"));
    dtpAsOf = Named(new QDateTimeEdit(QDateTime::fromSecsSinceEpoch(opened_), this), "dtpAsOf",
                    QStringLiteral("As it was on"));
    dtpAsOf->setAccessibleDescription(QStringLiteral("The time to restore the state of; now: the current copies"));
    dtpAsOf->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    dtpAsOf->setCalendarPopup(true);
    lblAsOf->setBuddy(dtpAsOf);
    row->addWidget(lblAsOf);
    row->addWidget(dtpAsOf);
    row->addStretch();
    layout->addLayout(row);

    auto* splitter = Named(new QSplitter(Qt::Vertical, this), "splitter", QStringLiteral("Contents and copies"));
    treeContents = Named(new QTreeWidget(splitter), "treeContents", QStringLiteral("What the backup holds"));
    treeContents->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Modified")});
    treeContents->setSelectionMode(QAbstractItemView::ExtendedSelection);
    treeContents->setUniformRowHeights(true);
    treeContents->header()->setStretchLastSection(false);
    treeContents->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    treeContents->header()->resizeSection(1, 90);
    treeContents->header()->resizeSection(2, 150);

    auto* copies = new QWidget(splitter);
    copies->setObjectName(QStringLiteral("copies"));
    copies->setAccessibleName(QStringLiteral("Copies"));
    auto* copiesLayout = new QVBoxLayout(copies);
    copiesLayout->setContentsMargins(0, 0, 0, 0);
    lblCopies = Named(new QLabel(copies), "lblCopies", QStringLiteral("Copies of the selected file"));
    listCopies = Named(new QTreeWidget(copies), "listCopies", QStringLiteral("Copies of the selected file"));
    listCopies->setHeaderLabels({QStringLiteral("Copy"), QStringLiteral("Modified"), QStringLiteral("Size")});
    listCopies->setRootIsDecorated(false);
    listCopies->setAccessibleDescription(
        QStringLiteral("The copy in bold is the one a restore takes; activate a copy to restore as it was then"));
    listCopies->header()->resizeSection(0, 260);
    listCopies->header()->resizeSection(1, 150);
    lblCopies->setBuddy(listCopies);
    copiesLayout->addWidget(lblCopies);
    copiesLayout->addWidget(listCopies);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    cboxReplace = Named(new QCheckBox(QStringLiteral("Replace existing files"), this), "cboxReplace",
                        QStringLiteral("Replace existing files"));
    cboxReplace->setAccessibleDescription(
        QStringLiteral("On: a file that differs is replaced, after it is kept in the versions folder. Off: it "
                       "is kept, and the restored copy placed beside it"));
    layout->addWidget(cboxReplace);

    progressRestore = Named(new QProgressBar(this), "progressRestore", QStringLiteral("Restore progress"));
    progressRestore->setTextVisible(false);
    progressRestore->hide();
    lblStatus = Named(new QLabel(this), "lblStatus", QStringLiteral("Restore status"));
    layout->addWidget(progressRestore);
    layout->addWidget(lblStatus);

    auto* buttons = new QHBoxLayout;
    btnRestore = Named(new QPushButton(QStringLiteral("Restore"), this), "btnRestore",
                       QStringLiteral("Restore to the original places"));
    btnRestoreTo = Named(new QPushButton(QStringLiteral("Restore To\u2026"), this), "btnRestoreTo",
                         QStringLiteral("Restore into a folder"));
    btnClose = Named(new QPushButton(QStringLiteral("Close"), this), "btnClose", QStringLiteral("Close"));
    btnRestoreTo->setToolTip(
        QStringLiteral("Restore the selected files into a folder you pick, keeping their "
                       "layout below it."));
    buttons->addWidget(btnRestore);
    buttons->addWidget(btnRestoreTo);
    buttons->addStretch();
    buttons->addWidget(btnClose);
    layout->addLayout(buttons);
    btnRestore->setDefault(true);
    treeContents->setFocus();
    UpdateButtons();

    connect(dtpAsOf, &QDateTimeEdit::dateTimeChanged, this, &RestoreDialog::ShowAsOfChosenTime);
    connect(treeContents, &QTreeWidget::itemExpanded, this, &RestoreDialog::Populate);
    connect(treeContents, &QTreeWidget::currentItemChanged, this, &RestoreDialog::ShowCopies);
    connect(treeContents, &QTreeWidget::itemSelectionChanged, this, &RestoreDialog::UpdateButtons);
    connect(listCopies, &QTreeWidget::itemActivated, this, &RestoreDialog::copyActivated);
    connect(btnRestore, &QPushButton::clicked, this, &RestoreDialog::btnRestore_Click);
    connect(btnRestoreTo, &QPushButton::clicked, this, &RestoreDialog::btnRestoreTo_Click);
    connect(btnClose, &QPushButton::clicked, this, &RestoreDialog::reject);
}

std::optional<std::int64_t> RestoreDialog::ChosenTime() const
{
    const std::int64_t chosen = dtpAsOf->dateTime().toSecsSinceEpoch();
    if (chosen >= opened_) return std::nullopt;
    return chosen;
}

void RestoreDialog::StartReading()
{
    lblStatus->setText(QStringLiteral("Reading what the backup holds\u2026"));
    FileSystem& fs = services_.fileSystem;
    auto read = [&fs, destination = destination_]() -> std::any {
        auto contents =
            std::make_shared<const BackupContents>(BackupContents::Read(fs, destination, PathStyle::Native()));
        return HeldTree::Build(std::move(contents), PathStyle::Native());
    };
    QPointer<RestoreDialog> self(this);
    std::shared_ptr<RunningCalls> calls = services_.threads.Calls();
    services_.threads.BeginInvoke(std::move(read), [self, calls](const AsyncHandle& handle) {
        std::shared_ptr<const HeldTree> tree;
        std::string failure;
        try {
            tree = std::any_cast<std::shared_ptr<const HeldTree>>(handle->EndInvoke());
        } catch (...) {
            failure = FailureText(std::current_exception(), "An unknown error ended the reading.");
        }
        calls->Post([self, tree, failure] {
            if (!self) return;
            if (tree)
                self->ShowContents(tree);
            else
                self->ReadFailed(failure);
        });
    });
}

void RestoreDialog::ReadFailed(const std::string& what)
{
    lblStatus->clear();
    services_.messageBoxes.Show(
        this, MessageBoxRequest {"What " + Quoted(destination_) + " holds can't be read: " + what, kTitle,
                                 MessageBoxButtons::OK, MessageBoxIcon::Warning});
    QDialog::reject();
}

void RestoreDialog::ShowContents(std::shared_ptr<const HeldTree> tree)
{
    tree_ = std::move(tree);
    QList<QTreeWidgetItem*> top;
    for (int node : tree_->Roots()) top.push_back(MakeItem(node, true));
    treeContents->addTopLevelItems(top);
    // A lone top-level folder is opened.
    if (top.size() == 1) top.front()->setExpanded(true);
    const std::size_t files = tree_->Contents().Files().size();
    QString status = FromText(Count(static_cast<std::int64_t>(files), "file", "files") + " in the backup");
    if (files == 0)
        status = QStringLiteral("The backup holds no files.");
    else if (!tree_->Contents().HasIndex())
        status += QStringLiteral(", by their place in it: it does not record where they came from");
    // What could not be read is told, and listed in the tooltip.
    const std::vector<std::string>& problems = tree_->Contents().Problems();
    if (!problems.empty()) {
        status += FromText("; " + Count(static_cast<std::int64_t>(problems.size()), "place", "places") +
                           " below the destination could not be read, so files may be missing");
        std::string list = "Could not be read:";
        AddList(list, problems, false);
        lblStatus->setToolTip(FromText(list));
    }
    statusAtRest_ = status;
    lblStatus->setText(status);
    ShowAsOfChosenTime();
}

QTreeWidgetItem* RestoreDialog::MakeItem(int node, bool top)
{
    // At the top, a folder that holds only one folder is shown as one with
    // it, by its path: "/home/ann/Documents", not "/" > "home" > "ann" > ...
    auto onlyFolder = [this](int index) {
        const std::vector<int>& children = tree_->At(index).children;
        return children.size() == 1 && !tree_->At(children.front()).file ? children.front() : -1;
    };
    if (top && !tree_->At(node).file)
        for (int next = onlyFolder(node); next >= 0; next = onlyFolder(node)) node = next;
    const HeldTree::Node& held = tree_->At(node);
    auto* item = new QTreeWidgetItem(QStringList {FromPath(top && !held.file ? held.path : held.name)});
    item->setData(0, kNodeRole, node);
    if (held.file) {
        item->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
        QString tip = QStringLiteral("In the backup: ") + FromPath(held.file->target);
        if (!held.file->source.empty()) tip = QStringLiteral("From ") + FromPath(held.file->source) + "\n" + tip;
        item->setToolTip(0, tip);
    } else {
        item->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        item->setToolTip(0, FromPath(held.path));
    }
    ShowItemAt(item, ChosenTime());
    return item;
}

void RestoreDialog::Populate(QTreeWidgetItem* item)
{
    if (!tree_ || item->data(0, kPopulatedRole).toBool()) return;
    item->setData(0, kPopulatedRole, true);
    QList<QTreeWidgetItem*> children;
    for (int child : tree_->At(item->data(0, kNodeRole).toInt()).children) children.push_back(MakeItem(child));
    item->addChildren(children);
}

void RestoreDialog::ShowItemAt(QTreeWidgetItem* item, std::optional<std::int64_t> at)
{
    const int node = item->data(0, kNodeRole).toInt();
    const bool held = tree_->HeldAt(node, at);
    item->setHidden(!held);
    if (!held) item->setSelected(false);
    if (const HeldCopy* copy = held ? tree_->CopyOf(node, at) : nullptr) {
        item->setText(1, SizeText(copy->size));
        item->setText(2, ModifiedText(copy->modified));
    }
}

void RestoreDialog::ShowAsOfChosenTime()
{
    if (tree_) {
        const std::optional<std::int64_t> at = ChosenTime();
        for (QTreeWidgetItemIterator it(treeContents); *it; ++it) ShowItemAt(*it, at);
    }
    ShowCopies();
    UpdateButtons();
}

void RestoreDialog::ShowCopies()
{
    listCopies->clear();
    QTreeWidgetItem* item = treeContents->currentItem();
    const int node = item ? item->data(0, kNodeRole).toInt() : -1;
    const HeldFile* file = tree_ && item && !item->isHidden() ? tree_->At(node).file : nullptr;
    if (!file) {
        lblCopies->setText(QStringLiteral("Copies of the selected file:"));
        return;
    }
    lblCopies->setText(QStringLiteral("Copies of ") + FromPath(Quoted(tree_->At(node).name)) + ":");
    const HeldCopy* chosen = tree_->CopyOf(node, ChosenTime());
    for (const HeldCopy& copy : file->copies) {
        const QString kind =
            copy.keptAt == 0 ? QStringLiteral("Current copy") : QStringLiteral("Replaced ") + TimeText(copy.keptAt);
        auto* row = new QTreeWidgetItem(listCopies, {kind, ModifiedText(copy.modified), SizeText(copy.size)});
        row->setData(0, kModifiedRole, static_cast<qlonglong>(copy.modified));
        row->setToolTip(0, FromPath(copy.path));
        if (&copy != chosen) continue;
        QFont bold = row->font(0);
        bold.setBold(true);
        for (int column = 0; column < 3; ++column) row->setFont(column, bold);
        listCopies->setCurrentItem(row);
    }
}

void RestoreDialog::copyActivated(QTreeWidgetItem* row)
{
    // As it was when that copy was made: the second of its modification
    // time, which a copy made within it counts as not after.
    const qlonglong modified = row->data(0, kModifiedRole).toLongLong();
    const qlonglong seconds = modified / 1000000000 - (modified % 1000000000 < 0 ? 1 : 0);
    dtpAsOf->setDateTime(QDateTime::fromSecsSinceEpoch(seconds));
}

std::vector<std::string> RestoreDialog::SelectedPaths() const
{
    std::vector<std::string> paths;
    if (!tree_) return paths;
    std::set<std::string> seen;
    for (QTreeWidgetItemIterator it(treeContents, QTreeWidgetItemIterator::Selected); *it; ++it) {
        if ((*it)->isHidden()) continue;
        // What a selected folder holds comes with it.
        bool within = false;
        for (QTreeWidgetItem* up = (*it)->parent(); up && !within; up = up->parent()) within = up->isSelected();
        std::string path = tree_->RequestPath((*it)->data(0, kNodeRole).toInt());
        if (!within && seen.insert(path).second) paths.push_back(std::move(path));
    }
    return paths;
}

void RestoreDialog::UpdateButtons()
{
    const bool ready = tree_ && !run_ && !SelectedPaths().empty();
    const bool hasIndex = tree_ && tree_->Contents().HasIndex();
    btnRestore->setEnabled(ready && hasIndex);
    btnRestore->setToolTip(QString::fromUtf8(tree_ && !hasIndex ? kNoIndexTip : kRestoreTip));
    btnRestoreTo->setEnabled(ready);
    dtpAsOf->setEnabled(!run_);
    cboxReplace->setEnabled(!run_);
}

void RestoreDialog::btnRestore_Click()
{
    StartRestore({});
}

void RestoreDialog::btnRestoreTo_Click()
{
    if (!restoreFolder) {
        restoreFolder = new QFileDialog(this, QStringLiteral("Restore into a folder"));
        restoreFolder->setObjectName(QStringLiteral("restoreFolder"));
        restoreFolder->setAccessibleName(QStringLiteral("Restore into a folder"));
        restoreFolder->setOption(QFileDialog::DontUseNativeDialog);
        restoreFolder->setFileMode(QFileDialog::Directory);
        restoreFolder->setOption(QFileDialog::ShowDirsOnly, true);
    }
    const std::optional<QStringList> chosen = services_.dialogs.Run(*restoreFolder);
    if (chosen && !chosen->isEmpty()) StartRestore(ToPath(FromQtPath(chosen->front())));
}

void RestoreDialog::StartRestore(std::string to)
{
    RestoreRequest request;
    request.paths = SelectedPaths();
    if (!tree_ || run_ || request.paths.empty()) return;
    request.at = ChosenTime();
    request.to = to;
    request.replace = cboxReplace->isChecked();
    auto run = std::make_shared<Run>();
    run->to = std::move(to);
    run->at = request.at;
    run_ = run;

    progressRestore->setRange(0, 0);
    progressRestore->show();
    lblStatus->setText(QStringLiteral("Restoring\u2026"));
    btnClose->setText(QStringLiteral("Stop"));
    btnClose->setAccessibleName(QStringLiteral("Stop the restore"));
    UpdateButtons();

    QPointer<RestoreDialog> self(this);
    std::shared_ptr<RunningCalls> calls = services_.threads.Calls();
    FileSystem& fs = services_.fileSystem;
    auto restore = [&fs, tree = tree_, request = std::move(request), run, self, calls]() -> std::any {
        Outcome outcome;
        std::mutex failures;
        RestoreReport report;
        report.progress = [run, self, calls](std::int64_t done, std::int64_t total) {
            run->done = done;
            run->total = total;
            // One report at a time waits for the window thread; it shows
            // the latest count when it gets there.
            if (run->progressPosted.exchange(true)) return;
            calls->Post([self, run] {
                run->progressPosted = false;
                if (self) self->ShowProgress(run->done, run->total);
            });
        };
        report.failure = [&outcome, &failures](const std::string& message) {
            const std::lock_guard<std::mutex> hold(failures);
            outcome.failures.push_back(message);
        };
        report.waitForLock = [run, self, calls] {
            if (!run->waitingPosted.exchange(true))
                calls->Post([self] {
                    if (self) self->ShowWaiting();
                });
            return !run->stop.load();
        };
        report.cancelled = [run] { return run->stop.load(); };
        outcome.summary = Restore(fs, tree->Contents(), request, report);
        return outcome;
    };
    services_.threads.BeginInvoke(std::move(restore), [self, calls](const AsyncHandle& handle) {
        calls->Post([self, handle] {
            if (self) self->Finished(handle);
        });
    });
}

void RestoreDialog::ShowProgress(std::int64_t done, std::int64_t total)
{
    if (!run_ || total <= 0) return;
    progressRestore->setRange(0, kProgressSteps);
    progressRestore->setValue(static_cast<int>(std::min(done, total) * kProgressSteps / total));
    if (!run_->stop) lblStatus->setText(QStringLiteral("Restoring: %1 of %2 files\u2026").arg(done).arg(total));
}

void RestoreDialog::ShowWaiting()
{
    if (run_ && !run_->stop)
        lblStatus->setText(FromText(text::kWaitingText + Quoted(destination_) + text::kWaitingSuffix));
}

void RestoreDialog::reject()
{
    if (!run_) {
        QDialog::reject();
        return;
    }
    run_->stop = true;
    btnClose->setEnabled(false);
    lblStatus->setText(QStringLiteral("Stopping after the file it is at\u2026"));
}

namespace {

MessageBoxRequest Summary(const RestoreSummary& summary, const std::vector<std::string>& failures,
                          const std::string& to, std::optional<std::int64_t> at, const std::string& destination,
                          bool stopped)
{
    std::string text = stopped ? "The restore was stopped. " : "";
    text += Count(summary.restored, "file", "files") + " restored " +
            (to.empty() ? std::string("to where they came from") : "into " + Quoted(to)) + ".";
    if (summary.beside > 0)
        text += "\n" + Count(summary.beside, "file", "files") +
                " placed beside one that differs, with \"(restored\" and the date in the name.";
    if (summary.replaced > 0) {
        text += "\n" + Count(summary.replaced, "file", "files") + " replaced one that differed";
        text += summary.keptIn.empty() ? "." : "; what they replaced is kept in " + Quoted(summary.keptIn) + ".";
    }
    if (summary.same > 0)
        text += "\n" + Count(summary.same, "file was", "files were") + " already there as in the backup, left alone.";
    if (summary.tooNew > 0) {
        text += "\n" + Count(summary.tooNew, "file has", "files have") + " no copy as old as " +
                (at ? TimeText(*at).toStdString() : std::string("that")) + ".";
    }
    if (!summary.unmatched.empty()) {
        text += "\nThe backup holds nothing of:";
        AddList(text, summary.unmatched, true);
    }
    if (summary.lockRefused)
        text += "\nA backup into " + Quoted(destination) + " held it; the restore did not wait for it to finish.";
    if (summary.failed > 0) {
        text += "\n" + Count(summary.failed, "file", "files") + " could not be restored:";
        AddList(text, failures, false);
    }
    const bool trouble = stopped || summary.failed > 0 || summary.lockRefused || !summary.unmatched.empty();
    return MessageBoxRequest {text, kTitle, MessageBoxButtons::OK,
                              trouble ? MessageBoxIcon::Warning : MessageBoxIcon::Information};
}

}  // namespace

void RestoreDialog::Finished(const AsyncHandle& handle)
{
    const std::shared_ptr<Run> run = std::move(run_);
    run_.reset();
    progressRestore->hide();
    lblStatus->setText(statusAtRest_);
    btnClose->setText(QStringLiteral("Close"));
    btnClose->setAccessibleName(QStringLiteral("Close"));
    btnClose->setEnabled(true);
    UpdateButtons();
    MessageBoxRequest box;
    try {
        const auto outcome = std::any_cast<Outcome>(handle->EndInvoke());
        box = Summary(outcome.summary, outcome.failures, run->to, run->at, destination_, run->stop);
    } catch (...) {
        box = MessageBoxRequest {
            "The restore failed: " + FailureText(std::current_exception(), "an unknown error ended it."), kTitle,
            MessageBoxButtons::OK, MessageBoxIcon::Warning};
    }
    services_.messageBoxes.Show(this, box);
}

}  // namespace tandrel::ui
