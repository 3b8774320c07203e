// What a backup finds at its destination on Windows: the volume it lies on,
// links planted in it.
#include <gtest/gtest.h>

#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"
#include "tests/windows/windows_test_util.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

TEST(WindowsMounts, ADestinationIsOnTheVolumeOfItsDriveAndOnlyRootsAreMounted)
{
    NativeFileSystem fs;
    TempTree tree;  // on drive C:
    const std::string folder = tree.Folder("Backup");
    EXPECT_EQ(fs.MountPointOf(folder), "C:\\");
    EXPECT_EQ(fs.MountPointOf(tree.Path("missing")), "");
    EXPECT_TRUE(fs.IsMountPoint("C:\\"));
    EXPECT_FALSE(fs.IsMountPoint(folder));
    // A drive letter that names no drive (an unplugged one) is not mounted.
    const DWORD drives = ::GetLogicalDrives();
    char unused = 0;
    for (char letter = 'Y'; letter >= 'D' && !unused; --letter)
        if (!(drives & (1u << (letter - 'A')))) unused = letter;
    ASSERT_NE(unused, 0);
    EXPECT_FALSE(fs.IsMountPoint(std::string(1, unused) + ":\\"));
#ifdef TANDREL_OTHER_DRIVE
    // Under Wine the host's folders are drive Z:.
    TempTree other(TANDREL_OTHER_DRIVE, "mount-");
    EXPECT_EQ(fs.MountPointOf(other.Path()), "Z:\\");
    EXPECT_TRUE(fs.IsMountPoint("Z:\\"));
#endif
}

TEST(WindowsLock, OneBackupAtATimeIntoADestinationAndNoLockFileLeft)
{
    TempTree tree;
    NativeFileSystem fs;
    const std::string dest = tree.Path("new\\Backup");
    auto first = fs.BeginCopy(dest + "\\");
    ASSERT_TRUE(first->TryLock());  // the destination is made for it
    auto second = fs.BeginCopy(dest);
    EXPECT_FALSE(second->TryLock());
    first.reset();
    EXPECT_EQ(tree.Names("new\\Backup"), Strings {});
    // The lock it takes then is one the others see.
    EXPECT_TRUE(second->TryLock());
    EXPECT_FALSE(fs.BeginCopy(dest)->TryLock());
    second.reset();
    EXPECT_EQ(tree.Names("new\\Backup"), Strings {});

    // A lock file left by a backup that was killed holds no lock.
    tree.File("new\\Backup\\.tandrel-lock");
    EXPECT_TRUE(fs.BeginCopy(dest)->TryLock());
    EXPECT_EQ(tree.Names("new\\Backup"), Strings {});

    tree.File("file", "x");
    ExpectFsError([&] { fs.BeginCopy(tree.Path("file\\Backup"))->TryLock(); },
                  {"Could not lock the destination '" + tree.Path("file\\Backup") + "': "});
}

// Directory Copy of src\Photos and src\Docs into a destination where links
// can be planted.
class WindowsDestination : public ::testing::Test {
protected:
    WindowsDestination()
    {
        files = {tree.File("src\\Photos\\p1.jpg", "one"), tree.File("src\\Photos\\2004\\p2.jpg", "two"),
                 tree.File("src\\Docs\\a.txt", "text")};
        state.directoryData =
            std::make_shared<const Strings>(Strings {tree.Path("src\\Photos"), tree.Path("src\\Docs")});
        dest = tree.Folder("dest") + "\\";
        victim = tree.Folder("victim");
    }
    // Links are gone before the tree is removed, which would follow them.
    ~WindowsDestination() override
    {
        for (auto it = links.rbegin(); it != links.rend(); ++it) RemoveLink(*it);
    }
    bool Link(const std::string& relative, const std::string& target, bool folder)
    {
        links.push_back(tree.Path(relative));
        return MakeLink(links.back(), target, folder);
    }
    CopySummary Backup(bool overwrite) { return engine.Copy(files, dest, overwrite, CopyMode::DirectoryCopy); }
    Strings Failures() const
    {
        Strings texts;
        for (const auto& box : host.Boxes())
            if (box.text.rfind("Could not", 0) == 0) texts.push_back(box.text);
        return texts;
    }

    TempTree tree;
    Strings files, links;
    std::string dest, victim;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs};
};

TEST_F(WindowsDestination, NoLinkInsideTheDestinationIsFollowedButTheDestinationItselfMayBeOne)
{
    const std::string real = tree.Folder("real");
    tree.Folder("real\\Docs");
    if (!Link("linked", real, true) || !Link("real\\Photos", victim, true))
        GTEST_SKIP() << "this system makes no symbolic links here";
    dest = tree.Path("linked") + "\\";

    const CopySummary summary = Backup(true);
    // The files under the link fail, each with why; nothing is made where it
    // leads, no folder, no temporary, no file.
    const std::string why = ": '" + dest +
                            "Photos' is a symbolic link, and a backup does not follow links inside its "
                            "destination";
    EXPECT_EQ(Failures(), (Strings {"Could not copy '" + files[0] + "' to '" + dest + "Photos\\p1.jpg'" + why,
                                    "Could not copy '" + files[1] + "' to '" + dest + "Photos\\2004\\p2.jpg'" + why}));
    EXPECT_EQ(summary.failed, 2);
    EXPECT_EQ(tree.Names("victim"), Strings {});
    // The destination itself is taken through its link.
    EXPECT_EQ(TempTree::Read(tree.Path("real\\Docs\\a.txt")), "text");
    EXPECT_TRUE(IsReparsePoint(tree.Path("real\\Photos")));
}

TEST_F(WindowsDestination, ALinkAtATargetsNameIsReplacedNeverWrittenThrough)
{
    const std::string other = tree.File("victim\\v.txt", "not the backup's");
    tree.Folder("dest\\Docs");
    if (!Link("dest\\Docs\\a.txt", other, false)) GTEST_SKIP() << "this system makes no symbolic links here";

    Backup(true);
    EXPECT_EQ(Failures(), Strings {});
    EXPECT_FALSE(IsReparsePoint(tree.Path("dest\\Docs\\a.txt")));
    EXPECT_EQ(TempTree::Read(tree.Path("dest\\Docs\\a.txt")), "text");
    EXPECT_EQ(TempTree::Read(other), "not the backup's");
}

}  // namespace
}  // namespace tandrel
