// The Windows file system through the wide-character calls, on real folders:
// listing, the questions the engine asks, folders of every level and the
// safe copy. Failures carry the system's own text and the paths.
#include <gtest/gtest.h>

#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"
#include "engine/nativefs.h"
#include "tests/windows/windows_test_util.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

DWORD Attributes(const std::string& path)
{
    return ::GetFileAttributesW(U8(path).c_str());
}

class WindowsFs : public ::testing::Test {
protected:
    TempTree tree;
    NativeFileSystem fs;
};

TEST_F(WindowsFs, ListingJoinsWithBackslashesAndKeepsNonAsciiNames)
{
    tree.File("a.txt", "a");
    tree.File(kNonAscii + "\\Bild \xC3\xBC.jpg", "b");
    tree.Folder("sub");
    const Listing listing = fs.List(tree.Path());
    EXPECT_EQ(Sorted(listing.files), Strings {tree.Path("a.txt")});
    EXPECT_EQ(Sorted(listing.folders), Sorted({tree.Path("sub"), tree.Path(kNonAscii)}));
    EXPECT_EQ(fs.List(tree.Path(kNonAscii)).files, Strings {tree.Path(kNonAscii + "\\Bild \xC3\xBC.jpg")});
    // A folder given with its separator is not joined with a second one.
    EXPECT_EQ(fs.List(tree.Path() + "\\").folders.size(), 2u);

    // The drive root: no "." entries, and "C:\" + name without doubling.
    const Listing root = fs.List("C:\\");
    EXPECT_NE(std::find(root.folders.begin(), root.folders.end(), "C:\\windows"), root.folders.end());

    ExpectFsError([&] { fs.List(tree.Path("missing")); },
                  {"Could not list the folder '" + tree.Path("missing") + "'", PlatformText(ERROR_PATH_NOT_FOUND)});
    ExpectFsError([&] { fs.List(tree.Path("a.txt")); }, {tree.Path("a.txt")});
}

TEST_F(WindowsFs, LinkedFoldersAreLeftOutAndLinkedFilesListed)
{
#ifdef TANDREL_LINK_TREE
    const std::string real = std::string(TANDREL_LINK_TREE) + "\\real";
    if (!fs.DirectoryExists(real)) GTEST_SKIP() << "no tree with links at " << real;
    const Listing listing = fs.List(real);
    EXPECT_EQ(Sorted(listing.files), Sorted({real + "\\a.txt", real + "\\to-a"}));
    EXPECT_EQ(listing.folders, Strings {real + "\\sub"});
    EXPECT_EQ(fs.List(real + "\\sub").folders, Strings {});  // "loop" leads back up
    EXPECT_TRUE(fs.DirectoryExists(real + "\\to-sub"));      // an entry that is a link is followed
    EXPECT_EQ(fs.FileLength(real + "\\to-a"), 1u);           // the size of the file it leads to
#else
    GTEST_SKIP() << "links are made by the build on the host of Wine";
#endif
}

TEST_F(WindowsFs, ExistsTellsFilesFoldersAndNothingApart)
{
    const std::string file = tree.File(kNonAscii + ".txt", "12345");
    EXPECT_TRUE(fs.FileExists(file));
    EXPECT_FALSE(fs.DirectoryExists(file));
    EXPECT_TRUE(fs.DirectoryExists(tree.Path()));
    EXPECT_FALSE(fs.FileExists(tree.Path()));
    EXPECT_FALSE(fs.FileExists(tree.Path("missing")));
    EXPECT_FALSE(fs.DirectoryExists(tree.Path("missing\\deeper")));
    EXPECT_FALSE(fs.FileExists(file + "\\under"));
    // A name Windows refuses is an error that names the path, not "absent".
    ExpectFsError([&] { fs.DirectoryExists(tree.Path("a<b")); }, FsError::Kind::Other, ERROR_INVALID_NAME,
                  tree.Path("a<b"));

    EXPECT_EQ(fs.FileLength(file), 5u);
    ExpectFsError([&] { fs.FileLength(tree.Path("gone.txt")); },
                  {"Could not read the size of '" + tree.Path("gone.txt") + "'", PlatformText(ERROR_FILE_NOT_FOUND)});
    ExpectFsError([&] { fs.FileLength(tree.Path()); }, FsError::Kind::Other, ERROR_ACCESS_DENIED, tree.Path());
}

TEST_F(WindowsFs, CreateDirectoryMakesEveryLevelAndFailsUnderAFile)
{
    fs.CreateDirectory(tree.Path("a\\b\\" + kNonAscii + "\\"));
    EXPECT_TRUE(fs.DirectoryExists(tree.Path("a\\b\\" + kNonAscii)));
    fs.CreateDirectory(tree.Path("a\\b"));  // existing is fine
    fs.CreateDirectory(tree.Path("x/y"));   // "/" is a separator to Windows too
    EXPECT_TRUE(fs.DirectoryExists(tree.Path("x\\y")));
    tree.File("f", "x");
    ExpectFsError([&] { fs.CreateDirectory(tree.Path("f\\g")); }, {"Could not create the folder", tree.Path("f\\g")});
    ExpectFsError([&] { fs.CreateDirectory(tree.Path("f")); }, {tree.Path("f")});
}

TEST_F(WindowsFs, PathsLongerThanTheClassicLimitWork)
{
    std::string deep = tree.Path();
    for (int level = 0; deep.size() < 300; ++level) deep += "\\level " + std::to_string(level) + " " + kNonAscii;
    fs.CreateDirectory(deep);
    EXPECT_TRUE(fs.DirectoryExists(deep));
    const std::string source = tree.File("short.txt", "deep data");
    fs.CopyFile(source, deep + "\\copy.txt", false);
    EXPECT_TRUE(fs.FileExists(deep + "\\copy.txt"));
    EXPECT_EQ(fs.FileLength(deep + "\\copy.txt"), 9u);
    EXPECT_EQ(fs.List(deep).files, Strings {deep + "\\copy.txt"});
}

TEST_F(WindowsFs, CopyKeepsContentTimesAndAttributes)
{
    const std::string source = tree.File(kNonAscii + ".jpg", "hello");
    const fsys::file_time_type then = fsys::last_write_time(U8(source)) - std::chrono::hours(24 * 400);
    fsys::last_write_time(U8(source), then);
    ASSERT_TRUE(::SetFileAttributesW(U8(source).c_str(), FILE_ATTRIBUTE_READONLY));

    const std::string target = tree.Path("out\\" + kNonAscii + ".jpg");
    tree.Folder("out");
    fs.CopyFile(source, target, false);
    EXPECT_EQ(TempTree::Read(target), "hello");
    EXPECT_EQ(fsys::last_write_time(U8(target)), then);
    EXPECT_TRUE(Attributes(target) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(tree.Names("out"), Strings {kNonAscii + ".jpg"});
}

TEST_F(WindowsFs, AnExistingTargetIsReplacedOnlyWithOverwrite)
{
    const std::string source = tree.File("src.txt", "new");
    const std::string target = tree.File("out\\dst.txt", "old");
    // Of the same size: written in one clock tick they would also have one
    // time, and pass for the source's copy.
    fsys::last_write_time(U8(target), fsys::last_write_time(U8(source)) - std::chrono::hours(1));
    ExpectFsError([&] { fs.CopyFile(source, target, false); },
                  {"Could not copy '" + source + "' to '" + target + "': " + PlatformText(ERROR_FILE_EXISTS)});
    EXPECT_EQ(TempTree::Read(target), "old");
    fs.CopyFile(source, target, true);
    EXPECT_EQ(TempTree::Read(target), "new");
    EXPECT_EQ(tree.Names("out"), Strings {"dst.txt"});
}

TEST_F(WindowsFs, FailedCopiesLeaveNoTemporaryFileAndNoTarget)
{
    const std::string source = tree.File("src.txt", "data");
    tree.Folder("out");
    ExpectFsError([&] { fs.CopyFile(tree.Path("gone.txt"), tree.Path("out\\x"), false); }, FsError::Kind::Missing,
                  ERROR_FILE_NOT_FOUND, tree.Path("gone.txt"));
    ExpectFsError([&] { fs.CopyFile(source, tree.Path("nofolder\\x"), false); }, FsError::Kind::Missing,
                  ERROR_PATH_NOT_FOUND, tree.Path("nofolder"));
    ExpectFsError([&] { fs.CopyFile(tree.Path("out"), tree.Path("y"), false); }, {tree.Path("out")});
    // Fails only at the move into place, after the data was written.
    tree.File("out\\dir\\keep", "kept");
    ExpectFsError([&] { fs.CopyFile(source, tree.Path("out\\dir"), true); }, {tree.Path("out\\dir")});
    EXPECT_EQ(TempTree::Read(tree.Path("out\\dir\\keep")), "kept");
    EXPECT_EQ(tree.Names("out"), Strings {"dir"});
    EXPECT_FALSE(HasTemporaryFile(tree));
}

TEST_F(WindowsFs, CopyingAFileOntoItselfFailsAndKeepsIt)
{
    const std::string file = tree.File("dir\\same.txt", "precious");
    ASSERT_TRUE(::CreateHardLinkW(U8(tree.Path("hard.txt")).c_str(), U8(file).c_str(), nullptr));
    // Windows reaches one file by many spellings.
    for (const std::string& target : {file, tree.Path("hard.txt"), tree.Path("dir\\..\\dir\\same.txt"),
                                      tree.Path("dir/same.txt"), tree.Path("DIR\\SAME.TXT")})
        for (bool overwrite : {false, true}) {
            ExpectFsError([&] { fs.CopyFile(file, target, overwrite); }, {target, "they are the same file"});
            EXPECT_EQ(TempTree::Read(file), "precious") << target << overwrite;
        }
    EXPECT_FALSE(HasTemporaryFile(tree, "dir"));
}

TEST_F(WindowsFs, LeftoversOfKilledCopiesAreRemovedUnlessACopyHoldsThem)
{
    tree.File("out\\.~tandrel-0123456789ab.tmp", "partial");
    const std::string readOnly = tree.File("out\\.~tandrel-0123456789cd.tmp", "copy of a read-only file");
    ASSERT_TRUE(::SetFileAttributesW(U8(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string busy = tree.File("out\\.~tandrel-00000000beef.tmp", "being written");
    const Strings lookAlikes = {".~tandrel-0123456789a.tmp", ".~tandrel-0123456789abc.tmp",
                                ".~tandrel-0123456789ag.tmp", ".~tandrel-0123456789ab.tmp.keep",
                                "x.~tandrel-0123456789ab.tmp"};
    for (const std::string& name : lookAlikes) tree.File("out\\" + name, "keep");
    tree.File("out\\.~tandrel-aaaaaaaaaaaa.tmp\\inside", "a folder of that name is kept");
    {
        // A running copy has its temporary file open.
        HANDLE held = ::CreateFileW(U8(busy).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        fs.RemoveCopyTemporaries(tree.Path("out"));
        ::CloseHandle(held);
    }
    Strings expected = lookAlikes;
    expected.insert(expected.end(), {".~tandrel-00000000beef.tmp", ".~tandrel-aaaaaaaaaaaa.tmp"});
    EXPECT_EQ(tree.Names("out"), Sorted(expected));
    EXPECT_EQ(TempTree::Read(tree.Path("out\\.~tandrel-aaaaaaaaaaaa.tmp\\inside")), "a folder of that name is kept");

    // Its writer gone, it is a leftover too; a trailing separator names the
    // same folder and a missing folder is no error.
    fs.RemoveCopyTemporaries(tree.Path("out") + "\\");
    EXPECT_FALSE(fsys::exists(U8(busy)));
    EXPECT_NO_THROW(fs.RemoveCopyTemporaries(tree.Path("missing")));
}

TEST_F(WindowsFs, FlushOfADriveFolderSucceeds)
{
    // Only administrators may flush a volume; everyone else leaves it to the
    // system, which is no failure of the backup.
    const std::string source = tree.File("src.txt", "data");
    const auto session = fs.BeginCopy(tree.Path());
    const auto copy = session->Open(source);
    session->Work(*copy, tree.Path("copy.txt"), false);
    EXPECT_EQ(session->Commit(*copy), CopyOutcome::Copied);
    EXPECT_NO_THROW(session->Finish());
    EXPECT_EQ(TempTree::Read(tree.Path("copy.txt")), "data");
}

TEST_F(WindowsFs, ARepeatWithOverwriteLeavesAnUpToDateCopyAlone)
{
    const std::string source = tree.File("src.txt", "data");
    const std::string target = tree.Path("copy.txt");
    EXPECT_EQ(fs.CopyFile(source, target, true), CopyOutcome::Copied);
    EXPECT_EQ(fs.CopyFile(source, target, true), CopyOutcome::UpToDate);
    tree.File("src.txt", "other data");
    EXPECT_EQ(fs.CopyFile(source, target, true), CopyOutcome::Copied);
    EXPECT_EQ(TempTree::Read(target), "other data");
    ExpectFsError([&] { fs.CopyFile(source, target, false); }, {target});
}

}  // namespace
}  // namespace tandrel
