// The record of each backup: every run's result appended to a log, and the
// last result of each kind of run (a schedule by its name, the window) in a
// small file of its own, which `tandrel-cli --schedules` and the window's
// tray tooltip read. Both lie in $XDG_STATE_HOME/tandrel (else
// ~/.local/state/tandrel), or %LOCALAPPDATA%\Tandrel on Windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tandrel {

// The path of the per-user state file `name`; empty where there is no
// folder for it.
std::string StateFile(const std::string& name);

// Seconds since 1970, UTC, as the runs are recorded; a seam for tests.
class RunClock {
public:
    virtual ~RunClock() = default;
    virtual std::int64_t Now() const = 0;
};

class SystemRunClock : public RunClock {
public:
    std::int64_t Now() const override;
};

enum class RunResult {
    Succeeded,  // every file copied or already up to date
    Failed,     // some files failed, the others were copied
    Stopped,    // the run ended at a failed file, or never began its files
    Waiting,    // the destination's drive was not mounted: nothing was tried
};
const char* ResultWord(RunResult result);  // "succeeded", "failed", ...

struct RunRecord {
    std::string name;  // the schedule's name, or "window"
    std::int64_t start = 0;
    std::int64_t end = 0;
    RunResult result = RunResult::Succeeded;
    std::string destination;
    std::int64_t copied = 0;
    std::int64_t upToDate = 0;
    std::int64_t failed = 0;
    std::vector<std::string> failures;  // the first messages, in the order given
    std::string mountPoint;             // Waiting: where the drive belongs
    std::string note;                   // for the log only: a notice that could not be given
};

// What is kept of a name's runs between them.
struct LastResult {
    RunRecord last;
    std::int64_t lastSuccess = 0;  // 0: never
    std::int64_t since = 0;        // when the schedule was made (overdue counts from it until a success)
    bool waitingNoticed = false;   // the notice of the missing drive was given
    bool overdueNoticed = false;   // the notice of an overdue backup was given
};

class RunLog {
public:
    // `folder` holds runs.log (and runs.log.1, the one before) and the last
    // results; empty: nothing is kept. The log is rotated once it would grow
    // past `maxBytes`, so both files together stay below twice that.
    explicit RunLog(std::string folder, std::uintmax_t maxBytes = kDefaultMaxBytes);
    static std::string DefaultFolder();
    static constexpr std::uintmax_t kDefaultMaxBytes = 1u << 20;
    static constexpr std::size_t kFailuresKept = 10;

    // Appends the record to the log and makes it the name's last result,
    // with the notices given for it. Never fails: a record that can't be
    // written is lost, and the backup goes on.
    void Append(const RunRecord& record);
    std::optional<LastResult> Last(const std::string& name) const;
    // Writes what is kept between runs (the notices given, `since`).
    void Keep(const LastResult& kept);
    void Forget(const std::string& name);

    const std::string& Folder() const { return folder_; }
    std::string LogFile() const;

private:
    std::string LastFile(const std::string& name) const;
    std::string folder_;
    std::uintmax_t maxBytes_;
};

// A backup is overdue when no run succeeded for three of its intervals, or
// for seven days, whichever is shorter, counted from the last success (or,
// before the first, from when it was scheduled).
constexpr std::int64_t kOverdueDays = 7;
bool Overdue(const LastResult& kept, std::int64_t intervalSeconds, std::int64_t now);

// The desktop notice for a run, in the user's words.
struct Notice {
    std::string summary;
    std::string body;
    bool critical = false;  // failures are; the rest is normal
};
Notice NoticeOf(const RunRecord& record);
Notice OverdueNotice(const LastResult& kept, std::int64_t now);

// "2026-12-10 07:55" in local time.
std::string LocalTimeText(std::int64_t when);
// One line for a last result: "failed at 2026-12-10 07:55: 2 of 14 files failed".
std::string ResultLine(const RunRecord& record);

}  // namespace tandrel
