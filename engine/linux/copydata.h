// A file's bytes from its source to its copy, by the best way the two file
// systems share: a clone, the data extents alone of a sparse file, the
// kernel's copy_file_range, or reading and writing. Each way that is
// refused falls back to the next; all but the clone go through one loop.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "engine/contenthash.h"
#include "engine/linux/caps.h"
#include "engine/linux/systemcalls.h"

namespace tandrel {

// The hash of what a copy read of its source, taken as it read: whole when
// every byte went through the read, none by a clone or the kernel's copy.
struct ReadHash {
    ContentHasher hasher;
    bool whole = false;
    // Read and write rather than let the kernel copy (copy_file_range): for
    // a hash of every file, one read of the source instead of two.
    bool readAll = false;
};

// Copies the bytes of `in` to `out`. `source` is what fstat said of the open
// source, and that much is copied; kernel files, which report a size of 0,
// are read to their end. `caps` are those of the destination's file system,
// and learn what it refused. `hash`, where given, is started afresh and takes
// what is read. Returns 0 or the errno.
int CopyData(SystemCalls& calls, int in, int out, const struct stat& source, DestinationCaps& caps,
             ReadHash* hash = nullptr);

// Hashes the open file `fd` from its start: `expected` bytes where that is
// its size (as fstat just said), else (-1) to its end. The bytes read in
// `size`. Returns 0 or the errno.
int HashFile(int fd, ContentHasher& hasher, std::uint64_t& size, std::int64_t expected);

}  // namespace tandrel
