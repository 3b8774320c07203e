// What the tests need that MinGW lacks or gets wrong.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#ifndef _WIN32
#include <latch>

namespace tandrel::testing {
using Latch = std::latch;
}  // namespace tandrel::testing
#else
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

// Creates a new folder named by `pattern` with its final "XXXXXX" replaced;
// returns `pattern`, or nullptr when no folder could be made.
inline char* mkdtemp(char* pattern)
{
    const std::size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) return nullptr;
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = length - 6; i < length; ++i) pattern[i] = kChars[random() % 36];
        std::error_code error;
        if (std::filesystem::create_directory(pattern, error)) return pattern;
        if (error) return nullptr;
    }
    return nullptr;
}

namespace tandrel::testing {

// std::latch's interface on a mutex: MinGW's std::latch (GCC 12, no futex)
// can miss its wake-up and wait forever.
class Latch {
public:
    explicit Latch(std::ptrdiff_t count) : count_(count) {}
    void count_down(std::ptrdiff_t n = 1)
    {
        std::lock_guard lock(mutex_);
        count_ -= n;
        if (count_ <= 0) changed_.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return count_ <= 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::ptrdiff_t count_;
};

}  // namespace tandrel::testing
#endif
