// Getting files back from a destination: what it holds (the current copies,
// the copies kept in its versions folder, and where each one came from) and
// the restore of a file or folder, as it is now or as it was at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/filesystem.h"
#include "engine/paths.h"

namespace tandrel {

// The file in the destination folder that records where each copy came
// from (source path -> target path, size, modification time). Reserved
// like the lock and the versions folder: a backup never places a file of
// this name at the top of its destination.
inline constexpr const char* kRestoreIndexName = ".tandrel-index";

// One copy of a file that a destination holds.
struct HeldCopy {
    std::string path;           // the copy's full path
    std::int64_t keptAt = 0;    // the start of the run that replaced it (s since 1970, UTC); 0: the current copy
    std::uint64_t size = 0;     // bytes
    std::int64_t modified = 0;  // ns since 1970
};

// One file a destination holds: its current copy, or only kept ones.
struct HeldFile {
    std::string target;            // the current copy's path below the destination, "/" between names
    std::string source;            // where it was backed up from; empty where that is not recorded
    std::vector<HeldCopy> copies;  // the current copy (where there is one) first, then the kept ones, newest first
};

// The copy of `file` that was current at `at` (s since 1970): the one whose
// modification time is the latest not after it (that second included; of
// two of one time, the current copy); null where every copy is newer (the
// file did not exist then, as far as the backup knows).
const HeldCopy* CopyAt(const HeldFile& file, std::int64_t at);

// What a destination holds, read once: every file below it (its lock, its
// record files and the versions folder's marks left out) and every copy
// kept of them.
class BackupContents {
public:
    // Throws FsError where the destination can't be read.
    static BackupContents Read(FileSystem& fs, const std::string& destinationPath, PathStyle style);

    const std::string& Destination() const { return destination_; }  // ends with the separator
    PathStyle Style() const { return style_; }
    // Whether the destination records where its files came from; one made
    // by an older backup holds only its folder layout (every `source` empty).
    bool HasIndex() const { return hasIndex_; }
    // Sorted by source path, then by target for those of no known source.
    const std::vector<HeldFile>& Files() const { return files_; }
    // The files at or below `path`: a source path (file or folder), or a path
    // below the destination (relative, or full). Empty: none matches.
    std::vector<const HeldFile*> Select(const std::string& path) const;
    // The path below the destination ("/" between names; empty for the
    // destination itself) that `path` names as Select takes it: a relative
    // path, or a full one in the destination. None for a source path.
    std::optional<std::string> BelowDestination(const std::string& path) const;
    // What could not be read below the destination (each message with the
    // platform's reason and the path): files there may be missing.
    const std::vector<std::string>& Problems() const { return problems_; }

private:
    std::string destination_;
    PathStyle style_ = PathStyle::Native();
    bool hasIndex_ = false;
    std::vector<HeldFile> files_;
    std::vector<std::string> problems_;
};

struct RestoreRequest {
    // Source paths or paths below the destination; each a file or folder.
    std::vector<std::string> paths;
    // The time to restore the state of (s since 1970); none: the current copies.
    std::optional<std::int64_t> at;
    // The folder to restore into, keeping the layout below each selected
    // path's parent (never the whole original path); empty: each file's
    // original place (needs the destination's index).
    std::string to;
    // An existing file that differs is replaced, after it is kept in the
    // destination's versions folder; otherwise the restored copy is placed
    // beside it, as "name (restored YYYY-MM-DD HH-MM-SS).ext".
    bool replace = false;
    // Only say what would be restored.
    bool dryRun = false;
};

// One file of a restore, as planned.
struct RestoreItem {
    std::string from;  // the copy in the destination
    std::string to;    // where it goes
};

struct RestoreSummary {
    std::int64_t restored = 0;           // copies placed (beside ones and replacing ones included)
    std::int64_t same = 0;               // files already there as the copy holds them, left alone
    std::int64_t beside = 0;             // ... of those restored, placed beside a file that differs
    std::int64_t replaced = 0;           // ... of those restored, put in place of one (kept first)
    std::int64_t failed = 0;             // files that could not be restored
    std::int64_t tooNew = 0;             // selected files with no copy as old as the time asked for
    std::int64_t bytes = 0;              // bytes restored
    std::vector<std::string> unmatched;  // requested paths the destination holds nothing of
    bool lockRefused = false;            // a backup held the destination, and it was not waited for
    std::string keptIn;                  // the versions run folder the replaced files went to (empty: none)
};

// What a restore tells while it runs; every callback is optional and called
// on the restoring thread.
struct RestoreReport {
    std::function<void(const RestoreItem& item)> planned;  // each file, before any is copied (and for --dry-run)
    std::function<void(std::int64_t done, std::int64_t total)> progress;
    std::function<void(const std::string& message)> failure;  // a file that failed, with the platform's reason and path
    // While a backup holds the destination, asked every 200 ms: true waits
    // on, false gives up.
    std::function<bool()> waitForLock;
    std::function<bool()> cancelled;  // true stops before the next file
};

// Restores the selected files from the destination (`contents` as read of
// it), each through a temporary file and its placing, links never followed,
// modes and times kept, under the destination's lock.
RestoreSummary Restore(FileSystem& fs, const BackupContents& contents, const RestoreRequest& request,
                       const RestoreReport& report);

// "YYYY-MM-DD HH:MM:SS" in local time, of `seconds` since 1970, with
// `timeSeparator` in place of ':' (a name wants '-': some file systems
// refuse ':').
std::string LocalDateText(std::int64_t seconds, char timeSeparator = ':');

}  // namespace tandrel
