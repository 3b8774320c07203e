// Helpers for the list-file tests: byte builders, streams and a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "listfile/listfile.h"

#include "tests/common/temptree.h"

namespace tandrel::testing {

// The message of the I/O ListFileError that `action` throws.
inline std::string MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ListFileError& e) {
        EXPECT_EQ(e.kind(), ListFileError::Kind::Io) << e.what();
        return e.what();
    }
    ADD_FAILURE() << "no ListFileError";
    return "";
}

inline std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

inline std::string Int32(std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    return Bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF),
                  static_cast<int>(v >> 24)});
}

// Header with the given ids and versions.
inline std::string Header(std::int32_t rootId = 1, std::int32_t major = 1, std::int32_t minor = 0)
{
    return Bytes({0}) + Int32(rootId) + Int32(-1) + Int32(major) + Int32(minor);
}

// Header and array record: the first 26 bytes of a list of `length` slots.
inline std::string ListStart(std::int32_t length, std::int32_t arrayId = 1)
{
    return Header(arrayId) + Bytes({0x11}) + Int32(arrayId) + Int32(length);
}

inline std::string Prefix(std::size_t n)
{
    std::string out;
    while (n >= 0x80) {
        out.push_back(static_cast<char>((n & 0x7F) | 0x80));
        n >>= 7;
    }
    out.push_back(static_cast<char>(n));
    return out;
}

inline std::string StringRecord(std::int32_t id, const std::string& text)
{
    return Bytes({0x06}) + Int32(id) + Prefix(text.size()) + text;
}

inline std::string Reference(std::int32_t id)
{
    return Bytes({0x09}) + Int32(id);
}

inline const std::string kEnd = Bytes({0x0B});

template <class Data>
std::string WriteToString(const Data& data)
{
    std::ostringstream out;
    Serialize(out, data);
    return out.str();
}

inline BackupList ReadFromString(const std::string& bytes)
{
    std::istringstream in(bytes);
    return Deserialize(in);
}

inline std::string ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The scratch folder is TempTree, from tests/common.

}  // namespace tandrel::testing
