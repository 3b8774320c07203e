// What guards a destination on Windows: one backup at a time, and nothing
// of its own copied into it.
#include <string>

#include "engine/windows/copysession.h"
#include "support/wintext.h"

namespace tandrel::win {

using support::Widen;

// The lock is a file in the destination folder, locked with LockFileEx:
// the lock goes with the process, however that ends. The file is removed
// as the backup lets go, so a backup that took the lock checks that the
// file it locked still has the name and is not on its way out: the one
// before may have removed it meanwhile. A file system that has no locks
// (LockFileEx not supported there) takes the backup as it is; its lock file
// goes all the same. Any other error fails the backup.
bool WindowsCopySession::TryLock()
{
    if (lock_.valid()) return true;
    const std::string what = "Could not lock the destination " + Quoted(destination_);
    const FolderRef root = RootFor(what, true);
    const std::wstring name = root->native + Widen(kDestinationLockName);
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 50; ++attempt) {
        Handle file(::CreateFileW(NativePath(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, kShareAll, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
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
            if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION && error != ERROR_CALL_NOT_IMPLEMENTED)
                Fail(what, error, destination_ + "\\" + kDestinationLockName);
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
    Fail(what, error, destination_ + "\\" + kDestinationLockName);
}

// By the identity of the destination folder, through any link on the
// source's path. Asked by the copy's own thread only.
bool WindowsCopySession::LiesInDestination(const std::string& source)
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

// `folder` without its final separator ("C:" for a drive's root).
bool WindowsCopySession::FolderInDestination(const std::string& folder)
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

bool WindowsCopySession::StillNamed(HANDLE file, const std::wstring& name)
{
    FILE_STANDARD_INFO standard {};
    if (::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) && standard.DeletePending)
        return false;
    Handle named(OpenEntry(name));
    FileKey held, found;
    return named.valid() && KeyOf(file, held) && KeyOf(named.get(), found) && held == found;
}

// The lock file goes while it is still locked: at once where the file
// system removes a name while the file is open (POSIX semantics), else as
// the last handle of it closes.
void WindowsCopySession::Unlock()
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

}  // namespace tandrel::win
