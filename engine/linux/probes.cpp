// What a backup asks of a destination's file system once, with a file of
// its own that never stays: how finely it keeps times, and which characters
// it takes in names.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/linux/copysession.h"
#include "engine/linux/sessionparts.h"

namespace tandrel {

using posix::Fd;
using namespace session;

// A name with a character that some file systems refuse: where the rules of
// the destination are known (Windows', on a share), from the name; else it
// is tried once per file system and character, with a file of our own. A
// refused name fails before the data is written, with the reason. Letters
// outside ASCII count as one character (fusefat takes none of them).
void LinuxCopySession::CheckName(const Copy& copy, const Attempt& attempt)
{
    const Folder& folder = *attempt.folder;
    DestinationCaps& caps = folder.state->caps;
    if (caps.windowsNames) {
        if (const std::string refusal = WindowsNameRefusal(attempt.name); !refusal.empty())
            throw posix::NameRefused(attempt.target, attempt.name, refusal).Within(copy.What());
        return;
    }
    std::set<unsigned char> doubtful;
    for (unsigned char c : attempt.name)
        if (IsDoubtfulNameCharacter(c) || c >= 0x80) doubtful.insert(c >= 0x80 ? 0x80 : c);
    for (unsigned char c : doubtful) {
        int refusal = caps.refusals.Of(c);
        if (refusal < 0) {
            Clean(folder);
            const std::string probe =
                NewCopyTemporaryName(c == 0x80 ? "\xC3\xA9" : std::string(1, static_cast<char>(c)));
            const int fd = calls_.OpenAt(folder.fd.Get(), probe.c_str(),
                                         O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
            refusal = fd >= 0 ? 0 : errno;
            if (fd >= 0) {
                ::close(fd);
                RemoveOwn(calls_, folder.fd.Get(), probe.c_str());
            }
            if (refusal == EEXIST) refusal = 0;  // a leftover's name: the character is taken
            // A folder that is gone, or takes no file at all, refuses every
            // name: the copy itself says why.
            struct stat info {};
            if (refusal == ENOENT && (::fstat(folder.fd.Get(), &info) != 0 || info.st_nlink == 0)) return;
            if (posix::TakesNoFile(refusal)) return;
            caps.refusals.Note(c, refusal);
        }
        if (refusal != 0)
            throw posix::NameRefused(attempt.target, attempt.name, std::strerror(refusal), refusal).Within(copy.What());
    }
}

// How finely the file system keeps modification times: asked once, by
// setting an odd time with nanoseconds on a file of our own and reading back
// what was kept. A time kept further off than any file system rounds, or
// refused, is none kept at all (a remote that gives each file the time it
// wrote it). Nothing stays behind.
std::int64_t LinuxCopySession::TimeGrain(const Folder& folder)
{
    DestinationCaps& caps = folder.state->caps;
    if (const std::int64_t known = caps.timeGrain.load(); known && caps.keepsTimes.Get() != Answer::Unknown)
        return known;
    Clean(folder);
    std::int64_t grain = kCoarsestTimeGrain;
    std::optional<bool> keeps;
    const std::string probe = NewCopyTemporaryName();
    const int at = folder.fd.Get();
    Fd file(calls_.OpenAt(at, probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.Valid()) {
        const struct timespec set = {1234567891, 987654321};
        const struct timespec times[2] = {set, set};
        struct stat kept {};
        if (calls_.Futimens(file.Get(), times) != 0) {
            if (posix::IsRefusal(errno)) keeps = false;
        } else if (file.Close() == 0 && ::fstatat(at, probe.c_str(), &kept, AT_SYMLINK_NOFOLLOW) == 0) {
            const std::int64_t off = std::llabs(Nanoseconds(kept.st_mtim) - Nanoseconds(set));
            keeps = off < kCoarsestTimeGrain;
            if (off < 1000000000) {
                grain = 1;
                while (grain <= off) grain *= 10;
            }
        }
        RemoveOwn(calls_, at, probe.c_str());
    }
    // Told before the grain, which says the probe is done. Where the probe
    // can't tell (the folder took no file), times are taken as kept.
    if (caps.keepsTimes.Get() == Answer::Unknown) caps.keepsTimes.Set(keeps.value_or(true));
    std::int64_t unknown = 0;
    caps.timeGrain.compare_exchange_strong(unknown, grain);
    return caps.timeGrain.load();
}

bool LinuxCopySession::KeepsNoTimes(const Folder& folder)
{
    const LearnedFact& keeps = folder.state->caps.keepsTimes;
    if (keeps.Get() == Answer::Unknown) TimeGrain(folder);
    if (keeps.Get() != Answer::No) return false;
    noTimes_.store(true, std::memory_order_relaxed);
    return true;
}

// Whether the file system holds symbolic links: one made (and removed) at a
// temporary's name tells.
bool LinuxCopySession::HoldsLinks(const Folder& folder)
{
    LearnedFact& symlinks = folder.state->caps.symlinks;
    if (const Answer known = symlinks.Get(); known != Answer::Unknown) return known == Answer::Yes;
    Clean(folder);
    const std::string probe = NewCopyTemporaryName();
    if (calls_.SymlinkAt(probe.c_str(), folder.fd.Get(), probe.c_str()) == 0) {
        RemoveOwn(calls_, folder.fd.Get(), probe.c_str());
        symlinks.Set(true);
    } else if (posix::IsRefusal(errno)) {
        symlinks.Set(false);
    } else {
        return false;  // the folder takes nothing now: the copy says why
    }
    return symlinks.Get() == Answer::Yes;
}

}  // namespace tandrel
