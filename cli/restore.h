// tandrel-cli --versions and --restore: what a backup holds of a path, and
// getting files back from it.
#pragma once

#include <iosfwd>

#include "cli/options.h"
#include "engine/filesystem.h"

namespace tandrel::cli {

// Prints every copy the destination of `options` holds of its one PATH (of
// each file below it, for a folder): the date and time of the copy's state
// (local), its size and its path, the current copy first, then the kept
// ones, newest first. kAllCopied when there is one, kUsageOrGathering when
// there is none or the destination can't be read.
int RunVersions(const Options& options, std::ostream& out, std::ostream& err, FileSystem& fs);

// Restores the PATHs of `options` from its destination, under its lock
// (waited for unless `noWait`); with `dryRun` only prints what would go
// where. The exit status of a backup: kAllCopied when every file was
// restored or already there, kSomeFailed when one failed or a PATH matched
// nothing, kDestinationBusy with --no-wait while a backup writes there,
// kUsageOrGathering when the destination can't be read.
int RunRestore(const Options& options, std::ostream& out, std::ostream& err, FileSystem& fs);

}  // namespace tandrel::cli
