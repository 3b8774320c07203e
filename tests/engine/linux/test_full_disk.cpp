// A backup onto a disk that fills up, on a small file system made for the
// test (a 2 MiB tmpfs; mounting one needs root, else the tests are skipped).
// Every file that does not fit is reported through the per-file boxes with
// the system's reason; no partial target and no temporary file is left, and
// the copies of an earlier backup stay as they were.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "engine/nativefs.h"
#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

constexpr std::size_t kFileSize = 600 * 1024;
constexpr std::size_t kOldSize = 100 * 1024;
constexpr int kFiles = 6;

std::string Content(char fill, int index, std::size_t size)
{
    std::string content(size, fill);
    content.replace(0, 8, "file " + std::to_string(index) + "  ");
    return content;
}

bool HasTemporaryFile(const std::string& folder)
{
    for (auto& entry : fsys::recursive_directory_iterator(folder))
        if (IsCopyTemporaryName(entry.path().filename().string())) return true;
    return false;
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        disk = tree.Folder("disk");
        if (::mount("tandrel-test", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m,mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a small file system for the test (" << std::strerror(errno)
                         << "); it needs root";
        mounted = true;
        for (int i = 1; i <= kFiles; ++i) tree.File("src/Data/f" + std::to_string(i), Content('N', i, kFileSize));
    }
    void TearDown() override
    {
        if (mounted) ::umount2(disk.c_str(), MNT_DETACH);
    }

    // One backup of src/Data into the small disk, every question answered Yes.
    void Backup(bool overwrite)
    {
        state.ResetLists();
        state.dragNdrop = true;
        engine.GetFiles({tree.Path("src/Data")}, true);
        state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
        engine.Copy(state.syncfileList.ToArray(), disk + "/", overwrite, CopyMode::DirectoryCopy);
    }
    std::string Target(int i) const { return disk + "/Data/f" + std::to_string(i); }

    // The files the backup reported as failed, in the order reported; each
    // through the box with the system's reason and the question after it.
    Strings ReportedFailures() const
    {
        Strings failed;
        const auto boxes = host.Boxes();
        for (std::size_t i = 0; i + 1 < boxes.size(); ++i) {
            if (boxes[i].text.find("No space left on device") == std::string::npos) continue;
            EXPECT_EQ(boxes[i + 1].text, "Would you like to continue?");
            EXPECT_EQ(boxes[i + 1].buttons, MessageBoxButtons::YesNo);
            for (int f = 1; f <= kFiles; ++f)
                if (boxes[i].text.find("'" + Target(f) + "'") != std::string::npos) failed.push_back(Target(f));
        }
        return failed;
    }

    TempTree tree;
    std::string disk;
    bool mounted = false;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

TEST_F(FullDisk, AnOverwriteBackupKeepsTheOldCopiesOfWhatDoesNotFit)
{
    for (int i = 1; i <= kFiles; ++i) {
        fsys::create_directories(disk + "/Data");
        std::ofstream(Target(i), std::ios::binary) << Content('O', i, kOldSize);
    }
    Backup(true);

    Strings replaced, kept;
    for (int i = 1; i <= kFiles; ++i) {
        const std::string content = TempTree::Read(Target(i));
        if (content == Content('N', i, kFileSize))
            replaced.push_back(Target(i));
        else if (content == Content('O', i, kOldSize))
            kept.push_back(Target(i));
        else
            ADD_FAILURE() << Target(i) << " holds " << content.size() << " bytes of neither copy";
    }
    // 600 KiB of old copies and 2 MiB in all: two new files fit, no more.
    EXPECT_EQ(replaced.size(), 2u);
    EXPECT_EQ(kept.size(), 4u);
    Strings failed = ReportedFailures();
    std::sort(failed.begin(), failed.end());
    EXPECT_EQ(failed, kept);
    EXPECT_EQ(host.Boxes().back().text, "1200 KB copied successfully");
    EXPECT_FALSE(HasTemporaryFile(disk));
}

TEST_F(FullDisk, NewFilesThatDoNotFitLeaveNoTrace)
{
    Backup(false);
    Strings copied, names;
    for (int i = 1; i <= kFiles; ++i)
        if (fsys::exists(Target(i))) {
            EXPECT_EQ(TempTree::Read(Target(i)), Content('N', i, kFileSize)) << Target(i);
            copied.push_back(Target(i));
            names.push_back("f" + std::to_string(i));
        }
    // Three files of 600 KiB fit in 2 MiB, in whatever order they came.
    EXPECT_EQ(copied.size(), 3u);
    EXPECT_EQ(ReportedFailures().size(), static_cast<std::size_t>(kFiles) - copied.size());
    EXPECT_EQ(tree.Names("disk/Data"), names);
    EXPECT_EQ(host.Boxes().back().text, "1800 KB copied successfully");
}

TEST_F(FullDisk, AFileThatFindsNoRoomWhileOthersAreWrittenAheadGetsItsTurn)
{
    // Replaced one after another, each new copy fits where its old copy
    // was; written ahead, before the old ones go, they would not all fit.
    fsys::remove_all(tree.Path("src/Data"));
    fsys::create_directories(disk + "/Data");
    for (int i = 1; i <= 4; ++i) {
        std::ofstream(Target(i), std::ios::binary) << Content('O', i, 300 * 1024);
        // Of the same size: an hour older, or the old copy may pass for up to date.
        fsys::last_write_time(Target(i), fsys::last_write_time(Target(i)) - std::chrono::hours(1));
        tree.File("src/Data/f" + std::to_string(i), Content('N', i, 300 * 1024));
    }
    engine.SetParallelCopies(4);
    engine.SetKeepVersionsDays(0);  // the old copies go as they are replaced
    Backup(true);
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(TempTree::Read(Target(i)), Content('N', i, 300 * 1024)) << Target(i);
    EXPECT_EQ(host.Boxes().back().text, "1200 KB copied successfully");
    EXPECT_FALSE(HasTemporaryFile(disk));
}

}  // namespace
}  // namespace tandrel
