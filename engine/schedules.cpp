#include "engine/schedules.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "engine/settings.h"
#include "support/quoted.h"

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace tandrel {

namespace {

std::filesystem::path PathOf(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// $XDG_CONFIG_HOME, else ~/.config; empty without either.
std::string ConfigHome()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return config;
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? std::string(home) + "/.config" : std::string();
}

// A word of a unit's command line, quoted as systemd reads it: '%' is a
// specifier and '$' a variable, both doubled to stand for themselves.
std::string UnitWord(const std::string& word)
{
    std::string out = "\"";
    for (char c : word) {
        if (c == '\\' || c == '"')
            out += std::string("\\") + c;
        else if (c == '%')
            out += "%%";
        else if (c == '$')
            out += "$$";
        else
            out.push_back(c);
    }
    return out + '"';
}

// A word of a desktop entry's Exec key: quoted, with '"', '`', '$' and '\'
// escaped for the command line and '\' once more for the entry's value.
std::string ExecWord(const std::string& word)
{
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '`' || c == '$')
            out += std::string("\\") + c;
        else if (c == '\\')
            out += "\\\\\\\\";
        else if (c == '%')
            out += "%%";
        else
            out.push_back(c);
    }
    return out + '"';
}

void WriteFile(const std::string& file, const std::string& text)
{
    std::error_code error;
    const std::filesystem::path path = PathOf(file);
    std::filesystem::create_directories(path.parent_path(), error);
    if (error)
        throw std::runtime_error("cannot make the folder " + support::Quoted(file.substr(0, file.rfind('/'))) + ": " +
                                 error.message());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + support::Quoted(file) + ": " + std::strerror(errno));
}

// The value of `key=` in a unit file, if it has one.
std::string ValueIn(const std::string& file, const std::string& key)
{
    std::ifstream in(PathOf(file), std::ios::binary);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

}  // namespace

const char* const kIntervalHelp =
    "minutes that divide an hour (10min, 30min), hours that divide a day (2h, 8h), 1d or 1w";

std::optional<Interval> ParseInterval(const std::string& text)
{
    std::size_t digits = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits == text.size() || text[0] == '0') return std::nullopt;
    const int n = std::stoi(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    const std::string count = std::to_string(n);
    if ((unit == "min" || unit == "m") && 60 % n == 0) {
        if (n == 60) return Interval {3600, "1h", "hourly"};
        return Interval {n * 60, count + "min", "*-*-* *:00/" + count + ":00"};
    }
    if (unit == "h" && 24 % n == 0) {
        if (n == 24) return Interval {86400, "1d", "daily"};
        return Interval {n * 3600, count + "h", n == 1 ? "hourly" : "*-*-* 00/" + count + ":00:00"};
    }
    if (unit == "d" && (n == 1 || n == 7)) return ParseInterval(n == 1 ? "24h" : "1w");
    if (unit == "w" && n == 1) return Interval {7 * 86400, "1w", "weekly"};
    return std::nullopt;
}

std::optional<Interval> IntervalOfMilliseconds(std::int64_t milliseconds)
{
    if (milliseconds <= 0 || milliseconds % 60000 != 0) return std::nullopt;
    const std::int64_t minutes = milliseconds / 60000;
    return minutes % 60 == 0 ? ParseInterval(std::to_string(minutes / 60) + "h")
                             : ParseInterval(std::to_string(minutes) + "min");
}

bool ValidScheduleName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name[0] == '.' || name[0] == '-') return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.'))
            return false;
    return true;
}

Schedule MakeSchedule(const std::string& name, const Interval& every, const std::string& listFile,
                      const std::string& destination, CopyMode mode, bool overwrite,
                      const std::vector<std::string>& extra)
{
    Schedule s {name, every, destination, {"--list", listFile, "--dest", destination, "--mode"}};
    s.arguments.push_back(mode == CopyMode::CdBackup      ? "cd"
                          : mode == CopyMode::Consolidate ? "consolidate"
                                                          : "directory");
    if (overwrite) s.arguments.push_back("--overwrite");
    s.arguments.insert(s.arguments.end(), extra.begin(), extra.end());
    return s;
}

std::string ServiceUnit(const Schedule& s, const std::string& program)
{
    std::string exec = UnitWord(program) + " --scheduled " + s.name + " --every " + s.every.text;
    for (const std::string& argument : s.arguments) exec += " " + UnitWord(argument);
    return "# Written by tandrel-cli --schedule; removed by tandrel-cli --unschedule " + s.name +
           ".\n"
           "[Unit]\n"
           "Description=Tandrel backup " +
           s.name + " into " + s.destination +
           "\n"
           "X-Tandrel-Every=" +
           s.every.text + "\nX-Tandrel-Destination=" + s.destination +
           "\n\n"
           "[Service]\n"
           "Type=oneshot\n"
           "ExecStart=" +
           exec +
           "\n"
           "Nice=10\n"
           "IOSchedulingClass=idle\n";
}

std::string TimerUnit(const Schedule& s)
{
    return "# Written by tandrel-cli --schedule; removed by tandrel-cli --unschedule " + s.name +
           ".\n"
           "[Unit]\n"
           "Description=Tandrel backup " +
           s.name + ", every " + s.every.text +
           "\n\n"
           "[Timer]\n"
           "OnCalendar=" +
           s.every.calendar +
           "\n"
           "Persistent=true\n"
           "Unit=tandrel-" +
           s.name +
           ".service\n\n"
           "[Install]\n"
           "WantedBy=timers.target\n";
}

#ifdef _WIN32
bool SystemUserManager::Booted()
{
    return false;
}
bool SystemUserManager::Runs()
{
    return false;
}
int SystemUserManager::Systemctl(const std::vector<std::string>&)
{
    return -1;
}
#else
bool SystemUserManager::Booted()
{
    std::error_code ignored;
    return std::filesystem::is_directory("/run/systemd/system", ignored);
}

bool SystemUserManager::Runs()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/') return false;
    std::error_code ignored;
    return std::filesystem::exists(std::string(runtime) + "/systemd/private", ignored);
}

int SystemUserManager::Systemctl(const std::vector<std::string>& args)
{
    std::vector<std::string> words {"systemctl", "--user", "--quiet"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

std::string Schedules::DefaultFolder()
{
    const std::string home = ConfigHome();
    return home.empty() ? home : home + "/systemd/user";
}

std::string Schedules::ServiceFile(const std::string& name) const
{
    return folder_ + "/tandrel-" + name + ".service";
}

std::string Schedules::TimerFile(const std::string& name) const
{
    return folder_ + "/tandrel-" + name + ".timer";
}

std::string Schedules::WantsLink(const std::string& name) const
{
    return folder_ + "/timers.target.wants/tandrel-" + name + ".timer";
}

std::string Schedules::Add(const Schedule& schedule, const std::string& program)
{
    if (folder_.empty()) throw std::runtime_error("there is no folder for the user's units (HOME is not set)");
    WriteFile(ServiceFile(schedule.name), ServiceUnit(schedule, program));
    WriteFile(TimerFile(schedule.name), TimerUnit(schedule));
    const std::string timer = "tandrel-" + schedule.name + ".timer";
    if (manager_.Runs()) {
        manager_.Systemctl({"daemon-reload"});
        if (manager_.Systemctl({"enable", "--now", timer}) == 0) return {};
        return "systemctl --user enable --now " + timer + " failed: the timer starts at the next login";
    }
    // Without a user manager now, the timer starts with the next one.
    std::error_code error;
    const std::filesystem::path link = PathOf(WantsLink(schedule.name));
    std::filesystem::create_directories(link.parent_path(), error);
    std::filesystem::remove(link, error);
    std::filesystem::create_symlink(std::filesystem::path("..") / PathOf(timer), link, error);
    if (error)
        return "cannot enable the timer (" + support::Quoted(WantsLink(schedule.name)) + ": " + error.message() + ")";
    return "No systemd user manager runs now: the timer starts at the next login.";
}

bool Schedules::Remove(const std::string& name)
{
    std::error_code error;
    const bool existed = std::filesystem::exists(PathOf(TimerFile(name)), error) ||
                         std::filesystem::exists(PathOf(ServiceFile(name)), error);
    if (!existed) return false;
    const bool runs = manager_.Runs();
    if (runs) manager_.Systemctl({"disable", "--now", "tandrel-" + name + ".timer"});
    std::filesystem::remove(PathOf(WantsLink(name)), error);
    std::filesystem::remove(PathOf(TimerFile(name)), error);
    std::filesystem::remove(PathOf(ServiceFile(name)), error);
    if (runs) manager_.Systemctl({"daemon-reload"});
    return true;
}

std::vector<ScheduleInfo> Schedules::List() const
{
    std::vector<ScheduleInfo> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(PathOf(folder_), error), end; !error && it != end;
         it.increment(error)) {
        const std::u8string file8 = it->path().filename().u8string();
        const std::string file(file8.begin(), file8.end());
        const std::string prefix = "tandrel-", suffix = ".service";
        if (file.size() <= prefix.size() + suffix.size() || file.rfind(prefix, 0) != 0 ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string name = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
        found.push_back(
            {name, ValueIn(ServiceFile(name), "X-Tandrel-Every"), ValueIn(ServiceFile(name), "X-Tandrel-Destination")});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return found;
}

std::string AutostartFile()
{
    const std::string home = ConfigHome();
    return home.empty() ? home : home + "/autostart/org.tandrel.tandrel.desktop";
}

std::string AutostartEntry(const std::string& program)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tandrel\n"
           "Comment=Starts Tandrel hidden in the tray, with its last backup list, destination and Auto Backup\n"
           "Exec=" +
           ExecWord(program) +
           " --autostart\n"
           "Icon=org.tandrel.tandrel\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void WriteAutostartEntry(const std::string& file, const std::string& program)
{
    if (file.empty()) throw std::runtime_error("there is no folder for the autostart entry (HOME is not set)");
    WriteFile(file, AutostartEntry(program));
}

void RemoveAutostartEntry(const std::string& file)
{
    std::error_code ignored;
    if (!file.empty()) std::filesystem::remove(PathOf(file), ignored);
}

}  // namespace tandrel
