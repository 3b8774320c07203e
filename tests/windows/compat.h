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
