// Gathering and copying: the two jobs that run on workers.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/destinationmemory.h"
#include "engine/exclusions.h"
#include "engine/filesystem.h"
#include "engine/host.h"
#include "engine/jobstate.h"
#include "engine/paths.h"

namespace tandrel {

// The three ways a backup names its targets.
enum class CopyMode {
    DirectoryCopy,  // each file under its folder path, from the backed-up folder's name
    CdBackup,       // numbered volume folders of at most kVolumeLimit bytes
    Consolidate,    // all files side by side in the destination
};

// The mode the window's three options stand for. "CD Backup" wins over
// "Consolidate Files", and both over "Directory Copy"; with none of them
// set, files land side by side.
CopyMode CopyModeOf(bool cdBackup, bool consolidate, bool directoryCopy);

// What one backup did, file by file.
struct CopySummary {
    std::int64_t copied = 0;             // new copies placed
    std::int64_t upToDate = 0;           // targets that already were the file's copy
    std::int64_t failed = 0;             // files reported as failed
    bool stopped = false;                // the user stopped the backup at a failed file
    bool ownersAndModesKept = true;      // false where the destination keeps neither
    std::vector<std::string> notes;      // about the destination's file systems, for the summary
    bool lockRefused = false;            // another backup held the destination, and it was not waited for
    bool notMounted = false;             // the destination's drive was not mounted: nothing was tried
    std::int64_t insideDestination = 0;  // files left out as they lie inside the destination
    std::int64_t keptVersions = 0;       // replaced copies kept in the versions folder...
    std::string versionsFolder;          // ...in this run folder
    std::int64_t prunedVersions = 0;     // kept copies removed as older than the days kept
    std::int64_t freedVersions = 0;      // kept copies removed to make room
    std::int64_t bytes = 0;              // the running total of the closing message
    std::int64_t verified = 0;           // copies read back and found to hold their source's data
    std::int64_t verifyFailed = 0;       // copies read back that did not (counted in `failed` too)
};

class BackupEngine {
public:
    BackupEngine(JobState& state, JobHost& host, FileSystem& fs, PathStyle style = PathStyle::Native());

    // Walks the entries (files or folders; with `subdirsFlag` whole folder
    // trees, breadth first) and appends every file found to the job state's
    // file list. Holds both walk locks for the whole walk; ends by handing the
    // entries back through JobHost::ReturnFiles.
    void GetFiles(std::vector<std::string> folderArray, bool subdirsFlag);

    // What the gatherings leave out (null: nothing), taken by each one as
    // it starts; from any thread.
    void SetExclusions(std::shared_ptr<const Exclusions> exclusions) { exclusions_.store(std::move(exclusions)); }
    // What the last gathering left out, in the order met: whole folders
    // (never walked) and files. An entry left out is told of by a warning.
    std::vector<LeftOutItem> LeftOut() const;

    // Copies every file of `allFiles` into `destinationPath` (which ends with
    // the separator) by the mode given, asking through the host after each
    // failed file, and ends with the "Backup Complete" message. With
    // `overwrite`, a target that already is the file's copy is left alone.
    CopySummary Copy(std::vector<std::string> allFiles, std::string destinationPath, bool overwrite, CopyMode mode);
    // The same, of a snapshot of the job state's file list (SyncList::Snapshot).
    CopySummary Copy(std::shared_ptr<const PathList> allFiles, std::string destinationPath, bool overwrite,
                     CopyMode mode);

    static constexpr std::int64_t kVolumeLimit = 734003200;  // 700 MiB, one CD

    // How many days a replaced copy is kept in the destination's versions
    // folder (30 by default); 0 keeps none.
    void SetKeepVersionsDays(int days) { keepVersionsDays_ = days < 0 ? 0 : days; }
    int KeepVersionsDays() const { return keepVersionsDays_; }

    // Where each destination's drive was at its last backup; none: no check.
    void SetDestinationMemory(DestinationMemory* memory) { destinations_ = memory; }
    // The mount point at which the destination's drive was at its last
    // backup, where no file system is mounted now.
    std::optional<std::string> UnmountedDrive(const std::string& destinationPath);

    // How many files' data a copy writes at once (1: one file at a time).
    // By default the number of cores, at least 2 and at most 8.
    void SetParallelCopies(int n) { parallelCopies_ = n < 1 ? 1 : n; }
    int ParallelCopies() const { return parallelCopies_; }
    static int DefaultParallelCopies();
    // How many copies a verify or a check reads back at once, at least.
    static constexpr int kReadBackThreads = 8;

    // With `on`, a backup reads back every copy it placed once they are on
    // disk, and fails each that does not hold what was read from its source.
    void SetVerify(bool on) { verify_ = on; }
    bool Verify() const { return verify_; }

private:
    struct Walk;
    struct CopyRun;
    struct PlannedFile;
    void Plan(CopyRun& run, PlannedFile& item);
    CopyOutcome CommitPlanned(CopyRun& run, PlannedFile& item, bool overwrite);
    CopyOutcome CommitWithRoom(CopyRun& run, PlannedFile& item, bool overwrite);
    bool CommitOrAsk(CopyRun& run, PlannedFile& item, bool overwrite, CopySummary& summary);
    void CopyAll(CopyRun& run, const PathList& allFiles, bool overwrite, CopySummary& summary);
    std::string DirectoryCopyTarget(CopyRun& run, const std::string& file, std::size_t& kept);
    std::string TargetOf(CopyRun& run, const std::string& file, std::int64_t size);
    void FitsItsVolume(CopyRun& run, PlannedFile& item);
    void RefuseReservedName(const CopyRun& run, const std::string& file, const std::string& target) const;
    // Takes the destination for this backup, waiting while another one
    // holds it; false when the wait was cancelled. A failure to lock it
    // (FsError) ends the wait.
    bool TakeDestination(CopyRun& run);
    void VerifyAndRecord(CopyRun& run, const PathList& allFiles, CopySummary& summary, bool flushed);

    JobState& state_;
    JobHost& host_;
    FileSystem& fs_;
    PathStyle style_;
    int parallelCopies_ = DefaultParallelCopies();
    DestinationMemory* destinations_ = nullptr;
    int keepVersionsDays_ = 30;
    bool verify_ = false;
    std::atomic<std::shared_ptr<const Exclusions>> exclusions_;
    mutable std::mutex leftOutMutex_;
    std::vector<LeftOutItem> leftOut_;
};

// What ReturnFiles does with a finished gathering, on the window thread: the
// entries to append to the backup list box and the two status texts. Clears
// the job-origin flags and hasErrored.
struct ReturnedFiles {
    std::vector<std::string> entries;
    std::string totalFiles;    // "Total Files: N"
    std::string totalFolders;  // "Total Folders: N"
};
ReturnedFiles TakeReturnedFiles(JobState& state, const std::vector<std::string>& folderArray,
                                const std::string& initalDir);

// "N KB copied successfully" for a total in bytes.
std::string CopiedMessage(std::int64_t bytes);

}  // namespace tandrel
