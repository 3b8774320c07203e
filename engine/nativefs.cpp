// The platform's file system. On POSIX systems a copy goes into an unnamed
// (or else a temporary) file beside its target and gets the target's name
// only when complete, so a failure never leaves a partial target nor harms
// the file it was to replace.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
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

// Copy asks for a file's length right before it copies the file. FileLength
// opens the file and hands it to the CopyFile that follows: one lookup of
// the path instead of two. Per thread, as a copy runs on one worker.
struct OpenedSource {
    std::string path;
    Fd fd;
    struct stat info {};  // as FileLength found it, a moment before the copy
};

OpenedSource& LastOpened()
{
    thread_local OpenedSource opened;
    return opened;
}

// The file FileLength opened for `path`, if that was the last it opened,
// and what fstat said of it then.
int TakeOpened(const std::string& path, struct stat* info = nullptr)
{
    OpenedSource& opened = LastOpened();
    const int fd = opened.path == path ? opened.fd.Release() : -1;
    if (fd >= 0 && info) *info = opened.info;
    opened.fd.Reset(-1);
    opened.path.clear();
    return fd;
}

// What a copy learns about a target folder with its first file there and
// reuses for the files that follow (a backup writes folder by folder). Kept
// per thread: a copy runs on one worker.
struct FolderFacts {
    std::string folder;
    bool unnamedRefused = false;  // the file system makes no unnamed files (O_TMPFILE)
    bool cloneRefused = false;    // FICLONE from `cloneSource` into the folder is refused
    dev_t cloneSource = 0;
    // The permission bits that a new file in the folder keeps of those it is
    // created with (the umask, or a default ACL, takes the others); -1 until
    // the first new file there shows them.
    int keptModeBits = -1;
    // This backup made the folder: it held no targets to look for first.
    bool madeByThisBackup = false;
};

FolderFacts& Facts()
{
    thread_local FolderFacts facts;
    return facts;
}

FolderFacts& FactsFor(const std::string& folder)
{
    FolderFacts& facts = Facts();
    if (facts.folder != folder) facts = FolderFacts{folder};
    return facts;
}

// A new backup learns the facts afresh: folders change between backups.
void ForgetFacts()
{
    Facts() = FolderFacts{};
}

// Unnamed files are given their name through /proc/self/fd (linking through
// the descriptor itself takes a capability that only root has).
bool UnnamedFilesUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

// Gives the unnamed file open as `fd` the name `path`. Fails with EEXIST when
// the name is taken: nothing is ever replaced.
int LinkUnnamed(int fd, const std::string& path)
{
    static std::atomic<bool> throughProc{false};
    if (!throughProc.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM) return errno;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) return errno;
    throughProc.store(true, std::memory_order_relaxed);
    return 0;
}

// Gives the unnamed file open as `fd` a fresh temporary name in `folder`,
// returned in `temporary`.
int NameUnnamed(int fd, const std::string& folder, std::string& temporary)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporary = folder + NewCopyTemporaryName();
        const int error = LinkUnnamed(fd, temporary);
        if (error != EEXIST) {
            if (error != 0) temporary.clear();
            return error;
        }
    }
    temporary.clear();
    return EEXIST;
}

// Copies the bytes of `in` to `out`: a clone where the file system shares
// blocks, else copy_file_range, else a plain read/write loop. `size` is what
// stat said; the copy goes on to the source's real end, which differs for a
// file that grew or for kernel files that report 0. Returns 0 or the error.
int CopyData(int in, int out, const struct stat& source, FolderFacts& facts)
{
    const off_t size = source.st_size;
#ifdef FICLONE
    // A file system that can't share blocks (or not across these two) says
    // so once; the files that follow skip the question.
    if (size > 0 && !(facts.cloneRefused && facts.cloneSource == source.st_dev)) {
        if (::ioctl(out, FICLONE, in) == 0) return 0;
        if (errno == EOPNOTSUPP || errno == EXDEV || errno == ENOTTY) {
            facts.cloneRefused = true;
            facts.cloneSource = source.st_dev;
        }
    }
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
    TakeOpened({});  // whatever was kept for a copy that did not come
    // A file that can't be opened may still have a size to tell.
    Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (file.get() >= 0 ? ::fstat(file.get(), &info) != 0 : ::stat(path.c_str(), &info) != 0)
        Fail("Could not read the size of " + Quoted(path), errno);
    if (S_ISDIR(info.st_mode)) Fail("Could not read the size of " + Quoted(path), EISDIR);
    if (file.get() >= 0 && S_ISREG(info.st_mode)) {
        OpenedSource& opened = LastOpened();
        opened.path = path;
        opened.fd.Reset(file.Release());
        opened.info = info;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

void NativeFileSystem::CreateDirectory(const std::string& path)
{
    std::error_code error;
    const bool made = std::filesystem::create_directories(path, error);
    if (error) throw FsError("Could not create the folder " + Quoted(path) + ": " + error.message());
    // The copies that follow into a folder made just now need not look for a
    // target there first (see CopyFile).
    if (made && !path.empty() && path.back() == '/') FactsFor(path).madeByThisBackup = true;
}

void NativeFileSystem::CopyFile(const std::string& source, const std::string& target, bool overwrite)
{
    const std::string what = "Could not copy " + Quoted(source) + " to " + Quoted(target);
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    struct stat sourceInfo {};
    Fd in(TakeOpened(source, &sourceInfo));
    if (in.get() < 0) {
        in.Reset(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (in.get() < 0 || ::fstat(in.get(), &sourceInfo) != 0) Fail(what, errno);
    }
    if (S_ISDIR(sourceInfo.st_mode)) Fail(what, EISDIR);
    if (!S_ISREG(sourceInfo.st_mode)) throw FsError(what + ": it is not a regular file");

    std::string folder = target.substr(0, target.rfind('/') + 1);
    if (folder.empty()) folder = "./";
    FolderFacts& facts = FactsFor(folder);

    // A target already there: the same file is never copied onto itself, and
    // without `overwrite` the target is refused before anything is copied.
    // A folder this backup made is not searched: only the backup's own copies
    // can be there (a name met twice), and the link below never replaces
    // what it was not asked to.
    struct stat targetInfo {};
    bool targetExists = false;
    if (!facts.madeByThisBackup) {
        if (::stat(target.c_str(), &targetInfo) == 0) {
            if (targetInfo.st_dev == sourceInfo.st_dev && targetInfo.st_ino == sourceInfo.st_ino)
                throw FsError(what + ": they are the same file");
            if (!overwrite) Fail(what, EEXIST);
            targetExists = true;
        } else if (!overwrite && errno != ENOENT) {
            Fail(what, errno);
        }
    }
    const mode_t mode = sourceInfo.st_mode & 07777;

    // Preferably an unnamed file in the target's folder: nothing of it shows
    // before it is complete, and a copy that dies leaves nothing behind. Else
    // a temporary file with a recognisable name, locked while it is written
    // so that RemoveCopyTemporaries passes it by.
    Fd out;
    std::string temporary;  // the copy's name while it is not in place
    bool unnamed = false;
    bool modeSet = false;   // created with the source's bits already
    if (!facts.unnamedRefused && UnnamedFilesUsable()) {
        // The first file in a folder asks for every bit, to learn which ones
        // the folder keeps; the files that follow ask for their own.
        const bool probe = facts.keptModeBits < 0;
        out.Reset(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, probe ? 0777 : (mode & 0777)));
        if (out.get() >= 0) {
            unnamed = true;
            struct stat created {};
            if (probe && ::fstat(out.get(), &created) == 0) facts.keptModeBits = created.st_mode & 0777;
            // (Set-id and sticky bits are never among the bits kept.)
            modeSet = !probe && (mode & ~facts.keptModeBits) == 0;
        } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
            facts.unnamedRefused = true;
        } else {
            Fail(what, errno);
        }
    }
    if (!unnamed) {
        for (int attempt = 0; attempt < 16 && out.get() < 0; ++attempt) {
            temporary = folder + NewCopyTemporaryName();
            out.Reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (out.get() < 0 && errno != EEXIST) Fail(what, errno);
        }
        if (out.get() < 0) Fail(what, EEXIST);
        ::flock(out.get(), LOCK_EX);
    }

    int error = CopyData(in.get(), out.get(), sourceInfo, facts);
    if (error == 0) {
        // Permission bits and times of the source; a file system that keeps
        // neither is no reason to fail the copy.
        if (!modeSet) ::fchmod(out.get(), mode);
        const struct timespec times[2] = {sourceInfo.st_atim, sourceInfo.st_mtim};
        ::futimens(out.get(), times);
    }
    if (error == 0 && unnamed && !(overwrite && targetExists)) {
        // Straight to its name; the link fails if a target appeared meanwhile.
        error = LinkUnnamed(out.get(), target);
        if (error == 0) {
            error = out.Close();
            if (error == 0) return;
            ::unlink(target.c_str());  // ours: nothing was there before the link
            Fail(what, error);
        }
        if (error != EEXIST || !overwrite) Fail(what, error);
        error = 0;  // replaced below, as asked
    }
    if (error == 0 && unnamed) {
        // Replacing takes a rename, and a rename takes a name.
        ::flock(out.get(), LOCK_EX);
        error = NameUnnamed(out.get(), folder, temporary);
    }
    if (error == 0) error = out.Close();
    if (error == 0) error = MoveIntoPlace(temporary, target, overwrite);
    if (error != 0) {
        if (!temporary.empty()) ::unlink(temporary.c_str());
        Fail(what, error);
    }
}

void NativeFileSystem::RemoveCopyTemporaries(const std::string& folder)
{
    ForgetFacts();  // a backup's first file into the folder follows
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;  // a copy into the folder will say why
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (!IsCopyTemporaryName(entry->d_name)) continue;
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        // A regular file of that name that no running copy holds locked.
        Fd file(::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) continue;
        ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

void NativeFileSystem::Flush(const std::string& folder)
{
    // The end of a backup: nothing of it is kept for the next.
    TakeOpened({});
    ForgetFacts();
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) Fail("Could not write to disk under " + Quoted(folder), errno);
    if (::syncfs(dir.get()) != 0) Fail("Could not write to disk under " + Quoted(folder), errno);
}

}  // namespace tandrel
