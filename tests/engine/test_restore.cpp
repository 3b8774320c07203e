// Getting files back, over an in-memory Windows-style tree: the index of
// sources that backups keep, the choice of a copy by date, and the restore
// with its conflicts.
#include <gtest/gtest.h>

#include <regex>

#include "engine/restoreindex.h"
#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;
constexpr std::int64_t kSecond = 1000000000;
const std::string kDest = R"(E:\Backup\)";
const std::string kIndex = R"(E:\Backup\.tandrel-index)";
const std::string kRun = R"(E:\Backup\Tandrel Versions\2026-03-01T10-00-00Z\)";

class RestoreTest : public ::testing::Test {
protected:
    CopySummary Backup(Strings entries, Strings files, CopyMode mode = CopyMode::DirectoryCopy)
    {
        state.directoryData = std::make_shared<const Strings>(std::move(entries));
        return engine.Copy(std::move(files), kDest, true, mode);
    }
    BackupContents Contents() { return BackupContents::Read(fs, kDest, PathStyle::Windows()); }
    std::string SourceOf(const std::string& target)
    {
        const BackupContents contents = Contents();
        for (const HeldFile& file : contents.Files())
            if (file.target == target) return file.source;
        return "(not held)";
    }
    RestoreSummary Restore(RestoreRequest request)
    {
        failures.clear();
        RestoreReport report;
        report.failure = [this](const std::string& message) { failures.push_back(message); };
        return tandrel::Restore(fs, Contents(), request, report);
    }
    // The folder C:\Data\Docs backed up, and a copy of a.txt kept by a run.
    void BackedUpDocs()
    {
        fs.AddFile(R"(C:\Data\Docs\a.txt)", 3, "new", 300 * kSecond);
        fs.AddFile(R"(C:\Data\Docs\sub\b.txt)", 1, "b", 260 * kSecond);
        Backup({R"(C:\Data\Docs)"}, {R"(C:\Data\Docs\a.txt)", R"(C:\Data\Docs\sub\b.txt)"});
        fs.AddFile(kRun + ".tandrel-run");
        fs.AddFile(kRun + R"(Docs\a.txt)", 3, "old", 200 * kSecond);
    }

    JobState state;
    MemoryFileSystem fs {PathStyle::Windows()};
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Windows()};
    Strings failures;
};

// Every mode records where its files came from; a later run replaces the
// entries of the targets it handled and keeps the others; a repeat that
// changed nothing leaves the index as it is.
TEST_F(RestoreTest, TheIndexRecordsEveryModeAndMergesAcrossRuns)
{
    fs.AddFile(R"(C:\Data\Docs\a.txt)", 1, "a", 10);
    fs.AddFile(R"(C:\Data\Docs\sub\b.txt)", 1, "b", 10);
    fs.AddFile(R"(C:\Flat\c.txt)", 1, "c", 10);
    fs.AddFile(R"(C:\Other\c.txt)", 1, "C", 20);
    fs.AddFile(R"(C:\Disc\d	tab.txt)", 1, "d", 10);  // a tab in a name
    Backup({R"(C:\Data\Docs)"}, {R"(C:\Data\Docs\a.txt)", R"(C:\Data\Docs\sub\b.txt)"});
    Backup({R"(C:\Flat)"}, {R"(C:\Flat\c.txt)"}, CopyMode::Consolidate);
    Backup({R"(C:\Disc)"}, {R"(C:\Disc\d	tab.txt)"}, CopyMode::CdBackup);
    EXPECT_TRUE(Contents().HasIndex());
    EXPECT_EQ(SourceOf("Docs/a.txt"), R"(C:\Data\Docs\a.txt)");
    EXPECT_EQ(SourceOf("Docs/sub/b.txt"), R"(C:\Data\Docs\sub\b.txt)");
    EXPECT_EQ(SourceOf("c.txt"), R"(C:\Flat\c.txt)");
    EXPECT_EQ(SourceOf("CD_backup0/d	tab.txt"), R"(C:\Disc\d	tab.txt)");

    const std::uint64_t written = fs.SerialOf(kIndex);
    Backup({R"(C:\Data\Docs)"}, {R"(C:\Data\Docs\a.txt)", R"(C:\Data\Docs\sub\b.txt)"});
    EXPECT_EQ(fs.SerialOf(kIndex), written);  // nothing changed: not written again

    Backup({R"(C:\Other)"}, {R"(C:\Other\c.txt)"}, CopyMode::Consolidate);
    EXPECT_EQ(SourceOf("c.txt"), R"(C:\Other\c.txt)");
    EXPECT_EQ(SourceOf("Docs/a.txt"), R"(C:\Data\Docs\a.txt)");
    EXPECT_EQ(SourceOf("CD_backup0/d	tab.txt"), R"(C:\Disc\d	tab.txt)");

    // A file of the index's name is refused at the top, and never gathered.
    fs.AddFile(R"(C:\Odd\.tandrel-index)", 4, "mine");
    EXPECT_EQ(Backup({R"(C:\Odd)"}, {R"(C:\Odd\.tandrel-index)"}, CopyMode::Consolidate).failed, 1);
    EXPECT_EQ(SourceOf("c.txt"), R"(C:\Other\c.txt)");
    state.dragNdrop = true;
    engine.GetFiles({R"(C:\Odd)"}, true);
    EXPECT_TRUE(state.syncfileList.ToArray().empty());
}

TEST_F(RestoreTest, TheCopyOfATimeIsTheLatestNotAfterIt)
{
    HeldFile file;
    file.copies = {
        {"current", 0, 1, 300 * kSecond}, {"kept2", 350, 1, 200 * kSecond}, {"kept1", 250, 1, 100 * kSecond}};
    EXPECT_EQ(CopyAt(file, 1000)->path, "current");
    EXPECT_EQ(CopyAt(file, 299)->path, "kept2");
    EXPECT_EQ(CopyAt(file, 100)->path, "kept1");
    EXPECT_EQ(CopyAt(file, 99), nullptr);
    file.copies[1].modified = 300 * kSecond;  // the same time as the current copy: the current wins
    EXPECT_EQ(CopyAt(file, 300)->path, "current");

    // In a restore: the kept copy of a.txt; b.txt is too new and stays away.
    BackedUpDocs();
    fs.Remove(R"(C:\Data\Docs)");
    const RestoreSummary summary = Restore({{R"(C:\Data\Docs)"}, 250, "", false, false});
    EXPECT_EQ(summary.restored, 1);
    EXPECT_EQ(summary.tooNew, 1);
    EXPECT_EQ(fs.ContentOf(R"(C:\Data\Docs\a.txt)"), "old");
    EXPECT_FALSE(fs.IsFile(R"(C:\Data\Docs\sub\b.txt)"));
}

// A file at the place that is the copy is left alone; one that differs is
// never lost: the copy goes beside it, or with Replace it is kept in the
// versions folder first, and where that fails it stays as it is.
TEST_F(RestoreTest, ConflictsLoseNoFile)
{
    BackedUpDocs();
    fs.AddFile(R"(C:\Data\Docs\a.txt)", 6, "edited", 400 * kSecond);
    const std::uint64_t same = fs.SerialOf(R"(C:\Data\Docs\sub\b.txt)");
    RestoreSummary summary = Restore({{R"(C:\Data\Docs)"}, {}, "", false, false});
    EXPECT_EQ(summary.same, 1);
    EXPECT_EQ(summary.beside, 1);
    EXPECT_EQ(fs.SerialOf(R"(C:\Data\Docs\sub\b.txt)"), same);
    EXPECT_EQ(fs.ContentOf(R"(C:\Data\Docs\a.txt)"), "edited");
    Strings beside;
    for (const std::string& file : fs.List(R"(C:\Data\Docs)").files)
        if (file != R"(C:\Data\Docs\a.txt)") beside.push_back(file);
    ASSERT_EQ(beside.size(), 1u);
    EXPECT_TRUE(std::regex_match(beside[0],
                                 std::regex(R"(C:\\Data\\Docs\\a \(restored \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\)\.txt)")))
        << beside[0];
    EXPECT_EQ(fs.ContentOf(beside[0]), "new");

    summary = Restore({{"Docs/a.txt"}, {}, "", true, false});
    EXPECT_EQ(summary.replaced, 1);
    EXPECT_EQ(fs.ContentOf(R"(C:\Data\Docs\a.txt)"), "new");
    ASSERT_FALSE(summary.keptIn.empty());
    EXPECT_EQ(fs.ContentOf(summary.keptIn + R"(\Docs\a.txt)"), "edited");
    EXPECT_TRUE(fs.IsFile(summary.keptIn + R"(\.tandrel-run)"));

    fs.AddFile(R"(C:\Data\Docs\a.txt)", 6, "edited", 400 * kSecond);
    fs.Remove(R"(E:\Backup\Tandrel Versions)");
    fs.AddFile(R"(E:\Backup\Tandrel Versions)");  // a file where the folder should be: nothing can be kept
    summary = Restore({{R"(C:\Data\Docs\a.txt)"}, {}, "", true, false});
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(summary.replaced, 0);
    EXPECT_EQ(fs.ContentOf(R"(C:\Data\Docs\a.txt)"), "edited");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("could not be kept"), std::string::npos) << failures[0];
}

// Into a folder, the layout below the selected path's parent comes along;
// a destination without an index restores there too, but not to places it
// does not know.
TEST_F(RestoreTest, ToAFolderKeepsTheLayoutBelowTheSelection)
{
    BackedUpDocs();
    EXPECT_EQ(Restore({{R"(C:\Data\Docs)"}, {}, R"(F:\Out)", false, false}).restored, 2);
    EXPECT_EQ(fs.ContentOf(R"(F:\Out\Docs\a.txt)"), "new");
    EXPECT_EQ(fs.ContentOf(R"(F:\Out\Docs\sub\b.txt)"), "b");

    fs.Remove(kIndex);
    ASSERT_FALSE(Contents().HasIndex());
    EXPECT_EQ(Restore({{R"(Docs\sub)"}, {}, R"(F:\Flat)", false, false}).restored, 1);
    EXPECT_EQ(fs.ContentOf(R"(F:\Flat\sub\b.txt)"), "b");
    fs.Remove(R"(C:\Data)");
    const RestoreSummary summary = Restore({{"Docs"}, {}, "", false, false});
    EXPECT_EQ(summary.failed, 2);
    EXPECT_EQ(summary.restored, 0);
    EXPECT_FALSE(fs.IsFolder(R"(C:\Data)"));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("does not record where its files came from"), std::string::npos) << failures[0];
}

TEST(RestoreIndex, NamesWithTabsLineBreaksAndBackslashesComeBack)
{
    const std::vector<IndexEntry> entries = {{"a/b\tc", "/home/u/a/b\tc", 1, 5},
                                             {"a/b\nd\\", "/home/u/a/b\nd\\", 2, -7},
                                             {"CD_backup1/x", "/elsewhere/x", 3, 1000}};
    const std::vector<IndexEntry> parsed = ParseIndex(FormatIndex(entries, PathStyle::Posix()), PathStyle::Posix());
    ASSERT_EQ(parsed.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(parsed[i].target, entries[i].target);
        EXPECT_EQ(parsed[i].source, entries[i].source);
        EXPECT_EQ(parsed[i].size, entries[i].size);
        EXPECT_EQ(parsed[i].modified, entries[i].modified);
    }
}

}  // namespace
}  // namespace tandrel
