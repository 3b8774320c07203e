// The names of the run folders in a versions folder, and its README.
#include <chrono>
#include <cstdio>

#include "engine/detail/versionnames.h"

namespace tandrel::versions {

const char* const kReadmeText =
    "This folder holds the copies that Tandrel's backups replaced.\n"
    "\n"
    "When a backup with Overwrite replaces a file in this destination, the\n"
    "copy it replaces is kept here first: in a folder named by the time the\n"
    "backup started (UTC), at the same path below it as the file had in the\n"
    "destination, with its own modification time.\n"
    "\n"
    "To get a file back as it was at a time, restore it with Tandrel: File >\n"
    "Restore... in the window, or\n"
    "\n"
    "    tandrel-cli --restore --dest DESTINATION --at \"YYYY-MM-DD HH:MM\" PATH\n"
    "\n"
    "(tandrel-cli --versions --dest DESTINATION PATH lists every copy kept of\n"
    "it). Or copy it from here to where you want it, with your file manager.\n"
    "\n"
    "Kept copies older than the number of days the backup keeps them (30 by\n"
    "default) are removed at the start of a later backup, but the newest kept\n"
    "copy of each file always stays. Only the folders that Tandrel made here\n"
    "are touched.\n";

namespace {

constexpr char kShape[] = "dddd-dd-ddTdd-dd-ddZ";  // 'd': a digit
constexpr std::size_t kShapeLength = sizeof kShape - 1;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int Number(const std::string& text, std::size_t at, std::size_t digits)
{
    int value = 0;
    for (std::size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

}  // namespace

std::string RunName(std::int64_t seconds)
{
    using namespace std::chrono;
    const sys_seconds at {std::chrono::seconds {seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date {day};
    const hh_mm_ss time {at - day};
    char name[40];
    std::snprintf(name, sizeof name, "%04d-%02u-%02uT%02d-%02d-%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return name;
}

std::int64_t RunTime(const std::string& name)
{
    if (name.size() < kShapeLength) return -1;
    for (std::size_t i = 0; i < kShapeLength; ++i)
        if (kShape[i] == 'd' ? !IsDigit(name[i]) : name[i] != kShape[i]) return -1;
    if (name.size() > kShapeLength) {
        if (name[kShapeLength] != '-' || name.size() == kShapeLength + 1) return -1;
        for (std::size_t i = kShapeLength + 1; i < name.size(); ++i)
            if (!IsDigit(name[i])) return -1;
    }
    using namespace std::chrono;
    const year_month_day date {year {Number(name, 0, 4)}, month {static_cast<unsigned>(Number(name, 5, 2))},
                               day {static_cast<unsigned>(Number(name, 8, 2))}};
    const int hours = Number(name, 11, 2), minutes = Number(name, 14, 2), secs = Number(name, 17, 2);
    if (!date.ok() || hours > 23 || minutes > 59 || secs > 60) return -1;
    return sys_days {date}.time_since_epoch() / std::chrono::seconds {1} + hours * 3600 + minutes * 60 + secs;
}

}  // namespace tandrel::versions
