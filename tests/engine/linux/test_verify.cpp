// The record of hashes a backup keeps in its destination, the verify that
// reads each copy back, and the check of a backup alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "engine/hashrecord.h"
#include "engine/linux/systemcalls.h"
#include "engine/nativefs.h"
#include "tests/engine/fakes.h"
#include "support/quoted.h"
#include "tests/engine/fs_checks.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

// Copies by reading and writing where `reading` (no clone, no
// copy_file_range); with `cloning`, a clone succeeds (as the kernel's copy).
// `beforeReadBack` runs as a read back drops a copy's pages, between the
// flush and the read.
class ReadingCalls : public SystemCalls {
public:
    std::atomic<bool> reading {true};
    std::atomic<bool> cloning {false};
    std::function<void(int fd)> beforeReadBack;

    int Clone(int out, int in) override
    {
        if (cloning) {
            struct stat info {};
            off_t from = 0, to = 0;
            return ::fstat(in, &info) == 0 && ::copy_file_range(in, &from, out, &to, info.st_size, 0) == info.st_size
                       ? 0
                       : -1;
        }
        if (!reading) return SystemCalls::Clone(out, in);
        errno = EOPNOTSUPP;
        return -1;
    }
    ssize_t CopyFileRange(int in, off_t* inAt, int out, off_t* outAt, size_t length) override
    {
        if (!reading) return SystemCalls::CopyFileRange(in, inAt, out, outAt, length);
        errno = EXDEV;
        return -1;
    }
    int Fadvise(int fd, off_t offset, off_t length, int advice) override
    {
        if (beforeReadBack) beforeReadBack(fd);
        return SystemCalls::Fadvise(fd, offset, length, advice);
    }
};

struct Backup {
    Backup(FileSystem& fileSystem, Strings entries) : fs(fileSystem), entries_(std::move(entries)) {}
    CopySummary Run(const std::string& destination, bool verify = false)
    {
        state.ResetLists();
        state.directoryData = std::make_shared<const Strings>(entries_);
        state.dragNdrop = true;
        engine.GetFiles(entries_, true);
        engine.SetVerify(verify);
        return engine.Copy(state.syncfileList.ToArray(), destination + "/", true, CopyMode::DirectoryCopy);
    }
    FileSystem& fs;
    Strings entries_;
    JobState state;
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
};

HashRecord RecordOf(const std::string& destination)
{
    return ParseRecord(TempTree::Read(destination + "/" + kHashRecordName));
}

ContentHash HashOfText(const std::string& text)
{
    ContentHasher hasher;
    hasher.Add(text.data(), text.size());
    return hasher.Digest();
}

std::int64_t MtimeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// Written a while ago: a file written in the moment of its backup is
// copied again by the next one.
std::string Aged(const std::string& path, std::time_t seconds = 1700000000)
{
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    return path;
}

// Changes one byte of `path` in place and gives it back its times, as a
// drive that rots a bit does.
void Rot(const std::string& path)
{
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, 0), 1);
    byte ^= 0x20;
    ASSERT_EQ(::pwrite(fd, &byte, 1, 0), 1);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
}

TEST(HashRecord, HoldsWhatTheCopyReadAndKeepsWhatARunDidNotHandle)
{
    TempTree tree;
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    Aged(tree.File("src/Data/a.txt", "alpha"));
    Aged(tree.File("src/Data/big.bin", big));
    Aged(tree.File("src/Data/odd\nname\\x", "escaped"));
    // A sparse file: only its data is read, its holes hash as zeros.
    const std::string sparse = tree.File("src/Data/sparse.bin");
    ASSERT_EQ(::truncate(sparse.c_str(), 5 << 20), 0);
    {
        const int fd = ::open(sparse.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, "data", 4, 3 << 20), 4);
        ::close(fd);
    }
    Aged(sparse);
    ReadingCalls calls;
    NativeFileSystem fs(&calls);
    Backup backup(fs, {tree.Path("src/Data")});
    ASSERT_EQ(backup.Run(tree.Path("dest")).copied, 4);

    HashRecord record = RecordOf(tree.Path("dest"));
    ASSERT_EQ(record.size(), 4u);
    for (const auto& [key, copy] : record) {
        const std::string target = tree.Path("dest/" + key);
        const std::string content = TempTree::Read(target);
        EXPECT_EQ(copy.hash, HashOfText(content)) << key;
        EXPECT_EQ(copy.size, content.size()) << key;
        EXPECT_EQ(copy.modified, MtimeOf(target)) << key;
        EXPECT_EQ(copy.checked, 0) << key;  // not read back: never checked
    }
    ASSERT_TRUE(record.count("Data/odd\nname\\x"));

    // The next run drops big.bin from its list and copies a.txt anew by the
    // kernel's copy, which reads nothing: a.txt has no hash now, big.bin
    // keeps its entry.
    Aged(tree.File("src/Data/a.txt", "alpha, changed"), 1700000100);
    ::unlink(tree.Path("src/Data/big.bin").c_str());
    calls.reading = false;
    ASSERT_EQ(backup.Run(tree.Path("dest")).copied, 1);
    record = RecordOf(tree.Path("dest"));
    EXPECT_FALSE(record.count("Data/a.txt"));
    EXPECT_EQ(record.at("Data/big.bin").hash, HashOfText(big));
    EXPECT_TRUE(record.count("Data/sparse.bin"));

    // A backup of the destination itself leaves its record behind.
    calls.reading = true;
    Backup again(fs, {tree.Path("dest")});
    again.Run(tree.Path("dest2"));
    EXPECT_FALSE(std::filesystem::exists(tree.Path("dest2/dest/") + kHashRecordName));
    EXPECT_TRUE(RecordOf(tree.Path("dest2")).count("dest/Data/big.bin"));
}

// A record a backup did not write (a line it can't read, two lines for one
// path, lines out of order) is merged all the same: the placed copies get
// new entries, the others stay, and it is written back in order.
TEST(HashRecord, AMergeKeepsTheOtherEntriesOfAnyRecordAndReplacesThePlacedOnes)
{
    TempTree tree;
    ReadingCalls calls;
    NativeFileSystem fs(&calls);
    Backup backup(fs, {tree.Path("src/Data")});
    auto line = [](const std::string& key, int size) {
        return std::string(32, 'e') + " " + std::to_string(size) + " 5 6 " + key + "\n";
    };
    for (const bool sorted : {true, false}) {
        const std::string round = sorted ? "1" : "2";
        Aged(tree.File("src/Data/a.txt", "alpha" + round), 1700000000 + (sorted ? 0 : 100));
        Aged(tree.File("src/Data/b.txt", "bee" + round), 1700000000 + (sorted ? 0 : 100));
        std::string text = "tandrel-hashes 1\n" + line("Data/a.txt", 1) + "not a line\n" + line("Data/c.txt", 2) +
                           line("Data/c.txt", 3) + line("Data/d\\nx", 4);
        if (!sorted) text += line("Data/b.txt", 5) + line("A", 6);
        tree.File(std::string("dest/") + kHashRecordName, text);
        ASSERT_EQ(backup.Run(tree.Path("dest")).copied, 2);
        const std::string written = TempTree::Read(tree.Path("dest/") + kHashRecordName);
        const HashRecord record = ParseRecord(written);
        EXPECT_EQ(written, FormatRecord(record));  // every line read, in order, one a path
        EXPECT_EQ(record.size(), sorted ? 4u : 5u);
        EXPECT_EQ(record.at("Data/a.txt").hash, HashOfText("alpha" + round));
        EXPECT_EQ(record.at("Data/b.txt").hash, HashOfText("bee" + round));
        EXPECT_EQ(record.at("Data/c.txt").size, 3u);
        EXPECT_EQ(record.at("Data/d\nx").size, 4u);
    }
}

TEST(Verify, ACopyChangedAfterItWasPlacedFailsAndItsOldCopyStaysKept)
{
    TempTree tree;
    Aged(tree.File("src/Data/a.txt", "version one"));
    Aged(tree.File("src/Data/b.txt", "bee"));
    ReadingCalls calls;
    // A clone reads nothing: the verify reads the source for its hash.
    calls.cloning = true;
    NativeFileSystem fs(&calls);
    Backup backup(fs, {tree.Path("src/Data")});
    ASSERT_EQ(backup.Run(tree.Path("dest"), true).verified, 2);
    EXPECT_EQ(RecordOf(tree.Path("dest")).at("Data/a.txt").hash, HashOfText("version one"));
    calls.cloning = false;
    calls.reading = false;  // the kernel's copy where it may: a verified copy reads its source

    Aged(tree.File("src/Data/a.txt", "version two"), 1700000100);
    const std::string target = tree.Path("dest/Data/a.txt");
    std::atomic<bool> rotted {false};
    calls.beforeReadBack = [&](int fd) {
        struct stat read {
        }, copy {};
        if (::fstat(fd, &read) == 0 && ::stat(target.c_str(), &copy) == 0 && read.st_ino == copy.st_ino &&
            !rotted.exchange(true))
            Rot(target);
    };
    const CopySummary summary = backup.Run(tree.Path("dest"), true);
    EXPECT_EQ(summary.verifyFailed, 1);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(summary.copied, 0);
    const auto boxes = backup.host.Boxes();
    EXPECT_NE(std::find_if(boxes.begin(), boxes.end(),
                           [&](const MessageBoxRequest& box) {
                               return box.text.find(support::Quoted(target)) != std::string::npos &&
                                      box.text.find("content differs") != std::string::npos;
                           }),
              boxes.end());
    // The copy it replaced is kept, and the record has what the source held.
    Strings kept;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.Path("dest/Tandrel Versions")))
        if (entry.path().filename() == "a.txt") kept.push_back(entry.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(TempTree::Read(kept[0]), "version one");
    EXPECT_EQ(RecordOf(tree.Path("dest")).at("Data/a.txt").hash, HashOfText("version two"));

    // The damaged copy is not taken for up to date: the next backup copies it again.
    calls.beforeReadBack = nullptr;
    const CopySummary next = backup.Run(tree.Path("dest"), true);
    EXPECT_EQ(next.copied, 1);
    EXPECT_EQ(next.verifyFailed, 0);
    EXPECT_EQ(TempTree::Read(target), "version two");
}

TEST(Check, ReportsDamagedAndMissingCopiesAndSamplesTheLeastRecentlyChecked)
{
    TempTree tree;
    for (const char* name : {"a", "b", "c", "d"}) Aged(tree.File(std::string("src/Data/") + name, name));
    NativeFileSystem fs;
    Backup backup(fs, {tree.Path("src/Data")});
    ASSERT_EQ(backup.Run(tree.Path("dest"), true).verified, 4);
    const std::string dest = tree.Path("dest") + "/";
    const std::int64_t t0 = RecordOf(dest).at("Data/a").checked;
    ASSERT_GT(t0, 0);

    Strings reports;
    auto check = [&](double percent, std::int64_t now) {
        reports.clear();
        const auto session = fs.BeginCopy(dest);
        return CheckCopies(*session, dest, PathStyle::Posix(), percent, now, 2,
                           [&](const std::string& report) { reports.push_back(report); });
    };
    auto checkedTimes = [&] {
        std::vector<std::int64_t> times;
        for (const auto& [key, copy] : RecordOf(dest)) times.push_back(copy.checked - t0);
        return times;
    };
    EXPECT_EQ(check(50, t0 + 100).checked, 2);
    EXPECT_EQ(checkedTimes(), (std::vector<std::int64_t> {100, 100, 0, 0}));
    EXPECT_EQ(check(50, t0 + 200).checked, 2);
    EXPECT_EQ(checkedTimes(), (std::vector<std::int64_t> {100, 100, 200, 200}));

    Rot(dest + "Data/c");
    ::unlink((dest + "Data/d").c_str());
    const CheckSummary all = check(100, t0 + 300);
    EXPECT_EQ(all.checked, 4);
    EXPECT_EQ(all.damaged, 1);
    EXPECT_EQ(all.missing, 1);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].rfind("damaged: " + support::Quoted(dest + "Data/c") + ": its content differs", 0), 0u)
        << reports[0];
    EXPECT_EQ(reports[1], "missing: " + support::Quoted(dest + "Data/d") + ": it is missing");
    // What was found wrong keeps its last good check, and comes first again.
    EXPECT_EQ(checkedTimes(), (std::vector<std::int64_t> {300, 300, 200, 200}));
    EXPECT_EQ(check(25, t0 + 400).damaged, 1);
    EXPECT_EQ(reports.size(), 1u);
}

}  // namespace
}  // namespace tandrel
