// The copy engine: one backup of the gathered files into the destination.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <string_view>

#include "engine/engine.h"
#include "engine/detail/workpool.h"
#include "engine/hashrecord.h"
#include "engine/restore.h"
#include "engine/restoreindex.h"
#include "support/quoted.h"

namespace tandrel {

int BackupEngine::DefaultParallelCopies()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 2u, 8u));
}

CopyMode CopyModeOf(bool cdBackup, bool consolidate, bool directoryCopy)
{
    if (cdBackup) return CopyMode::CdBackup;
    if (consolidate || !directoryCopy) return CopyMode::Consolidate;
    return CopyMode::DirectoryCopy;
}

struct BackupEngine::CopyRun {
    std::string destinationPath;
    CopyMode mode = CopyMode::DirectoryCopy;
    std::unique_ptr<CopySession> session;
    // Directory Copy: the entry that placed the previous file (none before
    // the first), the sub-folder found (or made) for the previous file, and
    // the current file's sub-folder (empty for a file placed in the
    // destination itself).
    std::shared_ptr<const std::vector<std::string>> entries;
    std::size_t currentEntry = std::string::npos;
    std::string checkedFolder = NoKey();
    std::string subFolder;
    int foldersRemade = 0;  // folders made again because they vanished
    bool keepsVersions = false;
    std::int64_t freedVersions = 0;
    // Frees what the works done ahead hold on the destination, and works the
    // files that follow one at a time; false when there was nothing to free.
    std::function<bool()> makeRoom;
    // CD Backup: the current volume and the bytes given to it.
    std::int32_t volume = 0;
    std::int64_t volumeFill = 0;
    // The bytes given to each volume so far, files planned ahead included.
    std::vector<std::int64_t> volumeBytes;
    // The copies placed, for the verify and the record of hashes.
    PlacedCopies placed;
    // The files placed or found up to date, for the index of their sources.
    std::optional<HandledFiles> handled;
};

std::string CopiedMessage(std::int64_t bytes)
{
    return std::to_string(bytes / 1024) + text::kCopiedSuffix;
}

// Directory Copy: a file keeps its path from the name of the entry it lies
// under. The entry that placed the previous file is tried first, then every
// entry in list order.
std::string BackupEngine::DirectoryCopyTarget(CopyRun& run, const std::string& file, std::size_t& kept)
{
    std::size_t start = std::string::npos;
    const std::vector<std::string>* entries = run.entries.get();
    if (entries && run.currentEntry < entries->size())
        start = KeptPathStart((*entries)[run.currentEntry], file, style_);
    if (start == std::string::npos && entries) {
        for (std::size_t i = 0; i < entries->size() && start == std::string::npos; ++i) {
            start = KeptPathStart((*entries)[i], file, style_);
            if (start != std::string::npos) run.currentEntry = i;
        }
    }
    if (start == std::string::npos)
        throw FsError("Could not copy '" + file + "': it lies under no entry of the backup list", FsError::Kind::Other,
                      0, file);

    const std::size_t nameStart = file.rfind(style_.separator) + 1;
    kept = std::min(start, nameStart);
    if (start >= nameStart) return run.destinationPath + file.substr(nameStart);
    std::string subFolder = run.destinationPath;
    subFolder.append(file, start, nameStart - start);
    RefuseReservedName(run, file, subFolder + file.substr(nameStart));
    // Files come folder by folder: a folder is asked for once for the files
    // in a row that go into it. One that vanishes meanwhile is made again
    // when a copy into it fails (see Copy).
    run.subFolder = subFolder;
    if (subFolder != run.checkedFolder) {
        if (!run.session->DirectoryExists(subFolder))
            run.session->CreateDirectory(subFolder, SourceFolder(file, style_));
        run.checkedFolder = subFolder;
    }
    return subFolder + file.substr(nameStart);
}

// A backup keeps some names for its own files: the shape of its temporaries
// anywhere (the clean-up of leftovers would take such a file for one), its
// lock file and its versions folder directly in the destination.
void BackupEngine::RefuseReservedName(const CopyRun& run, const std::string& file, const std::string& target) const
{
    std::string_view below(target);
    below.remove_prefix(std::min(run.destinationPath.size(), below.size()));
    for (bool top = true; !below.empty(); top = false) {
        const std::size_t cut = below.find(style_.separator);
        const std::string_view name = below.substr(0, cut);
        if (IsCopyTemporaryName(name) || (top && (name == kDestinationLockName || name == kVersionsFolderName ||
                                                  name == kHashRecordName || name == kRestoreIndexName)))
            throw FsError("Could not copy " + support::Quoted(file) + " to " + support::Quoted(target) + ": the name " +
                              support::Quoted(std::string(name)) + " is reserved for Tandrel's own files",
                          FsError::Kind::Other, 0, target);
        below.remove_prefix(cut == std::string_view::npos ? below.size() : cut + 1);
    }
}

// The target of a file whose size is known; CD Backup raises the volume fill
// here, before the copy, and a file that does not fit opens the next volume
// even when it then fails: its room stays taken.
std::string BackupEngine::TargetOf(CopyRun& run, const std::string& file, std::int64_t size)
{
    if (run.mode != CopyMode::CdBackup) return {};
    if (run.volumeBytes.size() <= static_cast<std::size_t>(run.volume)) run.volumeBytes.resize(run.volume + 1);
    if (run.volumeFill + size <= kVolumeLimit) {
        run.volumeFill += size;
    } else {
        ++run.volume;
        run.volumeFill = size;
    }
    std::string volumeFolder = WithoutFinalSeparator(run.destinationPath, style_);
    volumeFolder.push_back(style_.separator);
    run.volumeBytes.resize(run.volume + 1);
    run.volumeBytes[run.volume] += size;
    volumeFolder += "CD_backup" + std::to_string(run.volume);
    run.session->CreateDirectory(volumeFolder);
    return JoinPath(volumeFolder, FileName(file, style_), style_);
}

// One file of a backup on its way from its plan (target, length, folder) to
// its commit.
struct BackupEngine::PlannedFile {
    std::size_t index = 0;  // in the backup's list
    std::string file;
    std::string target;
    std::size_t kept = 0;  // where the part of the file's path that the target keeps begins
    std::unique_ptr<FileCopy> copy;
    std::optional<FsError> failure;  // of the plan: reported at the commit, as any other
    std::int64_t size = 0;
    std::string subFolder;  // Directory Copy: the sub-folder asked for at the plan
    int foldersRemadeBefore = 0;
    // The work runs on the pool, or at the commit: always with one copy at a
    // time, and for a target that a file before it, still uncommitted, has
    // too (its work must see that file's copy).
    bool workAtCommit = false;
    std::atomic<bool> worked {false};  // waited on and notified as it turns true
    bool inside = false;               // lies inside the destination: left out
    std::int32_t volume = 0;           // CD Backup: the volume it was given
};

// A file that grew while it was copied (and was copied again) may no
// longer fit the volume it was given: it fails, and its room stays taken.
void BackupEngine::FitsItsVolume(CopyRun& run, PlannedFile& item)
{
    const auto length = static_cast<std::int64_t>(item.copy->length);
    if (length <= item.size) return;
    std::int64_t& bytes = run.volumeBytes[static_cast<std::size_t>(item.volume)];
    if (bytes - item.size + length > kVolumeLimit)
        throw FsError("Could not copy " + support::Quoted(item.file) + " to " + support::Quoted(item.target) +
                          ": it grew to " + std::to_string(length) +
                          " bytes while it was copied, more than its volume has room for",
                      FsError::Kind::Other, 0, item.file);
    bytes += length - item.size;
    item.size = length;
}

void BackupEngine::Plan(CopyRun& run, PlannedFile& item)
{
    run.subFolder.clear();
    try {
        // A backup inside one of its own folders would take in its earlier
        // copies, one more level at each run.
        if ((item.inside = run.session->LiesInDestination(item.file))) return;
        // Other than Directory Copy, a target keeps the file's name alone.
        item.kept = item.file.rfind(style_.separator) + 1;
        item.target = run.mode == CopyMode::DirectoryCopy ? DirectoryCopyTarget(run, item.file, item.kept)
                                                          : run.destinationPath + FileName(item.file, style_);
        RefuseReservedName(run, item.file, item.target);
        item.subFolder = run.subFolder;
        item.foldersRemadeBefore = run.foldersRemade;
        // Only CD Backup needs a file's length before its copy, for its volume.
        if (run.mode == CopyMode::CdBackup) {
            item.copy = run.session->Open(item.file);
            item.size = static_cast<std::int64_t>(item.copy->length);
            item.target = TargetOf(run, item.file, item.size);
            item.volume = run.volume;
        } else {
            item.copy = run.session->Defer(item.file);
        }
    } catch (const FsError& failure) {
        item.failure = failure;
        item.copy.reset();
    } catch (const std::exception& failure) {
        item.failure = FsError(failure.what(), FsError::Kind::Other, 0, item.file);
        item.copy.reset();
    }
}

// Commits a worked file; one that found no room gets its turn again, once
// the files written ahead of it are out of the way, and then once the oldest
// kept copies (never the newest of a file) are gone.
CopyOutcome BackupEngine::CommitWithRoom(CopyRun& run, PlannedFile& item, bool overwrite)
{
    bool aheadLetGo = item.workAtCommit, versionsFreed = !run.keepsVersions;
    for (;;) {
        try {
            return run.session->Commit(*item.copy);
        } catch (const FsError& failure) {
            if (failure.kind() != FsError::Kind::Full) throw;
            if (!aheadLetGo) {
                aheadLetGo = true;
                if (!run.makeRoom || !run.makeRoom()) continue;  // nothing ahead: try the kept copies
            } else if (!versionsFreed) {
                versionsFreed = true;
                const std::int64_t freed = run.session->FreeVersions(item.copy->length + (std::uint64_t {1} << 20));
                if (freed == 0) throw;
                run.freedVersions += freed;
            } else {
                throw;
            }
            run.session->Work(*item.copy, item.target, overwrite);
        }
    }
}

namespace {

// Waits until the work of a file has ended. Without a futex (MinGW)
// libstdc++'s atomic wait can miss the notify and sleep forever (fixed in
// GCC 13): there the copy's thread polls, yielding at first, as most works
// end soon.
void AwaitWork(const std::atomic<bool>& worked)
{
#if defined(_WIN32) && defined(__GLIBCXX__)
    for (int polls = 0; !worked.load(std::memory_order_acquire); ++polls) {
        if (polls < 1000)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
#else
    worked.wait(false);
#endif
}

}  // namespace

CopyOutcome BackupEngine::CommitPlanned(CopyRun& run, PlannedFile& item, bool overwrite)
{
    if (item.failure) throw *item.failure;
    if (item.workAtCommit) {
        run.session->Work(*item.copy, item.target, overwrite);
    } else {
        AwaitWork(item.worked);
    }
    if (run.mode == CopyMode::CdBackup) FitsItsVolume(run, item);
    try {
        return CommitWithRoom(run, item, overwrite);
    } catch (const FsError& failure) {
        // Its sub-folder was asked for at its plan, or taken from the file
        // before it, well ahead of its copy: if it has gone since, make it
        // again and copy once more, as asking for this file at its turn would
        // have. A work done ahead may have gone with a folder that an earlier
        // file's commit has made again meanwhile.
        if (item.subFolder.empty() || failure.kind() != FsError::Kind::Missing) throw;
        if (run.session->DirectoryExists(item.subFolder)) {
            if (item.workAtCommit || item.foldersRemadeBefore == run.foldersRemade) throw;
        } else {
            run.session->CreateDirectory(item.subFolder, SourceFolder(item.file, style_));
            ++run.foldersRemade;
        }
        run.session->Work(*item.copy, item.target, overwrite);
        return run.session->Commit(*item.copy);
    }
}

// Commits one planned file, or reports its failure and asks whether to go
// on; false when the user stops the backup there.
bool BackupEngine::CommitOrAsk(CopyRun& run, PlannedFile& item, bool overwrite, CopySummary& summary)
{
    if (item.inside) {
        ++summary.insideDestination;
        host_.ShowProgress();
        return true;
    }
    try {
        const CopyOutcome outcome = CommitPlanned(run, item, overwrite);
        if (outcome == CopyOutcome::Copied)
            run.placed.Add(item.index, item.target, item.kept, item.copy->hash, item.copy->length,
                           item.copy->placedModified);
        run.handled->Add(item.index, item.file, item.target, item.copy->length, item.copy->sourceModified);
        summary.bytes += static_cast<std::int64_t>(item.copy->length);
        ++(outcome == CopyOutcome::Copied ? summary.copied : summary.upToDate);
        host_.ShowProgress();
        return true;
    } catch (const std::exception& failure) {
        ++summary.failed;
        host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
        const DialogResult answer =
            host_.Show({text::kContinueText, text::kWarningTitle, MessageBoxButtons::YesNo, MessageBoxIcon::Warning});
        if (answer == DialogResult::Yes) {
            host_.ShowProgress();
            return true;
        }
        state_.hasErrored = true;
        summary.stopped = true;
        return false;
    }
}

// Names, folders, commits, refreshes, the running total and the questions
// all come in list order, on the thread of the copy. Only the works, which
// write each file's data beside its target, run ahead of the commit point,
// for a bounded number of files, on N threads: the copy's own and N - 1 of a
// pool.
void BackupEngine::CopyAll(CopyRun& run, const PathList& allFiles, bool overwrite, CopySummary& summary)
{
    const int workers = parallelCopies_ > 1 ? parallelCopies_ : 0;
    // Works go to the pool in batches of files that follow each other (one
    // hand-over per batch, not per file), enough of them to keep every
    // thread busy. A batch holds a few MiB at most: the copy's thread, which
    // may run one, commits nothing meanwhile.
    const std::size_t ahead = workers > 0 ? std::min<std::size_t>(32 * static_cast<std::size_t>(workers), 256) : 1;
    const std::size_t batchSize = workers > 0 ? std::max<std::size_t>(1, ahead / (4 * workers)) : 1;
    constexpr std::int64_t kBatchBytes = std::int64_t {4} << 20;
    std::vector<PlannedFile*> batch;
    std::int64_t batchBytes = 0;
    std::deque<std::unique_ptr<PlannedFile>> window;  // planned, not committed yet
    // The targets in the window, by the hash of their text: a file whose
    // target may be an earlier one's is worked at its commit (a collision of
    // two hashes costs that file its place in the pool, nothing more).
    std::unordered_multiset<std::size_t> windowTargets;
    const std::hash<std::string> hashOf;
    std::string stoppedAt;  // the target of the file the user stopped at
    {
        std::optional<WorkPool> pool;
        // The copy's own thread is one of the N: it works whenever it would
        // otherwise wait for the file to commit next.
        if (workers > 0) pool.emplace(workers - 1);
        auto handOver = [&] {
            if (batch.empty()) return;
            pool->Add([files = std::move(batch), overwrite, &run] {
                for (PlannedFile* planned : files) {
                    run.session->Work(*planned->copy, planned->target, overwrite);
                    planned->worked = true;
                    planned->worked.notify_one();
                }
            });
            batch.clear();
            batchBytes = 0;
        };
        run.makeRoom = [&] {
            if (!pool) return false;
            pool.reset();  // the works begun finish, the others are dropped
            batch.clear();
            for (const auto& planned : window) {
                planned->workAtCommit = true;
                if (planned->copy) run.session->Release(*planned->copy);
            }
            return true;
        };
        std::size_t next = 0;
        while (!window.empty() || next < allFiles.size()) {
            while (next < allFiles.size() && window.size() < ahead) {
                auto item = std::make_unique<PlannedFile>();
                item->index = next;
                item->file = allFiles[next++];
                Plan(run, *item);
                if (!item->failure && !item->inside) {
                    const std::size_t target = hashOf(item->target);
                    item->workAtCommit = !pool || windowTargets.count(target) > 0;
                    windowTargets.insert(target);
                    if (!item->workAtCommit) {
                        batch.push_back(item.get());
                        batchBytes += item->size;
                        if (batch.size() >= batchSize || batchBytes >= kBatchBytes) handOver();
                    }
                }
                window.push_back(std::move(item));
            }
            // The file to commit next must not wait in a batch not yet handed over.
            if (!batch.empty() && batch.front() == window.front().get()) handOver();
            // Rather than wait for the file to commit next, the copy's thread
            // works the files that no pool thread has begun yet.
            const PlannedFile& front = *window.front();
            while (pool && !front.failure && !front.inside && !front.workAtCommit && !front.worked.load() &&
                   pool->RunOne()) {
            }
            std::unique_ptr<PlannedFile> item = std::move(window.front());
            window.pop_front();
            if (!item->failure && !item->inside) windowTargets.erase(windowTargets.find(hashOf(item->target)));
            if (!CommitOrAsk(run, *item, overwrite, summary)) {
                stoppedAt = item->target;
                break;
            }
        }
        // Stopped: the works begun finish, the others are dropped (the pool
        // ends here), and nothing of the files after the stop stays.
        run.makeRoom = nullptr;
    }
    // Folders made ahead for files that were never placed go too; the one
    // made for the file stopped at stays, as it was made before its copy.
    auto folderOf = [&](const std::string& target) { return target.substr(0, target.rfind(style_.separator) + 1); };
    std::vector<std::string> folders;
    for (const auto& item : window)
        if (!item->target.empty() && folderOf(item->target) != folderOf(stoppedAt))
            folders.push_back(folderOf(item->target));
    window.clear();
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) run.session->RemoveMadeFolder(*it);
}

// Once the copies are on disk: with the verify, each placed copy is read
// back and compared with what was read from its source; then the hashes go
// into the destination's record, and where each file came from into its
// index, still under the destination's lock.
void BackupEngine::VerifyAndRecord(CopyRun& run, const PathList& allFiles, CopySummary& summary, bool flushed)
{
    std::int64_t verifiedAt = 0;
    if (verify_ && flushed && !run.placed.empty()) {
        // Reading back waits on the disk more than on the processor: more
        // reads at once than copies keep it busy.
        const std::vector<std::string> failures =
            VerifyCopies(*run.session, run.placed, std::max(parallelCopies_, kReadBackThreads));
        for (const PlacedCopies::Copy& copy : run.placed) {
            if (!copy.hashed) continue;
            if (!copy.failed) {
                ++summary.verified;
                continue;
            }
            summary.bytes -= static_cast<std::int64_t>(copy.size);
            --summary.copied;
            ++summary.failed;
            ++summary.verifyFailed;
        }
        for (const std::string& failure : failures)
            host_.Show({failure, "", MessageBoxButtons::OK, MessageBoxIcon::None});
        verifiedAt =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
    }
    try {
        RecordCopies(*run.session, run.placed, verifiedAt);
    } catch (const std::exception& failure) {
        host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
    }
    run.placed = {};
    try {
        run.handled->Record(*run.session, allFiles);
    } catch (const std::exception& failure) {
        host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
    }
}

bool BackupEngine::TakeDestination(CopyRun& run)
{
    if (run.session->TryLock()) return true;
    const MessageBoxRequest waiting {
        text::kWaitingText + support::Quoted(WithoutFinalSeparator(run.destinationPath, style_)) + text::kWaitingSuffix,
        text::kProgramTitle, MessageBoxButtons::Cancel, MessageBoxIcon::Information};
    std::optional<FsError> failure;  // ends the wait, and the backup
    const bool taken = host_.WaitUntil(waiting, [&] {
        try {
            return run.session->TryLock();
        } catch (const FsError& error) {
            failure = error;
            return true;
        }
    });
    if (failure) throw *failure;
    return taken;
}

CopySummary BackupEngine::Copy(std::vector<std::string> allFiles, std::string destinationPath, bool overwrite,
                               CopyMode mode)
{
    return Copy(std::make_shared<const PathList>(std::move(allFiles)), std::move(destinationPath), overwrite, mode);
}

std::optional<std::string> BackupEngine::UnmountedDrive(const std::string& destinationPath)
{
    if (!destinations_) return std::nullopt;
    const std::optional<std::string> mountPoint = destinations_->MountPointOf(destinationPath);
    if (!mountPoint || mountPoint->empty() || fs_.IsMountPoint(*mountPoint)) return std::nullopt;
    return mountPoint;
}

CopySummary BackupEngine::Copy(std::shared_ptr<const PathList> allFiles, std::string destinationPath, bool overwrite,
                               CopyMode mode)
{
    state_.complete = false;
    state_.hasErrored = false;

    // A drive that is not plugged in gets nothing, or the folders would be
    // made on the disk below its mount point: said in place of the closing
    // message.
    if (const std::optional<std::string> mountPoint = UnmountedDrive(destinationPath)) {
        CopySummary summary;
        summary.notMounted = true;
        state_.complete = true;
        host_.ShowProgress();
        host_.Show({text::kNotMountedText + support::Quoted(WithoutFinalSeparator(destinationPath, style_)) +
                        text::kNotMountedMiddle + support::Quoted(*mountPoint) + ")",
                    text::kWarningTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
        return summary;
    }

    CopyRun run;
    run.destinationPath = std::move(destinationPath);
    run.mode = mode;
    run.placed = PlacedCopies(allFiles, run.destinationPath, style_);
    run.handled.emplace(run.destinationPath, style_);
    run.session = fs_.BeginCopy(run.destinationPath);
    run.session->SetEntries(state_.directoryData.load());
    run.session->HashSources(verify_);
    if (mode == CopyMode::DirectoryCopy) run.entries = state_.directoryData.load();
    CopySummary summary;
    // One backup at a time into a destination: the others wait, from the
    // first file to the flush of the last. A destination that fails to be
    // locked gets nothing: said in place of the closing message.
    bool taken = true;
    try {
        taken = allFiles->empty() || TakeDestination(run);
    } catch (const FsError& failure) {
        run.session.reset();
        state_.hasErrored = true;
        summary.stopped = true;
        summary.failed = static_cast<std::int64_t>(allFiles->size());
        state_.complete = true;
        host_.ShowProgress();
        host_.Show({failure.what(), text::kWarningTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
        return summary;
    }
    if (!taken) {
        state_.hasErrored = true;
        summary.stopped = summary.lockRefused = true;
    } else {
        // What a backup with Overwrite replaces is kept; what was kept long
        // enough goes, at the start.
        run.keepsVersions = overwrite && keepVersionsDays_ > 0 && !allFiles->empty();
        if (run.keepsVersions) {
            const std::int64_t now =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                    .count();
            run.session->KeepReplacedIn(now);
            summary.prunedVersions = run.session->PruneVersions(now - std::int64_t {keepVersionsDays_} * 86400);
        }
        run.handled->Reserve(allFiles->size());
        CopyAll(run, *allFiles, overwrite, summary);
        summary.keptVersions = run.session->KeptVersions();
        summary.versionsFolder = run.session->VersionsFolder();
        summary.freedVersions = run.freedVersions;
    }

    summary.ownersAndModesKept = run.session->KeptOwnersAndModes();
    // Where the destination was: the drive to find there next time.
    if (destinations_ && !summary.stopped && summary.copied + summary.upToDate > 0)
        destinations_->Remember(WithoutFinalSeparator(run.destinationPath, style_),
                                fs_.MountPointOf(run.destinationPath));
    // "Copied successfully" means on disk: the copies that a failed flush
    // covers failed, and the closing message says so in place of success.
    std::optional<std::int64_t> notWritten;
    bool flushed = true;
    try {
        run.session->Finish();
    } catch (const std::exception& failure) {
        flushed = false;
        host_.Show({failure.what(), "", MessageBoxButtons::OK, MessageBoxIcon::None});
        const auto* flush = dynamic_cast<const FlushError*>(&failure);
        notWritten = std::clamp<std::int64_t>(flush ? flush->files() : summary.copied, 0, summary.copied);
        summary.copied -= *notWritten;
        summary.failed += *notWritten;
    }
    // Taken after the end, which waits for uploads and learns of the mounts.
    summary.notes = run.session->Notes();
    VerifyAndRecord(run, *allFiles, summary, flushed);
    run.session.reset();

    state_.complete = true;
    host_.ShowProgress();
    if (notWritten) {
        host_.Show({text::kNotWrittenText + std::to_string(*notWritten) +
                        (*notWritten == 1 ? text::kNotWrittenFile : text::kNotWrittenFiles) +
                        support::Quoted(WithoutFinalSeparator(run.destinationPath, style_)),
                    text::kWarningTitle, MessageBoxButtons::OK, MessageBoxIcon::Warning});
    } else {
        host_.Show(
            {CopiedMessage(summary.bytes), text::kCompleteTitle, MessageBoxButtons::OK, MessageBoxIcon::Information});
    }
    return summary;
}

}  // namespace tandrel
