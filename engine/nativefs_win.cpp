// The platform's file system on Windows. std::filesystem stands in until the
// platform's own calls are used.
#include <filesystem>
#include <string>
#include <system_error>

#include "filesystem.h"

namespace tandrel {

namespace {
std::string Quoted(const std::string& path)
{
    return "'" + path + "'";
}
}  // namespace


bool NativeFileSystem::DirectoryExists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_directory(std::filesystem::u8path(path), error);
}

bool NativeFileSystem::FileExists(const std::string& path)
{
    std::error_code error;
    const auto status = std::filesystem::status(std::filesystem::u8path(path), error);
    return std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

Listing NativeFileSystem::List(const std::string& folder)
{
    Listing listing;
    std::error_code error;
    for (std::filesystem::directory_iterator it(std::filesystem::u8path(folder), error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().u8string();
        if (it->is_symlink() && it->is_directory()) continue;
        if (it->is_directory())
            listing.folders.push_back(JoinPath(folder, name, PathStyle::Windows()));
        else
            listing.files.push_back(JoinPath(folder, name, PathStyle::Windows()));
    }
    if (error) throw FsError("Could not list the folder " + Quoted(folder) + ": " + error.message());
    return listing;
}

std::uint64_t NativeFileSystem::FileLength(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::u8path(path), error);
    if (error) throw FsError("Could not read the size of " + Quoted(path) + ": " + error.message());
    return size;
}

void NativeFileSystem::CreateDirectory(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::u8path(path), error);
    if (error) throw FsError("Could not create the folder " + Quoted(path) + ": " + error.message());
}

void NativeFileSystem::CopyFile(const std::string& source, const std::string& target, bool overwrite)
{
    std::error_code error;
    const auto options = overwrite ? std::filesystem::copy_options::overwrite_existing
                                   : std::filesystem::copy_options::none;
    std::filesystem::copy_file(std::filesystem::u8path(source), std::filesystem::u8path(target), options,
                               error);
    if (error)
        throw FsError("Could not copy " + Quoted(source) + " to " + Quoted(target) + ": " + error.message());
}

void NativeFileSystem::Flush(const std::string&) {}


}  // namespace tandrel
