#include "engine/runlog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engine/settings.h"
#include "support/quoted.h"

namespace tandrel {

namespace {

std::filesystem::path PathOf(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::tm Broken(std::int64_t when, bool local)
{
    const std::time_t t = static_cast<std::time_t>(when);
    std::tm parts {};
#ifdef _WIN32
    local ? localtime_s(&parts, &t) : gmtime_s(&parts, &t);
#else
    local ? localtime_r(&t, &parts) : gmtime_r(&t, &parts);
#endif
    return parts;
}

std::string Format(std::int64_t when, bool local, const char* format)
{
    const std::tm parts = Broken(when, local);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, n);
}

std::optional<RunResult> ResultOf(const std::string& word)
{
    for (RunResult r : {RunResult::Succeeded, RunResult::Failed, RunResult::Stopped, RunResult::Waiting})
        if (word == ResultWord(r)) return r;
    return std::nullopt;
}

std::int64_t Number(const std::optional<std::string>& text)
{
    if (!text) return 0;
    try {
        return std::stoll(*text);
    } catch (const std::exception&) {
        return 0;
    }
}

std::string Plural(std::int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string StateFile(const std::string& name)
{
#ifdef _WIN32
    const char* local = std::getenv("LOCALAPPDATA");
    return local && *local ? std::string(local) + "\\Tandrel\\" + name : std::string();
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/tandrel/" + name;
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? std::string(home) + "/.local/state/tandrel/" + name : std::string();
#endif
}

std::int64_t SystemRunClock::Now() const
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* ResultWord(RunResult result)
{
    switch (result) {
    case RunResult::Succeeded:
        return "succeeded";
    case RunResult::Failed:
        return "failed";
    case RunResult::Stopped:
        return "stopped";
    case RunResult::Waiting:
        return "waiting";
    }
    return "failed";
}

RunLog::RunLog(std::string folder, std::uintmax_t maxBytes) : folder_(std::move(folder)), maxBytes_(maxBytes) {}

std::string RunLog::DefaultFolder()
{
    std::string file = StateFile("runs.log");
    return file.empty() ? file : file.substr(0, file.size() - std::string("runs.log").size() - 1);
}

std::string RunLog::LogFile() const
{
    return folder_.empty() ? folder_ : folder_ + "/runs.log";
}

std::string RunLog::LastFile(const std::string& name) const
{
    return folder_ + "/last-" + name;
}

void RunLog::Append(const RunRecord& record)
{
    if (folder_.empty()) return;
    std::ostringstream entry;
    entry << Format(record.start, false, "%Y-%m-%dT%H:%M:%SZ") << ' ' << Format(record.end, false, "%H:%M:%SZ") << ' '
          << record.name << ' ' << ResultWord(record.result) << " into " << support::Quoted(record.destination) << ": "
          << record.copied << " copied, " << record.upToDate << " up to date, " << record.failed << " failed\n";
    if (record.result == RunResult::Waiting)
        entry << "  the drive is not mounted at " << support::Quoted(record.mountPoint) << '\n';
    for (const std::string& failure : record.failures) entry << "  " << failure << '\n';
    if (!record.note.empty()) entry << "  " << record.note << '\n';
    const std::string text = entry.str();

    std::error_code ignored;
    const std::filesystem::path log = PathOf(LogFile());
    std::filesystem::create_directories(log.parent_path(), ignored);
    std::error_code sized;
    const std::uintmax_t size = std::filesystem::file_size(log, sized);
    if (!sized && size + text.size() > maxBytes_) {
        std::filesystem::path older = log;
        older += ".1";
        std::filesystem::rename(log, older, ignored);
    }
    {
        std::ofstream out(log, std::ios::binary | std::ios::app);
        out << text;
    }

    LastResult kept = Last(record.name).value_or(LastResult {});
    kept.last = record;
    if (record.result == RunResult::Succeeded) {
        kept.lastSuccess = record.end;
        kept.overdueNoticed = false;
    }
    if (record.result != RunResult::Waiting) kept.waitingNoticed = false;
    Keep(kept);
}

void RunLog::Keep(const LastResult& kept)
{
    if (folder_.empty()) return;
    KeyValueFile file(LastFile(kept.last.name));
    const RunRecord& r = kept.last;
    std::string failures;
    for (const std::string& failure : r.failures) failures += (failures.empty() ? "" : "\n") + failure;
    file.Set("result", std::string(ResultWord(r.result)));
    file.Set("start", std::to_string(r.start));
    file.Set("end", std::to_string(r.end));
    file.Set("destination", r.destination);
    file.Set("copied", std::to_string(r.copied));
    file.Set("upToDate", std::to_string(r.upToDate));
    file.Set("failed", std::to_string(r.failed));
    file.Set("failures", failures.empty() ? std::nullopt : std::optional(failures));
    file.Set("mountPoint", r.mountPoint.empty() ? std::nullopt : std::optional(r.mountPoint));
    file.Set("lastSuccess", std::to_string(kept.lastSuccess));
    file.Set("since", std::to_string(kept.since));
    file.Set("waitingNoticed", std::string(kept.waitingNoticed ? "1" : "0"));
    file.Set("overdueNoticed", std::string(kept.overdueNoticed ? "1" : "0"));
}

std::optional<LastResult> RunLog::Last(const std::string& name) const
{
    if (folder_.empty()) return std::nullopt;
    const KeyValueFile file(LastFile(name));
    const auto values = file.All();
    if (values.empty()) return std::nullopt;
    auto get = [&](const char* key) -> std::optional<std::string> {
        const auto it = values.find(key);
        return it == values.end() ? std::nullopt : std::optional(it->second);
    };
    LastResult kept;
    RunRecord& r = kept.last;
    r.name = name;
    // A file only made by scheduling holds no result yet: "waiting" stands
    // in for it, and the record's start stays 0.
    r.result = ResultOf(get("result").value_or("")).value_or(RunResult::Waiting);
    r.start = Number(get("start"));
    r.end = Number(get("end"));
    r.destination = get("destination").value_or("");
    r.copied = Number(get("copied"));
    r.upToDate = Number(get("upToDate"));
    r.failed = Number(get("failed"));
    r.mountPoint = get("mountPoint").value_or("");
    if (const auto failures = get("failures")) {
        std::istringstream lines(*failures);
        for (std::string line; std::getline(lines, line);) r.failures.push_back(line);
    }
    kept.lastSuccess = Number(get("lastSuccess"));
    kept.since = Number(get("since"));
    kept.waitingNoticed = get("waitingNoticed") == "1";
    kept.overdueNoticed = get("overdueNoticed") == "1";
    return kept;
}

void RunLog::Forget(const std::string& name)
{
    if (folder_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove(PathOf(LastFile(name)), ignored);
}

bool Overdue(const LastResult& kept, std::int64_t intervalSeconds, std::int64_t now)
{
    const std::int64_t from = kept.lastSuccess > 0 ? kept.lastSuccess : kept.since;
    if (from <= 0) return false;
    const std::int64_t allowed = std::min(3 * intervalSeconds, kOverdueDays * 86400);
    return now - from >= allowed;
}

std::string LocalTimeText(std::int64_t when)
{
    return Format(when, true, "%Y-%m-%d %H:%M");
}

std::string ResultLine(const RunRecord& r)
{
    if (r.start == 0) return "no run yet";
    std::string line = std::string(ResultWord(r.result)) + " at " + LocalTimeText(r.end ? r.end : r.start);
    switch (r.result) {
    case RunResult::Succeeded:
        return line + ": " + Plural(r.copied, "file", "files") + " copied, " + std::to_string(r.upToDate) +
               " up to date";
    case RunResult::Waiting:
        return line + ": the drive of " + support::Quoted(r.destination) + " is not mounted";
    case RunResult::Failed:
    case RunResult::Stopped:
        line += ": " + Plural(r.failed, "file", "files") + " failed";
        if (!r.failures.empty()) line += "; first: " + r.failures.front();
        return line;
    }
    return line;
}

Notice NoticeOf(const RunRecord& r)
{
    const std::string into = support::Quoted(r.destination);
    switch (r.result) {
    case RunResult::Succeeded:
        return {"Backup complete",
                "The backup into " + into + " copied " + Plural(r.copied, "file", "files") + "; " +
                    std::to_string(r.upToDate) + " were up to date.",
                false};
    case RunResult::Waiting:
        return {"Backup waiting for its drive",
                "The destination " + into + " is on a drive that is not mounted now (" + support::Quoted(r.mountPoint) +
                    "). The backup runs once the drive is plugged in.",
                false};
    case RunResult::Failed:
    case RunResult::Stopped: {
        // Stopped before any file: what stopped it is all there is to say.
        std::string body =
            r.result == RunResult::Stopped && r.failed == 0 ? "The backup into " + into + " did not run."
            : r.result == RunResult::Stopped
                ? "The backup into " + into + " was stopped: " + Plural(r.failed, "file", "files") + " failed."
                : "The backup into " + into + ": " + Plural(r.failed, "file", "files") + " failed.";
        if (!r.failures.empty()) body += "\n" + r.failures.front();
        return {r.result == RunResult::Stopped ? "Backup stopped" : "Backup failed", body, true};
    }
    }
    return {};
}

Notice OverdueNotice(const LastResult& kept, std::int64_t now)
{
    const std::string into = support::Quoted(kept.last.destination);
    const std::int64_t days = kept.lastSuccess > 0 ? (now - kept.lastSuccess) / 86400 : 0;
    std::string body =
        kept.lastSuccess > 0
            ? "The last backup into " + into + " that succeeded ran on " + LocalTimeText(kept.lastSuccess) +
                  (days > 0 ? " (" + Plural(days, "day", "days") + " ago)." : ".")
            : "No backup into " + into + " has succeeded since it was scheduled on " + LocalTimeText(kept.since) + ".";
    return {"Backup overdue", body, true};
}

}  // namespace tandrel
