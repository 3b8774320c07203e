// Whole backups on drive C: through the Windows file system: Directory Copy
// of a folder and a file entry, a file entry at the drive root, CD volume
// folders, names outside ASCII, repeated backups with and without overwrite.
#include <gtest/gtest.h>

#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"
#include "listfile/listfile.h"
#include "engine/nativefs.h"
#include "tests/windows/windows_test_util.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

// A file directly at the root of drive C:, removed afterwards.
class RootFile {
public:
    RootFile() : path_("C:\\tandrel-b-" + RandomTag() + ".txt") { std::ofstream(U8(path_), std::ios::binary) << "b"; }
    ~RootFile()
    {
        std::error_code ignored;
        fsys::remove(U8(path_), ignored);
    }
    const std::string& Path() const { return path_; }
    std::string Name() const { return path_.substr(3); }

private:
    std::string path_;
};

class WindowsBackup : public ::testing::Test {
protected:
    WindowsBackup() : tree("C:\\", "tandrel-")
    {
        tree.File("Data\\Photos\\p1.jpg", std::string(1500, 'a'));
        tree.File("Data\\Photos\\2004\\p2.jpg", std::string(600, 'b'));
        tree.File("Docs\\a.txt", std::string(1000, 'c'));
        entries = {tree.Path("Data\\Photos"), tree.Path("Docs\\a.txt")};
        dest = AddSeparator(tree.Folder("Backup"), PathStyle::Windows());
    }
    void Gather(const Strings& gatherEntries)
    {
        state.dragNdrop = true;
        engine.GetFiles(gatherEntries, true);
    }
    void Copy(bool overwrite, bool cd, bool consolidate, bool directory, const std::string& into = {})
    {
        state.directoryData = std::make_shared<const Strings>(entries);
        engine.Copy(state.syncfileList.ToArray(), into.empty() ? dest : into, overwrite,
                    CopyModeOf(cd, consolidate, directory));
    }
    std::string Dest(const std::string& relative) const { return TempTree::Read(dest + relative); }
    std::string LastBox() const { return host.Boxes().back().text; }

    TempTree tree;
    Strings entries;
    std::string dest;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs};  // the platform's style: "\" and drive roots
};

TEST_F(WindowsBackup, DirectoryCopyOfAFolderAndAFileEntry)
{
    Gather(entries);
    EXPECT_EQ(state.syncfileList.ToArray(),
              (Strings {tree.Path("Data\\Photos\\p1.jpg"), tree.Path("Data\\Photos\\2004\\p2.jpg"),
                        tree.Path("Docs\\a.txt")}));
    EXPECT_EQ(state.folderCount, 2);  // Photos and 2004; a.txt has a dot

    Copy(false, false, false, true);
    EXPECT_EQ(Dest("Photos\\p1.jpg"), std::string(1500, 'a'));
    EXPECT_EQ(Dest("Photos\\2004\\p2.jpg"), std::string(600, 'b'));
    EXPECT_EQ(Dest("Docs\\a.txt"), std::string(1000, 'c'));
    EXPECT_EQ(tree.Names("Backup"), (Strings {".tandrel-index", "Docs", "Photos"}));
    EXPECT_EQ(LastBox(), "3 KB copied successfully");
}

TEST_F(WindowsBackup, ADriveRootFileEntryGoesIntoTheDestinationAndCapturesNothing)
{
    RootFile rootFile;
    entries = {rootFile.Path(), tree.Path("Data\\Photos")};
#ifdef TANDREL_OTHER_DRIVE
    // Under Wine the host's folders are drive Z:.
    TempTree other(TANDREL_OTHER_DRIVE, "run-");
    other.File("Docs\\z.txt", "z");
    entries.push_back(other.Path("Docs"));
#endif
    Gather(entries);
    Copy(false, false, false, true);

    // The root file lands in the destination itself; the files after it, of
    // the same drive, keep their paths from the entry they lie under.
    EXPECT_EQ(Dest(rootFile.Name()), "b");
    EXPECT_EQ(Dest("Photos\\p1.jpg"), std::string(1500, 'a'));
    EXPECT_EQ(Dest("Photos\\2004\\p2.jpg"), std::string(600, 'b'));
    Strings expected = {".tandrel-index", "Photos", rootFile.Name()};
#ifdef TANDREL_OTHER_DRIVE
    EXPECT_EQ(Dest("Docs\\z.txt"), "z");
    expected.push_back("Docs");
#endif
    EXPECT_EQ(tree.Names("Backup"), Sorted(expected));
    EXPECT_EQ(host.Boxes().size(), 1u);  // no failure, only the final message
}

TEST_F(WindowsBackup, CdBackupVolumeFolders)
{
    Gather(entries);
    Copy(false, true, false, false);
    EXPECT_EQ(tree.Names("Backup"), (Strings {".tandrel-index", "CD_backup0"}));
    EXPECT_EQ(tree.Names("Backup\\CD_backup0"), (Strings {"a.txt", "p1.jpg", "p2.jpg"}));
    EXPECT_EQ(Dest("CD_backup0\\p2.jpg"), std::string(600, 'b'));

    // A destination that does not exist yet is made with its volume folder.
    Copy(false, true, false, false, tree.Path("New\\Backup") + "\\");
    EXPECT_EQ(tree.Names("New\\Backup"), (Strings {".tandrel-index", "CD_backup0"}));
    EXPECT_EQ(tree.Names("New\\Backup\\CD_backup0").size(), 3u);
}

TEST_F(WindowsBackup, NonAsciiNamesSurviveListFilesGatheringAndCopying)
{
    tree.File(kNonAscii + "\\Bild \xC3\xBC.jpg", "bild");                     // "Bild ü.jpg"
    tree.File(kNonAscii + "\\2004 \xC3\x9F\\p.jpg", std::string(2048, 'p'));  // "2004 ß"
    const std::string listFile = tree.Path("Liste \xE5\x86\x99\xE7\x9C\x9F.lst");
    Serialize(listFile, Strings {tree.Path(kNonAscii)});
    entries = Deserialize(listFile).PresentEntries();
    ASSERT_EQ(entries, Strings {tree.Path(kNonAscii)});

    Gather(entries);
    EXPECT_EQ(state.syncfileList.ToArray(), (Strings {tree.Path(kNonAscii + "\\Bild \xC3\xBC.jpg"),
                                                      tree.Path(kNonAscii + "\\2004 \xC3\x9F\\p.jpg")}));
    Copy(false, false, false, true);
    EXPECT_EQ(Dest(kNonAscii + "\\Bild \xC3\xBC.jpg"), "bild");
    EXPECT_EQ(Dest(kNonAscii + "\\2004 \xC3\x9F\\p.jpg"), std::string(2048, 'p'));
    EXPECT_EQ(tree.Names("Backup"), (Strings {".tandrel-index", kNonAscii}));
    EXPECT_EQ(LastBox(), "2 KB copied successfully");
}

TEST_F(WindowsBackup, ARepeatedBackupReplacesTargetsOnlyWithOverwrite)
{
    Gather(entries);
    Copy(false, false, false, true);
    tree.File("Docs\\a.txt", std::string(1000, 'n'));

    // Without overwrite every file fails and every target stays.
    Copy(false, false, false, true);
    auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 1u + 3 * 2 + 1);
    EXPECT_NE(boxes[1].text.find("Could not copy '" + tree.Path("Data\\Photos\\p1.jpg") + "' to '" + dest +
                                 "Photos\\p1.jpg': " + PlatformText(ERROR_FILE_EXISTS)),
              std::string::npos)
        << boxes[1].text;
    EXPECT_EQ(boxes[2].text, "Would you like to continue?");
    EXPECT_EQ(LastBox(), "0 KB copied successfully");
    EXPECT_EQ(Dest("Docs\\a.txt"), std::string(1000, 'c'));

    Copy(true, false, false, true);
    EXPECT_EQ(LastBox(), "3 KB copied successfully");
    EXPECT_EQ(Dest("Docs\\a.txt"), std::string(1000, 'n'));
    EXPECT_EQ(tree.Names("Backup\\Docs"), Strings {"a.txt"});  // no temporary file left
    EXPECT_EQ(tree.Names("Backup\\Photos"), (Strings {"2004", "p1.jpg"}));
}

TEST_F(WindowsBackup, ASourceThatVanishedFailsThatFileAlone)
{
    Gather(entries);
    fsys::remove(U8(tree.Path("Data\\Photos\\p1.jpg")));
    Copy(false, false, false, true);
    const auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_NE(boxes[0].text.find(tree.Path("Data\\Photos\\p1.jpg")), std::string::npos) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find(PlatformText(ERROR_FILE_NOT_FOUND)), std::string::npos) << boxes[0].text;
    EXPECT_EQ(LastBox(), "1 KB copied successfully");  // 1600 bytes
    EXPECT_EQ(Dest("Docs\\a.txt"), std::string(1000, 'c'));
}

}  // namespace
}  // namespace tandrel
