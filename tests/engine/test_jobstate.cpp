// The job state's lists and the thread services that move jobs between the
// window thread and workers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <thread>

#include "engine/jobstate.h"
#include "engine/stdthreads.h"
#include "tests/windows/compat.h"  // std::latch but for MinGW

namespace tandrel {
namespace {

using namespace std::chrono_literals;

TEST(JobState, AClearResetsCountersWithItsListAndRefusesStaleBatches)
{
    JobState state;
    const auto generation = state.syncfileList.Generation();
    ASSERT_TRUE(state.syncfileList.AddRange({"/a", "/b"}, generation, &state.fileCount));
    ASSERT_TRUE(state.syncfolderList.AddToCounter(state.syncfolderList.Generation(), state.folderCount, 1));
    EXPECT_EQ(state.fileCount, 2);

    state.ResetLists();
    EXPECT_EQ(state.syncfileList.Count(), 0u);
    EXPECT_EQ(state.fileCount, 0);
    EXPECT_EQ(state.folderCount, 0);
    // A walk that started before the clear can add nothing to the new lists.
    EXPECT_FALSE(state.syncfileList.AddRange({"/c"}, generation, &state.fileCount));
    EXPECT_FALSE(state.syncfileList.Truncate(0, generation, &state.fileCount, 7));
    std::string out;
    EXPECT_FALSE(state.syncfileList.TryAt(0, generation, out));
    EXPECT_EQ(state.syncfileList.Count(), 0u);
    EXPECT_EQ(state.fileCount, 0);
}

TEST(JobState, ASnapshotKeepsTheListAsItStoodWhateverFollows)
{
    JobState state;
    state.syncfileList.AddRange({"/a", "/b"}, state.syncfileList.Generation(), &state.fileCount);
    const std::shared_ptr<const PathList> copying = state.syncfileList.Snapshot();
    state.syncfileList.Add("/c");
    EXPECT_TRUE(state.syncfileList.Truncate(1, state.syncfileList.Generation()));
    const std::shared_ptr<const PathList> second = state.syncfileList.Snapshot();
    state.ResetLists();
    state.syncfileList.Add("/d");
    EXPECT_EQ(*copying, (PathList {"/a", "/b"}));
    EXPECT_EQ(*second, (PathList {"/a"}));
    EXPECT_EQ(state.syncfileList.ToArray(), PathList {"/d"});
}

TEST(PathList, ACopyKeepsItsPathsWhicheverListGrowsOrIsCutBack)
{
    std::vector<std::string> paths;
    // Paths that share beginnings of any length with the first of their
    // group, none, or more than 64 KiB of it.
    for (std::size_t i = 0; i < PathList::kBlock + 2; ++i)
        paths.push_back(i % 7 == 0    ? ""
                        : i % 11 == 0 ? "/d"
                                      : "/d/" + std::to_string(i / 10) + "/f" + std::to_string(i));
    paths[1] = "\x01\xff/\xc3\xbc\n";
    paths[PathList::kGroup] = std::string(70000, 'x');
    paths[PathList::kGroup + 1] = std::string(70000, 'x') + "y";
    PathList list(paths);
    const PathList copy = list;
    list.push_back("/after");             // in the block being filled
    list.truncate(PathList::kBlock - 2);  // back into a full block, which the copy shares
    list.push_back("/new");
    PathList other = list;
    other.push_back("/other");
    list.push_back("/mine");

    EXPECT_EQ(copy, paths);
    std::vector<std::string> expected(paths.begin(), paths.begin() + PathList::kBlock - 2);
    expected.push_back("/new");
    expected.push_back("/other");
    EXPECT_EQ(other, expected);
    expected.back() = "/mine";
    EXPECT_EQ(list, expected);
}

TEST(JobState, ClearingNeverWaitsForAWalk)
{
    JobState state;
    std::scoped_lock walk(state.syncfileList.WalkLock(), state.syncfolderList.WalkLock());
    state.syncfileList.Add("/a");
    state.ResetLists();  // would hang here if it took a walk lock
    EXPECT_EQ(state.syncfileList.ToArray(), std::vector<std::string> {});
}

TEST(ThreadServices, CallAndCompletionRunOnOneWorkerAndEndGivesResultOrFailure)
{
    StdThreadServices window;
    std::thread::id callThread, completionThread;
    std::any result;
    std::promise<void> done;
    window.BeginInvoke(
        [&] {
            callThread = std::this_thread::get_id();
            return std::any(42);
        },
        [&](const AsyncHandle& handle) {
            completionThread = std::this_thread::get_id();
            result = handle->EndInvoke();
            EXPECT_THROW(handle->EndInvoke(), std::logic_error);  // once per call
            done.set_value();
        });
    done.get_future().wait();
    EXPECT_EQ(callThread, completionThread);
    EXPECT_NE(callThread, std::this_thread::get_id());
    EXPECT_EQ(std::any_cast<int>(result), 42);

    auto failed = window.BeginInvoke([]() -> std::any { throw std::runtime_error("disk gone"); }, {});
    window.RunUntil([&] { return window.ActiveWorkers() == 0; });
    EXPECT_THROW(
        try { failed->EndInvoke(); } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "disk gone");
            throw;
        },
        std::runtime_error);
}

TEST(ThreadServices, EndingACallStillRunningWaitsForIt)
{
    StdThreadServices window;
    testing::Latch release(1);
    auto handle = window.BeginInvoke(
        [&] {
            release.wait();
            return std::any(7);
        },
        {});
    auto ended = std::async(std::launch::async, [&] { return std::any_cast<int>(handle->EndInvoke()); });
    // The call cannot have returned yet, so neither can the end.
    EXPECT_EQ(ended.wait_for(100ms), std::future_status::timeout);
    release.count_down();
    EXPECT_EQ(ended.get(), 7);
}

TEST(ThreadServices, PostedWorkRunsInOrderOnTheWindowThreadAndPostsNeverWait)
{
    StdThreadServices window;
    EXPECT_FALSE(window.InvokeRequired());
    std::vector<int> ran;  // touched by the window thread only
    testing::Latch posted(1);
    window.BeginInvoke(
        [&] {
            EXPECT_TRUE(window.InvokeRequired());
            for (int i = 0; i < 100; ++i)
                window.PostToWindow([&, i] {
                    EXPECT_FALSE(window.InvokeRequired());
                    ran.push_back(i);
                });
            posted.count_down();  // all posted while the window thread serves nothing
            return std::any();
        },
        {});
    posted.wait();
    window.RunUntil([&] { return ran.size() == 100; });
    for (int i = 0; i < 100; ++i) ASSERT_EQ(ran[i], i);
}

TEST(ThreadServices, ShutdownWaitsForCallsStartedByCompletions)
{
    std::atomic<bool> innerRan {false};
    {
        StdThreadServices window;
        window.BeginInvoke([] { return std::any(); },
                           [&](const AsyncHandle&) {
                               // Gives the shutdown time to begin before the next call starts.
                               std::this_thread::sleep_for(50ms);
                               window.BeginInvoke(
                                   [&] {
                                       innerRan = true;
                                       return std::any();
                                   },
                                   {});
                           });
    }  // must join the inner worker too, not terminate on it
    EXPECT_TRUE(innerRan);
}

}  // namespace
}  // namespace tandrel
