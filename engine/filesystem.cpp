#include "engine/filesystem.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace tandrel {

CopyOutcome FileSystem::CopyFile(const std::string& source, const std::string& target, bool overwrite)
{
    const std::unique_ptr<CopySession> session = BeginCopy(SourceFolder(target, PathStyle::Native()));
    const std::unique_ptr<FileCopy> copy = session->Open(source);
    session->Work(*copy, target, overwrite);
    return session->Commit(*copy);
}

std::uint64_t FileSystem::FileLength(const std::string& path)
{
    return BeginCopy(SourceFolder(path, PathStyle::Native()))->Open(path)->length;
}

namespace {

// Paths are UTF-8 texts; on Windows a plain std::string would be taken in the
// ANSI code page.
std::filesystem::path PathOf(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace

std::optional<std::string> FileSystem::ReadStart(const std::string& path, std::size_t limit)
{
    std::ifstream in(PathOf(path), std::ios::binary);
    if (!in) return std::nullopt;
    std::string data(limit, '\0');
    in.read(data.data(), static_cast<std::streamsize>(limit));
    if (in.bad()) return std::nullopt;
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

std::optional<std::uint64_t> FileSystem::FileBytes(const std::string& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(PathOf(path), error);
    if (error) return std::nullopt;
    return static_cast<std::uint64_t>(size);
}

}  // namespace tandrel
