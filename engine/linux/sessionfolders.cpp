// The folders of one backup on Linux: what killed copies left in them, and
// the folders a backup makes, and removes again when it stops before using
// them.
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "engine/linux/nativefs.h"
#include "engine/linux/copysession.h"
#include "engine/linux/sessionparts.h"

namespace tandrel {

using posix::Quoted;

// The first file written into a folder (a copy or a probe) waits until what
// killed copies left there is gone, so that no file of this session is
// taken for a leftover. A folder this backup made holds none.
void LinuxCopySession::Clean(const Folder& folder)
{
    FolderState& state = *folder.state;
    if (state.cleaned.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    if (state.cleaned) return;
    if (!state.madeByThisBackup) NativeFileSystem::RemoveCopyTemporariesAt(folder.fd.Get());
    state.cleaned.store(true, std::memory_order_release);
}

bool LinuxCopySession::DirectoryExists(const std::string& path)
{
    try {
        return tree_.IsFolder(path);
    } catch (const FsError& failure) {
        if (failure.code() == ENOTDIR) return false;
        // Something is there, reached through a link: each copy into it says
        // that it is not followed.
        // So is a folder of the same name in another case, where that is one
        // name.
        if (failure.code() == ELOOP || failure.code() == EEXIST) return true;
        throw failure.Within("Could not read " + Quoted(path));
    }
}

void LinuxCopySession::CreateDirectory(const std::string& path, const std::string& mirrored)
{
    // Level `depth` above the deepest stands for the source folder as many
    // levels above `mirrored`.
    auto mirror = [&mirrored](std::size_t depth) {
        std::string folder = mirrored;
        for (std::size_t i = 0; i < depth && !folder.empty(); ++i) {
            const std::size_t cut = folder.rfind('/');
            folder.resize(cut == std::string::npos || cut == 0 ? 0 : cut);
        }
        return folder;
    };
    std::vector<std::string> made;
    try {
        made = tree_.Create(path, mirror);
    } catch (const FsError& failure) {
        throw failure.Within("Could not create the folder " + Quoted(path));
    }
    // Levels that another program made meanwhile are not ours.
    if (made.empty()) return;
    tree_.Forget(made.front());
    {
        std::lock_guard lock(mutex_);
        madeFolders_.insert(made.begin(), made.end());
    }
    // The copies that follow into a folder made just now need not look for
    // a target there first, nor for leftovers.
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (made.back() != folder) return;
    tree_.Open(folder)->state->madeByThisBackup = true;
}

void LinuxCopySession::RemoveMadeFolder(const std::string& folder)
{
    std::string level = folder;
    while (level.size() > 1 && level.back() == '/') level.pop_back();
    std::lock_guard lock(mutex_);
    while (madeFolders_.count(level)) {
        const std::size_t cut = level.rfind('/');
        if (cut == std::string::npos || cut == 0) break;
        // Below the destination, from the folder above; the destination's
        // own levels by their path, as they were made.
        const std::string above = level.substr(0, cut);
        int removed = -1;
        try {
            FolderRef parent = tree_.Open(above);
            removed = calls_.UnlinkAt(parent->fd.Get(), level.c_str() + cut + 1, AT_REMOVEDIR);
        } catch (const FsError&) {
            removed = ::rmdir(level.c_str());
        }
        if (removed != 0) break;
        madeFolders_.erase(level);
        tree_.Forget(level);
        level = above;
    }
}

}  // namespace tandrel
