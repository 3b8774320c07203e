#include "engine/nativefs.h"
// Schedules: the units they write, the record of each run, and what an
#include "engine/nativefs.h"
// unattended run tells the desktop, with a clock and a notifier of the test.
#include "engine/nativefs.h"
#include <gtest/gtest.h>
#include "engine/nativefs.h"

#include "engine/nativefs.h"
#include <chrono>
#include "engine/nativefs.h"
#include <cstdlib>
#include "engine/nativefs.h"
#include <filesystem>
#include "engine/nativefs.h"
#include <fstream>
#include "engine/nativefs.h"
#include <sstream>
#include "engine/nativefs.h"
#include <thread>
#include "engine/nativefs.h"

#include "engine/nativefs.h"
#include "cli/run.h"
#include "engine/nativefs.h"
#include "cli/schedule.h"
#include "engine/nativefs.h"
#include "listfile/listfile.h"
#include "engine/nativefs.h"
#include "tests/common/temptree.h"
#include "engine/nativefs.h"

#include "engine/nativefs.h"
namespace fs = std::filesystem;
#include "engine/nativefs.h"
using namespace tandrel;
#include "engine/nativefs.h"
using namespace tandrel::cli;
#include "engine/nativefs.h"

#include "engine/nativefs.h"
namespace {
#include "engine/nativefs.h"

#include "engine/nativefs.h"
class FakeClock : public RunClock {
#include "engine/nativefs.h"
public:
#include "engine/nativefs.h"
    std::int64_t Now() const override
    {
        return now;
    }
#include "engine/nativefs.h"
    std::int64_t now = 1'800'000'000;
#include "engine/nativefs.h"
};
#include "engine/nativefs.h"

#include "engine/nativefs.h"
class FakeNotifier : public Notifier {
#include "engine/nativefs.h"
public:
#include "engine/nativefs.h"
    bool Notify(const Notice& notice, std::string& why) override
#include "engine/nativefs.h"
    {
#include "engine/nativefs.h"
        if (!reachable) {
#include "engine/nativefs.h"
            why = "no session bus";
#include "engine/nativefs.h"
            return false;
#include "engine/nativefs.h"
        }
#include "engine/nativefs.h"
        given.push_back(notice);
#include "engine/nativefs.h"
        return true;
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"
    bool reachable = true;
#include "engine/nativefs.h"
    std::vector<Notice> given;
#include "engine/nativefs.h"
};
#include "engine/nativefs.h"

#include "engine/nativefs.h"
class FakeManager : public UserManager {
#include "engine/nativefs.h"
public:
#include "engine/nativefs.h"
    bool Booted() override
    {
        return booted;
    }
#include "engine/nativefs.h"
    bool Runs() override
    {
        return runs;
    }
#include "engine/nativefs.h"
    int Systemctl(const std::vector<std::string>& args) override
#include "engine/nativefs.h"
    {
#include "engine/nativefs.h"
        std::string line;
#include "engine/nativefs.h"
        for (const std::string& arg : args) line += (line.empty() ? "" : " ") + arg;
#include "engine/nativefs.h"
        calls.push_back(line);
#include "engine/nativefs.h"
        return 0;
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"
    bool booted = true;
#include "engine/nativefs.h"
    bool runs = false;
#include "engine/nativefs.h"
    std::vector<std::string> calls;
#include "engine/nativefs.h"
};
#include "engine/nativefs.h"

#include "engine/nativefs.h"
std::string Slurp(const std::string& file)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    std::ifstream in(file, std::ios::binary);
#include "engine/nativefs.h"
    return std::string(std::istreambuf_iterator<char>(in), {});
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
class ScheduleTest : public ::testing::Test {
#include "engine/nativefs.h"
protected:
#include "engine/nativefs.h"
    void SetUp() override
#include "engine/nativefs.h"
    {
#include "engine/nativefs.h"
        tree_.File("src/a.txt", "a");
#include "engine/nativefs.h"
        tree_.File("src/b.txt", "b");
#include "engine/nativefs.h"
        fs::last_write_time(P("src/a.txt"), fs::file_time_type::clock::now() - std::chrono::seconds(10));
#include "engine/nativefs.h"
        fs::last_write_time(P("src/b.txt"), fs::file_time_type::clock::now() - std::chrono::seconds(10));
#include "engine/nativefs.h"
        Serialize(P("my list.lst"), std::vector<std::string> {P("src")});
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"
    std::string P(const std::string& relative) const
    {
        return tree_.Path(relative);
    }
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    // One run as the timer starts it.
#include "engine/nativefs.h"
    int Tick(const std::vector<std::string>& extra = {})
#include "engine/nativefs.h"
    {
#include "engine/nativefs.h"
        std::vector<std::string> args {"--scheduled", "nightly",        "--every", "1d",
#include "engine/nativefs.h"
                                       "--list",      P("my list.lst"), "--dest",  P("out")};
#include "engine/nativefs.h"
        args.insert(args.end(), extra.begin(), extra.end());
#include "engine/nativefs.h"
        const ScheduleCommand command = ParseScheduleCommand(args);
#include "engine/nativefs.h"
        out_.str("");
#include "engine/nativefs.h"
        err_.str("");
#include "engine/nativefs.h"
        ScheduledRun run(log_, notifier_, clock_);
#include "engine/nativefs.h"
        return run.Run(command, ParseOptions(command.rest), out_, err_, native_, &destinations_);
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    tandrel::testing::TempTree tree_;
#include "engine/nativefs.h"
    FakeClock clock_;
#include "engine/nativefs.h"
    FakeNotifier notifier_;
#include "engine/nativefs.h"
    RunLog log_ {tree_.Path("state")};
#include "engine/nativefs.h"
    DestinationMemory destinations_ {tree_.Path("destinations")};
#include "engine/nativefs.h"
    NativeFileSystem native_;
#include "engine/nativefs.h"
    std::ostringstream out_, err_;
#include "engine/nativefs.h"
};
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, UnitsRunTheListEveryIntervalAndPassSystemdsCheck)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    FakeManager manager;
#include "engine/nativefs.h"
    Schedules schedules(P("units"), manager);
#include "engine/nativefs.h"
    const ScheduleCommand command = ParseScheduleCommand(
#include "engine/nativefs.h"
        {"--schedule", "nightly", "--list", P("my list.lst"), "--dest", P("out 100%$x"), "--every", "8h"});
#include "engine/nativefs.h"
    const std::string program = TANDREL_CLI_PROGRAM;
#include "engine/nativefs.h"
    std::ostringstream out, err;
#include "engine/nativefs.h"
    ASSERT_EQ(AddSchedule(command, ParseOptions(command.rest), schedules, manager, log_, clock_, program, out, err),
#include "engine/nativefs.h"
              kAllCopied)
#include "engine/nativefs.h"
        << err.str();
#include "engine/nativefs.h"
    const std::string service = Slurp(schedules.ServiceFile("nightly"));
#include "engine/nativefs.h"
    const std::string timer = Slurp(schedules.TimerFile("nightly"));
#include "engine/nativefs.h"
    EXPECT_NE(timer.find("OnCalendar=*-*-* 00/8:00:00\n"), std::string::npos) << timer;
#include "engine/nativefs.h"
    EXPECT_NE(timer.find("Persistent=true\n"), std::string::npos);
#include "engine/nativefs.h"
    // systemd reads "%%" as '%' and "$$" as '$'.
#include "engine/nativefs.h"
    EXPECT_NE(service.find("--every 8h \"--list\" \"" + P("my list.lst") + "\" \"--dest\" \"" + P("out 100%%$$x") +
#include "engine/nativefs.h"
                           "\" \"--mode\" \"directory\"\n"),
#include "engine/nativefs.h"
              std::string::npos)
#include "engine/nativefs.h"
        << service;
#include "engine/nativefs.h"
    // Without a user manager now: enabled for the next login.
#include "engine/nativefs.h"
    EXPECT_TRUE(manager.calls.empty());
#include "engine/nativefs.h"
    EXPECT_TRUE(fs::is_symlink(P("units/timers.target.wants/tandrel-nightly.timer")));
#include "engine/nativefs.h"
    EXPECT_TRUE(fs::exists(P("units/timers.target.wants/tandrel-nightly.timer")));
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
#include "engine/nativefs.h"
        GTEST_SKIP() << "systemd-analyze is not installed: the units were not verified";
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"
    fs::create_directories(P("runtime"));
#include "engine/nativefs.h"
    fs::permissions(P("runtime"), fs::perms::owner_all, fs::perm_options::replace);
#include "engine/nativefs.h"
    const std::string report = P("verify.txt");
#include "engine/nativefs.h"
    const std::string verify = "XDG_RUNTIME_DIR='" + P("runtime") + "' timeout 60 systemd-analyze verify --user '" +
#include "engine/nativefs.h"
                               schedules.ServiceFile("nightly") + "' '" + schedules.TimerFile("nightly") + "' >'" +
#include "engine/nativefs.h"
                               report + "' 2>&1";
#include "engine/nativefs.h"
    EXPECT_EQ(std::system(verify.c_str()), 0) << Slurp(report);
#include "engine/nativefs.h"
    EXPECT_EQ(Slurp(report), "");  // unknown keys are only warned of
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, AUserManagerEnablesAndRemovesTheTimerAndWithoutSystemdNothingIsWritten)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    FakeManager manager;
#include "engine/nativefs.h"
    manager.runs = true;
#include "engine/nativefs.h"
    Schedules schedules(P("units"), manager);
#include "engine/nativefs.h"
    const ScheduleCommand command =
#include "engine/nativefs.h"
        ParseScheduleCommand({"--schedule", "n", "--list", P("my list.lst"), "--dest", P("out"), "--every", "30min"});
#include "engine/nativefs.h"
    std::ostringstream out, err;
#include "engine/nativefs.h"
    ASSERT_EQ(AddSchedule(command, ParseOptions(command.rest), schedules, manager, log_, clock_, "/bin/true", out, err),
#include "engine/nativefs.h"
              kAllCopied);
#include "engine/nativefs.h"
    EXPECT_EQ(manager.calls, (std::vector<std::string> {"daemon-reload", "enable --now tandrel-n.timer"}));
#include "engine/nativefs.h"
    ASSERT_EQ(ListSchedules(schedules, log_, out), kAllCopied);
#include "engine/nativefs.h"
    EXPECT_NE(out.str().find("n: every 30min into '" + P("out") + "'; no run yet"), std::string::npos) << out.str();
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    EXPECT_EQ(RemoveSchedule("n", schedules, log_, out, err), kAllCopied);
#include "engine/nativefs.h"
    EXPECT_EQ(manager.calls.at(2), "disable --now tandrel-n.timer");
#include "engine/nativefs.h"
    EXPECT_FALSE(fs::exists(schedules.TimerFile("n")));
#include "engine/nativefs.h"
    EXPECT_FALSE(fs::exists(schedules.ServiceFile("n")));
#include "engine/nativefs.h"
    EXPECT_EQ(RemoveSchedule("n", schedules, log_, out, err), kUsageOrGathering);
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    manager.booted = false;
#include "engine/nativefs.h"
    EXPECT_EQ(AddSchedule(command, ParseOptions(command.rest), schedules, manager, log_, clock_, "/bin/true", out, err),
#include "engine/nativefs.h"
              kUsageOrGathering);
#include "engine/nativefs.h"
    EXPECT_NE(err.str().find("\"Start with the Desktop\""), std::string::npos);
#include "engine/nativefs.h"
    EXPECT_FALSE(fs::exists(schedules.TimerFile("n")));
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, OnlyIntervalsACalendarKeepsAreTaken)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    EXPECT_EQ(ParseInterval("10min")->calendar, "*-*-* *:00/10:00");
#include "engine/nativefs.h"
    EXPECT_EQ(ParseInterval("1d")->seconds, 86400);
#include "engine/nativefs.h"
    EXPECT_EQ(ParseInterval("7d")->text, "1w");
#include "engine/nativefs.h"
    for (const char* bad : {"45min", "5h", "2d", "0min", "10", "h", "010min", "1y"})
#include "engine/nativefs.h"
        EXPECT_FALSE(ParseInterval(bad)) << bad;
#include "engine/nativefs.h"
        // The window's intervals.
#include "engine/nativefs.h"
    EXPECT_EQ(IntervalOfMilliseconds(1200000)->text, "20min");
#include "engine/nativefs.h"
    EXPECT_EQ(IntervalOfMilliseconds(28800000)->text, "8h");
#include "engine/nativefs.h"
    EXPECT_THROW(ParseScheduleCommand({"--schedule", "../x", "--every", "1d"}), std::invalid_argument);
#include "engine/nativefs.h"
    EXPECT_THROW(ParseScheduleCommand({"--schedule", "x", "--list", "l"}), std::invalid_argument);
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, AFailedRunIsRecordedAndNoticedAndSuccessIsQuiet)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    ASSERT_EQ(Tick(), kAllCopied);
#include "engine/nativefs.h"
    EXPECT_TRUE(notifier_.given.empty());  // quiet by default
#include "engine/nativefs.h"
    // The targets exist now: without --overwrite each file fails, and
#include "engine/nativefs.h"
    // nobody is asked.
#include "engine/nativefs.h"
    clock_.now += 60;
#include "engine/nativefs.h"
    EXPECT_EQ(Tick(), kSomeFailed);
#include "engine/nativefs.h"
    ASSERT_EQ(notifier_.given.size(), 1u);
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given[0].summary, "Backup failed");
#include "engine/nativefs.h"
    EXPECT_NE(notifier_.given[0].body.find("2 files failed.\n"), std::string::npos) << notifier_.given[0].body;
#include "engine/nativefs.h"
    EXPECT_NE(notifier_.given[0].body.find("File exists"), std::string::npos);
#include "engine/nativefs.h"
    EXPECT_EQ(err_.str().find("[y/n]"), std::string::npos);
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    const LastResult last = log_.Last("nightly").value();
#include "engine/nativefs.h"
    EXPECT_EQ(last.last.result, RunResult::Failed);
#include "engine/nativefs.h"
    EXPECT_EQ(last.last.failed, 2);
#include "engine/nativefs.h"
    EXPECT_EQ(last.last.failures.size(), 2u);
#include "engine/nativefs.h"
    EXPECT_EQ(last.lastSuccess, clock_.now - 60);
#include "engine/nativefs.h"
    const std::string log = Slurp(log_.LogFile());
#include "engine/nativefs.h"
    EXPECT_NE(log.find("nightly succeeded into '" + P("out") + "': 2 copied"), std::string::npos) << log;
#include "engine/nativefs.h"
    EXPECT_NE(log.find("nightly failed into '" + P("out") + "': 0 copied, 0 up to date, 2 failed\n  "),
#include "engine/nativefs.h"
              std::string::npos)
#include "engine/nativefs.h"
        << log;
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    // Without a session bus the run goes on and its log says so.
#include "engine/nativefs.h"
    notifier_.reachable = false;
#include "engine/nativefs.h"
    EXPECT_EQ(Tick(), kSomeFailed);
#include "engine/nativefs.h"
    EXPECT_NE(Slurp(log_.LogFile()).find("no notice given (no session bus): Backup failed"), std::string::npos);
#include "engine/nativefs.h"
    notifier_.reachable = true;
#include "engine/nativefs.h"
    EXPECT_EQ(Tick({"--overwrite", "--notify-success"}), kAllCopied);
#include "engine/nativefs.h"
    ASSERT_EQ(notifier_.given.size(), 2u);
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given[1].summary, "Backup complete");
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, AListThatIsGoneStopsTheRunWithItsReason)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    fs::remove(P("my list.lst"));
#include "engine/nativefs.h"
    EXPECT_EQ(Tick(), kUsageOrGathering);
#include "engine/nativefs.h"
    ASSERT_EQ(notifier_.given.size(), 1u);
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given[0].summary, "Backup stopped");
#include "engine/nativefs.h"
    EXPECT_NE(notifier_.given[0].body.find("did not run.\n"), std::string::npos) << notifier_.given[0].body;
#include "engine/nativefs.h"
    EXPECT_NE(notifier_.given[0].body.find(P("my list.lst")), std::string::npos) << notifier_.given[0].body;
#include "engine/nativefs.h"
    EXPECT_EQ(log_.Last("nightly")->last.result, RunResult::Stopped);
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, AMissingDriveWaitsWithOneNoticeAndTheBackupRunsOnceItIsBack)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    fs::create_directories(P("media/usb"));
#include "engine/nativefs.h"
    destinations_.Remember(P("out"), P("media/usb"));  // its drive, not mounted now
#include "engine/nativefs.h"
    clock_.now = 1'800'000'000;
#include "engine/nativefs.h"
    LastResult scheduled;
#include "engine/nativefs.h"
    scheduled.last.name = "nightly";
#include "engine/nativefs.h"
    scheduled.since = clock_.now;
#include "engine/nativefs.h"
    log_.Keep(scheduled);
#include "engine/nativefs.h"
    for (int day = 0; day <= 3; ++day) {
#include "engine/nativefs.h"
        EXPECT_EQ(Tick(), kAllCopied) << err_.str();
#include "engine/nativefs.h"
        clock_.now += 86400;
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"
    EXPECT_FALSE(fs::exists(P("out")));
#include "engine/nativefs.h"
    EXPECT_EQ(log_.Last("nightly")->last.result, RunResult::Waiting);
#include "engine/nativefs.h"
    // The drive once, then overdue once: three intervals without a success.
#include "engine/nativefs.h"
    ASSERT_EQ(notifier_.given.size(), 2u);
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given[0].summary, "Backup waiting for its drive");
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given[1].summary, "Backup overdue");
#include "engine/nativefs.h"
    EXPECT_EQ(Tick(), kAllCopied);
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given.size(), 2u);
#include "engine/nativefs.h"

#include "engine/nativefs.h"
    destinations_.Remember(P("out"), "/");  // plugged in
#include "engine/nativefs.h"
    EXPECT_EQ(Tick(), kAllCopied);
#include "engine/nativefs.h"
    EXPECT_EQ(tandrel::testing::TempTree::Read(P("out/src/a.txt")), "a");
#include "engine/nativefs.h"
    EXPECT_EQ(log_.Last("nightly")->lastSuccess, clock_.now);
#include "engine/nativefs.h"
    EXPECT_EQ(notifier_.given.size(), 2u);
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, OverdueAfterThreeIntervalsOrSevenDays)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    LastResult kept;
#include "engine/nativefs.h"
    kept.lastSuccess = 1'000'000;
#include "engine/nativefs.h"
    EXPECT_FALSE(Overdue(kept, 3600, kept.lastSuccess + 3 * 3600 - 1));
#include "engine/nativefs.h"
    EXPECT_TRUE(Overdue(kept, 3600, kept.lastSuccess + 3 * 3600));
#include "engine/nativefs.h"
    EXPECT_FALSE(Overdue(kept, 7 * 86400, kept.lastSuccess + 7 * 86400 - 1));
#include "engine/nativefs.h"
    EXPECT_TRUE(Overdue(kept, 7 * 86400, kept.lastSuccess + 7 * 86400));
#include "engine/nativefs.h"
    EXPECT_FALSE(Overdue(LastResult {}, 3600, kept.lastSuccess * 10));  // never scheduled: nothing to count from
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, AScheduledRunWaitsForAnotherBackupIntoItsDestination)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    fs::create_directories(P("out"));
#include "engine/nativefs.h"
    auto other = native_.BeginCopy(P("out") + "/");  // another backup, holding the destination
#include "engine/nativefs.h"
    ASSERT_TRUE(other->TryLock());
#include "engine/nativefs.h"
    std::thread release([&] {
#include "engine/nativefs.h"
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
#include "engine/nativefs.h"
        other.reset();  // the other backup ends
#include "engine/nativefs.h"
    });
#include "engine/nativefs.h"
    const int status = Tick();
#include "engine/nativefs.h"
    release.join();
#include "engine/nativefs.h"
    EXPECT_EQ(status, kAllCopied) << err_.str();
#include "engine/nativefs.h"
    EXPECT_NE(err_.str().find("Waiting for another backup into '" + P("out") + "' to finish"), std::string::npos);
#include "engine/nativefs.h"
    EXPECT_EQ(tandrel::testing::TempTree::Read(P("out/src/b.txt")), "b");
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
TEST_F(ScheduleTest, TheLogIsRotatedBeforeItGrowsPastItsLimit)
#include "engine/nativefs.h"
{
#include "engine/nativefs.h"
    RunLog small(P("small"), 1000);
#include "engine/nativefs.h"
    RunRecord record;
#include "engine/nativefs.h"
    record.name = "window";
#include "engine/nativefs.h"
    record.destination = P("out");
#include "engine/nativefs.h"
    record.failures = {std::string(200, 'x')};
#include "engine/nativefs.h"
    for (int i = 0; i < 20; ++i) {
#include "engine/nativefs.h"
        record.start = record.end = 1'800'000'000 + i;
#include "engine/nativefs.h"
        small.Append(record);
#include "engine/nativefs.h"
    }
#include "engine/nativefs.h"
    EXPECT_LE(fs::file_size(small.LogFile()), 1000u);
#include "engine/nativefs.h"
    EXPECT_LE(fs::file_size(small.LogFile() + ".1"), 1000u);
#include "engine/nativefs.h"
    EXPECT_GT(fs::file_size(small.LogFile() + ".1"), 500u);
#include "engine/nativefs.h"
    EXPECT_EQ(small.Last("window")->last.start, 1'800'000'019);
#include "engine/nativefs.h"
}
#include "engine/nativefs.h"

#include "engine/nativefs.h"
}  // namespace
