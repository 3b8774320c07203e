// Checks shared by the tests of the platforms' file systems.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/filesystem.h"

namespace tandrel::testing {

inline std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

// Expects an FsError whose message holds every one of `parts`.
template <typename Call>
void ExpectFsError(Call call, std::initializer_list<std::string> parts)
{
    try {
        call();
        ADD_FAILURE() << "no FsError";
    } catch (const FsError& error) {
        for (const std::string& part : parts)
            EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what() << " lacks " << part;
    }
}

// Expects an FsError of `kind`, with the platform's `code`, about `path`.
template <typename Call>
void ExpectFsError(Call call, FsError::Kind kind, int code, const std::string& path)
{
    try {
        call();
        ADD_FAILURE() << "no FsError";
    } catch (const FsError& error) {
        EXPECT_EQ(error.kind(), kind) << error.what();
        EXPECT_EQ(error.code(), code) << error.what();
        EXPECT_EQ(error.path(), path) << error.what();
    }
}

// Whether a folder of `tree` (any tree type with Names(folder)) holds a
// copy's temporary file.
template <typename Tree>
bool HasTemporaryFile(const Tree& tree, const std::string& folder = {})
{
    const std::vector<std::string> names = tree.Names(folder);
    return std::any_of(names.begin(), names.end(), [](const std::string& name) { return IsCopyTemporaryName(name); });
}

}  // namespace tandrel::testing
