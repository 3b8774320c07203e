// Names on a destination that may not tell upper from lower case, or that
// may store a name other than the one written.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/linux/copysession.h"
#include "engine/linux/sessionparts.h"

namespace tandrel {

using namespace session;
using posix::Fail;
using posix::Fd;
using posix::Quoted;

// Two sources whose targets are one name on a destination that does not
// tell upper from lower case: the first in list order keeps it.
void LinuxCopySession::RefuseTwin(const Copy& copy, const Attempt& attempt, ino_t stored)
{
    FolderState& state = *attempt.folder->state;
    std::string first;
    {
        std::lock_guard lock(state.namesMutex);
        const auto it = state.claimed.find(NameKey(state.caps, attempt.name, stored));
        if (it != state.claimed.end() && it->second != attempt.name) first = it->second;
    }
    // A name the folder lists as it is spelled is an entry of its own.
    if (!first.empty() && !ListsSpelling(*attempt.folder, attempt.name))
        throw FsError(copy.What() + ": it has the same name as " + Quoted(first) +
                          " on this destination, which does not tell upper from lower case",
                      FsError::Kind::Other, EEXIST, attempt.target);
}

void LinuxCopySession::Claim(const Folder& folder, const std::string& name)
{
    struct stat placed {};
    if (calls_.StatAt(folder.fd.Get(), name.c_str(), placed, AT_SYMLINK_NOFOLLOW) != 0) return;
    std::lock_guard lock(folder.state->namesMutex);
    folder.state->claimed[NameKey(folder.state->caps, name, placed.st_ino)] = name;
}

// How the folder spells the name of the file `inode`, as it stood when first
// asked; empty when it is not among them.
std::string LinuxCopySession::StoredName(const Folder& folder, const std::string& name, ino_t inode)
{
    FolderState& state = *folder.state;
    std::lock_guard lock(state.namesMutex);
    if (!state.stored) {
        state.stored.emplace();
        if (DIR* dir = ::fdopendir(::openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
            while (const dirent* entry = ::readdir(dir))
                state.stored->emplace(NameKey(state.caps, entry->d_name, entry->d_ino), entry->d_name);
            ::closedir(dir);
        }
    }
    // Names of one key that the folder lists apart are entries of their own:
    // the name spelled as asked is its own.
    const auto [from, to] = state.stored->equal_range(NameKey(state.caps, name, inode));
    for (auto it = from; it != to; ++it)
        if (it->second == name) return name;
    return from == to ? std::string() : from->second;
}

// Renames `from` to `to`, which differ only in case, by way of a temporary
// name: a rename straight from one to the other is the same name, and the
// system does nothing.
void LinuxCopySession::Respell(const Folder& folder, const std::string& from, const std::string& to)
{
    const std::string between = NewCopyTemporaryName();
    const int at = folder.fd.Get();
    if (calls_.RenameAt(at, from.c_str(), at, between.c_str(), RENAME_NOREPLACE) != 0 &&
        calls_.RenameAt(at, from.c_str(), at, between.c_str(), 0) != 0)
        return;
    if (calls_.RenameAt(at, between.c_str(), at, to.c_str(), 0) != 0)
        calls_.RenameAt(at, between.c_str(), at, from.c_str(), 0);
}

// A share may store a file under another name than the one written
// (libsmbclient cuts "what?a" to "what"). The name is looked up as written;
// where it is not there, the file fails, and what the copy left under the
// other name (a file of its size and time that was not there before) goes.
void LinuxCopySession::CheckStoredName(Copy& copy, Attempt& attempt, struct stat& placed)
{
    const Folder& folder = *attempt.folder;
    if (::fstatat(folder.fd.Get(), attempt.name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0) return;
    StoredName(folder, attempt.name, 0);  // the folder's entries as they were before, read if not yet
    if (DIR* dir = ::fdopendir(::openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
        const FolderState& state = *folder.state;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            struct stat info {};
            bool before = false;
            {
                std::lock_guard lock(folder.state->namesMutex);
                for (const auto& [key, stored] : *state.stored) before = before || stored == name;
                before = before || state.placed.Has(name);
            }
            if (before || ::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISREG(info.st_mode) && info.st_size == copy.sourceInfo.st_size &&
                info.st_mtim.tv_sec == attempt.times[1].tv_sec)
                calls_.UnlinkAt(::dirfd(dir), name.c_str(), 0);
        }
        ::closedir(dir);
    }
    throw posix::NameRefused(attempt.target, attempt.name, "it was stored under another name").Within(copy.What());
}

}  // namespace tandrel
