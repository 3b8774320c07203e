// The platform's file system on Windows, through the wide-character calls:
// paths are UTF-8 in the engine and UTF-16 here. A copy goes into a temporary
// file beside its target (CopyFileW keeps the times and attributes) and is
// moved into place only when complete, so a failure never leaves a partial
// target nor harms the file it was to replace. Nothing below the destination
// is reached through a link: each folder there is opened as itself, level by
// level, and held open while the backup writes through its path, so that it
// can't be swapped for a link meanwhile.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The interface's own names, not the ANSI/wide macros of <windows.h>.
#undef CreateDirectory
#undef CopyFile

#include <algorithm>
#include <array>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/filesystem.h"
#include "support/quoted.h"
#include "support/wintext.h"

namespace tandrel {

namespace {

using support::Narrow;
using support::Quoted;
using support::SystemText;
using support::Widen;

FsError::Kind KindOf(DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FsError::Kind::Missing;
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return FsError::Kind::Full;
    return FsError::Kind::Other;
}

[[noreturn]] void Fail(const std::string& what, DWORD error)
{
    throw FsError(what + ": " + SystemText(error), KindOf(error), static_cast<int>(error));
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The path for the wide calls. Paths longer than the classic limit get the
// "\\?\" form, which takes them up to 32767 characters.
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
HANDLE OpenForInformation(const std::wstring& path)
{
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// GetFileAttributesW that tells "nothing there" (INVALID_FILE_ATTRIBUTES)
// apart from a path the system refuses to look at (an FsError).
DWORD AttributesOf(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(NativePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
    const DWORD error = ::GetLastError();
    if (IsMissing(error)) return INVALID_FILE_ATTRIBUTES;
    Fail("Could not read " + Quoted(path), error);
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

// Removes a temporary file, read-only or not; never fails.
void RemoveTemporary(const std::wstring& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
}

// The length of the root at the start of a path: "C:\", "\\server\share\",
// with a leading "\\?\" or "\\?\UNC\" counted in.
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

// A path the system gives in its "\\?\" form as the engine names it:
// "C:\..." and "\\server\share\..."; a volume without a drive letter or a
// folder of its own ("\\?\Volume{...}\") keeps the form.
std::wstring PlainPath(std::wstring path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() >= 6 && path[5] == L':') return path.substr(4);
    return path;
}

// The path the handle's file or folder has now, links resolved; empty where
// the system can't tell.
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
        Fail(what, error);
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
    if (error != ERROR_NO_MORE_FILES) Fail(what, error);
    return listing;
}

namespace {

// The reason alone, for the caller to tell what failed.
FsError Reason(DWORD error, const std::string& path)
{
    return FsError(SystemText(error), KindOf(error), static_cast<int>(error), path);
}

// Creates the folder with every missing level, by its path; true when this
// call made the folder itself (not when another program made it meanwhile).
// Throws FsError with the reason alone.
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

// Removes from the folder `native` (with its final "\") the temporary files
// of copies that were killed before they finished. Never fails.
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

}  // namespace

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

namespace {

std::uint64_t LengthOf(const std::string& path)
{
    const std::string what = "Could not read the size of " + Quoted(path);
    const std::wstring native = NativePath(path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data)) Fail(what, ::GetLastError());
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Fail(what, ERROR_ACCESS_DENIED);  // as opening it would
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: the size of the file it leads to.
        Handle file(OpenForInformation(native));
        LARGE_INTEGER size;
        if (!file.valid() || !::GetFileSizeEx(file.get(), &size)) Fail(what, ::GetLastError());
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
    Fail("Could not write to disk under " + Quoted(folder), error);
}

std::uint64_t Ticks(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// How finely the volume under `path` keeps modification times, in 100 ns
// ticks: FAT and exFAT keep 2 seconds, the others (NTFS, ReFS) 100 ns.
std::uint64_t TimeGranularity(const std::wstring& path)
{
    wchar_t volume[MAX_PATH + 1];
    wchar_t fileSystem[MAX_PATH + 1] = L"";
    if (!::GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) ||
        !::GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1))
        return 20000000;  // unknown: as coarse as any
    return std::wstring(fileSystem).find(L"FAT") != std::wstring::npos ? 20000000 : 1;
}

// --- The destination's folders ----------------------------------------------

// What tells one file or folder from another, whatever name reaches it: its
// volume and its file id (the 128-bit one where the system has it: ReFS
// needs it).
struct FileKey {
    std::uint64_t volume = 0;
    std::array<unsigned char, 16> id {};
    auto operator<=>(const FileKey&) const = default;
};

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

// A reparse point that leads to another place: a symbolic link, a junction,
// a volume mounted at a folder (every name surrogate), or a link of the host
// system under Wine (no tag). Other reparse points (cloud placeholders,
// deduplicated files) are the entry itself.
bool LeadsElsewhere(DWORD attributes, DWORD tag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// The code of the failure at a link where a folder should be.
constexpr DWORD kLinkInside = ERROR_CANT_RESOLVE_FILENAME;

// Classes of GetFileInformationByHandleEx and SetFileInformationByHandle
// that MinGW's headers number by the Windows version they are built for.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionEx {
    DWORD flags;
};
constexpr DWORD kDeleteNow = 0x1 | 0x2;  // FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS

// Opens a folder of the destination to hold it: shared for reading and
// writing but not for deletion, so that nobody renames or removes it (and
// puts a link in its place) while it is held. `follow`: through a link at its
// own name, as only the destination folder is taken.
HANDLE HoldFolder(const std::wstring& native, bool follow)
{
    return ::CreateFileW(NativePath(native).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

// Opens the entry at `native` itself, a link as the link, only to ask about it.
HANDLE OpenEntry(const std::wstring& native)
{
    return ::CreateFileW(NativePath(native).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// What one backup learns about one folder it writes into.
struct FolderState {
    bool madeByThisBackup = false;      // held no targets to look for
    bool cleaned = false;               // what killed copies left here is gone
    std::uint64_t timeGranularity = 0;  // 100 ns ticks; 0 not asked yet
};

// A folder of the destination, held open (see HoldFolder), with the folders
// above it: the wide calls that go through its path reach the folder that was
// looked at.
struct Folder {
    Handle handle {INVALID_HANDLE_VALUE};
    std::wstring native;  // its path for the wide calls, with its final "\"
    std::string path;     // as the backup names it, without its final separator
    FileKey id;
    FolderState* state = nullptr;
    std::shared_ptr<const Folder> parent;
};
using FolderRef = std::shared_ptr<const Folder>;

std::string WithoutFinalSeparators(std::string path)
{
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

std::string FolderOf(const std::string& target)
{
    const std::size_t cut = target.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
}

std::string NameOf(const std::string& target)
{
    const std::size_t cut = target.find_last_of("\\/");
    return cut == std::string::npos ? target : target.substr(cut + 1);
}

class WindowsCopySession : public CopySession {
public:
    explicit WindowsCopySession(const std::string& destination) : destination_(WithoutFinalSeparators(destination)) {}

    bool DirectoryExists(const std::string& path) override
    {
        try {
            Walk(path, false, true, nullptr);
            return true;
        } catch (const FsError& failure) {
            if (failure.kind() == FsError::Kind::Missing || failure.code() == ERROR_DIRECTORY) return false;
            // Something is there, reached through a link: each copy into it
            // says that it is not followed.
            if (failure.code() == static_cast<int>(kLinkInside)) return true;
            throw failure.Within("Could not read " + Quoted(path));
        }
    }

    void CreateDirectory(const std::string& path, const std::string& mirrored) override
    {
        (void)mirrored;
        std::vector<std::string> made;
        FolderRef folder;
        try {
            folder = Walk(path, true, true, &made);
        } catch (const FsError& failure) {
            throw failure.Within("Could not create the folder " + Quoted(path));
        }
        // The copies that follow into a folder made just now need not look
        // for a target there first, nor for leftovers. A level another
        // program made meanwhile is not ours.
        if (made.empty() || made.back() != WithoutFinalSeparators(path)) return;
        std::lock_guard lock(mutex_);
        folder->state->madeByThisBackup = true;
    }

    std::unique_ptr<FileCopy> Open(const std::string& source) override
    {
        auto copy = std::make_unique<Copy>();
        copy->source = source;
        copy->length = LengthOf(source);
        return copy;
    }

    void Work(FileCopy& base, const std::string& target, bool overwrite) noexcept override
    {
        Copy& copy = static_cast<Copy&>(base);
        copy.failure.reset();
        copy.upToDate = false;
        copy.Drop();
        try {
            copy.target = target;
            copy.overwrite = overwrite;
            DoWork(copy);
            return;
        } catch (const FsError& failure) {
            copy.failure = failure;
        } catch (const std::exception& failure) {
            copy.failure = FsError(copy.What() + ": " + failure.what());
        } catch (...) {
            copy.failure = FsError(copy.What() + ": an unknown error");
        }
        copy.Drop();
    }

    CopyOutcome Commit(FileCopy& base) override
    {
        Copy& copy = static_cast<Copy&>(base);
        if (copy.failure) throw *copy.failure;
        if (copy.upToDate) return CopyOutcome::UpToDate;
        // Without MOVEFILE_REPLACE_EXISTING an existing target, even one that
        // appeared since the work looked, is never replaced. A link at the
        // target's name is replaced itself, never written through.
        const DWORD flags = copy.overwrite ? MOVEFILE_REPLACE_EXISTING : 0;
        if (!::MoveFileExW(copy.temporary.c_str(), NativePath(copy.to).c_str(), flags)) {
            const DWORD error = ::GetLastError();
            copy.Drop();
            Fail(copy.What(), error);
        }
        copy.temporary.clear();
        const Folder& folder = *copy.folder;
        std::lock_guard lock(mutex_);
        written_.try_emplace(folder.id.volume, folder.native, folder.path);
        return CopyOutcome::Copied;
    }

    void Finish() override
    {
        for (const auto& [volume, folder] : written_) FlushVolume(folder.first, folder.second);
    }

    // The lock is a file in the destination folder, locked with LockFileEx:
    // the lock goes with the process, however that ends. The file is removed
    // as the backup lets go, so a backup that took the lock checks that the
    // file it locked still has the name and is not on its way out: the one
    // before may have removed it meanwhile. A file system that has no locks
    // takes the backup as it is; its lock file goes all the same.
    bool TryLock() override
    {
        if (lock_.valid()) return true;
        const std::string what = "Could not lock the destination " + Quoted(destination_);
        FolderRef root;
        try {
            root = Root(true, nullptr);
        } catch (const FsError& failure) {
            throw failure.Within(what);
        }
        const std::wstring name = root->native + Widen(kDestinationLockName);
        DWORD error = ERROR_SUCCESS;
        for (int attempt = 0; attempt < 50; ++attempt) {
            Handle file(::CreateFileW(NativePath(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
            if (!file.valid()) {
                // A file being removed (by a backup that let go of it) can't
                // be opened until the last one who has it open closes it.
                error = ::GetLastError();
                if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
                ::Sleep(20);
                continue;
            }
            OVERLAPPED whole {};
            if (!::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
                error = ::GetLastError();
                if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return false;
                lock_ = std::move(file);
                return true;
            }
            if (StillNamed(file.get(), name)) {
                lock_ = std::move(file);
                return true;
            }
            error = ERROR_SUCCESS;  // the file of the backup before: the next one makes its own
        }
        if (error == ERROR_SUCCESS) return false;
        Fail(what, error);
    }

    ~WindowsCopySession() override { Unlock(); }

    // By the identity of the destination folder, through any link on the
    // source's path. Asked by the copy's own thread only.
    bool LiesInDestination(const std::string& source) override
    {
        if (!destinationId_) {
            try {
                destinationId_ = Root(false, nullptr)->id;
            } catch (const FsError&) {
                return false;  // not there (yet): nothing lies in it
            }
        }
        const std::size_t cut = source.find_last_of("\\/");
        return cut != std::string::npos && FolderInDestination(source.substr(0, cut));
    }

private:
    struct Copy : FileCopy {
        std::string source, target;
        bool overwrite = false;
        bool upToDate = false;
        std::optional<FsError> failure;
        FolderRef folder;        // the target's, held until the copy is done with
        std::wstring to;         // the target's path for the wide calls
        std::wstring temporary;  // the temporary's, in the "\\?\" form where needed
        std::string What() const { return "Could not copy " + Quoted(source) + " to " + Quoted(target); }
        void Drop()
        {
            if (!temporary.empty()) RemoveTemporary(temporary);
            temporary.clear();
        }
        ~Copy() override { Drop(); }
    };

    // The folder `wanted`, at or below the destination, held open. Below the
    // destination each level is opened from the one above, as itself: a
    // level that is a link fails, whoever planted it. `create`: missing
    // levels are made, and those this call made are added to `made`.
    // `checked`: no folder held open is taken that is gone meanwhile. Throws
    // FsError with the reason alone; its kind is Missing when a level is not
    // there.
    FolderRef Walk(const std::string& wanted, bool create, bool checked, std::vector<std::string>* made)
    {
        const std::string path = WithoutFinalSeparators(wanted);
        if (path == destination_) return Root(create, made);
        if (path.size() <= destination_.size() || path.compare(0, destination_.size(), destination_) != 0 ||
            (path[destination_.size()] != '\\' && path[destination_.size()] != '/'))
            throw FsError("it lies outside the destination " + Quoted(destination_ + "\\"), FsError::Kind::Other,
                          ERROR_INVALID_PARAMETER, path);
        if (FolderRef held = Cached(path, checked)) return held;

        // From the deepest level held open (or the destination) down.
        FolderRef folder;
        std::size_t from = path.size();
        while (!folder) {
            from = path.find_last_of("\\/", from - 1);
            if (from <= destination_.size()) {
                from = destination_.size();
                folder = Root(create, made);
            } else {
                folder = Cached(path.substr(0, from), checked);
            }
        }
        while (from < path.size()) {
            const std::size_t end = std::min(path.find_first_of("\\/", from + 1), path.size());
            const std::string name = path.substr(from + 1, end - from - 1);
            const std::string level = path.substr(0, end);
            from = end;
            if (name.empty()) continue;
            if (name == "." || name == "..")
                throw FsError("the path holds " + Quoted(name) + ", which names no folder of its own",
                              FsError::Kind::Other, ERROR_INVALID_NAME, level);
            folder = Level(folder, name, level, create, made);
        }
        return folder;
    }

    FolderRef Root(bool create, std::vector<std::string>* made)
    {
        {
            std::lock_guard lock(mutex_);
            if (root_) return root_;
        }
        // The folder the user chose is taken as it is found, through any link
        // on its way, and resolved this once: the paths below it start from
        // the folder it leads to.
        const std::wstring given = Widen(destination_) + L"\\";
        Handle folder(HoldFolder(given, true));
        bool madeIt = false;
        if (!folder.valid() && IsMissing(::GetLastError()) && create) {
            madeIt = CreateFolders(destination_);
            folder.Reset(HoldFolder(given, true));
        }
        if (!folder.valid()) throw NotThere(::GetLastError(), destination_);
        std::wstring native = FinalPathOf(folder.get());
        if (native.empty()) native = given;
        if (!IsSeparator(native.back())) native.push_back(L'\\');
        FolderRef root = Describe(std::move(folder), std::move(native), destination_, nullptr);
        std::lock_guard lock(mutex_);
        if (madeIt) {
            root->state->madeByThisBackup = true;
            if (made) made->push_back(destination_);
        }
        if (!root_) root_ = std::move(root);
        return root_;
    }

    // The level `name` of `parent` (`level` to the user).
    FolderRef Level(const FolderRef& parent, const std::string& name, const std::string& level, bool create,
                    std::vector<std::string>* made)
    {
        const std::wstring native = parent->native + Widen(name);
        Handle folder(HoldFolder(native, false));
        if (!folder.valid() && IsMissing(::GetLastError()) && create) {
            if (::CreateDirectoryW(NativePath(native).c_str(), nullptr)) {
                if (made) made->push_back(level);
            } else if (const DWORD error = ::GetLastError(); error != ERROR_ALREADY_EXISTS) {
                throw Reason(error, level);  // not when another program made it meanwhile
            }
            folder.Reset(HoldFolder(native, false));
        }
        if (!folder.valid()) throw NotThere(::GetLastError(), level);
        FILE_ATTRIBUTE_TAG_INFO info {};
        if (!::GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &info, sizeof info))
            throw Reason(::GetLastError(), level);
        // Wine opens a link of its host to a folder as the folder it leads
        // to, and shows it as a link (without a tag) only by its path.
        if (!(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            const DWORD attributes = ::GetFileAttributesW(NativePath(native).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                info.FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
                info.ReparseTag = 0;
            }
        }
        if (LeadsElsewhere(info.FileAttributes, info.ReparseTag))
            throw FsError(
                Quoted(level) + " is a symbolic link, and a backup does not follow links inside its destination",
                FsError::Kind::Other, static_cast<int>(kLinkInside), level);
        FolderRef reached = Describe(std::move(folder), native + L"\\", level, parent);
        Keep(reached);
        return reached;
    }

    // A folder missing where one is needed is a path not found, as a copy
    // into it would say.
    static FsError NotThere(DWORD error, const std::string& path)
    {
        return Reason(IsMissing(error) ? ERROR_PATH_NOT_FOUND : error, path);
    }

    FolderRef Describe(Handle folder, std::wstring native, const std::string& path, FolderRef parent)
    {
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(folder.get(), &info)) throw Reason(::GetLastError(), path);
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) throw Reason(ERROR_DIRECTORY, path);
        auto described = std::make_shared<Folder>();
        if (!KeyOf(folder.get(), described->id)) throw Reason(::GetLastError(), path);
        described->handle = std::move(folder);
        described->native = std::move(native);
        described->path = path;
        described->parent = std::move(parent);
        std::lock_guard lock(mutex_);
        auto& state = states_[described->id];
        if (!state) state = std::make_unique<FolderState>();
        described->state = state.get();
        return described;
    }

    // The folders used last, held open: files come folder by folder.
    FolderRef Cached(const std::string& path, bool checked)
    {
        std::lock_guard lock(mutex_);
        for (auto it = recent_.begin(); it != recent_.end(); ++it) {
            if ((*it)->path != path) continue;
            // Where a held folder can still be removed (Wine's), a checked
            // look takes none that is gone: the copies into it fail as
            // missing, and the folder is made again.
            if (checked) {
                const DWORD attributes = ::GetFileAttributesW(NativePath((*it)->native).c_str());
                if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    Forget(path);
                    return nullptr;
                }
            }
            recent_.splice(recent_.begin(), recent_, it);
            return recent_.front();
        }
        return nullptr;
    }

    void Keep(const FolderRef& folder)
    {
        std::lock_guard lock(mutex_);
        recent_.push_front(folder);
        if (recent_.size() > kHeldOpen) recent_.pop_back();
    }

    // Lets go of `folder` and the folders below it. With the mutex held.
    void Forget(const std::string& folder)
    {
        recent_.remove_if([&](const FolderRef& held) {
            return held->path.compare(0, folder.size(), folder) == 0 &&
                   (held->path.size() == folder.size() || held->path[folder.size()] == '\\' ||
                    held->path[folder.size()] == '/');
        });
    }

    // The first look into a folder removes what killed copies left there.
    void Clean(const Folder& folder)
    {
        std::lock_guard lock(mutex_);
        FolderState& state = *folder.state;
        if (state.cleaned) return;
        state.cleaned = true;
        if (!state.madeByThisBackup) RemoveLeftovers(folder.native);
    }

    void DoWork(Copy& copy)
    {
        const std::string what = copy.What();
        try {
            copy.folder = Walk(FolderOf(copy.target), false, false, nullptr);
        } catch (const FsError& failure) {
            throw failure.Within(what);
        }
        const Folder& folder = *copy.folder;
        copy.to = folder.native + Widen(NameOf(copy.target));
        Clean(folder);
        const std::wstring from = NativePath(copy.source);

        BY_HANDLE_FILE_INFORMATION sourceInfo;
        {
            // Without FILE_FLAG_BACKUP_SEMANTICS a folder is refused here.
            Handle in(::CreateFileW(from.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!in.valid() || !::GetFileInformationByHandle(in.get(), &sourceInfo)) Fail(what, ::GetLastError());
        }
        bool madeByThisBackup;
        {
            std::lock_guard lock(mutex_);
            madeByThisBackup = folder.state->madeByThisBackup;
        }
        if (!madeByThisBackup) {
            // A link at the target's name is looked at, never through: it is
            // replaced by the copy like any other file.
            Handle out(OpenEntry(copy.to));
            BY_HANDLE_FILE_INFORMATION targetInfo;
            if (out.valid() && ::GetFileInformationByHandle(out.get(), &targetInfo)) {
                if (targetInfo.dwVolumeSerialNumber == sourceInfo.dwVolumeSerialNumber &&
                    targetInfo.nFileIndexHigh == sourceInfo.nFileIndexHigh &&
                    targetInfo.nFileIndexLow == sourceInfo.nFileIndexLow)
                    throw FsError(what + ": they are the same file");
                if (!copy.overwrite) Fail(what, ERROR_FILE_EXISTS);
                if (UpToDate(sourceInfo, targetInfo, folder)) {
                    copy.upToDate = true;
                    return;
                }
            } else if (!out.valid() && !copy.overwrite && !IsMissing(::GetLastError())) {
                Fail(what, ::GetLastError());
            }
        }
        // CopyFileW keeps the times and attributes.
        DWORD error = ERROR_FILE_EXISTS;
        for (int attempt = 0; attempt < 16 && error == ERROR_FILE_EXISTS; ++attempt) {
            copy.temporary = NativePath(folder.native + Widen(NewCopyTemporaryName()));
            error = ::CopyFileW(from.c_str(), copy.temporary.c_str(), TRUE) ? ERROR_SUCCESS : ::GetLastError();
            if (error == ERROR_FILE_EXISTS) copy.temporary.clear();  // not ours
        }
        if (error != ERROR_SUCCESS) Fail(what, error);
    }

    bool UpToDate(const BY_HANDLE_FILE_INFORMATION& source, const BY_HANDLE_FILE_INFORMATION& target,
                  const Folder& folder)
    {
        if (target.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
        if (source.nFileSizeHigh != target.nFileSizeHigh || source.nFileSizeLow != target.nFileSizeLow) return false;
        const std::uint64_t a = Ticks(source.ftLastWriteTime), b = Ticks(target.ftLastWriteTime);
        const std::uint64_t difference = a > b ? a - b : b - a;
        if (difference == 0) return true;
        if (difference >= 20000000) return false;
        std::lock_guard lock(mutex_);
        FolderState& state = *folder.state;
        if (state.timeGranularity == 0) state.timeGranularity = TimeGranularity(NativePath(folder.native));
        return difference < state.timeGranularity;
    }

    // `folder` without its final separator ("C:" for a drive's root).
    bool FolderInDestination(const std::string& folder)
    {
        if (const auto it = inDestination_.find(folder); it != inDestination_.end()) return it->second;
        const std::wstring native = Widen(folder) + L"\\";
        Handle handle(OpenForInformation(NativePath(native)));
        FileKey key;
        bool inside = false;
        if (handle.valid() && KeyOf(handle.get(), key)) {
            const std::size_t cut = folder.find_last_of("\\/");
            inside = key == *destinationId_ || (RootLength(native) < native.size() && cut != std::string::npos &&
                                                FolderInDestination(folder.substr(0, cut)));
        }
        inDestination_[folder] = inside;
        return inside;
    }

    static bool StillNamed(HANDLE file, const std::wstring& name)
    {
        FILE_STANDARD_INFO standard {};
        if (::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
            standard.DeletePending)
            return false;
        Handle named(OpenEntry(name));
        FileKey held, found;
        return named.valid() && KeyOf(file, held) && KeyOf(named.get(), found) && held == found;
    }

    // The lock file goes while it is still locked: at once where the file
    // system removes a name while the file is open (POSIX semantics), else as
    // the last handle of it closes.
    void Unlock()
    {
        if (!lock_.valid()) return;
        DispositionEx now {kDeleteNow};
        if (!::SetFileInformationByHandle(lock_.get(), kFileDispositionInfoEx, &now, sizeof now)) {
            FILE_DISPOSITION_INFO disposition {TRUE};
            ::SetFileInformationByHandle(lock_.get(), FileDispositionInfo, &disposition, sizeof disposition);
        }
        OVERLAPPED whole {};
        ::UnlockFileEx(lock_.get(), 0, 1, 0, &whole);
        lock_.Reset(INVALID_HANDLE_VALUE);
    }

    static constexpr std::size_t kHeldOpen = 64;

    std::string destination_;  // without its final separator ("C:" for a drive's root)
    std::mutex mutex_;         // guards everything below, and each folder's state
    FolderRef root_;
    std::list<FolderRef> recent_;
    std::map<FileKey, std::unique_ptr<FolderState>> states_;
    std::map<std::uint64_t, std::pair<std::wstring, std::string>> written_;  // by volume: a folder written to
    Handle lock_ {INVALID_HANDLE_VALUE};  // the destination's lock file, locked from TryLock on
    std::optional<FileKey> destinationId_;
    std::map<std::string, bool> inDestination_;  // source folders, once asked
};

}  // namespace

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
    return std::make_unique<WindowsCopySession>(destination);
}

}  // namespace tandrel
