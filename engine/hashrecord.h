// The record of content hashes a backup keeps in its destination
// (kHashRecord), and the two reads that go by it: the verify that ends a
// backup, which re-reads what it placed, and the check of a backup alone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/contenthash.h"
#include "engine/filesystem.h"
#include "engine/paths.h"
#include "engine/placedcopies.h"

namespace tandrel {

// One copy as recorded.
struct RecordedCopy {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // the copy's modification time, in ns since 1970
    ContentHash hash;           // of its source, as the copy read it
    std::int64_t checked = 0;   // when it was last read back and found whole (s since 1970); 0: never
};

// By the copy's path below the destination, with "/" between its names.
using HashRecord = std::map<std::string, RecordedCopy>;

// A first line "tandrel-hashes 1", then one line a copy, in the order of
// their paths (byte by byte): its hash in hexadecimal, size, modification
// time, last check, and its path, in which "\" and line breaks are written
// as "\\" and "\n".
std::string FormatRecord(const HashRecord& record);
// Lines it can't read are left out, and of two lines for one path the
// later counts; a text of another kind holds nothing.
HashRecord ParseRecord(std::string_view text);

// Reads back every placed copy from the disk, `threads` at a time, and
// compares it with what the backup read of its source. Returns a message for
// each copy that differs, in the order placed; such a copy is marked failed,
// and stale, so that the next backup does not take it for up to date. A
// copy without a hash (a link copied as a link) is passed by.
std::vector<std::string> VerifyCopies(CopySession& session, PlacedCopies& placed, int threads);

// Merges the placed copies into the destination's record and saves it: a
// copy placed with a hash gets a new entry (checked at `verifiedAt` where it
// was verified whole, else never), one placed without loses its old entry,
// and every other entry stays. The old record is read, and the new one
// written, a line at a time; the copies are left in the order of their
// keys. Throws FsError where the old record can't be read or the new one
// written.
void RecordCopies(CopySession& session, PlacedCopies& placed, std::int64_t verifiedAt);

// What a check of a destination found.
struct CheckSummary {
    bool noRecord = false;      // the destination has no record: nothing was checked
    std::int64_t recorded = 0;  // copies in the record
    std::int64_t checked = 0;   // copies read back
    std::int64_t damaged = 0;   // ... that did not hold what was recorded, or could not be read
    std::int64_t missing = 0;   // ... that were not there
};

// Reads back the recorded copies of the destination, `threads` at a time,
// and compares each with its entry: all of them, or `percent` of them (at
// least one), those checked longest ago first. Each damaged or missing copy
// is reported through `report`, in the record's order; each found whole is
// marked checked at `now` (s since 1970), and the record saved. The caller
// holds the destination's lock. Throws FsError where the record can't be
// read or written.
CheckSummary CheckCopies(CopySession& session, const std::string& destinationPath, PathStyle style, double percent,
                         std::int64_t now, int threads, const std::function<void(const std::string&)>& report);

}  // namespace tandrel
