// Getting files back on Linux: a backup writes its index, a restore puts a
// deleted folder back with its modes and times, and no link planted in the
// destination or at the place of the restore is followed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/nativefs.h"
#include "engine/restore.h"
#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

struct stat Info(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

class NativeRestore : public ::testing::Test {
protected:
    NativeRestore()
    {
        a = tree.File("src/Docs/a.txt", "chapter one");
        b = tree.File("src/Docs/sub/b.txt", "notes");
        ::chmod(a.c_str(), 0640);
        ::chmod(tree.Path("src/Docs/sub").c_str(), 0750);
        const struct timespec times[2] = {{1700000000, 0}, {1700000000, 123456789}};
        ::utimensat(AT_FDCWD, a.c_str(), times, 0);
        state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Docs")});
        state.dragNdrop = true;
        engine.GetFiles({tree.Path("src/Docs")}, true);
        EXPECT_EQ(
            engine.Copy(state.syncfileList.ToArray(), tree.Path("dest") + "/", true, CopyMode::DirectoryCopy).copied,
            2);
    }
    BackupContents Contents() { return BackupContents::Read(fs, tree.Path("dest"), PathStyle::Posix()); }
    RestoreSummary Restore(const std::string& path) { return Restore(Contents(), path); }
    RestoreSummary Restore(const BackupContents& contents, const std::string& path)
    {
        failures.clear();
        RestoreReport report;
        report.failure = [this](const std::string& message) { failures.push_back(message); };
        return tandrel::Restore(fs, contents, {{path}, {}, "", false, false}, report);
    }

    TempTree tree;
    std::string a, b;
    NativeFileSystem fs;
    JobState state;
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    Strings failures;
};

TEST_F(NativeRestore, ADeletedFolderComesBackWithItsModesAndTimes)
{
    EXPECT_TRUE(fsys::is_regular_file(tree.Path("dest/.tandrel-index")));
    fsys::remove_all(tree.Path("src/Docs"));
    const RestoreSummary summary = Restore(tree.Path("src/Docs"));
    EXPECT_EQ(summary.restored, 2);
    EXPECT_EQ(summary.failed, 0) << (failures.empty() ? "" : failures[0]);
    EXPECT_EQ(TempTree::Read(a), "chapter one");
    EXPECT_EQ(TempTree::Read(b), "notes");
    EXPECT_EQ(Info(a).st_mode & 07777, 0640u);
    EXPECT_EQ(Info(a).st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(Info(a).st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(Info(tree.Path("src/Docs/sub")).st_mode & 07777, 0750u);
    EXPECT_FALSE(HasTemporaryFile(tree, "src/Docs"));
}

// A folder of the place swapped for a link stops the files below it, and a
// folder of the destination swapped for one after it was read too: nothing
// lands where the first leads, nothing is read where the second does.
TEST_F(NativeRestore, NoPlantedLinkIsFollowed)
{
    fsys::remove_all(tree.Path("src/Docs/sub"));
    tree.Folder("elsewhere");
    fsys::create_directory_symlink(tree.Path("elsewhere"), tree.Path("src/Docs/sub"));
    RestoreSummary summary = Restore(tree.Path("src/Docs"));
    EXPECT_EQ(summary.failed, 1);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find(tree.Path("src/Docs/sub")), std::string::npos) << failures[0];
    EXPECT_TRUE(fsys::is_empty(tree.Path("elsewhere")));

    fsys::remove_all(tree.Path("src/Docs"));
    const BackupContents contents = Contents();
    tree.File("secret/b.txt", "not for the user");
    fsys::remove_all(tree.Path("dest/Docs/sub"));
    fsys::create_directory_symlink(tree.Path("secret"), tree.Path("dest/Docs/sub"));
    summary = Restore(contents, tree.Path("src/Docs"));
    EXPECT_EQ(summary.restored, 1);
    EXPECT_EQ(summary.failed, 1);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find(tree.Path("dest/Docs/sub")), std::string::npos) << failures[0];
    EXPECT_FALSE(fsys::exists(b));
}

}  // namespace
}  // namespace tandrel
