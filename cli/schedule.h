// tandrel-cli's schedules: --schedule, --unschedule, --schedules, and the
// unattended run a schedule's timer starts (--scheduled NAME).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/notices.h"
#include "cli/options.h"
#include "engine/destinationmemory.h"
#include "engine/exclusions.h"
#include "engine/filesystem.h"
#include "engine/runlog.h"
#include "engine/schedules.h"

namespace tandrel::cli {

struct ScheduleCommand {
    enum Kind { None, Add, Remove, List, RunScheduled } kind = None;
    std::string name;
    std::optional<Interval> every;
    bool notifySuccess = false;
    std::vector<std::string> rest;  // the backup's own options, for ParseOptions
};

// Takes the schedule options out of argv[1..]; throws std::invalid_argument
// with a message for the user.
ScheduleCommand ParseScheduleCommand(const std::vector<std::string>& args);
const char* ScheduleUsage();

// --schedule: writes and enables the units for `options` (a list file and a
// destination). `program` is tandrel-cli's absolute path.
int AddSchedule(const ScheduleCommand& command, const Options& options, Schedules& schedules, UserManager& manager,
                RunLog& log, const RunClock& clock, const std::string& program, std::ostream& out, std::ostream& err);
int RemoveSchedule(const std::string& name, Schedules& schedules, RunLog& log, std::ostream& out, std::ostream& err);
int ListSchedules(Schedules& schedules, const RunLog& log, std::ostream& out);

// A run started by a schedule's timer. It asks nothing (a failed file is
// passed by, as --on-error continue does), waits for another backup into
// the same destination, records its result, and gives the desktop notices:
// a failure or a stop each time, a drive that is not mounted once until it
// is back, an overdue backup once until a run succeeds, a success only with
// --notify-success (or the setting notify-success).
class ScheduledRun {
public:
    ScheduledRun(RunLog& log, Notifier& notifier, const RunClock& clock) : log_(log), notifier_(notifier), clock_(clock)
    {
    }
    int Run(const ScheduleCommand& command, Options options, std::ostream& out, std::ostream& err, FileSystem& fs,
            DestinationMemory* destinations, const ExclusionChoices* user = nullptr);

private:
    // The note for the run's log where the notice was not given.
    std::string Give(const Notice& notice, std::ostream& err);
    RunLog& log_;
    Notifier& notifier_;
    const RunClock& clock_;
};

}  // namespace tandrel::cli
