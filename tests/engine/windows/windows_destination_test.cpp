// What a backup finds at its destination on Windows: the volume it lies on,
// links planted in it, the copies it replaced kept in its versions folder.
#include <gtest/gtest.h>

#include <regex>

#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"
#include "engine/nativefs.h"
#include "engine/restore.h"
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

// NTFS takes É.txt and é.txt, or Sub and sub, for one name: of two such
// sources, the first keeps it and the other fails, also in a repeat; neither
// replaces the other.
TEST(WindowsTwins, OfTwoSourcesThatDifferOnlyInCaseTheFirstKeepsTheName)
{
    TempTree tree;
    // Made apart and moved together by Wine's host, whose folders take both.
    const Strings files = {tree.Path("src\\Data\\\xC3\x89.txt"), tree.File("src\\Data\\\xC3\xA9.txt", "lower"),
                           tree.File("src\\Data\\Sub\\a.txt", "Sub's"), tree.Path("src\\Data\\sub\\a.txt")};
    tree.File("stage\\\xC3\x89.txt", "upper");
    tree.File("stage\\sub\\a.txt", "sub's");
    if (!RunOnWineHost("mv", {tree.Path("stage\\\xC3\x89.txt"), tree.Path("stage\\sub"), tree.Path("src\\Data")},
                       [&] { return tree.Names("src\\Data").size() == 4; }))
        GTEST_SKIP() << "no folder here takes two names that differ only in case";
    const std::string dest = tree.Folder("dest") + "\\";
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src\\Data")});
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs};
    const std::string twin = "Could not copy '" + files[1] + "' to '" + dest +
                             "Data\\\xC3\xA9.txt': it has the same name as '\xC3\x89.txt' on this destination, "
                             "which does not tell upper from lower case";
    const std::string folderTwin = "Could not read '" + dest + "Data\\sub\\': '" + dest +
                                   "Data\\sub' has the same name as 'Sub' on this destination, which does not tell "
                                   "upper from lower case";
    for (int run = 0; run < 2; ++run) {
        const CopySummary summary = engine.Copy(files, dest, true, CopyMode::DirectoryCopy);
        EXPECT_EQ(summary.copied + summary.upToDate, 2) << "run " << run;
        EXPECT_EQ(summary.failed, 2) << "run " << run;
        EXPECT_EQ(tree.Names("dest\\Data"), (Strings {"Sub", "\xC3\x89.txt"}));
        EXPECT_EQ(TempTree::Read(dest + "Data\\\xC3\x89.txt"), "upper");
        EXPECT_EQ(TempTree::Read(dest + "Data\\Sub\\a.txt"), "Sub's");
    }
    Strings failures;
    for (const auto& box : host.Boxes())
        if (box.text.rfind("Could not", 0) == 0) failures.push_back(box.text);
    EXPECT_EQ(failures, (Strings {twin, folderTwin, twin, folderTwin}));
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

TEST_F(WindowsDestination, ASourceFolderSwappedForALinkFailsItsFilesAndLeadsNowhere)
{
    tree.File("victim\\p2.jpg", "the victim's");
    const std::string swapped = tree.Path("src\\Photos\\2004");
    ASSERT_TRUE(::MoveFileW(support::Widen(swapped).c_str(), support::Widen(swapped + ".old").c_str()));
    if (!Link("src\\Photos\\2004", victim, true)) GTEST_SKIP() << "this system makes no symbolic links here";

    EXPECT_EQ(Backup(false).failed, 1);
    EXPECT_EQ(Failures(),
              Strings {"Could not copy '" + files[1] + "' to '" + dest + "Photos\\2004\\p2.jpg': '" + swapped +
                       "' is a symbolic link, and a backup follows no link below the folders of its list"});
    EXPECT_FALSE(fsys::exists(U8(dest + "Photos\\2004\\p2.jpg")));
    EXPECT_EQ(TempTree::Read(dest + "Photos\\p1.jpg"), "one");
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

TEST_F(WindowsDestination, AReplacedCopyIsKeptInTheVersionsFolderNeverThroughALink)
{
    Backup(false);
    tree.File("src\\Docs\\a.txt", "new text");
    const CopySummary summary = Backup(true);
    EXPECT_EQ(summary.keptVersions, 1);
    const Strings names = tree.Names("dest\\Tandrel Versions");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ)"))) << names[0];
    EXPECT_EQ(names[1], "README.txt");
    EXPECT_EQ(summary.versionsFolder, dest + "Tandrel Versions\\" + names[0]);
    EXPECT_EQ(tree.Names("dest\\Tandrel Versions\\" + names[0]), (Strings {".tandrel-run", "Docs"}));
    EXPECT_EQ(TempTree::Read(summary.versionsFolder + "\\Docs\\a.txt"), "text");
    EXPECT_EQ(TempTree::Read(dest + "Docs\\a.txt"), "new text");
    // A name met twice in one run replaces its own copy without keeping it.
    files.push_back(tree.File("src\\Docs\\p1.jpg", "another"));
    EXPECT_EQ(engine.Copy(files, tree.Folder("flat") + "\\", true, CopyMode::Consolidate).keptVersions, 0);
    EXPECT_FALSE(fsys::exists(U8(tree.Path("flat\\Tandrel Versions"))));
    files.pop_back();

    // A versions folder that is a link fails the copy, which then leaves its
    // target as it was.
    dest = tree.Folder("linked") + "\\";
    Backup(false);
    tree.File("src\\Docs\\a.txt", "newer text");
    if (!Link("linked\\Tandrel Versions", victim, true)) GTEST_SKIP() << "this system makes no symbolic links here";
    Backup(true);
    EXPECT_EQ(Failures(), Strings {"Could not copy '" + files[2] + "' to '" + dest +
                                   "Docs\\a.txt': the copy it replaces could not be kept: '" + dest +
                                   "Tandrel Versions' is a symbolic link, and a backup does not follow links "
                                   "inside its destination"});
    EXPECT_EQ(TempTree::Read(dest + "Docs\\a.txt"), "new text");
    EXPECT_EQ(tree.Names("victim"), Strings {});
}

// The index names each copy's source; a folder deleted from the source
// comes back with its times, and a file that differs at its place is kept
// in the versions folder before it is replaced.
TEST_F(WindowsDestination, ABackupIndexesItsFilesAndARestorePutsThemBack)
{
    Backup(false);
    fsys::remove_all(U8(tree.Path("src\\Photos")));
    tree.File("src\\Docs\\a.txt", "edited");
    fsys::last_write_time(U8(files[2]), fsys::last_write_time(U8(files[2])) + std::chrono::hours(1));
    const BackupContents contents = BackupContents::Read(fs, dest, PathStyle::Windows());
    ASSERT_TRUE(contents.HasIndex());
    RestoreRequest request {{tree.Path("src\\Photos"), tree.Path("src\\Docs")}, {}, "", true, false};
    const RestoreSummary summary = Restore(fs, contents, request, {});
    EXPECT_EQ(summary.restored, 3);
    EXPECT_EQ(summary.replaced, 1);
    EXPECT_EQ(TempTree::Read(files[1]), "two");
    EXPECT_EQ(fsys::last_write_time(U8(files[1])), fsys::last_write_time(U8(dest + "Photos\\2004\\p2.jpg")));
    EXPECT_EQ(TempTree::Read(files[2]), "text");
    EXPECT_EQ(TempTree::Read(summary.keptIn + "\\Docs\\a.txt"), "edited");
}

TEST_F(WindowsDestination, PruningRemovesOldCopiesButTheNewestOfEachFileAndFollowsNoLink)
{
    const std::string versions = "dest\\Tandrel Versions\\";
    tree.File(versions + "2020-01-01T00-00-00Z\\.tandrel-run");
    tree.File(versions + "2020-01-01T00-00-00Z\\Docs\\a.txt", "a, 2020");
    tree.File(versions + "2021-06-01T00-00-00Z\\.tandrel-run");
    tree.File(versions + "2021-06-01T00-00-00Z\\Docs\\b.txt", "b, the only one kept");
    // A run newer than the days kept.
    tree.File(versions + "2999-01-01T00-00-00Z\\.tandrel-run");
    tree.File(versions + "2999-01-01T00-00-00Z\\Docs\\a.txt", "a, newer");
    tree.File(versions + "2999-01-01T00-00-00Z\\Photos\\p1.jpg", "p1, newer");
    // An old copy of p1.jpg, if the link in the old run were followed.
    tree.File("victim\\p1.jpg", "the victim's");
    const bool linked = Link(versions + "2021-06-01T00-00-00Z\\Photos", victim, true);

    EXPECT_EQ(Backup(true).prunedVersions, 1);
    EXPECT_EQ(tree.Names("dest\\Tandrel Versions"),
              (Strings {"2021-06-01T00-00-00Z", "2999-01-01T00-00-00Z"}));  // the run left empty went
    EXPECT_EQ(TempTree::Read(tree.Path(versions + "2021-06-01T00-00-00Z\\Docs\\b.txt")), "b, the only one kept");
    EXPECT_EQ(TempTree::Read(tree.Path(versions + "2999-01-01T00-00-00Z\\Docs\\a.txt")), "a, newer");
    if (linked) EXPECT_EQ(TempTree::Read(tree.Path("victim\\p1.jpg")), "the victim's");
}

}  // namespace
}  // namespace tandrel
