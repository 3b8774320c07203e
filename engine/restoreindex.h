// The index a destination keeps of where each of its copies came from
// (kRestoreIndexName, at its top): source path -> target path below it,
// with the size and modification time of the file as the backup read it.
// Every backup merges what it handled into it, under the destination's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/filesystem.h"
#include "engine/jobstate.h"
#include "engine/paths.h"

namespace tandrel {

struct IndexEntry {
    std::string target;  // below the destination, "/" between names
    std::string source;  // the full path it was backed up from
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // ns since 1970
};

// The text: a first line "tandrel-index 1 DIGEST", then one line an entry,
// "T H J SIZE TIME\tTARGET\tHEAD". Each line says only what differs from the
// line before: TARGET is what follows the first T bytes of the previous
// target, HEAD what follows the first H bytes of the previous head, and TIME
// is counted from the previous line's. The source is HEAD followed by the
// target from byte J on: a target is mostly a suffix of its source. Paths
// have "/" between names ("\" on Windows is written so), and "\", tabs and
// line breaks in them are written "\\", "\t" and "\n". DIGEST stands for the
// files that the backup which wrote the index last handled, in its order.
std::string FormatIndex(const std::vector<IndexEntry>& entries, PathStyle style);
// Calls `each` for every entry of the index read from `in`, in its order,
// its source in `style` (the entry may be moved from). A line that can't be
// read ends it (the lines after it build on it). False for a text of another
// kind, which holds none. Throws FsError where `in` can't be read.
bool ReadIndex(ReservedReader& in, PathStyle style, const std::function<void(IndexEntry&)>& each);
std::vector<IndexEntry> ParseIndex(std::string_view text, PathStyle style);

// The files one backup placed or found up to date, as it commits them. Kept
// small, for a million files and more: each one's source is its place in the
// backup's file list, and its target the source's end after a few shared
// beginnings ("CD_backup3/").
class HandledFiles {
public:
    HandledFiles(std::string destinationPath, PathStyle style);
    // `file`: the source's place in the file list given to Record.
    void Add(std::size_t file, const std::string& source, const std::string& target, std::uint64_t size,
             std::int64_t modified);
    void Reserve(std::size_t files) { handled_.reserve(files); }
    bool Empty() const { return handled_.empty(); }
    std::size_t Count() const { return handled_.size(); }

    // Merges the handled files into the destination's index (a target's
    // entry is replaced, the entries of other targets stay) and saves it,
    // unless it already holds every one of them as it is. Whether it wrote;
    // throws FsError where the old index can't be read or the new one
    // written.
    bool Record(CopySession& session, const PathList& files) const;

private:
    struct Handled {
        std::uint32_t file;    // its place in the file list (in others_, for kOther)
        std::uint16_t prefix;  // in prefixes_, or kOther
        std::uint16_t suffix;  // bytes of the source's end that end the target
        std::uint64_t size;
        std::int64_t modified;
    };
    static constexpr std::uint16_t kOther = 0xFFFF;
    // The entry of one handled file, its paths with "/" between names.
    void EntryOf(const Handled& handled, const PathList& files, std::string& target, std::string& source) const;

    std::string destination_;
    PathStyle style_;
    std::vector<Handled> handled_;
    std::vector<std::string> prefixes_;  // each target's beginning that is not its source's end
    std::uint16_t lastPrefix_ = 0;
    std::vector<IndexEntry> others_;  // those the small form can't hold (their prefix is kOther)
};

}  // namespace tandrel
