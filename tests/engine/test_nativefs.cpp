// The platform's file system on real temporary trees, and whole backups
// through it. Tests run as root, so failures are provoked by missing paths,
// ENOTDIR, ENAMETOOLONG, links and special files, never by permissions.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tests/engine/fakes.h"
#include "engine/nativefs.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

class Native : public ::testing::Test {
protected:
    TempTree tree;
    NativeFileSystem fs;
};

#ifndef _WIN32  // symbolic links and FIFOs
TEST_F(Native, ListingLeavesOutLinkedFoldersAndSpecialFiles)
{
    tree.File("a.txt", "a");
    tree.Folder("sub");
    tree.Symlink("to-sub", tree.Path("sub"));
    tree.Symlink("to-a", tree.Path("a.txt"));
    tree.Symlink("dangling", tree.Path("nowhere"));
    ASSERT_EQ(::mkfifo(tree.Path("pipe").c_str(), 0600), 0);

    const Listing listing = fs.List(tree.Path());
    EXPECT_EQ(Sorted(listing.files), Sorted({tree.Path("a.txt"), tree.Path("to-a")}));
    EXPECT_EQ(listing.folders, Strings {tree.Path("sub")});
    EXPECT_TRUE(fs.DirectoryExists(tree.Path("to-sub")));  // an entry that is a link is followed
    ExpectFsError([&] { fs.List(tree.Path("missing")); }, FsError::Kind::Missing, ENOENT, tree.Path("missing"));
}
#endif

#ifndef _WIN32  // POSIX error codes
TEST_F(Native, LongAndImpossiblePathsAreErrorsOrAbsent)
{
    const std::string tooLong = tree.Path(std::string(300, 'x'));
    ExpectFsError([&] { fs.DirectoryExists(tooLong); }, {"File name too long", tooLong});  // as the user reads it
    ExpectFsError([&] { fs.FileExists(tooLong); }, FsError::Kind::Other, ENAMETOOLONG, tooLong);
    tree.File("plain", "x");
    EXPECT_FALSE(fs.FileExists(tree.Path("plain/under")));  // ENOTDIR: nothing there
    EXPECT_FALSE(fs.DirectoryExists(tree.Path("plain")));
    ExpectFsError([&] { fs.FileLength(tree.Path("missing")); }, FsError::Kind::Missing, ENOENT, tree.Path("missing"));
}
#endif

TEST_F(Native, CreateDirectoryMakesEveryLevelAndFailsUnderAFile)
{
    fs.CreateDirectory(tree.Path("a/b/c/"));
    EXPECT_TRUE(fsys::is_directory(tree.Path("a/b/c")));
    fs.CreateDirectory(tree.Path("a/b"));  // existing is fine
    tree.File("f", "x");
    ExpectFsError([&] { fs.CreateDirectory(tree.Path("f/g")); }, {tree.Path("f/g")});
}

TEST_F(Native, CopyKeepsContentModeAndTimes)
{
    const std::string source = tree.File("src.txt", "hello");
#ifndef _WIN32  // permission bits
    ::chmod(source.c_str(), 0640);
#endif
    const fsys::file_time_type then = fsys::last_write_time(source) - std::chrono::hours(24 * 400);
    fsys::last_write_time(source, then);

    fs.CopyFile(source, tree.Path("dst.txt"), false);
    EXPECT_EQ(TempTree::Read(tree.Path("dst.txt")), "hello");
#ifndef _WIN32
    EXPECT_EQ(fsys::status(tree.Path("dst.txt")).permissions(), fsys::perms(0640));
#endif
    EXPECT_EQ(fsys::last_write_time(tree.Path("dst.txt")), then);
    EXPECT_EQ(fs.FileLength(tree.Path("dst.txt")), 5u);
}

TEST_F(Native, AnExistingTargetIsReplacedOnlyWithOverwrite)
{
    const std::string source = tree.File("src.txt", "new");
    const std::string target = tree.File("out/dst.txt", "old");
    // Of the same size: written in one clock tick they would also have one
    // time, and pass for the source's copy.
    fsys::last_write_time(target, fsys::last_write_time(source) - std::chrono::hours(1));
    ExpectFsError([&] { fs.CopyFile(source, target, false); }, {"File exists", target});
    EXPECT_EQ(TempTree::Read(target), "old");
    fs.CopyFile(source, target, true);
    EXPECT_EQ(TempTree::Read(target), "new");
    EXPECT_FALSE(HasTemporaryFile(tree, "out"));
}

#ifndef _WIN32  // POSIX error codes, /proc
TEST_F(Native, FailedCopiesLeaveNoTemporaryFileAndNoTarget)
{
    const std::string source = tree.File("src.txt", "data");
    tree.Folder("out");
    ExpectFsError([&] { fs.CopyFile(tree.Path("gone.txt"), tree.Path("out/x"), false); }, FsError::Kind::Missing,
                  ENOENT, tree.Path("gone.txt"));
    ExpectFsError([&] { fs.CopyFile(source, tree.Path("nofolder/x"), false); }, FsError::Kind::Missing, ENOENT,
                  tree.Path("nofolder"));
    ExpectFsError([&] { fs.CopyFile(source, tree.Path("src.txt/x"), false); }, FsError::Kind::Missing, ENOTDIR,
                  tree.Path("src.txt"));
    // Fails only at the move into place, after the data was written.
    tree.Folder("out/dir/keep");
    ExpectFsError([&] { fs.CopyFile(source, tree.Path("out/dir"), true); }, {tree.Path("out/dir")});
    EXPECT_TRUE(fsys::is_directory(tree.Path("out/dir/keep")));
    EXPECT_EQ(tree.Names("out"), Strings {"dir"});
}

TEST_F(Native, ASourceThatFailsWhileReadIsAnErrorWithoutLeftovers)
{
    tree.Folder("out");
    // /proc/self/mem has a size of 0 and fails on the first read.
    ExpectFsError([&] { fs.CopyFile("/proc/self/mem", tree.Path("out/mem"), false); }, {"/proc/self/mem"});
    EXPECT_EQ(tree.Names("out"), Strings {});
}

TEST_F(Native, FilesWhoseSizeIsNotTheirLengthAreCopiedWhole)
{
    // Kernel files report a size of 0 and live on another file system.
    fs.CopyFile("/proc/self/mountinfo", tree.Path("mountinfo"), false);
    EXPECT_FALSE(TempTree::Read(tree.Path("mountinfo")).empty());
}
#endif

TEST_F(Native, AnEmptyFileFromAnotherFileSystemIsCopied)
{
    struct stat shm {
    }, tmp {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(tree.Path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    TempTree other("/dev/shm");
    fs.CopyFile(other.File("empty"), tree.Path("empty"), false);
    fs.CopyFile(other.File("full", "12345"), tree.Path("full"), false);
    EXPECT_TRUE(fsys::is_regular_file(tree.Path("empty")));
    EXPECT_EQ(TempTree::Read(tree.Path("full")), "12345");
}

#ifndef _WIN32  // FIFOs, hard and symbolic links
TEST_F(Native, ASpecialFileAsSourceFailsInsteadOfBlocking)
{
    ASSERT_EQ(::mkfifo(tree.Path("pipe").c_str(), 0600), 0);
    ExpectFsError([&] { fs.CopyFile(tree.Path("pipe"), tree.Path("copy"), false); }, {tree.Path("pipe")});
    EXPECT_FALSE(fsys::exists(tree.Path("copy")));
}

TEST_F(Native, CopyingAFileOntoItselfFailsAndKeepsIt)
{
    const std::string file = tree.File("dir/same.txt", "precious");
    ASSERT_EQ(::link(file.c_str(), tree.Path("hard.txt").c_str()), 0);
    tree.Symlink("via", tree.Path("dir"));
    for (const std::string& target : {file, tree.Path("hard.txt"), tree.Path("via/same.txt")})
        for (bool overwrite : {false, true}) {
            ExpectFsError([&] { fs.CopyFile(file, target, overwrite); }, {target});
            EXPECT_EQ(TempTree::Read(file), "precious") << target << overwrite;
        }
    EXPECT_FALSE(HasTemporaryFile(tree, "dir"));
}
#endif

TEST_F(Native, ALargeFileIsCopiedByteForByte)
{
    // Large enough to be copied (and sent on to the disk) in several steps,
    // with an uneven last one.
    std::string data(19 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string source = tree.File("big.bin", data);
    fs.CopyFile(source, tree.Path("copy.bin"), false);
    EXPECT_TRUE(TempTree::Read(tree.Path("copy.bin")) == data);
}

// --- Whole backups on disk ---------------------------------------------------

class NativeBackup : public ::testing::Test {
protected:
    NativeBackup()
    {
        tree.File("src/Data/Photos/p1.jpg", std::string(1500, 'a'));
        tree.File("src/Data/Photos/2004/p2.jpg", std::string(600, 'b'));
        tree.File("src/Docs/a.txt", std::string(1000, 'c'));
#ifndef _WIN32
        tree.Symlink("src/Data/Photos/2004/loop", tree.Path("src/Data"));  // leads back up
#endif
        entries = {tree.Path("src/Data/Photos"), tree.Path("src/Docs/a.txt")};
        dest = AddSeparator(tree.Path("dest"), PathStyle::Native());
    }
    void Gather(const Strings& gatherEntries)
    {
        state.dragNdrop = true;
        engine.GetFiles(gatherEntries, true);
    }
    void Copy(bool cd, bool consolidate, bool directory)
    {
        state.directoryData = std::make_shared<const Strings>(entries);
        fsys::create_directories(tree.Path("dest"));
        engine.Copy(state.syncfileList.ToArray(), dest, false, CopyModeOf(cd, consolidate, directory));
    }
    std::string Dest(const std::string& relative) const
    {
        return TempTree::Read(dest + relative);
    }

    TempTree tree;
    Strings entries;
    std::string dest;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs, PathStyle::Native()};
};

TEST_F(NativeBackup, GatheringNeverFollowsALinkedSubfolder)
{
    Gather(entries);
    EXPECT_EQ(state.syncfileList.ToArray(),
              (Strings {tree.Path("src/Data/Photos/p1.jpg"), tree.Path("src/Data/Photos/2004/p2.jpg"),
                        tree.Path("src/Docs/a.txt")}));
    EXPECT_EQ(state.folderCount, 2);  // Photos and its sub-folder 2004; a.txt has a dot
}

#ifndef _WIN32  // symbolic links, POSIX error texts
TEST_F(NativeBackup, ALinkGivenAsAnEntryIsFollowed)
{
    tree.Symlink("photos-link", tree.Path("src/Data/Photos"));
    Gather({tree.Path("photos-link")});
    EXPECT_EQ(state.syncfileList.ToArray(),
              (Strings {tree.Path("photos-link/p1.jpg"), tree.Path("photos-link/2004/p2.jpg")}));
}

TEST_F(NativeBackup, APathTheSystemRejectsTakesTheExceptionPath)
{
    const std::string tooLong = tree.Path(std::string(300, 'x'));
    Gather({tooLong, tree.Path("src/Docs/a.txt")});
    auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[0].text.find("File name too long"), std::string::npos);
    EXPECT_NE(boxes[0].text.find(tooLong), std::string::npos);
    EXPECT_EQ(state.syncfileList.ToArray(), Strings {tree.Path("src/Docs/a.txt")});
}
#endif

TEST_F(NativeBackup, DirectoryCopy)
{
    Gather(entries);
    Copy(false, false, true);
    EXPECT_EQ(Dest("Photos/p1.jpg"), std::string(1500, 'a'));
    EXPECT_EQ(Dest("Photos/2004/p2.jpg"), std::string(600, 'b'));
    EXPECT_EQ(Dest("Docs/a.txt"), std::string(1000, 'c'));
    EXPECT_EQ(host.Boxes().back().text, "3 KB copied successfully");
    EXPECT_EQ(tree.Names("dest"), (Strings {".tandrel-index", "Docs", "Photos"}));
}

TEST_F(NativeBackup, CdBackup)
{
    Gather(entries);
    Copy(true, false, false);
    EXPECT_EQ(tree.Names("dest"), (Strings {".tandrel-index", "CD_backup0"}));
    EXPECT_EQ(tree.Names("dest/CD_backup0"), (Strings {"a.txt", "p1.jpg", "p2.jpg"}));
    EXPECT_EQ(Dest("CD_backup0/p2.jpg"), std::string(600, 'b'));
}

TEST_F(NativeBackup, ConsolidateAndASecondRunWithoutOverwrite)
{
    Gather(entries);
    Copy(false, true, false);
    EXPECT_EQ(tree.Names("dest"), (Strings {".tandrel-index", "a.txt", "p1.jpg", "p2.jpg"}));
    EXPECT_EQ(Dest("p1.jpg"), std::string(1500, 'a'));
    EXPECT_EQ(host.Boxes().back().text, "3 KB copied successfully");

    // The same backup again fails on every file: two boxes each.
    Copy(false, true, false);
    auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 1u + 3 * 2 + 1);
    EXPECT_NE(boxes[1].text.find("File exists"), std::string::npos);
    EXPECT_EQ(boxes.back().text, "0 KB copied successfully");
    EXPECT_EQ(tree.Names("dest"), (Strings {".tandrel-index", "a.txt", "p1.jpg", "p2.jpg"}));
}

}  // namespace
}  // namespace tandrel
