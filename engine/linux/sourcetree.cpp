// The source's folders, reached from the entries' descriptors one name at a
// time (or, where the kernel has openat2, all the levels below a held folder
// in one call that follows no link).
#include "engine/linux/sourcetree.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace tandrel {

using posix::Fd;
using posix::Quoted;

namespace {

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

std::string WithoutFinalSlash(const std::string& folder)
{
    return folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
}

FsError NotOpened(int error, const std::string& folder)
{
    return FsError("could not open the folder " + Quoted(folder) + ": " + std::strerror(error), posix::KindOf(error),
                   error, folder);
}

// Why the level `name` of the folder open as `parent` could not be opened:
// a link says so.
FsError NotReached(int error, int parent, const std::string& name, const std::string& level)
{
    struct stat info {};
    if ((error == ENOTDIR || error == ELOOP) && ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode))
        return FsError(Quoted(level) +
                           " is a symbolic link, and a backup follows no link below the folders of its list: " +
                           std::strerror(ELOOP),
                       FsError::Kind::Other, ELOOP, level);
    return NotOpened(error, level);
}

SourceDirRef Describe(Fd fd, std::string path)
{
    auto folder = std::make_shared<SourceDir>();
    folder->fd = std::move(fd);
    folder->path = std::move(path);
    return folder;
}

}  // namespace

void SourceTree::SetEntries(const std::vector<std::string>& entries)
{
    std::lock_guard lock(mutex_);
    entries_.clear();
    roots_.clear();
    opened_.clear();
    held_.Forget([](const std::string&) { return true; });
    for (Slot& slot : slots_) {
        std::lock_guard slotLock(slot.mutex);
        slot.folder.reset();
    }
    for (const std::string& entry : entries) {
        entries_.insert(entry);
        std::string key = entry;
        while (!key.empty() && key.back() == '/') key.pop_back();
        roots_.insert(key + "/");  // a file entry's key holds no file's folder
    }
}

SourceDirRef SourceTree::Cached(const std::string& folder)
{
    std::lock_guard lock(mutex_);
    return held_.Find([&](const std::string& held) { return held == folder; });
}

SourceDirRef SourceTree::Root(const std::string& key)
{
    {
        std::lock_guard lock(mutex_);
        if (auto it = opened_.find(key); it != opened_.end()) return it->second;
    }
    // The entry is taken as the user named it, through any link on its way.
    const std::string path = WithoutFinalSlash(key);
    Fd fd(::open(path.c_str(), kFolderFlags));
    if (!fd.Valid()) throw NotOpened(errno, path);
    SourceDirRef root = Describe(std::move(fd), key);
    std::lock_guard lock(mutex_);
    held_.Keep(root);
    return opened_.emplace(key, std::move(root)).first->second;
}

SourceDirRef SourceTree::Walk(const std::string& folder, std::size_t rootEnd)
{
    if (SourceDirRef held = Cached(folder)) return held;
    // From the deepest level held open (or the entry) down.
    SourceDirRef from;
    std::size_t end = folder.size() - 1;  // the final "/" of the part reached
    while (!from) {
        end = folder.rfind('/', end - 1);
        if (end == std::string::npos || end + 1 <= rootEnd) {
            end = rootEnd - 1;
            from = Root(folder.substr(0, rootEnd));
        } else {
            from = Cached(folder.substr(0, end + 1));
        }
    }
    Fd fd(calls_.OpenBeneath(from->fd.Get(), folder.substr(end + 1, folder.size() - end - 2).c_str()));
    if (fd.Valid()) {
        SourceDirRef reached = Describe(std::move(fd), folder);
        std::lock_guard lock(mutex_);
        held_.Keep(reached);
        return reached;
    }
    // One name at a time, which also tells which level failed.
    for (std::size_t at = end + 1; at < folder.size();) {
        const std::size_t cut = folder.find('/', at);
        const std::string name = folder.substr(at, cut - at);
        const std::string level = folder.substr(0, cut + 1);
        at = cut + 1;
        if (name.empty()) continue;
        if (name == "." || name == "..")
            throw FsError("the path holds " + Quoted(name) + ", which names no folder of its own", FsError::Kind::Other,
                          EINVAL, WithoutFinalSlash(level));
        Fd next(::openat(from->fd.Get(), name.c_str(), kFolderFlags | O_NOFOLLOW));
        if (!next.Valid()) throw NotReached(errno, from->fd.Get(), name, WithoutFinalSlash(level));
        from = Describe(std::move(next), level);
        std::lock_guard lock(mutex_);
        held_.Keep(from);
    }
    return from;
}

SourcePlace SourceTree::Reach(const std::string& path)
{
    SourcePlace place;
    const std::size_t cut = path.rfind('/');
    place.name = cut == std::string::npos ? path.c_str() : path.c_str() + cut + 1;
    place.followed = !entries_.empty() && entries_.count(path) != 0;
    if (!place.followed && cut != std::string::npos) {
        // The folder this thread reached last, without the shared lock.
        const std::string_view wanted(path.data(), cut + 1);
        Slot& slot = slots_[std::hash<std::thread::id>()(std::this_thread::get_id()) % slots_.size()];
        {
            std::lock_guard lock(slot.mutex);
            if (slot.folder && slot.folder->path == wanted) {
                place.folder = slot.folder;
                return place;
            }
        }
        place.folder = Below(path.substr(0, cut + 1));
        if (place.folder) {
            std::lock_guard lock(slot.mutex);
            slot.folder = place.folder;
            return place;
        }
    }
    // A file entry, or a path under no entry: its folder by its path.
    const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    const std::string open = folder.empty() ? std::string(".") : WithoutFinalSlash(folder);
    Fd fd(::open(open.c_str(), kFolderFlags));
    if (!fd.Valid()) throw NotOpened(errno, open);
    place.folder = Describe(std::move(fd), folder);
    return place;
}

bool SourceTree::Gone(const SourcePlace& place)
{
    const int error = errno;
    struct stat info {};
    const bool gone = ::fstat(place.At(), &info) != 0 || info.st_nlink == 0;
    errno = error;
    if (!gone) return false;
    const std::string& path = place.folder->path;
    auto under = [&](const std::string& held) { return held.compare(0, path.size(), path) == 0; };
    std::lock_guard lock(mutex_);
    held_.Forget(under);
    std::erase_if(opened_, [&](const auto& root) { return under(root.first); });
    for (Slot& slot : slots_) {
        std::lock_guard slotLock(slot.mutex);
        if (slot.folder && under(slot.folder->path)) slot.folder.reset();
    }
    return true;
}

SourceDirRef SourceTree::Below(const std::string& folder)
{
    if (SourceDirRef held = Cached(folder)) return held;
    // Below the deepest folder entry that holds the path.
    for (std::size_t end = folder.size() - 1;;) {
        const std::size_t rootEnd = end + 1;
        if (roots_.count(rootEnd == folder.size() ? folder : folder.substr(0, rootEnd)))
            return rootEnd == folder.size() ? Root(folder) : Walk(folder, rootEnd);
        if (end == 0) return nullptr;
        end = folder.rfind('/', end - 1);
        if (end == std::string::npos) return nullptr;
    }
}

}  // namespace tandrel
