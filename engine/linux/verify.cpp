// Reading copies back: the verify at the end of a backup and the check of a
// backup alone; and the reserved files of the destination folder, the record
// of hashes they go by among them, read and written in pieces. Every copy is
// reached from its folder's descriptor, never through a link.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "engine/linux/copysession.h"
#include "engine/linux/placement.h"
#include "engine/linux/sessionparts.h"
#include "engine/restore.h"

namespace tandrel {

using posix::Fail;
using posix::Fd;
using posix::Quoted;
using namespace session;

int HashFile(int fd, ContentHasher& hasher, std::uint64_t& size, std::int64_t expected)
{
    hasher.Reset();
    size = 0;
    // A file whose size is known is read in one go where it is small, and
    // no further than that size: a read at the end would only say so.
    constexpr std::size_t kLargest = std::size_t {1} << 20;
    const std::size_t buffer =
        expected >= 0 && expected < static_cast<std::int64_t>(kLargest) ? std::max<std::size_t>(expected, 1) : kLargest;
    const std::unique_ptr<char[]> data(new char[buffer]);
    while (expected < 0 || size < static_cast<std::uint64_t>(expected)) {
        const ssize_t n = ::pread(fd, data.get(), buffer, static_cast<off_t>(size));
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        hasher.Add(data.get(), static_cast<std::size_t>(n));
        size += static_cast<std::uint64_t>(n);
    }
    return 0;
}

StoredCopy LinuxCopySession::ReadBack(const std::string& path)
{
    const std::string what = "Could not read back " + Quoted(path);
    StoredCopy stored;
    FolderRef folder;
    try {
        folder = tree_.Open(FolderOf(path));
    } catch (const FsError& failure) {
        if (failure.kind() != FsError::Kind::Missing) throw failure.Within(what);
        stored.missing = true;
        return stored;
    }
    Fd in(calls_.OpenAt(folder->fd.Get(), NameOf(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!in.Valid()) {
        if (errno == ENOENT) {
            stored.missing = true;
            return stored;
        }
        Fail(what, errno, path);
    }
    struct stat info {};
    if (::fstat(in.Get(), &info) != 0) Fail(what, errno, path);
    if (!S_ISREG(info.st_mode)) throw FsError(what + ": it is no longer a regular file", FsError::Kind::Other, 0, path);
    // The pages of a flushed file are clean and may go: the read then comes
    // from the disk. A FUSE or network file system may keep its own cache,
    // which this does not reach.
    calls_.Fadvise(in.Get(), 0, 0, POSIX_FADV_DONTNEED);
    ContentHasher hasher;
    if (const int error = HashFile(in.Get(), hasher, stored.size, info.st_size)) Fail(what, error, path);
    stored.modified = Nanoseconds(info.st_mtim);
    stored.hash = hasher.Digest();
    return stored;
}

std::int64_t LinuxCopySession::MarkStale(const std::string& path)
{
    try {
        const FolderRef folder = tree_.Open(FolderOf(path));
        const std::string name = NameOf(path);
        struct stat info {};
        if (::fstatat(folder->fd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
        // Two seconds off: more than any file system's time grain, so the
        // quick check never matches it.
        const struct timespec times[2] = {{0, UTIME_OMIT}, {info.st_mtim.tv_sec - 2, info.st_mtim.tv_nsec}};
        if (calls_.UtimensAt(folder->fd.Get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
            ::fstatat(folder->fd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return 0;
        return Nanoseconds(info.st_mtim);
    } catch (const FsError&) {
        return 0;
    }
}

namespace {

class ReservedIn : public ReservedReader {
public:
    ReservedIn(Fd in, std::string what, std::string path)
        : in_(std::move(in)), what_(std::move(what)), path_(std::move(path))
    {
    }
    std::size_t Read(char* data, std::size_t size) override
    {
        for (;;) {
            const ssize_t n = ::read(in_.Get(), data, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) Fail(what_, errno, path_);
        }
    }

private:
    Fd in_;
    std::string what_, path_;
};

// Written beside the old file under a temporary's name (which a later
// clean-up takes for a killed copy's, unless its writer still holds it
// locked), put on disk, then renamed over it.
class ReservedOut : public ReservedWriter {
public:
    ReservedOut(SystemCalls& calls, FolderRef folder, const char* name, std::string temporary, Fd out, std::string what,
                std::string path)
        : calls_(calls), folder_(std::move(folder)), name_(name), temporary_(std::move(temporary)),
          out_(std::move(out)), what_(std::move(what)), path_(std::move(path))
    {
    }
    ~ReservedOut() override
    {
        if (out_.Valid()) Discard();
    }
    void Write(const char* data, std::size_t size) override
    {
        for (std::size_t written = 0; written < size;) {
            const ssize_t n = ::write(out_.Get(), data + written, size - written);
            if (n < 0 && errno != EINTR) Abandon(errno);
            if (n > 0) written += static_cast<std::size_t>(n);
        }
    }
    void Commit() override
    {
        const int folder = folder_->fd.Get();
        int error = ::fsync(out_.Get()) != 0 ? errno : 0;
        // A late write error (FUSE, shares) shows at the close of a
        // duplicate; the file stays open, and locked, until it has its name.
        if (error == 0) {
            const int duplicate = ::dup(out_.Get());
            if (duplicate < 0 || ::close(duplicate) != 0) error = errno;
        }
        if (error == 0 && calls_.RenameAt(folder, temporary_.c_str(), folder, name_, 0) != 0) error = errno;
        // A share refuses to rename a file that is open (a sharing
        // violation): closed, it is renamed at once (no backup cleans this
        // folder meanwhile, as this one holds the destination).
        if (error == EBUSY) {
            out_.Reset();
            error = calls_.RenameAt(folder, temporary_.c_str(), folder, name_, 0) != 0 ? errno : 0;
        }
        if (error != 0) Abandon(error);
        out_.Reset();
        // The new name on disk too, as far as the folder can be flushed.
        Fd named(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (named.Valid()) ::fsync(named.Get());
    }

private:
    void Discard()
    {
        out_.Reset();
        RemoveOwn(calls_, folder_->fd.Get(), temporary_.c_str());
    }
    [[noreturn]] void Abandon(int error)
    {
        Discard();
        Fail(what_, error, path_);
    }

    SystemCalls& calls_;
    FolderRef folder_;
    const char* name_;
    std::string temporary_;
    Fd out_;
    std::string what_, path_;
};

}  // namespace

std::unique_ptr<ReservedReader> LinuxCopySession::OpenReserved(const ReservedFile& file)
{
    const std::string path = destination_ + (destination_.ends_with('/') ? "" : "/") + file.name;
    std::string what = std::string("Could not read ") + file.title + " " + Quoted(path);
    FolderRef root;
    try {
        root = tree_.Open(destination_);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
    Fd in(calls_.OpenAt(root->fd.Get(), file.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!in.Valid()) {
        if (errno == ENOENT) return nullptr;
        Fail(what, errno, path);
    }
    struct stat info {};
    if (::fstat(in.Get(), &info) != 0) Fail(what, errno, path);
    if (!S_ISREG(info.st_mode)) throw FsError(what + ": it is not a regular file", FsError::Kind::Other, 0, path);
    return std::make_unique<ReservedIn>(std::move(in), std::move(what), path);
}

// The clean-up of the destination folder comes first, so that it does not
// take the new file for a killed copy's.
std::unique_ptr<ReservedWriter> LinuxCopySession::ReplaceReserved(const ReservedFile& file)
{
    const std::string path = destination_ + (destination_.ends_with('/') ? "" : "/") + file.name;
    std::string what = std::string("Could not write ") + file.title + " " + Quoted(path);
    FolderRef root;
    try {
        root = tree_.Open(destination_);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
    Clean(*root);
    std::string temporary = NewCopyTemporaryName();
    Fd out(
        calls_.OpenAt(root->fd.Get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.Valid()) Fail(what, errno, path);
    ::flock(out.Get(), LOCK_EX | LOCK_NB);
    return std::make_unique<ReservedOut>(calls_, std::move(root), file.name, std::move(temporary), std::move(out),
                                         std::move(what), path);
}

namespace {

constexpr ReservedFile kIndex {kRestoreIndexName, "the index of sources"};

}  // namespace

std::unique_ptr<ReservedReader> LinuxCopySession::OpenIndex()
{
    return OpenReserved(kIndex);
}

std::unique_ptr<ReservedWriter> LinuxCopySession::ReplaceIndex()
{
    return ReplaceReserved(kIndex);
}

}  // namespace tandrel
