// Small pieces the parts of the Linux session share.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "engine/linux/destinationtree.h"

namespace tandrel::session {

constexpr std::int64_t kSecond = 1000000000;

inline std::int64_t Nanoseconds(const struct timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
}

inline std::string FolderOf(const std::string& target)
{
    const std::size_t cut = target.rfind('/');
    return cut == std::string::npos ? std::string("./") : target.substr(0, cut + 1);
}

inline std::string NameOf(const std::string& path)
{
    const std::size_t cut = path.rfind('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The text of the link `name` in the folder open as `folder` (empty where
// it is none).
inline std::string LinkText(int folder, const std::string& name)
{
    char text[4096];
    const ssize_t n = ::readlinkat(folder, name.c_str(), text, sizeof text);
    return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

// A call in a folder that was removed meanwhile may fail in many ways (EPERM
// for a link into it); what it means is that the folder is gone.
inline int InFolder(const Folder& folder, int error)
{
    struct stat info {};
    if (error != 0 && (::fstat(folder.fd.Get(), &info) != 0 || info.st_nlink == 0)) return ENOENT;
    return error;
}

}  // namespace tandrel::session
