// Temporaries and the ways to place them.
#include "engine/linux/placement.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/filesystem.h"

namespace tandrel {

namespace {

constexpr std::int64_t kSecond = 1000000000;

std::int64_t Nanoseconds(const struct timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
}

// Unnamed files are given their name through /proc/self/fd (linking through
// the descriptor itself takes a capability that only root has).
bool UnnamedFilesUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

}  // namespace

int RemoveOwn(SystemCalls& calls, int folder, const char* name)
{
    for (int attempt = 0;; ++attempt) {
        if (calls.UnlinkAt(folder, name, 0) == 0) return 0;
        if (errno != EBUSY || attempt == 40) return errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int Temporary::Create(mode_t mode)
{
    DestinationCaps& caps = folder_->state->caps;
    const int folder = folder_->fd.Get();
    if (caps.unnamedFiles.Usable() && UnnamedFilesUsable()) {
        out_.Reset(calls_.OpenAt(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (out_.Valid()) {
            unnamed_ = true;
            asked_ = static_cast<int>(mode);
            return 0;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
        caps.unnamedFiles.Refused();
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = NewCopyTemporaryName();
        out_.Reset(calls_.OpenAt(folder, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out_.Valid()) {
            name_ = name;
            ::flock(out_.Get(), LOCK_EX);
            return 0;
        }
        const int error = errno;
        if (error != EEXIST) return error;
        // A fresh random name is hardly ever taken; a file system that says
        // so of a name that is not there (ntfs-3g when full) is out of room.
        struct stat info {};
        if (caps.eexistMeansFull && ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            return ENOSPC;
    }
    return EEXIST;
}

int Temporary::CreateLink(const std::string& text)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = NewCopyTemporaryName();
        if (calls_.SymlinkAt(text.c_str(), folder_->fd.Get(), name.c_str()) == 0) {
            name_ = name;
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

void Temporary::Discard()
{
    if (!name_.empty()) {
        if (out_.Valid()) calls_.Ftruncate(out_.Get(), 0);
        // Closed before its name goes: FUSE renames a file removed while open
        // to a hidden name first, and exfat-fuse then aborts.
        out_.Reset();
        RemoveOwn(calls_, folder_->fd.Get(), name_.c_str());
        name_.clear();
    }
    out_.Reset();
}

// Closes a duplicate of the descriptor: a network or FUSE file system
// reports a late write error at any close, and the file stays open (and
// locked) until it is placed.
int Temporary::CheckedClose()
{
    if (!folder_->state->caps.closeReportsErrors) return 0;
    const int copy = ::dup(out_.Get());
    if (copy < 0) return errno;
    return ::close(copy) == 0 ? 0 : errno;
}

int Temporary::LinkUnnamed(const std::string& name)
{
    static std::atomic<bool> throughProc {false};
    const int folder = folder_->fd.Get();
    if (!throughProc.load(std::memory_order_relaxed)) {
        if (calls_.LinkAt(out_.Get(), "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM) return errno;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(out_.Get());
    if (calls_.LinkAt(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) != 0) return errno;
    throughProc.store(true, std::memory_order_relaxed);
    return 0;
}

// Replacing takes a rename, and a rename takes a name.
int Temporary::GiveName()
{
    ::flock(out_.Get(), LOCK_EX);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = NewCopyTemporaryName();
        const int error = LinkUnnamed(name);
        if (error == 0) {
            name_ = name;
            unnamed_ = false;
        }
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

int Temporary::Place(const std::string& target, bool replace, bool existed, bool lookedAbsent)
{
    const int folder = folder_->fd.Get();
    int error = 0;
    if (unnamed_ && !(replace && existed)) {
        // Straight to its name; the link fails if a target appeared meanwhile.
        error = LinkUnnamed(target);
        if (error == 0) {
            error = CheckedClose();
            if (error == 0) return 0;
            calls_.UnlinkAt(folder, target.c_str(), 0);  // ours: nothing was there before the link
            return error;
        }
        if (error != EEXIST || !replace) return error;
    }
    if (unnamed_) error = GiveName();
    // A share refuses to rename a file that is open (EBUSY, a sharing
    // violation): there it is closed first, as one backup at a time writes
    // into a destination and no other clean-up can take it meanwhile.
    Capability& renamesOpen = folder_->state->caps.renamesOpenFiles;
    if (error == 0 && out_.Valid()) error = renamesOpen.Usable() ? CheckedClose() : out_.Close();
    if (error == 0) error = MoveIntoPlace(target, replace, lookedAbsent);
    if (error == EBUSY && out_.Valid()) {
        renamesOpen.Refused();
        error = out_.Close();
        if (error == 0) error = MoveIntoPlace(target, replace, lookedAbsent);
    }
    if (error == 0) name_.clear();
    return error;
}

int Temporary::MoveIntoPlace(const std::string& target, bool replace, bool lookedAbsent)
{
    DestinationCaps& caps = folder_->state->caps;
    const int folder = folder_->fd.Get();
    const char* from = name_.c_str();
    const char* to = target.c_str();
    renamed_ = true;
    if (replace) return calls_.RenameAt(folder, from, folder, to, 0) == 0 ? 0 : errno;
    if (caps.renameNoReplace.Usable()) {
        if (calls_.RenameAt(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
        if (!posix::IsRefusal(errno)) return errno;
        caps.renameNoReplace.Refused();
    }
    if (caps.hardLinks.Usable()) {
        // A hard link fails when the target exists, as the move must.
        if (calls_.LinkAt(folder, from, folder, to, 0) == 0) {
            calls_.UnlinkAt(folder, from, 0);
            renamed_ = false;
            return 0;
        }
        if (!posix::IsRefusal(errno) && errno != EMLINK) return errno;
        caps.hardLinks.Refused();
    }
    // Neither way exists here (FAT and exFAT through FUSE, many network
    // shares): look for the target, then rename. Another program that
    // creates the same name between the look and the rename loses its file
    // to ours; backups into one destination take turns. (On FUSE each look
    // for a name that isn't there is a round trip to the driver: one the
    // commit has just made is not made again.)
    struct stat existing {};
    if (!lookedAbsent) {
        if (calls_.StatAt(folder, to, existing, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
        if (errno != ENOENT) return errno;
    }
    return calls_.RenameAt(folder, from, folder, to, 0) == 0 ? 0 : errno;
}

void Temporary::RestoreTimes(const std::string& target, const struct timespec times[2], std::int64_t grain)
{
    // Some file systems (fusefat) give a renamed file the time of the rename.
    // The first rename onto a file system tells whether its times survive;
    // where they don't, they are set again on the placed file.
    LearnedFact& keeps = folder_->state->caps.renameKeepsTimes;
    const Answer known = keeps.Get();
    if (!renamed_ || known == Answer::Yes) return;
    const int folder = folder_->fd.Get();
    if (known == Answer::Unknown) {
        struct stat placed {};
        if (::fstatat(folder, target.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0) return;
        const std::int64_t off = std::llabs(Nanoseconds(placed.st_mtim) - Nanoseconds(times[1]));
        keeps.Set(off == 0 || off < grain);
        if (off == 0 || off < grain) return;
    }
    calls_.UtimensAt(folder, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace tandrel
