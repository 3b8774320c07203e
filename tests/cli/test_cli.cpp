// tandrel-cli end to end on real trees: the totals, each copy mode, the exit
// statuses and backup list files.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/common/temptree.h"
#include "tests/engine/fakes.h"
#include "listfile/listfile.h"
#include "cli/options.h"
#include "cli/run.h"
#include "cli/check.h"
#include "cli/restore.h"
#include "cli/clihost.h"
#include "engine/nativefs.h"
#include "engine/stdthreads.h"

namespace fs = std::filesystem;
using namespace tandrel;
using namespace tandrel::cli;

namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Write("src/Photos/p1.jpg", "photo one");
        Write("src/Photos/2004/p2.jpg", std::string(1536, 'x'));
        Write("src/Docs/a.txt", "text");
    }

    std::string P(const std::string& relative) const { return tree_.Path(relative); }
    // Written a while ago: a file written in the same moment as its backup
    // is copied again by the next one.
    void Write(const std::string& relative, const std::string& content)
    {
        tree_.File(relative, content);
        fs::last_write_time(P(relative), fs::file_time_type::clock::now() - std::chrono::seconds(10));
    }
    std::string Read(const std::string& relative) const { return tandrel::testing::TempTree::Read(P(relative)); }

    int RunCli(std::vector<std::string> args, const std::string& input = "", FileSystem* fileSystem = nullptr)
    {
        std::istringstream in(input);
        out_.str("");
        err_.str("");
        NativeFileSystem native;
        return tandrel::cli::Run(ParseOptions(args), !input.empty(), in, out_, err_, fileSystem ? *fileSystem : native);
    }

    int RunCliCheck(std::vector<std::string> args)
    {
        out_.str("");
        err_.str("");
        NativeFileSystem native;
        return RunCheck(ParseOptions(args), out_, err_, native);
    }

    int RunCliRestore(std::vector<std::string> args)
    {
        out_.str("");
        err_.str("");
        NativeFileSystem native;
        return RunRestore(ParseOptions(args), out_, err_, native);
    }

    tandrel::testing::TempTree tree_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(CliTest, GathersWithoutDestinationAndPrintsTotals)
{
    EXPECT_EQ(RunCli({P("src/Photos"), P("src/Docs/a.txt")}), kAllCopied);
    EXPECT_EQ(out_.str(), "Total Files: 3\nTotal Folders: 2\n");
    EXPECT_EQ(RunCli({"--no-subdirs", P("src/Photos")}), kAllCopied);
    EXPECT_EQ(out_.str(), "Total Files: 1\nTotal Folders: 1\n");
}

TEST_F(CliTest, DirectoryCopyRebuildsFoldersFromTheBackedUpFolder)
{
    // No trailing separator: one is added, as "Select Folder" does.
    EXPECT_EQ(RunCli({P("src/Photos"), P("src/Docs/a.txt"), "--dest", P("out")}), kAllCopied);
    EXPECT_EQ(Read("out/Photos/p1.jpg"), "photo one");
    EXPECT_EQ(Read("out/Photos/2004/p2.jpg"), std::string(1536, 'x'));
    EXPECT_EQ(Read("out/Docs/a.txt"), "text");
    EXPECT_NE(out_.str().find("1 KB copied successfully\n"), std::string::npos);  // 1549 bytes
}

TEST_F(CliTest, ConsolidateAndCdModes)
{
    EXPECT_EQ(RunCli({P("src"), "--mode", "consolidate", "--dest", P("flat/")}), kAllCopied);
    EXPECT_TRUE(fs::is_regular_file(P("flat/p1.jpg")));
    EXPECT_TRUE(fs::is_regular_file(P("flat/p2.jpg")));
    EXPECT_TRUE(fs::is_regular_file(P("flat/a.txt")));

    EXPECT_EQ(RunCli({P("src"), "--mode", "cd", "--dest", P("cd")}), kAllCopied);
    EXPECT_EQ(Read("cd/CD_backup0/p2.jpg"), std::string(1536, 'x'));
    EXPECT_FALSE(fs::exists(P("cd/CD_backup1")));
}

TEST_F(CliTest, ExitStatusesOfARepeatedBackup)
{
    ASSERT_EQ(RunCli({P("src/Docs"), "--dest", P("out")}), kAllCopied);
    // The target exists now: without --overwrite each file fails.
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("out"), "--on-error", "stop"}), kStopped);
    EXPECT_NE(err_.str().find("File exists"), std::string::npos);
    EXPECT_NE(out_.str().find("0 KB copied successfully"), std::string::npos);
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("out"), "--on-error", "continue"}), kSomeFailed);
    // Answered on the terminal: "n" stops.
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("out"), "--on-error", "ask"}, "maybe\nn\n"), kStopped);
    EXPECT_NE(err_.str().find("Would you like to continue? [y/n]"), std::string::npos);

    Write("src/Docs/a.txt", "new text");
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("out"), "--overwrite"}), kAllCopied);
    EXPECT_EQ(Read("out/Docs/a.txt"), "new text");
}

TEST_F(CliTest, WithNoWaitABackupIntoADestinationInUseEndsAtOnce)
{
    NativeFileSystem fileSystem;
    const auto other = fileSystem.BeginCopy(P("out"));  // another backup into out/
    ASSERT_TRUE(other->TryLock());
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("out"), "--no-wait"}), kDestinationBusy);
    EXPECT_NE(err_.str().find("Waiting for another backup into '" + P("out") + "' to finish"), std::string::npos)
        << err_.str();
    EXPECT_FALSE(fs::exists(P("out/Docs")));
}

TEST_F(CliTest, CheckReadsTheBackupAloneAndSaysWhatIsDamaged)
{
#ifdef _WIN32
    // The Windows copy hashes nothing yet: both are refused there.
    EXPECT_THROW(ParseOptions({P("src/Docs"), "--dest", P("out"), "--verify"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--check", "--dest", P("out")}), std::invalid_argument);
    return;
#endif
    EXPECT_EQ(RunCliCheck({"--check", "--dest", P("src")}), kUsageOrGathering);  // nothing recorded
    ASSERT_EQ(RunCli({P("src/Docs"), "--dest", P("out"), "--verify"}), kAllCopied);
    EXPECT_NE(out_.str().find("Verified: 1 copies read back whole, 0 that differ"), std::string::npos) << out_.str();
    EXPECT_EQ(RunCliCheck({"--check", "--dest", P("out")}), kAllCopied);
    EXPECT_NE(out_.str().find("Checked: 1 of 1 copies, 0 damaged, 0 missing"), std::string::npos) << out_.str();

    // The same length and time, another byte: only its hash tells.
    const auto written = fs::last_write_time(P("out/Docs/a.txt"));
    std::ofstream(P("out/Docs/a.txt"), std::ios::binary) << "texT";
    fs::last_write_time(P("out/Docs/a.txt"), written);
    EXPECT_EQ(RunCliCheck({"--check", "--dest", P("out")}), kSomeFailed);
    EXPECT_EQ(out_.str().rfind("damaged: '" + P("out/Docs/a.txt") + "': its content differs", 0), 0u) << out_.str();

    NativeFileSystem fileSystem;
    const auto backup = fileSystem.BeginCopy(P("out"));  // a backup writing into out/
    ASSERT_TRUE(backup->TryLock());
    EXPECT_EQ(RunCliCheck({"--check", "--dest", P("out"), "--no-wait"}), kDestinationBusy);
    EXPECT_EQ(out_.str(), "");
}

TEST_F(CliTest, ARestoreSaysWhatItDidAndEndsAsABackupWould)
{
    ASSERT_EQ(RunCli({P("src/Docs"), "--dest", P("out")}), kAllCopied);
    Write("src/Docs/a.txt", "edited");
    EXPECT_EQ(RunCliRestore({"--restore", "--dest", P("out"), P("src/Docs")}), kAllCopied) << err_.str();
    EXPECT_NE(out_.str().find("Restored: 1 file (0 KB), 0 already there, 1 beside a file that differs, 0 replaced, "
                              "0 failed"),
              std::string::npos)
        << out_.str();
    EXPECT_EQ(Read("src/Docs/a.txt"), "edited");
    EXPECT_EQ(RunCliRestore({"--restore", "--dest", P("out"), "Nothing/here"}), kUsageOrGathering);
    EXPECT_NE(err_.str().find("holds nothing of 'Nothing/here'"), std::string::npos) << err_.str();

    NativeFileSystem fileSystem;
    const auto backup = fileSystem.BeginCopy(P("out"));  // a backup writing into out/
    ASSERT_TRUE(backup->TryLock());
    EXPECT_EQ(RunCliRestore({"--restore", "--replace", "--dest", P("out"), "--no-wait", P("src/Docs")}),
              kDestinationBusy);
    EXPECT_EQ(Read("src/Docs/a.txt"), "edited");
}

// A folder that can't be listed, whatever root may read.
class UnlistedFolder : public NativeFileSystem {
public:
    explicit UnlistedFolder(std::string folder) : folder_(std::move(folder)) {}
    Listing List(const std::string& folder) override
    {
        if (folder == folder_)
            throw FsError("Could not list the folder '" + folder + "': File name too long", FsError::Kind::Other,
                          ENAMETOOLONG, folder);
        return NativeFileSystem::List(folder);
    }

private:
    std::string folder_;
};

TEST_F(CliTest, WhatTheBackupLeavesOutIsCountedAndSaid)
{
    // A folder the gathering could not read, passed by: counted, and no
    // longer a backup that did everything.
    UnlistedFolder unlisted(P("src/Photos/2004"));
    EXPECT_EQ(RunCli({P("src/Photos"), "--dest", P("out"), "--on-error", "continue"}, "", &unlisted), kSomeFailed);
    EXPECT_NE(out_.str().find("Left out: 1 folders or files that the gathering could not read"), std::string::npos)
        << out_.str();

    // A destination inside a backed-up folder does not take in its own copies.
    ASSERT_EQ(RunCli({P("src/Docs"), "--dest", P("src/Docs/backup")}), kAllCopied);
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("src/Docs/backup"), "--overwrite"}), kAllCopied);
    EXPECT_NE(out_.str().find("Files: 0 copied, 1 up to date, 0 failed\nLeft out: 1 files that lie inside the "
                              "destination itself"),
              std::string::npos)
        << out_.str();
    EXPECT_FALSE(fs::exists(P("src/Docs/backup/Docs/backup")));
}

TEST_F(CliTest, AFlushThatFailsFailsTheBackup)
{
    tandrel::testing::MemoryFileSystem memory(PathStyle::Native());
    memory.AddFile(P("src/Docs/a.txt"), 4);
    memory.AddFile(P("src/Docs/b.txt"), 4);
    memory.FailOn(tandrel::testing::FsOp::Flush, "", "Could not write to disk: Input/output error");
    EXPECT_EQ(RunCli({P("src/Docs"), "--dest", P("out")}, "", &memory), kSomeFailed);
    EXPECT_NE(out_.str().find("Files: 0 copied, 0 up to date, 2 failed\n"), std::string::npos) << out_.str();
    EXPECT_EQ(out_.str().find("copied successfully"), std::string::npos) << out_.str();
    EXPECT_NE(err_.str().find("The backup failed: 2 files could not be written to disk"), std::string::npos)
        << err_.str();
}

TEST_F(CliTest, ExclusionsAreSummedUpAndADryRunCopiesNothing)
{
    const std::string kSeparator(1, PathStyle::Native().separator);  // after a folder left out
    Write("src/Docs/b.tmp", "tmp");
    Write("src/Docs/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    Write("src/Docs/cache/c.bin", "cached");
    Write("rules", "# mine\n2004/\n");
    const std::vector<std::string> rules = {"--exclude", "*.tmp", "--exclude-from", P("rules")};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), rules.begin(), rules.end());
        return RunCli(args);
    };

    EXPECT_EQ(with({P("src"), "--dry-run", "--dest", P("out")}), kAllCopied);
    const std::string out = out_.str();
    for (const std::string& line : std::vector<std::string> {
             "Total Files: 2\n", "back up: " + P("src/Photos/p1.jpg") + "\n", "back up: " + P("src/Docs/a.txt") + "\n",
             "leave out: " + P("src/Docs/b.tmp") + "  (*.tmp)\n",
             "leave out: " + P("src/Photos/2004") + kSeparator + "  (2004/)\n",
             "leave out: " + P("src/Docs/cache") + kSeparator + "  (CACHEDIR.TAG)\n",
             "Left out: 4 files (1.6 KB): CACHEDIR.TAG (2), *.tmp (1), 2004/ (1)\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
    EXPECT_FALSE(fs::exists(P("out")));

    EXPECT_EQ(with({P("src"), "--no-exclude-caches", "--dest", P("out")}), kAllCopied);
    EXPECT_NE(out_.str().find("Files: 4 copied, 0 up to date, 0 failed\nLeft out: 2 files (1.5 KB): *.tmp (1), 2004/ "
                              "(1)\n"),
              std::string::npos)
        << out_.str();
    EXPECT_TRUE(fs::exists(P("out/src/Docs/cache/c.bin")));
    EXPECT_FALSE(fs::exists(P("out/src/Docs/b.tmp")));

    EXPECT_EQ(RunCli({P("src"), "--exclude-from", P("no-rules")}), kUsageOrGathering);
    EXPECT_NE(err_.str().find(P("no-rules")), std::string::npos) << err_.str();
}

TEST_F(CliTest, AMissingEntryFailsTheGathering)
{
    EXPECT_EQ(RunCli({P("src/Docs"), P("gone"), "--dest", P("out")}), kUsageOrGathering);
    EXPECT_NE(err_.str().find("Files Not Added!: There was an error loading your FileList!"), std::string::npos);
    EXPECT_FALSE(fs::exists(P("out")));
}

TEST_F(CliTest, ListFilesAreReadBeforeEntriesAndSavedAsGathered)
{
    Serialize(P("in.lst"), std::vector<ListEntry> {P("src/Docs"), std::nullopt, P("src/Photos/p1.jpg")});
    EXPECT_EQ(RunCli({"--list", P("in.lst"), P("src/Photos/2004"), "--save", P("out.lst")}), kAllCopied);
    EXPECT_EQ(out_.str(), "Total Files: 3\nTotal Folders: 2\n");
    const auto saved = Deserialize(P("out.lst")).PresentEntries();
    EXPECT_EQ(saved, (std::vector<std::string> {P("src/Docs"), P("src/Photos/p1.jpg"), P("src/Photos/2004")}));
}

TEST_F(CliTest, AnUnreadableListFileNamesTheFile)
{
    Write("bad.lst", "not a list");
    EXPECT_EQ(RunCli({"--list", P("bad.lst")}), kUsageOrGathering);
    EXPECT_NE(err_.str().find(P("bad.lst")), std::string::npos);
    EXPECT_EQ(RunCli({"--list", P("missing.lst")}), kUsageOrGathering);
    EXPECT_NE(err_.str().find(P("missing.lst")), std::string::npos);
}

TEST(CliOptions, RefusesWhatItCannotUse)
{
    EXPECT_THROW(ParseOptions({}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--mode", "zip", "a"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--dest"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--on-error", "maybe", "a"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--check", "a"}), std::invalid_argument);  // no --dest
    EXPECT_THROW(ParseOptions({"--check", "--dest", "d", "a"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--sample", "5", "--dest", "d", "a"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--check", "--dest", "d", "--sample", "0"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--restore", "a"}), std::invalid_argument);  // no --dest
    EXPECT_THROW(ParseOptions({"--to", "x", "--dest", "d", "a"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--versions", "--dest", "d", "a", "b"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--restore", "--dest", "d", "--at", "2026-02-30 10:00", "a"}), std::invalid_argument);
    EXPECT_THROW(ParseOptions({"--restore", "--dest", "d", "--at", "2026-03-01", "a"}), std::invalid_argument);
    EXPECT_EQ(*ParseLocalTime("2026-03-01 10:01"), *ParseLocalTime("2026-03-01 10:00") + 60);
    const Options options = ParseOptions({"--", "--dest"});
    EXPECT_EQ(options.entries, std::vector<std::string> {"--dest"});
}

TEST_F(CliTest, EntriesMeanWhatWasTypedWhereverItWasTyped)
{
    // Tab completion's trailing slash, a bare name, ./ and ../ spellings all
    // give the tree that the absolute path gives.
    const fs::path before = fs::current_path();
    tree_.Folder("elsewhere");
    struct Spelling {
        const char* folder;  // where it is typed, under the test's root
        const char* entry;
    };
    int n = 0;
    for (const Spelling& typed : {Spelling {"src", "Photos/"}, Spelling {"src", "Photos"}, Spelling {"src", "./Photos"},
                                  Spelling {"elsewhere", "../src/Photos/"}, Spelling {"src/Docs", "a.txt"}}) {
        fs::current_path(fs::path(P(typed.folder)));
        const std::string out = "out" + std::to_string(n++);
        const std::string saved = P(out + ".lst");
        EXPECT_EQ(RunCli({typed.entry, "--save", saved, "--dest", P(out)}), kAllCopied) << typed.entry << err_.str();
        fs::current_path(before);
        const bool file = std::string(typed.entry) == "a.txt";
        if (file) {
            EXPECT_EQ(Read(out + "/Docs/a.txt"), "text");
        } else {
            EXPECT_EQ(Read(out + "/Photos/p1.jpg"), "photo one") << typed.entry;
            EXPECT_EQ(Read(out + "/Photos/2004/p2.jpg"), std::string(1536, 'x')) << typed.entry;
            EXPECT_FALSE(fs::exists(P(out + "/p1.jpg"))) << typed.entry;
        }
        // The saved list holds the absolute path, which loads from anywhere.
        EXPECT_EQ(Deserialize(saved).PresentEntries(),
                  std::vector<std::string> {P(file ? "src/Docs/a.txt" : "src/Photos")});
    }
}

TEST_F(CliTest, ARepeatSaysWhatWasCopiedAndWhatWasUpToDate)
{
    EXPECT_EQ(RunCli({P("src/Photos"), P("src/Docs/a.txt"), "--dest", P("out")}), kAllCopied);
    EXPECT_NE(out_.str().find("copied successfully\nFiles: 3 copied, 0 up to date, 0 failed\n"), std::string::npos)
        << out_.str();
    Write("src/Docs/a.txt", "longer text");
    EXPECT_EQ(RunCli({P("src/Photos"), P("src/Docs/a.txt"), "--overwrite", "--dest", P("out")}), kAllCopied);
    EXPECT_NE(out_.str().find("Files: 1 copied, 2 up to date, 0 failed\n"), std::string::npos) << out_.str();
    EXPECT_EQ(Read("out/Docs/a.txt"), "longer text");
    EXPECT_EQ(RunCli({P("src/Photos"), "--on-error", "continue", "--dest", P("out")}), kSomeFailed);
    EXPECT_NE(out_.str().find("Files: 0 copied, 0 up to date, 2 failed\n"), std::string::npos) << out_.str();
}

}  // namespace

TEST(CliProgress, ACopyThatStallsSaysItWaitsForTheDestination)
{
    StdThreadServices threads;
    JobState jobs;
    std::istringstream in;
    std::ostringstream out, err;
    CliHost host(threads, jobs, OnError::Stop, in, out, err, /*showProgress=*/true);
    host.BeginCopy(3);
    const auto now = std::chrono::steady_clock::now();
    host.Tick(now + std::chrono::seconds(1));
    EXPECT_EQ(err.str(), "");
    host.Tick(now + std::chrono::seconds(6));
    EXPECT_EQ(err.str(), "\rCopying: 0 of 3 files, waiting for the destination (6 s)");
    // After the result, a refresh that comes late draws no progress line
    // for the summary to be written after.
    host.Show({"3 KB copied successfully", "", MessageBoxButtons::OK, MessageBoxIcon::Information});
    err.str("");
    host.ShowProgress();
    host.Tick(now + std::chrono::seconds(20));
    EXPECT_EQ(err.str(), "");
}
