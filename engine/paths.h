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

// Directory Copy: whether `file` lies under the backup-list entry `entry`,
// and if so where the part of its path that its target keeps begins.
//  - A folder entry holds the files whose path begins with the entry and a
//    separator, compared whole component by whole component; the kept part
//    begins at the entry's own name (a root entry keeps all below the root).
//  - A file entry stands for itself; the kept part begins at the name of the
//    folder that holds it, or at the file's own name at a root.
// npos when the file lies under no entry of that text.
std::size_t KeptPathStart(std::string_view entry, std::string_view file, PathStyle style);

// True for a root of the style ("C:\", "/").
bool IsRoot(std::string_view path, PathStyle style);

// Gathering counts an entry as a folder when no "." occurs anywhere in it.
bool CountsAsFolder(std::string_view entry);

// A dropped path is taken for a list file when ".lst" (lower case) occurs in
// it at any position but the first.
bool NamesListFile(std::string_view path);

// A text that names no path.
std::string NoKey();

// The path made absolute against `currentFolder` (itself absolute) and
// lexically normal: no "." or ".." components, no doubled separators and no
// final separator but a root's ("/" counts as a separator in the Windows
// style too). For the entries a user types.
std::string AbsoluteEntry(std::string_view path, std::string_view currentFolder, PathStyle style);

}  // namespace tandrel
