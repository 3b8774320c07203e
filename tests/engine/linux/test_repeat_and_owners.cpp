// Repeat backups, owners and set-id bits, and sparse files, on the real file
// system; what only another file system would do comes through the system
// call seam.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/engine/fakes.h"
#include "tests/engine/fs_checks.h"
#include "engine/nativefs.h"
#include "engine/linux/caps.h"
#include "engine/linux/systemcalls.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

struct stat StatOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
}

void SetMtime(const std::string& path, std::time_t seconds, long nanoseconds)
{
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Keeps times at 2 s, rounded down, as FAT does.
class FatTimes : public SystemCalls {
public:
    int Futimens(int fd, const struct timespec times[2]) override
    {
        const struct timespec rounded[2] = {Round(times[0]), Round(times[1])};
        return SystemCalls::Futimens(fd, rounded);
    }
    int UtimensAt(int folder, const char* name, const struct timespec times[2], int flags) override
    {
        const struct timespec rounded[2] = {Round(times[0]), Round(times[1])};
        return SystemCalls::UtimensAt(folder, name, rounded, flags);
    }

private:
    static struct timespec Round(struct timespec t) { return {t.tv_sec - t.tv_sec % 2, 0}; }
};

class RepeatBackup : public ::testing::Test {
protected:
    RepeatBackup()
    {
        for (int i = 0; i < 5; ++i) {
            files.push_back(tree.File("src/Data/f" + std::to_string(i), std::string(100 * (i + 1), 'a' + i)));
            SetMtime(files.back(), 1700000001 + i, 123456789);
        }
    }
    CopySummary Backup(FileSystem& fs)
    {
        BackupEngine engine {state, host, fs, PathStyle::Posix()};
        state.directoryData = std::make_shared<const Strings>(Strings {tree.Path("src/Data")});
        return engine.Copy(files, tree.Path("dest") + "/", true, CopyMode::DirectoryCopy);
    }
    std::string Target(int i) const { return tree.Path("dest/Data/f" + std::to_string(i)); }

    TempTree tree;
    Strings files;
    JobState state;
    RecordingHost host {&state};
};

TEST_F(RepeatBackup, UnchangedTargetsKeepTheirInodeAndChangedOnesAreReplaced)
{
    NativeFileSystem fs;
    EXPECT_EQ(Backup(fs).copied, 5);
    std::vector<ino_t> inodes;
    for (int i = 0; i < 5; ++i) inodes.push_back(StatOf(Target(i)).st_ino);
    const auto boxes = host.Boxes();

    // f1 changes its content but not its size, f2 only its time (by less
    // than a second), f3 only its size.
    tree.File("src/Data/f1", std::string(200, 'X'));
    SetMtime(files[1], 1700000002, 999999999);
    SetMtime(files[2], 1700000003, 123456788);
    tree.File("src/Data/f3", std::string(401, 'd'));
    SetMtime(files[3], 1700000004, 123456789);

    const CopySummary repeat = Backup(fs);
    EXPECT_EQ(repeat.copied, 3);
    EXPECT_EQ(repeat.upToDate, 2);
    EXPECT_EQ(StatOf(Target(0)).st_ino, inodes[0]);
    EXPECT_EQ(StatOf(Target(4)).st_ino, inodes[4]);
    EXPECT_EQ(TempTree::Read(Target(1)), std::string(200, 'X'));
    EXPECT_EQ(StatOf(Target(2)).st_mtim.tv_nsec, 123456788);
    EXPECT_EQ(TempTree::Read(Target(3)), std::string(401, 'd'));
    // Same totals as the first backup, bar f3's extra byte.
    EXPECT_EQ(repeat.bytes, 1501);
    EXPECT_EQ(host.Boxes().back().text, "1 KB copied successfully");
    EXPECT_EQ(boxes.back().text, "1 KB copied successfully");
    EXPECT_FALSE(HasTemporaryFile(tree, "dest/Data"));
}

TEST_F(RepeatBackup, TimesKeptAtTwoSecondsStillMatch)
{
    FatTimes fat;
    NativeFileSystem fs(&fat);
    EXPECT_EQ(Backup(fs).copied, 5);
    EXPECT_EQ(StatOf(Target(1)).st_mtim.tv_sec, 1700000002);  // ...3.123 kept as ...2
    EXPECT_EQ(StatOf(Target(1)).st_mtim.tv_nsec, 0);

    const CopySummary repeat = Backup(fs);
    EXPECT_EQ(repeat.upToDate, 5);
    EXPECT_EQ(repeat.copied, 0);

    // A change of two seconds or more shows even there.
    SetMtime(files[0], 1700000003, 123456789);
    EXPECT_EQ(Backup(fs).copied, 1);
}

// Takes no time a file is given, as a remote that gives each file the time
// it wrote it.
class NoTimes : public SystemCalls {
public:
    int Futimens(int, const struct timespec[2]) override { return Refuse(); }
    int UtimensAt(int, const char*, const struct timespec[2], int) override { return Refuse(); }

private:
    static int Refuse()
    {
        errno = EPERM;
        return -1;
    }
};

TEST_F(RepeatBackup, WhereNoTimeIsKeptACopyIsAsNewAsItWasMade)
{
    // A file system of no known kind is asked whether it keeps times.
    NoTimes calls;
    const DestinationCaps remote = DestinationCaps::Of(FsKind::Other, "remote");
    NativeFileSystem fs(&calls, &remote);
    const CopySummary first = Backup(fs);
    EXPECT_EQ(first.copied, 5);
    ASSERT_EQ(first.notes.size(), 1u);
    EXPECT_NE(first.notes[0].find("keeps no modification times"), std::string::npos) << first.notes[0];

    // The sources are older than their copies: up to date, not changed forever.
    EXPECT_EQ(Backup(fs).upToDate, 5);
    // A copy made before its source last changed is not.
    SetMtime(Target(0), 1700000000, 0);
    EXPECT_EQ(Backup(fs).copied, 1);
}

TEST_F(RepeatBackup, AnExactFileSystemTellsASecondApart)
{
    NativeFileSystem fs;
    Backup(fs);
    SetMtime(Target(0), 1700000000, 123456789);  // one second older than its source
    EXPECT_EQ(Backup(fs).copied, 1);
}

// --- Owners and set-id bits --------------------------------------------------

// Refuses every change of owner, as for a user who is not root.
class NoChown : public SystemCalls {
public:
    int Fchown(int, uid_t, gid_t) override
    {
        errno = EPERM;
        return -1;
    }
};

// ntfs-3g: says yes and changes nothing.
class IgnoredChown : public SystemCalls {
public:
    int Fchown(int, uid_t, gid_t) override { return 0; }
};

class Owners : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
        source = tree.File("src/tool", "#!/bin/sh\n");
        ASSERT_EQ(::chown(source.c_str(), 1234, 5678), 0);
        ASSERT_EQ(::chmod(source.c_str(), 06755), 0);
        tree.Folder("out");
    }
    TempTree tree;
    std::string source;
};

TEST_F(Owners, RootKeepsOwnerGroupAndSetIdBits)
{
    NativeFileSystem fs;
    fs.CopyFile(source, tree.Path("out/tool"), false);
    const struct stat copy = StatOf(tree.Path("out/tool"));
    EXPECT_EQ(copy.st_uid, 1234u);
    EXPECT_EQ(copy.st_gid, 5678u);
    EXPECT_EQ(copy.st_mode & 07777, 06755u);
}

TEST_F(Owners, ACopyThatCannotKeepTheOwnerDropsTheSetIdBits)
{
    NoChown refused;
    IgnoredChown ignored;
    for (SystemCalls* calls : {static_cast<SystemCalls*>(&refused), static_cast<SystemCalls*>(&ignored)}) {
        NativeFileSystem fs(calls);
        const std::string target = tree.Path("out/tool");
        fsys::remove(target);
        fs.CopyFile(source, target, false);
        const struct stat copy = StatOf(target);
        EXPECT_EQ(copy.st_uid, 0u);
        EXPECT_EQ(copy.st_mode & 07777, 0755u) << std::oct << (copy.st_mode & 07777);
    }
    // A plain file of another owner keeps its bits all the same.
    ASSERT_EQ(::chmod(source.c_str(), 0640), 0);
    NativeFileSystem fs(&refused);
    fs.CopyFile(source, tree.Path("out/plain"), false);
    EXPECT_EQ(StatOf(tree.Path("out/plain")).st_mode & 07777, 0640u);
}

// --- Sparse files --------------------------------------------------------------

TEST(SparseFiles, HolesStayHoles)
{
    TempTree tree;
    const std::string source = tree.Path("disk.img");
    {
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "abc", 3, 4096 * 100), 3);
        ASSERT_EQ(::pwrite(fd, "xyz", 3, (1LL << 30) - 3 - 4096 * 7), 3);
        ASSERT_EQ(::ftruncate(fd, 1LL << 30), 0);
        ::close(fd);
    }
    if (StatOf(source).st_blocks * 512 >= (1LL << 20)) GTEST_SKIP() << "this file system makes no sparse files";
    NativeFileSystem fs;
    tree.Folder("out");
    fs.CopyFile(source, tree.Path("out/disk.img"), false);
    const struct stat copy = StatOf(tree.Path("out/disk.img"));
    EXPECT_EQ(copy.st_size, 1LL << 30);
    EXPECT_LT(copy.st_blocks * 512, 4LL << 20);
    // The data is where it was, the holes read as zeros.
    const int fd = ::open(tree.Path("out/disk.img").c_str(), O_RDONLY);
    char buffer[8] = {};
    EXPECT_EQ(::pread(fd, buffer, 5, 4096 * 100 - 1), 5);
    EXPECT_EQ(std::string(buffer, 5), std::string("\0abc\0", 5));
    EXPECT_EQ(::pread(fd, buffer, 3, (1LL << 30) - 3 - 4096 * 7), 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    EXPECT_EQ(::pread(fd, buffer, 4, (1LL << 30) - 4), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
    ::close(fd);
}

}  // namespace
}  // namespace tandrel
