// Gathering through BackupEngine over an in-memory Windows-style tree.
#include <gtest/gtest.h>

#include <condition_variable>
#include <latch>

#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Kind = HostEvent::Kind;

const MessageBoxRequest kLoadError = Box("There was an error loading your FileList!", "Files Not Added!",
                                         MessageBoxButtons::OK, MessageBoxIcon::Warning);
const MessageBoxRequest kContinue =
    Box("Would you like to continue?", "Continue?", MessageBoxButtons::YesNo, MessageBoxIcon::Question);

class Gather : public ::testing::Test {
protected:
    Gather()
    {
        // Files and sub-folders interleaved: files still come first.
        fs.AddFile(R"(C:\Data\Photos\p1.jpg)");
        fs.AddFolder(R"(C:\Data\Photos\2004)");
        fs.AddFile(R"(C:\Data\Photos\p2.jpg)");
        fs.AddFolder(R"(C:\Data\Photos\2005)");
        fs.AddFile(R"(C:\Data\Photos\p3.jpg)");
        fs.AddFile(R"(C:\Data\Photos\2004\a.jpg)");
        fs.AddFile(R"(C:\Data\Photos\2005\b.jpg)");
        fs.AddFile(R"(C:\Other\o.txt)");
    }
    Strings Files() const { return state.syncfileList.ToArray(); }
    Strings Folders() const { return state.syncfolderList.ToArray(); }
    void ExpectCounts(int files, int folders)
    {
        EXPECT_EQ(state.fileCount, files);
        EXPECT_EQ(state.folderCount, folders);
        EXPECT_EQ(state.syncfileList.Count(), static_cast<std::size_t>(state.fileCount));
    }
    HostEvent OnlyReturn() const
    {
        auto returns = host.Of(Kind::Return);
        EXPECT_EQ(returns.size(), 1u);
        return returns.empty() ? HostEvent {Kind::Return} : returns.front();
    }

    JobState state;
    MemoryFileSystem fs {PathStyle::Windows()};
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Windows()};
};

const Strings kPhotosOwn = {R"(C:\Data\Photos\p1.jpg)", R"(C:\Data\Photos\p2.jpg)", R"(C:\Data\Photos\p3.jpg)"};

TEST_F(Gather, FolderWithoutSubfoldersTakesItsOwnFilesOnly)
{
    engine.GetFiles({R"(C:\Data\Photos)"}, false);
    EXPECT_EQ(Files(), kPhotosOwn);
    EXPECT_EQ(Folders(), Strings {});
    ExpectCounts(3, 1);

    // A refresh at the start (flags down), the hand-back, a refresh at the end.
    EXPECT_EQ(host.Trace(), "PRP");
    auto progress = host.Of(Kind::Progress);
    EXPECT_FALSE(progress[0].complete || progress[0].foldersComplete);
    EXPECT_TRUE(progress[1].complete && progress[1].foldersComplete);
    // "Add Folder" sets no origin flag: the one folder goes to the list box.
    const HostEvent back = OnlyReturn();
    EXPECT_EQ(back.initalDir, R"(C:\Data\Photos)");
    EXPECT_EQ(back.returned.entries, Strings {R"(C:\Data\Photos)"});
    EXPECT_EQ(back.returned.totalFiles, "Total Files: 3");
    EXPECT_EQ(back.returned.totalFolders, "Total Folders: 1");
}

TEST_F(Gather, FolderWithSubfoldersIsWalkedBreadthFirst)
{
    fs.AddFile(R"(C:\Data\Photos\2004\Jan\deep.jpg)");
    engine.GetFiles({R"(C:\Data\Photos)"}, true);
    Strings expected = kPhotosOwn;
    expected.insert(expected.end(), {R"(C:\Data\Photos\2004\a.jpg)", R"(C:\Data\Photos\2005\b.jpg)",
                                     R"(C:\Data\Photos\2004\Jan\deep.jpg)"});
    EXPECT_EQ(Files(), expected);
    EXPECT_EQ(Folders(), (Strings {R"(C:\Data\Photos\2004)", R"(C:\Data\Photos\2005)", R"(C:\Data\Photos\2004\Jan)"}));
    ExpectCounts(6, 4);
}

TEST_F(Gather, PhotosWithSubfoldersCountsFiveFilesAndThreeFolders)
{
    engine.GetFiles({R"(C:\Data\Photos)"}, true);
    ExpectCounts(5, 3);
    EXPECT_EQ(Files().back(), R"(C:\Data\Photos\2005\b.jpg)");
}

TEST_F(Gather, ALaterWalkStartsReadingAtTheQueuesEnd)
{
    engine.GetFiles({R"(C:\Data\Photos)"}, true);
    const int listed = fs.Calls(FsOp::List);
    engine.GetFiles({R"(C:\Other)"}, true);
    // Only C:\Other is listed again; the queued 2004 and 2005 are history.
    EXPECT_EQ(fs.Calls(FsOp::List), listed + 1);
    ExpectCounts(6, 4);
}

TEST_F(Gather, FolderCountSeeksADotAnywhereAndEmptyFoldersStillCount)
{
    fs.AddFile(R"(C:\Users\ann.lee\Docs\d.txt)");
    fs.AddFile(R"(C:\Tools\README)");
    fs.AddFolder(R"(C:\Empty)");
    state.filesOnly = true;
    engine.GetFiles({R"(C:\Users\ann.lee\Docs)", R"(C:\Tools\README)", R"(C:\Empty)"}, true);
    EXPECT_EQ(Files(), (Strings {R"(C:\Users\ann.lee\Docs\d.txt)", R"(C:\Tools\README)"}));
    ExpectCounts(2, 2);  // README and Empty
}

TEST_F(Gather, TheSameFolderTwiceIsListedTwice)
{
    state.dragNdrop = true;
    engine.GetFiles({R"(C:\Data\Photos)", R"(C:\Data\Photos)"}, false);
    Strings twice = kPhotosOwn;
    twice.insert(twice.end(), kPhotosOwn.begin(), kPhotosOwn.end());
    EXPECT_EQ(Files(), twice);
    ExpectCounts(6, 2);
    EXPECT_EQ(OnlyReturn().returned.entries, (Strings {R"(C:\Data\Photos)", R"(C:\Data\Photos)"}));
}

TEST_F(Gather, AnEmptyArrayWalksNothingAndHandsBackDone)
{
    engine.GetFiles({R"(C:\Other)"}, true);
    state.dragNdrop = true;
    engine.GetFiles({}, true);
    const HostEvent back = host.Of(Kind::Return).back();
    EXPECT_EQ(back.initalDir, "DONE");
    EXPECT_EQ(back.returned.entries, Strings {});
    EXPECT_EQ(back.returned.totalFiles, "Total Files: 1");
    EXPECT_EQ(back.returned.totalFolders, "Total Folders: 1");
}

// A listing that fails, answered Yes, skips that path and goes on.
struct SkipCase {
    const char* failing;
    Strings files;
};

void PrintTo(const SkipCase& c, std::ostream* os)
{
    *os << c.failing;
}

class GatherSkip : public Gather, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(GatherSkip, AFailedListingAnsweredYesIsSkipped)
{
    fs.FailOn(FsOp::List, GetParam().failing, "Access to the path is denied.");
    state.dragNdrop = true;
    engine.GetFiles({R"(C:\Data\Photos)", R"(C:\Other)"}, true);
    EXPECT_EQ(Files(), GetParam().files);
    EXPECT_EQ(
        host.Boxes(),
        (std::vector {Box("Access to the path is denied.", "Warning!", MessageBoxButtons::OK, MessageBoxIcon::Warning),
                      kContinue}));
    EXPECT_FALSE(state.hasErrored);
    EXPECT_EQ(OnlyReturn().returned.entries, (Strings {R"(C:\Data\Photos)", R"(C:\Other)"}));
    EXPECT_EQ(state.folderCount, 4);  // the failed folder was queued or counted all the same
}

INSTANTIATE_TEST_SUITE_P(
    Gather, GatherSkip,
    ::testing::Values(
        // Next queued folder.
        SkipCase {R"(C:\Data\Photos\2004)",
                  {kPhotosOwn[0], kPhotosOwn[1], kPhotosOwn[2], R"(C:\Data\Photos\2005\b.jpg)", R"(C:\Other\o.txt)"}},
        // The last one queued: next entry.
        SkipCase {R"(C:\Data\Photos\2005)",
                  {kPhotosOwn[0], kPhotosOwn[1], kPhotosOwn[2], R"(C:\Data\Photos\2004\a.jpg)", R"(C:\Other\o.txt)"}},
        // The last entry's own folder: the gathering completes.
        SkipCase {R"(C:\Other)",
                  {kPhotosOwn[0], kPhotosOwn[1], kPhotosOwn[2], R"(C:\Data\Photos\2004\a.jpg)",
                   R"(C:\Data\Photos\2005\b.jpg)"}}));

TEST_F(Gather, AFailedListingAnsweredNoEndsTheWalkButKeepsWhatItFound)
{
    fs.FailOn(FsOp::List, R"(C:\Data\Photos\2004)", "denied");
    host.Answer({DialogResult::No});
    state.dragNdrop = true;
    engine.GetFiles({R"(C:\Data\Photos)", R"(C:\Other)"}, true);
    EXPECT_EQ(Files(), kPhotosOwn);  // 2005 and C:\Other never walked
    ExpectCounts(3, 3);
    EXPECT_EQ(host.Trace(), "PBBRP");
    const HostEvent back = OnlyReturn();
    EXPECT_EQ(back.returned.entries, (Strings {R"(C:\Data\Photos)", R"(C:\Other)"}));
    EXPECT_FALSE(state.hasErrored);
}

TEST_F(Gather, AMissingEntryUndoesThisWalkOnlyAndHandsBackNothing)
{
    fs.AddFile(R"(C:\Earlier\e1.txt)");
    fs.AddFile(R"(C:\Earlier\Sub\e2.txt)");
    engine.GetFiles({R"(C:\Earlier)"}, true);
    const Strings earlierFiles = Files(), earlierFolders = Folders();
    ASSERT_EQ(earlierFiles.size(), 2u);

    std::vector<std::string> visited;
    fs.SetHook([&](FsOp op, const std::string& path) {
        if (op == FsOp::DirectoryExists) visited.push_back(path);
    });
    state.dragNdrop = true;
    engine.GetFiles({R"(C:\Data\Photos)", R"(C:\Gone)", R"(C:\Other)"}, true);

    EXPECT_EQ(host.Boxes(), std::vector {kLoadError});
    EXPECT_EQ(std::count(visited.begin(), visited.end(), R"(C:\Other)"), 0);  // the walk ended
    EXPECT_EQ(Files(), earlierFiles);
    EXPECT_EQ(Folders(), earlierFolders);
    ExpectCounts(2, 2);
    EXPECT_EQ(host.Trace(), "PRPPBRP");
    const HostEvent back = host.Of(Kind::Return).back();
    EXPECT_EQ(back.returned.entries, Strings {});
    EXPECT_EQ(back.returned.totalFiles, "Total Files: 2");
    EXPECT_EQ(back.returned.totalFolders, "Total Folders: 2");
    EXPECT_FALSE(state.hasErrored || state.dragNdrop);  // consumed by ReturnFiles
}

TEST_F(Gather, ASubfolderRemovedDuringTheWalkTakesTheErrorPath)
{
    fs.SetHook([&](FsOp op, const std::string& path) {
        if (op == FsOp::List && path == R"(C:\Data\Photos\2004)") fs.Remove(R"(C:\Data\Photos\2005)");
    });
    engine.GetFiles({R"(C:\Data\Photos)"}, true);
    EXPECT_EQ(host.Boxes(), std::vector {kLoadError});
    ExpectCounts(0, 0);
    EXPECT_EQ(OnlyReturn().returned.entries, Strings {});
}

TEST(ReturnedFiles, OriginFlagsChooseTheEntriesAndAreConsumed)
{
    const Strings entries = {R"(C:\A)", R"(C:\B)"};
    struct Case {
        bool filesOnly, dragNdrop, filelistLoad, hasErrored;
        Strings expected;
    };
    for (const Case& c : {Case {true, false, false, false, entries}, Case {false, true, false, false, entries},
                          Case {false, false, true, false, entries}, Case {false, false, false, false, {R"(C:\A)"}},
                          Case {true, true, true, true, {}}}) {
        JobState state;
        state.fileCount = 12;
        state.folderCount = 1234;
        state.filesOnly = c.filesOnly;
        state.dragNdrop = c.dragNdrop;
        state.filelistLoad = c.filelistLoad;
        state.hasErrored = c.hasErrored;
        const ReturnedFiles back = TakeReturnedFiles(state, entries, R"(C:\A)");
        EXPECT_EQ(back.entries, c.expected);
        EXPECT_EQ(back.totalFiles, "Total Files: 12");
        EXPECT_EQ(back.totalFolders, "Total Folders: 1234");
        EXPECT_FALSE(state.filesOnly || state.dragNdrop || state.filelistLoad || state.hasErrored);
    }
}

// --- Clears during a walk -------------------------------------------------

TEST_F(Gather, AClearDuringTheWalkStopsItAddingAndHandingBack)
{
    struct Case {
        const char* name;
        Strings entries;
        std::function<void()> setup;
    };
    const Case cases[] = {
        {"while listing a queued folder",
         {R"(C:\Data\Photos)", R"(C:\Other)"},
         [&] {
             fs.SetHook([&](FsOp op, const std::string& path) {
                 if (op == FsOp::List && path == R"(C:\Data\Photos\2004)") state.ResetLists();
             });
         }},
        {"before a missing entry",
         {R"(C:\Other)", R"(C:\Gone)"},
         [&] {
             fs.SetHook([&](FsOp op, const std::string& path) {
                 if (op == FsOp::DirectoryExists && path == R"(C:\Gone)") state.ResetLists();
             });
         }},
        {"while a failure is asked about",
         {R"(C:\Other)", R"(C:\Data\Photos)"},
         [&] {
             fs.FailOn(FsOp::List, R"(C:\Data\Photos)", "denied");
             host.OnShow([&](const MessageBoxRequest&) { state.ResetLists(); });
             host.Answer({DialogResult::No});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state.ResetLists();
        fs.SetHook({});
        host.OnShow({});
        c.setup();
        const auto before = host.Events().size();
        state.dragNdrop = true;  // as "Remove" sets it before its own gathering
        engine.GetFiles(c.entries, true);

        ExpectCounts(0, 0);
        EXPECT_EQ(Folders(), Strings {});
        EXPECT_TRUE(state.dragNdrop) << "the clearing command's flag was consumed";
        EXPECT_FALSE(state.hasErrored);
        EXPECT_TRUE(state.complete && state.foldersComplete);
        const auto events = host.Events();
        for (auto i = before; i < events.size(); ++i) {
            EXPECT_NE(events[i].kind, Kind::Return) << "a walk cut short by a clear hands nothing back";
            EXPECT_NE(events[i].box, kLoadError);
        }
    }
}

// --- Through the window queue and worker threads ---------------------------

class GatherThreads : public Gather {
protected:
    GatherThreads() { fs.AddFile(R"(C:\Second\s.txt)"); }
    // As a window starts a gathering: a worker, ended by its completion there.
    void Start(Strings entries)
    {
        window.BeginInvoke(
            [this, entries] {
                threaded.GetFiles(entries, true);
                return std::any();
            },
            [](const AsyncHandle& handle) { handle->EndInvoke(); });
    }
    void RunUntilIdle()
    {
        window.RunUntil([&] { return window.ActiveWorkers() == 0; });
        window.RunPending();
    }

    RecordingHost posted {&state, &window};
    BackupEngine threaded {state, posted, fs, PathStyle::Windows()};
    // This test's thread is the window thread. Declared last, so that it joins
    // its workers while the host and engine they use still live.
    StdThreadServices window;
};

TEST_F(GatherThreads, TheHandBackIsServedBeforeTheFinalRefresh)
{
    Start({R"(C:\Data\Photos)"});
    RunUntilIdle();
    EXPECT_EQ(posted.Trace(), "PRP");
    EXPECT_EQ(posted.Of(Kind::Return)[0].returned.totalFiles, "Total Files: 5");
    EXPECT_TRUE(posted.Of(Kind::Progress).back().complete);
}

TEST_F(GatherThreads, ASecondGatheringWaitsForTheFirstWalk)
{
    Latch inside(1), release(1);  // std::latch but for MinGW
    std::mutex mutex;
    std::condition_variable changed;
    bool secondWalked = false;
    fs.SetHook([&](FsOp op, const std::string& path) {
        if (op == FsOp::List && path == R"(C:\Data\Photos)") {
            inside.count_down();
            release.wait();
        }
        if (path.starts_with(R"(C:\Second)")) {
            std::lock_guard lock(mutex);
            secondWalked = true;
            changed.notify_all();
        }
    });
    Start({R"(C:\Data\Photos)"});
    inside.wait();
    // As the starting handler does right after a start.
    state.complete = true;
    state.foldersComplete = true;
    state.dragNdrop = true;
    Start({R"(C:\Second)"});
    {
        // Give the second gathering every chance to start walking; it must not.
        std::unique_lock lock(mutex);
        EXPECT_FALSE(changed.wait_for(lock, 200ms, [&] { return secondWalked || !state.complete; }));
    }
    EXPECT_TRUE(state.complete && state.foldersComplete && state.dragNdrop);
    EXPECT_EQ(Files(), Strings {});
    release.count_down();
    RunUntilIdle();

    // One walk after the other. (Each releases the locks before it posts its
    // hand-back, so the two hand-backs may come in either order.)
    EXPECT_EQ(Files().front(), kPhotosOwn.front());
    EXPECT_EQ(Files().back(), R"(C:\Second\s.txt)");
    ExpectCounts(6, 4);
    EXPECT_EQ(posted.Of(Kind::Return).size(), 2u);
    EXPECT_EQ(posted.Of(Kind::Progress).size(), 4u);
}

TEST_F(GatherThreads, RemoveDuringAWalkLeavesOnlyTheNewGathering)
{
    Latch inside(1), release(1);  // std::latch but for MinGW
    fs.SetHook([&](FsOp op, const std::string& path) {
        if (op == FsOp::List && path == R"(C:\Data\Photos\2004)") {
            inside.count_down();
            release.wait();
        }
    });
    Start({R"(C:\Data\Photos)"});
    inside.wait();
    // "Remove" on the window thread: flag, clear (without waiting), gather again.
    state.dragNdrop = true;
    state.ResetLists();
    Start({R"(C:\Second)"});
    release.count_down();
    RunUntilIdle();

    EXPECT_EQ(Files(), Strings {R"(C:\Second\s.txt)"});
    ExpectCounts(1, 1);
    auto returns = posted.Of(Kind::Return);
    ASSERT_EQ(returns.size(), 1u);
    EXPECT_EQ(returns[0].returned.entries, Strings {R"(C:\Second)"});
    EXPECT_EQ(returns[0].returned.totalFiles, "Total Files: 1");
}

}  // namespace
}  // namespace tandrel
