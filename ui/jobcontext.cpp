#include "ui/jobcontext.h"

#include <chrono>
#include <future>

using tandrel::DialogResult;

JobContext::JobContext(tandrel::JobState& jobs, tandrel::FileSystem& fileSystem,
                       tandrel::DestinationMemory* destinations, WindowLink window)
    : engine(jobs, *this, fileSystem), window_(std::move(window))
{
    engine.SetDestinationMemory(destinations);
}

void JobContext::GetFiles(std::vector<std::string> folderArray, bool subdirsFlag)
{
    engine.GetFiles(std::move(folderArray), subdirsFlag);
}

void JobContext::Copy(std::shared_ptr<const tandrel::PathList> allFiles, std::string destinationPath, bool overwrite,
                      bool cdBackup, bool consolidate, bool directoryCopy, bool verify)
{
    engine.SetVerify(verify);
    engine.Copy(std::move(allFiles), std::move(destinationPath), overwrite,
                tandrel::CopyModeOf(cdBackup, consolidate, directoryCopy));
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
