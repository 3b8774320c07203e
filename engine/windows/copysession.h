// One backup's copies on Windows. A copy goes into a temporary file beside
// its target (CopyFileW keeps the times and attributes) and is moved into
// place only when complete. Each folder below the destination is opened as
// itself, level by level, and held open while the backup writes through its
// path, so that no link is followed there.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/detail/heldfolders.h"
#include "engine/windows/winfs.h"
#include "engine/filesystem.h"
#include "support/quoted.h"

namespace tandrel {

namespace win {

using support::Quoted;

// What one backup learns about one folder it writes into.
struct FolderState {
    bool madeByThisBackup = false;      // held no targets to look for
    bool cleaned = false;               // what killed copies left here is gone
    std::uint64_t timeGranularity = 0;  // 100 ns ticks; 0 not asked yet
    std::set<std::wstring> placed;      // names placed by this backup, folded (while it keeps versions)
    // The names this backup placed or found up to date here: folded, and as
    // spelled.
    std::map<std::wstring, std::wstring> claimed;
};

// A folder of the destination, held open (see HoldFolder), with the folders
// above it: the wide calls that go through its path reach the folder that was
// looked at.
struct Folder {
    Handle handle {INVALID_HANDLE_VALUE};
    std::wstring native;  // its path for the wide calls, with its final "\"
    std::string path;     // as the backup names it, without its final separator
    FileKey id;
    FolderState* state = nullptr;
    std::shared_ptr<const Folder> parent;
};
using FolderRef = std::shared_ptr<const Folder>;

// A folder of the source below an entry of the backup list, held open as
// itself with the folders above it up to the entry: a copy that reads
// through its path reaches the folders that were looked at, none of which is
// a link.
struct HeldSource {
    Handle handle {INVALID_HANDLE_VALUE};
    std::string path;  // without its final separator
    std::shared_ptr<const HeldSource> parent;
};
using HeldSourceRef = std::shared_ptr<const HeldSource>;

inline std::string WithoutFinalSeparators(std::string path)
{
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

inline std::string FolderOf(const std::string& target)
{
    const std::size_t cut = target.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
}

inline std::string NameOf(const std::string& target)
{
    const std::size_t cut = target.find_last_of("\\/");
    return cut == std::string::npos ? target : target.substr(cut + 1);
}

class WindowsCopySession : public CopySession {
public:
    explicit WindowsCopySession(const std::string& destination) : destination_(WithoutFinalSeparators(destination)) {}
    ~WindowsCopySession() override { Unlock(); }

    bool DirectoryExists(const std::string& path) override;
    void CreateDirectory(const std::string& path, const std::string& mirrored) override;
    std::unique_ptr<FileCopy> Open(const std::string& source) override;
    void SetEntries(std::shared_ptr<const std::vector<std::string>> entries) override;
    void Work(FileCopy& base, const std::string& target, bool overwrite) noexcept override;
    CopyOutcome Commit(FileCopy& base) override;
    void Finish() override;
    // Asked by the copy's own thread only.
    bool LiesInDestination(const std::string& source) override;
    bool TryLock() override;
    void KeepReplacedIn(std::int64_t runTime) override { runTime_ = runTime; }
    std::int64_t KeptVersions() const override { return kept_; }
    std::string VersionsFolder() const override;
    std::int64_t PruneVersions(std::int64_t cutoff) override;
    std::int64_t FreeVersions(std::uint64_t bytes) override;
    std::string KeepingFolder() override;
    // The index of sources (sessionrecords.cpp).
    std::unique_ptr<ReservedReader> OpenIndex() override;
    std::unique_ptr<ReservedWriter> ReplaceIndex() override;

private:
    struct Copy : FileCopy {
        std::string source, target;
        bool overwrite = false;
        bool upToDate = false;
        bool replaces = false;  // the work found a file at the target's name
        std::optional<FsError> failure;
        FolderRef folder;        // the target's, held until the copy is done with
        std::wstring to;         // the target's path for the wide calls
        std::wstring temporary;  // the temporary's, in the "\\?\" form where needed
        std::string What() const { return "Could not copy " + Quoted(source) + " to " + Quoted(target); }
        void Drop()
        {
            if (!temporary.empty()) RemoveTemporary(temporary);
            temporary.clear();
        }
        ~Copy() override { Drop(); }
    };

    // The destination's folders (copysession.cpp).
    FolderRef Walk(const std::string& wanted, bool create, bool checked, std::vector<std::string>* made);
    FolderRef Root(bool create, std::vector<std::string>* made);
    // The destination folder for a reserved file of its own: a failure to
    // reach it is told as `what`'s.
    FolderRef RootFor(const std::string& what, bool create);
    FolderRef Level(const FolderRef& parent, const std::string& name, const std::string& level, bool create,
                    std::vector<std::string>* made);
    static FsError NotThere(DWORD error, const std::string& path);
    FolderRef Describe(Handle folder, std::wstring native, const std::string& path, FolderRef parent);
    FolderRef Cached(const std::string& path, bool checked);
    void Keep(const FolderRef& folder);
    void Forget(const std::string& folder);
    void Clean(const Folder& folder);
    // The source's folders: the folder of `source` held, with the levels
    // above it up to the folder entry it lies under; null for an entry
    // itself, or a path under no folder entry. Throws FsError with the
    // reason alone.
    HeldSourceRef HoldSource(const std::string& source);
    HeldSourceRef SourceRoot(const std::string& entry);
    // The copy itself.
    void DoWork(Copy& copy);
    static std::wstring StoredSpelling(const std::wstring& path);
    void RefuseTwin(const Copy& copy);
    void Claim(const Copy& copy);
    bool UpToDate(const BY_HANDLE_FILE_INFORMATION& source, const BY_HANDLE_FILE_INFORMATION& target,
                  const Folder& folder);
    // What guards the destination (sessionguards.cpp).
    bool FolderInDestination(const std::string& folder);
    static bool StillNamed(HANDLE file, const std::wstring& name);
    void Unlock();
    // The kept versions (versions.cpp).
    std::string VersionsRoot() const;
    FolderRef KeptFolderFor(const Folder& folder);
    void MakeRunFolder();
    void KeepReplaced(Copy& copy);

    std::string destination_;             // without its final separator ("C:" for a drive's root)
    Handle lock_ {INVALID_HANDLE_VALUE};  // the destination's lock file, locked from TryLock on
    std::optional<FileKey> destinationId_;
    std::map<std::string, bool> inDestination_;  // source folders, once asked
    // Set: replaced copies are kept. Those are kept at the commits, which
    // run on one thread.
    std::optional<std::int64_t> runTime_;
    std::string runFolder_;  // this run's folder of kept copies, once made
    std::int64_t kept_ = 0;
    std::mutex mutex_;  // guards everything below, and each folder's state
    FolderRef root_;
    HeldFolders<FolderRef> held_;  // the folders used last
    std::map<FileKey, std::unique_ptr<FolderState>> states_;
    std::map<std::uint64_t, std::pair<std::wstring, std::string>> written_;  // by volume: a folder written to
    std::set<std::string> entries_;                                          // without final separators
    std::map<std::string, HeldSourceRef> sourceRoots_;                       // the folder entries, once held
    HeldFolders<HeldSourceRef> heldSources_;                                 // the source folders used last
};

}  // namespace win

}  // namespace tandrel
