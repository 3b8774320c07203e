// Copies on several threads on the real file system: every copy whole and
// right, and a backup stopped at one file leaves nothing of the files after it.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <mutex>
#include <new>

#include "engine/nativefs.h"
#include "engine/linux/systemcalls.h"
#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

class ParallelNative : public ::testing::Test {
protected:
    ParallelNative()
    {
        // 2,000 files in 40 folders, of sizes from 0 to about 7 KB.
        for (int i = 0; i < 2000; ++i) {
            const std::string name = "src/Data/d" + std::to_string(i / 50) + "/f" + std::to_string(i);
            files.push_back(tree.File(name, Content(i)));
        }
        engine.SetParallelCopies(4);
        state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    }
    static std::string Content(int i)
    {
        std::string content = "file " + std::to_string(i) + "\n";
        content.append(static_cast<std::size_t>((i * 7919) % 7000), static_cast<char>('a' + i % 26));
        return content;
    }
    std::string Target(int i) const
    {
        return tree.Path("dest/Data/d" + std::to_string(i / 50) + "/f" + std::to_string(i));
    }

    TempTree tree;
    Strings files;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

TEST_F(ParallelNative, EveryCopyIsWholeAndRight)
{
    const CopySummary summary = engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy);
    EXPECT_EQ(summary.copied, 2000);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(TempTree::Read(Target(i)), Content(i)) << Target(i);
    for (int d = 0; d < 40; ++d) EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data/d" + std::to_string(d)));
}

TEST_F(ParallelNative, AStopLeavesNothingOfTheFilesAfterIt)
{
    // The file at 1000 vanished since it was gathered; the user stops there.
    fsys::remove(files[1000]);
    host.Answer({DialogResult::No});
    const CopySummary summary = engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy);
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(summary.copied, 1000);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(TempTree::Read(Target(i)), Content(i));
    // The folder of file 1000 (d20) is made, as its name asked for it; none
    // after it stays, and no temporary file anywhere.
    Strings folders;
    for (auto& entry : fsys::directory_iterator(tree.Path("dest/Data"))) folders.push_back(entry.path().filename());
    EXPECT_EQ(Sorted(folders).size(), 21u) << "made folders after the stop stayed";
    EXPECT_TRUE(fsys::is_empty(tree.Path("dest/Data/d20")));
    for (const std::string& folder : folders) EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data/" + folder));
    EXPECT_FALSE(fsys::exists(Target(1001)));
}

TEST(ParallelRepeat, ARepeatJudgesATargetWhenItsTurnComes)
{
    TempTree tree;
    JobState state;
    RecordingHost host {&state};
    NativeFileSystem fs;
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    engine.SetParallelCopies(4);
    tree.Folder("flat");
    // Two files of one name into one folder: the second's copy is the target
    // after a backup; a repeat replaces it with the first, then must copy
    // the second again, though the target matched it when the repeat began.
    const std::string a = tree.File("src/A/x", "aaaa");
    const std::string b = tree.File("src/B/x", "bbbbb");
    const Strings twice = {a, b};
    engine.Copy(twice, tree.Path("flat") + "/", true, CopyMode::Consolidate);
    ASSERT_EQ(TempTree::Read(tree.Path("flat/x")), "bbbbb");
    const CopySummary repeat = engine.Copy(twice, tree.Path("flat") + "/", true, CopyMode::Consolidate);
    EXPECT_EQ(repeat.copied, 2);
    EXPECT_EQ(TempTree::Read(tree.Path("flat/x")), "bbbbb");
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

// Removes the folder the copies go into just before the copy of `name` is
// placed there, while the copies after it may already be written into it.
class FolderGoes : public SystemCalls {
public:
    FolderGoes(std::string folder, std::string name) : folder_(std::move(folder)), name_(std::move(name)) {}
    int LinkAt(int fromFolder, const char* from, int toFolder, const char* to, int flags) override
    {
        if (to == name_ && !removed_.exchange(true)) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
        return SystemCalls::LinkAt(fromFolder, from, toFolder, to, flags);
    }

private:
    std::string folder_;
    std::string name_;
    std::atomic<bool> removed_ {false};
};

class FolderGoneNative : public ::testing::TestWithParam<int> {};

TEST_P(FolderGoneNative, AFolderRemovedDuringTheBackupIsMadeAgainForTheFilesAfter)
{
    TempTree tree;
    Strings files;
    for (int i = 0; i < 100; ++i)
        files.push_back(tree.File("src/Data/f" + std::to_string(i), "content " + std::to_string(i)));
    FolderGoes goes(tree.Path("dest/Data"), "f50");
    NativeFileSystem fs(&goes);
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    engine.SetParallelCopies(GetParam());
    tree.Folder("dest");
    const CopySummary summary = engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy);
    EXPECT_EQ(summary.failed, 0) << (host.Boxes().empty() ? "" : host.Boxes().front().text);
    // What was placed before the removal went with the folder; every file
    // placed after it is there, whole: a run of the last files.
    int first = 100;
    while (first > 0 && std::filesystem::exists(tree.Path("dest/Data/f" + std::to_string(first - 1)))) --first;
    EXPECT_LE(first, 51);
    EXPECT_GE(first, 1);
    for (int i = first; i < 100; ++i)
        EXPECT_EQ(TempTree::Read(tree.Path("dest/Data/f" + std::to_string(i))), "content " + std::to_string(i)) << i;
    for (int i = 0; i < first; ++i) EXPECT_FALSE(std::filesystem::exists(tree.Path("dest/Data/f" + std::to_string(i))));
    EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data"));
}

INSTANTIATE_TEST_SUITE_P(Threads, FolderGoneNative, ::testing::Values(1, 4),
                         [](const auto& info) { return std::to_string(info.param); });

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

// Runs out of memory as it makes the output of the second copy.
class NoMemory : public SystemCalls {
public:
    int OpenAt(int folder, const char* name, int flags, mode_t mode) override
    {
        if ((flags & O_TMPFILE) == O_TMPFILE && ++outputs_ == 2) throw std::bad_alloc();
        return SystemCalls::OpenAt(folder, name, flags, mode);
    }

private:
    std::atomic<int> outputs_ {0};
};

TEST(ParallelFailure, WhateverAWorkThrowsFailsThatFileAlone)
{
    TempTree tree;
    Strings files;
    for (int i = 0; i < 3; ++i) files.push_back(tree.File("src/Data/f" + std::to_string(i), "content"));
    NoMemory calls;
    NativeFileSystem fs(&calls);
    JobState state;
    state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    engine.SetParallelCopies(4);
    const CopySummary summary = engine.Copy(files, tree.Path("dest") + "/", false, CopyMode::DirectoryCopy);
    EXPECT_EQ(summary.copied, 2);
    EXPECT_EQ(summary.failed, 1);
    ASSERT_EQ(host.Boxes().size(), 3u);  // the failure, the question, the closing message
    EXPECT_NE(host.Boxes()[0].text.find("bad_alloc"), std::string::npos) << host.Boxes()[0].text;
    EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data"));
}

}  // namespace
}  // namespace tandrel
