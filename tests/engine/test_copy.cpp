// The copy engine over an in-memory Windows-style tree.
#include <gtest/gtest.h>

#include "fakes.h"

namespace tandrel {
namespace {

using namespace testing;
using Strings = std::vector<std::string>;
using Kind = HostEvent::Kind;
constexpr std::uint64_t kMiB = 1048576;
const std::string kDest = R"(E:\Backup\)";

const MessageBoxRequest kAskContinue =
    Box("Would you like to continue?", "Warning!", MessageBoxButtons::YesNo, MessageBoxIcon::Warning);

MessageBoxRequest Failure(std::string text) { return Box(std::move(text), "", MessageBoxButtons::OK, MessageBoxIcon::None); }
MessageBoxRequest Final(std::int64_t kb)
{
    return Box(std::to_string(kb) + " KB copied successfully", "Backup Complete", MessageBoxButtons::OK,
               MessageBoxIcon::Information);
}

enum Mode { kDirectory, kCd, kConsolidate };

class CopyTest : public ::testing::Test {
protected:
    CopyTest() { fs.AddFolder(kDest); }

    void Entries(Strings entries) { state.directoryData = std::make_shared<const Strings>(std::move(entries)); }
    void Run(Strings files, Mode mode, bool overwrite = false)
    {
        engine.Copy(std::move(files), kDest, overwrite, mode == kCd, mode == kConsolidate, mode == kDirectory);
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
    MemoryFileSystem fs{PathStyle::Windows()};
    RecordingHost host{&state};
    BackupEngine engine{state, host, fs, PathStyle::Windows()};
};

TEST_F(CopyTest, DirectoryCopyRebuildsPathsFromTheBackedUpFolder)
{
    fs.AddFile(R"(C:\Data\Photos\p1.jpg)", 1024, "one");
    fs.AddFile(R"(C:\Data\Photos\2004\p2.jpg)", 2048);
    fs.AddFile(R"(C:\Docs\a.txt)", 1024);
    Entries({R"(C:\Data\Photos)", R"(C:\Docs\a.txt)"});
    Run({R"(C:\Data\Photos\p1.jpg)", R"(C:\Data\Photos\2004\p2.jpg)", R"(C:\Docs\a.txt)"}, kDirectory);

    EXPECT_EQ(Targets(), (Strings{R"(E:\Backup\Photos\p1.jpg)", R"(E:\Backup\Photos\2004\p2.jpg)",
                                  R"(E:\Backup\Docs\a.txt)"}));
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\Photos\p1.jpg)"), "one");
    EXPECT_TRUE(fs.IsFolder(R"(E:\Backup\Photos\2004)"));
    EXPECT_EQ(host.Boxes(), std::vector{Final(4)});
    EXPECT_EQ(host.Trace(), "PPPPB");
}

TEST_F(CopyTest, CdBackupOpensAVolumeWhenTheNextFileWouldOverfillIt)
{
    Run(Sized({400 * kMiB, 300 * kMiB, 100 * kMiB, 800 * kMiB, 10 * kMiB}), kCd);
    EXPECT_EQ(Targets(), (Strings{R"(E:\Backup\CD_backup0\f1)", R"(E:\Backup\CD_backup0\f2)", R"(E:\Backup\CD_backup1\f3)",
                                  R"(E:\Backup\CD_backup2\f4)", R"(E:\Backup\CD_backup3\f5)"}));
    EXPECT_EQ(host.Boxes(), std::vector{Final(1610 * 1024)});
}

TEST_F(CopyTest, CdBackupPutsAnOversizedFirstFileInVolumeOne)
{
    Run(Sized({800 * kMiB}), kCd);
    EXPECT_EQ(Targets(), Strings{R"(E:\Backup\CD_backup1\f1)"});
    EXPECT_FALSE(fs.IsFolder(R"(E:\Backup\CD_backup0)"));
}

TEST_F(CopyTest, CdBackupKeepsTheVolumeThatAFailedFileOpened)
{
    const Strings files = Sized({400 * kMiB, 400 * kMiB, 100 * kMiB});
    fs.FailOn(FsOp::CopyFile, files[1], "disk error");
    Run(files, kCd);
    EXPECT_EQ(Targets(), (Strings{R"(E:\Backup\CD_backup0\f1)", R"(E:\Backup\CD_backup1\f2)", R"(E:\Backup\CD_backup1\f3)"}));
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
    EXPECT_EQ(host.Boxes(), std::vector{Final(0)});
}

TEST_F(CopyTest, CdWinsOverConsolidateAndBothOverDirectoryCopy)
{
    fs.AddFile(R"(C:\Data\Photos\p1.jpg)");
    Entries({R"(C:\Data\Photos)"});
    struct Case {
        bool cd, consolidate, directory;
        std::string target;
    };
    const std::string volume = R"(E:\Backup\CD_backup0\p1.jpg)", flat = R"(E:\Backup\p1.jpg)";
    for (const Case& c : {Case{true, true, false, volume}, Case{true, true, true, volume},
                          Case{true, false, true, volume}, Case{false, true, true, flat},
                          Case{false, false, false, flat}}) {
        engine.Copy({R"(C:\Data\Photos\p1.jpg)"}, kDest, true, c.cd, c.consolidate, c.directory);
        EXPECT_EQ(fs.Copies().back().target, c.target) << c.cd << c.consolidate << c.directory;
    }
}

TEST_F(CopyTest, ConsolidateWithSameNamesReplacesOnlyWithOverwrite)
{
    fs.AddFile(R"(C:\A\same.txt)", 2048, "first");
    fs.AddFile(R"(C:\B\same.txt)", 1024, "second");
    Run({R"(C:\A\same.txt)", R"(C:\B\same.txt)"}, kConsolidate);
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\same.txt)"), "first");
    EXPECT_EQ(host.Boxes(),
              (std::vector{Failure(R"(The file 'E:\Backup\same.txt' already exists.)"), kAskContinue, Final(2)}));

    Run({R"(C:\A\same.txt)", R"(C:\B\same.txt)"}, kConsolidate, true);
    EXPECT_EQ(fs.ContentOf(R"(E:\Backup\same.txt)"), "second");
    EXPECT_EQ(host.Boxes().back(), Final(3));
    EXPECT_EQ(fs.Copies().back(), (CopyRecord{R"(C:\B\same.txt)", R"(E:\Backup\same.txt)", true}));
}

TEST_F(CopyTest, AFailedFileAnsweredYesIsReportedAndSkipped)
{
    const Strings files = Sized({1024, 1024, 1024});
    fs.Remove(files[1]);  // vanished since it was gathered
    Run(files, kConsolidate);
    EXPECT_EQ(host.Boxes(), (std::vector{Failure(R"(Could not find file 'C:\In\f2'.)"), kAskContinue, Final(2)}));
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
    EXPECT_EQ(host.Boxes(), (std::vector{Failure("The device is not ready."), kAskContinue, Final(2)}));
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
    EXPECT_EQ(Targets(), Strings{R"(E:\Backup\Photos\2004\p2.jpg)"});
    EXPECT_EQ(host.Boxes(), (std::vector{Failure(R"(Access denied: E:\Backup\Photos)"), kAskContinue, Final(1)}));
}

// Directory Copy's key search, each with the files copied in order.
struct KeyCase {
    const char* name;
    Strings entries, files, targets;
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class DirectoryCopyKeys : public CopyTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(DirectoryCopyKeys, PlacesFilesByTheCarriedOverKey)
{
    for (auto& entry : GetParam().entries)
        if (entry.find('.') != std::string::npos) fs.AddFile(entry);
        else fs.AddFolder(entry);
    for (auto& file : GetParam().files) fs.AddFile(file, 1024);
    Entries(GetParam().entries);
    Run(GetParam().files, kDirectory);
    EXPECT_EQ(Targets(), GetParam().targets);
    EXPECT_EQ(host.Boxes(), std::vector{Final(static_cast<std::int64_t>(GetParam().files.size()))});
}

INSTANTIATE_TEST_SUITE_P(
    CopyTest, DirectoryCopyKeys,
    ::testing::Values(
        // An empty key occurs everywhere: from then on everything lands flat.
        KeyCase{"RootFolderEntry",
                {R"(C:\)", R"(D:\Data)"},
                {R"(C:\a.txt)", R"(C:\Sub\b.txt)", R"(D:\Data\d.txt)"},
                {R"(E:\Backup\a.txt)", R"(E:\Backup\b.txt)", R"(E:\Backup\d.txt)"}},
        // The key C:\ stays current for the whole drive.
        KeyCase{"RootFileEntry",
                {R"(C:\b.txt)", R"(C:\Data)"},
                {R"(C:\b.txt)", R"(C:\Data\x.txt)", R"(D:\Data\y.txt)"},
                {R"(E:\Backup\b.txt)", R"(E:\Backup\x.txt)", R"(E:\Backup\Data\y.txt)"}},
        KeyCase{"CarriedIntoMyData",
                {R"(C:\Data)", R"(C:\MyData)"},
                {R"(C:\Data\a.txt)", R"(C:\MyData\x.txt)"},
                {R"(E:\Backup\Data\a.txt)", R"(E:\Backup\Data\x.txt)"}},
        KeyCase{"NameTwiceInPath", {R"(C:\Data\Data)"}, {R"(C:\Data\Data\f.txt)"}, {R"(E:\Backup\Data\Data\f.txt)"}},
        // The carried-over key is tried before the list: Alpha, the first
        // entry, would also occur in y.txt's folder.
        KeyCase{"CarriedKeyComesBeforeTheList",
                {R"(C:\Alpha)", R"(C:\Beta)"},
                {R"(C:\Beta\b.txt)", R"(C:\Beta\Alpha\y.txt)"},
                {R"(E:\Backup\Beta\b.txt)", R"(E:\Backup\Beta\Alpha\y.txt)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CopyTest, AFileUnderNoEntryFailsThroughTheBoxesAndTheCopyGoesOn)
{
    fs.AddFile(R"(C:\Other\z.txt)", 1024);
    fs.AddFile(R"(C:\Docs\a.txt)", 1024);
    Entries({R"(C:\Docs)"});
    Run({R"(C:\Other\z.txt)", R"(C:\Docs\a.txt)"}, kDirectory);
    EXPECT_EQ(Targets(), Strings{R"(E:\Backup\Docs\a.txt)"});
    auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_NE(boxes[0].text.find(R"(C:\Other\z.txt)"), std::string::npos) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("lies under no entry of the backup list"), std::string::npos);
    EXPECT_EQ(boxes[1], kAskContinue);
    EXPECT_EQ(boxes[2], Final(1));
    EXPECT_TRUE(state.complete);
}

}  // namespace
}  // namespace tandrel
