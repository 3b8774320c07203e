// Schedules: the units they write, the record of each run, and what an
// unattended run tells the desktop, with a clock and a notifier of the test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/run.h"
#include "cli/schedule.h"
#include "listfile/listfile.h"
#include "tests/common/temptree.h"

namespace fs = std::filesystem;
using namespace tandrel;
using namespace tandrel::cli;

namespace {

class FakeClock : public RunClock {
public:
    std::int64_t Now() const override { return now; }
    std::int64_t now = 1'800'000'000;
};

class FakeNotifier : public Notifier {
public:
    bool Notify(const Notice& notice, std::string& why) override
    {
        if (!reachable) {
            why = "no session bus";
            return false;
        }
        given.push_back(notice);
        return true;
    }
    bool reachable = true;
    std::vector<Notice> given;
};

class FakeManager : public UserManager {
public:
    bool Booted() override { return booted; }
    bool Runs() override { return runs; }
    int Systemctl(const std::vector<std::string>& args) override
    {
        std::string line;
        for (const std::string& arg : args) line += (line.empty() ? "" : " ") + arg;
        calls.push_back(line);
        return 0;
    }
    bool booted = true;
    bool runs = false;
    std::vector<std::string> calls;
};

std::string Slurp(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ScheduleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree_.File("src/a.txt", "a");
        tree_.File("src/b.txt", "b");
        fs::last_write_time(P("src/a.txt"), fs::file_time_type::clock::now() - std::chrono::seconds(10));
        fs::last_write_time(P("src/b.txt"), fs::file_time_type::clock::now() - std::chrono::seconds(10));
        Serialize(P("my list.lst"), std::vector<std::string> {P("src")});
    }
    std::string P(const std::string& relative) const { return tree_.Path(relative); }

    // One run as the timer starts it.
    int Tick(const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args {"--scheduled", "nightly",        "--every", "1d",
                                       "--list",      P("my list.lst"), "--dest",  P("out")};
        args.insert(args.end(), extra.begin(), extra.end());
        const ScheduleCommand command = ParseScheduleCommand(args);
        out_.str("");
        err_.str("");
        ScheduledRun run(log_, notifier_, clock_);
        return run.Run(command, ParseOptions(command.rest), out_, err_, native_, &destinations_);
    }

    tandrel::testing::TempTree tree_;
    FakeClock clock_;
    FakeNotifier notifier_;
    RunLog log_ {tree_.Path("state")};
    DestinationMemory destinations_ {tree_.Path("destinations")};
    NativeFileSystem native_;
    std::ostringstream out_, err_;
};

TEST_F(ScheduleTest, UnitsRunTheListEveryIntervalAndPassSystemdsCheck)
{
    FakeManager manager;
    Schedules schedules(P("units"), manager);
    const ScheduleCommand command = ParseScheduleCommand(
        {"--schedule", "nightly", "--list", P("my list.lst"), "--dest", P("out 100%$x"), "--every", "8h"});
    const std::string program = TANDREL_CLI_PROGRAM;
    std::ostringstream out, err;
    ASSERT_EQ(AddSchedule(command, ParseOptions(command.rest), schedules, manager, log_, clock_, program, out, err),
              kAllCopied)
        << err.str();
    const std::string service = Slurp(schedules.ServiceFile("nightly"));
    const std::string timer = Slurp(schedules.TimerFile("nightly"));
    EXPECT_NE(timer.find("OnCalendar=*-*-* 00/8:00:00\n"), std::string::npos) << timer;
    EXPECT_NE(timer.find("Persistent=true\n"), std::string::npos);
    // systemd reads "%%" as '%' and "$$" as '$'.
    EXPECT_NE(service.find("--every 8h \"--list\" \"" + P("my list.lst") + "\" \"--dest\" \"" + P("out 100%%$$x") +
                           "\" \"--mode\" \"directory\"\n"),
              std::string::npos)
        << service;
    // Without a user manager now: enabled for the next login.
    EXPECT_TRUE(manager.calls.empty());
    EXPECT_TRUE(fs::is_symlink(P("units/timers.target.wants/tandrel-nightly.timer")));
    EXPECT_TRUE(fs::exists(P("units/timers.target.wants/tandrel-nightly.timer")));

    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed: the units were not verified";
    }
    fs::create_directories(P("runtime"));
    fs::permissions(P("runtime"), fs::perms::owner_all, fs::perm_options::replace);
    const std::string report = P("verify.txt");
    const std::string verify = "XDG_RUNTIME_DIR='" + P("runtime") + "' timeout 60 systemd-analyze verify --user '" +
                               schedules.ServiceFile("nightly") + "' '" + schedules.TimerFile("nightly") + "' >'" +
                               report + "' 2>&1";
    EXPECT_EQ(std::system(verify.c_str()), 0) << Slurp(report);
    EXPECT_EQ(Slurp(report), "");  // unknown keys are only warned of
}

TEST_F(ScheduleTest, AUserManagerEnablesAndRemovesTheTimerAndWithoutSystemdNothingIsWritten)
{
    FakeManager manager;
    manager.runs = true;
    Schedules schedules(P("units"), manager);
    const ScheduleCommand command =
        ParseScheduleCommand({"--schedule", "n", "--list", P("my list.lst"), "--dest", P("out"), "--every", "30min"});
    std::ostringstream out, err;
    ASSERT_EQ(AddSchedule(command, ParseOptions(command.rest), schedules, manager, log_, clock_, "/bin/true", out, err),
              kAllCopied);
    EXPECT_EQ(manager.calls, (std::vector<std::string> {"daemon-reload", "enable --now tandrel-n.timer"}));
    ASSERT_EQ(ListSchedules(schedules, log_, out), kAllCopied);
    EXPECT_NE(out.str().find("n: every 30min into '" + P("out") + "'; no run yet"), std::string::npos) << out.str();

    EXPECT_EQ(RemoveSchedule("n", schedules, log_, out, err), kAllCopied);
    EXPECT_EQ(manager.calls.at(2), "disable --now tandrel-n.timer");
    EXPECT_FALSE(fs::exists(schedules.TimerFile("n")));
    EXPECT_FALSE(fs::exists(schedules.ServiceFile("n")));
    EXPECT_EQ(RemoveSchedule("n", schedules, log_, out, err), kUsageOrGathering);

    manager.booted = false;
    EXPECT_EQ(AddSchedule(command, ParseOptions(command.rest), schedules, manager, log_, clock_, "/bin/true", out, err),
              kUsageOrGathering);
    EXPECT_NE(err.str().find("\"Start with the Desktop\""), std::string::npos);
    EXPECT_FALSE(fs::exists(schedules.TimerFile("n")));
}

TEST_F(ScheduleTest, OnlyIntervalsACalendarKeepsAreTaken)
{
    EXPECT_EQ(ParseInterval("10min")->calendar, "*-*-* *:00/10:00");
    EXPECT_EQ(ParseInterval("1d")->seconds, 86400);
    EXPECT_EQ(ParseInterval("7d")->text, "1w");
    for (const char* bad : {"45min", "5h", "2d", "0min", "10", "h", "010min", "1y"})
        EXPECT_FALSE(ParseInterval(bad)) << bad;
    // The window's intervals.
    EXPECT_EQ(IntervalOfMilliseconds(1200000)->text, "20min");
    EXPECT_EQ(IntervalOfMilliseconds(28800000)->text, "8h");
    EXPECT_THROW(ParseScheduleCommand({"--schedule", "../x", "--every", "1d"}), std::invalid_argument);
    EXPECT_THROW(ParseScheduleCommand({"--schedule", "x", "--list", "l"}), std::invalid_argument);
}

TEST_F(ScheduleTest, AFailedRunIsRecordedAndNoticedAndSuccessIsQuiet)
{
    ASSERT_EQ(Tick(), kAllCopied);
    EXPECT_TRUE(notifier_.given.empty());  // quiet by default
    // The targets exist now: without --overwrite each file fails, and
    // nobody is asked.
    clock_.now += 60;
    EXPECT_EQ(Tick(), kSomeFailed);
    ASSERT_EQ(notifier_.given.size(), 1u);
    EXPECT_EQ(notifier_.given[0].summary, "Backup failed");
    EXPECT_NE(notifier_.given[0].body.find("2 files failed.\n"), std::string::npos) << notifier_.given[0].body;
    EXPECT_NE(notifier_.given[0].body.find("File exists"), std::string::npos);
    EXPECT_EQ(err_.str().find("[y/n]"), std::string::npos);

    const LastResult last = log_.Last("nightly").value();
    EXPECT_EQ(last.last.result, RunResult::Failed);
    EXPECT_EQ(last.last.failed, 2);
    EXPECT_EQ(last.last.failures.size(), 2u);
    EXPECT_EQ(last.lastSuccess, clock_.now - 60);
    const std::string log = Slurp(log_.LogFile());
    EXPECT_NE(log.find("nightly succeeded into '" + P("out") + "': 2 copied"), std::string::npos) << log;
    EXPECT_NE(log.find("nightly failed into '" + P("out") + "': 0 copied, 0 up to date, 2 failed\n  "),
              std::string::npos)
        << log;

    // Without a session bus the run goes on and its log says so.
    notifier_.reachable = false;
    EXPECT_EQ(Tick(), kSomeFailed);
    EXPECT_NE(Slurp(log_.LogFile()).find("no notice given (no session bus): Backup failed"), std::string::npos);
    notifier_.reachable = true;
    EXPECT_EQ(Tick({"--overwrite", "--notify-success"}), kAllCopied);
    ASSERT_EQ(notifier_.given.size(), 2u);
    EXPECT_EQ(notifier_.given[1].summary, "Backup complete");
}

TEST_F(ScheduleTest, AListThatIsGoneStopsTheRunWithItsReason)
{
    fs::remove(P("my list.lst"));
    EXPECT_EQ(Tick(), kUsageOrGathering);
    ASSERT_EQ(notifier_.given.size(), 1u);
    EXPECT_EQ(notifier_.given[0].summary, "Backup stopped");
    EXPECT_NE(notifier_.given[0].body.find("did not run.\n"), std::string::npos) << notifier_.given[0].body;
    EXPECT_NE(notifier_.given[0].body.find(P("my list.lst")), std::string::npos) << notifier_.given[0].body;
    EXPECT_EQ(log_.Last("nightly")->last.result, RunResult::Stopped);
}

TEST_F(ScheduleTest, AMissingDriveWaitsWithOneNoticeAndTheBackupRunsOnceItIsBack)
{
    fs::create_directories(P("media/usb"));
    destinations_.Remember(P("out"), P("media/usb"));  // its drive, not mounted now
    clock_.now = 1'800'000'000;
    LastResult scheduled;
    scheduled.last.name = "nightly";
    scheduled.since = clock_.now;
    log_.Keep(scheduled);
    for (int day = 0; day <= 3; ++day) {
        EXPECT_EQ(Tick(), kAllCopied) << err_.str();
        clock_.now += 86400;
    }
    EXPECT_FALSE(fs::exists(P("out")));
    EXPECT_EQ(log_.Last("nightly")->last.result, RunResult::Waiting);
    // The drive once, then overdue once: three intervals without a success.
    ASSERT_EQ(notifier_.given.size(), 2u);
    EXPECT_EQ(notifier_.given[0].summary, "Backup waiting for its drive");
    EXPECT_EQ(notifier_.given[1].summary, "Backup overdue");
    EXPECT_EQ(Tick(), kAllCopied);
    EXPECT_EQ(notifier_.given.size(), 2u);

    destinations_.Remember(P("out"), "/");  // plugged in
    EXPECT_EQ(Tick(), kAllCopied);
    EXPECT_EQ(tandrel::testing::TempTree::Read(P("out/src/a.txt")), "a");
    EXPECT_EQ(log_.Last("nightly")->lastSuccess, clock_.now);
    EXPECT_EQ(notifier_.given.size(), 2u);
}

TEST_F(ScheduleTest, OverdueAfterThreeIntervalsOrSevenDays)
{
    LastResult kept;
    kept.lastSuccess = 1'000'000;
    EXPECT_FALSE(Overdue(kept, 3600, kept.lastSuccess + 3 * 3600 - 1));
    EXPECT_TRUE(Overdue(kept, 3600, kept.lastSuccess + 3 * 3600));
    EXPECT_FALSE(Overdue(kept, 7 * 86400, kept.lastSuccess + 7 * 86400 - 1));
    EXPECT_TRUE(Overdue(kept, 7 * 86400, kept.lastSuccess + 7 * 86400));
    EXPECT_FALSE(Overdue(LastResult {}, 3600, kept.lastSuccess * 10));  // never scheduled: nothing to count from
}

TEST_F(ScheduleTest, AScheduledRunWaitsForAnotherBackupIntoItsDestination)
{
    fs::create_directories(P("out"));
    auto other = native_.BeginCopy(P("out") + "/");  // another backup, holding the destination
    ASSERT_TRUE(other->TryLock());
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        other.reset();  // the other backup ends
    });
    const int status = Tick();
    release.join();
    EXPECT_EQ(status, kAllCopied) << err_.str();
    EXPECT_NE(err_.str().find("Waiting for another backup into '" + P("out") + "' to finish"), std::string::npos);
    EXPECT_EQ(tandrel::testing::TempTree::Read(P("out/src/b.txt")), "b");
}

TEST_F(ScheduleTest, TheLogIsRotatedBeforeItGrowsPastItsLimit)
{
    RunLog small(P("small"), 1000);
    RunRecord record;
    record.name = "window";
    record.destination = P("out");
    record.failures = {std::string(200, 'x')};
    for (int i = 0; i < 20; ++i) {
        record.start = record.end = 1'800'000'000 + i;
        small.Append(record);
    }
    EXPECT_LE(fs::file_size(small.LogFile()), 1000u);
    EXPECT_LE(fs::file_size(small.LogFile() + ".1"), 1000u);
    EXPECT_GT(fs::file_size(small.LogFile() + ".1"), 500u);
    EXPECT_EQ(small.Last("window")->last.start, 1'800'000'019);
}

}  // namespace
