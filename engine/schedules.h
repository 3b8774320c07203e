// Backups that run without the window: a systemd user service and timer per
// schedule (~/.config/systemd/user/tandrel-NAME.service and .timer), which
// run tandrel-cli; and the desktop's autostart entry, which starts the
// window hidden in the tray.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tandrel {

// How often a schedule runs. A timer that catches up on the runs missed
// while the machine was off needs a calendar time, so only intervals that
// divide the day evenly are taken: minutes that divide an hour, hours that
// divide a day, a day or a week.
struct Interval {
    std::int64_t seconds = 0;
    std::string text;      // "10min", "2h", "1d", "1w"
    std::string calendar;  // the timer's OnCalendar=
};
std::optional<Interval> ParseInterval(const std::string& text);
// The interval an Auto Backup wait stands for, if a timer can keep it.
std::optional<Interval> IntervalOfMilliseconds(std::int64_t milliseconds);
extern const char* const kIntervalHelp;

// Letters, digits, '-', '_' and '.', at most 64 of them.
bool ValidScheduleName(const std::string& name);

struct Schedule {
    std::string name;
    Interval every;
    std::string destination;             // shown by the list of schedules
    std::vector<std::string> arguments;  // tandrel-cli's, after --scheduled NAME --every I
};

// A schedule of a backup list file into `destination` (both absolute), by
// `mode`; `extra` are further options of tandrel-cli, passed on as given.
Schedule MakeSchedule(const std::string& name, const Interval& every, const std::string& listFile,
                      const std::string& destination, CopyMode mode, bool overwrite,
                      const std::vector<std::string>& extra = {});

// The unit files' texts; `program` is tandrel-cli's absolute path.
std::string ServiceUnit(const Schedule& schedule, const std::string& program);
std::string TimerUnit(const Schedule& schedule);

// The systemd of this machine and this user. A seam, so tests need none.
class UserManager {
public:
    virtual ~UserManager() = default;
    // The machine was started by systemd.
    virtual bool Booted() = 0;
    // A user manager serves this user now (systemctl --user reaches it).
    virtual bool Runs() = 0;
    // Runs `systemctl --user ARGS...`; its exit status, -1 where it can't run.
    virtual int Systemctl(const std::vector<std::string>& args) = 0;
};

class SystemUserManager : public UserManager {
public:
    bool Booted() override;
    bool Runs() override;
    int Systemctl(const std::vector<std::string>& args) override;
};

struct ScheduleInfo {
    std::string name;
    std::string every;  // as written, "2h"
    std::string destination;
};

class Schedules {
public:
    // `folder`: where the user's units lie; DefaultFolder() for the real one.
    Schedules(std::string folder, UserManager& manager) : folder_(std::move(folder)), manager_(manager) {}
    static std::string DefaultFolder();  // $XDG_CONFIG_HOME/systemd/user

    // Writes both units and enables the timer: at once through the user
    // manager where it runs, else for the next login (the link that
    // `systemctl --user enable` makes). Throws std::runtime_error, with
    // the path and the system's message, where a unit can't be written;
    // returns what the user should know (empty: nothing).
    std::string Add(const Schedule& schedule, const std::string& program);
    // Stops and removes both units; false where there was no such schedule.
    bool Remove(const std::string& name);
    std::vector<ScheduleInfo> List() const;

    std::string ServiceFile(const std::string& name) const;
    std::string TimerFile(const std::string& name) const;

private:
    std::string WantsLink(const std::string& name) const;
    std::string folder_;
    UserManager& manager_;
};

// The desktop's autostart entry for the window: $XDG_CONFIG_HOME/autostart.
std::string AutostartFile();
// `program` is the window's absolute path; it starts with --autostart.
std::string AutostartEntry(const std::string& program);
// Throws std::runtime_error (path and message) where it can't be written.
void WriteAutostartEntry(const std::string& file, const std::string& program);
void RemoveAutostartEntry(const std::string& file);

}  // namespace tandrel
