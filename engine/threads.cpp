#include "threads.h"

#include <stdexcept>
#if defined(_WIN32) && defined(__GLIBCXX__)
#include <chrono>
#include <thread>
#endif

namespace tandrel {

std::any AsyncResult::EndInvoke()
{
    if (ended_.exchange(true)) throw std::logic_error("an asynchronous call was ended twice");
    // A call still running is waited for; the acquire makes its result ours.
#if defined(_WIN32) && defined(__GLIBCXX__)
    // Without a futex (MinGW) libstdc++'s atomic wait can miss the notify
    // and sleep forever (fixed in GCC 13): poll instead.
    while (!completed_.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
#else
    completed_.wait(false, std::memory_order_acquire);
#endif
    if (failure_) std::rethrow_exception(failure_);
    return std::move(result_);
}

void AsyncResult::Run(const std::shared_ptr<AsyncResult>& handle, const Call& call,
                      const Completion& completion)
{
    try {
        handle->result_ = call();
    } catch (...) {
        handle->failure_ = std::current_exception();
    }
    handle->completed_.store(true, std::memory_order_release);
    handle->completed_.notify_all();
    if (completion) completion(handle);
}

}  // namespace tandrel
