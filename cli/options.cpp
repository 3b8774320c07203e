#include "cli/options.h"
#include "support/quoted.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace tandrel::cli {

const char* Usage()
{
    return "Usage: tandrel-cli [OPTIONS] ENTRY...\n"
           "       tandrel-cli --versions --dest DIR PATH\n"
           "       tandrel-cli --restore --dest DIR [--at \"YYYY-MM-DD HH:MM\"] [--to FOLDER] [--replace]\n"
           "                   [--dry-run] PATH...\n"
           "Backs up files and folders (ENTRYs) into a destination folder.\n"
           "Leaves out what the rules of the user's exclusions file, the .tandrelignore\n"
           "files of the folders and --exclude match, and caches tagged with CACHEDIR.TAG.\n"
           "\n"
           "  --dest DIR        destination folder; without it, only gather and print the totals\n"
           "  --mode MODE       directory (default) | cd | consolidate\n"
           "  --overwrite       replace targets that exist (those already up to date are left alone);\n"
           "                    the copies replaced are kept in DIR/Tandrel Versions\n"
           "  --keep-versions DAYS  keep replaced copies DAYS days (default 30; 0 keeps none)\n"
           "  --jobs N          copy N files at once (default: the number of cores, 2 to 8)\n"
           "  --no-wait         fail at once (status 4) while another backup writes into the\n"
           "                    destination, instead of waiting for it to finish\n"
           "  --accept-destination  back up to DIR as it is now, even where the drive it was\n"
           "                    on at its last backup is not mounted\n"
           "  --no-subdirs      gather folders without their sub-folders\n"
           "  --on-error WHAT   ask | continue | stop  (default: ask when standard input is a\n"
           "                    terminal, else stop)\n"
           "  --verify          once the copies are on disk, read each one back and fail those\n"
           "                    that do not hold what was read from their source\n"
           "  --check           read back the copies in --dest (no ENTRY) and compare them with\n"
           "                    the hashes recorded when they were placed; prints each damaged\n"
           "                    or missing copy\n"
           "  --sample PERCENT  with --check: only PERCENT of the copies, those checked longest\n"
           "                    ago first\n"
           "\n"
           "Getting files back (PATH: a path that was backed up, or one relative to DIR):\n"
           "  --versions --dest DIR PATH  list every copy DIR holds of PATH: date, size, and\n"
           "                    where it is (the current copy first, then the kept ones)\n"
           "  --restore --dest DIR PATH...  restore PATHs (files or folders) where they were\n"
           "  --at \"YYYY-MM-DD HH:MM\"  with --restore: as they were at that time\n"
           "  --to FOLDER       with --restore: into FOLDER, keeping the layout below each\n"
           "                    PATH's parent, instead of where they were\n"
           "  --replace         with --restore: replace a file there that differs, after\n"
           "                    keeping it in DIR/Tandrel Versions (default: the restored\n"
           "                    file goes beside it, as \"name (restored DATE).ext\")\n"
           "\n"
           "  --exclude PATTERN leave out what PATTERN matches (.gitignore syntax; repeatable)\n"
           "  --exclude-from FILE  leave out what the rules of FILE match, one a line\n"
           "  --no-exclude-caches  back up folders tagged with a CACHEDIR.TAG too\n"
           "  --dry-run         print what would be backed up and what left out (or restored);\n"
           "                    copy nothing\n"
           "  --list FILE       gather the entries of a backup list file (.lst) first\n"
           "  --save FILE       save the gathered entries as a backup list file\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 every file copied; 1 some files failed; 2 a usage error or a\n"
           "failed gathering; 3 the copy was stopped at a failed file; 4 another backup\n"
           "was writing into the destination (--no-wait). With --check: 0 every copy\n"
           "checked is whole; 1 some are damaged or missing; 2 nothing to check. With\n"
           "--restore as for a backup: 0 every file restored (or already there).\n";
}

Options ParseOptions(const std::vector<std::string>& args)
{
    Options options;
    bool onlyEntries = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument("option " + arg + " needs a value");
            return args[++i];
        };
        if (onlyEntries || arg.empty() || arg[0] != '-' || arg == "-") {
            options.entries.push_back(arg);
        } else if (arg == "--") {
            onlyEntries = true;
        } else if (arg == "--dest") {
            options.destination = value();
            if (options.destination->empty()) throw std::invalid_argument("--dest needs a folder");
        } else if (arg == "--mode") {
            const std::string& mode = value();
            if (mode == "directory")
                options.mode = CopyMode::DirectoryCopy;
            else if (mode == "cd")
                options.mode = CopyMode::CdBackup;
            else if (mode == "consolidate")
                options.mode = CopyMode::Consolidate;
            else
                throw std::invalid_argument("unknown mode " + support::Quoted(mode) +
                                            " (directory, cd or consolidate)");
        } else if (arg == "--jobs") {
            const std::string& n = value();
            std::size_t used = 0;
            int jobs = 0;
            try {
                jobs = std::stoi(n, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != n.size() || jobs < 1 || jobs > 64)
                throw std::invalid_argument("--jobs needs a number from 1 to 64, not " + support::Quoted(n));
            options.jobs = jobs;
        } else if (arg == "--overwrite") {
            options.overwrite = true;
        } else if (arg == "--no-wait") {
            options.noWait = true;
        } else if (arg == "--accept-destination") {
            options.acceptDestination = true;
        } else if (arg == "--keep-versions") {
            const std::string& n = value();
            std::size_t used = 0;
            int days = -1;
            try {
                days = std::stoi(n, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != n.size() || days < 0 || days > 36500)
                throw std::invalid_argument("--keep-versions needs a number of days from 0 to 36500, not " +
                                            support::Quoted(n));
            options.keepVersions = days;
        } else if (arg == "--no-subdirs") {
            options.subdirectories = false;
        } else if (arg == "--on-error") {
            const std::string& what = value();
            if (what == "ask")
                options.onError = OnError::Ask;
            else if (what == "continue")
                options.onError = OnError::Continue;
            else if (what == "stop")
                options.onError = OnError::Stop;
            else
                throw std::invalid_argument("unknown --on-error " + support::Quoted(what) + " (ask, continue or stop)");
        } else if (arg == "--verify") {
            options.verify = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "--sample") {
            const std::string& n = value();
            std::size_t used = 0;
            double percent = -1;
            try {
                percent = std::stod(n, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != n.size() || !(percent > 0 && percent <= 100))
                throw std::invalid_argument("--sample needs a percent above 0 and at most 100, not " +
                                            support::Quoted(n));
            options.sample = percent;
        } else if (arg == "--versions") {
            options.versions = true;
        } else if (arg == "--restore") {
            options.restore = true;
        } else if (arg == "--at") {
            const std::string& when = value();
            options.at = ParseLocalTime(when);
            if (!options.at)
                throw std::invalid_argument("--at needs a date and time as \"YYYY-MM-DD HH:MM\", not " +
                                            support::Quoted(when));
        } else if (arg == "--to") {
            options.to = value();
            if (options.to->empty()) throw std::invalid_argument("--to needs a folder");
        } else if (arg == "--replace") {
            options.replace = true;
        } else if (arg == "--exclude") {
            options.excludes.push_back({false, value()});
        } else if (arg == "--exclude-from") {
            options.excludes.push_back({true, value()});
        } else if (arg == "--no-exclude-caches") {
            options.excludeCaches = false;
        } else if (arg == "--dry-run") {
            options.dryRun = true;
        } else if (arg == "--list") {
            options.listFile = value();
        } else if (arg == "--save") {
            options.saveFile = value();
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (options.help || options.version) return options;
#ifdef _WIN32
    // The Windows copy (CopyFileW) does not read the data it copies, and
    // hashes none yet.
    if (options.verify || options.check)
        throw std::invalid_argument("--verify and --check are not available on Windows yet");
#endif
    if (options.sample && !options.check) throw std::invalid_argument("--sample goes with --check");
    if ((options.at || options.to || options.replace) && !options.restore)
        throw std::invalid_argument("--at, --to and --replace go with --restore");
    if (options.versions || options.restore) {
        const char* what = options.versions ? "--versions" : "--restore";
        if (options.versions && options.restore) throw std::invalid_argument("--versions or --restore, not both");
        if (options.check) throw std::invalid_argument(std::string(what) + " or --check, not both");
        if (!options.destination) throw std::invalid_argument(std::string(what) + " needs --dest, the backup");
        if (options.listFile || options.saveFile || options.verify || !options.excludes.empty())
            throw std::invalid_argument(std::string(what) +
                                        " reads the backup alone: no --list, --save, --verify or --exclude");
        if (options.entries.empty()) throw std::invalid_argument(std::string(what) + " needs a PATH");
        if (options.versions && options.entries.size() > 1)
            throw std::invalid_argument("--versions lists the copies of one PATH");
        return options;
    }
    if (options.check) {
        if (!options.destination) throw std::invalid_argument("--check needs --dest, the backup to check");
        if (!options.entries.empty() || options.listFile || options.saveFile || options.verify)
            throw std::invalid_argument("--check reads the backup alone: no ENTRY, --list, --save or --verify");
        return options;
    }
    if (options.entries.empty() && !options.listFile) throw std::invalid_argument("no ENTRY to back up");
    return options;
}

std::optional<std::int64_t> ParseLocalTime(const std::string& text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char end = 0;
    const int read =
        std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &end);
    const bool shape = text.size() == 16 ? read == 5 : text.size() == 19 && read == 6;
    if (!shape || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':') return std::nullopt;
    std::tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    const std::time_t t = std::mktime(&parts);
    // mktime moves what is out of range on (the 31st of April to 1 May):
    // such a date is none.
    if (t == static_cast<std::time_t>(-1) || parts.tm_mday != day || parts.tm_mon != month - 1 ||
        parts.tm_year != year - 1900 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    return static_cast<std::int64_t>(t);
}

}  // namespace tandrel::cli
