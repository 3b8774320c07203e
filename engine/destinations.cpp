#include "engine/destinations.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace tandrel {

namespace {

using Memory = std::map<std::string, std::string>;

// Paths are UTF-8 texts; on Windows a plain std::string would be taken in the
// ANSI code page.
std::filesystem::path PathOf(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// One line a destination: the destination, a tab, its mount point, with
// backslash, tab and line feed written as \\, \t and \n.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out.push_back(c);
    }
    return out;
}

std::string Unescaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[++i];
        out.push_back(next == 't' ? '\t' : next == 'n' ? '\n' : next);
    }
    return out;
}

std::string Key(std::string destination)
{
    while (destination.size() > 1 && (destination.back() == '/' || destination.back() == '\\')) destination.pop_back();
    return destination;
}

Memory Read(const std::string& file)
{
    Memory memory;
    std::ifstream in(PathOf(file), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) memory[Unescaped(line.substr(0, tab))] = Unescaped(line.substr(tab + 1));
    }
    return memory;
}

void Write(const std::string& file, const Memory& memory)
{
    std::error_code ignored;
    const std::filesystem::path path = PathOf(file);
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::filesystem::path temporary = path;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (const auto& [destination, mountPoint] : memory)
            out << Escaped(destination) << '\t' << Escaped(mountPoint) << '\n';
        if (!out.flush()) return;
    }
    std::filesystem::rename(temporary, path, ignored);
}

}  // namespace

std::string DestinationMemory::DefaultFile()
{
#ifdef _WIN32
    const char* appData = std::getenv("APPDATA");
    return appData && *appData ? std::string(appData) + "\\Tandrel\\destinations" : std::string();
#else
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/tandrel/destinations";
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? std::string(home) + "/.config/tandrel/destinations" : std::string();
#endif
}

std::optional<std::string> DestinationMemory::MountPointOf(const std::string& destination) const
{
    if (file_.empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    const Memory memory = Read(file_);
    const auto it = memory.find(Key(destination));
    if (it == memory.end()) return std::nullopt;
    return it->second;
}

void DestinationMemory::Remember(const std::string& destination, const std::string& mountPoint)
{
    Set(destination, &mountPoint);
}

void DestinationMemory::Forget(const std::string& destination)
{
    Set(destination, nullptr);
}

void DestinationMemory::Set(const std::string& destination, const std::string* mountPoint)
{
    if (file_.empty()) return;
    std::lock_guard lock(mutex_);
    Memory memory = Read(file_);
    const std::string key = Key(destination);
    const auto it = memory.find(key);
    if (mountPoint ? it != memory.end() && it->second == *mountPoint : it == memory.end()) return;
    if (mountPoint)
        memory[key] = *mountPoint;
    else
        memory.erase(it);
    Write(file_, memory);
}

}  // namespace tandrel
