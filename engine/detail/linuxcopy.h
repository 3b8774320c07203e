// One backup's copies on Linux. A copy goes into an unnamed (or else a
// temporary) file beside its target and gets the target's name only when
// complete, so a failure never leaves a partial target nor harms the file it
// was to replace.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <set>
#include <unordered_map>
#include <vector>

#include "engine/filesystem.h"
#include "engine/detail/posixfd.h"
#include "engine/systemcalls.h"

namespace tandrel {

// Creates the folder with every missing level. The levels this call made
// are added to `made`, from the top down; a level that another program made
// meanwhile is not among them.
void CreateFolders(const std::string& path, std::vector<std::string>* made = nullptr,
                   SystemCalls& calls = SystemCalls::Real());

// What the session learns about a folder it writes into, with the first
// files there, and reuses for the files that follow.
struct FolderFacts {
    std::atomic<bool> madeByThisBackup {false};  // held no targets to look for
    std::atomic<bool> written {false};           // a copy was placed here: flush its disk
    std::atomic<bool> unnamedRefused {false};    // the file system makes no unnamed files (O_TMPFILE)
    std::atomic<bool> cloneRefused {false};      // FICLONE into the folder is refused...
    std::atomic<dev_t> cloneSource {0};          // ...from files of this device
    std::atomic<bool> chownRefused {false};      // the owner of a copy can't be set here
    // The permission bits that a new file in the folder keeps of those it is
    // created with (the umask, or a default ACL, takes the others); -1 until
    // the first new file there shows them, with its owner and group.
    std::atomic<int> keptModeBits {-1};
    std::atomic<uid_t> newFileOwner {0};
    std::atomic<gid_t> newFileGroup {0};
    // Asked only when needed, under the session's lock: the folder's device,
    // whether it lies on FAT (no file of 4 GiB or more), and whether what
    // killed copies left here is gone (before the first file is written).
    bool deviceKnown = false;
    dev_t device = 0;
    int onFat = -1;
    std::atomic<bool> cleaned {false};
    // The ways to place a file without replacing one that the file system
    // refused once; they are not tried again for this folder.
    std::atomic<bool> noRenameNoReplace {false};
    std::atomic<bool> noLink {false};
    // Whether a rename here keeps the times set before it: 0 not known yet,
    // 1 kept, -1 lost (then they are set again after placing).
    std::atomic<int> renameKeepsTimes {0};
    // Modification times are compared at this granularity (ns; 0 unknown).
    std::atomic<std::int64_t> timeGranularity {0};
};

// The last folder each thread of a session looked into, held open: files
// come folder by folder, and a look by name from the folder costs less than
// one that walks the whole path again.
class FolderCache {
public:
    // stat() of `path`, looked up from its folder where that folder is open.
    int Stat(const std::string& path, struct stat& info);
    // Lets go of `folder` (without its final "/") and the folders under it:
    // one made anew is another folder than the one held open.
    void Forget(const std::string& folder);
    // Runs `call(folder, name)` for `path`: its folder open as a descriptor
    // (AT_FDCWD and the whole path where it can't be opened).
    template <typename Call>
    int At(const std::string& path, Call call)
    {
        const std::size_t cut = path.rfind('/');
        if (cut == std::string::npos || cut == 0) return call(AT_FDCWD, path.c_str());
        Slot& slot = SlotFor(path, cut);
        std::lock_guard lock(slot.mutex, std::adopt_lock);
        if (!slot.fd.Valid()) return call(AT_FDCWD, path.c_str());
        return call(slot.fd.Get(), path.c_str() + cut + 1);
    }

private:
    struct Slot {
        std::mutex mutex;
        std::string folder;
        posix::Fd fd;
    };
    // The calling thread's slot, locked, holding the folder of `path`.
    Slot& SlotFor(const std::string& path, std::size_t cut);
    std::array<Slot, 16> slots_;  // by thread
};

class LinuxCopySession : public CopySession {
public:
    explicit LinuxCopySession(SystemCalls& calls) : calls_(calls) {}

    bool DirectoryExists(const std::string& path) override;
    void CreateDirectory(const std::string& path) override;
    std::unique_ptr<FileCopy> Open(const std::string& source) override;
    bool NeedsWork(FileCopy& copy, const std::string& target, bool overwrite) override;
    void Work(FileCopy& copy, const std::string& target, bool overwrite) override;
    CopyOutcome Commit(FileCopy& copy) override;
    void Finish() override;
    // Only once no copy of the session is left: their facts may go with it.
    void RemoveMadeFolder(const std::string& folder) override;

private:
    struct Copy;
    // The facts of `folder` (ending with "/").
    FolderFacts& Facts(const std::string& folder);
    void Look(Copy& copy);
    void WriteData(Copy& copy);
    void CheckName(Copy& copy, FolderFacts& facts);
    bool UpToDate(const Copy& copy, const struct stat& target, FolderFacts& facts);
    std::int64_t TimeGranularity(const std::string& folder, FolderFacts& facts);
    void CreateOutput(Copy& copy, FolderFacts& facts);
    void KeepOwnerModeAndTimes(Copy& copy, FolderFacts& facts);
    void Place(Copy& copy, FolderFacts& facts);
    int MoveIntoPlace(Copy& copy, FolderFacts& facts);
    void RestoreTimesAfterRename(Copy& copy, FolderFacts& facts);

    FolderFacts& NewFacts(const std::string& folder);  // with mutex_ held
    dev_t DeviceOf(FolderFacts& facts, const std::string& folder);
    bool OnFat(FolderFacts& facts, const std::string& folder);
    void Clean(FolderFacts& facts, const std::string& folder);

    SystemCalls& calls_;
    std::mutex mutex_;  // guards the maps; the facts themselves are atomics
    std::unordered_map<std::string, std::unique_ptr<FolderFacts>> folders_;
    // Characters (or, for 0x80, letters outside ASCII) that a file system
    // refuses in names, by device, with the errno of the refusal (0: taken).
    std::map<std::pair<dev_t, unsigned char>, int> nameRefusals_;
    std::set<std::string> madeFolders_;  // without their final "/"
    FolderCache sources_, targets_;
};

}  // namespace tandrel
