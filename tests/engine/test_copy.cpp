// The copy engine over an in-memory Windows-style tree.
#include <gtest/gtest.h>

#include "tests/engine/fakes.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;
using Kind = HostEvent::Kind;
constexpr std::uint64_t kMiB = 1048576;
const std::string kDest = R"(E:\Backup\)";

const MessageBoxRequest kAskContinue =
    Box("Would you like to continue?", "Warning!", MessageBoxButtons::YesNo, MessageBoxIcon::Warning);

MessageBoxRequest Failure(std::string text)
{
    return Box(std::move(text), "", MessageBoxButtons::OK, MessageBoxIcon::None);
}
MessageBoxRequest Final(std::int64_t kb)
{
    return Box(std::to_string(kb) + " KB copied successfully", "Backup Complete", MessageBoxButtons::OK,
               MessageBoxIcon::Information);
}

constexpr CopyMode kDirectory = CopyMode::DirectoryCopy, kCd = CopyMode::CdBackup, kConsolidate = CopyMode::Consolidate;

class CopyTest : public ::testing::Test {
protected:
    CopyTest() { fs.AddFolder(kDest); }

    void Entries(Strings entries) { state.directoryData = std::make_shared<const Strings>(std::move(entries)); }
    CopySummary Run(Strings files, CopyMode mode, bool overwrite = false)
    {
        return engine.Copy(std::move(files), kDest, overwrite, mode);
    }
    Strings Targets() const
    {
        Strings targets;
        for (auto& copy : fs.Copies()) targets.push_back(copy.target);
        return targets;
    }
    // Files named f1, f2, ... under C:\In with the given sizes.
    Strings Sized(std::initializer_list<std::uint64_t> sizes)
    {
        Strings files;
        for (std::uint64_t size : sizes) {
            files.push_back(R"(C:\In\f)" + std::to_string(files.size() + 1));
            fs.AddFile(files.back(), size);
        }
        return files;
    }

    JobState state;
    MemoryFileSystem fs {PathStyle::Windows()};
    RecordingHost host {&state};
    BackupEngine engine {state, host, fs, PathStyle::Windows()};
};

TEST_F(CopyTest, DirectoryCopyRebuildsPathsFromTheBackedUpFolder)
{
    fs.AddFile(R"(C:\Data\Photos\p1.jpg)", 1024, "one");
    fs.AddFile(R"(C:\Data\Photos\2004\p2.jpg)", 2048);
    fs.AddFile(R"(C:\Docs\a.txt)", 1024);
    Entries({R"(C:\Data\Photos)", R"(C:\Docs\a.txt)"});
    Run({R"(C:\Data\Photos\p1.jpg)", R"(C:\Data\Photos\2004\p2.jpg)", R"(C:\Docs\a.txt)"}, kDirectory);

    EXPECT_EQ(Targets(),
              (Strings {R"(E:\Backup\Photos\p1.jpg)", R"(E:\Backup\Photos\2004\p2.jpg)", R"(E:\Backup\Docs\a.txt)"}));
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\Photos\p1.jpg)"), "one");
    EXPECT_TRUE(fs.IsFolder(R"(E:\Backup\Photos\2004)"));
    EXPECT_EQ(host.Boxes(), std::vector {Final(4)});
    EXPECT_EQ(host.Trace(), "PPPPB");
}

TEST_F(CopyTest, CdBackupOpensAVolumeWhenTheNextFileWouldOverfillIt)
{
    Run(Sized({400 * kMiB, 300 * kMiB, 100 * kMiB, 800 * kMiB, 10 * kMiB}), kCd);
    EXPECT_EQ(Targets(),
              (Strings {R"(E:\Backup\CD_backup0\f1)", R"(E:\Backup\CD_backup0\f2)", R"(E:\Backup\CD_backup1\f3)",
                        R"(E:\Backup\CD_backup2\f4)", R"(E:\Backup\CD_backup3\f5)"}));
    EXPECT_EQ(host.Boxes(), std::vector {Final(1610 * 1024)});
}

TEST_F(CopyTest, CdBackupPutsAnOversizedFirstFileInVolumeOne)
{
    Run(Sized({800 * kMiB}), kCd);
    EXPECT_EQ(Targets(), Strings {R"(E:\Backup\CD_backup1\f1)"});
    EXPECT_FALSE(fs.IsFolder(R"(E:\Backup\CD_backup0)"));
}

TEST_F(CopyTest, CdBackupKeepsTheVolumeThatAFailedFileOpened)
{
    const Strings files = Sized({400 * kMiB, 400 * kMiB, 100 * kMiB});
    fs.FailOn(FsOp::CopyFile, files[1], "disk error");
    Run(files, kCd);
    EXPECT_EQ(Targets(),
              (Strings {R"(E:\Backup\CD_backup0\f1)", R"(E:\Backup\CD_backup1\f2)", R"(E:\Backup\CD_backup1\f3)"}));
    EXPECT_TRUE(fs.IsFolder(R"(E:\Backup\CD_backup1)"));
    EXPECT_EQ(host.Boxes().back(), Final(500 * 1024));  // the failed file's size is taken off
}

TEST_F(CopyTest, TotalsAreTruncatedToWholeKilobytes)
{
    Run(Sized({1000}), kConsolidate);
    Run(Sized({0, 1536}), kConsolidate, true);
    auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], Final(0));
    EXPECT_EQ(boxes[1], Final(1));
}

TEST_F(CopyTest, AnEmptyCopyStillCompletesAndReports)
{
    state.complete = false;
    Run({}, kDirectory);
    EXPECT_EQ(fs.Copies().size(), 0u);
    EXPECT_TRUE(state.complete);
    EXPECT_EQ(host.Trace(), "PB");
    EXPECT_EQ(host.Boxes(), std::vector {Final(0)});
}

TEST(CopyModes, CdWinsOverConsolidateAndBothOverDirectoryCopy)
{
    struct Case {
        bool cd, consolidate, directory;
        CopyMode mode;
    };
    for (const Case& c : {Case {true, true, false, kCd}, Case {true, true, true, kCd}, Case {true, false, true, kCd},
                          Case {false, true, true, kConsolidate}, Case {false, false, false, kConsolidate},
                          Case {false, false, true, kDirectory}})
        EXPECT_EQ(CopyModeOf(c.cd, c.consolidate, c.directory), c.mode) << c.cd << c.consolidate << c.directory;
}

TEST_F(CopyTest, ConsolidateWithSameNamesReplacesOnlyWithOverwrite)
{
    fs.AddFile(R"(C:\A\same.txt)", 2048, "first");
    fs.AddFile(R"(C:\B\same.txt)", 1024, "second");
    Run({R"(C:\A\same.txt)", R"(C:\B\same.txt)"}, kConsolidate);
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\same.txt)"), "first");
    EXPECT_EQ(host.Boxes(),
              (std::vector {Failure(R"(The file 'E:\Backup\same.txt' already exists.)"), kAskContinue, Final(2)}));

    Run({R"(C:\A\same.txt)", R"(C:\B\same.txt)"}, kConsolidate, true);
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\same.txt)"), "second");
    EXPECT_EQ(host.Boxes().back(), Final(3));
    EXPECT_EQ(fs.Copies().back(), (CopyRecord {R"(C:\B\same.txt)", R"(E:\Backup\same.txt)", true}));
}

TEST_F(CopyTest, AFailedFileAnsweredYesIsReportedAndSkipped)
{
    const Strings files = Sized({1024, 1024, 1024});
    fs.Remove(files[1]);  // vanished since it was gathered
    Run(files, kConsolidate);
    EXPECT_EQ(host.Boxes(), (std::vector {Failure(R"(Could not find file 'C:\In\f2'.)"), kAskContinue, Final(2)}));
    // A refresh after each file, the failed one included, then the closing one.
    EXPECT_EQ(host.Trace(), "PBBPPPB");
    EXPECT_FALSE(state.hasErrored);
}

TEST_F(CopyTest, NoOnTheThirdOfFiveStopsTheCopy)
{
    const Strings files = Sized({1024, 1024, 1024, 1024, 1024});
    fs.FailOn(FsOp::CopyFile, files[2], "The device is not ready.");
    host.Answer({DialogResult::No});
    Run(files, kConsolidate);
    EXPECT_EQ(fs.Copies().size(), 3u);  // the last two are never tried
    EXPECT_TRUE(state.hasErrored);
    EXPECT_EQ(host.Boxes(), (std::vector {Failure("The device is not ready."), kAskContinue, Final(2)}));
    // No refresh after the failure that stops; complete is set before the final refresh and box.
    EXPECT_EQ(host.Trace(), "PPBBPB");
    auto progress = host.Of(Kind::Progress);
    EXPECT_FALSE(progress[1].complete);
    EXPECT_TRUE(progress.back().complete);
}

TEST_F(CopyTest, TheDestinationIsFlushedOnceBeforeTheFinalMessage)
{
    int flushesAtFinal = -1;
    host.OnShow([&](const MessageBoxRequest& box) {
        if (box.caption == "Backup Complete") flushesAtFinal = fs.Calls(FsOp::Flush);
    });
    Run(Sized({1, 2, 3}), kConsolidate);
    EXPECT_EQ(flushesAtFinal, 1);
}

TEST_F(CopyTest, ASubfolderThatCannotBeCreatedFailsThatFileOnly)
{
    fs.AddFile(R"(C:\Data\Photos\p1.jpg)", 1024);
    fs.AddFile(R"(C:\Data\Photos\2004\p2.jpg)", 1024);
    fs.FailOn(FsOp::CreateDirectory, R"(E:\Backup\Photos)", "Access denied: E:\\Backup\\Photos");
    Entries({R"(C:\Data\Photos)"});
    Run({R"(C:\Data\Photos\p1.jpg)", R"(C:\Data\Photos\2004\p2.jpg)"}, kDirectory);
    EXPECT_EQ(Targets(), Strings {R"(E:\Backup\Photos\2004\p2.jpg)"});
    EXPECT_EQ(host.Boxes(), (std::vector {Failure(R"(Access denied: E:\Backup\Photos)"), kAskContinue, Final(1)}));
}

// Directory Copy's key search, each with the files copied in order.
struct KeyCase {
    const char* name;
    Strings entries, files, targets;
};

void PrintTo(const KeyCase& c, std::ostream* os)
{
    *os << c.name;
}

class DirectoryCopyKeys : public CopyTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(DirectoryCopyKeys, PlacesFilesByTheCarriedOverKey)
{
    for (auto& entry : GetParam().entries)
        if (entry.find('.') != std::string::npos)
            fs.AddFile(entry);
        else
            fs.AddFolder(entry);
    for (auto& file : GetParam().files) fs.AddFile(file, 1024);
    Entries(GetParam().entries);
    Run(GetParam().files, kDirectory);
    EXPECT_EQ(Targets(), GetParam().targets);
    EXPECT_EQ(host.Boxes(), std::vector {Final(static_cast<std::int64_t>(GetParam().files.size()))});
}

INSTANTIATE_TEST_SUITE_P(
    CopyTest, DirectoryCopyKeys,
    ::testing::Values(
        // A root folder keeps all below the root.
        KeyCase {"RootFolderEntry",
                 {R"(C:\)", R"(D:\Data)"},
                 {R"(C:\a.txt)", R"(C:\Sub\b.txt)", R"(D:\Data\d.txt)"},
                 {R"(E:\Backup\a.txt)", R"(E:\Backup\Sub\b.txt)", R"(E:\Backup\Data\d.txt)"}},
        // A file at a root goes into the destination and captures no other file.
        KeyCase {"RootFileEntry",
                 {R"(C:\b.txt)", R"(C:\Data)"},
                 {R"(C:\b.txt)", R"(C:\Data\x.txt)"},
                 {R"(E:\Backup\b.txt)", R"(E:\Backup\Data\x.txt)"}},
        KeyCase {"DataAndMyDataStayApart",
                 {R"(C:\Data)", R"(C:\MyData)"},
                 {R"(C:\Data\a.txt)", R"(C:\MyData\a.txt)", R"(C:\Data\b.txt)"},
                 {R"(E:\Backup\Data\a.txt)", R"(E:\Backup\MyData\a.txt)", R"(E:\Backup\Data\b.txt)"}},
        // The entry's name also occurs higher up its path.
        KeyCase {"NameAlsoInAParent",
                 {R"(C:\home\me)", R"(C:\tmp\mt\m)"},
                 {R"(C:\home\me\docs\x.txt)", R"(C:\tmp\mt\m\old.txt)"},
                 {R"(E:\Backup\me\docs\x.txt)", R"(E:\Backup\m\old.txt)"}},
        KeyCase {"NameTwiceInPath", {R"(C:\Data\Data)"}, {R"(C:\Data\Data\f.txt)"}, {R"(E:\Backup\Data\f.txt)"}},
        // The entry that placed the previous file is tried before the list:
        // q.jpg lies under both, and Data placed a.txt.
        KeyCase {"CarriedEntryComesBeforeTheList",
                 {R"(C:\Data\Photos)", R"(C:\Data)"},
                 {R"(C:\Data\Photos\p.jpg)", R"(C:\Data\a.txt)", R"(C:\Data\Photos\q.jpg)"},
                 {R"(E:\Backup\Photos\p.jpg)", R"(E:\Backup\Data\a.txt)", R"(E:\Backup\Data\Photos\q.jpg)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CopyTest, AFileUnderNoEntryFailsThroughTheBoxesAndTheCopyGoesOn)
{
    fs.AddFile(R"(C:\Other\z.txt)", 1024);
    fs.AddFile(R"(C:\Docs\a.txt)", 1024);
    Entries({R"(C:\Docs)"});
    Run({R"(C:\Other\z.txt)", R"(C:\Docs\a.txt)"}, kDirectory);
    EXPECT_EQ(Targets(), Strings {R"(E:\Backup\Docs\a.txt)"});
    auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_NE(boxes[0].text.find(R"(C:\Other\z.txt)"), std::string::npos) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("lies under no entry of the backup list"), std::string::npos);
    EXPECT_EQ(boxes[1], kAskContinue);
    EXPECT_EQ(boxes[2], Final(1));
    EXPECT_TRUE(state.complete);
}

// --- Repeat backups with Overwrite ------------------------------------------

TEST_F(CopyTest, ARepeatLeavesUpToDateTargetsAloneAndReportsAsAFullCopyDoes)
{
    const Strings files = Sized({1024, 2048, 3072});
    for (std::size_t i = 0; i < files.size(); ++i) fs.Touch(files[i], 1000 + static_cast<std::int64_t>(i));
    const CopySummary first = Run(files, kConsolidate, true);
    const std::uint64_t serial = fs.SerialOf(R"(E:\Backup\f2)");
    const std::string firstTrace = host.Trace();

    const CopySummary repeat = Run(files, kConsolidate, true);
    EXPECT_EQ(fs.SerialOf(R"(E:\Backup\f2)"), serial);
    EXPECT_EQ(first.copied, 3);
    EXPECT_EQ(repeat.copied, 0);
    EXPECT_EQ(repeat.upToDate, 3);
    // The same refreshes and the same closing total as the first backup.
    EXPECT_EQ(host.Trace(), firstTrace + firstTrace);
    EXPECT_EQ(host.Boxes().back(), Final(6));
    EXPECT_EQ(repeat.bytes, first.bytes);
    // Nothing was written, so nothing was flushed.
    EXPECT_EQ(fs.Calls(FsOp::Flush), 1);
}

TEST_F(CopyTest, ARepeatReplacesWhatChangedInSizeOrTime)
{
    const Strings files = Sized({10, 20, 30});
    Run(files, kConsolidate, true);
    fs.AddFile(files[0], 11);  // grew
    fs.Touch(files[1], 99);    // touched
    const CopySummary repeat = Run(files, kConsolidate, true);
    EXPECT_EQ(repeat.copied, 2);
    EXPECT_EQ(repeat.upToDate, 1);
    EXPECT_EQ(fs.SizeOf(R"(E:\Backup\f1)"), 11u);
    EXPECT_EQ(host.Boxes().back(), Final(0));  // 61 bytes
    EXPECT_EQ(fs.Calls(FsOp::Flush), 2);
}

TEST_F(CopyTest, ACdRepeatGivesUpToDateFilesTheirRoomInTheVolume)
{
    const Strings files = Sized({400 * kMiB, 400 * kMiB, 100 * kMiB});
    Run(files, kCd, true);
    fs.AddFile(files[2], 100 * kMiB, "changed", 5);
    Run(files, kCd, true);
    // The third file lands in the second volume again, as in the first run.
    EXPECT_EQ(fs.Copies().back().target, R"(E:\Backup\CD_backup1\f3)");
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\CD_backup1\f3)"), "changed");
    EXPECT_EQ(host.Boxes().back(), Final(900 * 1024));
}

TEST_F(CopyTest, WithoutOverwriteAnUpToDateTargetStillFails)
{
    const Strings files = Sized({1024});
    Run(files, kConsolidate, true);
    const CopySummary repeat = Run(files, kConsolidate, false);
    EXPECT_EQ(repeat.failed, 1);
    EXPECT_EQ(repeat.upToDate, 0);
    EXPECT_EQ(host.Boxes().back(), Final(0));
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

TEST_F(CopyTest, NamesTheBackupKeepsForItselfAreRefused)
{
    fs.AddFile(R"(C:\Data\.~tandrel-0123456789ab.tmp)", 1);
    fs.AddFile(R"(C:\Data\.tandrel-lock)", 1);
    fs.AddFile(R"(C:\Data\Tandrel Versions\thesis.txt)", 1);
    fs.AddFile(R"(C:\Data\Sub\.tandrel-lock)", 1);
    Entries({R"(C:\Data)"});
    const CopySummary consolidated =
        Run({R"(C:\Data\.~tandrel-0123456789ab.tmp)", R"(C:\Data\.tandrel-lock)", R"(C:\Data\Sub\.tandrel-lock)"},
            kConsolidate, true);
    EXPECT_EQ(consolidated.failed, 3);  // the lock's name twice, in the destination itself
    const auto boxes = host.Boxes();
    EXPECT_EQ(boxes[0].text,
              R"(Could not copy 'C:\Data\.~tandrel-0123456789ab.tmp' to 'E:\Backup\.~tandrel-0123456789ab.tmp': )"
              R"(the name '.~tandrel-0123456789ab.tmp' is reserved for Tandrel's own files)");
    Entries({R"(C:\)"});
    const CopySummary rebuilt =
        Run({R"(C:\Data\Sub\.tandrel-lock)", R"(C:\Data\Tandrel Versions\thesis.txt)"}, kDirectory, true);
    EXPECT_EQ(rebuilt.copied, 2);  // both names lower down are anyone's
    // A backed-up folder of the versions folder's name, not at all.
    Entries({R"(C:\Data\Tandrel Versions)"});
    EXPECT_EQ(Run({R"(C:\Data\Tandrel Versions\thesis.txt)"}, kDirectory, true).failed, 1);
    EXPECT_FALSE(fs.IsFolder(R"(E:\Backup\Tandrel Versions)"));
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

TEST_F(CopyTest, ADriveThatIsNotMountedGetsNothingUntilTheDestinationIsChosenAgain)
{
    TempTree config;
    DestinationMemory destinations(config.Path("tandrel/destinations"));
    engine.SetDestinationMemory(&destinations);
    fs.SetMounted(R"(E:\)", true);
    const Strings files = Sized({1024});
    EXPECT_EQ(Run(files, kConsolidate).copied, 1);
    EXPECT_EQ(destinations.MountPointOf(kDest), std::optional<std::string>(R"(E:\)"));

    fs.SetMounted(R"(E:\)", false);
    const std::size_t copiesBefore = fs.Copies().size();
    const CopySummary unplugged = Run(files, kConsolidate, true);
    EXPECT_TRUE(unplugged.notMounted);
    EXPECT_EQ(fs.Copies().size(), copiesBefore);  // nothing tried
    EXPECT_EQ(host.Boxes().back(), Box(R"(The destination 'E:\Backup' is on a drive that is not mounted now ('E:\'))",
                                       "Warning!", MessageBoxButtons::OK, MessageBoxIcon::Warning));
    EXPECT_TRUE(state.complete);

    destinations.Forget(kDest);  // chosen again
    EXPECT_EQ(Run(files, kConsolidate, true).upToDate, 1);
}

}  // namespace
}  // namespace tandrel
