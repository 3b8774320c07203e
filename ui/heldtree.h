// What the Restore dialog's tree shows of a destination: its files by where
// they came from, or by their path below the destination where that is not
// recorded, folder by folder. Built once, on a worker, from what was read of
// the destination; the dialog makes its items from it as folders open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/paths.h"
#include "engine/restore.h"

namespace tandrel::ui {

class HeldTree {
public:
    struct Node {
        std::string name;
        std::string path;                    // folders: the path a restore is asked for
        int parent = -1;                     // -1: a top-level node
        std::vector<int> children;           // folders first, then files, each by name
        const HeldFile* file = nullptr;      // files only
        const HeldFile* earliest = nullptr;  // the file at or below it with the oldest copy
    };

    // `contents` is kept: every node's file points into it.
    static std::shared_ptr<const HeldTree> Build(std::shared_ptr<const BackupContents> contents, PathStyle style);

    const BackupContents& Contents() const { return *contents_; }
    const Node& At(int index) const { return nodes_[static_cast<std::size_t>(index)]; }
    const std::vector<int>& Roots() const { return roots_; }
    // What a restore of the node is asked for: a file's source path (its path
    // below the destination where no source is recorded), a folder's path.
    std::string RequestPath(int index) const;
    // Whether the node held anything at `at` (none: now); for a file, the
    // copy that was current then (none at all: it did not exist yet).
    bool HeldAt(int index, std::optional<std::int64_t> at) const;
    const HeldCopy* CopyOf(int index, std::optional<std::int64_t> at) const;

private:
    std::shared_ptr<const BackupContents> contents_;
    std::vector<Node> nodes_;
    std::vector<int> roots_;
};

}  // namespace tandrel::ui
