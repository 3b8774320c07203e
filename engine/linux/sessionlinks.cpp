// Symbolic links found in backed-up folders.
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

// A link found in a folder is copied as a link where the destination holds
// links, and left alone by a repeat while its text is the same. Elsewhere
// the file it leads to is copied, but only one that the link's owner owns
// (or any, for a link of root's), as the opened file shows: a link never
// hands over a file that its owner could not read. True when the copy was
// made as a link, false when the file it leads to is to be copied.
bool LinuxCopySession::CopyLink(Copy& copy, Attempt& attempt)
{
    const Folder& folder = *attempt.folder;
    // The link at the name now is opened itself, and what follows is read
    // from it: its owner and its text, which is then resolved from the
    // link's folder as the system resolves a link. A link swapped in since
    // the look is the one judged, never one met earlier.
    const SourcePlace place = ReachSource(copy, false);
    Fd opened(::openat(place.At(), place.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat link {};
    if (!opened.Valid() || ::fstat(opened.Get(), &link) != 0) Fail(copy.What(), errno, copy.source);
    if (!S_ISLNK(link.st_mode))
        throw FsError(copy.What() + ": " + Quoted(copy.source) + " changed while it was being copied",
                      FsError::Kind::Other, 0, copy.source);
    copy.sourceInfo = link;
    copy.sourceModified = Nanoseconds(link.st_mtim);
    std::string text(static_cast<std::size_t>(link.st_size) + 1, '\0');
    const ssize_t length = ::readlinkat(opened.Get(), "", text.data(), text.size());
    if (length < 0) Fail(copy.What(), errno, copy.source);
    text.resize(static_cast<std::size_t>(length));
    if (HoldsLinks(folder)) {
        struct stat target {};
        if (!folder.state->madeByThisBackup &&
            ::fstatat(folder.fd.Get(), attempt.name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!attempt.overwrite) Fail(copy.What(), EEXIST, attempt.target);
            if (S_ISLNK(target.st_mode) && LinkText(folder.fd.Get(), attempt.name) == text) {
                attempt.state = Attempt::State::UpToDate;
                return true;
            }
            attempt.targetExisted = true;
        }
        CheckName(copy, attempt);
        // Made at its commit: straight at its name where there is none yet,
        // so that no link is left at a temporary's name.
        attempt.linkText = std::move(text);
        attempt.state = Attempt::State::Worked;
        return true;
    }
    attempt.in.Reset(::openat(place.At(), text.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat file {};
    if (!attempt.in.Valid() || ::fstat(attempt.in.Get(), &file) != 0) Fail(copy.What(), errno, copy.source);
    if (link.st_uid != 0 && file.st_uid != link.st_uid)
        throw FsError(copy.What() + ": it is a symbolic link to " + Quoted(text) +
                          ", a file its owner does not own, and the destination cannot hold links",
                      FsError::Kind::Other, EPERM, copy.source);
    copy.sourceInfo = file;
    copy.length = static_cast<std::uint64_t>(file.st_size);
    copy.sourceModified = Nanoseconds(file.st_mtim);
    return false;
}

// A link is made at its name where none is there, else at a temporary's and
// renamed over the target; then it gets the source link's owner and times.
void LinuxCopySession::PlaceLink(Copy& copy, Attempt& attempt)
{
    const Folder& folder = *attempt.folder;
    const char* name = attempt.name.c_str();
    int error = attempt.targetExisted ? EEXIST : 0;
    if (error == 0 && calls_.SymlinkAt(attempt.linkText.c_str(), folder.fd.Get(), name) != 0) error = errno;
    if (error == EEXIST && attempt.overwrite) {
        attempt.out.emplace(calls_, attempt.folder);
        error = attempt.out->CreateLink(attempt.linkText);
        if (error == 0) error = attempt.out->Place(attempt.name, true, true);
        if (error != 0) attempt.out->Discard();
    }
    if (error != 0) Fail(copy.What(), InFolder(folder, error), attempt.target);
    const struct stat& link = copy.sourceInfo;
    if (folder.state->caps.chown.Usable())
        calls_.FchownAt(folder.fd.Get(), name, link.st_uid, link.st_gid, AT_SYMLINK_NOFOLLOW);
    const struct timespec times[2] = {link.st_atim, link.st_mtim};
    calls_.UtimensAt(folder.fd.Get(), name, times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace tandrel
