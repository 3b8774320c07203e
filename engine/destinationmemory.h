// Where each destination was at its last backup: the mount point of the
// file system that held it. A backup to a drive that is not plugged in (the
// mount point is there, but no file system is mounted at it) would fill the
// system disk instead; the remembered mount point lets it refuse. Kept in
// one small file per user (engine/settings.h), which the window and
// tandrel-cli share.
#pragma once

#include <optional>
#include <string>

#include "engine/settings.h"

namespace tandrel {

class DestinationMemory {
public:
    // `file` holds the memory; empty: nothing is remembered.
    explicit DestinationMemory(std::string file) : memory_(std::move(file)) {}
    // ConfigFile("destinations").
    static std::string DefaultFile() { return ConfigFile("destinations"); }

    // The mount point remembered for `destination`, if any.
    std::optional<std::string> MountPointOf(const std::string& destination) const;
    // Never fails: a memory that can't be written is a memory lost.
    void Remember(const std::string& destination, const std::string& mountPoint);
    // A new choice of destination forgets what was remembered for it.
    void Forget(const std::string& destination);

private:
    KeyValueFile memory_;
};

}  // namespace tandrel
