#include "ui/jobcontext.h"

#include <chrono>
#include <future>

using tandrel::DialogResult;

JobContext::JobContext(tandrel::JobState& jobs, tandrel::FileSystem& fileSystem,
                       tandrel::DestinationMemory* destinations, WindowLink window, const tandrel::RunClock* clock)
    : engine(jobs, *this, fileSystem), window_(std::move(window)), clock_(clock ? *clock : systemClock_)
{
    engine.SetDestinationMemory(destinations);
}

void JobContext::GetFiles(std::vector<std::string> folderArray, bool subdirsFlag)
{
    engine.GetFiles(std::move(folderArray), subdirsFlag);
}

void JobContext::Copy(std::shared_ptr<const tandrel::PathList> allFiles, std::string destinationPath, bool overwrite,
                      tandrel::CopyMode mode, bool verify)
{
    engine.SetVerify(verify);
    {
        std::lock_guard lock(runMutex_);
        run_ = tandrel::RunRecord {};
        run_.name = tandrel::ui::kWindowRunName;
        run_.start = clock_.Now();
        run_.destination = tandrel::WithoutFinalSeparator(destinationPath, tandrel::PathStyle::Native());
        copying_ = true;
        noticed_ = false;
    }
    const tandrel::CopySummary summary = engine.Copy(std::move(allFiles), std::move(destinationPath), overwrite, mode);
    std::lock_guard lock(runMutex_);
    copying_ = false;
    run_.end = clock_.Now();
    run_.copied = summary.copied;
    run_.upToDate = summary.upToDate;
    run_.failed = summary.failed;
    run_.result = summary.notMounted ? tandrel::RunResult::Waiting
                  : summary.stopped  ? tandrel::RunResult::Stopped
                  : summary.failed   ? tandrel::RunResult::Failed
                                     : tandrel::RunResult::Succeeded;
    window_.Post([record = run_, noticed = noticed_](Form1& form) { form.RunEnded(record, noticed); });
}

void JobContext::Witness(const tandrel::MessageBoxRequest& box)
{
    std::lock_guard lock(runMutex_);
    if (!copying_) return;
    const bool failure = box.buttons == tandrel::MessageBoxButtons::OK && box.icon == tandrel::MessageBoxIcon::None;
    if (failure) {
        ++run_.failed;
        if (run_.failures.size() < tandrel::RunLog::kFailuresKept) run_.failures.push_back(box.text);
    }
    const bool notMounted = box.icon == tandrel::MessageBoxIcon::Warning &&
                            box.text.rfind(tandrel::text::kNotMountedText, 0) == 0 &&
                            box.text.find(tandrel::text::kNotMountedMiddle) != std::string::npos;
    if (noticed_ || !(failure || notMounted)) return;
    noticed_ = true;
    tandrel::RunRecord now = run_;
    now.end = clock_.Now();
    now.result = failure ? tandrel::RunResult::Failed : tandrel::RunResult::Waiting;
    if (notMounted) {
        const std::string folder = tandrel::AddSeparator(run_.destination, tandrel::PathStyle::Native());
        now.mountPoint = engine.UnmountedDrive(folder).value_or(std::string());
    }
    window_.Post([now](Form1& form) { form.RunFailing(now); });
}

void JobContext::ShowProgress()
{
    window_.PostRefresh();
}

void JobContext::ReturnFiles(std::vector<std::string> folderArray, std::string initalDir)
{
    window_.Post([folderArray = std::move(folderArray), initalDir = std::move(initalDir)](Form1& form) mutable {
        form.ReturnFiles(std::move(folderArray), std::move(initalDir));
    });
}

bool JobContext::WaitUntil(const tandrel::MessageBoxRequest& box, const std::function<bool()>& done)
{
    auto answer = std::make_shared<std::promise<DialogResult>>();
    std::future<DialogResult> answered = answer->get_future();
    // Set and used on the window thread only.
    auto close = std::make_shared<std::function<void()>>();
    window_.Post([box, answer = std::move(answer), close](Form1& form) { *close = form.ShowForWorker(box, answer); });
    for (;;) {
        if (answered.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) return false;
        if (done()) {
            window_.Post([close](Form1&) {
                if (*close) (*close)();
            });
            return true;
        }
    }
}

DialogResult JobContext::Show(const tandrel::MessageBoxRequest& box)
{
    Witness(box);
    // The window thread shows the box without blocking its queue; this
    // worker waits for the answer. A post that never runs drops the promise.
    auto answer = std::make_shared<std::promise<DialogResult>>();
    std::future<DialogResult> answered = answer->get_future();
    window_.Post([box, answer = std::move(answer)](Form1& form) { form.ShowForWorker(box, answer); });
    try {
        return answered.get();
    } catch (const std::future_error&) {
        return box.buttons == tandrel::MessageBoxButtons::OK ? DialogResult::OK : DialogResult::No;
    }
}
