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

// Waits until the files given are uploaded, or until nothing has moved for
// `stall`. `uploaded(path)` says whether one is done; `moving()` whether the
// mount shows any sign of work (bytes sent) since it was last
// asked. Returns the files still not uploaded.
std::vector<std::string> WaitForUploads(std::vector<std::string> files,
                                        const std::function<bool(const std::string&)>& uploaded,
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
        std::vector<std::string> files;
    };
    std::vector<NotUploaded> Wait(std::chrono::milliseconds stall = std::chrono::seconds(45));
    // The mounts written to that lack the recommended options, each with what
    // it lacks ("--vfs-cache-mode writes").
    std::vector<std::pair<std::string, std::vector<std::string>>> Unrecommended() const;

private:
    struct Mount {
        std::optional<RcloneMount> found;
        std::vector<std::string> files;
    };
    std::map<std::string, Mount> mounts_;  // by mount point
};

}  // namespace tandrel
