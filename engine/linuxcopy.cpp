#include "engine/detail/linuxcopy.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tandrel {

using posix::Fail;
using posix::Fd;
using posix::Quoted;

// --- The system's own calls --------------------------------------------------

int SystemCalls::OpenUnnamed(const char* folder, int flags, mode_t mode)
{
#ifdef O_TMPFILE
    return ::open(folder, O_TMPFILE | flags, mode);
#else
    (void)folder, (void)flags, (void)mode;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int SystemCalls::OpenNew(const char* path, int flags, mode_t mode)
{
    return ::open(path, O_CREAT | O_EXCL | flags, mode);
}

int SystemCalls::RenameNoReplace(const char* from, const char* to)
{
#ifdef RENAME_NOREPLACE
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#else
    (void)from, (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

int SystemCalls::Link(const char* from, const char* to)
{
    return ::link(from, to);
}

int SystemCalls::Rename(const char* from, const char* to)
{
    return ::rename(from, to);
}

int SystemCalls::Fchown(int fd, uid_t owner, gid_t group)
{
    return ::fchown(fd, owner, group);
}

int SystemCalls::Futimens(int fd, const struct timespec times[2])
{
    return ::futimens(fd, times);
}

int SystemCalls::Utimens(const char* path, const struct timespec times[2])
{
    return ::utimensat(AT_FDCWD, path, times, 0);
}

int SystemCalls::Mkdir(const char* path, mode_t mode)
{
    return ::mkdir(path, mode);
}

SystemCalls& SystemCalls::Real()
{
    static SystemCalls real;
    return real;
}

// --- One file's copy ---------------------------------------------------------

struct LinuxCopySession::Copy : FileCopy {
    std::string source;
    Fd in;
    struct stat sourceInfo {};
    std::string target;
    std::string folder;  // the target's, with its final "/"
    bool overwrite = false;
    FolderFacts* facts = nullptr;  // of the target's folder, once looked up

    enum class State { Opened, Worked, UpToDate, Failed } state = State::Opened;
    std::string failure;  // the message of a failed work

    bool targetExisted = false;
    Fd out;
    std::string temporary;  // the copy's name while it is not in place
    bool unnamed = false;
    int createdMode = -1;  // the permission bits asked for at creation; -1 for a named copy
    bool renamed = false;  // placed by a rename (not by a link)
    bool looked = false;   // NeedsWork has looked, and the work is to write the data

    ~Copy() override { Discard(); }

    // "Could not copy 'source' to 'target'", the start of every failure's
    // message; made only for a failure, and leaves errno as it was.
    std::string What() const
    {
        const int error = errno;
        std::string text = "Could not copy " + Quoted(source);
        if (!target.empty()) text += " to " + Quoted(target);
        errno = error;
        return text;
    }

    // Removes the temporary copy, if there is one: dropped before its
    // commit, nothing of it may stay. Its data goes first, as a full
    // file system (ntfs-3g) may refuse to remove a file until it has room.
    void Discard()
    {
        if (!temporary.empty()) {
            if (out.Valid() ? ::ftruncate(out.Get(), 0) : ::truncate(temporary.c_str(), 0)) {
                // nothing more to free
            }
            out.Reset();
            if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) ::unlink(temporary.c_str());
            temporary.clear();
        }
        out.Reset();
    }
};

namespace {

constexpr std::int64_t kSecond = 1000000000;

std::int64_t Nanoseconds(const struct timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
}

// Unnamed files are given their name through /proc/self/fd (linking through
// the descriptor itself takes a capability that only root has).
bool UnnamedFilesUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

// Gives the unnamed file open as `fd` the name `name` in the folder open as
// `folder`. Fails with EEXIST when the name is taken: nothing is ever replaced.
int LinkUnnamed(int fd, int folder, const char* name)
{
    static std::atomic<bool> throughProc {false};
    if (!throughProc.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return 0;
        if (errno != ENOENT && errno != EPERM) return errno;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW) != 0) return errno;
    throughProc.store(true, std::memory_order_relaxed);
    return 0;
}

int LinkUnnamed(int fd, const std::string& path)
{
    return LinkUnnamed(fd, AT_FDCWD, path.c_str());
}

// Gives the unnamed file open as `fd` a fresh temporary name in `folder`.
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

bool Refused(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM || error == ENOTTY;
}

// Copies `length` bytes from offset `at` of `in` to the same offset of `out`.
int CopyRange(int in, int out, off_t at, off_t length)
{
    off_t from = at, to = at;
    const off_t end = at + length;
    while (from < end) {
        const ssize_t n = ::copy_file_range(in, &from, out, &to, static_cast<std::size_t>(end - from), 0);
        if (n > 0) continue;
        if (n == 0) return 0;  // the source got shorter meanwhile
        if (errno == EINTR) continue;
        if (from == at && (Refused(errno) || errno == EXDEV)) break;
        return errno;
    }
    if (from >= end) return 0;
    static constexpr std::size_t kBuffer = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    while (from < end) {
        const ssize_t n = ::pread(in, buffer.get(), std::min<off_t>(kBuffer, end - from), from);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t written = 0; written < n;) {
            const ssize_t w =
                ::pwrite(out, buffer.get() + written, static_cast<std::size_t>(n - written), from + written);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            written += w;
        }
        from += n;
    }
    return 0;
}

// A sparse file: only its data is copied, and its holes stay holes.
// Returns -1 when the file system can't tell where the data lies.
int CopyExtents(int in, int out, off_t size)
{
    off_t at = 0;
    while (at < size) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole to the end
            return at == 0 ? -1 : errno;
        }
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0) return at == 0 ? -1 : errno;
        if (hole > size) hole = size;
        if (const int error = CopyRange(in, out, data, hole - data)) return error;
        at = hole;
    }
    if (::ftruncate(out, size) == 0) return 0;
    // A file system that can't extend a file that way (fusefat) takes the
    // last byte of the hole written out.
    const char zero = 0;
    return ::pwrite(out, &zero, 1, size - 1) == 1 ? 0 : errno;
}

// The backup ends with a flush of what it wrote. A large file's data starts
// on its way to the disk while the copy goes on, a few MiB at a time, so that
// the flush finds little left to write (SYNC_FILE_RANGE_WRITE only starts the
// writeback and waits for nothing). Small files are left to the flush, which
// writes them together.
class Writeback {
public:
    static constexpr std::size_t kStep = std::size_t {8} << 20;
    static constexpr off_t kSmallest = off_t {1} << 20;

    Writeback(int out, off_t size) : out_(out), size_(size), enabled_(size >= kSmallest) {}
    // `done` bytes of the copy are written.
    void Written(off_t done)
    {
        if (!enabled_ || done <= started_) return;
        if (done - started_ < static_cast<off_t>(kStep) / 2 && done < size_) return;
        // A file system without it (FUSE) just leaves it all to the flush.
        if (::sync_file_range(out_, started_, done - started_, SYNC_FILE_RANGE_WRITE) != 0) enabled_ = false;
        started_ = done;
    }

private:
    int out_;
    off_t size_;
    bool enabled_;
    off_t started_ = 0;
};

// Copies the bytes of `in` to `out`: a clone where the file system shares
// blocks, the data extents alone of a sparse file, else copy_file_range,
// else a plain read/write loop. `size` is what fstat said of the open source,
// and copy_file_range copies that much; kernel files, which report 0, and
// the read/write loop go to the real end. Returns 0 or the error.
int CopyData(int in, int out, const struct stat& source, FolderFacts& facts)
{
    const off_t size = source.st_size;
#ifdef FICLONE
    // A file system that can't share blocks (or not across these two) says
    // so once; the files that follow skip the question.
    if (size > 0 && !(facts.cloneRefused && facts.cloneSource == source.st_dev)) {
        if (::ioctl(out, FICLONE, in) == 0) return 0;
        if (errno == EOPNOTSUPP || errno == EXDEV || errno == ENOTTY || errno == EINVAL) {
            facts.cloneSource = source.st_dev;
            facts.cloneRefused = true;
        }
    }
#endif
    if (size > 0 && static_cast<off_t>(source.st_blocks) * 512 < size) {
        const int error = CopyExtents(in, out, size);
        if (error >= 0) return error;
    }
    Writeback writeback(out, size);
    off_t done = 0;
    for (;;) {
        const std::size_t chunk =
            done < size ? std::min<std::size_t>(size - done, Writeback::kStep) : std::size_t {1} << 20;
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
        if (n > 0) {
            done += n;
            writeback.Written(done);
            // The size fstat gave is the copy's, but for files that report
            // none (kernel files), which are read to their end.
            if (size > 0 && done >= size) return 0;
            continue;
        }
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        // Refused before any byte moved (across file systems, or a file
        // system without it, even at the end of an empty file): copy by hand.
        if (done == 0 && (Refused(errno) || errno == EXDEV)) break;
        return errno;
    }
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
            const ssize_t w = ::write(out, buffer.get() + written, static_cast<std::size_t>(n - written));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            written += w;
        }
        done += n;
        writeback.Written(done);
    }
}

std::string FolderOf(const std::string& target)
{
    const std::size_t cut = target.rfind('/');
    return cut == std::string::npos ? std::string("./") : target.substr(0, cut + 1);
}

std::string NameOf(const std::string& path)
{
    const std::size_t cut = path.rfind('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The largest file FAT holds.
constexpr off_t kFatFileLimit = 0xFFFFFFFFLL;

// Whether the folder (on device `device`) lies on a FAT file system: the
// kernel's own driver, or fusefat, which shows only in the mount table.
bool OnFatFileSystem(const char* folder, dev_t device)
{
    struct statfs fs {};
    if (::statfs(folder, &fs) != 0) return false;
    constexpr long kMsdosMagic = 0x4d44, kFuseMagic = 0x65735546;
    if (fs.f_type == kMsdosMagic) return true;
    if (fs.f_type != kFuseMagic) return false;
    std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
    if (!table) return false;
    // "36 35 0:42 / /mnt rw,relatime shared:1 - fuse.fusefat /dev/x rw": the
    // device is the third field, the type follows the " - ".
    const std::string id = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    bool fat = false;
    char* line = nullptr;
    std::size_t size = 0;
    while (!fat && ::getline(&line, &size, table) > 0) {
        const std::string text(line);
        std::size_t at = text.find(' ');
        at = at == std::string::npos ? at : text.find(' ', at + 1);
        if (at == std::string::npos || text.compare(at + 1, id.size() + 1, id + " ") != 0) continue;
        const std::size_t dash = text.find(" - ");
        if (dash == std::string::npos) continue;
        const std::string type = text.substr(dash + 3, text.find(' ', dash + 3) - dash - 3);
        fat = type == "vfat" || type == "msdos" || type == "fuse.fusefat";
    }
    std::free(line);
    std::fclose(table);
    return fat;
}

}  // namespace

// --- The session -------------------------------------------------------------

FolderCache::Slot& FolderCache::SlotFor(const std::string& path, std::size_t cut)
{
    Slot& slot = slots_[std::hash<std::thread::id>()(std::this_thread::get_id()) % slots_.size()];
    slot.mutex.lock();
    if (slot.folder.size() != cut || path.compare(0, cut, slot.folder) != 0) {
        slot.folder.assign(path, 0, cut);
        slot.fd.Reset(::open(slot.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    return slot;
}

void FolderCache::Forget(const std::string& folder)
{
    for (Slot& slot : slots_) {
        std::lock_guard lock(slot.mutex);
        if (slot.folder.compare(0, folder.size(), folder) == 0 &&
            (slot.folder.size() == folder.size() || slot.folder[folder.size()] == '/')) {
            slot.folder.clear();
            slot.fd.Reset();
        }
    }
}

int FolderCache::Stat(const std::string& path, struct stat& info)
{
    return At(path, [&](int folder, const char* name) { return ::fstatat(folder, name, &info, 0); });
}

FolderFacts& LinuxCopySession::NewFacts(const std::string& folder)
{
    return *(folders_[folder] = std::make_unique<FolderFacts>());
}

FolderFacts& LinuxCopySession::Facts(const std::string& folder)
{
    std::lock_guard lock(mutex_);
    auto it = folders_.find(folder);
    return it != folders_.end() ? *it->second : NewFacts(folder);
}

dev_t LinuxCopySession::DeviceOf(FolderFacts& facts, const std::string& folder)
{
    std::lock_guard lock(mutex_);
    if (!facts.deviceKnown) {
        struct stat info {};
        facts.deviceKnown = ::stat(folder.c_str(), &info) == 0;
        facts.device = info.st_dev;
    }
    return facts.device;
}

bool LinuxCopySession::OnFat(FolderFacts& facts, const std::string& folder)
{
    const dev_t device = DeviceOf(facts, folder);
    std::lock_guard lock(mutex_);
    if (facts.onFat < 0) facts.onFat = OnFatFileSystem(folder.c_str(), device) ? 1 : 0;
    return facts.onFat > 0;
}

// The first file written into a folder (a copy or a probe) waits until what
// killed copies left there is gone, so that no file of this session is
// taken for a leftover. A folder this backup made holds none.
void LinuxCopySession::Clean(FolderFacts& facts, const std::string& folder)
{
    if (facts.cleaned.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    if (facts.cleaned) return;
    if (!facts.madeByThisBackup) NativeFileSystem::RemoveCopyTemporaries(folder);
    facts.cleaned.store(true, std::memory_order_release);
}

bool LinuxCopySession::DirectoryExists(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    if (errno == ENOENT || errno == ENOTDIR) return false;
    Fail("Could not read " + Quoted(path), errno);
}

void LinuxCopySession::CreateDirectory(const std::string& path)
{
    std::vector<std::string> made;
    CreateFolders(path, &made, calls_);
    // Levels that another program made meanwhile are not ours.
    if (made.empty()) return;
    targets_.Forget(made.front());
    {
        std::lock_guard lock(mutex_);
        madeFolders_.insert(made.begin(), made.end());
    }
    // The copies that follow into a folder made just now need not look for
    // a target there first, nor for leftovers.
    const std::string folder = path.empty() || path.back() == '/' ? path : path + "/";
    if (made.back() + "/" != folder) return;
    std::lock_guard lock(mutex_);
    auto it = folders_.find(folder);
    (it != folders_.end() ? *it->second : NewFacts(folder)).madeByThisBackup = true;
}

std::unique_ptr<FileCopy> LinuxCopySession::Open(const std::string& source)
{
    auto copy = std::make_unique<Copy>();
    copy->source = source;
    // Only looked at here: a repeated backup opens no file it leaves alone.
    struct stat& info = copy->sourceInfo;
    if (sources_.Stat(source, info) != 0) Fail("Could not read the size of " + Quoted(source), errno);
    if (S_ISDIR(info.st_mode)) Fail("Could not read the size of " + Quoted(source), EISDIR);
    copy->length = static_cast<std::uint64_t>(info.st_size);
    return copy;
}

bool LinuxCopySession::NeedsWork(FileCopy& base, const std::string& target, bool overwrite)
{
    Copy& copy = static_cast<Copy&>(base);
    copy.target = target;
    copy.folder = FolderOf(target);
    copy.overwrite = overwrite;
    copy.facts = &Facts(copy.folder);
    // A copy worked again (its folder had vanished) starts afresh.
    copy.state = Copy::State::Opened;
    copy.failure.clear();
    copy.targetExisted = copy.unnamed = copy.renamed = false;
    copy.createdMode = -1;
    copy.Discard();
    try {
        Look(copy);
    } catch (const FsError& failure) {
        copy.state = Copy::State::Failed;
        copy.failure = failure.what();
    }
    copy.looked = copy.state == Copy::State::Opened;
    return copy.looked;
}

void LinuxCopySession::Work(FileCopy& base, const std::string& target, bool overwrite)
{
    Copy& copy = static_cast<Copy&>(base);
    if (!copy.looked && !NeedsWork(copy, target, overwrite)) return;
    copy.looked = false;
    try {
        WriteData(copy);
    } catch (const FsError& failure) {
        copy.state = Copy::State::Failed;
        copy.failure = failure.what();
        copy.Discard();
    }
    copy.in.Reset();
}

// What can be told before anything is written: a source that is no file, a
// target that may not be replaced or already is the copy, a name or a size
// the destination refuses.
void LinuxCopySession::Look(Copy& copy)
{
    const struct stat& source = copy.sourceInfo;
    if (!S_ISREG(source.st_mode)) {
        if (S_ISDIR(source.st_mode)) Fail(copy.What(), EISDIR);
        throw FsError(copy.What() + ": it is not a regular file");
    }
    FolderFacts& facts = *copy.facts;

    // A target already there: the same file is never copied onto itself;
    // without `overwrite` it is refused before anything is copied, and with
    // it a target that already is this file's copy is left alone. A folder
    // this backup made is not searched: only the backup's own copies can be
    // there (a name met twice), and placing never replaces what it was not
    // asked to.
    if (!facts.madeByThisBackup) {
        struct stat target {};
        if (targets_.Stat(copy.target, target) == 0) {
            if (target.st_dev == source.st_dev && target.st_ino == source.st_ino)
                throw FsError(copy.What() + ": they are the same file");
            if (!copy.overwrite) Fail(copy.What(), EEXIST);
            if (UpToDate(copy, target, facts)) {
                copy.state = Copy::State::UpToDate;
                return;
            }
            copy.targetExisted = true;
        } else if (!copy.overwrite && errno != ENOENT) {
            Fail(copy.What(), errno);
        }
    }
    CheckName(copy, facts);
    // FAT holds no file of 4 GiB or more, and fusefat does not even say so:
    // past 4 GiB it writes over the start of the file.
    if (source.st_size > kFatFileLimit && OnFat(facts, copy.folder))
        throw FsError(copy.What() + ": the destination's file system (FAT) holds files of at most 4 GiB - 1 byte: " +
                      std::strerror(EFBIG));
}

void LinuxCopySession::WriteData(Copy& copy)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    copy.in.Reset(sources_.At(copy.source, [](int folder, const char* name) {
        return ::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }));
    if (!copy.in.Valid() || ::fstat(copy.in.Get(), &copy.sourceInfo) != 0) Fail(copy.What(), errno);
    const struct stat& source = copy.sourceInfo;
    if (!S_ISREG(source.st_mode)) throw FsError(copy.What() + ": it is not a regular file");
    FolderFacts& facts = *copy.facts;
    Clean(facts, copy.folder);
    CreateOutput(copy, facts);
    if (const int error = CopyData(copy.in.Get(), copy.out.Get(), source, facts)) Fail(copy.What(), error);
    KeepOwnerModeAndTimes(copy, facts);
    copy.state = Copy::State::Worked;
}

// A name with a character that some file systems refuse is tried once per
// device and character, with a file of our own: a refused name fails before
// the data is written, with the system's reason. Letters outside ASCII
// count as one character (fusefat takes none of them).
void LinuxCopySession::CheckName(Copy& copy, FolderFacts& facts)
{
    const std::string name = NameOf(copy.target);
    std::set<unsigned char> doubtful;
    for (unsigned char c : name)
        if (IsDoubtfulNameCharacter(c) || c >= 0x80) doubtful.insert(c >= 0x80 ? 0x80 : c);
    if (doubtful.empty()) return;
    const dev_t device = DeviceOf(facts, copy.folder);
    Clean(facts, copy.folder);
    for (unsigned char c : doubtful) {
        int refusal = -1;
        {
            std::lock_guard lock(mutex_);
            if (auto it = nameRefusals_.find({device, c}); it != nameRefusals_.end()) refusal = it->second;
        }
        if (refusal < 0) {
            const std::string probe =
                copy.folder + NewCopyTemporaryName(c == 0x80 ? "\xC3\xA9" : std::string(1, static_cast<char>(c)));
            const int fd = calls_.OpenNew(probe.c_str(), O_WRONLY | O_CLOEXEC, 0600);
            refusal = fd >= 0 ? 0 : errno;
            if (fd >= 0) {
                ::close(fd);
                ::unlink(probe.c_str());
            }
            if (refusal == EEXIST) refusal = 0;  // a leftover's name: the character is taken
            // A folder that is gone, or takes no file at all, refuses every
            // name: the copy itself says why.
            if (refusal == ENOENT && ::access(copy.folder.c_str(), F_OK) != 0) return;
            if (refusal == EACCES || refusal == EROFS || refusal == ENOSPC || refusal == EDQUOT) return;
            std::lock_guard lock(mutex_);
            nameRefusals_[{device, c}] = refusal;
        }
        if (refusal != 0)
            throw FsError(copy.What() + ": the destination's file system does not allow the name " + Quoted(name) +
                          ": " + std::strerror(refusal));
    }
}

// The target is this file's copy when it is a regular file of the source's
// size whose modification time equals the source's at the granularity the
// destination keeps.
bool LinuxCopySession::UpToDate(const Copy& copy, const struct stat& target, FolderFacts& facts)
{
    const struct stat& source = copy.sourceInfo;
    if (!S_ISREG(target.st_mode) || target.st_size != source.st_size) return false;
    const std::int64_t difference = std::llabs(Nanoseconds(source.st_mtim) - Nanoseconds(target.st_mtim));
    if (difference == 0) return true;
    if (difference >= 2 * kSecond) return false;  // no file system keeps coarser times
    return difference < TimeGranularity(copy.folder, facts);
}

// How finely the file system under `folder` keeps modification times: asked
// once, by setting an odd time with nanoseconds on a file of our own and
// reading back what was kept. Nothing stays behind.
std::int64_t LinuxCopySession::TimeGranularity(const std::string& folder, FolderFacts& facts)
{
    if (const std::int64_t known = facts.timeGranularity) return known;
    Clean(facts, folder);
    std::int64_t granularity = 2 * kSecond;  // what FAT keeps, the coarsest there is
    const std::string probe = folder + NewCopyTemporaryName();
    Fd file(calls_.OpenNew(probe.c_str(), O_WRONLY | O_CLOEXEC, 0600));
    if (file.Valid()) {
        const struct timespec set = {1234567891, 987654321};
        const struct timespec times[2] = {set, set};
        struct stat kept {};
        if (calls_.Futimens(file.Get(), times) == 0 && file.Close() == 0 && ::stat(probe.c_str(), &kept) == 0) {
            const std::int64_t off = std::llabs(Nanoseconds(kept.st_mtim) - Nanoseconds(set));
            if (off >= kSecond) {
                granularity = 2 * kSecond;
            } else {
                granularity = 1;
                while (granularity <= off) granularity *= 10;
            }
        }
        ::unlink(probe.c_str());
    }
    facts.timeGranularity = granularity;
    return granularity;
}

// Preferably an unnamed file in the target's folder: nothing of it shows
// before it is complete, and a copy that dies leaves nothing behind. Else a
// temporary file with a recognisable name, locked while it is written so
// that the clean-up of another backup passes it by.
void LinuxCopySession::CreateOutput(Copy& copy, FolderFacts& facts)
{
    const mode_t mode = copy.sourceInfo.st_mode & 0777;
    if (!facts.unnamedRefused && UnnamedFilesUsable()) {
        // The first file in a folder asks for every bit, to learn which ones
        // the folder keeps; the files that follow ask for their own.
        const bool probe = facts.keptModeBits < 0;
        const mode_t asked = probe ? 0777 : mode;
        copy.out.Reset(calls_.OpenUnnamed(copy.folder.c_str(), O_WRONLY | O_CLOEXEC, asked));
        if (copy.out.Valid()) {
            copy.unnamed = true;
            copy.createdMode = static_cast<int>(asked);
            struct stat created {};
            if (probe && ::fstat(copy.out.Get(), &created) == 0) {
                facts.newFileOwner = created.st_uid;
                facts.newFileGroup = created.st_gid;
                facts.keptModeBits = static_cast<int>(created.st_mode & 0777);
            }
            return;
        }
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) Fail(copy.What(), errno);
        facts.unnamedRefused = true;
    }
    for (int attempt = 0; attempt < 16 && !copy.out.Valid(); ++attempt) {
        copy.temporary = copy.folder + NewCopyTemporaryName();
        copy.out.Reset(calls_.OpenNew(copy.temporary.c_str(), O_WRONLY | O_CLOEXEC, 0600));
        if (!copy.out.Valid()) {
            const int error = errno;
            // A fresh random name is hardly ever taken; a file system that
            // says so of a name that is not there (ntfs-3g when full) is out
            // of room.
            const bool absent = error == EEXIST && ::access(copy.temporary.c_str(), F_OK) != 0 && errno == ENOENT;
            copy.temporary.clear();
            if (absent) Fail(copy.What(), ENOSPC);
            if (error != EEXIST) Fail(copy.What(), error);
        }
    }
    if (!copy.out.Valid()) Fail(copy.What(), EEXIST);
    ::flock(copy.out.Get(), LOCK_EX);
    if (facts.keptModeBits < 0) {
        struct stat created {};
        if (::fstat(copy.out.Get(), &created) == 0) {
            facts.newFileOwner = created.st_uid;
            facts.newFileGroup = created.st_gid;
            facts.keptModeBits = static_cast<int>(created.st_mode & 0777);
        }
    }
}

// Owner and group of the source where the process may set them; the set-id
// and sticky bits only with them, or a copy would hand the source owner's
// rights to another. Permission bits and times of the source; a file system
// that keeps neither is no reason to fail the copy.
void LinuxCopySession::KeepOwnerModeAndTimes(Copy& copy, FolderFacts& facts)
{
    const struct stat& source = copy.sourceInfo;
    const int out = copy.out.Get();
    bool ownerKept = source.st_uid == facts.newFileOwner && source.st_gid == facts.newFileGroup;
    if (!ownerKept && !facts.chownRefused) {
        // Some file systems (ntfs-3g) answer a chown they don't carry out:
        // what counts is the owner the copy has afterwards.
        struct stat owned {};
        ownerKept = calls_.Fchown(out, source.st_uid, source.st_gid) == 0 && ::fstat(out, &owned) == 0 &&
                    owned.st_uid == source.st_uid && owned.st_gid == source.st_gid;
        if (!ownerKept) facts.chownRefused = true;
    }
    mode_t mode = source.st_mode & 07777;
    if (!ownerKept) mode &= 0777;
    // The bits the copy has now: those it was created with that the folder
    // keeps (a chown clears only set-id bits, which it was not created with).
    const int kept = facts.keptModeBits;
    const bool modeSet = copy.createdMode >= 0 && kept >= 0 && (static_cast<mode_t>(copy.createdMode & kept)) == mode;
    if (!modeSet) ::fchmod(out, mode);
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    calls_.Futimens(out, times);
}

CopyOutcome LinuxCopySession::Commit(FileCopy& base)
{
    Copy& copy = static_cast<Copy&>(base);
    switch (copy.state) {
    case Copy::State::Opened:
        throw FsError(copy.What());
    case Copy::State::Failed:
        throw FsError(copy.failure);
    case Copy::State::UpToDate:
        return CopyOutcome::UpToDate;
    case Copy::State::Worked:
        break;
    }
    FolderFacts& facts = *copy.facts;
    Place(copy, facts);
    facts.written = true;
    return CopyOutcome::Copied;
}

void LinuxCopySession::Place(Copy& copy, FolderFacts& facts)
{
    int error = 0;
    if (copy.unnamed && !(copy.overwrite && copy.targetExisted)) {
        // Straight to its name; the link fails if a target appeared meanwhile.
        error = targets_.At(copy.target,
                            [&](int folder, const char* name) { return LinkUnnamed(copy.out.Get(), folder, name); });
        if (error == 0) {
            error = copy.out.Close();
            if (error == 0) return;
            ::unlink(copy.target.c_str());  // ours: nothing was there before the link
            Fail(copy.What(), error);
        }
        if (error != EEXIST || !copy.overwrite) Fail(copy.What(), error);
        error = 0;  // replaced below, as asked
    }
    if (copy.unnamed) {
        // Replacing takes a rename, and a rename takes a name.
        ::flock(copy.out.Get(), LOCK_EX);
        error = NameUnnamed(copy.out.Get(), copy.folder, copy.temporary);
    }
    if (error == 0) error = copy.out.Close();
    if (error == 0) error = MoveIntoPlace(copy, facts);
    if (error != 0) {
        copy.Discard();
        if (error == EINVAL || error == EILSEQ || error == ENAMETOOLONG)
            throw FsError(copy.What() + ": the destination's file system does not allow the name " +
                          Quoted(NameOf(copy.target)) + ": " + std::strerror(error));
        Fail(copy.What(), error);
    }
    copy.temporary.clear();
    RestoreTimesAfterRename(copy, facts);
}

// Moves the finished temporary file to the target; without `overwrite` an
// existing target is never replaced. Returns 0 or the error.
int LinuxCopySession::MoveIntoPlace(Copy& copy, FolderFacts& facts)
{
    const char* from = copy.temporary.c_str();
    const char* to = copy.target.c_str();
    copy.renamed = true;
    if (copy.overwrite) return calls_.Rename(from, to) == 0 ? 0 : errno;
    if (!facts.noRenameNoReplace) {
        if (calls_.RenameNoReplace(from, to) == 0) return 0;
        if (!Refused(errno)) return errno;
        facts.noRenameNoReplace = true;
    }
    if (!facts.noLink) {
        // A hard link fails when the target exists, as the move must.
        if (calls_.Link(from, to) == 0) {
            ::unlink(from);
            copy.renamed = false;
            return 0;
        }
        if (!Refused(errno) && errno != EMLINK) return errno;
        facts.noLink = true;
    }
    // Neither way exists here (FAT and exFAT through FUSE, many network
    // shares): look for the target, then rename. Another program that
    // creates the same name between the look and the rename loses its file
    // to ours; a backup's own copies never race like that, as one backup
    // places its files one at a time.
    struct stat existing {};
    if (::lstat(to, &existing) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return calls_.Rename(from, to) == 0 ? 0 : errno;
}

// Some file systems (fusefat) give a renamed file the time of the rename.
// The first rename into a folder tells whether its times survive; where they
// don't, they are set again on the placed file.
void LinuxCopySession::RestoreTimesAfterRename(Copy& copy, FolderFacts& facts)
{
    const int keeps = facts.renameKeepsTimes;
    if (!copy.renamed || keeps > 0) return;
    const struct timespec times[2] = {copy.sourceInfo.st_atim, copy.sourceInfo.st_mtim};
    if (keeps < 0) {
        calls_.Utimens(copy.target.c_str(), times);
        return;
    }
    struct stat placed {};
    if (::stat(copy.target.c_str(), &placed) != 0) return;
    const std::int64_t off = std::llabs(Nanoseconds(placed.st_mtim) - Nanoseconds(copy.sourceInfo.st_mtim));
    if (off == 0 || off < TimeGranularity(copy.folder, facts)) {
        facts.renameKeepsTimes = 1;
        return;
    }
    facts.renameKeepsTimes = -1;
    calls_.Utimens(copy.target.c_str(), times);
}

void LinuxCopySession::RemoveMadeFolder(const std::string& folder)
{
    std::string level = folder;
    while (level.size() > 1 && level.back() == '/') level.pop_back();
    std::lock_guard lock(mutex_);
    while (madeFolders_.count(level) && ::rmdir(level.c_str()) == 0) {
        madeFolders_.erase(level);
        folders_.erase(level + "/");
        const std::size_t cut = level.rfind('/');
        if (cut == std::string::npos || cut == 0) break;
        level.resize(cut);
    }
}

void LinuxCopySession::Finish()
{
    // "Copied successfully" means on disk: every file system written to is
    // flushed once.
    std::set<dev_t> flushed;
    std::lock_guard lock(mutex_);
    for (auto& [folder, facts] : folders_) {
        if (!facts->written) continue;
        Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (!dir.Valid() || ::fstat(dir.Get(), &info) != 0)
            Fail("Could not write to disk under " + Quoted(folder), errno);
        if (!flushed.insert(info.st_dev).second) continue;
        if (::syncfs(dir.Get()) != 0) Fail("Could not write to disk under " + Quoted(folder), errno);
    }
}

}  // namespace tandrel
