// One backup's copies on Linux: the look at each target, the data, owners,
// modes and times, and the commit that places the copy.
#include "engine/linux/copysession.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <limits.h>
#include <unistd.h>

#include "engine/linux/placement.h"
#include "engine/linux/sessionparts.h"

namespace tandrel {

using posix::Error;
using posix::Fail;
using posix::Fd;
using posix::Quoted;
using namespace session;

// --- Sources -------------------------------------------------------------------

std::unique_ptr<FileCopy> LinuxCopySession::Open(const std::string& source)
{
    auto copy = std::make_unique<Copy>();
    copy->source = source;
    Measure(*copy);
    return copy;
}

std::unique_ptr<FileCopy> LinuxCopySession::Defer(const std::string& source)
{
    auto copy = std::make_unique<Copy>();
    copy->source = source;
    return copy;
}

void LinuxCopySession::SetEntries(std::shared_ptr<const std::vector<std::string>> entries)
{
    sources_.SetEntries(entries ? *entries : std::vector<std::string>());
}

SourcePlace LinuxCopySession::ReachSource(const Copy& copy, bool sizing)
{
    try {
        return sources_.Reach(copy.source);
    } catch (const FsError& failure) {
        throw failure.Within(sizing ? "Could not read the size of " + Quoted(copy.source) : copy.What());
    }
}

void LinuxCopySession::Measure(Copy& copy)
{
    // Only looked at here: a repeated backup opens no file it leaves alone.
    // A link the user named is followed; one found in a folder is a link.
    struct stat& info = copy.sourceInfo;
    auto look = [&](const SourcePlace& place) {
        return ::fstatat(place.At(), place.name, &info, place.followed ? 0 : AT_SYMLINK_NOFOLLOW);
    };
    // A folder removed since it was reached may have been made again.
    const SourcePlace place = ReachSource(copy, true);
    if (look(place) != 0 && (errno != ENOENT || !sources_.Gone(place) || look(ReachSource(copy, true)) != 0))
        Fail("Could not read the size of " + Quoted(copy.source), errno, copy.source);
    copy.link = S_ISLNK(info.st_mode);
    if (S_ISDIR(info.st_mode)) Fail("Could not read the size of " + Quoted(copy.source), EISDIR, copy.source);
    copy.length = static_cast<std::uint64_t>(info.st_size);
    copy.sourceModified = Nanoseconds(info.st_mtim);
    copy.measured = true;
}

// --- The work ------------------------------------------------------------------

void LinuxCopySession::Work(FileCopy& base, const std::string& target, bool overwrite) noexcept
{
    Copy& copy = static_cast<Copy&>(base);
    copy.attempt.reset();  // a copy worked again starts afresh
    copy.hash.reset();
    try {
        copy.attempt.emplace();
        Attempt& attempt = *copy.attempt;
        attempt.target = target;
        attempt.name = NameOf(target);
        attempt.overwrite = overwrite;
        if (!copy.measured) Measure(copy);
        try {
            attempt.folder = tree_.Open(FolderOf(attempt.target));
        } catch (const FsError& failure) {
            throw failure.Within(copy.What());
        }
        // A share drops its connection for seconds at a name it refuses:
        // such a name is refused before it is looked up.
        if (attempt.folder->state->caps.windowsNames) CheckName(copy, attempt);
        if (!copy.link || !CopyLink(copy, attempt)) Look(copy, attempt);
        if (attempt.state == Attempt::State::Looking) {
            WriteData(copy, attempt);
            attempt.state = Attempt::State::Worked;
        }
        attempt.in.Reset();
        return;
    } catch (const FsError& failure) {
        if (copy.attempt) copy.attempt->failure = failure;
    } catch (const std::exception& failure) {
        // Whatever else goes wrong (no memory, say) fails this file alone.
        if (copy.attempt)
            copy.attempt->failure = FsError(copy.What() + ": " + failure.what(), FsError::Kind::Other, 0, copy.source);
    } catch (...) {
        if (copy.attempt)
            copy.attempt->failure = FsError(copy.What() + ": an unknown error", FsError::Kind::Other, 0, copy.source);
    }
    if (!copy.attempt) return;  // not even that could be had: Commit says so
    copy.attempt->state = Attempt::State::Failed;
    copy.attempt->out.reset();
    copy.attempt->in.Reset();
}

// What can be told before anything is written: a source that is no file, a
// target that may not be replaced or already is the copy, a name or a size
// the destination refuses.
void LinuxCopySession::Look(Copy& copy, Attempt& attempt)
{
    const struct stat& source = copy.sourceInfo;
    if (!S_ISREG(source.st_mode)) {
        if (S_ISDIR(source.st_mode)) Fail(copy.What(), EISDIR, copy.source);
        throw FsError(copy.What() + ": it is not a regular file", FsError::Kind::Other, 0, copy.source);
    }
    const Folder& folder = *attempt.folder;

    // A target already there: the same file is never copied onto itself;
    // without `overwrite` it is refused before anything is copied, and with
    // it a target that already is this file's copy is left alone. A folder
    // this backup made is not searched: only the backup's own copies can be
    // there (a name met twice), and placing never replaces what it was not
    // asked to.
    if (!folder.state->madeByThisBackup) {
        struct stat target {};
        // A link at the target's name is looked at, never through: it is
        // replaced by the copy like any other file.
        if (calls_.StatAt(folder.fd.Get(), attempt.name.c_str(), target, AT_SYMLINK_NOFOLLOW) == 0) {
            if (target.st_dev == source.st_dev && target.st_ino == source.st_ino)
                throw FsError(copy.What() + ": they are the same file", FsError::Kind::Other, 0, attempt.target);
            if (tree_.Folds(folder)) {
                RefuseTwin(copy, attempt, target.st_ino);
                const std::string stored = StoredName(folder, attempt.name, target.st_ino);
                if (!stored.empty() && stored != attempt.name) attempt.storedAs = stored;
            }
            if (!attempt.overwrite) Fail(copy.What(), EEXIST, attempt.target);
            if (UpToDate(copy, attempt, target)) {
                attempt.state = Attempt::State::UpToDate;
                return;
            }
            attempt.targetExisted = true;
        } else if (errno != ENOENT && errno != EINVAL && errno != EILSEQ && errno != ENAMETOOLONG) {
            // A target that can't be looked at (a failing disk) may be there:
            // a copy placed over it would replace it unkept. (A name the file
            // system refuses is told by the checks of the name below.)
            Fail(copy.What(), errno, attempt.target);
        }
    }
    CheckName(copy, attempt);
    const DestinationCaps& caps = folder.state->caps;
    // Where copies are written under temporary names, what a killed backup
    // left is cleaned in every folder a backup visits, not only where it
    // writes: a run where nothing changed cleans too.
    if (!caps.unnamedFiles.Usable()) Clean(folder);
    // What the folder holds before this copy, to tell a name the share
    // rewrote from one that was there (CheckStoredName).
    if (caps.rewritesNames) StoredName(folder, attempt.name, 0);
    if (caps.largestFile > 0 && source.st_size > caps.largestFile)
        throw FsError(copy.What() + ": the destination's file system (" + caps.type + ") holds files of at most " +
                          (caps.largestFile == 0xFFFFFFFFLL ? std::string("4 GiB - 1 byte")
                                                            : std::to_string(caps.largestFile) + " bytes") +
                          ": " + std::strerror(EFBIG),
                      FsError::Kind::Other, EFBIG, attempt.target);
}

// The target is this file's copy when it is a regular file of the source's
// size whose modification time equals the source's at the granularity the
// destination keeps. Where the destination keeps no times, a copy's time is
// when it was made: the copy is up to date while its source has not changed
// since (by more than the coarsest grain, for the remote's clock and the
// rounding of its times).
bool LinuxCopySession::UpToDate(const Copy& copy, const Attempt& attempt, const struct stat& target)
{
    const struct stat& source = copy.sourceInfo;
    if (!S_ISREG(target.st_mode) || target.st_size != source.st_size) return false;
    const std::int64_t difference = std::llabs(Nanoseconds(source.st_mtim) - Nanoseconds(target.st_mtim));
    if (difference == 0) return true;
    if (KeepsNoTimes(*attempt.folder))
        return Nanoseconds(source.st_mtim) + kCoarsestTimeGrain < Nanoseconds(target.st_mtim);
    if (difference >= kCoarsestTimeGrain) return false;  // no file system keeps coarser times
    return difference < TimeGrain(*attempt.folder);
}

void LinuxCopySession::WriteData(Copy& copy, Attempt& attempt)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer. A file found in
    // a folder is not opened through a link put at its name since.
    if (!attempt.in.Valid()) {
        auto open = [](const SourcePlace& place) {
            return ::openat(place.At(), place.name,
                            O_RDONLY | O_CLOEXEC | O_NONBLOCK | (place.followed ? 0 : O_NOFOLLOW));
        };
        const SourcePlace place = ReachSource(copy, false);
        attempt.in.Reset(open(place));
        if (!attempt.in.Valid() && errno == ENOENT && sources_.Gone(place))
            attempt.in.Reset(open(ReachSource(copy, false)));
    }
    if (!attempt.in.Valid() || ::fstat(attempt.in.Get(), &copy.sourceInfo) != 0) Fail(copy.What(), errno, copy.source);
    const struct stat& source = copy.sourceInfo;
    if (!S_ISREG(source.st_mode))
        throw FsError(copy.What() + ": it is not a regular file", FsError::Kind::Other, 0, copy.source);
    const Folder& folder = *attempt.folder;
    Clean(folder);

    // The first file in a folder asks for every bit, to learn which ones
    // the folder keeps; the files that follow ask for their own.
    const NewFiles* known = folder.state->newFiles.Get();
    attempt.out.emplace(calls_, attempt.folder);
    if (const int error = attempt.out->Create(known ? source.st_mode & 0777 : 0777))
        Fail(copy.What(), InFolder(folder, error), attempt.target);
    if (!known) {
        struct stat created {};
        if (::fstat(attempt.out->Fd(), &created) == 0)
            folder.state->newFiles.Set({created.st_mode & 0777, created.st_uid, created.st_gid});
    }
    // A file rewritten while it is copied gives a torn copy: one whose size
    // or change time moved meanwhile is copied once more, and fails if it
    // moves again.
    const std::int64_t began = Nanoseconds(calls_.Now());
    ReadHash read;
    read.readAll = hashSources_;
    for (int round = 0;; ++round) {
        if (const int error = CopyData(calls_, attempt.in.Get(), attempt.out->Fd(), source, folder.state->caps, &read))
            Fail(copy.What(), error, attempt.target);
        // Where the data went unread (a clone), the source is read for its
        // hash only when the copy is to be verified.
        if (!read.whole && hashSources_) {
            std::uint64_t size = 0;
            if (const int error =
                    HashFile(attempt.in.Get(), read.hasher, size, source.st_size == 0 ? -1 : source.st_size))
                Fail(copy.What(), error, copy.source);
            read.whole = true;
        }
        struct stat after {};
        if (::fstat(attempt.in.Get(), &after) != 0) Fail(copy.What(), errno, copy.source);
        if (after.st_size == source.st_size && Nanoseconds(after.st_ctim) == Nanoseconds(source.st_ctim) &&
            Nanoseconds(after.st_mtim) == Nanoseconds(source.st_mtim))
            break;
        if (round > 0)
            throw FsError(copy.What() + ": " + Quoted(copy.source) + " changed while it was being copied",
                          FsError::Kind::Other, 0, copy.source);
        copy.sourceInfo = after;
        copy.length = static_cast<std::uint64_t>(after.st_size);
        attempt.out.emplace(calls_, attempt.folder);
        if (const int error = attempt.out->Create(known ? after.st_mode & 0777 : 0777))
            Fail(copy.What(), InFolder(folder, error), attempt.target);
    }
    if (read.whole) copy.hash = read.hasher.Digest();
    copy.sourceModified = Nanoseconds(source.st_mtim);
    attempt.times[0] = source.st_atim;
    attempt.times[1] = source.st_mtim;
    if (Racy(source, began, folder)) {
        // Changed so close to the copy's start that the copy may hold less
        // than the time says: a time the quick check can't match, so that the
        // next backup copies it again (and then with its true time).
        const std::int64_t grain = TimeGrain(folder);
        const std::int64_t older = Nanoseconds(source.st_mtim) - grain;
        attempt.times[1] = {static_cast<time_t>(older / kSecond), static_cast<long>(older % kSecond)};
    }
    KeepOwnerModeAndTimes(copy, attempt);
}

// As git judges "racily clean" entries: a source whose modification time is
// not older than the copy's start, by more than the coarser time grain of
// the two file systems and a clock tick, may have been written within the
// same tick as the copy read it, and its copy can't be told from the file
// by size and time. (A change while the copy ran shows in the change time,
// checked after the copy.)
bool LinuxCopySession::Racy(const struct stat& source, std::int64_t began, const Folder& folder)
{
    static const std::int64_t tick = [] {
        struct timespec resolution {};
        return ::clock_getres(CLOCK_REALTIME_COARSE, &resolution) == 0 ? Nanoseconds(resolution) : 10000000;
    }();
    const std::int64_t latest = Nanoseconds(source.st_mtim);
    if (latest < began - kCoarsestTimeGrain - tick) return false;  // older than any grain: no probe needed
    // The source's file system is probed only where it is written to as well.
    const DestinationCaps& from = tree_.CapsOf(source.st_dev);
    const std::int64_t probed = from.timeGrain.load();
    const std::int64_t sourceGrain = probed ? probed : TimeGrainsOf(from.kind).source;
    return latest >= began - std::max(sourceGrain, TimeGrain(folder)) - tick;
}

// Owner and group of the source where the process may set them; the set-id
// and sticky bits only with them, or a copy would hand the source owner's
// rights to another. Permission bits and times of the source; a file system
// that keeps neither is no reason to fail the copy.
void LinuxCopySession::KeepOwnerModeAndTimes(const Copy& copy, Attempt& attempt)
{
    const struct stat& source = copy.sourceInfo;
    const Folder& folder = *attempt.folder;
    DestinationCaps& caps = folder.state->caps;
    const NewFiles* newFiles = folder.state->newFiles.Get();
    const int out = attempt.out->Fd();
    bool ownerKept = newFiles && source.st_uid == newFiles->owner && source.st_gid == newFiles->group;
    if (!ownerKept && caps.chown.Usable()) {
        // Some file systems (ntfs-3g) answer a chown they don't carry out:
        // what counts is the owner the copy has afterwards.
        struct stat owned {};
        ownerKept = calls_.Fchown(out, source.st_uid, source.st_gid) == 0 && ::fstat(out, &owned) == 0 &&
                    owned.st_uid == source.st_uid && owned.st_gid == source.st_gid;
        if (!ownerKept) caps.chown.Refused();
    }
    mode_t mode = source.st_mode & 07777;
    if (!ownerKept) mode &= 0777;
    // The bits the copy has now: those it was created with that the folder
    // keeps (a chown clears only set-id bits, which it was not created with).
    const int asked = attempt.out->AskedMode();
    const bool modeSet = asked >= 0 && newFiles && (static_cast<mode_t>(asked) & newFiles->keptBits) == mode;
    if (!modeSet) calls_.Fchmod(out, mode);
    // Times that would not stay are not set (and a first copy asks whether
    // they stay, so that the summary tells).
    if (!KeepsNoTimes(folder)) calls_.Futimens(out, attempt.times);
}

// --- The commit ----------------------------------------------------------------

CopyOutcome LinuxCopySession::Commit(FileCopy& base)
{
    Copy& copy = static_cast<Copy&>(base);
    if (!copy.attempt) throw FsError(copy.What(), FsError::Kind::Other, 0, copy.source);
    Attempt& attempt = *copy.attempt;
    switch (attempt.state) {
    case Attempt::State::Looking:
        throw FsError(copy.What(), FsError::Kind::Other, 0, copy.source);
    case Attempt::State::Failed:
        throw *attempt.failure;
    case Attempt::State::UpToDate:
    case Attempt::State::Worked:
        break;
    }
    const Folder& folder = *attempt.folder;
    const bool folds = tree_.Folds(folder);
    bool lookedAbsent = false;
    if (folds) {
        // Placed in list order: a twin worked ahead meets the first one here.
        struct stat target {};
        if (calls_.StatAt(folder.fd.Get(), attempt.name.c_str(), target, AT_SYMLINK_NOFOLLOW) == 0)
            RefuseTwin(copy, attempt, target.st_ino);
        else
            lookedAbsent = errno == ENOENT;
    }
    const bool copied = attempt.state == Attempt::State::Worked;
    if (copied && runTime_ && attempt.overwrite && attempt.targetExisted) {
        bool ours = false;
        {
            std::lock_guard lock(folder.state->namesMutex);
            ours = folder.state->placed.Has(attempt.name);
        }
        if (!ours) KeepReplaced(copy, attempt);
    }
    if (copied) {
        struct stat placed {};
        const bool looked = Place(copy, attempt, lookedAbsent, placed);
        if (folder.state->caps.kind == FsKind::Rclone) {
            // Uploaded after the close: the end of the backup waits for it.
            char path[PATH_MAX] = {};
            const std::string link = "/proc/self/fd/" + std::to_string(folder.fd.Get());
            const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
            // (A profile played on another file system has no mount to wait on.)
            const MountEntry mount = tree_.MountOf(folder.id.device);
            if (length > 0 && mount.type == "fuse.rclone") {
                const std::string placed = std::string(path, length) + "/" + attempt.name;
                uploads_.Placed(mount, placed);
                if (KeepsNoTimes(folder))
                    untimed_.push_back(
                        {placed, copy.source, copy.sourceInfo.st_size, Nanoseconds(copy.sourceInfo.st_mtim)});
            }
        }
        // The record keeps the time the placed copy has, as its file system
        // keeps it.
        if (copy.hash &&
            (looked || ::fstatat(folder.fd.Get(), attempt.name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0))
            copy.placedModified = Nanoseconds(placed.st_mtim);
        else
            copy.hash.reset();
        if ((runTime_ && attempt.overwrite) || folder.state->caps.rewritesNames) {
            std::lock_guard lock(folder.state->namesMutex);
            folder.state->placed.Add(attempt.name);
        }
    }
    if (folds) {
        // A target stored under the name in another case (its source was
        // renamed so) is given the source's spelling.
        if (!attempt.storedAs.empty()) Respell(folder, copied ? attempt.name : attempt.storedAs, attempt.name);
        Claim(folder, attempt.name);
    }
    if (copied) tree_.NoteWritten(folder);
    copy.attempt.reset();
    return copied ? CopyOutcome::Copied : CopyOutcome::UpToDate;
}

void LinuxCopySession::Release(FileCopy& copy)
{
    static_cast<Copy&>(copy).attempt.reset();
}

bool LinuxCopySession::Place(Copy& copy, Attempt& attempt, bool lookedAbsent, struct stat& placed)
{
    if (!attempt.linkText.empty()) {
        PlaceLink(copy, attempt);
        return false;
    }
    Temporary& out = *attempt.out;
    if (int error = out.Place(attempt.name, attempt.overwrite, attempt.targetExisted, lookedAbsent)) {
        error = InFolder(*attempt.folder, error);
        out.Discard();
        if (error == EINVAL || error == EILSEQ || error == ENAMETOOLONG)
            throw posix::NameRefused(attempt.target, attempt.name, std::strerror(error), error).Within(copy.What());
        Fail(copy.What(), error, attempt.target);
    }
    const LearnedFact& keeps = attempt.folder->state->caps.renameKeepsTimes;
    if (out.Renamed() && keeps.Get() != Answer::Yes && !KeepsNoTimes(*attempt.folder))
        out.RestoreTimes(attempt.name, attempt.times, keeps.Get() == Answer::Unknown ? TimeGrain(*attempt.folder) : 0);
    if (!attempt.folder->state->caps.rewritesNames) return false;
    CheckStoredName(copy, attempt, placed);
    return true;
}

void LinuxCopySession::Finish()
{
    // "Copied successfully" means on disk: every file system written to is
    // flushed once, each one even when another has failed. A failed syncfs
    // does not tell which files it could not write: every copy placed on
    // that file system counts as not written.
    std::optional<FsError> failed;
    std::string messages;
    std::int64_t files = 0;
    for (const auto& written : tree_.WrittenFileSystems()) {
        const int error = written.fd < 0 ? -written.fd : calls_.Syncfs(written.fd) != 0 ? errno : 0;
        if (error == 0) continue;
        const FsError failure =
            posix::Error("Could not write to disk under " + Quoted(written.folder), error, written.folder);
        messages += (messages.empty() ? "" : "\n") + std::string(failure.what());
        files += written.files;
        if (!failed) failed = failure;
    }
    WaitForUploads(failed, messages, files);
    if (failed) throw FlushError(FsError(messages, failed->kind(), failed->code(), failed->path()), files);
}

std::vector<std::string> LinuxCopySession::Notes() const
{
    std::vector<std::string> notes = notes_;
    if (noTimes_.load(std::memory_order_relaxed)) {
        std::string destination = destination_;
        while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
        notes.push_back("The destination " + Quoted(destination) +
                        " keeps no modification times: a copy there counts as up to date while it has its "
                        "source's size and its source has not changed since the copy was made");
    }
    return notes;
}

void LinuxCopySession::WaitForUploads(std::optional<FsError>& failed, std::string& messages, std::int64_t& files)
{
    for (const auto& [mountPoint, lacking] : uploads_.Unrecommended()) {
        std::string options;
        for (const std::string& option : lacking) options += (options.empty() ? "" : ", ") + option;
        notes_.push_back("The rclone mount " + Quoted(mountPoint) + " lacks " + options +
                         ": copies there may fail or be reported late");
    }
    // A copy the remote does not hold whole failed, however well its close
    // went: each with the remote's reason where the mount told it, the rest
    // together. A remote that stops answering ends the wait within a minute.
    auto add = [&](const FsError& failure) {
        messages += (messages.empty() ? "" : "\n") + std::string(failure.what());
        if (!failed) failed = failure;
    };
    constexpr std::size_t kTold = 10;  // files named one by one, on each mount
    std::set<std::string> notUploaded;
    for (const Uploads::NotUploaded& left : uploads_.Wait()) {
        files += static_cast<std::int64_t>(left.files.size());
        for (const NotUploadedFile& file : left.files) notUploaded.insert(file.file);
        std::vector<const NotUploadedFile*> rest;
        std::size_t told = 0;
        for (const NotUploadedFile& file : left.files) {
            if (file.reason.empty() || told == kTold) {
                rest.push_back(&file);
                continue;
            }
            ++told;
            add(FsError("Could not upload " + Quoted(file.file) + " to the remote: " + file.reason,
                        FsError::Kind::Other, 0, file.file));
        }
        if (rest.empty()) continue;
        // The rest in one line (those the mount said nothing of were waited
        // for until it stopped sending).
        const NotUploadedFile& first = *rest.front();
        const std::string what = "Could not upload " + std::to_string(rest.size()) + (told ? " more" : "") +
                                 (rest.size() == 1 ? " file" : " files") + " to the remote under " +
                                 Quoted(left.mountPoint) + " (the first: " + Quoted(first.file) + ")";
        add(first.reason.empty() ? posix::Error(what, ETIMEDOUT, first.file)
                                 : FsError(what + ": " + first.reason, FsError::Kind::Other, 0, first.file));
    }
    CheckUntimed(failed, messages, files, notUploaded);
}

void LinuxCopySession::CheckUntimed(std::optional<FsError>& failed, std::string& messages, std::int64_t& files,
                                    const std::set<std::string>& notUploaded)
{
    // A source changed after its copy read it, before the remote held the
    // copy: the copy is older than its time there says. It is taken away,
    // so that the next backup copies the file again, and the file fails.
    // (A source removed meanwhile leaves its copy as it was read.)
    for (const UntimedCopy& copy : untimed_) {
        struct stat now {};
        if (notUploaded.count(copy.target) || ::stat(copy.source.c_str(), &now) != 0) continue;
        if (now.st_size == copy.size && Nanoseconds(now.st_mtim) == copy.modified) continue;
        ::unlink(copy.target.c_str());
        const FsError failure("Could not copy " + Quoted(copy.source) + " to " + Quoted(copy.target) + ": " +
                                  Quoted(copy.source) +
                                  " changed before its copy reached the remote, which keeps no times; the next "
                                  "backup copies it again",
                              FsError::Kind::Other, 0, copy.source);
        messages += (messages.empty() ? "" : "\n") + std::string(failure.what());
        ++files;
        if (!failed) failed = failure;
    }
    untimed_.clear();
}

}  // namespace tandrel
