#include "cli/check.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "cli/run.h"
#include "engine/engine.h"
#include "engine/hashrecord.h"
#include "support/quoted.h"

namespace tandrel::cli {

int RunCheck(const Options& options, std::ostream& out, std::ostream& err, FileSystem& fs)
{
    const PathStyle style = PathStyle::Native();
    std::string destination = *options.destination;
    const std::string shown = WithoutFinalSeparator(destination, style);
    if (destination.back() != style.separator) destination = AddSeparator(destination, style);
    if (!fs.DirectoryExists(destination)) {
        err << "tandrel-cli: there is no folder " << support::Quoted(shown) << " to check\n";
        return kUsageOrGathering;
    }
    try {
        const std::unique_ptr<CopySession> session = fs.BeginCopy(destination);
        // No backup writes into the destination while it is checked.
        if (!session->TryLock()) {
            err << "tandrel-cli: Another backup is writing into " << support::Quoted(shown) << "; "
                << (options.noWait ? "not waiting for it\n" : "waiting for it to finish\n") << std::flush;
            if (options.noWait) return kDestinationBusy;
            while (!session->TryLock()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        const int threads = options.jobs > 0 ? options.jobs : BackupEngine::kReadBackThreads;
        const CheckSummary summary =
            CheckCopies(*session, destination, style, options.sample.value_or(100.0), now, threads,
                        [&](const std::string& problem) { out << problem << '\n'
                                                              << std::flush; });
        if (summary.noRecord) {
            err << "tandrel-cli: " << support::Quoted(shown)
                << " holds no recorded hashes to check its copies against (a backup records the hashes of the "
                   "files it reads as it copies them, and of every file with --verify)\n";
            return kUsageOrGathering;
        }
        out << "Checked: " << summary.checked << " of " << summary.recorded << " copies, " << summary.damaged
            << " damaged, " << summary.missing << " missing\n"
            << std::flush;
        return summary.damaged + summary.missing > 0 ? kSomeFailed : kAllCopied;
    } catch (const std::exception& failure) {
        err << "tandrel-cli: " << failure.what() << '\n';
        return kUsageOrGathering;
    }
}

}  // namespace tandrel::cli
