// The sources of one backup on Linux, reached through descriptors as the
// destination is: each folder entry of the backup list is opened by its path
// (through a link the user named), and every folder below it from its
// parent's descriptor, with no link followed. A folder swapped for a link
// while the backup runs fails the files under it; it never leads elsewhere.
#pragma once

#include <fcntl.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/detail/heldfolders.h"
#include "engine/linux/posixfd.h"
#include "engine/linux/systemcalls.h"

namespace tandrel {

// An open folder of the source.
struct SourceDir {
    posix::Fd fd;      // O_PATH | O_DIRECTORY
    std::string path;  // with its final "/"
};
using SourceDirRef = std::shared_ptr<const SourceDir>;

// Where a source file is reached: its folder, open, and its name there.
struct SourcePlace {
    SourceDirRef folder;
    const char* name = nullptr;  // points into the path asked for
    bool followed = false;       // an entry of the backup list: a link at its name is followed
    int At() const { return folder->fd.Get(); }
};

class SourceTree {
public:
    explicit SourceTree(SystemCalls& calls) : calls_(calls) {}
    // The entries of the backup list, as the user named them.
    void SetEntries(const std::vector<std::string>& entries);
    // The folder of `path`, open, and the file's name in it. Below the
    // folder entry that holds the path, each level is reached from the one
    // above without following a link; a file entry's folder, and that of a
    // path under no entry, by its path. Throws FsError with the reason
    // alone, naming the folder that could not be opened.
    SourcePlace Reach(const std::string& path);
    // Whether the folder of `place` was removed since it was reached: then
    // it, and what was reached below it, is let go of, so that the next
    // Reach finds a folder made again under its name.
    bool Gone(const SourcePlace& place);

private:
    SourceDirRef Root(const std::string& key);
    SourceDirRef Walk(const std::string& folder, std::size_t rootEnd);
    SourceDirRef Cached(const std::string& folder);
    // The folder (with its final "/") below the folder entry that holds it;
    // null for one under no folder entry.
    SourceDirRef Below(const std::string& folder);

    SystemCalls& calls_;
    std::unordered_set<std::string> entries_;               // as given
    std::unordered_set<std::string> roots_;                 // the folder entries, each with its final "/"
    std::mutex mutex_;                                      // guards what follows
    std::unordered_map<std::string, SourceDirRef> opened_;  // the roots, once opened
    HeldFolders<SourceDirRef> held_;                        // the folders below them used last
    // The folder each thread reached last (by thread, each under its own
    // lock): files come folder by folder.
    struct Slot {
        std::mutex mutex;
        SourceDirRef folder;
    };
    std::array<Slot, 16> slots_;
};

}  // namespace tandrel
