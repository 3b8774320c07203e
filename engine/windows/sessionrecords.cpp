// The index of sources on Windows: a file in the destination folder, read
// and written as itself, never through a reparse point.
#include <algorithm>
#include <string>

#include "engine/restore.h"
#include "engine/windows/copysession.h"
#include "support/wintext.h"

namespace tandrel::win {

using support::Widen;

namespace {

class IndexIn : public ReservedReader {
public:
    IndexIn(Handle in, std::string what, std::string path)
        : in_(std::move(in)), what_(std::move(what)), path_(std::move(path))
    {
    }
    std::size_t Read(char* data, std::size_t size) override
    {
        DWORD read = 0;
        const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 20));
        if (!::ReadFile(in_.get(), data, wanted, &read, nullptr)) Fail(what_, ::GetLastError(), path_);
        return read;
    }

private:
    Handle in_;
    std::string what_, path_;
};

// Written beside the old index under a temporary's name (which the clean-up
// of a later backup takes for a killed copy's), put on disk, then moved over
// it.
class IndexOut : public ReservedWriter {
public:
    IndexOut(Handle out, std::wstring temporary, std::wstring final, std::string what, std::string path)
        : out_(std::move(out)), temporary_(std::move(temporary)), final_(std::move(final)), what_(std::move(what)),
          path_(std::move(path))
    {
    }
    ~IndexOut() override
    {
        if (!temporary_.empty()) Discard();
    }
    void Write(const char* data, std::size_t size) override
    {
        for (std::size_t done = 0; done < size;) {
            DWORD written = 0;
            const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 20));
            if (!::WriteFile(out_.get(), data + done, chunk, &written, nullptr)) Abandon(::GetLastError());
            done += written;
        }
    }
    void Commit() override
    {
        if (!::FlushFileBuffers(out_.get())) Abandon(::GetLastError());
        out_.Reset(INVALID_HANDLE_VALUE);
        if (!::MoveFileExW(temporary_.c_str(), final_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            Abandon(::GetLastError());
        temporary_.clear();
    }

private:
    void Discard()
    {
        out_.Reset(INVALID_HANDLE_VALUE);
        RemoveTemporary(temporary_);
        temporary_.clear();
    }
    [[noreturn]] void Abandon(DWORD error)
    {
        Discard();
        Fail(what_, error, path_);
    }
    Handle out_;
    std::wstring temporary_, final_;
    std::string what_, path_;
};

}  // namespace

std::unique_ptr<ReservedReader> WindowsCopySession::OpenIndex()
{
    const std::string path = destination_ + "\\" + kRestoreIndexName;
    std::string what = "Could not read the index of sources " + Quoted(path);
    const FolderRef root = RootFor(what, false);
    Handle in(::CreateFileW(NativePath(root->native + Widen(kRestoreIndexName)).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid()) {
        const DWORD error = ::GetLastError();
        if (IsMissing(error)) return nullptr;
        Fail(what, error, path);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(in.get(), &info)) Fail(what, ::GetLastError(), path);
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        throw FsError(what + ": it is not a regular file", FsError::Kind::Other, 0, path);
    return std::make_unique<IndexIn>(std::move(in), std::move(what), path);
}

std::unique_ptr<ReservedWriter> WindowsCopySession::ReplaceIndex()
{
    const std::string path = destination_ + "\\" + kRestoreIndexName;
    std::string what = "Could not write the index of sources " + Quoted(path);
    const FolderRef root = RootFor(what, true);
    Clean(*root);
    std::wstring temporary = NativePath(root->native + Widen(NewCopyTemporaryName()));
    Handle out(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) Fail(what, ::GetLastError(), path);
    return std::make_unique<IndexOut>(std::move(out), std::move(temporary),
                                      NativePath(root->native + Widen(kRestoreIndexName)), std::move(what), path);
}

}  // namespace tandrel::win
