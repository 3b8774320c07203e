// The copies a backup placed, for its verify and the record of hashes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/contenthash.h"
#include "engine/jobstate.h"
#include "engine/paths.h"

namespace tandrel {

// The copies of one backup, in the order placed. A copy holds no path of
// its own: its target is the folder it was placed below (the destination,
// or one of its volumes) followed by the end of its file's path in the
// backup's list, from where the target keeps it. That list outlives them.
class PlacedCopies {
public:
    struct Copy {
        ContentHash hash;  // of its source, as the copy read it, where `hashed`
        std::uint64_t size = 0;
        std::int64_t modified = 0;     // the copy's, in ns since 1970
        std::uint32_t file = 0;        // its file's index in the backup's list
        std::uint32_t kept : 30 = 0;   // where the part of the file's path that the target keeps begins
        std::uint32_t hashed : 1 = 0;  // else its data was not read as it was copied
        std::uint32_t failed : 1 = 0;  // did not hold what its source held, when read back
    };

    PlacedCopies() = default;
    // For a backup of `files` into `destinationPath` (which ends with the
    // separator).
    PlacedCopies(std::shared_ptr<const PathList> files, std::string destinationPath, PathStyle style);

    // The copy of the file at `file` in the list placed at `target`, which
    // ends with the file's path from `kept` on. Copies come in list order.
    void Add(std::size_t file, std::string_view target, std::size_t kept, const std::optional<ContentHash>& hash,
             std::uint64_t size, std::int64_t modified);

    std::size_t size() const { return copies_.size(); }
    bool empty() const { return copies_.empty(); }
    Copy& operator[](std::size_t i) { return copies_[i]; }
    const Copy& operator[](std::size_t i) const { return copies_[i]; }
    auto begin() const { return copies_.begin(); }
    auto end() const { return copies_.end(); }

    std::string Target(const Copy& copy) const;
    // The key of the copy in the record of hashes: its target's path below
    // the destination, with "/" between its names.
    void AppendKey(const Copy& copy, std::string& out) const;
    // <0, 0 or >0 as the key of `a` sorts before, with or after that of `b`
    // (or `key`), byte by byte.
    int CompareKeys(const Copy& a, const Copy& b) const;
    int CompareKey(const Copy& copy, std::string_view key) const;
    // Puts the copies in the order of their keys, those placed later after
    // those of the same key placed earlier.
    void SortByKey();

private:
    // A key as pieces of text one after the other, in which `separator`
    // stands for "/".
    struct KeyText {
        std::string_view pieces[3];
        char separator;
    };
    KeyText KeyOf(const Copy& copy) const;
    const std::string& FolderOf(const Copy& copy) const;

    std::shared_ptr<const PathList> files_;
    std::string destination_;
    PathStyle style_ = PathStyle::Native();
    // The folders that targets lie below, and from which file of the list on
    // each of them holds, by file index.
    std::vector<std::string> folders_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> folderFrom_;
    std::vector<Copy> copies_;
};

}  // namespace tandrel
