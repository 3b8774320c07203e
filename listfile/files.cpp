// Reading and saving list files on the platform's file system. A save writes
// a temporary file beside the target and renames it over the target only once
// it is complete and on disk, so a failed save leaves the old list intact.
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <random>

#include "support/quoted.h"
#include "listfile/detail/records.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include "support/wintext.h"
#endif

namespace tandrel {
namespace listfile_detail {

std::string SystemMessage(const std::string& what, int err)
{
    return what + ": " + std::strerror(err);
}

}  // namespace listfile_detail

namespace {

using listfile_detail::ByteSink;
using listfile_detail::ByteSource;
using listfile_detail::SystemMessage;

constexpr char kTemporaryMark[] = ".tandrel-save-";

using support::Quoted;

#ifndef _WIN32
[[noreturn]] void SaveFailed(const std::string& target, int err)
{
    throw ListFileError(ListFileError::Kind::Io, SystemMessage("cannot save the backup list " + Quoted(target), err));
}
#endif

std::string RandomSuffix()
{
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 generator {std::random_device {}()};
    std::uniform_int_distribution<int> pick(0, sizeof kChars - 2);
    std::string suffix(6, ' ');
    for (char& c : suffix) c = kChars[pick(generator)];
    return suffix;
}

// The folder part (with its trailing separator, or "") and the name part.
std::pair<std::string, std::string> SplitPath(const std::string& path)
{
#ifdef _WIN32
    const std::size_t cut = path.find_last_of("\\/");
#else
    const std::size_t cut = path.rfind('/');
#endif
    if (cut == std::string::npos) return {"", path};
    return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

std::string TemporaryPath(const std::string& target)
{
    auto [folder, name] = SplitPath(target);
    // Keep the name short enough that the temporary name stays legal.
    if (name.size() > 200) name.resize(200);
    return folder + "." + name + kTemporaryMark + RandomSuffix();
}

// Reads a file through a 64 KiB buffer; large reads go straight to the
// caller. The platforms supply the reads themselves (Fill) and the size.
class BufferedSource : public ByteSource {
public:
    BufferedSource() : buffer_(1 << 16) {}

    std::size_t Read(char* data, std::size_t size) override
    {
        std::size_t done = 0;
        while (done < size) {
            if (pos_ == end_) {
                if (size - done >= buffer_.size()) {
                    const std::size_t n = Fill(data + done, size - done);
                    if (n == 0) break;
                    done += n;
                    continue;
                }
                pos_ = 0;
                end_ = Fill(buffer_.data(), buffer_.size());
                if (end_ == 0) break;
            }
            const std::size_t n = std::min(size - done, end_ - pos_);
            std::memcpy(data + done, buffer_.data() + pos_, n);
            pos_ += n;
            done += n;
        }
        consumed_ += done;
        return done;
    }

    std::optional<std::uint64_t> Remaining() const override
    {
        if (!size_) return std::nullopt;
        return *size_ > consumed_ ? *size_ - consumed_ : 0;
    }

protected:
    void SetSize(std::uint64_t size) { size_ = size; }

private:
    // Reads up to `size` bytes; 0 at the end of the file.
    virtual std::size_t Fill(char* data, std::size_t size) = 0;

    std::optional<std::uint64_t> size_;
    std::uint64_t consumed_ = 0;
    std::vector<char> buffer_;
    std::size_t pos_ = 0, end_ = 0;
};

#ifndef _WIN32

// A list file's path with symbolic links resolved, so that saving through a
// link replaces the file it points to rather than the link.
std::string ResolvedTarget(const std::string& target)
{
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(target.c_str(), nullptr)) {
            std::string resolved(real);
            std::free(real);
            return resolved;
        }
    }
    return target;
}

class NativeSaveFile : public SaveFile {
public:
    NativeSaveFile(int fd, std::string path, std::string target)
        : fd_(fd), path_(std::move(path)), target_(std::move(target))
    {
    }
    ~NativeSaveFile() override
    {
        if (fd_ >= 0) ::close(fd_);
    }
    const std::string& Path() const override { return path_; }

    void Write(const char* data, std::size_t size) override
    {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                SaveFailed(target_, errno);
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    void Commit() override
    {
        if (::fsync(fd_) != 0) SaveFailed(target_, errno);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) SaveFailed(target_, errno);
    }

private:
    int fd_;
    std::string path_;
    std::string target_;
};

class FileSource : public BufferedSource {
public:
    FileSource(int fd, const std::string& path) : fd_(fd), path_(path)
    {
        struct stat st;
        if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) SetSize(static_cast<std::uint64_t>(st.st_size));
    }
    ~FileSource() override { ::close(fd_); }

private:
    std::size_t Fill(char* data, std::size_t size) override
    {
        for (;;) {
            const ssize_t n = ::read(fd_, data, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) {
                throw ListFileError(ListFileError::Kind::Io,
                                    SystemMessage("cannot read the backup list " + Quoted(path_), errno));
            }
        }
    }

    int fd_;
    const std::string& path_;
};

#else  // _WIN32: the wide-character calls; paths are UTF-8 here, UTF-16 there

using support::Widen;

std::string WindowsMessage(const std::string& what, DWORD err)
{
    return what + ": " + support::SystemText(err);
}

[[noreturn]] void SaveFailedWith(const std::string& target, DWORD err)
{
    throw ListFileError(ListFileError::Kind::Io, WindowsMessage("cannot save the backup list " + Quoted(target), err));
}

class NativeSaveFile : public SaveFile {
public:
    NativeSaveFile(HANDLE file, std::string path, std::string target)
        : file_(file), path_(std::move(path)), target_(std::move(target))
    {
    }
    ~NativeSaveFile() override
    {
        if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    }
    const std::string& Path() const override { return path_; }

    void Write(const char* data, std::size_t size) override
    {
        while (size > 0) {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file_, data, piece, &written, nullptr)) SaveFailedWith(target_, ::GetLastError());
            data += written;
            size -= written;
        }
    }

    void Commit() override
    {
        if (!::FlushFileBuffers(file_)) SaveFailedWith(target_, ::GetLastError());
        const HANDLE file = file_;
        file_ = INVALID_HANDLE_VALUE;
        if (!::CloseHandle(file)) SaveFailedWith(target_, ::GetLastError());
    }

private:
    HANDLE file_;
    std::string path_;
    std::string target_;
};

class FileSource : public BufferedSource {
public:
    FileSource(HANDLE file, const std::string& path) : file_(file), path_(path)
    {
        LARGE_INTEGER size;
        if (::GetFileSizeEx(file_, &size)) SetSize(static_cast<std::uint64_t>(size.QuadPart));
    }
    ~FileSource() override { ::CloseHandle(file_); }

private:
    std::size_t Fill(char* data, std::size_t size) override
    {
        DWORD got = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!::ReadFile(file_, data, piece, &got, nullptr)) {
            throw ListFileError(ListFileError::Kind::Io,
                                WindowsMessage("cannot read the backup list " + Quoted(path_), ::GetLastError()));
        }
        return got;
    }

    HANDLE file_;
    const std::string& path_;
};

#endif

// Hands the writer's bytes to a save's temporary file.
class SaveSink : public ByteSink {
public:
    explicit SaveSink(SaveFile& file) : file_(file) {}
    void Write(const char* data, std::size_t size) override { file_.Write(data, size); }

private:
    SaveFile& file_;
};

template <class Data>
void Save(const std::string& filename, const Data& data, SaveFiles& files)
{
    std::unique_ptr<SaveFile> file = files.CreateBeside(filename);
    const std::string temporary = file->Path();
    try {
        SaveSink sink(*file);
        listfile_detail::WriteRecords(sink, data);
        file->Commit();
        file.reset();
        files.Replace(temporary, filename);
    } catch (...) {
        file.reset();
        files.Discard(temporary);
        throw;
    }
}

}  // namespace

#ifndef _WIN32

std::unique_ptr<SaveFile> NativeSaveFiles::CreateBeside(const std::string& target)
{
    const std::string resolved = ResolvedTarget(target);
    if (SplitPath(resolved).second.empty()) SaveFailed(target, EISDIR);
    struct stat old;
    const bool replacing = ::stat(resolved.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) SaveFailed(target, EISDIR);
    for (int attempt = 0;; ++attempt) {
        std::string path = TemporaryPath(resolved);
        // 0666 less the umask, as for any new file.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            SaveFailed(target, errno);
        }
        if (replacing && S_ISREG(old.st_mode)) {
            // The new file takes the place of the old: give it its owner and mode.
            // Both are best effort; the list is saved either way.
            (void)!::fchown(fd, old.st_uid, old.st_gid);
            (void)!::fchmod(fd, old.st_mode & 0777);
        }
        return std::make_unique<NativeSaveFile>(fd, std::move(path), target);
    }
}

void NativeSaveFiles::Replace(const std::string& temporary, const std::string& target)
{
    const std::string resolved = ResolvedTarget(target);
    if (::rename(temporary.c_str(), resolved.c_str()) != 0) SaveFailed(target, errno);
    // Put the new name on disk too; the file itself already is.
    std::string folder = SplitPath(resolved).first;
    if (folder.empty()) folder = ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

void NativeSaveFiles::Discard(const std::string& temporary) noexcept
{
    ::unlink(temporary.c_str());
}

BackupList Deserialize(const std::string& filename)
{
    int fd;
    do {
        fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw ListFileError(ListFileError::Kind::Io,
                            SystemMessage("cannot open the backup list " + Quoted(filename), errno));
    }
    FileSource source(fd, filename);
    return listfile_detail::ReadRecords(source, filename);
}

#else

std::unique_ptr<SaveFile> NativeSaveFiles::CreateBeside(const std::string& target)
{
    if (SplitPath(target).second.empty()) SaveFailedWith(target, ERROR_ACCESS_DENIED);  // a folder
    const DWORD old = ::GetFileAttributesW(Widen(target).c_str());
    if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_DIRECTORY)) SaveFailedWith(target, ERROR_ACCESS_DENIED);
    for (int attempt = 0;; ++attempt) {
        std::string path = TemporaryPath(target);
        const HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            if (err == ERROR_FILE_EXISTS && attempt < 100) continue;
            SaveFailedWith(target, err);
        }
        return std::make_unique<NativeSaveFile>(file, std::move(path), target);
    }
}

void NativeSaveFiles::Replace(const std::string& temporary, const std::string& target)
{
    // The new name goes on disk before the call returns.
    if (!::MoveFileExW(Widen(temporary).c_str(), Widen(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        SaveFailedWith(target, ::GetLastError());
}

void NativeSaveFiles::Discard(const std::string& temporary) noexcept
{
    ::DeleteFileW(Widen(temporary).c_str());
}

BackupList Deserialize(const std::string& filename)
{
    const HANDLE file =
        ::CreateFileW(Widen(filename).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw ListFileError(ListFileError::Kind::Io,
                            WindowsMessage("cannot open the backup list " + Quoted(filename), ::GetLastError()));
    }
    FileSource source(file, filename);
    return listfile_detail::ReadRecords(source, filename);
}

#endif

bool IsSaveTemporaryName(const std::string& name)
{
    return name.size() > 1 && name[0] == '.' && name.find(kTemporaryMark) != std::string::npos;
}

void Serialize(const std::string& filename, const BackupList& list, SaveFiles& files)
{
    Save(filename, list, files);
}

void Serialize(const std::string& filename, const BackupList& list)
{
    NativeSaveFiles files;
    Save(filename, list, files);
}

void Serialize(const std::string& filename, const std::vector<std::string>& data)
{
    NativeSaveFiles files;
    Save(filename, data, files);
}

void Serialize(const std::string& filename, const std::vector<ListEntry>& data)
{
    NativeSaveFiles files;
    Save(filename, data, files);
}

}  // namespace tandrel
