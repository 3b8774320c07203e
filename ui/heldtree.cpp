#include "ui/heldtree.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace tandrel::ui {

namespace {

// The names of a path between its separators; empty ones (doubled
// separators) are passed by. A source path's root ("/", "C:\", "\\") comes
// first, as one name with its separators.
std::vector<std::string> Components(const std::string& path, char separator, bool rooted, std::size_t rootIndex)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    const std::size_t first = path.find(separator);
    if (rooted && first != std::string::npos && first <= rootIndex) {
        start = first + 1;
        while (start < path.size() && path[start] == separator) ++start;
        parts.push_back(path.substr(0, start));
    }
    while (start < path.size()) {
        std::size_t end = path.find(separator, start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::int64_t OldestCopy(const HeldFile& file)
{
    std::int64_t oldest = std::numeric_limits<std::int64_t>::max();
    for (const HeldCopy& copy : file.copies) oldest = std::min(oldest, copy.modified);
    return oldest;
}

}  // namespace

std::shared_ptr<const HeldTree> HeldTree::Build(std::shared_ptr<const BackupContents> contents, PathStyle style)
{
    auto tree = std::make_shared<HeldTree>();
    tree->contents_ = std::move(contents);
    std::vector<Node>& nodes = tree->nodes_;
    std::vector<std::int64_t> oldest;
    // The folders made so far, by their parent's index and their name.
    std::unordered_map<std::string, int> folders;

    auto childrenOf = [&](int parent) -> std::vector<int>& {
        return parent < 0 ? tree->roots_ : nodes[static_cast<std::size_t>(parent)].children;
    };
    auto add = [&](int parent, std::string name, const HeldFile* file) {
        const int index = static_cast<int>(nodes.size());
        Node node;
        node.name = std::move(name);
        node.parent = parent;
        node.file = file;
        nodes.push_back(std::move(node));
        oldest.push_back(std::numeric_limits<std::int64_t>::max());
        childrenOf(parent).push_back(index);
        return index;
    };

    for (const HeldFile& file : tree->contents_->Files()) {
        const bool bySource = !file.source.empty();
        std::vector<std::string> parts = bySource
                                             ? Components(file.source, style.separator, true, style.rootSeparatorIndex)
                                             : Components(file.target, '/', false, 0);
        if (parts.empty()) continue;
        const char separator = bySource ? style.separator : '/';
        int parent = -1;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            std::string key = std::to_string(parent) + '\0' + parts[i];
            const auto found = folders.find(key);
            if (found != folders.end()) {
                parent = found->second;
                continue;
            }
            std::string path;
            if (parent < 0) {
                path = parts[i];
            } else {
                path = nodes[static_cast<std::size_t>(parent)].path;
                if (path.back() != separator) path += separator;
                path += parts[i];
            }
            parent = add(parent, parts[i], nullptr);
            nodes[static_cast<std::size_t>(parent)].path = std::move(path);
            folders.emplace(std::move(key), parent);
        }
        // The oldest copy of each node's files, carried up to its folders.
        const std::int64_t age = OldestCopy(file);
        for (int at = add(parent, std::move(parts.back()), &file); at >= 0;
             at = nodes[static_cast<std::size_t>(at)].parent) {
            if (age >= oldest[static_cast<std::size_t>(at)]) break;
            oldest[static_cast<std::size_t>(at)] = age;
            nodes[static_cast<std::size_t>(at)].earliest = &file;
        }
    }

    auto order = [&nodes](int a, int b) {
        const Node& x = nodes[static_cast<std::size_t>(a)];
        const Node& y = nodes[static_cast<std::size_t>(b)];
        if ((x.file == nullptr) != (y.file == nullptr)) return x.file == nullptr;
        return x.name < y.name;
    };
    std::stable_sort(tree->roots_.begin(), tree->roots_.end(), order);
    for (Node& node : nodes) std::stable_sort(node.children.begin(), node.children.end(), order);
    return tree;
}

std::string HeldTree::RequestPath(int index) const
{
    const Node& node = At(index);
    if (!node.file) return node.path;
    return node.file->source.empty() ? node.file->target : node.file->source;
}

const HeldCopy* HeldTree::CopyOf(int index, std::optional<std::int64_t> at) const
{
    const HeldFile* file = At(index).file;
    if (!file || file->copies.empty()) return nullptr;
    return at ? CopyAt(*file, *at) : &file->copies.front();
}

bool HeldTree::HeldAt(int index, std::optional<std::int64_t> at) const
{
    // A folder held something then where the file below it with the oldest
    // copy did.
    const HeldFile* earliest = At(index).earliest;
    if (!earliest) return false;
    return !at || CopyAt(*earliest, *at) != nullptr;
}

}  // namespace tandrel::ui
