// The copies a backup replaces, kept in the destination's versions folder:
// "Tandrel Versions/<run>/<the target's path>", one run folder per backup
// that kept something, named by its start time (UTC) and marked as ours.
// Everything here goes through descriptors opened without following links,
// as a user who can write to the destination may plant them.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "engine/linux/copysession.h"
#include "engine/detail/versionnames.h"

namespace tandrel {

using posix::Fail;
using posix::Fd;
using posix::Quoted;
using namespace versions;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Run {
    std::string name;
    std::int64_t time;
    Fd fd;
};

// Every file below the folder open as `folder`, by its path below it.
void ListFiles(SystemCalls& calls, int folder, const std::string& below, std::vector<std::string>& files)
{
    DIR* dir = ::fdopendir(calls.OpenAt(folder, ".", kFolderFlags, 0));
    if (!dir) return;
    std::vector<std::string> folders;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || (below.empty() && name == kRunMarker)) continue;
        struct stat info {};
        if (calls.StatAt(::dirfd(dir), name.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        (S_ISDIR(info.st_mode) ? folders : files).push_back(below + name);
    }
    const int at = ::dirfd(dir);
    for (const std::string& sub : folders) {
        Fd next(calls.OpenAt(at, sub.substr(below.size()).c_str(), kFolderFlags, 0));
        if (next.Valid()) ListFiles(calls, next.Get(), sub + "/", files);
    }
    ::closedir(dir);
}

// Removes `path` below the folder open as `root` (never through a link), and
// the folders on its way that are left empty; the bytes it took, or -1.
std::int64_t RemoveBelow(SystemCalls& calls, int root, const std::string& path)
{
    std::vector<std::pair<Fd, std::string>> levels;  // the folders on the way, and each one's name
    int at = root;
    std::size_t from = 0;
    for (std::size_t cut; (cut = path.find('/', from)) != std::string::npos; from = cut + 1) {
        const std::string name = path.substr(from, cut - from);
        Fd next(calls.OpenAt(at, name.c_str(), kFolderFlags, 0));
        if (!next.Valid()) return -1;
        at = next.Get();
        levels.emplace_back(std::move(next), name);
    }
    struct stat info {};
    const std::string name = path.substr(from);
    if (calls.StatAt(at, name.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0 || calls.UnlinkAt(at, name.c_str(), 0) != 0)
        return -1;
    for (std::size_t i = levels.size(); i-- > 0;) {
        const int parent = i == 0 ? root : levels[i - 1].first.Get();
        if (calls.UnlinkAt(parent, levels[i].second.c_str(), AT_REMOVEDIR) != 0) break;  // not empty
    }
    return static_cast<std::int64_t>(info.st_blocks) * 512;
}

// The run folders of the versions folder open as `versions`, newest first:
// those of our own names that hold our marker.
std::vector<Run> Runs(SystemCalls& calls, int versions)
{
    std::vector<Run> runs;
    DIR* dir = ::fdopendir(calls.OpenAt(versions, ".", kFolderFlags, 0));
    if (!dir) return runs;
    while (const dirent* entry = ::readdir(dir)) {
        const std::int64_t time = RunTime(entry->d_name);
        if (time < 0) continue;
        Fd fd(calls.OpenAt(::dirfd(dir), entry->d_name, kFolderFlags, 0));
        struct stat marker {};
        if (!fd.Valid() || calls.StatAt(fd.Get(), kRunMarker, marker, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(marker.st_mode))
            continue;
        runs.push_back({entry->d_name, time, std::move(fd)});
    }
    ::closedir(dir);
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.time != b.time ? a.time > b.time : a.name > b.name; });
    return runs;
}

// A run folder left with its marker alone goes.
void DropIfEmpty(SystemCalls& calls, int versions, const Run& run)
{
    DIR* dir = ::fdopendir(calls.OpenAt(run.fd.Get(), ".", kFolderFlags, 0));
    if (!dir) return;
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != kRunMarker) empty = false;
    }
    ::closedir(dir);
    if (!empty) return;
    calls.UnlinkAt(run.fd.Get(), kRunMarker, 0);
    calls.UnlinkAt(versions, run.name.c_str(), AT_REMOVEDIR);
}

}  // namespace

void LinuxCopySession::KeepReplacedIn(std::int64_t runTime)
{
    runTime_ = runTime;
}

std::string LinuxCopySession::VersionsFolder() const
{
    return runFolder_.empty() ? std::string() : VersionsRoot() + "/" + runFolder_;
}

std::string LinuxCopySession::VersionsRoot() const
{
    std::string root = destination_;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return (root == "/" ? "" : root) + "/" + kVersionsFolderName;
}

// This run's folder of kept copies, with its marker; the versions folder's
// README comes with it.
void LinuxCopySession::MakeRunFolder()
{
    const std::string root = VersionsRoot();
    const std::string destination = root.substr(0, root.size() - std::strlen(kVersionsFolderName) - 1);
    tree_.Create(root, [&](std::size_t depth) { return depth == 0 ? destination : std::string(); });
    FolderRef versions = tree_.Open(root);
    Fd readme(calls_.OpenAt(versions->fd.Get(), kReadme, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (readme.Valid() && ::write(readme.Get(), kReadmeText, std::strlen(kReadmeText)) < 0) {
        // a README is a courtesy; the copies are what counts
    }
    const std::string base = RunName(*runTime_);
    std::string name;
    for (int sequence = 1;; ++sequence) {
        name = sequence == 1 ? base : base + "-" + std::to_string(sequence);
        if (calls_.MkdirAt(versions->fd.Get(), name.c_str(), 0700) == 0) break;
        if (errno != EEXIST || sequence == 1000)
            Fail("Could not make the folder " + Quoted(root + "/" + name), errno, root + "/" + name);
    }
    FolderRef run = tree_.Open(root + "/" + name);
    Fd marker(calls_.OpenAt(run->fd.Get(), kRunMarker, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!marker.Valid()) Fail("Could not mark the folder " + Quoted(root + "/" + name), errno, root + "/" + name);
    runFolder_ = name;
    struct stat mode {};
    if (::fstat(versions->fd.Get(), &mode) == 0) {
        Fd open(calls_.OpenAt(run->fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (open.Valid()) calls_.Fchmod(open.Get(), mode.st_mode & 0777);
    }
}

std::string LinuxCopySession::KeepingFolder()
{
    if (!runTime_)
        throw FsError("Could not keep a copy in the versions folder: no run was named", FsError::Kind::Other, 0,
                      VersionsRoot());
    if (runFolder_.empty()) MakeRunFolder();
    return VersionsRoot() + "/" + runFolder_;
}

// The folder of this run's kept copies that stands for `folder` of the
// destination, made with every missing level (each with the mode of the
// destination folder it stands for); the run folder comes with the first.
FolderRef LinuxCopySession::KeptFolderFor(const Folder& folder)
{
    const std::string root = VersionsRoot();
    const std::string destination = root.substr(0, root.size() - std::strlen(kVersionsFolderName) - 1);
    if (runFolder_.empty()) MakeRunFolder();
    const std::string below = folder.path.substr(std::min(folder.path.size(), destination.size() + 1));
    const std::string kept = root + "/" + runFolder_ + "/" + below;
    const std::size_t levels = static_cast<std::size_t>(std::count(below.begin(), below.end(), '/'));
    tree_.Create(kept, [&](std::size_t depth) {
        if (depth >= levels) return std::string();
        std::string mirrored = folder.path;
        for (std::size_t i = 0; i < depth; ++i) mirrored.resize(mirrored.rfind('/', mirrored.size() - 2) + 1);
        return mirrored;  // the destination folder `depth` levels above this folder, with its "/"
    });
    return tree_.Open(kept);
}

// Before a target is replaced, its copy goes into this run's folder of kept
// copies. Where the file system has hard links it is linked there first, so
// its name is never empty; elsewhere it is renamed there, and the new copy
// takes the empty name right after. Either way a kill at any moment leaves
// the old copy at its target or kept, and the new one placed, in its
// temporary, or not yet written.
void LinuxCopySession::KeepReplaced(Copy& copy, Attempt& attempt)
{
    const Folder& folder = *attempt.folder;
    const char* name = attempt.name.c_str();
    struct stat old {};
    // A target that is gone has nothing to keep; one that can't be looked
    // at is not replaced unkept.
    if (calls_.StatAt(folder.fd.Get(), name, old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (posix::IsGone(errno)) return;
        Fail(copy.What() + ": the copy it replaces could not be kept", errno, attempt.target);
    }
    if (S_ISDIR(old.st_mode)) return;
    FolderRef kept;
    try {
        kept = KeptFolderFor(folder);
    } catch (const FsError& failure) {
        throw failure.Within(copy.What() + ": the copy it replaces could not be kept");
    }
    DestinationCaps& caps = folder.state->caps;
    if (caps.hardLinks.Usable()) {
        if (calls_.LinkAt(folder.fd.Get(), name, kept->fd.Get(), name, 0) == 0) {
            ++kept_;
            return;
        }
        if (!posix::IsRefusal(errno) && errno != EMLINK)
            Fail(copy.What() + ": the copy it replaces could not be kept in " + Quoted(kept->path), errno, kept->path);
        caps.hardLinks.Refused();
    }
    int moved = -1;
    if (caps.renameNoReplace.Usable()) {
        moved = calls_.RenameAt(folder.fd.Get(), name, kept->fd.Get(), name, RENAME_NOREPLACE);
        if (moved != 0 && posix::IsRefusal(errno)) caps.renameNoReplace.Refused();
    }
    if (moved != 0 && !caps.renameNoReplace.Usable())
        moved = calls_.RenameAt(folder.fd.Get(), name, kept->fd.Get(), name, 0);
    if (moved != 0)
        Fail(copy.What() + ": the copy it replaces could not be kept in " + Quoted(kept->path), errno, kept->path);
    ++kept_;
    attempt.targetExisted = false;  // the name is free: the new copy takes it without replacing
    // A rename that loses times (fusefat) would give the kept copy today's.
    if (caps.renameKeepsTimes.Get() == Answer::No) {
        const struct timespec times[2] = {old.st_atim, old.st_mtim};
        calls_.UtimensAt(kept->fd.Get(), name, times, AT_SYMLINK_NOFOLLOW);
    }
}

std::int64_t LinuxCopySession::PruneVersions(std::int64_t cutoff)
{
    Fd versions;
    std::vector<Run> runs;
    try {
        FolderRef root = tree_.Open(VersionsRoot());
        versions.Reset(calls_.OpenAt(root->fd.Get(), ".", kFolderFlags, 0));
    } catch (const FsError&) {
        return 0;  // no versions folder: nothing kept yet
    }
    if (!versions.Valid()) return 0;
    runs = Runs(calls_, versions.Get());
    // Nothing to do, without a look inside, while no run is old enough.
    if (runs.empty() || runs.back().time >= cutoff) return 0;
    std::set<std::string> newest;  // paths whose newest kept copy was met
    std::int64_t removed = 0;
    for (const Run& run : runs) {
        std::vector<std::string> files;
        ListFiles(calls_, run.fd.Get(), "", files);
        for (const std::string& file : files) {
            const bool isNewest = newest.insert(file).second;
            if (run.time < cutoff && !isNewest && RemoveBelow(calls_, run.fd.Get(), file) >= 0) ++removed;
        }
        if (run.time < cutoff) DropIfEmpty(calls_, versions.Get(), run);
    }
    return removed;
}

std::int64_t LinuxCopySession::FreeVersions(std::uint64_t bytes)
{
    Fd versions;
    try {
        FolderRef root = tree_.Open(VersionsRoot());
        versions.Reset(calls_.OpenAt(root->fd.Get(), ".", kFolderFlags, 0));
    } catch (const FsError&) {
        return 0;
    }
    if (!versions.Valid()) return 0;
    std::vector<Run> runs = Runs(calls_, versions.Get());
    // Every kept copy but the newest of its path may go, the oldest first.
    std::set<std::string> newest;
    std::vector<std::pair<std::size_t, std::string>> candidates;  // run (newest first), path
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::vector<std::string> files;
        ListFiles(calls_, runs[i].fd.Get(), "", files);
        for (const std::string& file : files)
            if (!newest.insert(file).second) candidates.emplace_back(i, file);
    }
    std::int64_t removed = 0;
    std::uint64_t freed = 0;
    for (auto it = candidates.rbegin(); it != candidates.rend() && freed < bytes; ++it) {
        const std::int64_t size = RemoveBelow(calls_, runs[it->first].fd.Get(), it->second);
        if (size < 0) continue;
        freed += static_cast<std::uint64_t>(size);
        ++removed;
    }
    for (const Run& run : runs) DropIfEmpty(calls_, versions.Get(), run);
    return removed;
}

}  // namespace tandrel
