#include "engine/settings.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tandrel {

namespace {

using Values = std::map<std::string, std::string>;

// Paths are UTF-8 texts; on Windows a plain std::string would be taken in the
// ANSI code page.
std::filesystem::path PathOf(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// One line a pair: the key, a tab, the value, with backslash, tab and line
// feed written as \\, \t and \n.
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

Values Read(const std::string& file)
{
    Values values;
    std::ifstream in(PathOf(file), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) values[Unescaped(line.substr(0, tab))] = Unescaped(line.substr(tab + 1));
    }
    return values;
}

void Write(const std::string& file, const Values& values)
{
    std::string text;
    for (const auto& [key, value] : values) text += Escaped(key) + '\t' + Escaped(value) + '\n';
    ReplaceFile(file, text);
}

}  // namespace

bool ReplaceFile(const std::string& file, const std::string& text)
{
    std::error_code error;
    const std::filesystem::path path = PathOf(file);
    std::filesystem::create_directories(path.parent_path(), error);
    std::filesystem::path temporary = path;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return false;
    }
    std::filesystem::rename(temporary, path, error);
    return !error;
}

std::string ConfigFile(const std::string& name)
{
#ifdef _WIN32
    const char* appData = std::getenv("APPDATA");
    return appData && *appData ? std::string(appData) + "\\Tandrel\\" + name : std::string();
#else
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/tandrel/" + name;
    const char* home = std::getenv("HOME");
    return home && home[0] == '/' ? std::string(home) + "/.config/tandrel/" + name : std::string();
#endif
}

std::optional<std::string> KeyValueFile::Get(const std::string& key) const
{
    if (file_.empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    const Values values = Read(file_);
    const auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

void KeyValueFile::Set(const std::string& key, const std::optional<std::string>& value)
{
    if (file_.empty()) return;
    std::lock_guard lock(mutex_);
    Values values = Read(file_);
    const auto it = values.find(key);
    if (value ? it != values.end() && it->second == *value : it == values.end()) return;
    if (value)
        values[key] = *value;
    else
        values.erase(it);
    Write(file_, values);
}

std::map<std::string, std::string> KeyValueFile::All() const
{
    if (file_.empty()) return {};
    std::lock_guard lock(mutex_);
    return Read(file_);
}

bool Settings::Flag(const std::string& key, bool otherwise) const
{
    const auto text = values_.Get(key);
    if (!text) return otherwise;
    return *text == "1" || *text == "true";
}

void Settings::SetFlag(const std::string& key, bool on)
{
    values_.Set(key, std::string(on ? "1" : "0"));
}

}  // namespace tandrel
