// Helpers for the Windows tests: the system's message texts; UTF-8 paths for
// std::filesystem and folders of real files on any drive come from
// tests/common.
#pragma once

#include "support/wintext.h"  // <windows.h>, without min, max and the rarely used parts
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

#include "tests/common/temptree.h"

namespace tandrel::testing {

namespace fsys = std::filesystem;

// A folder name outside ASCII, in UTF-8.
inline const std::string kNonAscii = "Fotos \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F";  // "Fotos Ähre 写真"

// What the system says for an error code (without the line break).
inline std::string PlatformText(DWORD error)
{
    return support::SystemText(error);
}

inline std::string RandomTag()
{
    std::random_device random;
    return std::to_string(random()) + std::to_string(random() % 1000);
}

// Under Wine, which makes no links itself (its CreateSymbolicLinkW reports
// success and makes nothing) and removes the file or folder a link of its
// host leads to in place of the link: runs `command` (a program in the
// host's /bin and its options) on the host with `paths` (of Windows, given as
// the host's) and waits until `done` holds. False when not under Wine, or
// when `done` never came true.
template <typename Done>
bool RunOnWineHost(const std::string& command, const std::vector<std::string>& paths, Done done)
{
    using ToUnix = char*(CDECL*)(LPCWSTR);
    using ToDos = WCHAR*(CDECL*)(const char*);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    const auto toUnix =
        reinterpret_cast<ToUnix>(reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_unix_file_name")));
    const auto toDos =
        reinterpret_cast<ToDos>(reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_dos_file_name")));
    if (!toUnix || !toDos) return false;
    std::string text = command;
    for (const std::string& path : paths) {
        char* host = toUnix(support::Widen(path).c_str());
        if (!host) return false;
        text += " \"" + std::string(host) + "\"";
        ::HeapFree(::GetProcessHeap(), 0, host);
    }
    WCHAR* executable = toDos(("/bin/" + command.substr(0, command.find(' '))).c_str());
    if (!executable) return false;
    std::wstring line = support::Widen(text);
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process {};
    const BOOL started =
        ::CreateProcessW(executable, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    ::HeapFree(::GetProcessHeap(), 0, executable);
    if (!started) return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    // Wine's handle of a host's process does not tell when it ends.
    for (int wait = 0; wait < 500 && !done(); ++wait) ::Sleep(10);
    return done();
}

inline bool IsReparsePoint(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(support::Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Makes `link` a symbolic link to `target` (a folder, when `folder`): through
// the system where the process may (an administrator, or developer mode),
// else under Wine as a link of its host. Wine shows a link to a folder as a
// reparse point, and a link to a file as the file. False where neither can.
inline bool MakeLink(const std::string& link, const std::string& target, bool folder)
{
    constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (::CreateSymbolicLinkW(support::Widen(link).c_str(), support::Widen(target).c_str(),
                              (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | kUnprivileged) &&
        IsReparsePoint(link))
        return true;
    return RunOnWineHost("ln -s", {target, link}, [&] {
        return folder ? IsReparsePoint(link)
                      : ::GetFileAttributesW(support::Widen(link).c_str()) != INVALID_FILE_ATTRIBUTES;
    });
}

// Removes the link `link` itself (or whatever took its name), never what it
// leads to.
inline void RemoveLink(const std::string& link)
{
    const std::wstring path = support::Widen(link);
    auto gone = [&] { return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; };
    if (gone() || RunOnWineHost("rm -rf", {link}, gone)) return;
    if (!::RemoveDirectoryW(path.c_str())) ::DeleteFileW(path.c_str());
}

}  // namespace tandrel::testing
