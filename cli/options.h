// The command line of tandrel-cli.
#pragma once

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
    bool verify = false;           // read every copy back once it is on disk
    bool check = false;            // read back the copies of --dest and compare with their hashes
    std::optional<double> sample;  // --check: the percent of the copies to read, least recently checked first
    std::vector<ExcludeArg> excludes;
    bool excludeCaches = true;  // folders with a valid CACHEDIR.TAG are left out
    bool dryRun = false;        // print what would be backed up and left out; copy nothing
    bool help = false;
    bool version = false;
};

// Parses argv[1..]; throws std::invalid_argument with a message for the user.
Options ParseOptions(const std::vector<std::string>& args);

const char* Usage();

}  // namespace tandrel::cli
