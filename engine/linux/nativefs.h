// The Linux file system: the copy goes through descriptors and `SystemCalls`.
#pragma once

#include <memory>
#include <string>

#include "engine/filesystem.h"

namespace tandrel {

class SystemCalls;
struct DestinationCaps;

class NativeFileSystem : public FileSystem {
public:
    // `calls` (the system's own when null) stand in for the system calls
    // whose answers depend on the destination's file system; `profile`, when
    // given, is what every destination file system is taken to be able to do,
    // instead of what its kind and first tries tell.
    explicit NativeFileSystem(SystemCalls* calls = nullptr, const DestinationCaps* profile = nullptr)
        : calls_(calls), profile_(profile)
    {
    }

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
    // The same, for the folder open as the descriptor `folder`.
    static void RemoveCopyTemporariesAt(int folder);

private:
    SystemCalls* calls_;
    const DestinationCaps* profile_;
};

}  // namespace tandrel
