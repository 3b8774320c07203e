// A file's bytes from its source to its copy, by the best way the two file
// systems share: a clone, the data extents alone of a sparse file, the
// kernel's copy_file_range, or reading and writing. Each way that is
// refused falls back to the next; all but the clone go through one loop.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "engine/linux/caps.h"
#include "engine/linux/systemcalls.h"

namespace tandrel {

// Copies the bytes of `in` to `out`. `source` is what fstat said of the open
// source, and that much is copied; kernel files, which report a size of 0,
// are read to their end. `caps` are those of the destination's file system,
// and learn what it refused. Returns 0 or the errno.
int CopyData(SystemCalls& calls, int in, int out, const struct stat& source, DestinationCaps& caps);

}  // namespace tandrel
