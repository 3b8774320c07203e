// The owner of the running calls: it waits for them or lets them go, and a
// completion that outlives its services or was abandoned posts into nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/stdthreads.h"
#include "tests/windows/compat.h"  // std::latch but for MinGW

namespace tandrel {
namespace {

using namespace std::chrono_literals;

TEST(RunningCalls, CountsACallUntilItsCompletionHasReturnedAndWaitsForIt)
{
    StdThreadServices window;
    const auto calls = window.Calls();
    testing::Latch releaseCall(1), releaseCompletion(1);
    std::atomic<bool> completed {false};
    window.BeginInvoke(
        [&] {
            releaseCall.wait();
            return std::any();
        },
        [&](const AsyncHandle&) {
            releaseCompletion.wait();
            completed = true;
        });
    EXPECT_EQ(calls->Count(), 1);
    EXPECT_FALSE(calls->Wait(50ms));  // the call still runs
    releaseCall.count_down();
    EXPECT_FALSE(calls->Wait(50ms));  // its completion still runs
    EXPECT_EQ(calls->Count(), 1);
    releaseCompletion.count_down();
    EXPECT_TRUE(calls->Wait(10s));
    EXPECT_TRUE(completed);
    EXPECT_EQ(calls->Count(), 0);
}

TEST(RunningCalls, WaitingCoversCallsThatCompletionsStart)
{
    StdThreadServices window;
    std::atomic<bool> innerRan {false};
    window.BeginInvoke([] { return std::any(); },
                       [&](const AsyncHandle&) {
                           std::this_thread::sleep_for(20ms);
                           window.BeginInvoke(
                               [&] {
                                   std::this_thread::sleep_for(20ms);
                                   innerRan = true;
                                   return std::any();
                               },
                               {});
                       });
    EXPECT_TRUE(window.Calls()->Wait(10s));
    EXPECT_TRUE(innerRan);
}

TEST(RunningCalls, AbandonedCallsRunOnButTheirPostsAreDropped)
{
    StdThreadServices window;
    const auto calls = window.Calls();
    testing::Latch release(1);
    std::atomic<bool> posted {false}, ran {false};
    window.BeginInvoke(
        [&] {
            release.wait();
            return std::any();
        },
        [&](const AsyncHandle&) { posted = calls->Post([&] { ran = true; }); });
    EXPECT_EQ(calls->Abandon(), 1);
    EXPECT_TRUE(calls->Abandoned());
    window.PostToWindow([&] { ran = true; });  // from the window thread too
    release.count_down();
    ASSERT_TRUE(calls->Wait(10s));
    window.RunPending();
    EXPECT_FALSE(posted);
    EXPECT_FALSE(ran);
}

TEST(RunningCalls, AnAbandonedCallOutlivesItsServicesAndPostsIntoNothing)
{
    testing::Latch release(1);
    std::atomic<int> result {0};
    std::shared_ptr<RunningCalls> calls;
    {
        StdThreadServices window;
        calls = window.Calls();
        window.BeginInvoke(
            [&] {
                release.wait();
                return std::any();
            },
            [&, owner = window.Calls()](const AsyncHandle&) {
                result = owner->Post([] { ADD_FAILURE() << "ran after the services went"; }) ? 2 : 1;
            });
        calls->Abandon();
    }  // lets the worker go instead of joining it
    release.count_down();
    ASSERT_TRUE(calls->Wait(10s));
    EXPECT_EQ(result, 1);
}

TEST(RunningCalls, PostsAfterTheServicesAreGoneAreDropped)
{
    std::shared_ptr<RunningCalls> calls;
    {
        StdThreadServices window;
        calls = window.Calls();
        EXPECT_TRUE(calls->Post([] {}));
        window.RunPending();
    }
    EXPECT_FALSE(calls->Post([] { ADD_FAILURE() << "ran after the services went"; }));
    EXPECT_FALSE(calls->Abandoned());  // gone, not abandoned
}

TEST(RunningCalls, PacedWorkIsHeldWhilePacingAndStillRunsInTheOrderPosted)
{
    StdThreadServices window;
    const auto calls = window.Calls();
    std::string ran;
    auto note = [&](char c) { return [&ran, c] { ran += c; }; };

    // Not pacing: queued at once, as any post.
    calls->PostPaced(note('a'));
    calls->Post(note('b'));
    window.RunPending();
    EXPECT_EQ(ran, "ab");

    // Pacing: held, until the pace ends or something else is posted.
    calls->Pace(true);
    calls->PostPaced(note('c'));
    calls->PostPaced(note('d'));
    window.RunPending();
    EXPECT_EQ(ran, "ab");
    calls->Post(note('e'));  // takes c and d along, ahead of itself
    calls->PostPaced(note('f'));
    window.RunPending();
    EXPECT_EQ(ran, "abcde");
    calls->Post(note('g'));
    calls->PostPaced(note('h'));
    calls->Pace(false);  // h is queued behind g, not run ahead of it
    calls->PostPaced(note('i'));
    window.RunPending();
    EXPECT_EQ(ran, "abcdefghi");

    // Abandoned: what was held goes with the rest.
    calls->Pace(true);
    calls->PostPaced(note('x'));
    calls->Abandon();
    calls->Pace(false);
    EXPECT_FALSE(calls->PostPaced(note('y')));
    window.RunPending();
    EXPECT_EQ(ran, "abcdefghi");
}

}  // namespace
}  // namespace tandrel
