// Helpers for the Windows tests: UTF-8 paths for std::filesystem, the
// system's message texts, and folders of real files on any drive.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The file system interface's own names, not the macros of <windows.h>.
#undef CreateDirectory
#undef CopyFile

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tandrel::testing {

namespace fsys = std::filesystem;

// A folder name outside ASCII, in UTF-8.
inline const std::string kNonAscii = "Fotos \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F";  // "Fotos Ähre 写真"

// A UTF-8 text as a path (a plain std::string would be read in the ANSI
// code page), and back.
inline fsys::path U8(const std::string& text)
{
    return fsys::path(std::u8string(text.begin(), text.end()));
}
inline std::string Text(const fsys::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// What the system says for an error code (without the line break).
inline std::string PlatformText(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", length);
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
    return Text(fsys::path(text));
}

inline std::string RandomTag()
{
    std::random_device random;
    return std::to_string(random()) + std::to_string(random() % 1000);
}

// A fresh folder `base`\`prefix`<random>, removed with all it holds.
class WinTree {
public:
    explicit WinTree(const std::string& base = Text(fsys::temp_directory_path()),
                     const std::string& prefix = "tandrel-win-")
    {
        root_ = (U8(base) / U8(prefix + RandomTag())).make_preferred();
        fsys::create_directories(root_);
    }
    ~WinTree()
    {
        // Read-only files would stop the removal.
        std::error_code error;
        for (auto it = fsys::recursive_directory_iterator(root_, error); !error && it != fsys::end(it);
             it.increment(error))
            ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
        fsys::remove_all(root_, error);
    }
    WinTree(const WinTree&) = delete;
    WinTree& operator=(const WinTree&) = delete;

    // The full path of `relative` (UTF-8, "/" or "\"), with "\" throughout.
    std::string Path(const std::string& relative = {}) const
    {
        return relative.empty() ? Text(root_) : Text((root_ / U8(relative)).make_preferred());
    }
    std::string Folder(const std::string& relative) const
    {
        fsys::create_directories(U8(Path(relative)));
        return Path(relative);
    }
    std::string File(const std::string& relative, const std::string& content = {}) const
    {
        const fsys::path path = U8(Path(relative));
        fsys::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return Path(relative);
    }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(U8(path), std::ios::binary);
        if (!in) return "<missing>";
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    // The names in a folder (UTF-8), sorted.
    std::vector<std::string> Names(const std::string& relative = {}) const
    {
        std::vector<std::string> names;
        for (auto& entry : fsys::directory_iterator(U8(Path(relative)))) names.push_back(Text(entry.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fsys::path root_;
};

}  // namespace tandrel::testing
