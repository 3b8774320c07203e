// One backup's copies on Linux. A copy goes into a temporary beside its
// target and gets the target's name only when complete, so a failure never
// leaves a partial target nor harms the file it was to replace.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/linux/copydata.h"
#include "engine/linux/destinationtree.h"
#include "engine/linux/placement.h"
#include "engine/linux/posixfd.h"
#include "engine/linux/sourcetree.h"
#include "engine/filesystem.h"
#include "engine/linux/systemcalls.h"
#include "engine/linux/uploads.h"

namespace tandrel {

class LinuxCopySession : public CopySession {
public:
    LinuxCopySession(SystemCalls& calls, const std::string& destination, const DestinationCaps* profile)
        : calls_(calls), tree_(calls, destination, profile), sources_(calls), destination_(destination)
    {
    }

    bool DirectoryExists(const std::string& path) override;
    void CreateDirectory(const std::string& path, const std::string& mirrored) override;
    std::unique_ptr<FileCopy> Open(const std::string& source) override;
    std::unique_ptr<FileCopy> Defer(const std::string& source) override;
    void SetEntries(std::shared_ptr<const std::vector<std::string>> entries) override;
    void Work(FileCopy& copy, const std::string& target, bool overwrite) noexcept override;
    CopyOutcome Commit(FileCopy& copy) override;
    void Release(FileCopy& copy) override;
    // Asked by the copy's own thread only.
    bool LiesInDestination(const std::string& source) override;
    void KeepReplacedIn(std::int64_t runTime) override;
    std::int64_t KeptVersions() const override { return kept_; }
    std::string VersionsFolder() const override;
    std::int64_t PruneVersions(std::int64_t cutoff) override;
    std::int64_t FreeVersions(std::uint64_t bytes) override;
    bool KeptOwnersAndModes() const override { return tree_.WrittenKeepModes(); }
    std::vector<std::string> Notes() const override;
    bool TryLock() override;
    ~LinuxCopySession() override { Unlock(); }
    void Finish() override;
    // Only once no copy of the session is left.
    void RemoveMadeFolder(const std::string& folder) override;
    // engine/linux/verify.cpp
    void HashSources(bool on) override { hashSources_ = on; }
    StoredCopy ReadBack(const std::string& path) override;
    std::int64_t MarkStale(const std::string& path) override;
    std::unique_ptr<ReservedReader> OpenReserved(const ReservedFile& file) override;
    std::unique_ptr<ReservedWriter> ReplaceReserved(const ReservedFile& file) override;
    std::unique_ptr<ReservedReader> OpenIndex() override;
    std::unique_ptr<ReservedWriter> ReplaceIndex() override;
    // engine/linux/versions.cpp
    std::string KeepingFolder() override;

private:
    struct Copy;
    struct Attempt;
    void Look(Copy& copy, Attempt& attempt);
    void WriteData(Copy& copy, Attempt& attempt);
    void CheckName(const Copy& copy, const Attempt& attempt);
    bool UpToDate(const Copy& copy, const Attempt& attempt, const struct stat& target);
    std::int64_t TimeGrain(const Folder& folder);
    bool KeepsNoTimes(const Folder& folder);
    const NewFiles& NewFilesOf(const Folder& folder, const Attempt& attempt);
    void KeepOwnerModeAndTimes(const Copy& copy, Attempt& attempt);
    // Puts the worked copy in place (`lookedAbsent`: the commit has just
    // found no target there). True where it filled `placed` with the placed
    // copy's look on the way.
    bool Place(Copy& copy, Attempt& attempt, bool lookedAbsent, struct stat& placed);
    void Clean(const Folder& folder);
    void Measure(Copy& copy);
    // The folder of the source of `copy`, open; one that can't be reached
    // fails the copy (`sizing`: as the look at its size).
    SourcePlace ReachSource(const Copy& copy, bool sizing);
    bool CopyLink(Copy& copy, Attempt& attempt);
    void PlaceLink(Copy& copy, Attempt& attempt);
    bool HoldsLinks(const Folder& folder);
    bool Racy(const struct stat& source, std::int64_t began, const Folder& folder);
    void RefuseTwin(const Copy& copy, const Attempt& attempt, ino_t stored);
    void Claim(const Folder& folder, const std::string& name);
    std::string StoredName(const Folder& folder, const std::string& name, ino_t inode);
    void Respell(const Folder& folder, const std::string& from, const std::string& to);
    // Throws where the placed copy is not found under its own name (the
    // file system rewrote it); else `placed` holds the copy's look.
    void CheckStoredName(Copy& copy, Attempt& attempt, struct stat& placed);

    SystemCalls& calls_;
    mutable DestinationTree tree_;
    std::mutex mutex_;                   // guards madeFolders_ and the clean-ups
    std::set<std::string> madeFolders_;  // without their final "/"
    SourceTree sources_;
    std::string destination_;
    void Unlock();
    std::string VersionsRoot() const;
    FolderRef KeptFolderFor(const Folder& folder);
    void MakeRunFolder();
    void KeepReplaced(Copy& copy, Attempt& attempt);
    std::optional<std::int64_t> runTime_;  // set: replaced copies are kept
    std::string runFolder_;                // this run's folder of kept copies, once made
    std::int64_t kept_ = 0;
    bool FolderInDestination(const std::string& folder);
    std::optional<FileId> destinationId_;
    std::unordered_map<std::string, bool> inDestination_;  // source folders, once asked
    posix::Fd lock_;                                       // the destination's lock file, held (flock) from TryLock on
    FolderRef lockFolder_;
    bool locked_ = false;
    Uploads uploads_;  // copies placed on rclone mounts, waited for at the end
    // A copy placed where times are not kept, with what its source was when
    // read: its time there is that of its upload, so a source changed before
    // the upload ended would pass for unchanged next time.
    struct UntimedCopy {
        std::string target;  // absolute, as the upload is followed
        std::string source;
        off_t size = 0;
        std::int64_t modified = 0;
    };
    std::vector<UntimedCopy> untimed_;
    void CheckUntimed(std::optional<FsError>& failed, std::string& messages, std::int64_t& files,
                      const std::set<std::string>& notUploaded);
    std::vector<std::string> notes_;
    std::atomic<bool> noTimes_ {false};  // a destination's file system keeps no times: the summary says so
    void WaitForUploads(std::optional<FsError>& failed, std::string& messages, std::int64_t& files);
    bool hashSources_ = false;
};

// One work of a copy, from the look at its target to its commit. A copy
// worked again gets a new one.
struct LinuxCopySession::Attempt {
    std::string target;
    std::string name;  // the target's, in its folder
    bool overwrite = false;
    FolderRef folder;  // the target's, once looked up

    enum class State { Looking, Worked, UpToDate, Failed } state = State::Looking;
    std::optional<FsError> failure;
    bool targetExisted = false;
    posix::Fd in;
    std::optional<Temporary> out;
    std::string linkText;         // a link copied as a link: its text
    std::string storedAs;         // the target's name as its folder spells it, where that differs in case
    struct timespec times[2] {};  // what the copy gets: the source's, or one the quick check can't match
};

struct LinuxCopySession::Copy : FileCopy {
    std::string source;
    bool measured = false;  // sourceInfo and length are read
    bool link = false;      // a symbolic link found in a folder
    struct stat sourceInfo {};
    std::optional<Attempt> attempt;  // the last work's

    // "Could not copy 'source' to 'target'", the start of every failure's
    // message; made only for a failure, and leaves errno as it was.
    std::string What() const
    {
        const int error = errno;
        std::string text = "Could not copy " + posix::Quoted(source);
        if (attempt && !attempt->target.empty()) text += " to " + posix::Quoted(attempt->target);
        errno = error;
        return text;
    }
};

}  // namespace tandrel
