// What a backup does with the folders it writes into: it removes what killed
// copies left there, once per folder and only where it writes, and it makes
// a folder again that vanished while it ran.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "engine/nativefs.h"
#include "engine/linux/systemcalls.h"
#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

const std::string kLeftover = ".~tandrel-0a1b2c3d4e5f.tmp";

class CopyFolders : public ::testing::Test {
protected:
    CopyFolders()
    {
        tree.File("src/Data/a.txt", "new a");
        tree.File("src/Data/b.txt", "new b");
        tree.File("src/Data/sub/c.txt", "new c");
        tree.File("src/Data/fresh/d.txt", "new d");
        // An earlier backup that was killed: old copies and its leftovers.
        tree.File("dest/Data/a.txt", "old a");
        tree.File("dest/Data/" + kLeftover, "partial");
        tree.File("dest/Data/sub/" + kLeftover, "partial");
        tree.File("dest/Other/" + kLeftover, "not ours to judge");
        tree.File("dest/Data/.~tandrel-0a1b2c3d4e5f.tmp.old", "looks alike");
    }
    void Backup(bool cd, bool consolidate, bool directory)
    {
        state.ResetLists();
        state.dragNdrop = true;
        engine.GetFiles({tree.Path("src/Data")}, true);
        state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
        engine.Copy(state.syncfileList.ToArray(), tree.Path("dest") + "/", true,
                    CopyModeOf(cd, consolidate, directory));
    }
    std::string Dest(const std::string& relative) const { return tree.Path("dest/" + relative); }

    TempTree tree;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

TEST_F(CopyFolders, DirectoryCopyCleansEachFolderItWritesToOnce)
{
    Backup(false, false, true);
    EXPECT_EQ(host.Boxes().back().text, "0 KB copied successfully");
    EXPECT_EQ(TempTree::Read(Dest("Data/a.txt")), "new a");
    EXPECT_EQ(TempTree::Read(Dest("Data/sub/c.txt")), "new c");
    EXPECT_EQ(tree.Names("dest/Data"), (Strings {".~tandrel-0a1b2c3d4e5f.tmp.old", "a.txt", "b.txt", "fresh", "sub"}));
    EXPECT_EQ(tree.Names("dest/Data/sub"), Strings {"c.txt"});
    EXPECT_EQ(tree.Names("dest/Other"), Strings {kLeftover});
    // Other/ gets no file, so nothing there is judged.
}

TEST_F(CopyFolders, ConsolidateAndCdBackupCleanTheFolderTheyFill)
{
    tree.File("dest/" + kLeftover, "partial");
    Backup(false, true, false);
    EXPECT_FALSE(fsys::exists(Dest(kLeftover)));
    EXPECT_TRUE(fsys::exists(Dest("Data/" + kLeftover)));  // no copy went there

    tree.File("dest/CD_backup0/" + kLeftover, "partial");
    Backup(true, false, false);
    EXPECT_EQ(tree.Names("dest/CD_backup0"), (Strings {"a.txt", "b.txt", "c.txt", "d.txt"}));
    EXPECT_EQ(tree.Names("dest/Other"), Strings {kLeftover});
}

TEST(CopyFolderGone, AFolderThatVanishesBetweenItsFilesIsMadeAgain)
{
    // Directory Copy looks for a target folder once for the files in a row
    // that go into it; one removed meanwhile must come back as it would if
    // each file looked.
    MemoryFileSystem fs(PathStyle::Windows());
    fs.AddFile(R"(C:\Data\Photos\p1.jpg)", 10);
    fs.AddFile(R"(C:\Data\Photos\p2.jpg)", 20);
    fs.AddFile(R"(C:\Data\Photos\p3.jpg)", 30);
    fs.AddFolder(R"(E:\Backup)");
    bool removed = false;
    fs.SetHook([&](FsOp op, const std::string& path) {
        if (op == FsOp::CopyFile && path == R"(C:\Data\Photos\p2.jpg)" && !removed) {
            removed = true;
            fs.Remove(R"(E:\Backup\Photos)");
        }
    });
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {R"(C:\Data\Photos)"});
    RecordingHost host(&state);
    BackupEngine engine(state, host, fs, PathStyle::Windows());
    engine.SetParallelCopies(1);  // the folder goes between the copies of p1 and p2
    engine.Copy({R"(C:\Data\Photos\p1.jpg)", R"(C:\Data\Photos\p2.jpg)", R"(C:\Data\Photos\p3.jpg)"}, R"(E:\Backup\)",
                false, CopyMode::DirectoryCopy);

    EXPECT_TRUE(removed);
    EXPECT_EQ(host.Boxes(), (std::vector<MessageBoxRequest> {Box("0 KB copied successfully", "Backup Complete",
                                                                 MessageBoxButtons::OK, MessageBoxIcon::Information)}));
    EXPECT_FALSE(fs.IsFile(R"(E:\Backup\Photos\p1.jpg)"));  // went with its folder
    EXPECT_TRUE(fs.IsFile(R"(E:\Backup\Photos\p2.jpg)"));
    EXPECT_TRUE(fs.IsFile(R"(E:\Backup\Photos\p3.jpg)"));
    EXPECT_EQ(fs.Calls(FsOp::DirectoryExists), 2);  // once for the row, once after the failure
}

TEST(CopyFolderGone, AFailureInAFolderThatIsStillThereIsReportedOnce)
{
    MemoryFileSystem fs(PathStyle::Windows());
    fs.AddFile(R"(C:\Data\Photos\p1.jpg)", 1024);
    fs.AddFile(R"(C:\Data\Photos\p2.jpg)", 2048);
    fs.AddFolder(R"(E:\Backup)");
    fs.FailOn(FsOp::CopyFile, R"(C:\Data\Photos\p2.jpg)", "The device is not ready.");
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {R"(C:\Data\Photos)"});
    RecordingHost host(&state);
    BackupEngine engine(state, host, fs, PathStyle::Windows());
    engine.Copy({R"(C:\Data\Photos\p1.jpg)", R"(C:\Data\Photos\p2.jpg)"}, R"(E:\Backup\)", false,
                CopyMode::DirectoryCopy);
    const auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "The device is not ready.");
    EXPECT_EQ(boxes[1].text, "Would you like to continue?");
    EXPECT_EQ(boxes[2].text, "1 KB copied successfully");
    EXPECT_EQ(fs.Copies().size(), 2u);  // no second try
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

// Removes the source folder `folder` and makes it again, with `file` in it,
// when the first copy gets its times: as a build or a checkout does.
class SourceMadeAgain : public SystemCalls {
public:
    SourceMadeAgain(std::string folder, std::string file) : folder_(std::move(folder)), file_(std::move(file)) {}
    int Futimens(int fd, const struct timespec times[2]) override
    {
        if (!done_) {
            done_ = true;
            std::filesystem::remove_all(folder_);
            std::filesystem::create_directories(folder_);
            std::ofstream(file_) << "made again";
        }
        return SystemCalls::Futimens(fd, times);
    }

private:
    std::string folder_, file_;
    bool done_ = false;
};

TEST(CopyFolderGone, ASourceFolderMadeAgainDuringTheBackupIsReadAnew)
{
    testing::TempTree tree;
    const Strings files = {tree.File("src/Data/sub/a.txt", "a"), tree.File("src/Data/sub/b.txt", "b")};
    SourceMadeAgain calls(tree.Path("src/Data/sub"), files[1]);
    NativeFileSystem fs(&calls);
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    testing::RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    engine.SetParallelCopies(1);
    EXPECT_EQ(engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy).copied, 2);
    EXPECT_EQ(testing::TempTree::Read(tree.Path("dest/Data/sub/b.txt")), "made again");
}

// Another backup into the same destination makes each folder just before
// this one does: every mkdir finds the level there already.
class MadeMeanwhile : public SystemCalls {
public:
    int MkdirAt(int folder, const char* name, mode_t mode) override
    {
        SystemCalls::MkdirAt(folder, name, mode);
        errno = EEXIST;
        return -1;
    }
};

TEST(CopyFolderRace, FoldersMadeByAnotherBackupMeanwhileAreUsedAsTheyAre)
{
    testing::TempTree tree;
    const std::string file = tree.File("src/Data/deep/er/f.txt", "content");
    MadeMeanwhile calls;
    NativeFileSystem fs(&calls);
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    testing::RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    tree.Folder("dest");
    const CopySummary summary = engine.Copy({file}, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy);
    EXPECT_EQ(summary.copied, 1) << host.Boxes().front().text;
    EXPECT_EQ(testing::TempTree::Read(tree.Path("dest/Data/deep/er/f.txt")), "content");
}

}  // namespace
}  // namespace tandrel
