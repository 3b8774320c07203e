// The main window. One class holds all of the window's behaviour; its
// definition is split across files by concern:
//   form1_layout.cpp   building the window (controls, menus, tray, wiring)
//   form1_events.cpp   routing drops, mouse releases and the right button
//   form1_jobs.cpp     background jobs: gathering, copy, message boxes, hand-off
//   form1_refresh.cpp  UpdateUI, the control-state refresh
//   form1_edit.cpp     editing the backup list and the destination
//   form1_lists.cpp    loading and saving backup lists
//   form1_tray.cpp     tray icon, automatic backup, About box, exits
//   form1_schedule.cpp run records, notices, start with the desktop, schedules
//   form1_exclusions.cpp  the "Exclusions" dialog and what it changes
//   form1_restore.cpp  "Restore…": the Restore dialog for the destination
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QStringList>
#include <QSystemTrayIcon>
#include <functional>
#include <future>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/exclusions.h"
#include "engine/settings.h"
#include "engine/filesystem.h"
#include "engine/host.h"
#include "engine/jobstate.h"
#include "ui/schedule.h"
#include "engine/settings.h"
#include "ui/seams.h"
#include "engine/threads.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QFileDialog;
class QGroupBox;
class QLabel;
class QListWidget;
class QMenu;
class QMenuBar;
class QMimeData;
class QMouseEvent;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTimer;

namespace tandrel::ui {
class AnchorLayout;
class RestoreDialog;
class StatusBarPanel;
}  // namespace tandrel::ui

// Everything the window is given from outside.
struct Form1Services {
    tandrel::JobState& jobs;           // process-wide job state, made before the window
    tandrel::ThreadServices& threads;  // the window thread is the one that builds Form1
    tandrel::FileSystem& fileSystem;
    tandrel::ui::DialogRunner& dialogs;
    tandrel::ui::MessageBoxes& messageBoxes;
    std::unique_ptr<tandrel::ui::IntervalTimer> timer;  // becomes timer1
    // Whether the desktop shows tray icons; empty: ask Qt.
    std::function<bool()> systemTrayAvailable = {};
    // Which kind of tray shows the icon, asked once as the icon is made;
    // empty: ask the session bus (DetectTrayHost).
    std::function<tandrel::ui::TrayHost()> trayHost = {};
    // Where each destination's drive was at its last backup; none: no check.
    tandrel::DestinationMemory* destinations = nullptr;
    // The record of the runs, notices, schedules and the start with the desktop.
    tandrel::ui::WindowSchedule schedule = {};
    // The per-user options ("Verify Copies"); none: nothing is remembered.
    tandrel::Settings* settings = nullptr;
    // Where the user's own rules of what to leave out are kept; none: the
    // defaults, for this session only.
    std::string exclusionsFile = {};
};

class Form1;

// What a worker keeps of the window: a post to the window thread through the
// owner of the calls. The work runs there only while the window exists, and
// not at all once the calls were abandoned or the services are gone.
class WindowLink {
public:
    WindowLink(std::shared_ptr<tandrel::RunningCalls> calls, Form1* window);
    void Post(std::function<void(Form1&)> work) const;
    // A refresh request from a worker, in the order of everything posted.
    // A copy asks for one per file, thousands a second, and waking the
    // window thread for each would cost more than the refreshes: for a short
    // while after the window thread has served one (kRefreshPaceMs), the
    // requests that follow are held and then served together, still one
    // refresh each (RunningCalls::PostPaced).
    void PostRefresh() const;

private:
    std::shared_ptr<tandrel::RunningCalls> calls_;
    QPointer<Form1> window_;
};

class JobContext;

class Form1 : public QMainWindow {
    Q_OBJECT

public:
    // Callable types of the methods that are started asynchronously.
    using GetFilesDelegate = std::function<void(std::vector<std::string>, bool)>;
    // A copy works on a snapshot of the gathered file list.
    using CopyDelegate =
        std::function<void(std::shared_ptr<const tandrel::PathList>, std::string, bool, tandrel::CopyMode)>;
    using SerializeDelegate = std::function<void(std::string, std::vector<std::string>)>;
    using DeserializeDelegate = std::function<std::vector<std::string>(std::string)>;

    explicit Form1(Form1Services services, QWidget* parent = nullptr);
    ~Form1() override;

    // On the window thread: a refresh request and the hand-back of a
    // gathering. Workers reach them only by posting through a WindowLink
    // (JobContext), never through the window itself.
    void ShowProgress();
    void ReturnFiles(std::vector<std::string> folderArray, std::string initalDir);
    // On the window thread: shows a worker's box (JobContext::Show) without
    // blocking the queue.
    // Returns what closes the box unanswered.
    std::function<void()> ShowForWorker(const tandrel::MessageBoxRequest& box,
                                        std::shared_ptr<std::promise<tandrel::DialogResult>> answer);

    // Workers (GetFiles, Copy) are the job context's; these two are static.
    static void Serialize(std::string filename, std::vector<std::string> data);
    static std::vector<std::string> Deserialize(std::string filename);

    // Starting the background jobs (window thread).
    void BeginGetFiles(std::vector<std::string> folderArray, bool subdirsFlag);
    void BeginDeserialize(const QString& filename);
    void InitCopy();

    // Completions. GetFilesCallback runs on the gathering's worker and
    // reaches the window only through `window`; the other two run on the
    // window thread, where the completion on the worker posts them.
    static void GetFilesCallback(const tandrel::AsyncHandle& ar, const WindowLink& window);
    void CopyCallback(const tandrel::AsyncHandle& ar);
    void DeserializeCallback(const tandrel::AsyncHandle& ar);

    // The control-state refresh (window thread only).
    void UpdateUI();
    // A refresh requested by a worker: UpdateUI, then refresh requests are
    // held for kRefreshPaceMs (WindowLink::PostRefresh).
    void ServeRefresh();
    static constexpr int kRefreshPaceMs = 10;

public slots:
    void Form1_Load();
    void btnStart_Click();
    // Editing the backup list and destination.
    void btnBrowse_Click();
    void btnAddFolder_Click();
    void btnDestination_Click();
    void btnDelete_Click();
    void btnDelete_MouseUp();
    void listboxFilestoBackup_MouseUp();
    void contextMenuFiles_Popup();
    void menuItemSelectAll_Click();
    void menuItemRemove_Click();
    void listboxFilestoBackup_DragEnter(QDragEnterEvent* e);
    void listboxFilestoBackup_DragDrop(QDropEvent* e);
    void listBoxDestinationFolder_DragEnter(QDragEnterEvent* e);
    void listBoxDestinationFolder_DragDrop(QDropEvent* e);
    // Backup list files.
    void menuItemLoad_Click();
    void menuItemSave_Click();
    // "Verify Copies", checked or not: remembered for the next start.
    void menuItemVerify_Click(bool checked);
    // Tray, automatic backup, About, exits.
    void cboxSetForget_CheckedChanged();
    void cboxTime_TextChanged();
    void timer1_Tick();
    void notifyIcon1_DoubleClick();
    void menuItemShow_Click();
    void menuItemHide_Click();
    void menuItemExit_Click();
    void menuItemexitMain_Click();
    void menuItemAbout_Click();
    // Beyond the open window.
    void menuItemStartWithDesktop_Click(bool checked);
    void menuItemSchedule_Click();

public:
    // Started by the desktop (--autostart): the last backup list, destination
    // and Auto Backup, with a first backup once the list is gathered.
    void StartFromDesktop();
    // Posted by a copy: a failure now waits for an answer; the run's end.
    void RunFailing(tandrel::RunRecord record);
    void RunEnded(tandrel::RunRecord record, bool noticed);
    // "Exclusions…": what every gathering leaves out.
    void menuItemExclusions_Click();
    // "Restore…": what the destination holds, and getting it back.
    void menuItemRestore_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void InitializeComponent();
    // The pieces of InitializeComponent, in the order it makes them.
    void BuildBackupListGroup(QWidget* client);
    void BuildDestinationGroup(QWidget* client);
    void BuildStatusBar(QWidget* client);
    void BuildProgressBarAndStart(QWidget* client);
    void SetUpTabOrder();
    void AnchorControls();
    void BuildDialogs();
    void BuildMenus();
    void BuildTrayIconAndTimer(const QIcon& icon);
    void WireEvents();
    // The design size, centred on the screen.
    void PlaceWindow();
    // Sets foldersComplete and complete, then ShowProgress.
    void ClosingRefresh();
    // Shows what escaped a job and brings the window back to rest.
    void ReportEscapedFailure(const std::string& what);
    // Re-arms or stops timer1 after a copy, by the interval box's text.
    void RearmTimer();
    // The paths of a dropped file list, in the order given, in the
    // platform's separators and without a folder's trailing separator.
    static QStringList DroppedPaths(const QMimeData* data);
    // Entries of a list box, in list order.
    static std::vector<std::string> Entries(const QListWidget* list);

    // What a completion may keep of the window.
    WindowLink Link();
    // Ends a while of held refresh requests (ServeRefresh).
    QTimer* refreshPace = nullptr;
    void BuildRefreshPace();
    void refreshPace_Tick();
    // A completion that, on the worker, only posts `callback` with the
    // call's handle to the window thread.
    tandrel::AsyncResult::Completion OnWindow(void (Form1::*callback)(const tandrel::AsyncHandle&));
    // Steps progressBar1 by 1, never past its maximum.
    void StepProgress();
    void SetWaitCursor(bool wait);
    // Row 5 of UpdateUI's table, AtRest, with its rows 5a-5c.
    void RefreshAtRest();
    // Lists the controls a running job governs, once they are made.
    void ListGovernedControls();
    // Enables or disables every governed control but `except`.
    void EnableGoverned(bool enabled, std::initializer_list<QWidget*> except = {});
    // The copy mode the checked radio button stands for.
    tandrel::CopyMode SelectedMode() const;
    // The smallest size: the outer frame at least 700 x 488, the design size
    // always allowed.
    void ApplyMinimumSize();
    bool SystemTrayAvailable() const;
    // A click on the tray icon, as the tray reports it.
    void notifyIcon1_Activated(QSystemTrayIcon::ActivationReason reason);
    // form1_schedule.cpp.
    void BuildScheduleMenus();
    void ShowRunState(const tandrel::RunRecord& record);
    void Notify(const tandrel::Notice& notice, tandrel::RunRecord& record);
    void RememberForDesktop();
    void StartAutoBackup(const QString& interval, int triesLeft);
    bool SaveListForSchedule();
    // form1_restore.cpp.
    void BuildRestoreMenu();
    QAction* menuItemRestore = nullptr;
    QPointer<tandrel::ui::RestoreDialog> restoreDialog_;  // while it is open
    tandrel::ui::WindowSchedule schedule_;
    QString listFile_;       // the backup list's file, once loaded or saved
    std::string earlyNote_;  // a notice of the running copy that could not be given
    QIcon normalIcon_;
    QAction* menuItemStartWithDesktop = nullptr;
    QAction* menuItemSchedule = nullptr;

    tandrel::JobState& jobs_;
    tandrel::ThreadServices& threads_;
    tandrel::FileSystem& fileSystem_;
    tandrel::ui::DialogRunner& dialogs_;
    tandrel::ui::MessageBoxes& messageBoxes_;
    tandrel::DestinationMemory* destinations_;
    tandrel::Settings* settings_;
    std::string exclusionsFile_;
    tandrel::ExclusionChoices exclusionChoices_;
    // The engine's gatherings leave out what `choices` say from now on.
    void ApplyExclusions(const tandrel::ExclusionChoices& choices);
    // At rest, the backup list gathered again under the rules as they are now.
    void RegatherBackupList();
    // A destination chosen anew: where its drive was before is forgotten.
    void ChoseDestination(const QString& entry);
    // The engine and its host, shared with every running job.
    std::shared_ptr<JobContext> context_;
    bool loaded_ = false;
    bool closed_ = false;  // the window has closed: no timer work any more

    // Controls, menus, dialogs and components, named as the window's parts.
    QGroupBox* gboxFilestoBackup = nullptr;
    QListWidget* listboxFilestoBackup = nullptr;
    QPushButton* btnBrowse = nullptr;
    QPushButton* btnAddFolder = nullptr;
    QPushButton* btnDelete = nullptr;
    QCheckBox* cboxSubDirectories = nullptr;
    QCheckBox* cboxOverwrite = nullptr;
    QCheckBox* cboxSetForget = nullptr;
    QLabel* lblAutobackup = nullptr;
    QComboBox* cboxTime = nullptr;
    QGroupBox* gboxDestinationFolder = nullptr;
    QRadioButton* rboxDirCopy = nullptr;
    QRadioButton* rboxConsolidate = nullptr;
    QRadioButton* rboxCD = nullptr;
    // The copy modes' radio buttons; and every control that a running job
    // governs (UpdateUI): the buttons, the check boxes, cboxTime and the modes.
    std::vector<QRadioButton*> modeButtons_;
    std::vector<QWidget*> governed_;
    QPushButton* btnDestination = nullptr;
    QListWidget* listBoxDestinationFolder = nullptr;
    QProgressBar* progressBar1 = nullptr;
    QPushButton* btnStart = nullptr;
    QStatusBar* statusBar1 = nullptr;
    tandrel::ui::StatusBarPanel* statusbarpanelTotalFiles = nullptr;
    tandrel::ui::StatusBarPanel* statusbarpanelTotalFoldres = nullptr;
    tandrel::ui::StatusBarPanel* statusBarPanel1 = nullptr;
    QObject* components = nullptr;  // owns notifyIcon1
    QSystemTrayIcon* notifyIcon1 = nullptr;
    std::unique_ptr<tandrel::ui::IntervalTimer> timer1;
    QFileDialog* openFileDialog1 = nullptr;
    QFileDialog* folderBrowserDialog1 = nullptr;
    QFileDialog* saveFolder = nullptr;  // made on first use
    QMenuBar* mainMenu1 = nullptr;
    QMenu* menuFile = nullptr;
    QAction* menuItemLoad = nullptr;
    QAction* menuItemSave = nullptr;
    QAction* menuItemVerify = nullptr;
    QAction* menuItemExclusions = nullptr;
    QAction* menuItemSpacer3 = nullptr;
    QAction* menuItemexitMain = nullptr;
    QMenu* menuHelp = nullptr;
    QAction* menuItemAbout = nullptr;
    QMenu* contextMenuFiles = nullptr;
    QAction* menuItemSelectAll = nullptr;
    QAction* menuItemSpacer1 = nullptr;
    QAction* menuItemRemove = nullptr;
    QMenu* contextMenuMain = nullptr;
    QAction* menuItemShow = nullptr;
    QAction* menuItemHide = nullptr;
    QAction* menuItemSpacer2 = nullptr;
    QAction* menuItemExit = nullptr;

    tandrel::ui::AnchorLayout* anchors_ = nullptr;
    std::function<bool()> systemTrayAvailable_;
    tandrel::ui::TrayHost trayHost_;
    // Event routing of the list boxes and of btnDelete.
    QEvent* redelivering_ = nullptr;
    bool backupDragAccepted_ = false;
    bool destinationDragAccepted_ = false;
};
