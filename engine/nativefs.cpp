// The platform's file system. On POSIX systems a copy goes into a temporary
// file beside its target and is moved into place only when complete, so a
// failure never leaves a partial target nor harms the file it was to replace.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandrel {

namespace {

std::string Quoted(const std::string& path)
{
    return "'" + path + "'";
}

[[noreturn]] void Fail(const std::string& what, int error)
{
    throw FsError(what + ": " + std::strerror(error));
}

// stat() that tells "nothing there" (false) apart from a path the system
// refuses to look at (an FsError).
bool StatPath(const std::string& path, struct stat& info)
{
    if (::stat(path.c_str(), &info) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    Fail("Could not read " + Quoted(path), errno);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
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

// Copies the bytes of `in` to `out`: a clone where the file system shares
// blocks, else copy_file_range, else a plain read/write loop. `size` is what
// stat said; the copy goes on to the source's real end, which differs for a
// file that grew or for kernel files that report 0. Returns 0 or the error.
int CopyData(int in, int out, off_t size)
{
#ifdef FICLONE
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0) return 0;
#endif
    off_t done = 0;
    for (;;) {
        const std::size_t chunk = done < size ? static_cast<std::size_t>(size - done) : std::size_t{1} << 20;
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        // Refused before any byte moved (across file systems, or a file
        // system without it, even at the end of an empty file): copy by hand.
        if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL ||
                          errno == EPERM))
            break;
        return errno;
    }
    if (::lseek(in, done, SEEK_SET) < 0 || ::lseek(out, done, SEEK_SET) < 0) return errno;
    static constexpr std::size_t kBuffer = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    for (;;) {
        const ssize_t n = ::read(in, buffer.get(), kBuffer);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w = ::write(out, buffer.get() + written, static_cast<size_t>(n - written));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            written += w;
        }
    }
}

// Moves the finished temporary file to the target; without `replace` an
// existing target is never replaced.
int MoveIntoPlace(const std::string& temporary, const std::string& target, bool replace)
{
    if (replace) return ::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : errno;
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
#endif
    // A hard link fails when the target exists, as the move must.
    if (::link(temporary.c_str(), target.c_str()) == 0) {
        ::unlink(temporary.c_str());
        return 0;
    }
    return errno;
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
    if (!dir) Fail("Could not list the folder " + Quoted(folder), errno);
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
                errno = 0;
                continue;  // gone meanwhile
            }
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG
                   : S_ISLNK(info.st_mode) ? DT_LNK : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            // A link to a folder is left out (the walk must not loop); a link
            // to a file is listed as that file.
            struct stat info {};
            if (::fstatat(dirFd, name, &info, 0) != 0) {
                errno = 0;
                continue;  // a dangling link, or gone meanwhile
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
    if (error != 0) Fail("Could not list the folder " + Quoted(folder), error);
    return listing;
}

std::uint64_t NativeFileSystem::FileLength(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) Fail("Could not read the size of " + Quoted(path), errno);
    if (S_ISDIR(info.st_mode)) Fail("Could not read the size of " + Quoted(path), EISDIR);
    return static_cast<std::uint64_t>(info.st_size);
}

void NativeFileSystem::CreateDirectory(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) throw FsError("Could not create the folder " + Quoted(path) + ": " + error.message());
}

void NativeFileSystem::CopyFile(const std::string& source, const std::string& target, bool overwrite)
{
    const std::string what = "Could not copy " + Quoted(source) + " to " + Quoted(target);
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0) Fail(what, errno);
    struct stat sourceInfo {};
    if (::fstat(in.get(), &sourceInfo) != 0) Fail(what, errno);
    if (S_ISDIR(sourceInfo.st_mode)) Fail(what, EISDIR);
    if (!S_ISREG(sourceInfo.st_mode)) throw FsError(what + ": it is not a regular file");

    struct stat targetInfo {};
    if (::stat(target.c_str(), &targetInfo) == 0) {
        if (targetInfo.st_dev == sourceInfo.st_dev && targetInfo.st_ino == sourceInfo.st_ino)
            throw FsError(what + ": they are the same file");
        if (!overwrite) Fail(what, EEXIST);
    } else if (!overwrite && errno != ENOENT) {
        Fail(what, errno);
    }

    std::string folder = target.substr(0, target.rfind('/') + 1);
    if (folder.empty()) folder = "./";
    std::string temporary;
    Fd out;
    for (int attempt = 0; attempt < 16 && out.get() < 0; ++attempt) {
        temporary = folder + NewCopyTemporaryName();
        out.Reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (out.get() < 0 && errno != EEXIST) Fail(what, errno);
    }
    if (out.get() < 0) Fail(what, EEXIST);

    int error = CopyData(in.get(), out.get(), sourceInfo.st_size);
    if (error == 0) {
        // Permission bits and times of the source; a file system that keeps
        // neither is no reason to fail the copy.
        ::fchmod(out.get(), sourceInfo.st_mode & 07777);
        const struct timespec times[2] = {sourceInfo.st_atim, sourceInfo.st_mtim};
        ::futimens(out.get(), times);
        error = out.Close();
    }
    if (error == 0) error = MoveIntoPlace(temporary, target, overwrite);
    if (error != 0) {
        ::unlink(temporary.c_str());
        Fail(what, error);
    }
}

void NativeFileSystem::Flush(const std::string& folder)
{
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) Fail("Could not write to disk under " + Quoted(folder), errno);
    if (::syncfs(dir.get()) != 0) Fail("Could not write to disk under " + Quoted(folder), errno);
}

}  // namespace tandrel
