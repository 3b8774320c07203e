// Names of the temporary files a copy writes beside its targets.
#include <random>
#include <string>
#include <string_view>

#include "engine/filesystem.h"

namespace tandrel {

namespace {
constexpr std::string_view kTempPrefix = ".~tandrel-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::size_t kTempRandomDigits = 12;
constexpr std::string_view kNonAsciiProbe = "\xC3\xA9";  // é
// The same é, as a file system that keeps names decomposed may store it.
constexpr std::string_view kDecomposedProbe = "e\xCC\x81";
}  // namespace

bool IsDoubtfulNameCharacter(unsigned char c)
{
    return c < 0x20 || c == ':' || c == '?' || c == '*' || c == '"' || c == '<' || c == '>' || c == '|' || c == '\\';
}

std::string NewCopyTemporaryName(std::string_view extra)
{
    static thread_local std::mt19937_64 generator {std::random_device {}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name(kTempPrefix);
    std::uint64_t bits = generator();
    for (std::size_t i = 0; i < kTempRandomDigits; ++i, bits >>= 4) name.push_back(kHex[bits & 0xF]);
    name.append(extra);
    name.append(kTempSuffix);
    return name;
}

bool IsCopyTemporaryName(std::string_view name)
{
    const std::size_t plain = kTempPrefix.size() + kTempRandomDigits + kTempSuffix.size();
    const std::size_t digitsEnd = kTempPrefix.size() + kTempRandomDigits;
    if (name.size() > plain) {
        // A name tried for a character the file system may refuse.
        const std::string_view extra = name.substr(digitsEnd, name.size() - plain);
        // A name tried for whether the file system tells case apart ("A").
        const bool doubtful =
            extra.size() == 1 && (IsDoubtfulNameCharacter(static_cast<unsigned char>(extra[0])) || extra[0] == 'A');
        if (!doubtful && extra != kNonAsciiProbe && extra != kDecomposedProbe) return false;
        std::string rest(name);
        rest.erase(digitsEnd, extra.size());
        return IsCopyTemporaryName(rest);
    }
    if (name.size() != plain) return false;
    if (name.substr(0, kTempPrefix.size()) != kTempPrefix) return false;
    if (name.substr(name.size() - kTempSuffix.size()) != kTempSuffix) return false;
    for (char c : name.substr(kTempPrefix.size(), kTempRandomDigits))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace tandrel
