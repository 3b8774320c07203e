// What guards a destination: one backup at a time, and nothing of its own
// copied into it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/linux/copysession.h"
#include "engine/linux/sessionparts.h"

namespace tandrel {

using namespace session;
using posix::Fail;
using posix::Fd;
using posix::IsRefusal;
using posix::Quoted;

bool LinuxCopySession::LiesInDestination(const std::string& source)
{
    if (!destinationId_) {
        try {
            destinationId_ = tree_.Open(destination_)->id;
        } catch (const FsError&) {
            return false;  // not there (yet): nothing lies in it
        }
    }
    const std::size_t cut = source.rfind('/');
    return cut != std::string::npos && FolderInDestination(cut == 0 ? "/" : source.substr(0, cut));
}

bool LinuxCopySession::FolderInDestination(const std::string& folder)
{
    if (const auto it = inDestination_.find(folder); it != inDestination_.end()) return it->second;
    struct stat info {};
    bool inside = false;
    if (::stat(folder.c_str(), &info) == 0) {
        if (info.st_dev == destinationId_->device && info.st_ino == destinationId_->inode) {
            inside = true;
        } else if (folder != "/") {
            const std::size_t cut = folder.rfind('/');
            inside = cut != std::string::npos && FolderInDestination(cut == 0 ? "/" : folder.substr(0, cut));
        }
    }
    inDestination_[folder] = inside;
    return inside;
}

// The lock is a file in the destination folder, held with flock: it goes
// with the process, however that ends. It is removed when the backup ends,
// so a backup that took the lock checks that the file it locked is still the
// one of that name. A file system that has no locks (a refusal, or ENOLCK
// from a share without a lock service) takes the backup as it is; any other
// error fails it.
bool LinuxCopySession::TryLock()
{
    if (locked_) return true;
    const std::string what = "Could not lock the destination " + Quoted(destination_);
    try {
        tree_.Create(destination_, {});
        lockFolder_ = tree_.Open(destination_);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
    const int root = lockFolder_->fd.Get();
    for (int attempt = 0; attempt < 16; ++attempt) {
        lock_.Reset(
            calls_.OpenAt(root, kDestinationLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        if (!lock_.Valid()) Fail(what, errno, destination_);
        if (calls_.Flock(lock_.Get(), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            lock_.Reset();
            if (error == EWOULDBLOCK) return false;
            if (IsRefusal(error) || error == ENOLCK) return true;
            Fail(what, error, destination_);
        }
        struct stat held {
        }, named {};
        if (::fstat(lock_.Get(), &held) == 0 &&
            ::fstatat(root, kDestinationLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return locked_ = true;
        lock_.Reset();  // removed by the backup that held it: the next one's file
    }
    return false;
}

void LinuxCopySession::Unlock()
{
    if (!locked_) return;
    // Removed while held where the file system lets an open file go; a share
    // does not (EBUSY): there it goes just after.
    const bool removed = calls_.UnlinkAt(lockFolder_->fd.Get(), kDestinationLockName, 0) == 0;
    lock_.Reset();
    if (!removed && errno == EBUSY) RemoveOwn(calls_, lockFolder_->fd.Get(), kDestinationLockName);
    locked_ = false;
}

}  // namespace tandrel
