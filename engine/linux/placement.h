// How a finished copy gets its target's name. The copy is written into a
// temporary beside the target (an unnamed file, or a file of a temporary
// name) and placed whole, so that a target is always either the old copy or
// the new one. The ways to place it, from the best:
//  - link the unnamed file in: never replaces, and nothing shows before;
//  - rename without replacing (RENAME_NOREPLACE);
//  - link and unlink the named file: the link fails if the target exists;
//  - look that the target is absent, then rename (FAT, exFAT, shares);
//  - with Overwrite: rename over the target.
// A way the file system refuses is not tried there again (its caps).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>

#include "engine/linux/caps.h"
#include "engine/linux/destinationtree.h"
#include "engine/linux/posixfd.h"
#include "engine/linux/systemcalls.h"

namespace tandrel {

// Removes a file of our own that was just closed (never through a link). A
// share may still hold it for a moment after the close, and says EBUSY.
int RemoveOwn(SystemCalls& calls, int folder, const char* name);

// A copy's output while it is not in place. Whatever is done to it goes
// through its own descriptor, or through its folder's by a call that never
// follows a link: nothing by its path.
class Temporary {
public:
    Temporary(SystemCalls& calls, FolderRef folder) : calls_(calls), folder_(std::move(folder)) {}
    ~Temporary() { Discard(); }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    // An unnamed file where the folder's file system makes them (0 or the
    // errno); else a file of a fresh temporary name, created exclusively
    // and locked while it is written, so that the clean-up of another backup
    // passes it by. `mode` is the permission bits asked for.
    int Create(mode_t mode);
    // A symbolic link holding `text`, at a fresh temporary name.
    int CreateLink(const std::string& text);
    int Fd() const { return out_.Get(); }
    bool Unnamed() const { return unnamed_; }
    // The permission bits it was created with, as far as they were asked
    // for (an unnamed file); -1 for a named one, created 0600.
    int AskedMode() const { return asked_; }
    const std::string& Name() const { return name_; }  // empty while unnamed
    const Folder& In() const { return *folder_; }
    // Removes it: its data first, since a full file system (ntfs-3g) may
    // refuse to remove a file until it has room, then its name.
    void Discard();

    // Puts it at `target` in its folder; without `replace`, an existing
    // target is never replaced (`existed` says whether one was there when
    // the copy looked; `lookedAbsent`, that the commit has just looked and
    // found none, which spares the look that a file system without a
    // rename that keeps the target would need). Returns 0 or the errno.
    // Late write errors (a close on a network or FUSE file system) count.
    int Place(const std::string& target, bool replace, bool existed, bool lookedAbsent = false);
    // Whether a rename gave it its name (which may lose its times).
    bool Renamed() const { return renamed_; }
    // Sets the times again on the placed file, where the rename lost them.
    void RestoreTimes(const std::string& target, const struct timespec times[2], std::int64_t grain);

private:
    int LinkUnnamed(const std::string& name);
    int GiveName();
    int MoveIntoPlace(const std::string& target, bool replace, bool lookedAbsent);
    int CheckedClose();

    SystemCalls& calls_;
    FolderRef folder_;
    posix::Fd out_;
    std::string name_;
    bool unnamed_ = false;
    int asked_ = -1;
    bool renamed_ = false;
};

}  // namespace tandrel
