// tandrel-cli --check: the copies of a backup read back and compared with
// the hashes recorded when they were placed, without the sources.
#pragma once

#include <iosfwd>

#include "cli/options.h"
#include "engine/filesystem.h"

namespace tandrel::cli {

// Checks the destination of `options` (all of it, or `options.sample`
// percent, those checked longest ago first) under its lock; prints each
// damaged or missing copy. kAllCopied when every copy checked is whole,
// kSomeFailed when one is not, kUsageOrGathering when there is nothing to
// check or the record can't be read, kDestinationBusy with --no-wait while
// a backup writes there.
int RunCheck(const Options& options, std::ostream& out, std::ostream& err, FileSystem& fs);

}  // namespace tandrel::cli
