// Copies onto an rclone mount are uploaded after their close: the mount keeps
// each written file in its cache, marked dirty, and sends it to the remote
// later (after --vfs-write-back). A copy counts as copied only once the
// remote holds it, so the end of a backup waits for the uploads of the files
// it placed, through the mount's own record of them: the item's metadata in
// the cache (`vfsMeta`), whose "Dirty" turns false when the upload is done.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/linux/caps.h"

namespace tandrel {

// How one rclone mount was started, read from its command line.
struct RcloneMount {
    pid_t pid = 0;
    std::string mountPoint;  // absolute, as in the mount table
    std::string remote;      // the remote's name ("cloud" of "cloud:backups")
    std::string remoteRoot;  // the path on the remote ("backups"), may be empty
    std::string cacheDir;    // --cache-dir, or rclone's default for that process
    std::string cacheMode;   // --vfs-cache-mode ("off" by default)
    // Where the mount logs (--log-file, or the file its errors go to); empty
    // where it can't be read. Its lines tell why an upload failed.
    std::string logPath;
    // What is missing of the options that make a backup reliable there:
    // empty when the mount has them.
    std::vector<std::string> missingOptions;
};

// The mount of `mount` (a "fuse.rclone" entry) from a process's arguments,
// environment and working folder; nothing when they don't start that mount.
std::optional<RcloneMount> ParseRcloneMount(const MountEntry& mount, const std::vector<std::string>& arguments,
                                            const std::map<std::string, std::string>& environment,
                                            const std::string& workingFolder);
// The same, looked for among the running processes (`procRoot`: /proc).
std::optional<RcloneMount> FindRcloneMount(const MountEntry& mount, const std::string& procRoot = "/proc");

// Where the mount's cache keeps what it knows of the file at `path`
// (absolute, below the mount point); empty when the path is not below it.
std::string RcloneMetaPath(const RcloneMount& mount, const std::string& path);
// Whether the cache's metadata text says the file's upload is done.
bool RcloneMetaUploaded(const std::string& metaText);

// What a mount's log says of the uploads that failed: by the file's path
// below the mount point ("docs/a.txt"), how many tries failed and the
// remote's reason at the last one.
struct FailedUpload {
    int tries = 0;
    std::string reason;
};
class RcloneLog {
public:
    // Reads `path` from its end as it is now: older lines are other work's.
    explicit RcloneLog(std::string path);
    // Takes in the lines written since the last look.
    void Read();
    // The lines of a log, as Read takes them in.
    void Take(const std::string& lines);
    const FailedUpload* Of(const std::string& file) const;

private:
    std::string path_;
    std::uint64_t offset_ = 0;
    std::map<std::string, FailedUpload> failed_;
};

// A file the wait gave up on, with the remote's reason where the mount
// gave one.
struct NotUploadedFile {
    std::string file;
    std::string reason;
    bool operator==(const NotUploadedFile&) const = default;
};
// Waits until the files given are uploaded, or until nothing has moved for
// `stall`. `uploaded(path)` says whether one is done; `failures(path)` what
// the mount said of its failed tries; `moving()` whether the mount shows
// any sign of work (bytes sent) since it was last asked. A file whose
// upload failed twice is given up at once, with the remote's reason, and
// the others wait on. Returns the files not uploaded.
std::vector<NotUploadedFile> WaitForUploads(std::vector<std::string> files,
                                            const std::function<bool(const std::string&)>& uploaded,
                                            const std::function<FailedUpload(const std::string&)>& failures,
                                            const std::function<bool()>& moving, std::chrono::milliseconds stall,
                                            std::chrono::milliseconds poll);

// The uploads one backup waits for, on every rclone mount it wrote to.
class Uploads {
public:
    // A copy placed at `path` (absolute) on the mount `mount`.
    void Placed(const MountEntry& mount, std::string path);
    // Waits for every placed copy; the ones whose upload did not finish, with
    // the mount they are on.
    struct NotUploaded {
        std::string mountPoint;
        std::vector<NotUploadedFile> files;
    };
    std::vector<NotUploaded> Wait(std::chrono::milliseconds stall = std::chrono::seconds(45));
    // The mounts written to that lack the recommended options, each with what
    // it lacks ("--vfs-cache-mode writes").
    std::vector<std::pair<std::string, std::vector<std::string>>> Unrecommended() const;

private:
    struct Mount {
        std::optional<RcloneMount> found;
        std::optional<RcloneLog> log;  // read from where it was when the first copy was placed
        std::vector<std::string> files;
    };
    std::map<std::string, Mount> mounts_;  // by mount point
};

}  // namespace tandrel
