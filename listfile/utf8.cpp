#include "listfile/detail/utf8.h"

#include <cstdint>
#include <cstring>

namespace tandrel {
namespace {

// Looks at the sequence that starts at p[0] (n > 0 bytes available). Returns
// its length when it is well-formed; otherwise sets `valid` to false and
// returns the length of its maximal ill-formed subpart (at least 1).
std::size_t Scan(const unsigned char* p, std::size_t n, bool& valid) noexcept
{
    const unsigned char lead = p[0];
    valid = true;
    if (lead < 0x80) return 1;
    std::size_t trail;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
    } else if (lead == 0xE0) {
        trail = 2, lo = 0xA0;  // no overlong forms
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
        trail = 2;
    } else if (lead == 0xED) {
        trail = 2, hi = 0x9F;  // no surrogates
    } else if (lead == 0xF0) {
        trail = 3, lo = 0x90;  // no overlong forms
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        trail = 3;
    } else if (lead == 0xF4) {
        trail = 3, hi = 0x8F;  // nothing above U+10FFFF
    } else {
        valid = false;  // 80..C1 and F5..FF never begin a sequence
        return 1;
    }
    for (std::size_t i = 1; i <= trail; ++i) {
        if (i >= n || p[i] < lo || p[i] > hi) {
            valid = false;
            return i;
        }
        lo = 0x80, hi = 0xBF;
    }
    return trail + 1;
}

}  // namespace

std::size_t FirstInvalidUtf8(std::string_view text) noexcept
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Skip plain ASCII eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        bool valid;
        const std::size_t len = Scan(p + i, n - i, valid);
        if (!valid) return i;
        i += len;
    }
    return n;
}

void RepairUtf8(std::string& text)
{
    std::size_t i = FirstInvalidUtf8(text);
    if (i == text.size()) return;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::string out;
    out.reserve(n + n / 2);
    out.append(text, 0, i);
    while (i < n) {
        bool valid;
        const std::size_t len = Scan(p + i, n - i, valid);
        if (valid) {
            out.append(text, i, len);
        } else {
            out.append("\xEF\xBF\xBD");
        }
        i += len;
    }
    text = std::move(out);
}

}  // namespace tandrel
