// The platform's file system on Linux: existence, listings and folders. The
// copies themselves are the copy session's (copysession.cpp and its pieces).
#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "engine/linux/nativefs.h"
#include "engine/filesystem.h"
#include "engine/linux/copysession.h"
#include "engine/linux/posixfd.h"

namespace tandrel {

using posix::Fail;
using posix::Fd;
using posix::Quoted;

namespace {

// stat() that tells "nothing there" (false) apart from a path the system
// refuses to look at (an FsError).
bool StatPath(const std::string& path, struct stat& info)
{
    if (::stat(path.c_str(), &info) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    Fail("Could not read " + Quoted(path), errno, path);
}

// An entry of `folder` that can't be looked at: a failure of the listing.
void Unreadable(Listing& listing, const std::string& folder, const char* name, int error)
{
    const std::string path = JoinPath(folder, name, PathStyle::Posix());
    listing.failures.push_back(posix::Error("Could not look at " + Quoted(path), error, path));
}

}  // namespace

bool NativeFileSystem::DirectoryExists(const std::string& path)
{
    struct stat info {};
    return StatPath(path, info) && S_ISDIR(info.st_mode);
}

bool NativeFileSystem::FileExists(const std::string& path)
{
    struct stat info {};
    return StatPath(path, info) && !S_ISDIR(info.st_mode);
}

Listing NativeFileSystem::List(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) Fail("Could not list the folder " + Quoted(folder), errno, folder);
    Listing listing;
    const int dirFd = ::dirfd(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            // A file system that gives no type: ask for it, without following.
            struct stat info {};
            if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) Unreadable(listing, folder, name, errno);  // else gone meanwhile
                errno = 0;
                continue;
            }
            type = S_ISDIR(info.st_mode)   ? DT_DIR
                   : S_ISREG(info.st_mode) ? DT_REG
                   : S_ISLNK(info.st_mode) ? DT_LNK
                                           : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            // A link to a folder is left out (the walk must not loop); a link
            // to a file is listed as that file.
            struct stat info {};
            if (::fstatat(dirFd, name, &info, 0) != 0) {
                // A link that leads nowhere (or gone meanwhile) is left out.
                if (errno != ENOENT && errno != ENOTDIR) Unreadable(listing, folder, name, errno);
                errno = 0;
                continue;
            }
            type = S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_REG)
            listing.files.push_back(JoinPath(folder, name, PathStyle::Posix()));
        else if (type == DT_DIR)
            listing.folders.push_back(JoinPath(folder, name, PathStyle::Posix()));
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0) Fail("Could not list the folder " + Quoted(folder), error, folder);
    return listing;
}

FileLook NativeFileSystem::Look(const std::string& path)
{
    struct stat info {};
    FileLook look;
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return look;
        Fail("Could not look at " + Quoted(path), errno, path);
    }
    look.kind = S_ISREG(info.st_mode)   ? FileLook::Kind::File
                : S_ISDIR(info.st_mode) ? FileLook::Kind::Folder
                : S_ISLNK(info.st_mode) ? FileLook::Kind::Link
                                        : FileLook::Kind::Other;
    look.size = static_cast<std::uint64_t>(info.st_size);
    look.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return look;
}

void NativeFileSystem::CreateDirectory(const std::string& path)
{
    BeginCopy(path)->CreateDirectory(path);
}

std::unique_ptr<CopySession> NativeFileSystem::BeginCopy(const std::string& destination)
{
    return std::make_unique<LinuxCopySession>(calls_ ? *calls_ : SystemCalls::Real(), destination, profile_);
}

std::string NativeFileSystem::MountPointOf(const std::string& path)
{
    // Through any link on the way: the file system that holds the folder.
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string level(real);
    std::free(real);
    struct stat info {};
    if (::stat(level.c_str(), &info) != 0) return {};
    const dev_t device = info.st_dev;
    while (level != "/") {
        const std::size_t cut = level.rfind('/');
        const std::string above = cut == 0 ? "/" : level.substr(0, cut);
        if (::stat(above.c_str(), &info) != 0 || info.st_dev != device) break;
        level = above;
    }
    return level;
}

bool NativeFileSystem::IsMountPoint(const std::string& folder)
{
    struct stat here {
    }, above {};
    if (::stat(folder.c_str(), &here) != 0 || !S_ISDIR(here.st_mode)) return false;
    if (::stat((folder + "/..").c_str(), &above) != 0) return false;
    return here.st_dev != above.st_dev || here.st_ino == above.st_ino;
}

void NativeFileSystem::RemoveCopyTemporaries(const std::string& folder)
{
    Fd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) RemoveCopyTemporariesAt(dir.Get());
}

void NativeFileSystem::RemoveCopyTemporariesAt(int folder)
{
    DIR* dir = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return;  // a copy into the folder will say why
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsCopyTemporaryName(entry->d_name)) continue;
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        // A regular file of that name that no running copy holds locked.
        Fd file(::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!file.Valid() || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0 || errno != EBUSY) continue;
        // A share refuses to remove a file that is open (a sharing
        // violation): let go of it, and remove it if the name is still it.
        file.Reset();
        struct stat again {};
        if (::fstatat(dirFd, entry->d_name, &again, AT_SYMLINK_NOFOLLOW) == 0 && again.st_dev == info.st_dev &&
            again.st_ino == info.st_ino)
            ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace tandrel
