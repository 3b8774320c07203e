// Links against a backup that root runs: none inside the destination is
// followed, none takes the clean-up of a temporary elsewhere, none in the
// source hands over a file its owner could not read; and a folder the backup
// makes is as closed as the one it stands for.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
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

const std::string kNotFollowed = "is a symbolic link, and a backup does not follow links inside its destination";

struct Backup {
    explicit Backup(FileSystem& fileSystem, const std::string& entry) : fs(fileSystem)
    {
        state.directoryData = std::make_shared<const Strings>(Strings {entry});
        state.dragNdrop = true;
        engine.GetFiles({entry}, true);
    }
    CopySummary Run(const std::string& destination, bool overwrite)
    {
        return engine.Copy(state.syncfileList.ToArray(), destination + "/", overwrite, CopyMode::DirectoryCopy);
    }
    std::string Text(std::size_t box) const { return host.Boxes().at(box).text; }

    FileSystem& fs;
    JobState state;
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

std::size_t FilesUnder(const std::string& folder)
{
    std::size_t n = 0;
    for (auto& entry : fsys::recursive_directory_iterator(folder)) n += entry.is_regular_file() ? 1 : 0;
    return n;
}

TEST(DestinationLinks, APlantedLinkIsNotFollowedAndALinkAtATargetIsReplaced)
{
    TempTree tree;
    tree.File("src/Data/a.txt", "new a");
    tree.File("src/Data/sub/b.txt", "new b");
    tree.File("victim/sub/b.txt", "victim's b");
    tree.File("victim/target.txt", "victim's target");
    tree.Folder("dest");
    fsys::create_directory_symlink(tree.Path("victim"), tree.Path("dest/Data"));
    NativeFileSystem fs;
    Backup backup(fs, tree.Path("src/Data"));

    EXPECT_EQ(backup.Run(tree.Path("dest"), true).failed, 2);
    EXPECT_NE(backup.Text(0).find("Could not copy " + support::Quoted(tree.Path("src/Data/a.txt"))), std::string::npos);
    EXPECT_NE(backup.Text(0).find(support::Quoted(tree.Path("dest/Data")) + " " + kNotFollowed), std::string::npos)
        << backup.Text(0);
    EXPECT_EQ(TempTree::Read(tree.Path("victim/sub/b.txt")), "victim's b");
    EXPECT_EQ(FilesUnder(tree.Path("victim")), 2u);

    // A link at a target's own name is replaced, never written through.
    fsys::remove(tree.Path("dest/Data"));
    tree.Folder("dest/Data");
    fsys::create_symlink(tree.Path("victim/target.txt"), tree.Path("dest/Data/a.txt"));
    EXPECT_EQ(backup.Run(tree.Path("dest"), true).copied, 2);
    EXPECT_FALSE(fsys::is_symlink(tree.Path("dest/Data/a.txt")));
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/a.txt")), "new a");
    EXPECT_EQ(TempTree::Read(tree.Path("victim/target.txt")), "victim's target");
}

TEST(DestinationLinks, ALinkSwappedInWhileTheBackupRunsRedirectsNothing)
{
    TempTree tree;
    for (int i = 0; i < 3000; ++i)
        tree.File("src/Data/d" + std::to_string(i / 100) + "/f" + std::to_string(i), "content");
    tree.Folder("victim");
    tree.Folder("dest/Data");
    std::atomic<bool> done {false};
    std::thread swapper([&] {
        for (int round = 0; !done; ++round) {
            std::error_code ignored;
            fsys::rename(tree.Path("dest/Data"), tree.Path("dest/old" + std::to_string(round)), ignored);
            fsys::create_directory_symlink(tree.Path("victim"), tree.Path("dest/Data"), ignored);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            fsys::remove(tree.Path("dest/Data"), ignored);
            fsys::create_directory(tree.Path("dest/Data"), ignored);
        }
    });
    NativeFileSystem fs;
    Backup backup(fs, tree.Path("src/Data"));
    backup.engine.SetParallelCopies(4);
    backup.Run(tree.Path("dest"), true);
    done = true;
    swapper.join();
    EXPECT_EQ(FilesUnder(tree.Path("victim")), 0u);
}

// Puts a link to `victim` at the name of the temporary that is about to be
// renamed over a target, as a user watching the folder could.
class TemporarySwapped : public SystemCalls {
public:
    explicit TemporarySwapped(std::string victim) : victim_(std::move(victim)) {}
    int RenameAt(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) override
    {
        if (flags == 0 && SymlinkAt(victim_.c_str(), fromFolder, "swap") == 0) {
            SystemCalls::RenameAt(fromFolder, "swap", fromFolder, from, 0);
            ++swaps;
        }
        return SystemCalls::RenameAt(fromFolder, from, toFolder, to, flags);
    }
    int swaps = 0;

private:
    std::string victim_;
};

TEST(DestinationLinks, AFailedTemporaryIsRemovedWithoutTouchingWhatALinkAtItsNameLeadsTo)
{
    TempTree tree;
    tree.File("src/Data/a.txt", "new a");
    tree.File("dest/Data/a.txt/keeps", "the target is a folder that is not empty");
    const std::string victim = tree.File("victim.txt", "must stay whole");
    TemporarySwapped calls(victim);
    NativeFileSystem fs(&calls);
    Backup backup(fs, tree.Path("src/Data"));
    EXPECT_EQ(backup.Run(tree.Path("dest"), true).failed, 1);
    EXPECT_EQ(calls.swaps, 1);
    EXPECT_EQ(TempTree::Read(victim), "must stay whole");
    EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data"));
}

// Whether any file under `folder` holds `text`.
bool AnyFileHolds(const std::string& folder, const std::string& text)
{
    for (auto& entry : fsys::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && TempTree::Read(entry.path().string()).find(text) != std::string::npos)
            return true;
    return false;
}

// Swaps the folder `swapped` for a link to `elsewhere` once it has been
// listed, as its owner could while a backup runs.
class SwappedAfterListing : public NativeFileSystem {
public:
    SwappedAfterListing(SystemCalls* calls, std::string swapped, std::string elsewhere)
        : NativeFileSystem(calls), swapped_(std::move(swapped)), elsewhere_(std::move(elsewhere))
    {
    }
    Listing List(const std::string& folder) override
    {
        Listing listing = NativeFileSystem::List(folder);
        if (folder == swapped_) {
            fsys::rename(swapped_, swapped_ + ".old");
            fsys::create_directory_symlink(elsewhere_, swapped_);
        }
        return listing;
    }

private:
    std::string swapped_, elsewhere_;
};

// A kernel without openat2: the source's folders are opened one name at a
// time.
class WithoutOpenat2 : public SystemCalls {
public:
    int OpenBeneath(int, const char*) override
    {
        errno = ENOSYS;
        return -1;
    }
};

class SourceLinks : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Kernel, SourceLinks, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Openat2" : "NameByName"; });

TEST_P(SourceLinks, AFolderSwappedForALinkAfterItsListingFailsItsFilesAndLeadsNowhere)
{
    TempTree tree;
    tree.File("src/Home/a.txt", "a");
    tree.File("src/Home/deep/er/b.txt", "b");
    tree.File("src/Home/sub/shadow", "the user's own");
    tree.File("etc/shadow", "root's secret");
    tree.File("etc/sub/deeper", "root's secret too");
    WithoutOpenat2 nameByName;
    SwappedAfterListing fs(GetParam() ? nullptr : &nameByName, tree.Path("src/Home/sub"), tree.Path("etc"));
    Backup backup(fs, tree.Path("src/Home"));
    const CopySummary summary = backup.Run(tree.Path("dest"), false);
    EXPECT_EQ(TempTree::Read(tree.Path("dest/Home/deep/er/b.txt")), "b");
    EXPECT_EQ(summary.copied, 2);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_NE(backup.Text(0).find(support::Quoted(tree.Path("src/Home/sub")) + " is a symbolic link"),
              std::string::npos)
        << backup.Text(0);
    EXPECT_NE(backup.Text(0).find(std::strerror(ELOOP)), std::string::npos) << backup.Text(0);
    EXPECT_FALSE(AnyFileHolds(tree.Path("dest"), "root's secret"));
}

TEST(SourceListing, ALinkThatCantBeFollowedFailsInTheGatheringAndOneLeadingNowhereIsLeftOut)
{
    TempTree tree;
    const std::string kept = tree.File("src/Home/a.txt", "a");
    const std::string loop = tree.Path("src/Home/loop");
    fsys::create_symlink(loop, loop);
    fsys::create_symlink(tree.Path("missing"), tree.Path("src/Home/dangling"));
    NativeFileSystem fs;
    Backup backup(fs, tree.Path("src/Home"));
    EXPECT_EQ(backup.state.syncfileList.ToArray(), Strings {kept});
    ASSERT_EQ(backup.host.Boxes().size(), 2u);  // the failure, then whether to go on
    EXPECT_EQ(backup.Text(0), "Could not look at " + support::Quoted(loop) + ": " + std::strerror(ELOOP));
    EXPECT_EQ(backup.host.Boxes()[1].buttons, MessageBoxButtons::YesNo);
}

class RootOnly : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "giving files to other users takes root";
    }
};

TEST_F(RootOnly, ALinkInAFolderIsALinkOrLeadsOnlyToItsOwnersFile)
{
    TempTree tree;
    const std::string secret = tree.File("secret", "root's alone");
    ::chmod(secret.c_str(), 0600);
    const std::string own = tree.File("own.txt", "the user's");
    ASSERT_EQ(::chown(own.c_str(), 1235, 1235), 0);
    tree.Folder("src/Home");
    const std::string innocent = tree.Path("src/Home/innocent.txt");
    const std::string mine = tree.Path("src/Home/mine.txt");
    fsys::create_symlink(secret, innocent);
    fsys::create_symlink(own, mine);
    ASSERT_EQ(::lchown(innocent.c_str(), 1235, 1235), 0);
    ASSERT_EQ(::lchown(mine.c_str(), 1235, 1235), 0);

    // Where the destination holds links, the link is copied as one, and a
    // repeat leaves it alone.
    NativeFileSystem local;
    Backup onLocal(local, tree.Path("src/Home"));
    EXPECT_EQ(onLocal.Run(tree.Path("dest"), false).copied, 2);
    EXPECT_EQ(fsys::read_symlink(tree.Path("dest/Home/innocent.txt")).string(), secret);
    EXPECT_EQ(onLocal.Run(tree.Path("dest"), true).upToDate, 2);

    // Where it can't, only the file the link's owner owns is copied.
    const DestinationCaps fat = DestinationCaps::FusefatProfile();
    NativeFileSystem onFat(nullptr, &fat);
    Backup toFat(onFat, tree.Path("src/Home"));
    const CopySummary summary = toFat.Run(tree.Path("fat"), false);
    EXPECT_EQ(summary.copied, 1);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_NE(toFat.Text(0).find("a file its owner does not own"), std::string::npos) << toFat.Text(0);
    EXPECT_FALSE(fsys::exists(fsys::symlink_status(tree.Path("fat/Home/innocent.txt"))));
    EXPECT_EQ(TempTree::Read(tree.Path("fat/Home/mine.txt")), "the user's");
}

// Puts `replacement` at the name `swapped` when the backup makes its first
// folder, after it has looked at the sources it plans.
class LinkSwappedAtFirstFolder : public SystemCalls {
public:
    LinkSwappedAtFirstFolder(std::string swapped, std::string replacement)
        : swapped_(std::move(swapped)), replacement_(std::move(replacement))
    {
    }
    int MkdirAt(int folder, const char* name, mode_t mode) override
    {
        if (!swaps++) fsys::rename(replacement_, swapped_);
        return SystemCalls::MkdirAt(folder, name, mode);
    }
    int swaps = 0;

private:
    std::string swapped_, replacement_;
};

TEST_F(RootOnly, ALinkSwappedAfterItsLookIsJudgedByItsOwnOwner)
{
    TempTree tree;
    const std::string secret = tree.File("secret", "root's alone");
    const std::string harmless = tree.File("harmless.txt", "anyone's");
    tree.Folder("src/Home");
    tree.Folder("fat");
    const std::string named = tree.Path("src/Home/doc.txt");
    const std::string planted = tree.Path("src/planted");
    fsys::create_symlink(harmless, named);  // root's: followed to any file
    fsys::create_symlink(secret, planted);
    ASSERT_EQ(::lchown(planted.c_str(), 1235, 1235), 0);
    LinkSwappedAtFirstFolder calls(named, planted);
    const DestinationCaps fat = DestinationCaps::FusefatProfile();
    NativeFileSystem fs(&calls, &fat);
    Backup backup(fs, tree.Path("src/Home"));
    const CopySummary summary =
        backup.engine.Copy(backup.state.syncfileList.ToArray(), tree.Path("fat") + "/", false, CopyMode::CdBackup);
    EXPECT_GT(calls.swaps, 0);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_NE(backup.Text(0).find("a file its owner does not own"), std::string::npos) << backup.Text(0);
    EXPECT_FALSE(AnyFileHolds(tree.Path("fat"), "root's alone"));
}

TEST_F(RootOnly, AFolderTheBackupMakesTakesTheModeAndOwnerOfTheOneItStandsFor)
{
    TempTree tree;
    tree.File("src/Home/private/notes.txt", "notes");
    ASSERT_EQ(::chmod(tree.Path("src/Home/private").c_str(), 0700), 0);
    ASSERT_EQ(::chown(tree.Path("src/Home/private").c_str(), 1234, 1234), 0);
    ASSERT_EQ(::chmod(tree.Path("src/Home").c_str(), 0750), 0);
    tree.Folder("dest/Home");
    ASSERT_EQ(::chmod(tree.Path("dest/Home").c_str(), 0755), 0);  // there already: left as it is
    NativeFileSystem fs;
    Backup backup(fs, tree.Path("src/Home"));
    EXPECT_EQ(backup.Run(tree.Path("dest"), false).copied, 1);
    struct stat made {
    }, kept {};
    ASSERT_EQ(::stat(tree.Path("dest/Home/private").c_str(), &made), 0);
    ASSERT_EQ(::stat(tree.Path("dest/Home").c_str(), &kept), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);
    EXPECT_EQ(made.st_uid, 1234u);
    EXPECT_EQ(kept.st_mode & 07777, 0755u);
}

}  // namespace
}  // namespace tandrel
