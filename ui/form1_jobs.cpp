// Background jobs: starting the gathering and the copy on workers, their
// completions, and the ways back to the window thread (refresh requests, the
// hand-back of a gathering, message boxes raised by workers).
#include <QCheckBox>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <future>
#include <utility>

#include "ui/failuretext.h"
#include "ui/form1.h"
#include "ui/jobcontext.h"
#include "ui/pathtext.h"
#include "ui/statusbarpanel.h"

using tandrel::AsyncHandle;
using tandrel::DialogResult;
using tandrel::MessageBoxRequest;
using tandrel::ui::FromPath;
using tandrel::ui::FromText;
using tandrel::ui::ToPath;

namespace {

// The text of whatever escaped a job.
std::string Describe(const std::exception_ptr& failure)
{
    return tandrel::ui::FailureText(failure, "An unknown error ended the job.");
}

}  // namespace

WindowLink::WindowLink(std::shared_ptr<tandrel::RunningCalls> calls, Form1* window)
    : calls_(std::move(calls)), window_(window)
{
}

void WindowLink::Post(std::function<void(Form1&)> work) const
{
    calls_->Post([window = window_, work = std::move(work)] {
        if (window) work(*window);
    });
}

void WindowLink::PostRefresh() const
{
    calls_->PostPaced([window = window_] {
        if (window) window->ServeRefresh();
    });
}

void Form1::BuildRefreshPace()
{
    refreshPace = new QTimer(this);
    refreshPace->setObjectName(QStringLiteral("refreshPace"));
    refreshPace->setSingleShot(true);
    refreshPace->setInterval(kRefreshPaceMs);
    connect(refreshPace, &QTimer::timeout, this, &Form1::refreshPace_Tick);
}

void Form1::ServeRefresh()
{
    UpdateUI();
    threads_.Calls()->Pace(true);
    if (!refreshPace->isActive()) refreshPace->start();
}

void Form1::refreshPace_Tick()
{
    // What was held is queued behind whatever was posted before it.
    threads_.Calls()->Pace(false);
}

WindowLink Form1::Link()
{
    return WindowLink(threads_.Calls(), this);
}

tandrel::AsyncResult::Completion Form1::OnWindow(void (Form1::*callback)(const AsyncHandle&))
{
    return [window = Link(), callback](const AsyncHandle& ar) {
        window.Post([callback, ar](Form1& form) { (form.*callback)(ar); });
    };
}

void Form1::ShowProgress()
{
    UpdateUI();
}

void Form1::ClosingRefresh()
{
    jobs_.foldersComplete.store(true);
    jobs_.complete.store(true);
    ShowProgress();
}

std::vector<std::string> Form1::Entries(const QListWidget* list)
{
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(list->count()));
    for (int i = 0; i < list->count(); ++i) entries.push_back(ToPath(list->item(i)->text()));
    return entries;
}

void Form1::ReturnFiles(std::vector<std::string> folderArray, std::string initalDir)
{
    const tandrel::ReturnedFiles returned = tandrel::TakeReturnedFiles(jobs_, folderArray, initalDir);
    if (!returned.entries.empty()) {
        QStringList items;
        items.reserve(static_cast<qsizetype>(returned.entries.size()));
        for (const std::string& entry : returned.entries) items.push_back(FromPath(entry));
        listboxFilestoBackup->addItems(items);
    }
    statusbarpanelTotalFiles->SetText(FromText(returned.totalFiles));
    statusbarpanelTotalFoldres->SetText(FromText(returned.totalFolders));
}

std::function<void()> Form1::ShowForWorker(const MessageBoxRequest& box,
                                           std::shared_ptr<std::promise<DialogResult>> answer)
{
    return messageBoxes_.ShowModeless(box, [answer = std::move(answer)](DialogResult result) {
        try {
            answer->set_value(result);
        } catch (const std::future_error&) {
            // answered twice: the first answer stands
        }
    });
}

void Form1::BeginGetFiles(std::vector<std::string> folderArray, bool subdirsFlag)
{
    // The worker holds the job context, never the window.
    GetFilesDelegate getFiles = [context = context_](std::vector<std::string> entries, bool subdirs) {
        context->GetFiles(std::move(entries), subdirs);
    };
    threads_.BeginInvoke(
        [getFiles, folderArray = std::move(folderArray), subdirsFlag]() mutable -> std::any {
            getFiles(std::move(folderArray), subdirsFlag);
            return {};
        },
        [window = Link()](const AsyncHandle& ar) { GetFilesCallback(ar, window); });
}

void Form1::GetFilesCallback(const AsyncHandle& ar, const WindowLink& window)
{
    // On the worker: end the call. A gathering handles its own failures;
    // whatever escaped it all the same is shown by the window.
    try {
        ar->EndInvoke();
    } catch (...) {
        window.Post([what = Describe(std::current_exception())](Form1& form) { form.ReportEscapedFailure(what); });
    }
}

void Form1::btnStart_Click()
{
    InitCopy();
}

void Form1::InitCopy()
{
    // Without a destination there is nothing to copy to: no copy starts and
    // the window comes back to rest. The timer keeps its state, so that an
    // armed automatic backup goes on once a destination is chosen again.
    if (listBoxDestinationFolder->count() == 0) {
        ClosingRefresh();
        return;
    }
    listBoxDestinationFolder->setCurrentRow(0);
    progressBar1->setMaximum(std::max(0, static_cast<int>(jobs_.fileCount.load())));
    progressBar1->setValue(0);
    timer1->Stop();
    std::shared_ptr<const tandrel::PathList> files = jobs_.syncfileList.Snapshot();
    jobs_.directoryData.store(std::make_shared<const std::vector<std::string>>(Entries(listboxFilestoBackup)));

    std::string destination = ToPath(listBoxDestinationFolder->item(0)->text());
    const bool overwrite = cboxOverwrite->isChecked();
    const tandrel::CopyMode mode = SelectedMode();
    const bool verify = menuItemVerify->isChecked();

    CopyDelegate copy = [context = context_, verify](std::shared_ptr<const tandrel::PathList> allFiles,
                                                     std::string destinationPath, bool o, tandrel::CopyMode m) {
        context->Copy(std::move(allFiles), std::move(destinationPath), o, m, verify);
    };
    threads_.BeginInvoke(
        [copy, files = std::move(files), destination = std::move(destination), overwrite, mode]() mutable -> std::any {
            copy(std::move(files), std::move(destination), overwrite, mode);
            return {};
        },
        OnWindow(&Form1::CopyCallback));
}

tandrel::CopyMode Form1::SelectedMode() const
{
    return tandrel::CopyModeOf(rboxCD->isChecked(), rboxConsolidate->isChecked(), rboxDirCopy->isChecked());
}

// On the window thread, posted by the copy's completion.
void Form1::CopyCallback(const AsyncHandle& ar)
{
    try {
        ar->EndInvoke();
    } catch (...) {
        // The copy is over: a bar that it left shown would keep the window
        // locked. The timer stays stopped, as InitCopy left it.
        progressBar1->hide();
        ReportEscapedFailure(Describe(std::current_exception()));
        return;
    }
    RearmTimer();
}

void Form1::ReportEscapedFailure(const std::string& what)
{
    messageBoxes_.Show(this, MessageBoxRequest {what, tandrel::text::kWarningTitle, tandrel::MessageBoxButtons::OK,
                                                tandrel::MessageBoxIcon::Warning});
    ClosingRefresh();
}
