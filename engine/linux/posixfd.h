// Small pieces shared by the Linux file-system code: an owned descriptor and
// the failure that carries the system's reason.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <unistd.h>

#include "engine/filesystem.h"
#include "support/quoted.h"

namespace tandrel::posix {

using support::Quoted;

// What an errno means to a backup.
inline bool IsGone(int error)  // the file, or a folder on its path, is not there
{
    return error == ENOENT || error == ENOTDIR || error == ESTALE;
}
inline bool IsFull(int error)
{
    return error == ENOSPC || error == EDQUOT;
}
// The file system does not do what was asked, whatever the file.
inline bool IsRefusal(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM || error == ENOTTY;
}
// The folder takes no new file at all, whatever its name.
inline bool TakesNoFile(int error)
{
    return error == EACCES || error == EROFS || IsFull(error);
}

inline FsError::Kind KindOf(int error)
{
    return IsGone(error) ? FsError::Kind::Missing : IsFull(error) ? FsError::Kind::Full : FsError::Kind::Other;
}

// "what: the system's reason".
inline FsError Error(const std::string& what, int error, const std::string& path)
{
    return FsError(what + ": " + std::strerror(error), KindOf(error), error, path);
}

// The reason the name of `path` is refused: "the destination's file system
// does not allow the name 'N': reason".
inline FsError NameRefused(const std::string& path, const std::string& name, const std::string& reason,
                           int error = EINVAL)
{
    return FsError("the destination's file system does not allow the name " + Quoted(name) + ": " + reason,
                   FsError::Kind::Other, error, path);
}

[[noreturn]] inline void Fail(const std::string& what, int error, const std::string& path)
{
    throw Error(what, error, path);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the close's own error (a late write error).
    int Close()
    {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

}  // namespace tandrel::posix
