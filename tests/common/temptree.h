// A scratch folder of real files for the tests: made fresh under a base
// folder, removed with all it holds. Paths are UTF-8 texts on every platform,
// with the platform's separator.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace tandrel::testing {

// A UTF-8 text as a path (on Windows a plain std::string would be read in the
// ANSI code page), and back.
inline std::filesystem::path U8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string Text(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

class TempTree {
public:
    explicit TempTree(const std::filesystem::path& base = std::filesystem::temp_directory_path(),
                      const std::string& prefix = "tandrel-test-")
    {
        static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        std::random_device random;
        std::error_code ignored;
        std::filesystem::create_directories(base, ignored);  // a base that is not there yet
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = prefix;
            for (int i = 0; i < 8; ++i) name += kChars[random() % (sizeof kChars - 1)];
            std::error_code error;
            if (std::filesystem::create_directory(base / U8(name), error)) {
                root_ = (base / U8(name)).make_preferred();
                return;
            }
        }
        throw std::runtime_error("cannot make a scratch folder under " + Text(base));
    }
    ~TempTree()
    {
        std::error_code error;
#ifdef _WIN32
        // Read-only files would stop the removal.
        for (auto it = std::filesystem::recursive_directory_iterator(root_, error);
             !error && it != std::filesystem::end(it); it.increment(error)) {
            std::error_code ignored;
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ignored);
        }
        error.clear();
#endif
        std::filesystem::remove_all(root_, error);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The full path of `relative` ("/" or the platform's separator; the root
    // itself for "").
    std::string Path(const std::string& relative = {}) const
    {
        return relative.empty() ? Text(root_) : Text((root_ / U8(relative)).make_preferred());
    }
    std::string Folder(const std::string& relative) const
    {
        std::filesystem::create_directories(U8(Path(relative)));
        return Path(relative);
    }
    std::string File(const std::string& relative, const std::string& content = {}) const
    {
        const std::filesystem::path path = U8(Path(relative));
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return Path(relative);
    }
    std::string Symlink(const std::string& relative, const std::string& target) const
    {
        std::filesystem::create_symlink(U8(target), U8(Path(relative)));
        return Path(relative);
    }
    // The content of the file at `path`; "" when there is none.
    static std::string Read(const std::string& path)
    {
        std::ifstream in(U8(path), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    // The names in a folder, sorted.
    std::vector<std::string> Names(const std::string& relative = {}) const
    {
        std::vector<std::string> names;
        for (auto& entry : std::filesystem::directory_iterator(U8(Path(relative))))
            names.push_back(Text(entry.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path root_;
};

}  // namespace tandrel::testing
