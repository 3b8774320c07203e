#include "engine/filesystem.h"

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

}  // namespace tandrel
