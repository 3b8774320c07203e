#include "paths.h"

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

std::string EntryKey(std::string_view entry, bool isFile, PathStyle style)
{
    const std::size_t s = LastSeparator(entry, style);
    if (isFile && s != std::string_view::npos) {
        if (s == style.rootSeparatorIndex) return std::string(entry.substr(0, s + 1));
        // The name of the folder that holds the file.
        return FileName(entry.substr(0, s), style);
    }
    // A folder (or nothing): its own name; empty for a root such as "C:\".
    return FileName(entry, style);
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

}  // namespace tandrel
