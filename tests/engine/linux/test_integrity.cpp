// Backups that must not lose a file or call a failure a success: two at once
// into one destination, names that differ only in case, files that change
// while they are copied, failures that must be counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "engine/nativefs.h"
#include "engine/linux/caps.h"
#include "engine/linux/systemcalls.h"
#include "support/quoted.h"
#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

struct Backup {
    Backup(FileSystem& fileSystem, Strings entries) : fs(fileSystem)
    {
        state.directoryData = std::make_shared<const Strings>(entries);
        state.dragNdrop = true;
        engine.GetFiles(std::move(entries), true);
    }
    CopySummary Run(const std::string& destination, bool overwrite, CopyMode mode = CopyMode::DirectoryCopy)
    {
        return engine.Copy(state.syncfileList.ToArray(), destination + "/", overwrite, mode);
    }
    Strings Texts() const
    {
        Strings texts;
        for (const auto& box : host.Boxes()) texts.push_back(box.text);
        return texts;
    }

    FileSystem& fs;
    JobState state;
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

TEST(DestinationLock, ASecondBackupWaitsForTheFirstOrIsCancelled)
{
    TempTree tree;
    tree.File("src/Data/a.txt", "a");
    tree.File("src/Data/b.txt", "b");
    NativeFileSystem fs;
    auto first = fs.BeginCopy(tree.Path("dest"));  // another backup, holding the destination
    ASSERT_TRUE(first->TryLock());
    const std::string waiting =
        "Waiting for another backup into " + support::Quoted(tree.Path("dest")) + " to finish\u2026";

    Backup cancelled(fs, {tree.Path("src/Data")});
    cancelled.host.Answer({DialogResult::Cancel});
    const CopySummary none = cancelled.Run(tree.Path("dest"), false);
    EXPECT_TRUE(none.stopped);
    EXPECT_EQ(none.copied, 0);
    EXPECT_TRUE(cancelled.state.hasErrored);
    EXPECT_EQ(cancelled.Texts(), (Strings {waiting, "0 KB copied successfully"}));
    EXPECT_EQ(cancelled.host.Boxes().front().buttons, MessageBoxButtons::Cancel);
    EXPECT_FALSE(fsys::exists(tree.Path("dest/Data")));

    Backup waits(fs, {tree.Path("src/Data")});
    std::thread other;
    waits.host.OnShow([&](const MessageBoxRequest& box) {
        if (box.buttons != MessageBoxButtons::Cancel) return;
        other = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            first.reset();  // the other backup ends
        });
    });
    EXPECT_EQ(waits.Run(tree.Path("dest"), false).copied, 2);
    other.join();
    EXPECT_EQ(waits.Texts(), (Strings {waiting, "0 KB copied successfully"}));
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/b.txt")), "b");
}

// A flush or a lock that fails as a worn or pulled drive makes it fail.
class FailingCalls : public SystemCalls {
public:
    int syncfsError = 0;
    int flockError = 0;
    int Syncfs(int fd) override { return syncfsError ? (errno = syncfsError, -1) : SystemCalls::Syncfs(fd); }
    int Flock(int fd, int operation) override
    {
        return flockError ? (errno = flockError, -1) : SystemCalls::Flock(fd, operation);
    }
};

TEST(DestinationLock, AnErrorOtherThanHeldFailsTheBackupWithItsReason)
{
    TempTree tree;
    tree.File("src/Data/a.txt", "a");
    tree.File("src/Data/b.txt", "b");
    FailingCalls calls;
    NativeFileSystem fs(&calls);
    calls.flockError = EIO;
    Backup failed(fs, {tree.Path("src/Data")});
    const CopySummary none = failed.Run(tree.Path("dest"), false);
    EXPECT_EQ(none.copied, 0);
    EXPECT_EQ(none.failed, 2);
    EXPECT_EQ(failed.host.Boxes(),
              (std::vector {MessageBoxRequest {
                  "Could not lock the destination " + support::Quoted(tree.Path("dest/")) + ": Input/output error",
                  "Warning!", MessageBoxButtons::OK, MessageBoxIcon::Warning}}));
    EXPECT_FALSE(fsys::exists(tree.Path("dest/Data")));

    calls.flockError = ENOLCK;  // a share without a lock service: backed up as it is
    Backup unlocked(fs, {tree.Path("src/Data")});
    EXPECT_EQ(unlocked.Run(tree.Path("dest"), false).copied, 2);
}

TEST(FailedFlush, TheCopiesItCoversFailAndTheBackupSaysSo)
{
    TempTree tree;
    const std::string old = tree.File("src/Data/a.txt", "a");
    fsys::last_write_time(old, fsys::last_write_time(old) - std::chrono::hours(1));  // not racy: found up to date
    FailingCalls calls;
    NativeFileSystem fs(&calls);
    ASSERT_EQ(Backup(fs, {tree.Path("src/Data")}).Run(tree.Path("dest"), true).copied, 1);

    tree.File("src/Data/b.txt", "b");
    tree.File("src/Data/c.txt", "c");
    calls.syncfsError = EIO;
    Backup repeat(fs, {tree.Path("src/Data")});
    const CopySummary summary = repeat.Run(tree.Path("dest"), true);
    EXPECT_EQ(summary.copied, 0);
    EXPECT_EQ(summary.upToDate, 1);
    EXPECT_EQ(summary.failed, 2);
    EXPECT_EQ(
        repeat.Texts(),
        (Strings {
            "Could not write to disk under " + support::Quoted(tree.Path("dest/Data/")) + ": Input/output error",
            "The backup failed: 2 files could not be written to disk under " + support::Quoted(tree.Path("dest"))}));
    EXPECT_EQ(repeat.host.Boxes().back().icon, MessageBoxIcon::Warning);
}

// The copy's clock, and what happens to a source while it is copied.
class Moments : public SystemCalls {
public:
    std::atomic<std::int64_t> now {0};  // ns; 0: the real clock
    std::function<void()> duringCopy;   // runs at each copy_file_range

    struct timespec Now() override
    {
        if (const std::int64_t at = now)
            return {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
        return SystemCalls::Now();
    }
    ssize_t CopyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length) override
    {
        if (duringCopy) duringCopy();
        return SystemCalls::CopyFileRange(in, inAt, out, outAt, length);
    }
};

std::int64_t MtimeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

TEST(RacyCopies, ACopyMadeAsItsFileWasWrittenIsNeverTakenForUpToDate)
{
    TempTree tree;
    const std::string file = tree.File("src/Data/a.txt", "written just now");
    const struct timespec written[2] = {{1700000000, 500000000}, {1700000000, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), written, 0), 0);
    Moments calls;
    calls.now = MtimeOf(file);  // the copy begins in the very moment
    NativeFileSystem fs(&calls);
    Backup backup(fs, {tree.Path("src/Data")});
    EXPECT_EQ(backup.Run(tree.Path("dest"), true).copied, 1);
    EXPECT_LT(MtimeOf(tree.Path("dest/Data/a.txt")), MtimeOf(file));
    calls.now = 0;
    EXPECT_EQ(backup.Run(tree.Path("dest"), true).copied, 1);  // copied again, now with its true time
    EXPECT_EQ(MtimeOf(tree.Path("dest/Data/a.txt")), MtimeOf(file));
    EXPECT_EQ(backup.Run(tree.Path("dest"), true).upToDate, 1);
}

TEST(RacyCopies, AFileThatChangesWhileCopiedIsCopiedAgainOrFails)
{
    TempTree tree;
    const std::string file = tree.File("src/Data/log.txt", std::string(1500, 'a'));
    Moments calls;
    int appended = 0;
    calls.duringCopy = [&] {
        if (appended++ == 0) std::ofstream(file, std::ios::app) << std::string(600, 'b');
    };
    NativeFileSystem fs(&calls);
    Backup once(fs, {tree.Path("src/Data")});
    EXPECT_EQ(once.Run(tree.Path("dest"), false).copied, 1);
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/log.txt")), std::string(1500, 'a') + std::string(600, 'b'));
    EXPECT_EQ(once.Texts().back(), "2 KB copied successfully");  // the second copy's 2100 bytes

    calls.duringCopy = [&] { std::ofstream(file, std::ios::app) << "more"; };
    Backup always(fs, {tree.Path("src/Data")});
    EXPECT_EQ(always.Run(tree.Path("dest"), true).failed, 1);
    EXPECT_NE(always.Texts().front().find(support::Quoted(file) + " changed while it was being copied"),
              std::string::npos)
        << always.Texts().front();
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/log.txt")), std::string(1500, 'a') + std::string(600, 'b'));
    EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data"));

    // In CD Backup, one that outgrows its volume while copied fails.
    const std::string big = tree.File("cd/full.img", "start");
    ASSERT_EQ(::truncate(big.c_str(), BackupEngine::kVolumeLimit - 100), 0);
    calls.duringCopy = [&, grown = false]() mutable {
        if (!grown) std::ofstream(big, std::ios::app) << std::string(200, 'z');
        grown = true;
    };
    Backup cd(fs, {tree.Path("cd")});
    EXPECT_EQ(cd.Run(tree.Path("cddest"), false, CopyMode::CdBackup).failed, 1);
    EXPECT_NE(cd.Texts().front().find("more than its volume has room for"), std::string::npos) << cd.Texts().front();
    EXPECT_FALSE(fsys::exists(tree.Path("cddest/CD_backup0/full.img")));
}

}  // namespace
}  // namespace tandrel
