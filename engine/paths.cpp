#include "engine/paths.h"

#include <algorithm>
#include <vector>

namespace tandrel {

namespace {
std::size_t LastSeparator(std::string_view path, PathStyle style)
{
    return path.rfind(style.separator);
}
}  // namespace

bool LiesAtRoot(std::string_view path, PathStyle style)
{
    return LastSeparator(path, style) == style.rootSeparatorIndex;
}

std::string SourceFolder(std::string_view file, PathStyle style)
{
    const std::size_t s = LastSeparator(file, style);
    if (s == std::string_view::npos) return {};
    if (s == style.rootSeparatorIndex) return std::string(file.substr(0, s + 1));
    return std::string(file.substr(0, s));
}

std::string FileName(std::string_view path, PathStyle style)
{
    const std::size_t s = LastSeparator(path, style);
    return std::string(s == std::string_view::npos ? path : path.substr(s + 1));
}

std::string JoinPath(std::string_view folder, std::string_view name, PathStyle style)
{
    std::string joined;
    joined.reserve(folder.size() + 1 + name.size());
    joined.append(folder);
    if (joined.empty() || joined.back() != style.separator) joined.push_back(style.separator);
    joined.append(name);
    return joined;
}

std::string AddSeparator(std::string_view path, PathStyle style)
{
    std::string result(path);
    result.push_back(style.separator);
    return result;
}

std::string WithoutFinalSeparator(std::string_view path, PathStyle style)
{
    if (!path.empty() && path.back() == style.separator) path.remove_suffix(1);
    return std::string(path);
}

bool IsRoot(std::string_view path, PathStyle style)
{
    return path.size() == style.rootSeparatorIndex + 1 && path.back() == style.separator;
}

std::size_t KeptPathStart(std::string_view entry, std::string_view file, PathStyle style)
{
    while (entry.size() > 1 && entry.back() == style.separator && !IsRoot(entry, style)) entry.remove_suffix(1);
    if (entry.empty()) return std::string_view::npos;
    if (file == entry) {
        // A file entry: from the name of its folder, or its own name at a root.
        const std::size_t s = LastSeparator(file, style);
        if (s == std::string_view::npos) return 0;
        if (s == style.rootSeparatorIndex) return s + 1;
        const std::size_t folderStart = LastSeparator(file.substr(0, s), style);
        return folderStart == std::string_view::npos ? 0 : folderStart + 1;
    }
    if (IsRoot(entry, style))
        return file.starts_with(entry) && file.size() > entry.size() ? entry.size() : std::string_view::npos;
    if (file.size() <= entry.size() + 1 || !file.starts_with(entry) || file[entry.size()] != style.separator)
        return std::string_view::npos;
    const std::size_t s = LastSeparator(entry, style);
    return s == std::string_view::npos ? 0 : s + 1;
}

bool CountsAsFolder(std::string_view entry)
{
    return entry.find('.') == std::string_view::npos;
}

bool NamesListFile(std::string_view path)
{
    const std::size_t at = path.find(".lst", 1);
    return at != std::string_view::npos;
}

std::string NoKey()
{
    // No path holds a NUL character.
    return std::string(1, '\0');
}

std::string AbsoluteEntry(std::string_view path, std::string_view currentFolder, PathStyle style)
{
    const char sep = style.separator;
    std::string root;
    std::string_view rest;
    auto rooted = [&](std::string_view p) {
        if (style.rootSeparatorIndex == 0) return !p.empty() && p[0] == sep;
        return p.size() > style.rootSeparatorIndex && p[1] == ':' && p[style.rootSeparatorIndex] == sep;
    };
    // Windows takes "/" for a separator as well.
    std::string typed(path);
    if (sep == '\\') std::replace(typed.begin(), typed.end(), '/', sep);
    path = typed;
    std::string joined;
    if (rooted(path)) {
        joined = std::string(path);
    } else if (style.rootSeparatorIndex != 0 && path.size() >= 2 && path[1] == ':') {
        // "C:name" (relative to a drive's own current folder): taken from its root.
        joined = std::string(path.substr(0, 2)) + sep + std::string(path.substr(2));
    } else if (style.rootSeparatorIndex != 0 && !path.empty() && path[0] == sep) {
        // "\name" on the current drive.
        joined = std::string(currentFolder.substr(0, 2)) + std::string(path);
    } else {
        joined = std::string(currentFolder) + sep + std::string(path);
    }
    root = joined.substr(0, style.rootSeparatorIndex + 1);
    rest = std::string_view(joined).substr(style.rootSeparatorIndex + 1);
    std::vector<std::string_view> parts;
    while (!rest.empty()) {
        const std::size_t cut = rest.find(sep);
        const std::string_view part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string result = root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result.push_back(sep);
        result.append(parts[i]);
    }
    return result;
}

}  // namespace tandrel
