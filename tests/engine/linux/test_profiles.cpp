// Backups onto file systems a test machine rarely mounts, played on the local
// one through their caps: the ways of placing a file each one lacks are not
// tried, and what it would lose is made good.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>

#include "engine/nativefs.h"
#include "engine/linux/caps.h"
#include "engine/linux/systemcalls.h"
#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

// Counts the calls that place a file.
class PlacingCalls : public SystemCalls {
public:
    std::atomic<int> unnamed {0}, noReplace {0}, renames {0}, links {0}, timesAgain {0};

    int OpenAt(int folder, const char* name, int flags, mode_t mode) override
    {
        if ((flags & O_TMPFILE) == O_TMPFILE) ++unnamed;
        return SystemCalls::OpenAt(folder, name, flags, mode);
    }
    int RenameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) override
    {
        ++(flags & RENAME_NOREPLACE ? noReplace : renames);
        return SystemCalls::RenameAt(fromFolder, from, toFolder, to, flags);
    }
    int LinkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags) override
    {
        ++links;
        return SystemCalls::LinkAt(fromFolder, from, toFolder, to, flags);
    }
    int UtimensAt(int folder, const char* name, const struct timespec times[2], int flags) override
    {
        ++timesAgain;
        return SystemCalls::UtimensAt(folder, name, times, flags);
    }
};

TEST(Profiles, OnFusefatAFileIsPlacedByALookAndARenameAndGetsItsTimesAgain)
{
    TempTree tree;
    Strings files;
    for (int i = 0; i < 3; ++i) {
        files.push_back(tree.File("src/Data/f" + std::to_string(i), "content " + std::to_string(i)));
        const struct timespec times[2] = {{1700000001, 0}, {1700000001 + 2 * i, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, files.back().c_str(), times, 0), 0);
    }
    const DestinationCaps fusefat = DestinationCaps::FusefatProfile();
    PlacingCalls calls;
    NativeFileSystem fs(&calls, &fusefat);
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    tree.Folder("dest");

    EXPECT_EQ(engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy).copied, 3);
    EXPECT_EQ(calls.unnamed + calls.noReplace + calls.links, 0);
    EXPECT_EQ(calls.renames, 3 + 1);  // and the index of sources
    EXPECT_EQ(calls.timesAgain, 3);
    for (int i = 0; i < 3; ++i) {
        const std::string copy = tree.Path("dest/Data/f" + std::to_string(i));
        EXPECT_EQ(TempTree::Read(copy), "content " + std::to_string(i));
        struct stat a {
        }, b {};
        ASSERT_EQ(::stat(files[i].c_str(), &a), 0);
        ASSERT_EQ(::stat(copy.c_str(), &b), 0);
        EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec);
    }

    // Without Overwrite the look refuses every target that is there.
    EXPECT_EQ(engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy).failed, 3);
    EXPECT_EQ(calls.renames, 3 + 1);

    // FAT holds no file of 4 GiB: the copy fails before a byte is written.
    const std::string big = tree.File("src/Data/big.img", "");
    ASSERT_EQ(::truncate(big.c_str(), 0x100000000LL), 0);
    ExpectFsError([&] { fs.CopyFile(big, tree.Path("dest/Data/big.img"), false); }, {"4 GiB - 1 byte", big});
    EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data"));
}

// Plays, on the local file system, one that takes names for one entry as
// exFAT does, and that also takes é as one letter or as e and an accent
// alike: every name a call is given stands for the entry of the folder whose
// name matches it so.
class FoldingCalls : public SystemCalls {
public:
    static std::string Folded(std::string name)
    {
        static const std::pair<std::string, std::string> kAlike[] = {
            {"\xC3\x89", "\xC3\xA9"}, {"\xC3\x84", "\xC3\xA4"}, {"e\xCC\x81", "\xC3\xA9"}};  // É Ä, e + accent
        for (const auto& [from, to] : kAlike)
            for (std::size_t at; (at = name.find(from)) != std::string::npos;) name.replace(at, from.size(), to);
        return name;
    }
    static std::string Entry(int folder, const char* name)
    {
        std::string entry = name;
        if (DIR* dir = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
            while (const dirent* listed = ::readdir(dir))
                if (Folded(listed->d_name) == Folded(name)) entry = listed->d_name;
            ::closedir(dir);
        }
        return entry;
    }
    int OpenAt(int folder, const char* name, int flags, mode_t mode) override
    {
        if ((flags & O_TMPFILE) == O_TMPFILE) return SystemCalls::OpenAt(folder, name, flags, mode);
        return SystemCalls::OpenAt(folder, Entry(folder, name).c_str(), flags, mode);
    }
    int StatAt(int folder, const char* name, struct stat& info, int flags) override
    {
        return SystemCalls::StatAt(folder, Entry(folder, name).c_str(), info, flags);
    }
    int RenameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) override
    {
        return SystemCalls::RenameAt(fromFolder, Entry(fromFolder, from).c_str(), toFolder, Entry(toFolder, to).c_str(),
                                     flags);
    }
    int UnlinkAt(int folder, const char* name, int flags) override
    {
        return SystemCalls::UnlinkAt(folder, Entry(folder, name).c_str(), flags);
    }
};

TEST(Profiles, OnAFileSystemThatFoldsUnicodeNamesEachTwinFailsAndNoneIsLost)
{
    TempTree tree;
    // Twins by case (É é, Ä ä) and by form (é as one letter, as e + accent).
    const Strings names = {"plain.txt",        "\xC3\x89.txt",    "\xC3\xA9.txt",    "\xC3\x84rger.txt",
                           "\xC3\xA4rger.txt", "caf\xC3\xA9.txt", "cafe\xCC\x81.txt"};
    Strings files;
    for (const std::string& name : names) files.push_back(tree.File("src/Data/" + name, name));
    const DestinationCaps fusefat = DestinationCaps::FusefatProfile();
    FoldingCalls calls;
    NativeFileSystem fs(&calls, &fusefat);
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    tree.Folder("dest");

    const CopySummary summary = engine.Copy(files, tree.Path("dest") + "/", true, CopyMode::DirectoryCopy);
    EXPECT_EQ(summary.copied, 4);
    EXPECT_EQ(summary.failed, 3);
    const Strings placed = tree.Names("dest/Data");
    EXPECT_EQ(placed.size(), 4u);
    for (const std::string& name : placed) EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/" + name)), name);
    int twins = 0;
    for (const MessageBoxRequest& box : host.Boxes())
        twins += box.text.find("on this destination, which does not tell upper from lower case") != std::string::npos;
    EXPECT_EQ(twins, 3);
}

// A wall clock that stands where the test puts it.
class StoppedClock : public SystemCalls {
public:
    std::int64_t now = 0;
    struct timespec Now() override
    {
        return {static_cast<time_t>(now / 1000000000), static_cast<long>(now % 1000000000)};
    }
};

// A source changed within its file system's time grain of the copy's start
// may have changed again unseen: its copy gets an older time, so the next
// backup copies it again. The grain is the caps' table's for each kind.
TEST(Profiles, ASourceIsRacyWithinTheTimeGrainOfItsKind)
{
    struct timespec resolution {};
    ASSERT_EQ(::clock_getres(CLOCK_REALTIME_COARSE, &resolution), 0);
    const std::int64_t tick = resolution.tv_sec * 1000000000LL + resolution.tv_nsec;
    TempTree tree;
    const std::string file = tree.File("src/f", "data");
    const std::int64_t changed = 1700000000LL * 1000000000 + 500000000;
    const struct timespec times[2] = {{1700000000, 500000000}, {1700000000, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    for (int k = 0; k <= static_cast<int>(FsKind::Other); ++k) {
        const FsKind kind = static_cast<FsKind>(k);
        const TimeGrains grains = TimeGrainsOf(kind);
        const DestinationCaps caps = DestinationCaps::Of(kind);  // the source's as well
        const std::int64_t grain = std::max(grains.source, grains.known);
        for (const bool inside : {true, false}) {
            StoppedClock clock;
            clock.now = changed + (inside ? grain * 3 / 4 : grain + tick + 100000000);
            NativeFileSystem fs(&clock, &caps);
            JobState state;
            RecordingHost host {&state};
            BackupEngine engine {state, host, fs, PathStyle::Posix()};
            const std::string dest = tree.Folder("dest" + std::to_string(k) + (inside ? "in" : "out"));
            ASSERT_EQ(engine.Copy(Strings {file}, dest + "/", false, CopyMode::Consolidate).copied, 1);
            struct stat copy {};
            ASSERT_EQ(::stat((dest + "/f").c_str(), &copy), 0);
            EXPECT_EQ(copy.st_mtim.tv_sec * 1000000000LL + copy.st_mtim.tv_nsec == changed, !inside)
                << "kind " << k << (inside ? ", changed within its grain" : ", changed before its grain");
        }
    }
}

}  // namespace
}  // namespace tandrel
