// Path text rules, in the Windows style (drive roots, backslashes) and in the
// POSIX style the engine runs with here.
#include <gtest/gtest.h>

#include "engine/paths.h"

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

// Where the part of a file's path that its Directory Copy target keeps
// begins, for the file under the entry given; npos for none.
std::string Kept(std::string_view entry, std::string_view file, PathStyle style)
{
    const std::size_t start = KeptPathStart(entry, file, style);
    return start == std::string_view::npos ? "<none>" : std::string(file.substr(start));
}

TEST(PathRules, AFileKeepsItsPathFromTheNameOfTheEntryItLiesUnder)
{
    // A folder entry: from its own name; a file entry: from its folder's name.
    EXPECT_EQ(Kept(R"(C:\Data\Photos)", R"(C:\Data\Photos\2004\p2.jpg)", kWin), R"(Photos\2004\p2.jpg)");
    EXPECT_EQ(Kept(R"(C:\Docs\a.txt)", R"(C:\Docs\a.txt)", kWin), R"(Docs\a.txt)");
    EXPECT_EQ(Kept("/home/me", "/home/me/docs/x.txt", kPosix), "me/docs/x.txt");
    EXPECT_EQ(Kept("/tmp/mt/m", "/tmp/mt/m/old.txt", kPosix), "m/old.txt");
    // Whole components only, case-sensitively.
    EXPECT_EQ(Kept(R"(C:\Data)", R"(C:\MyData\x.txt)", kWin), "<none>");
    EXPECT_EQ(Kept(R"(C:\Data)", R"(C:\DataSet\x.txt)", kWin), "<none>");
    EXPECT_EQ(Kept("/home/me", "/home/Me/x.txt", kPosix), "<none>");
    EXPECT_EQ(Kept("/home/me", "/home/me", kPosix), "home/me");  // the entry itself: a file entry
    EXPECT_EQ(Kept(R"(C:\Docs\a.txt)", R"(C:\Docs\a.txt.bak)", kWin), "<none>");
    // A final separator on an entry changes nothing.
    EXPECT_EQ(Kept("/home/me/", "/home/me/x.txt", kPosix), "me/x.txt");
    EXPECT_EQ(Kept(R"(C:\Data\)", R"(C:\Data\x.txt)", kWin), R"(Data\x.txt)");
}

TEST(PathRules, RootsKeepEverythingBelowThemAndCaptureNothingAsFiles)
{
    EXPECT_EQ(Kept(R"(C:\)", R"(C:\Sub\b.txt)", kWin), R"(Sub\b.txt)");
    EXPECT_EQ(Kept(R"(C:\)", R"(D:\Sub\b.txt)", kWin), "<none>");
    EXPECT_EQ(Kept("/", "/srv/a.txt", kPosix), "srv/a.txt");
    // A file at a root goes into the destination itself, and stands for
    // itself alone.
    EXPECT_EQ(Kept(R"(C:\b.txt)", R"(C:\b.txt)", kWin), "b.txt");
    EXPECT_EQ(Kept(R"(C:\b.txt)", R"(C:\Data\x.txt)", kWin), "<none>");
    EXPECT_EQ(Kept("/b.txt", "/b.txt", kPosix), "b.txt");
    EXPECT_EQ(Kept("/b.txt", "/srv/b.txt", kPosix), "<none>");
    EXPECT_TRUE(IsRoot(R"(C:\)", kWin));
    EXPECT_TRUE(IsRoot("/", kPosix));
    EXPECT_FALSE(IsRoot(R"(C:\x)", kWin));
}

TEST(PathRules, TypedEntriesBecomeAbsoluteAndNormal)
{
    // Spellings of one folder, typed in /home/ann.
    for (const char* typed : {"Photos/", "Photos", "./Photos", "../ann/Photos/", "/home/ann//Photos/."})
        EXPECT_EQ(AbsoluteEntry(typed, "/home/ann", kPosix), "/home/ann/Photos") << typed;
    EXPECT_EQ(AbsoluteEntry("a.txt", "/", kPosix), "/a.txt");
    EXPECT_EQ(AbsoluteEntry("/", "/home", kPosix), "/");
    EXPECT_EQ(AbsoluteEntry("../../..", "/home/ann", kPosix), "/");
    EXPECT_EQ(AbsoluteEntry(".", "/home/ann", kPosix), "/home/ann");
    EXPECT_EQ(AbsoluteEntry(R"(Photos\)", R"(C:\Users\ann)", kWin), R"(C:\Users\ann\Photos)");
    EXPECT_EQ(AbsoluteEntry(R"(..\bob\.\x)", R"(C:\Users\ann)", kWin), R"(C:\Users\bob\x)");
    EXPECT_EQ(AbsoluteEntry(R"(D:\)", R"(C:\Users\ann)", kWin), R"(D:\)");
    EXPECT_EQ(AbsoluteEntry(R"(\Data)", R"(C:\Users\ann)", kWin), R"(C:\Data)");
    EXPECT_EQ(AbsoluteEntry("./Photos/", R"(C:\Users\ann)", kWin), R"(C:\Users\ann\Photos)");
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
    EXPECT_TRUE(NamesListFile(R"(C:\Lists\old.lst)"));  // a folder so named counts too
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

TEST(PathRules, NoKeyNamesNoPath)
{
    const std::string none = NoKey();
    for (const char* path : {"/", "/a?b/c", R"(C:\?)", ""})
        EXPECT_EQ(std::string_view(path).find(none), std::string_view::npos) << path;
    EXPECT_FALSE(none.empty());
}

}  // namespace
}  // namespace tandrel
