// The copies a backup replaces are kept in the destination's versions
// folder, and pruned: after their days, never the newest of a file, and
// sooner where room is needed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "engine/nativefs.h"
#include "engine/linux/caps.h"
#include "engine/linux/systemcalls.h"
#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

void SetMtime(const std::string& path, std::time_t seconds)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}
std::time_t MtimeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mtime;
}

struct Backup {
    Backup(FileSystem& fileSystem, Strings entries) : fs(fileSystem), entries_(std::move(entries)) {}
    CopySummary Run(const std::string& destination, CopyMode mode = CopyMode::DirectoryCopy)
    {
        state.ResetLists();
        state.directoryData = std::make_shared<const Strings>(entries_);
        state.dragNdrop = true;
        engine.GetFiles(entries_, true);
        return engine.Copy(state.syncfileList.ToArray(), destination + "/", true, mode);
    }
    FileSystem& fs;
    Strings entries_;
    JobState state;
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

// The run folders of a destination's versions folder.
Strings RunsIn(const std::string& destination)
{
    Strings runs;
    const std::string versions = destination + "/Tandrel Versions";
    if (!fsys::exists(versions)) return runs;
    for (auto& entry : fsys::directory_iterator(versions))
        if (entry.is_directory()) runs.push_back(entry.path().filename().string());
    std::sort(runs.begin(), runs.end());
    return runs;
}

class Versions : public ::testing::TestWithParam<bool> {};

// With hard links (the old copy linked, then replaced) and without them
// (renamed into the versions folder, as on FAT, whose renames lose times).
TEST_P(Versions, AReplacedCopyIsKeptWithItsTimeAndNothingElseIs)
{
    TempTree tree;
    const std::string file = tree.File("src/Data/thesis.txt", "chapter one");
    SetMtime(file, 1700000000);
    const DestinationCaps fusefat = DestinationCaps::FusefatProfile();
    NativeFileSystem fs(nullptr, GetParam() ? nullptr : &fusefat);
    Backup backup(fs, {tree.Path("src/Data")});
    EXPECT_EQ(backup.Run(tree.Path("dest")).copied, 1);
    EXPECT_TRUE(RunsIn(tree.Path("dest")).empty());  // nothing replaced, nothing kept

    tree.File("src/Data/thesis.txt", "");  // saved over with an empty file
    SetMtime(file, 1700000100);
    const CopySummary replaced = backup.Run(tree.Path("dest"));
    EXPECT_EQ(replaced.keptVersions, 1);
    const Strings runs = RunsIn(tree.Path("dest"));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(replaced.versionsFolder, tree.Path("dest/Tandrel Versions/" + runs[0]));
    const std::string kept = replaced.versionsFolder + "/Data/thesis.txt";
    EXPECT_EQ(TempTree::Read(kept), "chapter one");
    EXPECT_EQ(MtimeOf(kept), 1700000000);
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/thesis.txt")), "");
    EXPECT_TRUE(fsys::exists(tree.Path("dest/Tandrel Versions/README.txt")));

    // An unchanged repeat adds nothing; a name met twice in one run replaces
    // its own copy without keeping it.
    EXPECT_EQ(backup.Run(tree.Path("dest")).keptVersions, 0);
    EXPECT_EQ(RunsIn(tree.Path("dest")).size(), 1u);
    // (Many of them, past what the set of placed names keeps unsorted.)
    tree.File("src/Other/thesis.txt", "another");
    for (int i = 0; i < 100; ++i) {
        tree.File("src/Data/n" + std::to_string(i), "first");
        tree.File("src/Other/n" + std::to_string(i), "second");
    }
    Backup twice(fs, {tree.Path("src/Data"), tree.Path("src/Other")});
    EXPECT_EQ(twice.Run(tree.Path("flat"), CopyMode::Consolidate).keptVersions, 0);
    EXPECT_TRUE(RunsIn(tree.Path("flat")).empty());
    EXPECT_EQ(TempTree::Read(tree.Path("flat/n99")), "second");
}

// A look at the copy to be replaced that fails as a failing disk's does.
class FailingLook : public SystemCalls {
public:
    bool failing = false;
    int StatAt(int folder, const char* name, struct stat& info, int flags) override
    {
        if (!failing || std::string(name) != "thesis.txt") return SystemCalls::StatAt(folder, name, info, flags);
        errno = EIO;
        return -1;
    }
};

TEST(VersionsKept, ACopyWhoseReplacedCopyCannotBeLookedAtIsNotPlaced)
{
    TempTree tree;
    const std::string file = tree.File("src/Data/thesis.txt", "chapter one");
    SetMtime(file, 1700000000);
    FailingLook calls;
    NativeFileSystem fs(&calls, nullptr);
    Backup backup(fs, {tree.Path("src/Data")});
    ASSERT_EQ(backup.Run(tree.Path("dest")).copied, 1);
    tree.File("src/Data/thesis.txt", "chapter two");
    SetMtime(file, 1700000100);
    calls.failing = true;
    const CopySummary summary = backup.Run(tree.Path("dest"));
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(summary.keptVersions, 0);
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/thesis.txt")), "chapter one");
}

INSTANTIATE_TEST_SUITE_P(Links, Versions, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "HardLinks" : "Renames"; });

TEST(VersionsPruning, OldCopiesGoButTheNewestOfEachFileAndWhatIsNotOurs)
{
    TempTree tree;
    tree.File("src/Data/a.txt", "a now");
    NativeFileSystem fs;
    const std::string versions = tree.Path("dest/Tandrel Versions");
    tree.File("dest/Tandrel Versions/2020-01-01T00-00-00Z/.tandrel-run", "");
    tree.File("dest/Tandrel Versions/2020-01-01T00-00-00Z/Data/a.txt", "a, 2020");
    tree.File("dest/Tandrel Versions/2020-01-01T00-00-00Z/Data/b.txt", "b, the only one kept");
    tree.File("dest/Tandrel Versions/2021-06-01T00-00-00Z/.tandrel-run", "");
    tree.File("dest/Tandrel Versions/2021-06-01T00-00-00Z/Data/a.txt", "a, 2021");
    tree.File("dest/Tandrel Versions/2019-01-01T00-00-00Z/Data/a.txt", "a user's own folder");
    Backup backup(fs, {tree.Path("src/Data")});
    EXPECT_EQ(backup.Run(tree.Path("dest")).prunedVersions, 1);
    EXPECT_FALSE(fsys::exists(versions + "/2020-01-01T00-00-00Z/Data/a.txt"));
    EXPECT_EQ(TempTree::Read(versions + "/2020-01-01T00-00-00Z/Data/b.txt"), "b, the only one kept");
    EXPECT_EQ(TempTree::Read(versions + "/2021-06-01T00-00-00Z/Data/a.txt"), "a, 2021");
    EXPECT_EQ(TempTree::Read(versions + "/2019-01-01T00-00-00Z/Data/a.txt"), "a user's own folder");

    // A run left empty goes with its marker.
    fsys::remove(versions + "/2020-01-01T00-00-00Z/Data/b.txt");
    tree.File("dest/Tandrel Versions/2020-01-01T00-00-00Z/Data/a.txt", "a, 2020 again");
    backup.Run(tree.Path("dest"));
    EXPECT_FALSE(fsys::exists(versions + "/2020-01-01T00-00-00Z"));
    EXPECT_TRUE(fsys::exists(versions + "/2021-06-01T00-00-00Z"));
}

TEST(VersionsRoom, AFileThatDoesNotFitMakesRoomFromTheOldestKeptCopies)
{
    TempTree tree;
    const std::string disk = tree.Folder("disk");
    if (::mount("tandrel-test", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a small file system for the test; it needs root";
    struct Unmount {
        std::string disk;
        ~Unmount() { ::umount2(disk.c_str(), MNT_DETACH); }
    } unmount {disk};
    // An old kept copy that a newer one of its file makes free to go.
    const std::string old = disk + "/Tandrel Versions/2020-01-01T00-00-00Z";
    tree.File("disk/Tandrel Versions/2020-01-01T00-00-00Z/.tandrel-run", "");
    tree.File("disk/Tandrel Versions/2020-01-01T00-00-00Z/Data/big.bin", std::string(1200 * 1024, 'o'));
    tree.File("disk/Tandrel Versions/2021-01-01T00-00-00Z/.tandrel-run", "");
    tree.File("disk/Tandrel Versions/2021-01-01T00-00-00Z/Data/big.bin", "newer");
    tree.File("src/Data/new.bin", std::string(900 * 1024, 'n'));
    NativeFileSystem fs;
    Backup backup(fs, {tree.Path("src/Data")});
    backup.engine.SetKeepVersionsDays(36500);  // nothing old enough to prune
    const CopySummary summary = backup.Run(disk);
    EXPECT_EQ(summary.copied, 1) << (backup.host.Boxes().empty() ? "" : backup.host.Boxes().front().text);
    EXPECT_EQ(summary.freedVersions, 1);
    EXPECT_FALSE(fsys::exists(old));
    EXPECT_EQ(TempTree::Read(disk + "/Tandrel Versions/2021-01-01T00-00-00Z/Data/big.bin"), "newer");
}

}  // namespace
}  // namespace tandrel
