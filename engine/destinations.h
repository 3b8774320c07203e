// Where each destination was at its last backup: the mount point of the
// file system that held it. A backup to a drive that is not plugged in (the
// mount point is there, but no file system is mounted at it) would fill the
// system disk instead; the remembered mount point lets it refuse. Kept in
// one small file per user, which the window and tandrel-cli share; the
// program keeps no other settings.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace tandrel {

class DestinationMemory {
public:
    // `file` holds the memory; empty: nothing is remembered.
    explicit DestinationMemory(std::string file) : file_(std::move(file)) {}
    // $XDG_CONFIG_HOME/tandrel/destinations (else ~/.config/...), or
    // %APPDATA%\Tandrel\destinations on Windows; empty without either.
    static std::string DefaultFile();

    // The mount point remembered for `destination`, if any.
    std::optional<std::string> MountPointOf(const std::string& destination) const;
    // Never fails: a memory that can't be written is a memory lost.
    void Remember(const std::string& destination, const std::string& mountPoint);
    // A new choice of destination forgets what was remembered for it.
    void Forget(const std::string& destination);

private:
    void Set(const std::string& destination, const std::string* mountPoint);

    std::string file_;
    mutable std::mutex mutex_;
};

}  // namespace tandrel
