// Path text rules. Paths are searched and cut as text, never normalised;
// every search is case-sensitive. A style says which separator the paths use
// and where the separator of a root sits ("C:\" -> index 2, "/" -> index 0).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tandrel {

struct PathStyle {
    char separator;
    std::size_t rootSeparatorIndex;

    static constexpr PathStyle Windows() { return {'\\', 2}; }
    static constexpr PathStyle Posix() { return {'/', 0}; }
    static constexpr PathStyle Native()
    {
#ifdef _WIN32
        return Windows();
#else
        return Posix();
#endif
    }
};

// True when the path's last separator is the separator of a root
// ("C:\b.txt" in the Windows style, "/b.txt" in the POSIX style).
bool LiesAtRoot(std::string_view path, PathStyle style);

// The text before the last separator; for a file at a root, the root itself
// with its separator ("C:\" or "/"). A path without separator gives "".
std::string SourceFolder(std::string_view file, PathStyle style);

// The text after the last separator (the whole path when it has none).
std::string FileName(std::string_view path, PathStyle style);

// folder + separator + name, without doubling a separator the folder ends with.
std::string JoinPath(std::string_view folder, std::string_view name, PathStyle style);

// The path with one separator added at its end, as "Select Folder" stores a
// destination. A root such as "/" becomes "//", "C:\" becomes "C:\\".
std::string AddSeparator(std::string_view path, PathStyle style);

// The path without its final separator, if it ends with one.
std::string WithoutFinalSeparator(std::string_view path, PathStyle style);

// Directory Copy: the key of a backup-list entry. `isFile` tells whether a
// file exists at the entry (asked of the file system by the caller).
std::string EntryKey(std::string_view entry, bool isFile, PathStyle style);

// Gathering counts an entry as a folder when no "." occurs anywhere in it.
bool CountsAsFolder(std::string_view entry);

// A dropped path is taken for a list file when ".lst" (lower case) occurs in
// it at any position but the first.
bool NamesListFile(std::string_view path);

// The start value of the Directory Copy key: a text that occurs in no path,
// so that the first file always searches.
std::string NoKey();

}  // namespace tandrel
