// The system's own calls behind the SystemCalls seam.
#include "engine/linux/systemcalls.h"

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace tandrel {

int SystemCalls::OpenBeneath(int folder, const char* levels)
{
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
    // A kernel that lacks it, or its flags, is not asked again.
    static std::atomic<bool> lacking {false};
    if (!lacking.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
        const long fd = ::syscall(SYS_openat2, folder, levels, &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EINVAL)) return static_cast<int>(fd);
        lacking.store(true, std::memory_order_relaxed);
    }
#else
    (void)folder;
    (void)levels;
#endif
    errno = ENOSYS;
    return -1;
}

int SystemCalls::Fadvise(int fd, off_t offset, off_t length, int advice)
{
    const int error = ::posix_fadvise(fd, offset, length, advice);
    if (error == 0) return 0;
    errno = error;
    return -1;
}

int SystemCalls::OpenAt(int folder, const char* name, int flags, mode_t mode)
{
    return ::openat(folder, name, flags, mode);
}

int SystemCalls::StatAt(int folder, const char* name, struct stat& info, int flags)
{
    return ::fstatat(folder, name, &info, flags);
}

int SystemCalls::MkdirAt(int folder, const char* name, mode_t mode)
{
    return ::mkdirat(folder, name, mode);
}

int SystemCalls::RenameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags)
{
    if (flags == 0) return ::renameat(fromFolder, from, toFolder, to);
#ifdef RENAME_NOREPLACE
    return ::renameat2(fromFolder, from, toFolder, to, flags);
#else
    errno = ENOSYS;
    return -1;
#endif
}

int SystemCalls::LinkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags)
{
    return ::linkat(fromFolder, from, toFolder, to, flags);
}

int SystemCalls::UnlinkAt(int folder, const char* name, int flags)
{
    return ::unlinkat(folder, name, flags);
}

int SystemCalls::SymlinkAt(const char* text, int folder, const char* name)
{
    return ::symlinkat(text, folder, name);
}

int SystemCalls::Fchown(int fd, uid_t owner, gid_t group)
{
    return ::fchown(fd, owner, group);
}

int SystemCalls::Fchmod(int fd, mode_t mode)
{
    return ::fchmod(fd, mode);
}

int SystemCalls::FchownAt(int folder, const char* name, uid_t owner, gid_t group, int flags)
{
    return ::fchownat(folder, name, owner, group, flags);
}

int SystemCalls::Futimens(int fd, const struct timespec times[2])
{
    return ::futimens(fd, times);
}

int SystemCalls::UtimensAt(int folder, const char* name, const struct timespec times[2], int flags)
{
    return ::utimensat(folder, name, times, flags);
}

ssize_t SystemCalls::CopyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length)
{
    return ::copy_file_range(in, inAt, out, outAt, length, 0);
}

int SystemCalls::Clone(int out, int in)
{
#ifdef FICLONE
    return ::ioctl(out, FICLONE, in);
#else
    (void)out, (void)in;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int SystemCalls::Ftruncate(int fd, off_t length)
{
    return ::ftruncate(fd, length);
}

int SystemCalls::Fstatfs(int fd, struct statfs& info)
{
    return ::fstatfs(fd, &info);
}

int SystemCalls::Flock(int fd, int operation)
{
    return ::flock(fd, operation);
}

int SystemCalls::Syncfs(int fd)
{
    return ::syncfs(fd);
}

std::string SystemCalls::MountTable()
{
    std::ifstream table("/proc/self/mountinfo");
    std::ostringstream text;
    text << table.rdbuf();
    return text.str();
}

struct timespec SystemCalls::Now()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

SystemCalls& SystemCalls::Real()
{
    static SystemCalls real;
    return real;
}

}  // namespace tandrel
