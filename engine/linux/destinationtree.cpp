// The destination's folders, reached from its descriptor one name at a time.
#include "engine/linux/destinationtree.h"
#include "engine/linux/namefold.h"
#include "engine/linux/placement.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandrel {

using posix::Fd;
using posix::Quoted;

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
// Below the destination no link is followed, whoever planted it.
constexpr int kLevelFlags = kFolderFlags | O_NOFOLLOW;

std::string WithoutFinalSlashes(std::string path)
{
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

// The reason alone; the caller tells what failed.
FsError Reason(int error, const std::string& path)
{
    return FsError(std::strerror(error), posix::KindOf(error), error, path);
}

// Why a folder could not be made: a name with a character some file systems
// refuse (FAT, exFAT) gets ENOENT or EPERM under a folder that is there.
FsError NotMade(int error, const std::string& name, const std::string& path)
{
    const bool doubtful = std::any_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || IsDoubtfulNameCharacter(u);
    });
    if (doubtful && error != EEXIST && !posix::TakesNoFile(error))
        return posix::NameRefused(path, name, std::strerror(error), error);
    return Reason(error, path);
}

// Why `name` in `parent` could not be opened as a folder: a link says so.
FsError NotAFolder(int error, const Folder& parent, const std::string& name, const std::string& level)
{
    struct stat info {};
    if ((error == ENOTDIR || error == ELOOP) &&
        ::fstatat(parent.fd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        return FsError(Quoted(level) + " is a symbolic link, and a backup does not follow links inside its destination",
                       FsError::Kind::Other, ELOOP, level);
    return Reason(error, level);
}

}  // namespace

DestinationTree::DestinationTree(SystemCalls& calls, std::string destination, const DestinationCaps* profile)
    : calls_(calls), destination_(WithoutFinalSlashes(std::move(destination))), profile_(profile)
{
}

DestinationCaps& DestinationTree::CapsOf(dev_t device)
{
    std::lock_guard lock(mutex_);
    auto& caps = caps_[device];
    if (!caps) {
        if (profile_) {
            caps = std::make_unique<DestinationCaps>(*profile_);
        } else {
            if (mountTable_.empty()) mountTable_ = calls_.MountTable();
            const MountEntry& mount = mounts_[device] = FindMount(mountTable_, device);
            caps = std::make_unique<DestinationCaps>(CapsOfMount(mount));
        }
    }
    return *caps;
}

MountEntry DestinationTree::MountOf(dev_t device)
{
    CapsOf(device);
    std::lock_guard lock(mutex_);
    const auto it = mounts_.find(device);
    return it == mounts_.end() ? MountEntry {} : it->second;
}

FolderState& DestinationTree::StateOf(const FileId& id)
{
    {
        std::lock_guard lock(mutex_);
        if (auto it = states_.find(id); it != states_.end()) return *it->second;
    }
    DestinationCaps& caps = CapsOf(id.device);
    std::lock_guard lock(mutex_);
    auto& state = states_[id];
    if (!state) state = std::make_unique<FolderState>(caps);
    return *state;
}

FolderRef DestinationTree::Cached(const std::string& path, bool checked)
{
    std::lock_guard lock(mutex_);
    FolderRef held = held_.Find([&](const std::string& heldPath) {
        return heldPath.size() == path.size() + 1 && heldPath.compare(0, path.size(), path) == 0;
    });
    // A folder removed since is no longer the one its path names. A copy
    // into one fails as missing, and is tried again after a checked look.
    struct stat info {};
    if (held && checked && (::fstat(held->fd.Get(), &info) != 0 || info.st_nlink == 0)) {
        held_.Forget([&](const std::string& heldPath) { return heldPath == held->path; });
        return nullptr;
    }
    return held;
}

void DestinationTree::Keep(const FolderRef& folder)
{
    std::lock_guard lock(mutex_);
    held_.Keep(folder);
}

void DestinationTree::Forget(const std::string& folder)
{
    std::lock_guard lock(mutex_);
    held_.Forget([&](const std::string& held) {
        return held.compare(0, folder.size(), folder) == 0 &&
               (held.size() == folder.size() + 1 || held[folder.size()] == '/');
    });
}

FolderRef DestinationTree::Describe(Fd fd, std::string path)
{
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) throw Reason(errno, path);
    auto folder = std::make_shared<Folder>();
    folder->id = {info.st_dev, info.st_ino};
    folder->state = &StateOf(folder->id);
    folder->fd = std::move(fd);
    folder->path = std::move(path);
    if (folder->path.empty() || folder->path.back() != '/') folder->path.push_back('/');
    return folder;
}

FolderRef DestinationTree::Root(bool create, std::vector<std::string>* made)
{
    {
        std::lock_guard lock(mutex_);
        if (root_) return root_;
    }
    // The folder the user chose is taken as it is found, through any link on
    // its way, and looked up this once.
    const std::string path = destination_.empty() ? "/" : destination_;
    Fd fd(::open(path.c_str(), kFolderFlags));
    if (!fd.Valid() && errno == ENOENT && create) {
        // A destination that is not there yet is made, with every missing
        // level, by its path: it is what the user chose.
        std::vector<std::size_t> missing;  // ends of the levels to make, deepest first
        for (std::size_t end = path.size(); end > 0;) {
            struct stat info {};
            const std::string level = path.substr(0, end);
            if (::stat(level.c_str(), &info) == 0) {
                if (!S_ISDIR(info.st_mode)) throw Reason(ENOTDIR, level);
                break;
            }
            if (errno != ENOENT) throw Reason(errno, level);
            missing.push_back(end);
            end = path.rfind('/', end - 1);
            if (end == std::string::npos || end == 0) break;
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            const std::string level = path.substr(0, *it);
            const std::size_t cut = level.rfind('/');
            const std::string above = cut == std::string::npos ? "." : cut == 0 ? "/" : level.substr(0, cut);
            const std::string name = cut == std::string::npos ? level : level.substr(cut + 1);
            Fd parent(::open(above.c_str(), kFolderFlags));
            if (!parent.Valid()) throw Reason(errno, above);
            if (calls_.MkdirAt(parent.Get(), name.c_str(), 0777) == 0) {
                if (made) made->push_back(level);
            } else if (errno != EEXIST) {
                throw NotMade(errno, name, level);
            }
        }
        fd.Reset(::open(path.c_str(), kFolderFlags));
    }
    if (!fd.Valid()) throw Reason(errno, path);
    FolderRef root = Describe(std::move(fd), destination_);
    std::lock_guard lock(mutex_);
    if (!root_) root_ = std::move(root);
    return root_;
}

FolderRef DestinationTree::Open(const std::string& path)
{
    return Walk(path, nullptr, nullptr, false);
}

bool DestinationTree::IsFolder(const std::string& path)
{
    try {
        Walk(path, nullptr, nullptr, true);
        return true;
    } catch (const FsError& failure) {
        if (failure.kind() == FsError::Kind::Missing) return false;
        throw;
    }
}

std::vector<std::string> DestinationTree::Create(const std::string& path, const Mirror& mirror)
{
    std::vector<std::string> made;
    Walk(path, &mirror, &made, true);
    return made;
}

FolderRef DestinationTree::Walk(const std::string& wanted, const Mirror* mirror, std::vector<std::string>* made,
                                bool checked)
{
    const bool create = made != nullptr;
    const std::string path = WithoutFinalSlashes(wanted);
    if (path == destination_) return Root(create, made);
    if (path.size() <= destination_.size() || path.compare(0, destination_.size(), destination_) != 0 ||
        path[destination_.size()] != '/')
        throw FsError("it lies outside the destination " + Quoted(destination_ + "/"), FsError::Kind::Other, 0, path);
    if (FolderRef held = Cached(path, checked)) return held;

    // From the deepest level held open (or the destination) down.
    FolderRef folder;
    std::size_t from = path.size();
    while (!folder) {
        from = path.rfind('/', from - 1);
        if (from <= destination_.size()) {
            from = destination_.size();
            folder = Root(create, made);
        } else {
            folder = Cached(path.substr(0, from), checked);
        }
    }
    std::size_t levelsBelow = static_cast<std::size_t>(std::count(path.begin() + from, path.end(), '/'));
    while (from < path.size()) {
        const std::size_t end = std::min(path.find('/', from + 1), path.size());
        const std::string name = path.substr(from + 1, end - from - 1);
        const std::string level = path.substr(0, end);
        from = end;
        if (name.empty()) continue;
        --levelsBelow;
        if (name == "." || name == "..")
            throw FsError("the path holds " + Quoted(name) + ", which names no folder of its own", FsError::Kind::Other,
                          EINVAL, level);
        // A share drops its connection for seconds at a name it refuses: such
        // a name is not even looked up.
        if (folder->state->caps.windowsNames) {
            if (const std::string refusal = WindowsNameRefusal(name); !refusal.empty())
                throw posix::NameRefused(level, name, refusal);
        }
        Fd fd(calls_.OpenAt(folder->fd.Get(), name.c_str(), kLevelFlags, 0));
        if (!fd.Valid() && errno == ENOENT && create) {
            if (MakeLevel(*folder, name, level, mirror && *mirror ? (*mirror)(levelsBelow) : std::string()))
                made->push_back(level);
            fd.Reset(calls_.OpenAt(folder->fd.Get(), name.c_str(), kLevelFlags, 0));
        }
        if (!fd.Valid()) throw NotAFolder(errno, *folder, name, level);
        const bool folding = Folds(*folder);
        FolderRef reached = Describe(std::move(fd), level);
        // Two folders whose names differ only in case are one folder here:
        // the first one reached keeps it.
        if (folding) {
            FolderState& parent = *folder->state;
            std::string first;
            {
                std::lock_guard lock(parent.namesMutex);
                first = parent.claimed.emplace(NameKey(parent.caps, name, reached->id.inode), name).first->second;
            }
            if (first != name && !ListsSpelling(*folder, name))
                throw FsError(Quoted(level) + " has the same name as " + Quoted(first) +
                                  " on this destination, which does not tell upper from lower case",
                              FsError::Kind::Other, EEXIST, level);
        }
        folder = std::move(reached);
        Keep(folder);
    }
    return folder;
}

bool DestinationTree::MakeLevel(const Folder& parent, const std::string& name, const std::string& level,
                                const std::string& mirrored)
{
    DestinationCaps& caps = parent.state->caps;
    if (caps.windowsNames) {
        if (const std::string refusal = WindowsNameRefusal(name); !refusal.empty())
            throw posix::NameRefused(level, name, refusal);
    }
    struct stat source {};
    const bool mirrors = !mirrored.empty() && ::stat(mirrored.c_str(), &source) == 0 && S_ISDIR(source.st_mode);
    // A folder that stands for a source folder is made closed (0700) and
    // opened only once its owner is the source's; a folder of the backup's
    // own (a CD volume) is made as the umask says.
    if (calls_.MkdirAt(parent.fd.Get(), name.c_str(), mirrors ? 0700 : 0777) != 0) {
        if (errno == EEXIST) return false;  // made meanwhile, by another program
        throw NotMade(errno, name, level);
    }
    if (mirrors) KeepOwnerAndMode(parent, name, source);
    return true;
}

// The source folder's owner and group where the process may set them (and
// the file system keeps them); its mode, the set-id and sticky bits only
// with its owner. A process that is not root keeps the right to write into
// the folders it makes.
void DestinationTree::KeepOwnerAndMode(const Folder& parent, const std::string& name, const struct stat& source)
{
    DestinationCaps& caps = parent.state->caps;
    Fd made(calls_.OpenAt(parent.fd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    struct stat info {};
    if (!made.Valid() || ::fstat(made.Get(), &info) != 0) return;
    bool ownerKept = info.st_uid == source.st_uid && info.st_gid == source.st_gid;
    if (!ownerKept && caps.chown.Usable()) {
        ownerKept = calls_.Fchown(made.Get(), source.st_uid, source.st_gid) == 0 && ::fstat(made.Get(), &info) == 0 &&
                    info.st_uid == source.st_uid && info.st_gid == source.st_gid;
        if (!ownerKept) caps.chown.Refused();
    }
    mode_t mode = source.st_mode & (ownerKept ? 07777 : 0777);
    if (::geteuid() != 0) mode |= S_IRWXU;
    ::fchmod(made.Get(), mode);
}

std::vector<DestinationTree::WrittenFileSystem> DestinationTree::WrittenFileSystems()
{
    std::lock_guard lock(mutex_);
    std::vector<WrittenFileSystem> written;
    for (auto& [device, entry] : written_)
        written.push_back({entry.fd.Valid() ? entry.fd.Get() : -entry.error, entry.folder, entry.files});
    return written;
}

std::string NameKey(const DestinationCaps& caps, const std::string& name, ino_t inode)
{
    if (caps.stableInodes) return std::to_string(inode);
    return FoldedName(name, caps.oneForm.Get() != Answer::No);
}

bool ListsSpelling(const Folder& folder, const std::string& name)
{
    DIR* dir = ::fdopendir(::openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return false;
    bool listed = false;
    while (const dirent* entry = ::readdir(dir))
        if (name == entry->d_name) {
            listed = true;
            break;
        }
    ::closedir(dir);
    return listed;
}

bool DestinationTree::Folds(const Folder& folder)
{
    const bool folds = FoldsCase(folder);
    // Where names, not inode numbers, tell entries apart, their key must
    // know whether the two forms of a letter are one name here.
    if (folds && !folder.state->caps.stableInodes && folder.state->caps.oneForm.Get() == Answer::Unknown)
        ProbeForms(folder);
    return folds;
}

// Whether the file system takes a name's composed and decomposed forms for
// one name: asked once, with a name of our own made with é as one letter and
// looked up with e and an accent. Where it can't be made, the name keys go
// on taking the forms for one (which refuses no name the folder lists apart).
void DestinationTree::ProbeForms(const Folder& folder)
{
    const std::string composed = NewCopyTemporaryName("\xC3\xA9");
    std::string decomposed = composed;
    decomposed.replace(decomposed.rfind("\xC3\xA9"), 2, "e\xCC\x81");
    Fd probe(
        calls_.OpenAt(folder.fd.Get(), composed.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!probe.Valid()) {
        // A file system that takes no such letter holds no names to join.
        if (posix::IsRefusal(errno) || errno == EILSEQ) folder.state->caps.oneForm.Set(false);
        return;
    }
    probe.Reset();  // a share refuses to remove a file that is open
    struct stat info {};
    folder.state->caps.oneForm.Set(calls_.StatAt(folder.fd.Get(), decomposed.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0);
    RemoveOwn(calls_, folder.fd.Get(), composed.c_str());
}

bool DestinationTree::FoldsCase(const Folder& folder)
{
    FolderState& state = *folder.state;
    DestinationCaps& caps = state.caps;
    switch (caps.folding) {
    case CaseFolding::Exact:
        return false;
    case CaseFolding::Folds:
        return true;
    case CaseFolding::PerFolder: {
        // ext4 and tmpfs fold the folders marked +F (chattr) alone.
        if (const Answer known = state.folds.Get(); known != Answer::Unknown) return known == Answer::Yes;
        Fd open(::openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        int flags = 0;
        const bool folds =
            open.Valid() && ::ioctl(open.Get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL);
        state.folds.Set(folds);
        return folds;
    }
    case CaseFolding::Unknown:
        break;
    }
    // Asked once of the file system, with a name of our own in two cases.
    if (const Answer known = caps.caseFolds.Get(); known != Answer::Unknown) return known == Answer::Yes;
    const std::string upper = NewCopyTemporaryName("A");
    std::string lower = upper;
    lower[lower.size() - 5] = 'a';
    Fd probe(calls_.OpenAt(folder.fd.Get(), upper.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!probe.Valid()) return false;  // the folder takes nothing now: the copies say why
    probe.Reset();                     // a share refuses to remove a file that is open
    struct stat info {};
    caps.caseFolds.Set(calls_.StatAt(folder.fd.Get(), lower.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0);
    RemoveOwn(calls_, folder.fd.Get(), upper.c_str());
    return caps.caseFolds.Get() == Answer::Yes;
}

bool DestinationTree::WrittenKeepModes()
{
    std::lock_guard lock(mutex_);
    for (const auto& written : written_)
        if (!caps_.at(written.first)->keepsModes) return false;
    return true;
}

void DestinationTree::NoteWritten(const Folder& folder)
{
    {
        std::lock_guard lock(mutex_);
        if (const auto known = written_.find(folder.id.device); known != written_.end()) {
            ++known->second.files;
            return;
        }
    }
    WrittenDevice entry;
    entry.folder = folder.path;
    entry.fd.Reset(::openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!entry.fd.Valid()) entry.error = errno;
    std::lock_guard lock(mutex_);
    ++written_.try_emplace(folder.id.device, std::move(entry)).first->second.files;
}

bool NameSet::Has(const std::string& name) const
{
    const std::size_t key = std::hash<std::string> {}(name);
    if (recent_.size() > 64) {
        const auto middle = sorted_.insert(sorted_.end(), recent_.begin(), recent_.end());
        recent_.clear();
        std::sort(middle, sorted_.end());
        std::inplace_merge(sorted_.begin(), middle, sorted_.end());
    }
    return std::binary_search(sorted_.begin(), sorted_.end(), key) ||
           std::find(recent_.begin(), recent_.end(), key) != recent_.end();
}

}  // namespace tandrel
