// Backups beyond the open window: the record of each run, the desktop's
// notices and the tray's warning badge, "Start with the Desktop" (the
// autostart entry, and the start it makes) and "Schedule This Backup...".
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QRadioButton>
#include <QStandardPaths>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <utility>

#include "listfile/listfile.h"
#include "ui/form1.h"
#include "ui/intervals.h"
#include "support/quoted.h"
#include "ui/pathtext.h"

using tandrel::MessageBoxButtons;
using tandrel::MessageBoxIcon;
using tandrel::MessageBoxRequest;
using tandrel::RunRecord;
using tandrel::RunResult;
using tandrel::ui::FromPath;
using tandrel::ui::FromQtPath;
using tandrel::ui::FromText;
using tandrel::ui::ToPath;

namespace {

constexpr const char* kScheduleTitle = "Schedule This Backup";
constexpr const char* kStartWithDesktopTitle = "Start with the Desktop";
// The settings that the start with the desktop takes up again.
constexpr const char* kLastList = "last-list";
constexpr const char* kLastDestination = "last-destination";
constexpr const char* kLastInterval = "last-interval";  // absent: Auto Backup off
constexpr const char* kNotifySuccess = "notify-success";
// How long the start with the desktop waits for its list to be gathered.
constexpr int kAutostartTries = 600;
constexpr int kAutostartPollMs = 100;

// The window's icon with a warning sign over its lower right quarter.
QIcon WithBadge(const QIcon& icon, const QStyle* style)
{
    QIcon badged;
    const QIcon warning = style->standardIcon(QStyle::SP_MessageBoxWarning);
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = icon.pixmap(size, size);
        if (pixmap.isNull()) continue;
        QPainter painter(&pixmap);
        const int badge = size * 5 / 8;
        painter.drawPixmap(size - badge, size - badge, warning.pixmap(badge, badge));
        painter.end();
        badged.addPixmap(pixmap);
    }
    return badged;
}

// A schedule's name from its list file: "My Photos.lst" -> "My-Photos".
std::string ScheduleNameOf(const QString& listFile)
{
    std::string name;
    for (const QChar c : QFileInfo(listFile).completeBaseName()) {
        const char ascii = c.toLatin1();
        const bool plain = (ascii >= 'a' && ascii <= 'z') || (ascii >= 'A' && ascii <= 'Z') ||
                           (ascii >= '0' && ascii <= '9') || ascii == '_' || ascii == '.';
        if (plain)
            name.push_back(ascii);
        else if (!name.empty() && name.back() != '-')
            name.push_back('-');
    }
    while (!name.empty() && (name.back() == '-' || name.back() == '.')) name.pop_back();
    while (!name.empty() && (name.front() == '.' || name.front() == '-')) name.erase(name.begin());
    if (name.size() > 64) name.resize(64);
    return tandrel::ValidScheduleName(name) ? name : std::string("backup");
}

}  // namespace

void Form1::BuildScheduleMenus()
{
    // In the File menu above "Exit", and in the tray's menu above its "Exit".
    menuItemStartWithDesktop = new QAction(QStringLiteral("Start with the &Desktop"), this);
    menuItemStartWithDesktop->setObjectName(QStringLiteral("menuItemStartWithDesktop"));
    menuItemStartWithDesktop->setCheckable(true);
    menuItemStartWithDesktop->setChecked(!schedule_.autostartFile.empty() &&
                                         QFileInfo::exists(FromPath(schedule_.autostartFile)));
    menuItemSchedule = new QAction(QStringLiteral("Schedule &This Backup\u2026"), this);
    menuItemSchedule->setObjectName(QStringLiteral("menuItemSchedule"));
    for (QAction* action : {menuItemStartWithDesktop, menuItemSchedule}) {
        menuFile->insertAction(menuItemSpacer3, action);
        contextMenuMain->insertAction(menuItemSpacer2, action);
    }
    connect(menuItemStartWithDesktop, &QAction::triggered, this, &Form1::menuItemStartWithDesktop_Click);
    connect(menuItemSchedule, &QAction::triggered, this, &Form1::menuItemSchedule_Click);

    normalIcon_ = notifyIcon1->icon();
    if (schedule_.runLog) {
        if (const auto kept = schedule_.runLog->Last(tandrel::ui::kWindowRunName)) ShowRunState(kept->last);
    }
}

void Form1::ShowRunState(const RunRecord& record)
{
    const bool failed = record.result == RunResult::Failed || record.result == RunResult::Stopped ||
                        record.result == RunResult::Waiting;
    notifyIcon1->setIcon(failed ? WithBadge(normalIcon_, style()) : normalIcon_);
    notifyIcon1->setToolTip(QStringLiteral("Tandrel\nThe last backup into ") +
                            FromText(tandrel::support::Quoted(record.destination)) + QStringLiteral(": ") +
                            FromText(tandrel::ResultLine(record)));
}

void Form1::Notify(const tandrel::Notice& notice, RunRecord& record)
{
    if (!schedule_.notices) return;
    std::string why;
    if (!schedule_.notices->Notify(notice, why))
        record.note += (record.note.empty() ? "" : "; ") + ("no notice given (" + why + "): " + notice.summary);
}

void Form1::RunFailing(RunRecord record)
{
    // A box waits for an answer; the desktop says why, whether the window
    // is seen or not. A drive that is still not mounted was told of before.
    ShowRunState(record);
    if (record.result == RunResult::Waiting && schedule_.runLog) {
        const auto kept = schedule_.runLog->Last(tandrel::ui::kWindowRunName);
        if (kept && kept->last.result == RunResult::Waiting) return;
    }
    Notify(tandrel::NoticeOf(record), record);
    earlyNote_ = record.note;
}

void Form1::RunEnded(RunRecord record, bool noticed)
{
    ShowRunState(record);
    const bool quiet = record.result == RunResult::Succeeded &&
                       !(schedule_.settings && schedule_.settings->Flag(kNotifySuccess, false));
    record.note = std::exchange(earlyNote_, std::string());
    if (!noticed && !quiet) Notify(tandrel::NoticeOf(record), record);
    if (schedule_.runLog) schedule_.runLog->Append(record);
    RememberForDesktop();
}

void Form1::RememberForDesktop()
{
    if (!schedule_.settings) return;
    tandrel::Settings& settings = *schedule_.settings;
    if (!listFile_.isEmpty()) settings.SetText(kLastList, ToPath(listFile_));
    if (listBoxDestinationFolder->count() > 0)
        settings.SetText(kLastDestination, ToPath(listBoxDestinationFolder->item(0)->text()));
    const bool autoBackup = cboxSetForget->isChecked() && cboxTime->currentIndex() >= 0;
    settings.SetText(kLastInterval, autoBackup ? std::optional(cboxTime->currentText().toStdString()) : std::nullopt);
}

void Form1::menuItemStartWithDesktop_Click(bool checked)
{
    try {
        if (checked) {
            RememberForDesktop();
            tandrel::WriteAutostartEntry(schedule_.autostartFile, ToPath(QCoreApplication::applicationFilePath()));
        } else {
            tandrel::RemoveAutostartEntry(schedule_.autostartFile);
        }
    } catch (const std::exception& failure) {
        menuItemStartWithDesktop->setChecked(false);
        messageBoxes_.Show(this, MessageBoxRequest {failure.what(), kStartWithDesktopTitle, MessageBoxButtons::OK,
                                                    MessageBoxIcon::Warning});
    }
}

void Form1::StartFromDesktop()
{
    if (!schedule_.settings) return;
    const tandrel::Settings& settings = *schedule_.settings;
    const auto list = settings.Text(kLastList);
    const auto destination = settings.Text(kLastDestination);
    if (destination && listBoxDestinationFolder->count() == 0)
        listBoxDestinationFolder->addItem(FromPath(*destination));
    if (!list) return;
    listFile_ = FromPath(*list);
    BeginDeserialize(listFile_);
    const auto interval = settings.Text(kLastInterval);
    if (interval && cboxTime->findText(FromText(*interval)) >= 0 && destination)
        QTimer::singleShot(kAutostartPollMs, this,
                           [this, text = FromText(*interval)] { StartAutoBackup(text, kAutostartTries); });
}

void Form1::StartAutoBackup(const QString& interval, int triesLeft)
{
    // Once the list is gathered: Auto Backup as it was, and a first backup
    // now; the timer takes over when it ends.
    if (closed_) return;
    const bool gathered = jobs_.foldersComplete.load() && jobs_.complete.load() && listboxFilestoBackup->count() > 0;
    if (!gathered) {
        if (triesLeft > 0)
            QTimer::singleShot(kAutostartPollMs, this,
                               [this, interval, triesLeft] { StartAutoBackup(interval, triesLeft - 1); });
        return;
    }
    cboxTime->setCurrentText(interval);
    cboxSetForget->setChecked(true);
    InitCopy();
}

bool Form1::SaveListForSchedule()
{
    if (!listFile_.isEmpty()) return true;
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("Backup List (*.lst)"));
    dialog.setDefaultSuffix(QStringLiteral("lst"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    const std::optional<QStringList> chosen = dialogs_.Run(dialog);
    if (!chosen || chosen->isEmpty()) return false;
    const QString filename = FromQtPath(chosen->front());
    try {
        tandrel::Serialize(ToPath(filename), Entries(listboxFilestoBackup));
    } catch (const std::exception& failure) {
        messageBoxes_.Show(this, MessageBoxRequest {"The backup list could not be saved as \"" +
                                                        filename.toStdString() + "\".\n\n" + failure.what(),
                                                    kScheduleTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
        return false;
    }
    listFile_ = filename;
    return true;
}

void Form1::menuItemSchedule_Click()
{
    auto tell = [this](const std::string& text, MessageBoxIcon icon) {
        messageBoxes_.Show(this, MessageBoxRequest {text, kScheduleTitle, MessageBoxButtons::OK, icon});
    };
    if (listboxFilestoBackup->count() == 0 || listBoxDestinationFolder->count() == 0) {
        tell("Choose what to back up and a destination folder first.", MessageBoxIcon::Information);
        return;
    }
    if (!schedule_.userManager || schedule_.unitFolder.empty()) {
        tell("Schedules are not available here.", MessageBoxIcon::Warning);
        return;
    }
    if (!schedule_.userManager->Booted()) {
        tell(
            "systemd does not run on this machine, so no timer can start a backup. \"Start with the Desktop\" "
            "starts Tandrel hidden in the tray instead, with this backup list, destination and Auto Backup.",
            MessageBoxIcon::Warning);
        return;
    }
    if (!SaveListForSchedule()) return;
    // The interval of Auto Backup, where one is chosen; else once a day.
    std::optional<tandrel::Interval> every = tandrel::ParseInterval("1d");
    for (const auto& [text, milliseconds] : tandrel::ui::kIntervals)
        if (cboxTime->currentText() == QLatin1String(text)) every = tandrel::IntervalOfMilliseconds(milliseconds);
    const std::string destination =
        tandrel::WithoutFinalSeparator(ToPath(listBoxDestinationFolder->item(0)->text()), tandrel::PathStyle::Native());
    const tandrel::Schedule schedule = tandrel::MakeSchedule(
        ScheduleNameOf(listFile_), *every, ToPath(listFile_), destination,
        tandrel::CopyModeOf(rboxCD->isChecked(), rboxConsolidate->isChecked(), rboxDirCopy->isChecked()),
        cboxOverwrite->isChecked());
    tandrel::Schedules schedules(schedule_.unitFolder, *schedule_.userManager);
    std::string told;
    try {
        told = schedules.Add(schedule, schedule_.cliProgram);
    } catch (const std::exception& failure) {
        tell(failure.what(), MessageBoxIcon::Warning);
        return;
    }
    if (schedule_.runLog) {
        tandrel::LastResult kept = schedule_.runLog->Last(schedule.name).value_or(tandrel::LastResult {});
        kept.last.name = schedule.name;
        kept.last.destination = destination;
        const tandrel::SystemRunClock system;
        if (kept.since == 0) kept.since = (schedule_.clock ? *schedule_.clock : system).Now();
        schedule_.runLog->Keep(kept);
    }
    tell("The backup list " + tandrel::support::Quoted(ToPath(listFile_)) + " is backed up into " +
             tandrel::support::Quoted(destination) + " every " + schedule.every.text +
             ", also while Tandrel is closed (schedule " + schedule.name + "; tandrel-cli --unschedule " +
             schedule.name + " removes it)." + (told.empty() ? "" : "\n\n" + told),
         MessageBoxIcon::Information);
}
