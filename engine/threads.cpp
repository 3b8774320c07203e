#include "engine/threads.h"

#include <stdexcept>
#include <utility>
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

void AsyncResult::Run(const std::shared_ptr<AsyncResult>& handle, const Call& call, const Completion& completion)
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

namespace tandrel {

RunningCalls::RunningCalls(Poster post) : post_(std::move(post)) {}

bool RunningCalls::Post(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    if (!post_) return false;
    QueueHeld();
    post_(std::move(work));
    return true;
}

bool RunningCalls::PostPaced(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    if (!post_) return false;
    if (pacing_)
        held_.push_back(std::move(work));
    else
        post_(std::move(work));
    return true;
}

void RunningCalls::Pace(bool on)
{
    std::lock_guard lock(mutex_);
    pacing_ = on;
    if (!on) QueueHeld();
}

void RunningCalls::QueueHeld()
{
    if (held_.empty() || !post_) return;
    post_([held = std::exchange(held_, {})] {
        for (const auto& work : held) work();
    });
}

int RunningCalls::Count() const
{
    std::lock_guard lock(mutex_);
    return running_;
}

bool RunningCalls::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const auto none = [this] { return running_ == 0; };
    if (timeout == std::chrono::milliseconds::max()) {
        ended_.wait(lock, none);
        return true;
    }
    return ended_.wait_for(lock, timeout, none);
}

int RunningCalls::Abandon()
{
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    post_ = nullptr;
    held_.clear();
    return running_;
}

bool RunningCalls::Abandoned() const
{
    std::lock_guard lock(mutex_);
    return abandoned_;
}

void RunningCalls::Started()
{
    std::lock_guard lock(mutex_);
    ++running_;
}

void RunningCalls::Ended()
{
    std::lock_guard lock(mutex_);
    --running_;
    ended_.notify_all();
}

void RunningCalls::Close()
{
    std::lock_guard lock(mutex_);
    post_ = nullptr;
    held_.clear();
}

}  // namespace tandrel
