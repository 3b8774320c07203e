// The file-system calls the engine relies on, behind an interface so that
// tests can make any of them fail. Every failure is an FsError whose message
// carries the platform's reason and the path.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "paths.h"

namespace tandrel {

class FsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Listing {
    std::vector<std::string> files;    // folder + separator + name, listing order
    std::vector<std::string> folders;  // the same, for direct sub-folders
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual bool DirectoryExists(const std::string& path) = 0;
    virtual bool FileExists(const std::string& path) = 0;
    // The files and direct sub-folders of a folder, in the file system's
    // order. Sub-folders reached through a link are left out, so a walk never
    // loops; files reached through a link are listed.
    virtual Listing List(const std::string& folder) = 0;
    virtual std::uint64_t FileLength(const std::string& path) = 0;
    // Creates the folder with every missing level; an existing one is fine.
    virtual void CreateDirectory(const std::string& path) = 0;
    // Copies a whole file. The target appears complete or not at all: a
    // failure never leaves a partial target nor harms an existing one.
    // Without `overwrite` an existing target is a failure.
    virtual void CopyFile(const std::string& source, const std::string& target, bool overwrite) = 0;
    // Puts what was written under `folder` on disk.
    virtual void Flush(const std::string& folder) = 0;
    // Removes from `folder` the temporary files of copies that were killed
    // before they finished: files named as IsCopyTemporaryName says that no
    // running copy is writing. Never fails. A file system whose copies
    // leave nothing behind has nothing to remove.
    virtual void RemoveCopyTemporaries(const std::string& folder) { (void)folder; }
};

// The platform's own file system.
class NativeFileSystem : public FileSystem {
public:
    bool DirectoryExists(const std::string& path) override;
    bool FileExists(const std::string& path) override;
    Listing List(const std::string& folder) override;
    std::uint64_t FileLength(const std::string& path) override;
    void CreateDirectory(const std::string& path) override;
    void CopyFile(const std::string& source, const std::string& target, bool overwrite) override;
    void Flush(const std::string& folder) override;
    void RemoveCopyTemporaries(const std::string& folder) override;
};

// Names of the temporary files a copy writes beside its target
// (".~tandrel-" + 12 hexadecimal digits + ".tmp").
bool IsCopyTemporaryName(std::string_view name);
std::string NewCopyTemporaryName();

}  // namespace tandrel
