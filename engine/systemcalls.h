// The calls of the POSIX copy whose answers differ from one file system to
// the next. Tests replace them to act as file systems that a test machine
// cannot mount, or to refuse what root is always allowed.
#pragma once

#include <sys/types.h>
#include <time.h>

namespace tandrel {

class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    // Each returns 0 (a descriptor for the opens) on success, else -1 with
    // errno set, as the system call does.
    virtual int OpenUnnamed(const char* folder, int flags, mode_t mode);  // open(O_TMPFILE)
    virtual int OpenNew(const char* path, int flags, mode_t mode);        // open(O_CREAT | O_EXCL)
    virtual int RenameNoReplace(const char* from, const char* to);        // renameat2(RENAME_NOREPLACE)
    virtual int Link(const char* from, const char* to);
    virtual int Rename(const char* from, const char* to);
    virtual int Fchown(int fd, uid_t owner, gid_t group);
    virtual int Futimens(int fd, const struct timespec times[2]);
    virtual int Utimens(const char* path, const struct timespec times[2]);  // utimensat
    virtual int Mkdir(const char* path, mode_t mode);

    // The system's own calls.
    static SystemCalls& Real();
};

}  // namespace tandrel
