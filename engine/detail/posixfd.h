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

[[noreturn]] inline void Fail(const std::string& what, int error)
{
    throw FsError(what + ": " + std::strerror(error));
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
