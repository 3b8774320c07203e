// The file-system calls the engine relies on, behind an interface so that
// tests can make any of them fail. Every failure is an FsError whose message
// carries the platform's reason and the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/contenthash.h"
#include "engine/paths.h"

namespace tandrel {

// A failure of the file system: the message the user reads (with the
// platform's reason and the path), the platform's code (errno, or a Windows
// error; 0 for none), the path it concerns, and what it means to a backup.
class FsError : public std::runtime_error {
public:
    enum class Kind {
        Other,
        Missing,  // the file, or a folder on its path, is not there
        Full,     // the destination has no room left
    };
    // Each throw says all four: a failure that has no system code gives 0.
    FsError(const std::string& message, Kind kind, int code, std::string path)
        : std::runtime_error(message), kind_(kind), code_(code), path_(std::move(path))
    {
    }
    Kind kind() const { return kind_; }
    int code() const { return code_; }
    const std::string& path() const { return path_; }
    // The same failure, told as part of `what` ("what: message").
    FsError Within(const std::string& what) const { return FsError(what + ": " + this->what(), kind_, code_, path_); }

private:
    Kind kind_;
    int code_;
    std::string path_;
};

// A failed flush of what a copy session wrote (CopySession::Finish):
// `files` of the copies it placed may not be on disk.
class FlushError : public FsError {
public:
    FlushError(const FsError& failure, std::int64_t files) : FsError(failure), files_(files) {}
    std::int64_t files() const { return files_; }

private:
    std::int64_t files_;
};

struct Listing {
    std::vector<std::string> files;    // folder + separator + name, listing order
    std::vector<std::string> folders;  // the same, for direct sub-folders
    std::vector<FsError> failures;     // entries that could not be looked at
};

// How one file's copy ended.
enum class CopyOutcome {
    Copied,    // the target now holds a new copy of the source
    UpToDate,  // the target already was this file's copy and was left alone
};

// One file's copy within a copy session: opened with its source, worked
// (its data written beside the target, on any thread) and committed (put in
// place, in the order of the backup). One that is dropped before its commit
// leaves nothing behind.
class FileCopy {
public:
    virtual ~FileCopy() = default;
    // The source's length in bytes, as read when it was opened.
    std::uint64_t length = 0;
    // The hash of what the work read of the source (none where its data
    // went by a way that does not read it), and, once a commit has placed
    // it, the copy's modification time in ns since 1970.
    std::optional<ContentHash> hash;
    std::int64_t placedModified = 0;
    // The source's modification time as last read (ns since 1970): for the
    // destination's index of where its copies came from.
    std::int64_t sourceModified = 0;
};

// A copy as read back from the destination.
struct StoredCopy {
    bool missing = false;  // nothing is there
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // ns since 1970
    ContentHash hash;
};

// A file that Tandrel keeps for itself directly in the destination folder,
// beside the copies (kHashRecord and the like): its name, and what messages
// call it.
struct ReservedFile {
    const char* name;
    const char* title;
};

// A reserved file open for reading.
class ReservedReader {
public:
    virtual ~ReservedReader() = default;
    // Up to `size` bytes into `data`; 0 at the end. Throws FsError.
    virtual std::size_t Read(char* data, std::size_t size) = 0;
};

// A reserved file being written anew: under a temporary name beside the old
// one, which the commit replaces at once, on disk. Dropped before its
// commit, it leaves the old one as it was and nothing of itself.
class ReservedWriter {
public:
    virtual ~ReservedWriter() = default;
    // Throws FsError; the writer can then only be dropped.
    virtual void Write(const char* data, std::size_t size) = 0;
    virtual void Commit() = 0;
};

// One backup's use of the file system: what it learns about the folders it
// writes into, and the sources it has open, live for the session alone.
class CopySession {
public:
    virtual ~CopySession() = default;

    virtual bool DirectoryExists(const std::string& path) = 0;
    // Creates the folder with every missing level; an existing one is fine.
    // `mirrored` is the source folder the new folder stands for: the levels
    // made take the mode and owner of the source folders they stand for,
    // matched from the deepest level up (none for an empty `mirrored`).
    virtual void CreateDirectory(const std::string& path, const std::string& mirrored = {}) = 0;
    // Opens `source` for a copy and reads its length.
    virtual std::unique_ptr<FileCopy> Open(const std::string& source) = 0;
    // The entries of the backup list. A link among them is followed, as the
    // user named it; a link found in one of their folders is a link.
    virtual void SetEntries(std::shared_ptr<const std::vector<std::string>> entries) { (void)entries; }
    // A copy of `source` whose work reads its length, which is known from
    // the commit on: for a backup that needs no length before the copy.
    // Failing to read it fails the work. By default, Open.
    virtual std::unique_ptr<FileCopy> Defer(const std::string& source) { return Open(source); }
    // Writes the copy's data beside `target`, or finds that the target
    // already is the source's copy (with `overwrite` only: same size, same
    // modification time at the destination's granularity). Several works of
    // one session may run at once, each on a copy of its own. A copy worked
    // again starts afresh. Never throws: a failure is kept for the commit.
    virtual void Work(FileCopy& copy, const std::string& target, bool overwrite) noexcept = 0;
    // Whether `source` lies inside the destination (by the identity of the
    // destination folder, not by its path): a destination inside a
    // backed-up folder must not back itself up.
    virtual bool LiesInDestination(const std::string& source)
    {
        (void)source;
        return false;
    }
    // Keeps each copy that the session replaces (a target it did not write
    // itself) in the destination's versions folder, in a run folder named by
    // `runTime` (seconds since 1970, UTC), made when first needed.
    virtual void KeepReplacedIn(std::int64_t runTime) { (void)runTime; }
    // How many replaced copies were kept, and where (empty: none).
    virtual std::int64_t KeptVersions() const { return 0; }
    virtual std::string VersionsFolder() const { return {}; }
    // Removes the kept copies of the runs older than `cutoff` (seconds since
    // 1970, by the run folders' names), but the newest kept copy of each
    // path; run folders left empty go. Returns how many were removed.
    virtual std::int64_t PruneVersions(std::int64_t cutoff)
    {
        (void)cutoff;
        return 0;
    }
    // Removes the oldest kept copies, never the newest of a path, until
    // `bytes` are freed or none is left to remove; how many were removed.
    virtual std::int64_t FreeVersions(std::uint64_t bytes)
    {
        (void)bytes;
        return 0;
    }
    // Lets go of what the work of `copy` wrote (its temporary file), as if it
    // had not been worked yet.
    virtual void Release(FileCopy& copy) { (void)copy; }
    // Puts the worked copy in place, or raises the failure of its work. The
    // target appears complete or not at all: a failure never leaves a
    // partial target nor harms an existing one. Without `overwrite` an
    // existing target is a failure. Commits run on one thread.
    virtual CopyOutcome Commit(FileCopy& copy) = 0;
    // Takes the destination for this backup alone: false while another
    // backup (of any process) holds it. Held until the session ends; a
    // destination whose file system has no locks is taken as it is. Any
    // other failure to lock it is an FsError.
    virtual bool TryLock() { return true; }
    // Whether every file system the session wrote to keeps owners and
    // permission bits (FAT and exFAT through FUSE keep neither).
    virtual bool KeptOwnersAndModes() const { return true; }
    // What the summary should say about the destination's file systems
    // (a mount without the options a reliable backup needs).
    virtual std::vector<std::string> Notes() const { return {}; }
    // Ends the session: puts what it wrote on disk. A session that wrote
    // nothing has nothing to flush. A failure is a FlushError that tells how
    // many of the copies placed it covers (where the system can't tell
    // which, all of those on the file system that failed); any other
    // failure covers them all.
    virtual void Finish() = 0;
    // Removes `folder`, and the folders above it, as far as this session
    // made them and they are still empty: for a backup that stopped before
    // it placed anything there. Never fails.
    virtual void RemoveMadeFolder(const std::string& folder) { (void)folder; }

    // With `on`, every work hashes its source, reading it once more where
    // its data went by a clone or the kernel's copy; otherwise a work hashes
    // only what it reads anyway. Set before the first work.
    virtual void HashSources(bool on) { (void)on; }
    // The copy at `path` as it is on the disk: read past the system's cache
    // where it allows that (after the flush). Throws FsError where it can't
    // be read; a copy that is not there is `missing`.
    virtual StoredCopy ReadBack(const std::string& path)
    {
        throw FsError("Could not read back " + path + ": this file system keeps no hashes", FsError::Kind::Other, 0,
                      path);
    }
    // Gives the copy at `path` a time that the next backup's quick check
    // can't match, so that it is copied again; the modification time it has
    // now (0 where it could not be set).
    virtual std::int64_t MarkStale(const std::string& path)
    {
        (void)path;
        return 0;
    }
    // The reserved file `file` of the destination, open for reading from its
    // start; null where there is none. Throws FsError where one is there
    // and can't be read.
    virtual std::unique_ptr<ReservedReader> OpenReserved(const ReservedFile& file)
    {
        (void)file;
        return nullptr;
    }
    // The reserved file `file` written anew, to replace the old one at its
    // commit; null where the session keeps no such files. Throws FsError.
    virtual std::unique_ptr<ReservedWriter> ReplaceReserved(const ReservedFile& file)
    {
        (void)file;
        return nullptr;
    }
    // The destination's index of where its copies came from
    // (kRestoreIndexName, engine/restoreindex.h), open for reading from its
    // start, and written anew to replace it at the commit; null where there
    // is none, and null where the session keeps no such files. Throw
    // FsError.
    virtual std::unique_ptr<ReservedReader> OpenIndex() { return nullptr; }
    virtual std::unique_ptr<ReservedWriter> ReplaceIndex() { return nullptr; }
    // The run folder that KeepReplacedIn names, made now where it is not yet
    // (with its marker): for a restore, which keeps there the files it
    // replaces outside the destination. Its path; throws FsError.
    virtual std::string KeepingFolder()
    {
        throw FsError("Could not keep a copy in the versions folder: this file system keeps none", FsError::Kind::Other,
                      0, {});
    }
};

// What is at a path, looked at without following a link.
struct FileLook {
    enum class Kind { None, File, Folder, Link, Other } kind = Kind::None;  // None: nothing is there
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // ns since 1970
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual bool DirectoryExists(const std::string& path) = 0;
    virtual bool FileExists(const std::string& path) = 0;
    // The files and direct sub-folders of a folder, in the file system's
    // order. Sub-folders reached through a link are left out, so a walk never
    // loops; files reached through a link are listed. An entry that can't be
    // looked at is a failure of the listing; one that vanished meanwhile, or
    // a link that leads nowhere, is left out.
    virtual Listing List(const std::string& folder) = 0;
    // Creates the folder with every missing level; an existing one is fine.
    virtual void CreateDirectory(const std::string& path) = 0;
    // The folder at which the file system that holds `path` (which is there)
    // is mounted; empty where that can't be told.
    virtual std::string MountPointOf(const std::string& path)
    {
        (void)path;
        return {};
    }
    // Whether a file system is mounted at `folder` now.
    virtual bool IsMountPoint(const std::string& folder)
    {
        (void)folder;
        return true;
    }
    // The first `limit` bytes of a file (fewer if it is shorter); nullopt
    // where it can't be read. For the small files that say what to leave out.
    virtual std::optional<std::string> ReadStart(const std::string& path, std::size_t limit);
    // A file's size in bytes; nullopt where it can't be told.
    virtual std::optional<std::uint64_t> FileBytes(const std::string& path);
    // What is at `path`: a link is looked at itself, never followed. A path
    // that is not there (nor a folder on its way) is Kind::None; one that
    // can't be looked at throws FsError.
    virtual FileLook Look(const std::string& path) = 0;
    // Begins one backup's copies into `destination` and the folders below
    // it. The first time the session writes into a folder, it removes what
    // copies killed before they finished left there.
    virtual std::unique_ptr<CopySession> BeginCopy(const std::string& destination) = 0;

    // One file's copy in a session of its own, without the final flush.
    CopyOutcome CopyFile(const std::string& source, const std::string& target, bool overwrite);
    // A file's length, read as a copy reads it.
    std::uint64_t FileLength(const std::string& path);
};

// Names of the temporary files a copy writes beside its target
// (".~tandrel-" + 12 hexadecimal digits + ".tmp"). A name that tries whether
// the file system takes a character holds that character (or "é", for
// letters outside ASCII) before ".tmp".
bool IsCopyTemporaryName(std::string_view name);
std::string NewCopyTemporaryName(std::string_view extra = {});
// The file in the destination folder that a running backup holds locked.
inline constexpr const char* kDestinationLockName = ".tandrel-lock";
// The folder in the destination folder that keeps the copies a backup
// replaced.
inline constexpr const char* kVersionsFolderName = "Tandrel Versions";
// The file in the destination folder that records the hash of each copy
// (engine/hashrecord.h). Gathering leaves out every file of this name, so a
// backup of a destination does not take the record along.
inline constexpr const char* kHashRecordName = ".tandrel-hashes";
inline constexpr ReservedFile kHashRecord {kHashRecordName, "the record of hashes"};

// Characters that some file systems (FAT, exFAT, NTFS in its Windows mode,
// SMB shares) refuse in names: controls and : ? * " < > | \.
bool IsDoubtfulNameCharacter(unsigned char c);

}  // namespace tandrel
