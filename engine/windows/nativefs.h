// The Windows file system: the copy goes through handles opened without
// following reparse points.
#pragma once

#include <memory>
#include <string>

#include "engine/filesystem.h"

namespace tandrel {

class NativeFileSystem : public FileSystem {
public:
    bool DirectoryExists(const std::string& path) override;
    bool FileExists(const std::string& path) override;
    Listing List(const std::string& folder) override;
    void CreateDirectory(const std::string& path) override;
    FileLook Look(const std::string& path) override;
    std::unique_ptr<CopySession> BeginCopy(const std::string& destination) override;
    std::string MountPointOf(const std::string& path) override;
    bool IsMountPoint(const std::string& folder) override;

    // Removes from `folder` the temporary files of copies that were killed
    // before they finished: files named as IsCopyTemporaryName says that no
    // running copy is writing. Never fails.
    static void RemoveCopyTemporaries(const std::string& folder);
};

}  // namespace tandrel
