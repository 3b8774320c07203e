// Copies whose data is written on several threads at once: whatever the
// number of threads, files are placed, counted, refreshed and reported in
// list order, and a stop places nothing after the file it stopped at.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;
const std::string kDest = R"(E:\Backup\)";

std::string Name(int i)
{
    return "f" + std::to_string(10000 + i);
}

class ParallelCopy : public ::testing::TestWithParam<int> {
protected:
    ParallelCopy()
    {
        fs.AddFolder(kDest);
        engine.SetParallelCopies(GetParam());
    }
    Strings Files(int n)
    {
        Strings files;
        for (int i = 0; i < n; ++i) {
            files.push_back(R"(C:\In\)" + Name(i));
            fs.AddFile(files.back(), 1024, "content " + std::to_string(i), i);
        }
        return files;
    }
    // The names placed in the destination, sorted.
    Strings Placed(int n) const
    {
        Strings placed;
        for (int i = 0; i < n; ++i)
            if (fs.IsFile(kDest + Name(i))) placed.push_back(Name(i));
        return placed;
    }

    JobState state;
    MemoryFileSystem fs {PathStyle::Windows()};
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Windows()};
};

TEST_P(ParallelCopy, AStopAtOneFilePlacesExactlyTheFilesBeforeIt)
{
    const Strings files = Files(2000);
    fs.FailOn(FsOp::CopyFile, files[1234], "The device is not ready.");
    host.Answer({DialogResult::No});
    const CopySummary summary = engine.Copy(files, kDest, false, CopyMode::Consolidate);

    Strings expected;
    for (int i = 0; i < 1234; ++i) expected.push_back(Name(i));
    EXPECT_EQ(Placed(2000), expected);
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(summary.copied, 1234);
    EXPECT_EQ(host.Boxes().back().text, "1234 KB copied successfully");
    for (int i = 0; i < 1234; ++i) ASSERT_EQ(fs.ContentOf(kDest + Name(i)), "content " + std::to_string(i));
    // Refreshes: one per placed file, then the closing one; none after the stop.
    EXPECT_EQ(host.Trace(), std::string(1234, 'P') + "BBPB");
}

TEST_P(ParallelCopy, FailuresComeInListOrderWhateverFinishedFirst)
{
    const Strings files = Files(60);
    for (int i : {3, 17, 40}) fs.FailOn(FsOp::CopyFile, files[i], "failed " + std::to_string(i));
    // The first file's work is the slowest: with several threads, the works
    // of the files after it end first.
    std::atomic<int> worksDone {0};
    fs.OnWork([&](const std::string& source) {
        if (source == files[0]) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ++worksDone;
    });
    int doneAtFirstBox = -1;
    host.OnShow([&](const MessageBoxRequest& box) {
        if (doneAtFirstBox < 0 && box.text == "failed 3") doneAtFirstBox = worksDone;
    });
    const CopySummary summary = engine.Copy(files, kDest, false, CopyMode::Consolidate);

    Strings failures;
    for (const auto& box : host.Boxes())
        if (box.text.rfind("failed ", 0) == 0) failures.push_back(box.text);
    EXPECT_EQ(failures, (Strings {"failed 3", "failed 17", "failed 40"}));
    EXPECT_EQ(summary.failed, 3);
    EXPECT_EQ(summary.copied, 57);
    // P for each file, failed or not (answered Yes), each failure's two boxes
    // right before its refresh.
    std::string trace;
    for (int i = 0; i < 60; ++i) trace += (i == 3 || i == 17 || i == 40) ? "BBP" : "P";
    EXPECT_EQ(host.Trace(), trace + "PB");
    if (GetParam() > 1) {
        EXPECT_GT(doneAtFirstBox, 4) << "no work ran ahead of the commit point";
    }
}

// Several threads only.
class ParallelCopies : public ParallelCopy {};

TEST_P(ParallelCopies, AWorkThatHangsHoldsUpNoOtherWork)
{
    // The first file's work goes on until works of later files have ended:
    // with N threads, the N - 1 others (the copy's own among them) go on
    // meanwhile. One that waited instead would hang the test until the
    // deadline.
    const Strings files = Files(100);
    std::atomic<int> worksDone {0};
    bool othersWorked = false;
    fs.OnWork([&](const std::string& source) {
        if (source == files[0]) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (worksDone < 16 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            othersWorked = worksDone >= 16;
        }
        ++worksDone;
    });
    const CopySummary summary = engine.Copy(files, kDest, false, CopyMode::Consolidate);
    EXPECT_TRUE(othersWorked);
    EXPECT_EQ(summary.copied, 100);
    EXPECT_EQ(Placed(100).size(), 100u);
}

TEST_P(ParallelCopy, ANameMetTwiceIsPlacedInListOrder)
{
    // Same names from two folders, one after the other: the later replaces
    // the earlier with overwrite, and fails without it.
    Strings files;
    for (int i = 0; i < 20; ++i) {
        files.push_back(R"(C:\S)" + std::to_string(i) + "\\" + Name(i % 5));
        fs.AddFile(files.back(), 10, "from " + std::to_string(i), i);
    }
    const CopySummary replacing = engine.Copy(files, kDest, true, CopyMode::Consolidate);
    EXPECT_EQ(replacing.failed, 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(fs.ContentOf(kDest + Name(i)), "from " + std::to_string(15 + i));
    const CopySummary refusing = engine.Copy(files, R"(E:\Other\)", false, CopyMode::CdBackup);
    EXPECT_EQ(refusing.copied, 5);
    EXPECT_EQ(refusing.failed, 15);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(fs.ContentOf(R"(E:\Other\CD_backup0\)" + Name(i)), "from " + std::to_string(i));
}

TEST_P(ParallelCopy, AnUnchangedRepeatAfterAReplacedNameIsJudgedAtItsTurn)
{
    // A/x then B/x into one folder: B/x's copy is the target after the first
    // run. In the repeat, A/x replaces it, and B/x must then be copied again
    // even though the target matched B/x when the run began.
    fs.AddFile(R"(C:\A\x)", 10, "a", 1);
    fs.AddFile(R"(C:\B\x)", 10, "b", 2);
    const Strings files = {R"(C:\A\x)", R"(C:\B\x)"};
    engine.Copy(files, kDest, true, CopyMode::Consolidate);
    const CopySummary repeat = engine.Copy(files, kDest, true, CopyMode::Consolidate);
    EXPECT_EQ(repeat.copied, 2);
    EXPECT_EQ(fs.ContentOf(kDest + "x"), "b");
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelCopy, ::testing::Values(1, 2, 4, 8),
                         [](const auto& info) { return std::to_string(info.param); });
INSTANTIATE_TEST_SUITE_P(Threads, ParallelCopies, ::testing::Values(2, 4, 8),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace tandrel
