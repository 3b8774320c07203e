#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "engine/destinationmemory.h"
#include "engine/engine.h"
#include "engine/exclusions.h"
#include "engine/filesystem.h"
#include "cli/options.h"

namespace tandrel::cli {

enum ExitStatus { kAllCopied = 0, kSomeFailed = 1, kUsageOrGathering = 2, kStopped = 3, kDestinationBusy = 4 };

// What a run did, for its record (engine/runlog.h).
struct RunOutcome {
    bool copied = false;  // the copy ran (it may have failed every file)
    CopySummary summary;
    std::string destination;
    std::string mountPoint;             // set where the destination's drive was not mounted
    std::vector<std::string> failures;  // the first messages
};

// The process's current folder, in the engine's UTF-8 (the root where it
// can't be told).
std::string CurrentFolder();

// One run of the command line: gather, optionally save the list, copy.
// `destinations` (may be null) remembers where each destination's drive was;
// `outcome` (may be null) is told what the run did; `user` (may be null:
// tagged caches only) is what the user chose to leave out.
int Run(const Options& options, bool interactive, std::istream& in, std::ostream& out, std::ostream& err,
        FileSystem& fs, DestinationMemory* destinations = nullptr, RunOutcome* outcome = nullptr,
        const ExclusionChoices* user = nullptr);

}  // namespace tandrel::cli
