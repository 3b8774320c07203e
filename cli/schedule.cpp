#include "cli/schedule.h"

#include <filesystem>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "cli/run.h"
#include "listfile/listfile.h"
#include "support/quoted.h"

namespace tandrel::cli {

namespace {

RunResult ResultOf(int status, const RunOutcome& outcome)
{
    if (!outcome.mountPoint.empty()) return RunResult::Waiting;
    if (status == kAllCopied) return RunResult::Succeeded;
    if (status == kSomeFailed) return RunResult::Failed;
    return RunResult::Stopped;
}

}  // namespace

const char* ScheduleUsage()
{
    return "\n"
           "Schedules (systemd user timers; see tandrel-cli(1)):\n"
           "  --schedule NAME --list FILE --dest DIR [--mode MODE] [--overwrite] --every INTERVAL\n"
           "                    back up the list FILE into DIR every INTERVAL, without the window:\n"
           "                    10min, 30min, 2h, 8h, 1d, 1w (a run missed while the machine was\n"
           "                    off runs at the next start); --notify-success: a notice after\n"
           "                    every backup, not only after a failure\n"
           "  --unschedule NAME remove the schedule NAME\n"
           "  --schedules       list the schedules and the last result of each\n";
}

ScheduleCommand ParseScheduleCommand(const std::vector<std::string>& args)
{
    ScheduleCommand command;
    auto set = [&](ScheduleCommand::Kind kind, const std::string& arg) {
        if (command.kind != ScheduleCommand::None)
            throw std::invalid_argument(arg + " goes with no other of --schedule, --unschedule and --schedules");
        command.kind = kind;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument("option " + arg + " needs a value");
            return args[++i];
        };
        auto name = [&](ScheduleCommand::Kind kind) {
            set(kind, arg);
            command.name = value();
            if (!ValidScheduleName(command.name))
                throw std::invalid_argument("a schedule's name is made of letters, digits, '-', '_' and '.', not " +
                                            support::Quoted(command.name));
        };
        if (arg == "--") {
            command.rest.insert(command.rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        } else if (arg == "--schedule") {
            name(ScheduleCommand::Add);
        } else if (arg == "--unschedule") {
            name(ScheduleCommand::Remove);
        } else if (arg == "--scheduled") {
            name(ScheduleCommand::RunScheduled);
        } else if (arg == "--schedules") {
            set(ScheduleCommand::List, arg);
        } else if (arg == "--every") {
            const std::string& text = value();
            command.every = ParseInterval(text);
            if (!command.every)
                throw std::invalid_argument("--every takes " + std::string(kIntervalHelp) + ", not " +
                                            support::Quoted(text));
        } else if (arg == "--notify-success") {
            command.notifySuccess = true;
        } else {
            command.rest.push_back(arg);
        }
    }
    const bool timed = command.kind == ScheduleCommand::Add || command.kind == ScheduleCommand::RunScheduled;
    if (timed && !command.every) throw std::invalid_argument("--schedule needs --every INTERVAL");
    if (!timed && (command.every || command.notifySuccess))
        throw std::invalid_argument("--every and --notify-success go with --schedule NAME");
    if ((command.kind == ScheduleCommand::Remove || command.kind == ScheduleCommand::List) && !command.rest.empty())
        throw std::invalid_argument("--unschedule and --schedules take no other options");
    return command;
}

int AddSchedule(const ScheduleCommand& command, const Options& options, Schedules& schedules, UserManager& manager,
                RunLog& log, const RunClock& clock, const std::string& program, std::ostream& out, std::ostream& err)
{
    if (!options.listFile || !options.destination || !options.entries.empty()) {
        err << "tandrel-cli: --schedule backs up a backup list file: --list FILE --dest DIR, no ENTRY\n";
        return kUsageOrGathering;
    }
    if (!manager.Booted()) {
        err << "tandrel-cli: systemd does not run on this machine, so no timer can start a backup.\n"
               "Tandrel's window can start with the desktop instead: \"Start with the Desktop\" in its File menu\n"
               "starts it hidden in the tray, with its last backup list, destination and Auto Backup.\n";
        return kUsageOrGathering;
    }
    const std::string here = CurrentFolder();
    const std::string list = AbsoluteEntry(*options.listFile, here, PathStyle::Native());
    const std::string destination =
        WithoutFinalSeparator(AbsoluteEntry(*options.destination, here, PathStyle::Native()), PathStyle::Native());
    for (const std::string& path : {list, destination, program})
        if (path.find('\n') != std::string::npos) {
            err << "tandrel-cli: a scheduled path can't hold a line break: " << support::Quoted(path) << '\n';
            return kUsageOrGathering;
        }
    try {
        (void)Deserialize(list);  // a list that can't be read now fails every run
    } catch (const std::exception& failure) {
        err << "tandrel-cli: " << failure.what() << '\n';
        return kUsageOrGathering;
    }
    std::vector<std::string> extra;
    if (options.keepVersions >= 0) extra.insert(extra.end(), {"--keep-versions", std::to_string(options.keepVersions)});
    if (options.jobs > 0) extra.insert(extra.end(), {"--jobs", std::to_string(options.jobs)});
    if (!options.subdirectories) extra.push_back("--no-subdirs");
    if (command.notifySuccess) extra.push_back("--notify-success");
    const Schedule schedule =
        MakeSchedule(command.name, *command.every, list, destination, options.mode, options.overwrite, extra);
    std::string told;
    try {
        told = schedules.Add(schedule, program);
    } catch (const std::exception& failure) {
        err << "tandrel-cli: " << failure.what() << '\n';
        return kUsageOrGathering;
    }
    // Overdue counts from now until the first run succeeds.
    LastResult kept = log.Last(command.name).value_or(LastResult {});
    kept.last.name = command.name;
    kept.last.destination = destination;
    if (kept.since == 0) kept.since = clock.Now();
    log.Keep(kept);
    out << "Scheduled " << command.name << ": " << support::Quoted(list) << " into " << support::Quoted(destination)
        << ", every " << schedule.every.text << " (" << schedules.TimerFile(command.name) << ")\n";
    if (!told.empty()) out << told << '\n';
    return kAllCopied;
}

int RemoveSchedule(const std::string& name, Schedules& schedules, RunLog& log, std::ostream& out, std::ostream& err)
{
    if (!schedules.Remove(name)) {
        err << "tandrel-cli: there is no schedule " << name << '\n';
        return kUsageOrGathering;
    }
    log.Forget(name);
    out << "Removed the schedule " << name << '\n';
    return kAllCopied;
}

int ListSchedules(Schedules& schedules, const RunLog& log, std::ostream& out)
{
    const std::vector<ScheduleInfo> found = schedules.List();
    if (found.empty()) out << "No schedules.\n";
    for (const ScheduleInfo& info : found) {
        const std::optional<LastResult> kept = log.Last(info.name);
        out << info.name << ": every " << info.every << " into " << support::Quoted(info.destination) << "; "
            << (kept ? ResultLine(kept->last) : std::string("no run yet")) << '\n';
    }
    return kAllCopied;
}

std::string ScheduledRun::Give(const Notice& notice, std::ostream& err)
{
    std::string why;
    if (notifier_.Notify(notice, why)) return {};
    err << "tandrel-cli: no notice given (" << why << "): " << notice.summary << '\n';
    return "no notice given (" + why + "): " + notice.summary;
}

int ScheduledRun::Run(const ScheduleCommand& command, Options options, std::ostream& out, std::ostream& err,
                      FileSystem& fs, DestinationMemory* destinations, const ExclusionChoices* user)
{
    // Nobody is there to answer: a failed file is passed by, and reported.
    options.onError = OnError::Continue;
    options.noWait = false;
    std::istringstream nobody;
    RunOutcome outcome;
    RunRecord record;
    record.name = command.name;
    record.start = clock_.Now();
    int status = cli::Run(options, false, nobody, out, err, fs, destinations, &outcome, user);
    record.end = clock_.Now();
    record.result = ResultOf(status, outcome);
    record.destination =
        outcome.destination.empty() && options.destination ? *options.destination : outcome.destination;
    record.copied = outcome.summary.copied;
    record.upToDate = outcome.summary.upToDate;
    record.failed = outcome.summary.failed;
    record.failures = outcome.failures;
    record.mountPoint = outcome.mountPoint;
    if (outcome.summary.lockRefused) record.failures.insert(record.failures.begin(), "another backup held it");

    LastResult kept = log_.Last(command.name).value_or(LastResult {});
    std::vector<std::string> notes;
    bool waitingNoticed = kept.waitingNoticed;
    if (record.result == RunResult::Waiting) {
        if (!waitingNoticed) notes.push_back(Give(NoticeOf(record), err));
        waitingNoticed = true;
    } else if (record.result != RunResult::Succeeded || command.notifySuccess) {
        notes.push_back(Give(NoticeOf(record), err));
    }
    kept.last = record;
    bool overdueNoticed = kept.overdueNoticed;
    if (record.result != RunResult::Succeeded && !overdueNoticed && Overdue(kept, command.every->seconds, record.end)) {
        notes.push_back(Give(OverdueNotice(kept, record.end), err));
        overdueNoticed = true;
    }
    for (const std::string& note : notes)
        if (!note.empty()) record.note += (record.note.empty() ? "" : "; ") + note;
    log_.Append(record);
    if (std::optional<LastResult> now = log_.Last(command.name)) {
        now->waitingNoticed = record.result == RunResult::Waiting && waitingNoticed;
        now->overdueNoticed = record.result != RunResult::Succeeded && overdueNoticed;
        log_.Keep(*now);
    }
    if (record.result == RunResult::Waiting) {
        out << "Waiting: the drive of " << support::Quoted(record.destination)
            << " is not mounted; the backup runs at the timer's next tick once it is.\n";
        return kAllCopied;  // not a failure of the unit every interval
    }
    return status;
}

}  // namespace tandrel::cli
