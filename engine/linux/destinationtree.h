// The destination of one backup on Linux, reached through descriptors: the
// folder the user chose is opened once, at the start (through whatever link
// leads there), and every folder below it from its parent's descriptor, one
// name at a time. What the backup learns is kept per file system (its caps)
// and per folder (its state), the folder known by its identity, not by how a
// path spells it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/linux/caps.h"
#include "engine/detail/heldfolders.h"
#include "engine/linux/posixfd.h"
#include "engine/linux/systemcalls.h"

namespace tandrel {

// A set of names held as 64-bit hashes, 8 bytes a name, for the names of
// every file a backup places (a million and more): sorted, with the names
// added since the last look kept apart until they are many.
class NameSet {
public:
    void Add(const std::string& name) { recent_.push_back(std::hash<std::string> {}(name)); }
    bool Has(const std::string& name) const;

private:
    mutable std::vector<std::size_t> sorted_, recent_;
};

struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileId&) const = default;
};
struct FileIdHash {
    std::size_t operator()(const FileId& id) const { return std::hash<ino_t>()(id.inode) ^ (id.device << 1); }
};

// A value found once (by whichever thread asks first) and then only read.
template <typename T>
class OnceValue {
public:
    const T* Get() const { return known_.load(std::memory_order_acquire) ? &value_ : nullptr; }
    // The first value set stands.
    const T& Set(const T& value)
    {
        std::lock_guard lock(mutex_);
        if (!known_.load(std::memory_order_relaxed)) {
            value_ = value;
            known_.store(true, std::memory_order_release);
        }
        return value_;
    }

private:
    std::mutex mutex_;
    std::atomic<bool> known_ {false};
    T value_ {};
};

// What new files in a folder get of what they are created with: the
// permission bits they keep (the umask, or a default ACL, takes the others),
// their owner and group.
struct NewFiles {
    mode_t keptBits = 0777;
    uid_t owner = 0;
    gid_t group = 0;
};

// What one backup learns about one folder it writes into.
struct FolderState {
    explicit FolderState(DestinationCaps& fileSystem) : caps(fileSystem) {}
    DestinationCaps& caps;                       // of the folder's file system
    std::atomic<bool> madeByThisBackup {false};  // held no targets to look for
    std::atomic<bool> cleaned {false};           // what killed copies left here is gone
    OnceValue<NewFiles> newFiles;

    // Where the file system may not tell upper from lower case: whether this
    // folder does not (asked once); the names this backup placed (or found
    // up to date, or reached as folders) here, and the folder's entries as
    // they were when first asked, each by its NameKey.
    LearnedFact folds;
    std::mutex namesMutex;
    std::unordered_map<std::string, std::string> claimed;
    std::optional<std::unordered_multimap<std::string, std::string>> stored;
    // The names this backup placed here, where it keeps replaced copies (a
    // replaced copy of one of them is this backup's own, and is not kept)
    // or where the file system may store a name other than the one asked for
    // (a name stored so is not one of them).
    NameSet placed;
};

// What tells two names of a folding folder apart as one entry: the inode
// stored under them where the file system keeps one inode for all the names
// of an entry, else the name in Unicode simple case folding (FoldedName).
std::string NameKey(const DestinationCaps& caps, const std::string& name, ino_t inode);

// An open folder of the destination.
struct Folder {
    posix::Fd fd;      // O_PATH | O_DIRECTORY
    std::string path;  // as the backup names it, with its final "/"
    FileId id;
    FolderState* state = nullptr;
};
using FolderRef = std::shared_ptr<const Folder>;

// Whether `folder` now lists an entry spelled exactly `name`. The key folds
// some letters that a file system may keep apart (ß and ẞ on exFAT): two
// names of one key are one entry only where the folder lists one of them.
bool ListsSpelling(const Folder& folder, const std::string& name);

class DestinationTree {
public:
    // `profile`, when given, stands for the caps of every file system.
    DestinationTree(SystemCalls& calls, std::string destination, const DestinationCaps* profile);

    // The folder `path` (with or without its final "/"), which must lie at or
    // below the destination. Throws FsError with the reason alone; its kind
    // is Missing when a level is not there.
    FolderRef Open(const std::string& path);
    // Whether `path` is a folder; false when it or a level above is missing.
    bool IsFolder(const std::string& path);
    // Makes every missing level of `path`. Levels at or above the
    // destination are made by their path; those below it from their
    // parent's descriptor, and each takes the mode (and, where the process
    // may set it, the owner) of the folder `mirror(depth)` names, counted
    // from the deepest level (0) up, when it names one. Returns the levels
    // this call made (without their final "/"), from the top down: one that
    // another program made meanwhile is not among them. Throws FsError with
    // the reason alone.
    using Mirror = std::function<std::string(std::size_t depth)>;
    std::vector<std::string> Create(const std::string& path, const Mirror& mirror);
    // Lets go of `folder` (without its final "/") and the folders under it,
    // as the backup holds them open: a folder made anew is another folder.
    void Forget(const std::string& folder);
    // Whether `folder` does not tell upper from lower case in names.
    bool Folds(const Folder& folder);
    // The caps of the file system of `device`.
    DestinationCaps& CapsOf(dev_t device);
    // The mount table's entry for `device` (empty with a profile).
    MountEntry MountOf(dev_t device);
    // Notes that a copy was placed in `folder`: its file system is flushed
    // at the end.
    void NoteWritten(const Folder& folder);
    struct WrittenFileSystem {
        int fd;              // to flush it through, or minus the errno that kept it from being opened
        std::string folder;  // one there
        std::int64_t files;  // copies placed there
    };
    std::vector<WrittenFileSystem> WrittenFileSystems();
    // Whether every file system written to keeps owners and modes.
    bool WrittenKeepModes();

private:
    // `checked`: no folder held open is taken that was removed meanwhile.
    FolderRef Walk(const std::string& path, const Mirror* mirror, std::vector<std::string>* made, bool checked);
    bool FoldsCase(const Folder& folder);
    void ProbeForms(const Folder& folder);
    FolderRef Root(bool create, std::vector<std::string>* made);
    // Makes `name` in `parent`; false when another program made it first.
    bool MakeLevel(const Folder& parent, const std::string& name, const std::string& level,
                   const std::string& mirrored);
    void KeepOwnerAndMode(const Folder& parent, const std::string& name, const struct stat& source);
    FolderRef Describe(posix::Fd fd, std::string path);
    FolderRef Cached(const std::string& path, bool checked);
    void Keep(const FolderRef& folder);
    FolderState& StateOf(const FileId& id);

    SystemCalls& calls_;
    std::string destination_;  // without its final "/" ("" for the root folder)
    const DestinationCaps* profile_;
    std::mutex mutex_;  // guards everything below
    FolderRef root_;
    // The folders used last, held open: files come folder by folder.
    HeldFolders<FolderRef> held_;
    std::unordered_map<FileId, std::unique_ptr<FolderState>, FileIdHash> states_;
    std::unordered_map<dev_t, std::unique_ptr<DestinationCaps>> caps_;
    std::unordered_map<dev_t, MountEntry> mounts_;
    std::string mountTable_;
    struct WrittenDevice {
        std::string folder;
        posix::Fd fd;  // opened for the flush
        int error = 0;
        std::int64_t files = 0;
    };
    std::unordered_map<dev_t, WrittenDevice> written_;
};

}  // namespace tandrel
