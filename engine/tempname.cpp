// Names of the temporary files a copy writes beside its targets.
#include <random>
#include <string>
#include <string_view>

#include "filesystem.h"

namespace tandrel {

namespace {
constexpr std::string_view kTempPrefix = ".~tandrel-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::size_t kTempRandomDigits = 12;
}  // namespace

std::string NewCopyTemporaryName()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name(kTempPrefix);
    std::uint64_t bits = generator();
    for (std::size_t i = 0; i < kTempRandomDigits; ++i, bits >>= 4) name.push_back(kHex[bits & 0xF]);
    name.append(kTempSuffix);
    return name;
}

bool IsCopyTemporaryName(std::string_view name)
{
    if (name.size() != kTempPrefix.size() + kTempRandomDigits + kTempSuffix.size()) return false;
    if (name.substr(0, kTempPrefix.size()) != kTempPrefix) return false;
    if (name.substr(name.size() - kTempSuffix.size()) != kTempSuffix) return false;
    for (char c : name.substr(kTempPrefix.size(), kTempRandomDigits))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace tandrel
