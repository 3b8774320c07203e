// The small files the program keeps per user, beside each other in one
// folder: $XDG_CONFIG_HOME/tandrel (else ~/.config/tandrel), or
// %APPDATA%\Tandrel on Windows. The window and tandrel-cli share them.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tandrel {

// The path of the per-user file `name`; empty where there is no folder for
// it (no HOME, no APPDATA).
std::string ConfigFile(const std::string& name);
// Replaces `file` (a UTF-8 path, its folder made if need be) with `text`:
// written beside and renamed over, so that a reader never sees half a file.
// False when it could not be.
bool ReplaceFile(const std::string& file, const std::string& text);

// A file of keys and values, one pair a line, read and written whole. A
// missing or unreadable file holds nothing; a file that can't be written
// loses the change and never fails, so no option stops a backup.
class KeyValueFile {
public:
    // `file` empty: nothing is kept.
    explicit KeyValueFile(std::string file) : file_(std::move(file)) {}

    std::optional<std::string> Get(const std::string& key) const;
    // Sets `key` to `value`, or removes it for nullopt.
    void Set(const std::string& key, const std::optional<std::string>& value);
    std::map<std::string, std::string> All() const;
    const std::string& File() const { return file_; }

private:
    std::string file_;
    mutable std::mutex mutex_;
};

// The window's and the command line's options, in ConfigFile("settings").
class Settings {
public:
    explicit Settings(std::string file) : values_(std::move(file)) {}
    static std::string DefaultFile() { return ConfigFile("settings"); }

    bool Flag(const std::string& key, bool otherwise) const;
    void SetFlag(const std::string& key, bool on);
    std::optional<std::string> Text(const std::string& key) const { return values_.Get(key); }
    void SetText(const std::string& key, const std::optional<std::string>& text) { values_.Set(key, text); }

private:
    KeyValueFile values_;
};

}  // namespace tandrel
