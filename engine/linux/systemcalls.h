// The calls of the POSIX copy whose answers differ from one file system to
// the next, or that a test must be able to make fail or race. Tests replace
// them to act as file systems that a test machine cannot mount, to refuse
// what root is always allowed, or to play another program's step at the
// right moment. Every call on the destination is relative to a folder's
// descriptor.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>

struct stat;
struct statfs;

namespace tandrel {

class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    // Each returns 0 (a descriptor for OpenAt, a count for CopyFileRange)
    // on success, else -1 with errno set, as the system call does.
    virtual int OpenAt(int folder, const char* name, int flags, mode_t mode);  // O_TMPFILE with the name "."
    virtual int MkdirAt(int folder, const char* name, mode_t mode);
    // renameat2; flags 0 is a plain renameat, RENAME_NOREPLACE never replaces.
    virtual int RenameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
    virtual int LinkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags);
    virtual int UnlinkAt(int folder, const char* name, int flags);
    // A look at a name (fstatat): what a file system takes for the same name.
    virtual int StatAt(int folder, const char* name, struct stat& info, int flags);
    virtual int SymlinkAt(const char* text, int folder, const char* name);
    virtual int Fchown(int fd, uid_t owner, gid_t group);
    virtual int Fchmod(int fd, mode_t mode);
    virtual int FchownAt(int folder, const char* name, uid_t owner, gid_t group, int flags);
    virtual int Futimens(int fd, const struct timespec times[2]);
    virtual int UtimensAt(int folder, const char* name, const struct timespec times[2], int flags);
    virtual ssize_t CopyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length);
    virtual int Clone(int out, int in);  // ioctl(FICLONE)
    virtual int Ftruncate(int fd, off_t length);
    virtual int Fstatfs(int fd, struct statfs& info);
    virtual int Flock(int fd, int operation);
    // The flush of the whole file system that holds `fd`.
    virtual int Syncfs(int fd);
    // The source's folder `levels` (one or more names) below the folder
    // `folder`, opened O_PATH in one call that follows no link on the way
    // (openat2): -1 with ENOSYS where the kernel has no openat2.
    virtual int OpenBeneath(int folder, const char* levels);
    // posix_fadvise: what a read back does to read from the disk, not the cache.
    virtual int Fadvise(int fd, off_t offset, off_t length, int advice);
    // The mount table (/proc/self/mountinfo), empty where it can't be read.
    virtual std::string MountTable();
    // The wall clock, as file times are kept.
    virtual struct timespec Now();

    // The system's own calls.
    static SystemCalls& Real();
};

}  // namespace tandrel
