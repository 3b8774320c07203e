#include "cli/run.h"

#include <filesystem>
#include <istream>
#include <ostream>

#include "cli/clihost.h"
#include "engine/engine.h"
#include "listfile/listfile.h"
#include "engine/stdthreads.h"
#include "support/quoted.h"

namespace tandrel::cli {

namespace {

// Runs `call` as an asynchronous call and serves the window queue until it
// has ended and everything it posted has run; `tick` every so often.
void RunJob(StdThreadServices& threads, AsyncResult::Call call, const std::function<void()>& tick = {})
{
    AsyncHandle handle = threads.BeginInvoke(std::move(call), nullptr);
    threads.RunUntil([&] {
        if (tick) tick();
        return handle->IsCompleted();
    });
    threads.RunPending();
    handle->EndInvoke();
}

// The user's choices, then the command line's rules, which win over them
// and over the .tandrelignore files.
std::shared_ptr<const Exclusions> ExclusionsOf(const Options& options, const ExclusionChoices* user)
{
    auto exclusions = std::make_shared<Exclusions>(user ? user->ToExclusions() : Exclusions());
    if (!options.excludeCaches) exclusions->taggedCaches = false;
    for (const ExcludeArg& exclude : options.excludes)
        exclusions->AddCommandLineRules(exclude.fromFile ? ReadRulesFile(exclude.text) : exclude.text);
    return exclusions;
}

// What a dry run would back up and what it leaves out, one path a line.
void PrintDryRun(std::ostream& out, const PathList& files, const std::vector<LeftOutItem>& leftOut)
{
    for (const std::string& file : files) out << "back up: " << file << '\n';
    for (const LeftOutItem& item : leftOut)
        out << "leave out: " << (item.folder ? AddSeparator(item.path, PathStyle::Native()) : item.path) << "  ("
            << item.rule << ")\n";
}

}  // namespace

std::string CurrentFolder()
{
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    if (error) return std::string(1, PathStyle::Native().separator);
    const std::u8string text = here.u8string();
    return std::string(text.begin(), text.end());
}

int Run(const Options& options, bool interactive, std::istream& in, std::ostream& out, std::ostream& err,
        FileSystem& fs, DestinationMemory* destinations, RunOutcome* outcome, const ExclusionChoices* user)
{
    RunOutcome ignored;
    RunOutcome& told = outcome ? *outcome : ignored;
    std::vector<std::string> entries;
    if (options.listFile) {
        try {
            entries = Deserialize(*options.listFile).PresentEntries();
        } catch (const std::exception& failure) {
            err << "tandrel-cli: " << failure.what() << '\n';  // it names the list
            told.failures.push_back(failure.what());
            return kUsageOrGathering;
        }
    }
    // Entries as typed ("Photos/", "./Photos", "../x/Photos") name the same
    // folder as its absolute path, and are saved and searched as that.
    const std::string here = CurrentFolder();
    for (const std::string& entry : options.entries) entries.push_back(AbsoluteEntry(entry, here, PathStyle::Native()));

    const OnError policy = options.onError.value_or(interactive ? OnError::Ask : OnError::Stop);
    JobState jobs;
    StdThreadServices threads;
    CliHost host(threads, jobs, policy, in, out, err, interactive);
    host.noWait = options.noWait;
    BackupEngine engine(jobs, host, fs);
    if (options.jobs > 0) engine.SetParallelCopies(options.jobs);
    engine.SetVerify(options.verify);
    engine.SetDestinationMemory(destinations);
    if (options.keepVersions >= 0) engine.SetKeepVersionsDays(options.keepVersions);
    try {
        engine.SetExclusions(ExclusionsOf(options, user));
    } catch (const std::exception& failure) {
        err << "tandrel-cli: " << failure.what() << '\n';  // it names the rules file
        return kUsageOrGathering;
    }

    // All entries as one gathering, kept as given, as a drop of them is.
    jobs.dragNdrop = true;
    RunJob(threads, [&, subdirs = options.subdirectories]() -> std::any {
        engine.GetFiles(entries, subdirs);
        return {};
    });
    told.failures = host.failures;
    if (host.gatheringFailed || host.gatheringStopped || !host.returned) return kUsageOrGathering;

    if (options.saveFile) {
        try {
            Serialize(*options.saveFile, host.entries);
        } catch (const std::exception& failure) {
            err << "tandrel-cli: cannot save the backup list: " << failure.what() << '\n';
            return kUsageOrGathering;
        }
    }
    // What the rules left out, counted below the folders it never walked.
    const std::vector<LeftOutItem> leftOut = engine.LeftOut();
    const auto printLeftOut = [&] {
        if (!leftOut.empty()) out << LeftOutLine(TallyLeftOut(fs, leftOut, PathStyle::Native())) << '\n';
    };
    if (options.dryRun) PrintDryRun(out, *jobs.syncfileList.Snapshot(), leftOut);
    if (!options.destination || options.dryRun) {
        printLeftOut();
        out << std::flush;
        return kAllCopied;
    }

    std::string destination = *options.destination;
    if (destination.back() != PathStyle::Native().separator)
        destination = AddSeparator(destination, PathStyle::Native());
    // A new choice of destination forgets where the old one's drive was;
    // otherwise a drive that is not plugged in gets nothing, not even the
    // destination folder.
    if (options.acceptDestination && destinations) destinations->Forget(destination);
    told.destination = WithoutFinalSeparator(destination, PathStyle::Native());
    if (const std::optional<std::string> mountPoint = engine.UnmountedDrive(destination)) {
        told.mountPoint = *mountPoint;
        err << "tandrel-cli: The destination "
            << support::Quoted(WithoutFinalSeparator(destination, PathStyle::Native()))
            << " is on a drive that is not mounted now (" << support::Quoted(*mountPoint)
            << "); --accept-destination backs up to it as it is\n";
        return kSomeFailed;
    }
    // Like a folder chosen in the window, the destination exists before the copy.
    try {
        fs.CreateDirectory(destination);
    } catch (const std::exception& failure) {
        err << "tandrel-cli: " << failure.what() << '\n';
        told.failures.push_back(failure.what());
        return kUsageOrGathering;
    }
    jobs.directoryData = std::make_shared<const std::vector<std::string>>(host.entries);
    std::shared_ptr<const PathList> files = jobs.syncfileList.Snapshot();
    host.BeginCopy(files->size());
    CopySummary summary;
    RunJob(
        threads,
        [&, files = std::move(files)]() mutable -> std::any {
            summary = engine.Copy(std::move(files), destination, options.overwrite, options.mode);
            return {};
        },
        [&host] { host.Tick(std::chrono::steady_clock::now()); });
    told.copied = true;
    told.summary = summary;
    told.failures = host.failures;
    out << "Files: " << summary.copied << " copied, " << summary.upToDate << " up to date, " << summary.failed
        << " failed\n";
    if (options.verify && summary.copied + summary.verifyFailed > 0)
        out << "Verified: " << summary.verified << " copies read back whole, " << summary.verifyFailed
            << " that differ\n";
    if (summary.keptVersions > 0)
        out << "Kept: " << summary.keptVersions << " previous copies, in " << support::Quoted(summary.versionsFolder)
            << '\n';
    if (summary.prunedVersions > 0)
        out << "Removed: " << summary.prunedVersions << " kept copies older than " << engine.KeepVersionsDays()
            << " days\n";
    if (summary.freedVersions > 0)
        out << "Removed: " << summary.freedVersions << " of the oldest kept copies, to make room\n";
    printLeftOut();
    if (host.gatheringSkipped > 0)
        out << "Left out: " << host.gatheringSkipped << " folders or files that the gathering could not read\n";
    if (summary.insideDestination > 0)
        out << "Left out: " << summary.insideDestination
            << " files that lie inside the destination itself (it is inside a backed-up folder)\n";
    if (!summary.ownersAndModesKept)
        out << "The destination's file system keeps no owners or permissions: anyone who can mount it can read every "
               "file of the backup.\n";
    for (const std::string& note : summary.notes) out << note << '\n';
    out << std::flush;
    if (summary.lockRefused) return kDestinationBusy;
    if (host.copyStopped) return kStopped;
    // Files fail at their turn (answered here) or at the end, when the flush
    // of what was copied fails (counted by the engine alone) or a copy read
    // back differs.
    return host.failedFiles > 0 || summary.failed > 0 || host.gatheringSkipped > 0 || summary.verifyFailed > 0
               ? kSomeFailed
               : kAllCopied;
}

}  // namespace tandrel::cli
