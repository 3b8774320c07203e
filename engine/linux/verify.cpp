// Reading copies back: the verify at the end of a backup and the check of a
// backup alone, and the record of hashes they go by, kept in the
// destination folder. Every copy is reached from its folder's descriptor,
// never through a link.
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

std::optional<std::string> LinuxCopySession::LoadRecord()
{
    return LoadTopFile(kHashRecordName, "the record of hashes", std::string::npos);
}

void LinuxCopySession::SaveRecord(const std::string& text)
{
    SaveTopFile(kHashRecordName, "the record of hashes", text);
}

std::optional<std::string> LinuxCopySession::LoadIndex(std::size_t limit)
{
    return LoadTopFile(kRestoreIndexName, "the index of sources", limit);
}

void LinuxCopySession::SaveIndex(const std::string& text)
{
    SaveTopFile(kRestoreIndexName, "the index of sources", text);
}

// The files of the destination folder itself that a backup keeps about its
// copies (`what` names them), read (their first `limit` bytes) and written
// without following a link.
std::optional<std::string> LinuxCopySession::LoadTopFile(const char* name, const char* what, std::size_t limit)
{
    const std::string path = destination_ + (destination_.ends_with('/') ? "" : "/") + name;
    const std::string failed = std::string("Could not read ") + what + " " + Quoted(path);
    FolderRef root;
    try {
        root = tree_.Open(destination_);
    } catch (const FsError& failure) {
        throw failure.Within(failed);
    }
    Fd in(calls_.OpenAt(root->fd.Get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    if (!in.Valid()) {
        if (errno == ENOENT) return std::nullopt;
        Fail(failed, errno, path);
    }
    struct stat info {};
    if (::fstat(in.Get(), &info) != 0) Fail(failed, errno, path);
    if (!S_ISREG(info.st_mode)) throw FsError(failed + ": it is not a regular file", FsError::Kind::Other, 0, path);
    std::string text;
    text.reserve(std::min(static_cast<std::size_t>(info.st_size), limit));
    char buffer[1 << 16];
    while (text.size() < limit) {
        const ssize_t n = ::read(in.Get(), buffer, std::min(sizeof buffer, limit - text.size()));
        if (n == 0) return text;
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(failed, errno, path);
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// Written whole beside the old file, under a temporary's name (which a
// later clean-up, this function's first of all, takes for a killed copy's,
// unless its writer still holds it locked), put on disk, then renamed over
// it.
void LinuxCopySession::SaveTopFile(const char* name, const char* what, const std::string& text)
{
    const std::string path = destination_ + (destination_.ends_with('/') ? "" : "/") + name;
    const std::string failed = std::string("Could not write ") + what + " " + Quoted(path);
    FolderRef root;
    try {
        root = tree_.Open(destination_);
    } catch (const FsError& failure) {
        throw failure.Within(failed);
    }
    Clean(*root);
    const int folder = root->fd.Get();
    const std::string temporary = NewCopyTemporaryName();
    Fd out(calls_.OpenAt(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.Valid()) Fail(failed, errno, path);
    ::flock(out.Get(), LOCK_EX | LOCK_NB);
    int error = 0;
    for (std::size_t written = 0; written < text.size() && error == 0;) {
        const ssize_t n = ::write(out.Get(), text.data() + written, text.size() - written);
        if (n < 0 && errno != EINTR) error = errno;
        if (n > 0) written += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(out.Get()) != 0) error = errno;
    // A late write error (FUSE, shares) shows at the close of a duplicate;
    // the file stays open, and locked, until it has its name.
    if (error == 0) {
        const int duplicate = ::dup(out.Get());
        if (duplicate < 0 || ::close(duplicate) != 0) error = errno;
    }
    if (error == 0 && calls_.RenameAt(folder, temporary.c_str(), folder, name, 0) != 0) error = errno;
    // A share refuses to rename a file that is open (a sharing violation):
    // closed, it is renamed at once (no backup cleans this folder meanwhile,
    // as this one holds the destination).
    if (error == EBUSY) {
        out.Reset();
        error = calls_.RenameAt(folder, temporary.c_str(), folder, name, 0) != 0 ? errno : 0;
    }
    if (error != 0) {
        out.Reset();
        RemoveOwn(calls_, folder, temporary.c_str());
        Fail(failed, error, path);
    }
    out.Reset();
    // The new name on disk too, as far as the folder can be flushed.
    Fd named(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (named.Valid()) ::fsync(named.Get());
}

}  // namespace tandrel
