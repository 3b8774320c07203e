#pragma once

#include <iosfwd>

#include "engine/destinations.h"
#include "engine/exclusions.h"
#include "engine/filesystem.h"
#include "cli/options.h"

namespace tandrel::cli {

enum ExitStatus { kAllCopied = 0, kSomeFailed = 1, kUsageOrGathering = 2, kStopped = 3, kDestinationBusy = 4 };

// One run of the command line: gather, optionally save the list, copy.
// `destinations` (may be null) remembers where each destination's drive was;
// `user` (may be null: tagged caches only) is what the user chose to leave out.
int Run(const Options& options, bool interactive, std::istream& in, std::ostream& out, std::ostream& err,
        FileSystem& fs, DestinationMemory* destinations = nullptr, const ExclusionChoices* user = nullptr);

}  // namespace tandrel::cli
