// The command line's stand-in for the window: prints what the window would
// show and answers the engine's questions by the --on-error policy.
#pragma once

#include <chrono>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "engine/host.h"
#include "engine/jobstate.h"
#include "cli/options.h"
#include "engine/threads.h"

namespace tandrel::cli {

class CliHost : public JobHost {
public:
    CliHost(ThreadServices& threads, JobState& jobs, OnError policy, std::istream& in, std::ostream& out,
            std::ostream& err, bool showProgress);

    void ShowProgress() override;
    void ReturnFiles(std::vector<std::string> folderArray, std::string initalDir) override;
    DialogResult Show(const MessageBoxRequest& box) override;
    // Says why it waits, on standard error; with `noWait`, refuses at once.
    bool WaitUntil(const MessageBoxRequest& box, const std::function<bool()>& done) override;
    bool noWait = false;

    // Asked every so often while a job runs: a copy that has not moved on
    // for a while says on its progress line that it waits for the
    // destination (a share whose server froze keeps a close waiting).
    void Tick(std::chrono::steady_clock::time_point now);
    static constexpr std::chrono::seconds kStall {5};

    // Set by the caller before each job: questions count as copy failures
    // only while copying; `total` is the number of files the copy will try.
    void BeginCopy(std::size_t total);

    // What the jobs left (read on the window thread once they are done).
    bool returned = false;
    bool gatheringFailed = false;      // an entry did not exist
    bool gatheringStopped = false;     // a failed folder was answered with "stop"
    int gatheringSkipped = 0;          // folders or files the gathering could not read, passed by
    std::vector<std::string> entries;  // the backup list as gathered
    int failedFiles = 0;
    bool copyStopped = false;
    std::vector<std::string> failures;  // the first messages of failed files and folders

private:
    DialogResult Answer(const MessageBoxRequest& box);
    void PrintProgress(bool force);

    ThreadServices& threads_;
    JobState& jobs_;
    OnError policy_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    bool showProgress_;
    std::mutex mutex_;  // guards the streams and the counters below
    bool copying_ = false;
    std::size_t total_ = 0;
    std::size_t refreshes_ = 0;
    std::chrono::steady_clock::time_point lastPrint_ {};
    std::chrono::steady_clock::time_point lastRefresh_ {};
    bool progressShown_ = false;
};

}  // namespace tandrel::cli
