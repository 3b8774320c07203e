// Helpers for the Windows tests: the system's message texts; UTF-8 paths for
// std::filesystem and folders of real files on any drive come from
// tests/common.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The file system interface's own names, not the macros of <windows.h>.
#undef CreateDirectory
#undef CopyFile

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/wintext.h"
#include "tests/common/temptree.h"

namespace tandrel::testing {

namespace fsys = std::filesystem;

// A folder name outside ASCII, in UTF-8.
inline const std::string kNonAscii = "Fotos \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F";  // "Fotos Ähre 写真"

// What the system says for an error code (without the line break).
inline std::string PlatformText(DWORD error)
{
    return support::SystemText(error);
}

inline std::string RandomTag()
{
    std::random_device random;
    return std::to_string(random()) + std::to_string(random() % 1000);
}

}  // namespace tandrel::testing
