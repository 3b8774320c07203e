// Small pieces shared by the Windows file-system code: an owned handle, the
// failure that carries the system's reason, paths for the wide calls, and
// how a file or folder is told from another, whatever name reaches it.
#pragma once

#include "support/wintext.h"  // <windows.h>, without min, max and the rarely used parts
// The interface's own names, not the ANSI/wide macros of <windows.h>.
#undef CreateDirectory
#undef CopyFile

#include <array>
#include <cstdint>
#include <string>

#include "engine/filesystem.h"

namespace tandrel::win {

FsError::Kind KindOf(DWORD error);
[[noreturn]] void Fail(const std::string& what, DWORD error, const std::string& path);
// The reason alone, for the caller to tell what failed.
FsError Reason(DWORD error, const std::string& path);

inline bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

inline bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The path for the wide calls. Paths longer than the classic limit get the
// "\\?\" form, which takes them up to 32767 characters.
std::wstring NativePath(std::wstring wide);
std::wstring NativePath(const std::string& path);
// The length of the root at the start of a path: "C:\", "\\server\share\",
// with a leading "\\?\" or "\\?\UNC\" counted in.
std::size_t RootLength(const std::wstring& path);
// A path the system gives in its "\\?\" form as the engine names it:
// "C:\..." and "\\server\share\..."; a volume without a drive letter or a
// folder of its own ("\\?\Volume{...}\") keeps the form.
std::wstring PlainPath(std::wstring path);

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { Reset(INVALID_HANDLE_VALUE); }
    Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = INVALID_HANDLE_VALUE; }
    Handle& operator=(Handle&& other) noexcept
    {
        if (this != &other) {
            Reset(other.handle_);
            other.handle_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    void Reset(HANDLE handle)
    {
        if (valid()) ::CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens a file or folder only to ask about it, following links.
HANDLE OpenForInformation(const std::wstring& path);
// Opens the entry at `native` itself, a link as the link, only to ask about it.
HANDLE OpenEntry(const std::wstring& native);
// Opens a folder of the destination to hold it: shared for reading and
// writing but not for deletion, so that nobody renames or removes it (and
// puts a link in its place) while it is held. `follow`: through a link at its
// own name, as only the destination folder is taken.
HANDLE HoldFolder(const std::wstring& native, bool follow);
// The path the handle's file or folder has now, links resolved; empty where
// the system can't tell.
std::wstring FinalPathOf(HANDLE handle);

// What tells one file or folder from another, whatever name reaches it: its
// volume and its file id (the 128-bit one where the system has it: ReFS
// needs it).
struct FileKey {
    std::uint64_t volume = 0;
    std::array<unsigned char, 16> id {};
    auto operator<=>(const FileKey&) const = default;
};
bool KeyOf(HANDLE handle, FileKey& key);

// A reparse point that leads to another place: a symbolic link, a junction,
// a volume mounted at a folder (every name surrogate), or a link of the host
// system under Wine (no tag). Other reparse points (cloud placeholders,
// deduplicated files) are the entry itself.
inline bool LeadsElsewhere(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}
// Whether the folder open as `folder` (opened as itself, at `native`;
// `path` to the user) leads elsewhere. Throws FsError with the reason alone
// where that can't be told.
bool FolderLeadsElsewhere(HANDLE folder, const std::wstring& native, const std::string& path);
// The code of the failure at a link where a folder should be.
constexpr DWORD kLinkInside = ERROR_CANT_RESOLVE_FILENAME;

// Classes of GetFileInformationByHandleEx and SetFileInformationByHandle
// that MinGW's headers number by the Windows version they are built for.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionEx {
    DWORD flags;
};
constexpr DWORD kDeleteNow = 0x1 | 0x2;  // FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS

// Creates the folder with every missing level, by its path; true when this
// call made the folder itself (not when another program made it meanwhile).
// Throws FsError with the reason alone.
bool CreateFolders(const std::string& path);
// Removes from the folder `native` (with its final "\") the temporary files
// of copies that were killed before they finished. Never fails.
void RemoveLeftovers(const std::wstring& native);
// Removes a temporary file, read-only or not; never fails.
void RemoveTemporary(const std::wstring& path);
std::uint64_t LengthOf(const std::string& path);
// Puts what was written to the volume of the folder `native` (`folder` to
// the user) on disk.
void FlushVolume(const std::wstring& native, const std::string& folder);

inline std::uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
// A file time as ns since 1970 (FILETIME counts 100 ns ticks since 1601).
inline std::int64_t Nanoseconds(const FILETIME& time)
{
    return (static_cast<std::int64_t>(Ticks(time)) - 116444736000000000LL) * 100;
}
// `name` as the file system tells names apart: in one case.
std::wstring Folded(std::wstring name);

// How finely the volume under `path` keeps modification times, in 100 ns
// ticks.
std::uint64_t TimeGranularity(const std::wstring& path);

}  // namespace tandrel::win
