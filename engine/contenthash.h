// The hash of a file's content that a backup records in its destination and
// checks its copies against: XXH3 of 128 bits, which reads far faster than
// any disk. It finds damage (a bit that rotted, a block the drive lost), not
// an attacker's forgery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tandrel {

struct ContentHash {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const ContentHash&) const = default;

    // 32 hexadecimal digits, the high half first.
    std::string Hex() const
    {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string text(32, '0');
        for (int i = 0; i < 16; ++i) {
            text[15 - i] = kDigits[(high >> (4 * i)) & 15];
            text[31 - i] = kDigits[(low >> (4 * i)) & 15];
        }
        return text;
    }
    static std::optional<ContentHash> FromHex(std::string_view text)
    {
        if (text.size() != 32) return std::nullopt;
        ContentHash hash;
        for (std::size_t i = 0; i < 32; ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) return std::nullopt;
            std::uint64_t& half = i < 16 ? hash.high : hash.low;
            half = (half << 4) | static_cast<std::uint64_t>(digit);
        }
        return hash;
    }
};

// Hashes a stream of bytes handed over in pieces, in order.
class ContentHasher {
public:
    ContentHasher();
    ~ContentHasher();
    ContentHasher(const ContentHasher&) = delete;
    ContentHasher& operator=(const ContentHasher&) = delete;

    void Reset();
    void Add(const void* data, std::size_t size);
    // `count` zero bytes: a hole of a sparse file, which the copy never reads.
    void AddZeros(std::uint64_t count);
    ContentHash Digest() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tandrel
