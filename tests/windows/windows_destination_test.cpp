// What a backup finds at its destination on Windows: the volume it lies on.
#include <gtest/gtest.h>

#include "tests/engine/fs_checks.h"
#include "tests/windows/windows_test_util.h"

namespace tandrel {
namespace {

using namespace testing;

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

}  // namespace
}  // namespace tandrel
