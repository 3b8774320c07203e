// The platform's copy beyond the happy path: permission bits whatever the
// umask, and the removal of what killed copies left behind, which must never
// touch a file that merely looks like a leftover or one a running copy writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/nativefs.h"
#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

mode_t ModeOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Sets the process's umask for the life of the object.
class Umask {
public:
    explicit Umask(mode_t mask) : old_(::umask(mask)) {}
    ~Umask() { ::umask(old_); }

private:
    mode_t old_;
};

class NativeCopy : public ::testing::Test {
protected:
    TempTree tree;
    NativeFileSystem fs;
};

TEST_F(NativeCopy, PermissionBitsAreTheSourcesWhateverTheUmask)
{
    // The first file in a folder and the ones after it take different paths,
    // so each folder gets several files, in an order that puts a mode the
    // umask would cut both first and later.
    const std::vector<mode_t> modes = {0644, 0666, 0600, 0755, 0777, 0640, 04755, 0444, 0};
    for (const mode_t mask : {022, 077, 0, 027}) {
        const Umask umask(mask);
        const std::string folder = "out-" + std::to_string(mask) + "/";
        for (std::size_t i = 0; i < modes.size(); ++i) {
            const std::string source = tree.File("src/f" + std::to_string(i), "data " + std::to_string(i));
            ASSERT_EQ(::chmod(source.c_str(), modes[i]), 0);
            tree.Folder(folder);
            fs.CopyFile(source, tree.Path(folder + "f" + std::to_string(i)), false);
            EXPECT_EQ(ModeOf(tree.Path(folder + "f" + std::to_string(i))), modes[i])
                << "mode " << std::oct << modes[i] << " under umask " << mask;
        }
    }
}

TEST_F(NativeCopy, ReplacingATargetLeavesNothingBesideIt)
{
    const std::string source = tree.File("src/a", "new content");
    const std::string target = tree.File("out/a", "old");
    ::chmod(source.c_str(), 0600);
    fs.CopyFile(source, target, true);
    EXPECT_EQ(TempTree::Read(target), "new content");
    EXPECT_EQ(ModeOf(target), 0600u);
    EXPECT_EQ(tree.Names("out"), Strings {"a"});
    // A target that is not there yet is made without a detour as well.
    fs.CopyFile(source, tree.Path("out/b"), true);
    EXPECT_EQ(tree.Names("out"), (Strings {"a", "b"}));
}

TEST_F(NativeCopy, ACopyIsOfTheFileNamedNotOfTheOneLastMeasured)
{
    // The length of a file is asked right before its copy, and the copy
    // reuses what the question opened, but only for the same file.
    const std::string a = tree.File("src/a", "content of a");
    const std::string b = tree.File("src/b", "content of b");
    tree.Folder("out");
    EXPECT_EQ(fs.FileLength(a), 12u);
    fs.CopyFile(b, tree.Path("out/b"), false);
    EXPECT_EQ(TempTree::Read(tree.Path("out/b")), "content of b");
    EXPECT_EQ(fs.FileLength(a), 12u);
    tree.File("src/a", "a changed after its length was asked");
    fs.CopyFile(a, tree.Path("out/a"), false);
    EXPECT_EQ(TempTree::Read(tree.Path("out/a")), "a changed after its length was asked");
}

TEST_F(NativeCopy, ANameMetTwiceInAFolderTheBackupMadeIsStillATargetThatExists)
{
    // Copies into a folder the backup made skip looking for a target first;
    // a second file of the same name must still be refused, or replace the
    // first only with overwrite.
    const std::string a = tree.File("src/a/same", "first");
    const std::string b = tree.File("src/b/same", "second");
    fs.CreateDirectory(tree.Path("out/made/"));
    const std::string target = tree.Path("out/made/same");
    fs.CopyFile(a, target, false);
    try {
        fs.CopyFile(b, target, false);
        ADD_FAILURE() << "the second copy replaced the first";
    } catch (const FsError& error) {
        EXPECT_EQ(error.code(), EEXIST) << error.what();
    }
    EXPECT_EQ(TempTree::Read(target), "first");
    fs.CopyFile(b, target, true);
    EXPECT_EQ(TempTree::Read(target), "second");
    EXPECT_EQ(tree.Names("out/made"), Strings {"same"});
}

TEST_F(NativeCopy, LeftoversOfKilledCopiesAreRemovedAndNothingElse)
{
    const std::string leftover = ".~tandrel-0123456789ab.tmp";
    tree.File("out/" + leftover, "partial");
    tree.File("out/.~tandrel-fedcba987654.tmp", "");
    // Look-alikes, each off by one detail, and the right name on things that
    // are not plain files or lie elsewhere.
    const Strings lookAlikes = {
        ".~tandrel-0123456789AB.tmp",       // upper-case digits
        ".~tandrel-0123456789a.tmp",        // 11 digits
        ".~tandrel-0123456789abc.tmp",      // 13 digits
        ".~tandrel-0123456789ag.tmp",       // not hexadecimal
        ".~tandrel-0123456789ab.tmp.keep",  // longer
        "x.~tandrel-0123456789ab.tmp",      // prefixed
        "~tandrel-0123456789ab.tmp",        // no dot
        ".~tandrel-0123456789ab.TMP",       // other suffix
        ".~Tandrel-0123456789ab.tmp",       // other prefix
    };
    for (const std::string& name : lookAlikes) tree.File("out/" + name, "keep " + name);
    tree.Folder("out/.~tandrel-aaaaaaaaaaaa.tmp");
    tree.File("out/.~tandrel-aaaaaaaaaaaa.tmp/inside", "kept with its folder");
    const std::string linked = tree.File("elsewhere/precious", "precious");
    tree.Symlink("out/.~tandrel-bbbbbbbbbbbb.tmp", linked);
    tree.File("out/sub/" + leftover, "in a folder the copy does not write to");

    fs.RemoveCopyTemporaries(tree.Path("out"));

    Strings expected = lookAlikes;
    expected.insert(expected.end(), {".~tandrel-aaaaaaaaaaaa.tmp", ".~tandrel-bbbbbbbbbbbb.tmp", "sub"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tree.Names("out"), expected);
    for (const std::string& name : lookAlikes) EXPECT_EQ(TempTree::Read(tree.Path("out/" + name)), "keep " + name);
    EXPECT_EQ(TempTree::Read(linked), "precious");
    EXPECT_EQ(tree.Names("out/sub"), Strings {leftover});
    // A trailing separator names the same folder; a missing one is no error.
    tree.File("out/" + leftover, "partial");
    fs.RemoveCopyTemporaries(tree.Path("out") + "/");
    EXPECT_FALSE(fsys::exists(tree.Path("out/" + leftover)));
    fs.RemoveCopyTemporaries(tree.Path("missing"));
}

TEST_F(NativeCopy, ATemporaryFileThatARunningCopyHoldsIsLeftAlone)
{
    // A copy holds a lock on its temporary file for as long as it writes it;
    // another backup into the same folder must not pull it away.
    const std::string busy = tree.File("out/.~tandrel-00000000beef.tmp", "being written");
    const int fd = ::open(busy.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    fs.RemoveCopyTemporaries(tree.Path("out"));
    EXPECT_TRUE(fsys::exists(busy));
    ::close(fd);  // the writer died: now it is a leftover
    fs.RemoveCopyTemporaries(tree.Path("out"));
    EXPECT_FALSE(fsys::exists(busy));
}

}  // namespace
}  // namespace tandrel
