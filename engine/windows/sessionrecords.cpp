// The index of sources on Windows: a file in the destination folder, read
// and written as itself, never through a reparse point.
#include <algorithm>
#include <string>

#include "engine/restore.h"
#include "engine/windows/copysession.h"
#include "support/wintext.h"

namespace tandrel::win {

using support::Widen;

std::optional<std::string> WindowsCopySession::LoadIndex(std::size_t limit)
{
    const std::string path = destination_ + "\\" + kRestoreIndexName;
    const std::string what = "Could not read the index of sources " + Quoted(path);
    FolderRef root;
    try {
        root = Root(false, nullptr);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
    Handle in(::CreateFileW(NativePath(root->native + Widen(kRestoreIndexName)).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid()) {
        const DWORD error = ::GetLastError();
        if (IsMissing(error)) return std::nullopt;
        Fail(what, error, path);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(in.get(), &info)) Fail(what, ::GetLastError(), path);
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        throw FsError(what + ": it is not a regular file", FsError::Kind::Other, 0, path);
    std::string text;
    char buffer[1 << 16];
    while (text.size() < limit) {
        DWORD read = 0;
        const auto wanted = static_cast<DWORD>(std::min(sizeof buffer, limit - text.size()));
        if (!::ReadFile(in.get(), buffer, wanted, &read, nullptr)) Fail(what, ::GetLastError(), path);
        if (read == 0) break;
        text.append(buffer, read);
    }
    return text;
}

// Written whole beside the old index under a temporary's name (which the
// clean-up of a later backup takes for a killed copy's), put on disk, then
// moved over it.
void WindowsCopySession::SaveIndex(const std::string& text)
{
    const std::string path = destination_ + "\\" + kRestoreIndexName;
    const std::string what = "Could not write the index of sources " + Quoted(path);
    FolderRef root;
    try {
        root = Root(true, nullptr);
    } catch (const FsError& failure) {
        throw failure.Within(what);
    }
    Clean(*root);
    const std::wstring temporary = NativePath(root->native + Widen(NewCopyTemporaryName()));
    Handle out(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) Fail(what, ::GetLastError(), path);
    DWORD error = ERROR_SUCCESS;
    for (std::size_t done = 0; done < text.size() && error == ERROR_SUCCESS;) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
        if (!::WriteFile(out.get(), text.data() + done, chunk, &written, nullptr)) error = ::GetLastError();
        done += written;
    }
    if (error == ERROR_SUCCESS && !::FlushFileBuffers(out.get())) error = ::GetLastError();
    out.Reset(INVALID_HANDLE_VALUE);
    if (error == ERROR_SUCCESS &&
        !::MoveFileExW(temporary.c_str(), NativePath(root->native + Widen(kRestoreIndexName)).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = ::GetLastError();
    if (error != ERROR_SUCCESS) {
        RemoveTemporary(temporary);
        Fail(what, error, path);
    }
}

}  // namespace tandrel::win
