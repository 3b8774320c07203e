// The command line of tandrel-cli.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tandrel::cli {

enum class OnError { Ask, Continue, Stop };

// One --exclude PATTERN or --exclude-from FILE, in the order given.
struct ExcludeArg {
    bool fromFile = false;
    std::string text;
    bool operator==(const ExcludeArg&) const = default;
};

struct Options {
    std::vector<std::string> entries;
    std::optional<std::string> destination;
    CopyMode mode = CopyMode::DirectoryCopy;
    bool overwrite = false;
    bool noWait = false;             // fail at once while another backup holds the destination
    bool acceptDestination = false;  // forget where the destination's drive was
    int keepVersions = -1;           // days a replaced copy is kept; -1: the engine's default
    int jobs = 0;                    // files copied at once; 0: the engine's default
    bool subdirectories = true;
    std::optional<OnError> onError;  // unset: ask on a terminal, else stop
    std::optional<std::string> listFile;
    std::optional<std::string> saveFile;
    bool verify = false;             // read every copy back once it is on disk
    bool check = false;              // read back the copies of --dest and compare with their hashes
    std::optional<double> sample;    // --check: the percent of the copies to read, least recently checked first
    bool versions = false;           // list the copies --dest holds of one PATH (in `entries`)
    bool restore = false;            // restore the PATHs (in `entries`) from --dest
    std::optional<std::int64_t> at;  // --restore: the time to restore the state of (s since 1970)
    std::optional<std::string> to;   // --restore: the folder to restore into
    bool replace = false;            // --restore: replace a file that differs, after keeping it
    std::vector<ExcludeArg> excludes;
    bool excludeCaches = true;  // folders with a valid CACHEDIR.TAG are left out
    bool dryRun = false;        // print what would be backed up and left out; copy nothing
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; throws std::invalid_argument with a message for the user.
Options ParseOptions(const std::vector<std::string>& args);

// "YYYY-MM-DD HH:MM" (or with ":SS") in local time, as seconds since 1970;
// none for a text of another shape or a date that does not exist.
std::optional<std::int64_t> ParseLocalTime(const std::string& text);

const char* Usage();

}  // namespace tandrel::cli
