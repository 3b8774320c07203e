// Leaving things out: the rules' matching, and the gathering that applies
// them on the memory file system.
#include <gtest/gtest.h>

#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;

struct MatchCase {
    const char* rule;
    const char* path;  // below the rule's base, "/" between names
    bool folder;
    bool foldCase;
    bool matches;
};

std::vector<std::string_view> Names(std::string_view path)
{
    std::vector<std::string_view> names;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        names.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return names;
}

TEST(ExclusionRule, MatchesAsGitignoreDoes)
{
    const MatchCase cases[] = {
        // A bare name, at any depth.
        {"*.tmp", "a/b/x.tmp", false, false, true},
        {"*.tmp", "x.tmpl", false, false, false},
        {"lib*", "a/library", true, false, true},
        {"core", "src/core", false, false, true},
        // Folders only.
        {"node_modules/", "web/node_modules", true, false, true},
        {"node_modules/", "web/node_modules", false, false, false},
        // Anchored: at the start, or by a "/" inside.
        {"/build/", "build", true, false, true},
        {"/build/", "src/build", true, false, false},
        {"doc/*.txt", "doc/a.txt", false, false, true},
        {"doc/*.txt", "x/doc/a.txt", false, false, false},
        {"doc/*.txt", "doc/sub/a.txt", false, false, false},
        // ** spans folders.
        {"**/logs", "a/b/logs", true, false, true},
        {"a/**/b", "a/b", false, false, true},
        {"a/**/b", "a/x/y/b", false, false, true},
        {"a/**/b", "c/a/b", false, false, false},
        {"a/**", "a", true, false, false},
        {"a/**", "a/x", false, false, true},
        // Classes, ?, escapes.
        {"[ab]?.c", "bx.c", false, false, true},
        {"[!ab]?.c", "bx.c", false, false, false},
        {"[a-c]x", "Bx", false, true, true},
        {"*.[ao]", "x.o", false, false, true},
        {"*.[ao]", "x.c", false, false, false},
        {"*.[a-c]", "x.B", false, true, true},
        {"f[0-9]", "d/f7", false, false, true},
        {"\\#hash", "#hash", false, false, true},
        {"a\\*", "a*", false, false, true},
        {"a\\*", "ab", false, false, false},
        // Case, as the source file system has it.
        {"Thumbs.db", "thumbs.db", false, false, false},
        {"Thumbs.db", "thumbs.db", false, true, true},
        {"*.JPG", "a/b.jpg", false, true, true},
        {"/Build/", "build", true, true, true},
    };
    for (const MatchCase& c : cases) {
        // Through a walk's scope, as the gathering asks.
        auto exclusions = std::make_shared<Exclusions>(c.foldCase ? PathStyle::Windows() : PathStyle::Posix());
        exclusions->AddUserRules(c.rule);
        ASSERT_FALSE(exclusions->UserRules().Empty()) << c.rule;
        std::shared_ptr<const ExclusionScope> scope = ExclusionScope::ForEntry(exclusions);
        const std::vector<std::string_view> names = Names(c.path);
        for (std::size_t i = 0; i + 1 < names.size(); ++i) scope = scope->Child(names[i]);
        EXPECT_EQ(scope->LeftOutBy(names.back(), c.folder) != nullptr, c.matches)
            << c.rule << " against " << c.path << (c.folder ? " (folder)" : "") << (c.foldCase ? " (no case)" : "");
    }
    ExclusionRule none;
    for (const char* line : {"", "   ", "# a comment", "/", "!"})
        EXPECT_FALSE(ExclusionRule::Parse(line, none)) << line;
}

TEST(ExclusionScope, LastRuleDecidesAndCommandLineIsStrongest)
{
    auto exclusions = std::make_shared<Exclusions>(PathStyle::Posix());
    exclusions->AddUserRules("*.log\n!keep.log\n*.o\n");
    exclusions->AddCommandLineRules("!main.o\n");
    const auto entry = ExclusionScope::ForEntry(exclusions);
    EXPECT_NE(entry->LeftOutBy("x.log", false), nullptr);
    EXPECT_EQ(entry->LeftOutBy("keep.log", false), nullptr);
    EXPECT_NE(entry->LeftOutBy("a.o", false), nullptr);
    EXPECT_EQ(entry->LeftOutBy("main.o", false), nullptr);
    // A .tandrelignore below takes back a rule of the user's, for its folder
    // and below, and its anchored rules start at its own folder.
    const auto src = entry->Child("src")->WithIgnoreFile("!*.log\n/gen/\n");
    EXPECT_EQ(src->LeftOutBy("x.log", false), nullptr);
    EXPECT_EQ(src->Child("deep")->LeftOutBy("x.log", false), nullptr);
    EXPECT_NE(src->LeftOutBy("gen", true), nullptr);
    EXPECT_EQ(src->Child("deep")->LeftOutBy("gen", true), nullptr);
    EXPECT_NE(entry->Child("other")->LeftOutBy("x.log", false), nullptr);
}

TEST(LeftOutText, CountsAndSizesAsTheSummaryWritesThem)
{
    LeftOutTotals totals;
    totals.files = 1204;
    totals.bytes = 3328599655;  // 3.1 GiB
    totals.byRule = {{"node_modules/", 1180}, {"*.tmp", 24}};
    EXPECT_EQ(LeftOutLine(totals), "Left out: 1,204 files (3.1 GB): node_modules/ (1,180), *.tmp (24)");
    EXPECT_EQ(LeftOutPreview(totals), "1,204 files (3.1 GB) would be left out of the current backup list");
    EXPECT_EQ(ByteSize(0), "0 bytes");
    EXPECT_EQ(ByteSize(1536), "1.5 KB");
    EXPECT_EQ(ByteSize(1048575), "1.0 MB");
    EXPECT_EQ(GroupedNumber(999), "999");
    EXPECT_EQ(GroupedNumber(1000000), "1,000,000");
}

constexpr const char* kTag = "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n";

class GatherExclusions : public ::testing::Test {
protected:
    GatherExclusions()
    {
        fs.AddFile("/p/a.txt", 1);
        fs.AddFile("/p/a.tmp", 10);
        fs.AddFile("/p/b.o", 1);
        fs.AddFile("/p/node_modules/x/y.js", 100);
        fs.AddFile("/p/node_modules/z.js", 100);
        fs.AddFile("/p/src/.tandrelignore", 0, "*.o\n!keep.o\n/gen/\n");
        fs.AddFile("/p/src/b.c", 1);
        fs.AddFile("/p/src/b.o", 5);
        fs.AddFile("/p/src/keep.o", 1);
        fs.AddFile("/p/src/gen/g.c", 7);
        fs.AddFile("/p/src/sub/gen/h.c", 1);
        fs.AddFile("/p/src/sub/c.o", 3);
        fs.AddFile("/p/cache/CACHEDIR.TAG", 60, kTag);
        fs.AddFile("/p/cache/big.bin", 1000);
        fs.AddFile("/p/fake/CACHEDIR.TAG", 9, "Signature: nonsense");
        fs.SetHook([this](FsOp op, const std::string& path) {
            if (op == FsOp::List) listed.push_back(path);
        });
    }
    void Gather(const Strings& entries, bool subdirs = true)
    {
        engine.SetExclusions(std::make_shared<const Exclusions>(exclusions));
        engine.GetFiles(entries, subdirs);
    }
    Strings Files() const { return state.syncfileList.ToArray(); }

    JobState state;
    MemoryFileSystem fs {PathStyle::Posix()};
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Posix()};
    Exclusions exclusions {PathStyle::Posix()};
    Strings listed;
};

TEST_F(GatherExclusions, RulesAndTaggedCachesLeaveOutWithoutWalking)
{
    exclusions.AddUserRules("*.tmp\n");
    exclusions.AddCommandLineRules("node_modules/\n");
    Gather({"/p"});

    EXPECT_EQ(Files(), (Strings {"/p/a.txt", "/p/b.o", "/p/src/.tandrelignore", "/p/src/b.c", "/p/src/keep.o",
                                 "/p/fake/CACHEDIR.TAG", "/p/src/sub/gen/h.c"}));
    EXPECT_EQ(state.fileCount, 7);
    // The tagged cache was queued and its own folder listed, no more.
    EXPECT_EQ(state.folderCount, 6);  // the entry, src, cache, fake, sub, sub/gen
    EXPECT_EQ(listed, (Strings {"/p", "/p/src", "/p/cache", "/p/fake", "/p/src/sub", "/p/src/sub/gen"}));
    EXPECT_TRUE(host.Boxes().empty());

    const std::vector<LeftOutItem> leftOut = engine.LeftOut();
    ASSERT_EQ(leftOut.size(), 6u);
    const LeftOutTotals totals = TallyLeftOut(fs, leftOut, PathStyle::Posix());
    EXPECT_EQ(LeftOutLine(totals),
              "Left out: 8 files (1.3 KB): *.o (2), CACHEDIR.TAG (2), node_modules/ (2), *.tmp (1), /gen/ (1)");
    EXPECT_EQ(totals.bytes, 1285u);
}

TEST_F(GatherExclusions, AnEntryLeftOutIsAWarningAndTheNextEntryFollows)
{
    exclusions.AddUserRules("node_modules/\n");
    Gather({"/p/node_modules", "/p/cache", "/p/src/gen"});

    EXPECT_EQ(Files(), Strings {"/p/src/gen/g.c"});  // the .tandrelignore above an entry does not hold
    const std::vector<MessageBoxRequest> boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Box("The backup-list entry '/p/node_modules' is left out by the rule 'node_modules/'",
                            "Warning!", MessageBoxButtons::OK, MessageBoxIcon::Warning));
    EXPECT_EQ(boxes[1].text, "The backup-list entry '/p/cache' is left out by the rule 'CACHEDIR.TAG'");
    // Every entry stays in the backup list.
    const auto returns = host.Of(HostEvent::Kind::Return);
    ASSERT_EQ(returns.size(), 1u);
    EXPECT_EQ(returns[0].folderArray.size(), 3u);
}

TEST_F(GatherExclusions, TaggedCachesTurnedOffAreWalked)
{
    exclusions.taggedCaches = false;
    Gather({"/p/cache"}, false);
    EXPECT_EQ(Files(), (Strings {"/p/cache/CACHEDIR.TAG", "/p/cache/big.bin"}));
    EXPECT_TRUE(engine.LeftOut().empty());
}

TEST(GatherExclusionsWindows, NamesAndFoldersCompareWithoutCase)
{
    JobState state;
    MemoryFileSystem fs {PathStyle::Windows()};
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Windows()};
    fs.AddFile(R"(C:\Users\u\Photo.JPG)");
    fs.AddFile(R"(C:\Users\u\note.txt)");
    fs.AddFile(R"(C:\Users\u\AppData\Temp\t.dat)");
    fs.AddFile(R"(C:\Users\u\Keep\.TandrelIgnore)", 0, "NOTE.TXT\n");
    fs.AddFile(R"(C:\Users\u\Keep\note.txt)");
    auto exclusions = std::make_shared<Exclusions>(PathStyle::Windows());
    exclusions->AddUserRules("*.jpg\n");
    exclusions->LeaveOutFolder(R"(c:\users\U\appdata\temp)", "Temp");
    engine.SetExclusions(exclusions);
    engine.GetFiles({R"(C:\Users\u)"}, true);
    EXPECT_EQ(state.syncfileList.ToArray(), (Strings {R"(C:\Users\u\note.txt)", R"(C:\Users\u\Keep\.TandrelIgnore)"}));
}

}  // namespace
}  // namespace tandrel
