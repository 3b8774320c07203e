// Backups that must not lose a file or call a failure a success: two at once
// into one destination, names that differ only in case, files that change
// while they are copied, failures that must be counted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/caps.h"
#include "engine/systemcalls.h"
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

}  // namespace
}  // namespace tandrel
