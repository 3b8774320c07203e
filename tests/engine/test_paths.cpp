// Path text rules, in the Windows style (drive roots, backslashes) and in the
// POSIX style the engine runs with here.
#include <gtest/gtest.h>

#include "paths.h"

namespace tandrel {
namespace {

constexpr PathStyle kWin = PathStyle::Windows();
constexpr PathStyle kPosix = PathStyle::Posix();

TEST(PathRules, SourceFolderAndRootInBothStyles)
{
    EXPECT_EQ(SourceFolder(R"(C:\Data\Photos\p1.jpg)", kWin), R"(C:\Data\Photos)");
    EXPECT_EQ(SourceFolder(R"(C:\b.txt)", kWin), R"(C:\)");
    EXPECT_TRUE(LiesAtRoot(R"(C:\b.txt)", kWin));
    EXPECT_FALSE(LiesAtRoot(R"(C:\Docs\a.txt)", kWin));
    EXPECT_FALSE(LiesAtRoot("/b.txt", kWin));

    EXPECT_EQ(SourceFolder("/data/photos/p1.jpg", kPosix), "/data/photos");
    EXPECT_EQ(SourceFolder("/b.txt", kPosix), "/");
    EXPECT_TRUE(LiesAtRoot("/b.txt", kPosix));
    EXPECT_FALSE(LiesAtRoot("/docs/a.txt", kPosix));
    EXPECT_FALSE(LiesAtRoot(R"(C:\b.txt)", kPosix));

    EXPECT_EQ(FileName(R"(C:\Data\Photos\2004\p2.jpg)", kWin), "p2.jpg");
    EXPECT_EQ(FileName("/data/p2.jpg", kPosix), "p2.jpg");
    EXPECT_EQ(FileName("plain", kPosix), "plain");
}

TEST(PathRules, EntryKeysFollowTheBackupListExamples)
{
    // A folder gives its own name, a file the name of its folder, a file at a
    // root the root itself, a root folder an empty key.
    EXPECT_EQ(EntryKey(R"(C:\Data\Photos)", false, kWin), "Photos");
    EXPECT_EQ(EntryKey(R"(C:\Docs\a.txt)", true, kWin), "Docs");
    EXPECT_EQ(EntryKey(R"(C:\b.txt)", true, kWin), R"(C:\)");
    EXPECT_EQ(EntryKey(R"(C:\)", false, kWin), "");
    EXPECT_EQ(EntryKey(R"(C:\Missing\Thing)", false, kWin), "Thing");
    EXPECT_EQ(EntryKey("NoSeparator", false, kWin), "NoSeparator");
    // A folder and a file of the same text give different keys.
    EXPECT_EQ(EntryKey(R"(C:\Data\Photos)", true, kWin), "Data");

    EXPECT_EQ(EntryKey("/data/photos", false, kPosix), "photos");
    EXPECT_EQ(EntryKey("/docs/a.txt", true, kPosix), "docs");
    EXPECT_EQ(EntryKey("/b.txt", true, kPosix), "/");
    EXPECT_EQ(EntryKey("/", false, kPosix), "");
}

TEST(PathRules, FolderCountingLooksForADotAnywhere)
{
    EXPECT_TRUE(CountsAsFolder(R"(C:\Data\Photos)"));
    EXPECT_FALSE(CountsAsFolder(R"(C:\Users\ann.lee\Docs)"));  // the dot is in a parent
    EXPECT_TRUE(CountsAsFolder(R"(C:\Tools\README)"));         // a file without a dot
    EXPECT_FALSE(CountsAsFolder(R"(C:\Docs\a.txt)"));
    EXPECT_FALSE(CountsAsFolder("/home/ann/.config"));
}

TEST(PathRules, ListFileNamesNeedLowerCaseDotLstPastTheFirstCharacter)
{
    EXPECT_TRUE(NamesListFile(R"(C:\Lists\old.lst)"));       // a folder so named counts too
    EXPECT_TRUE(NamesListFile(R"(C:\Notes\notes.lst.txt)"));
    EXPECT_FALSE(NamesListFile(R"(C:\LIST.LST)"));
    EXPECT_FALSE(NamesListFile(".lst"));
    EXPECT_TRUE(NamesListFile(".lst.lst"));  // the second one is past the start
    EXPECT_TRUE(NamesListFile("/home/ann/backup.lst"));
}

TEST(PathRules, JoiningAndSeparators)
{
    EXPECT_EQ(JoinPath(R"(E:\Backup)", "a.txt", kWin), R"(E:\Backup\a.txt)");
    EXPECT_EQ(JoinPath(R"(C:\)", "b.txt", kWin), R"(C:\b.txt)");
    EXPECT_EQ(JoinPath("/", "b.txt", kPosix), "/b.txt");
    EXPECT_EQ(AddSeparator("/srv/backup", kPosix), "/srv/backup/");
    EXPECT_EQ(WithoutFinalSeparator(R"(E:\Backup\)", kWin), R"(E:\Backup)");
    EXPECT_EQ(WithoutFinalSeparator("/srv/backup", kPosix), "/srv/backup");
}

TEST(PathRules, TheStartKeyOccursInNoPath)
{
    const std::string none = NoKey();
    for (const char* path : {"/", "/a?b/c", R"(C:\?)", ""})
        EXPECT_EQ(std::string_view(path).find(none), std::string_view::npos) << path;
    EXPECT_FALSE(none.empty());
}

}  // namespace
}  // namespace tandrel
