// What a destination's file system can do, as far as a backup cares: learned
// once per file system (device) and shared by every thread of the backup.
// Its kind (from the mount table) gives a first picture; a capability that
// is refused later is demoted once, for the whole file system. Tests build
// caps directly (of a kind, or the profile below) to run a backup as onto a
// file system the test machine cannot mount.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

namespace tandrel {

// The file systems a backup treats differently (Other stays last).
enum class FsKind { Unknown, Ext4, Xfs, Btrfs, Tmpfs, Fat, ExFat, Ntfs, Sshfs, Smb, Rclone, OtherFuse, Other };

// No file system keeps modification times coarser than FAT does (ns).
constexpr std::int64_t kCoarsestTimeGrain = 2000000000;

// How finely a file system of a kind keeps modification times (ns), for the
// sources and the destinations of a backup alike. `known`: every file system
// of the kind keeps this grain (0: it differs, and a destination is probed
// once). `source`: the grain a source is taken to keep, the coarsest its kind
// usually keeps, where its file system was not probed as a destination: a
// backup never writes into its sources.
struct TimeGrains {
    std::int64_t known = 0;
    std::int64_t source = 1;
};
TimeGrains TimeGrainsOf(FsKind kind);

// A value that threads share without a lock, which copies as its value.
template <typename T>
class SharedValue {
public:
    SharedValue(T value = {}) : value_(value) {}
    SharedValue(const SharedValue& other) : value_(other.load()) {}
    SharedValue& operator=(const SharedValue& other)
    {
        value_.store(other.load());
        return *this;
    }
    T load(std::memory_order order = std::memory_order_seq_cst) const { return value_.load(order); }
    void store(T value, std::memory_order order = std::memory_order_seq_cst) { value_.store(value, order); }
    bool compare_exchange_strong(T& expected, T value) { return value_.compare_exchange_strong(expected, value); }

private:
    std::atomic<T> value_;
};

// A way of doing something that the file system is taken to have until it
// refuses it once.
class Capability {
public:
    explicit Capability(bool assumed = true) : usable_(assumed) {}
    Capability(const Capability& other) : usable_(other.Usable()) {}
    Capability& operator=(const Capability& other)
    {
        usable_ = other.Usable();
        return *this;
    }
    bool Usable() const { return usable_.load(std::memory_order_relaxed); }
    void Refused() { usable_.store(false, std::memory_order_relaxed); }

private:
    std::atomic<bool> usable_;
};

// A fact the file system shows only when asked (a probe, or a first try),
// after which it is known for good.
enum class Answer : std::uint8_t { Unknown, Yes, No };
class LearnedFact {
public:
    explicit LearnedFact(Answer known = Answer::Unknown) : answer_(known) {}
    LearnedFact(const LearnedFact& other) : answer_(other.Get()) {}
    LearnedFact& operator=(const LearnedFact& other)
    {
        answer_ = other.Get();
        return *this;
    }
    Answer Get() const { return answer_.load(std::memory_order_acquire); }
    void Set(bool yes) { answer_.store(yes ? Answer::Yes : Answer::No, std::memory_order_release); }

private:
    std::atomic<Answer> answer_;
};

// How names are told apart.
enum class CaseFolding : std::uint8_t {
    Exact,      // upper and lower case are different names
    Folds,      // they are the same name everywhere (FAT, exFAT, most shares)
    PerFolder,  // each folder says (ext4 with casefold, NTFS): ask it
    Unknown,    // probe once
};

// The errno with which the file system refused a character in a name (0:
// it takes it), learned once per character by any thread.
class NameRefusals {
public:
    NameRefusals() = default;
    NameRefusals(const NameRefusals& other) : known_(other.Known()) {}
    NameRefusals& operator=(const NameRefusals& other)
    {
        auto known = other.Known();
        std::lock_guard lock(mutex_);
        known_ = std::move(known);
        return *this;
    }
    // The refusal of `c`, or -1 while it is not known.
    int Of(unsigned char c) const
    {
        std::lock_guard lock(mutex_);
        const auto it = known_.find(c);
        return it == known_.end() ? -1 : it->second;
    }
    void Note(unsigned char c, int refusal)
    {
        std::lock_guard lock(mutex_);
        known_[c] = refusal;
    }

private:
    std::map<unsigned char, int> Known() const
    {
        std::lock_guard lock(mutex_);
        return known_;
    }
    mutable std::mutex mutex_;
    std::map<unsigned char, int> known_;
};

// Every field copies as its value (the default copy), so that a profile
// copied for each file system keeps all it says.
struct DestinationCaps {
    FsKind kind = FsKind::Unknown;
    std::string type;  // as the mount table names it ("ext4", "fuse.exfat")

    off_t largestFile = 0;  // 0: no limit worth checking
    // Modification times are compared at this granularity (ns; 0 until a
    // probe has shown it).
    SharedValue<std::int64_t> timeGrain {0};
    // Whether a file keeps the modification time it is given. Some remotes
    // keep none: a file there has the time the remote wrote it. The probe of
    // the time grain tells, where the kind does not.
    LearnedFact keepsTimes;

    Capability unnamedFiles;     // O_TMPFILE
    Capability renameNoReplace;  // renameat2(RENAME_NOREPLACE)
    Capability hardLinks;
    Capability chown;             // a copy can be given its source's owner, and keeps it
    Capability renamesOpenFiles;  // a file still open can be renamed (shares say EBUSY)
    // The source device from which clones (FICLONE) were refused.
    SharedValue<dev_t> cloneRefusedFrom {static_cast<dev_t>(-1)};
    LearnedFact renameKeepsTimes;
    LearnedFact symlinks;   // holds symbolic links (a probe asks once)
    LearnedFact caseFolds;  // where `folding` is Unknown: a probe asks once
    // Where names fold and inode numbers can't tell entries apart: whether
    // the composed and decomposed forms of a name (é as U+00E9, or e and
    // U+0301) are one name here. A probe asks once; until then, and where it
    // can't, name keys take them for one.
    LearnedFact oneForm;
    // Permission bits and owners are the mount's (FAT and exFAT through
    // FUSE): nothing of the source's can be kept.
    bool keepsModes = true;

    // Names: `windowsNames` refuses what Windows refuses, told from the name
    // alone; otherwise a name with a doubtful character is tried once per
    // character (`refusals`, the errno of the refusal or 0).
    bool windowsNames = false;
    // The file system may store a name other than the one written (SMB):
    // after placing, the name is looked up as written.
    bool rewritesNames = false;
    CaseFolding folding = CaseFolding::Unknown;
    // A file keeps its inode number whatever name it is looked up by; FUSE
    // drivers (exfat-fuse) may give each spelling a node of its own.
    bool stableInodes = true;
    // EEXIST for a fresh, random name means the file system is full (ntfs-3g).
    bool eexistMeansFull = false;
    // A close may report a write that failed late (network and FUSE file
    // systems): a copy is closed, through a duplicate, before it counts as
    // placed. The local ones report it at the flush.
    bool closeReportsErrors = true;

    // What names were refused with, by character (0x80 stands for letters
    // outside ASCII).
    NameRefusals refusals;

    // What a file system of `kind` is taken to do before any try.
    static DestinationCaps Of(FsKind kind, std::string type = {});
    // FAT through FUSE, which a test machine rarely mounts and whose mount
    // type changes what it does (times lost in a rename).
    static DestinationCaps FusefatProfile() { return Of(FsKind::Fat, "fuse.fusefat"); }
};
// A field that can't be copied (a bare atomic, a mutex) is to be wrapped.
static_assert(std::is_copy_constructible_v<DestinationCaps>);

// The kind of a file system type as the mount table names it.
FsKind KindOfType(const std::string& type);
// The type of the file system of device `device` in a mount table
// (/proc/self/mountinfo's text), what it was mounted from, and its mount
// point; empty when not found.
struct MountEntry {
    std::string type;
    std::string source;
    std::string mountPoint;
};
MountEntry FindMount(const std::string& table, dev_t device);
// The kind of a file system that the mount table names only "fuseblk" (a
// FUSE driver of a block device: ntfs-3g, exfat-fuse), from the first bytes
// of the device, where they can be read; OtherFuse where not.
FsKind KindOfFuseDevice(const std::string& device);
// What the file system of a mount table's entry is taken to do before any try.
DestinationCaps CapsOfMount(const MountEntry& mount);

// Why Windows refuses `name`, or empty when it takes it: the characters
// \ / : * ? " < > | and controls, the device names (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, with or without an extension), and a final dot or space.
std::string WindowsNameRefusal(const std::string& name);

}  // namespace tandrel
