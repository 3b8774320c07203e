#include "cli/clihost.h"

#include <istream>
#include <ostream>

#include "engine/engine.h"
#include "engine/runlog.h"

namespace tandrel::cli {

namespace {
constexpr std::size_t kFailuresKept = RunLog::kFailuresKept;
}  // namespace

CliHost::CliHost(ThreadServices& threads, JobState& jobs, OnError policy, std::istream& in, std::ostream& out,
                 std::ostream& err, bool showProgress)
    : threads_(threads), jobs_(jobs), policy_(policy), in_(in), out_(out), err_(err), showProgress_(showProgress)
{
}

void CliHost::BeginCopy(std::size_t total)
{
    std::lock_guard lock(mutex_);
    copying_ = true;
    total_ = total;
    refreshes_ = 0;
    lastRefresh_ = std::chrono::steady_clock::now();
}

void CliHost::ShowProgress()
{
    // Without a progress line a refresh draws nothing: don't wake the window
    // thread for it, which a copy would otherwise do once per file.
    if (!showProgress_) return;
    if (threads_.InvokeRequired()) {
        threads_.PostToWindow([this] { ShowProgress(); });
        return;
    }
    std::lock_guard lock(mutex_);
    if (!copying_ || !showProgress_) return;
    ++refreshes_;
    lastRefresh_ = std::chrono::steady_clock::now();
    PrintProgress(jobs_.complete.load());
}

void CliHost::PrintProgress(bool force)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastPrint_ < std::chrono::milliseconds(100)) return;
    lastPrint_ = now;
    err_ << "\rCopying: " << std::min(refreshes_, total_) << " of " << total_ << " files" << std::flush;
    progressShown_ = true;
}

void CliHost::Tick(std::chrono::steady_clock::time_point now)
{
    std::lock_guard lock(mutex_);
    if (!copying_ || !showProgress_ || jobs_.complete || now - lastRefresh_ < kStall) return;
    if (now - lastPrint_ < std::chrono::seconds(1)) return;
    lastPrint_ = now;
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - lastRefresh_).count();
    err_ << "\rCopying: " << std::min(refreshes_, total_) << " of " << total_ << " files, waiting for the destination ("
         << waited << " s)" << std::flush;
    progressShown_ = true;
}

void CliHost::ReturnFiles(std::vector<std::string> folderArray, std::string initalDir)
{
    if (threads_.InvokeRequired()) {
        threads_.PostToWindow([this, folderArray = std::move(folderArray), initalDir = std::move(initalDir)] {
            ReturnFiles(folderArray, initalDir);
        });
        return;
    }
    if (jobs_.hasErrored) gatheringFailed = true;
    ReturnedFiles result = TakeReturnedFiles(jobs_, folderArray, initalDir);
    entries.insert(entries.end(), result.entries.begin(), result.entries.end());
    returned = true;
    std::lock_guard lock(mutex_);
    out_ << result.totalFiles << '\n' << result.totalFolders << '\n' << std::flush;
}

DialogResult CliHost::Show(const MessageBoxRequest& box)
{
    std::lock_guard lock(mutex_);
    if (progressShown_) {
        err_ << '\n';
        progressShown_ = false;
    }
    if (box.buttons == MessageBoxButtons::OK) {
        if (box.icon == MessageBoxIcon::Information && copying_) {
            out_ << box.text << '\n' << std::flush;  // the closing message: the result
            // A refresh posted before it must not draw a progress line after it.
            copying_ = false;
        } else {
            if (failures.size() < kFailuresKept) failures.push_back(box.text);
            if (!box.caption.empty()) err_ << box.caption << ": ";
            err_ << box.text << '\n' << std::flush;
        }
        return DialogResult::OK;
    }
    const DialogResult answer = Answer(box);
    if (copying_) {
        if (answer == DialogResult::Yes)
            ++failedFiles;
        else
            copyStopped = true;
    } else if (answer == DialogResult::No) {
        gatheringStopped = true;
    } else {
        ++gatheringSkipped;
    }
    return answer;
}

bool CliHost::WaitUntil(const MessageBoxRequest& box, const std::function<bool()>& done)
{
    {
        std::lock_guard lock(mutex_);
        if (progressShown_) {
            err_ << '\n';
            progressShown_ = false;
        }
        err_ << box.text << '\n' << std::flush;
    }
    if (noWait) return false;
    return JobHost::WaitUntil(box, done);
}

DialogResult CliHost::Answer(const MessageBoxRequest& box)
{
    switch (policy_) {
    case OnError::Continue:
        err_ << box.text << " yes\n" << std::flush;
        return DialogResult::Yes;
    case OnError::Stop:
        err_ << box.text << " no\n" << std::flush;
        return DialogResult::No;
    case OnError::Ask:
        break;
    }
    for (;;) {
        err_ << box.text << " [y/n] " << std::flush;
        std::string line;
        if (!std::getline(in_, line)) {
            err_ << "no\n";
            return DialogResult::No;
        }
        if (line == "y" || line == "Y" || line == "yes") return DialogResult::Yes;
        if (line == "n" || line == "N" || line == "no") return DialogResult::No;
    }
}

}  // namespace tandrel::cli
