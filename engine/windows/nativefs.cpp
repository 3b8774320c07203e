// The platform's file system on Windows, through the wide-character calls:
// paths are UTF-8 in the engine and UTF-16 here. A copy goes into a temporary
// file beside its target (CopyFileW keeps the times and attributes) and is
// moved into place only when complete, so a failure never leaves a partial
// target nor harms the file it was to replace. Nothing below the destination
// is reached through a link: each folder there is opened as itself, level by
// level, and held open while the backup writes through its path, so that it
// can't be swapped for a link meanwhile. The copy session itself is in
// copysession.cpp; here are the pieces it shares with the file system's own
// calls.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/windows/nativefs.h"
#include "engine/windows/winfs.h"
#include "engine/windows/copysession.h"
#include "support/quoted.h"
#include "support/wintext.h"

namespace tandrel {

using support::Narrow;
using support::Quoted;
using support::SystemText;
using support::Widen;

namespace win {

FsError::Kind KindOf(DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FsError::Kind::Missing;
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return FsError::Kind::Full;
    return FsError::Kind::Other;
}

[[noreturn]] void Fail(const std::string& what, DWORD error, const std::string& path)
{
    throw FsError(what + ": " + SystemText(error), KindOf(error), static_cast<int>(error), path);
}

std::wstring NativePath(std::wstring wide)
{
    constexpr std::size_t kClassicLimit = MAX_PATH - 12;  // CreateDirectoryW's limit
    if (wide.size() < kClassicLimit || wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return wide;
    std::wstring full(size, L'\0');
    full.resize(::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr));
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::wstring NativePath(const std::string& path)
{
    return NativePath(Widen(path));
}

HANDLE OpenForInformation(const std::wstring& path)
{
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void RemoveTemporary(const std::wstring& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
}

std::size_t RootLength(const std::wstring& path)
{
    std::size_t at = 0;
    bool unc = false;
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        at = 8;
        unc = true;
    } else if (path.rfind(L"\\\\?\\", 0) == 0) {
        at = 4;
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        at = 2;
        unc = true;
    }
    if (unc) {
        for (int part = 0; part < 2 && at < path.size(); ++part) {
            while (at < path.size() && !IsSeparator(path[at])) ++at;
            if (at < path.size()) ++at;
        }
        return at;
    }
    if (path.size() >= at + 2 && path[at + 1] == L':') {
        at += 2;
        if (at < path.size() && IsSeparator(path[at])) ++at;
    }
    return at;
}

std::wstring PlainPath(std::wstring path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() >= 6 && path[5] == L':') return path.substr(4);
    return path;
}

std::wstring FinalPathOf(HANDLE handle)
{
    for (const DWORD volume : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        std::wstring path(MAX_PATH, L'\0');
        DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), volume);
        if (length >= path.size()) {
            path.resize(length + 1);
            length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), volume);
        }
        if (length > 0 && length < path.size()) {
            path.resize(length);
            return PlainPath(std::move(path));
        }
    }
    return {};
}

FsError Reason(DWORD error, const std::string& path)
{
    return FsError(SystemText(error), KindOf(error), static_cast<int>(error), path);
}

bool CreateFolders(const std::string& path)
{
    std::wstring native = NativePath(path);
    const std::size_t root = RootLength(native);
    while (native.size() > root && IsSeparator(native.back())) native.pop_back();

    // Walk up to the deepest level that exists, then create the rest downward.
    std::vector<std::size_t> missing;  // lengths of the levels to create, deepest first
    for (std::size_t end = native.size(); end > root;) {
        const std::wstring level = native.substr(0, end);
        if (::GetFileAttributesW(level.c_str()) != INVALID_FILE_ATTRIBUTES || !IsMissing(::GetLastError())) break;
        missing.push_back(end);
        while (end > root && !IsSeparator(native[end - 1])) --end;
        while (end > root && IsSeparator(native[end - 1])) --end;
    }
    bool madeIt = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::wstring level = native.substr(0, *it);
        madeIt = ::CreateDirectoryW(level.c_str(), nullptr);
        if (madeIt) continue;
        const DWORD error = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(level.c_str());
        if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;  // made meanwhile
        throw Reason(error, path);
    }
    const DWORD attributes = ::GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) throw Reason(::GetLastError(), path);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) throw Reason(ERROR_ALREADY_EXISTS, path);
    return madeIt;
}

void RemoveLeftovers(const std::wstring& native)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileExW(NativePath(native + L".~tandrel-*.tmp").c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return;  // none, or a copy into the folder will say why
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (!IsCopyTemporaryName(Narrow(entry.cFileName))) continue;
        // Opened for nobody else: a copy still writing the file holds it open,
        // and then it is left alone. Read-only leftovers (a copy of a
        // read-only file) go as well.
        Handle file(::CreateFileW(NativePath(native + entry.cFileName).c_str(),
                                  DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid()) continue;
        FILE_BASIC_INFO basic {};
        if (!::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) continue;
        if (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
            basic.FileAttributes = (basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL;
            ::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
        }
        FILE_DISPOSITION_INFO disposition {TRUE};
        ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
}

std::uint64_t LengthOf(const std::string& path)
{
    const std::string what = "Could not read the size of " + Quoted(path);
    const std::wstring native = NativePath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data)) Fail(what, ::GetLastError(), path);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Fail(what, ERROR_ACCESS_DENIED, path);  // as opening it would
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: the size of the file it leads to.
        Handle file(OpenForInformation(native));
        LARGE_INTEGER size;
        if (!file.valid() || !::GetFileSizeEx(file.get(), &size)) Fail(what, ::GetLastError(), path);
        return static_cast<std::uint64_t>(size.QuadPart);
    }
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Puts what was written to the volume of the folder `native` (`folder` to
// the user) on disk. Windows flushes a whole volume only for administrators;
// anyone else gets ERROR_ACCESS_DENIED, and then the system's lazy writer puts
// the copies on disk within seconds. Flushing each copied file instead would
// cost a disk flush per file. Shares and folders mounted without a drive
// letter are left to the system as well.
void FlushVolume(const std::wstring& native, const std::string& folder)
{
    wchar_t volume[MAX_PATH + 1];
    if (!::GetVolumePathNameW(NativePath(native).c_str(), volume, MAX_PATH + 1)) return;
    std::wstring root(volume);
    if (root.rfind(L"\\\\?\\", 0) == 0) root.erase(0, 4);
    if (root.size() != 3 || root[1] != L':') return;
    const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
    Handle handle(::CreateFileW(device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!handle.valid()) return;
    if (::FlushFileBuffers(handle.get())) return;
    const DWORD error = ::GetLastError();
    // A volume that cannot be flushed as a whole (Wine's) is no write error.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED) return;
    Fail("Could not write to disk under " + Quoted(folder), error, folder);
}

// FAT and exFAT keep modification times to 2 seconds, the others (NTFS,
// ReFS) to 100 ns.
std::uint64_t TimeGranularity(const std::wstring& path)
{
    wchar_t volume[MAX_PATH + 1];
    wchar_t fileSystem[MAX_PATH + 1] = L"";
    if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) ||
        !::GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1))
        return 20000000;  // unknown: as coarse as any
    return std::wstring(fileSystem).find(L"FAT") != std::wstring::npos ? 20000000 : 1;
}

// Upper case, as NTFS compares names, in the invariant locale's mapping.
std::wstring Folded(std::wstring name)
{
    if (name.empty()) return name;
    std::wstring folded(name.size(), L'\0');
    const int length = ::LCMapStringEx(L"", LCMAP_UPPERCASE, name.data(), static_cast<int>(name.size()), folded.data(),
                                       static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (length <= 0) return name;
    folded.resize(static_cast<std::size_t>(length));
    return folded;
}

// --- The destination's folders ----------------------------------------------

bool KeyOf(HANDLE handle, FileKey& key)
{
    FILE_ID_INFO info {};
    if (::GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        key.volume = info.VolumeSerialNumber;
        std::memcpy(key.id.data(), info.FileId.Identifier, key.id.size());
        return true;
    }
    BY_HANDLE_FILE_INFORMATION basic;
    if (!::GetFileInformationByHandle(handle, &basic)) return false;
    key.volume = basic.dwVolumeSerialNumber;
    const std::uint64_t index = (static_cast<std::uint64_t>(basic.nFileIndexHigh) << 32) | basic.nFileIndexLow;
    std::memcpy(key.id.data(), &index, sizeof index);
    return true;
}

HANDLE HoldFolder(const std::wstring& native, bool follow)
{
    return ::CreateFileW(NativePath(native).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

HANDLE OpenEntry(const std::wstring& native)
{
    return ::CreateFileW(NativePath(native).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool FolderLeadsElsewhere(HANDLE folder, const std::wstring& native, const std::string& path)
{
    FILE_ATTRIBUTE_TAG_INFO info {};
    if (!::GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &info, sizeof info))
        throw Reason(::GetLastError(), path);
    // Wine opens a link of its host to a folder as the folder it leads to,
    // and shows it as a link (without a tag) only by its path.
    if (!(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        const DWORD attributes = ::GetFileAttributesW(NativePath(native).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    }
    return LeadsElsewhere(info.FileAttributes, info.ReparseTag);
}

}  // namespace win

using namespace win;

namespace {

// GetFileAttributesW that tells "nothing there" (INVALID_FILE_ATTRIBUTES)
// apart from a path the system refuses to look at (an FsError).
DWORD AttributesOf(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(NativePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
    const DWORD error = ::GetLastError();
    if (IsMissing(error)) return INVALID_FILE_ATTRIBUTES;
    Fail("Could not read " + Quoted(path), error, path);
}

// A folder that is a link to another place: a junction or a symbolic link.
// Other reparse points (cloud placeholders, deduplicated folders) hold the
// user's own files and are walked. A reparse point without a tag is how Wine
// shows a link of the host system.
bool IsLinkedFolder(const WIN32_FIND_DATAW& entry)
{
    constexpr DWORD kLinuxSymlinkTag = 0xA000001D;  // IO_REPARSE_TAG_LX_SYMLINK
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    const DWORD tag = entry.dwReserved0;
    return tag == 0 || tag == IO_REPARSE_TAG_MOUNT_POINT || tag == IO_REPARSE_TAG_SYMLINK || tag == kLinuxSymlinkTag;
}

}  // namespace

bool NativeFileSystem::DirectoryExists(const std::string& path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool NativeFileSystem::FileExists(const std::string& path)
{
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The attributes of a reparse point are its own: a link is never followed.
FileLook NativeFileSystem::Look(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    FileLook look;
    if (!::GetFileAttributesExW(NativePath(path).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (IsMissing(error)) return look;
        Fail("Could not look at " + Quoted(path), error, path);
    }
    look.kind = data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT ? FileLook::Kind::Link
                : data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY   ? FileLook::Kind::Folder
                                                                     : FileLook::Kind::File;
    look.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    look.modified = Nanoseconds(data.ftLastWriteTime);
    return look;
}

Listing NativeFileSystem::List(const std::string& folder)
{
    const std::string what = "Could not list the folder " + Quoted(folder);
    const std::wstring pattern = NativePath(JoinPath(folder, "*", PathStyle::Windows()));
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    Listing listing;
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // A drive root has no "." entry: nothing matches in an empty one.
        if (error == ERROR_FILE_NOT_FOUND) {
            const DWORD attributes = ::GetFileAttributesW(NativePath(folder).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return listing;
        }
        Fail(what, error, folder);
    }
    DWORD error;
    do {
        const wchar_t* name = entry.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
        const std::string path = JoinPath(folder, Narrow(name), PathStyle::Windows());
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            listing.files.push_back(path);
        else if (!IsLinkedFolder(entry))  // a walk must not loop
            listing.folders.push_back(path);
    } while (::FindNextFileW(find, &entry));
    error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) Fail(what, error, folder);
    return listing;
}

void NativeFileSystem::CreateDirectory(const std::string& path)
{
    try {
        CreateFolders(path);
    } catch (const FsError& failure) {
        throw failure.Within("Could not create the folder " + Quoted(path));
    }
}

void NativeFileSystem::RemoveCopyTemporaries(const std::string& folder)
{
    std::wstring native = Widen(folder);
    if (!native.empty() && !IsSeparator(native.back())) native.push_back(L'\\');
    RemoveLeftovers(native);
}

std::string NativeFileSystem::MountPointOf(const std::string& path)
{
    // Through any link on the way: the volume that holds the folder itself.
    std::wstring folder = NativePath(path);
    {
        Handle handle(OpenForInformation(folder));
        if (!handle.valid()) return {};
        if (std::wstring final = FinalPathOf(handle.get()); !final.empty()) folder = NativePath(std::move(final));
    }
    std::wstring volume(folder.size() + MAX_PATH, L'\0');
    if (!::GetVolumePathNameW(folder.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) return {};
    volume = PlainPath(volume.c_str());
    // A drive is named by its root ("E:\"), a volume mounted at a folder by
    // that folder.
    if (volume.size() > 3 && IsSeparator(volume.back()) && volume.rfind(L"\\\\?\\", 0) != 0) volume.pop_back();
    return Narrow(volume);
}

bool NativeFileSystem::IsMountPoint(const std::string& folder)
{
    std::wstring root = Widen(folder);
    if (root.empty()) return false;
    if (!IsSeparator(root.back())) root.push_back(L'\\');
    wchar_t name[MAX_PATH + 1];
    if (::GetVolumeNameForVolumeMountPointW(NativePath(root).c_str(), name, MAX_PATH + 1)) return true;
    // Roots that name no volume of their own (shares, substituted drives)
    // and volumes known by their name alone are there while their root is:
    // a removed drive letter or an empty card reader is not.
    const bool volumeName = root.rfind(L"\\\\?\\Volume{", 0) == 0 && root.find(L'\\', 4) == root.size() - 1;
    if (!volumeName) {
        if (RootLength(root) != root.size()) return false;
        const UINT type = ::GetDriveTypeW(root.c_str());
        if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) return false;
    }
    const DWORD attributes = ::GetFileAttributesW(root.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::unique_ptr<CopySession> NativeFileSystem::BeginCopy(const std::string& destination)
{
    return std::make_unique<win::WindowsCopySession>(destination);
}

}  // namespace tandrel
