#include "threads.h"

#include <stdexcept>

namespace tandrel {

std::any AsyncResult::EndInvoke()
{
    if (ended_.exchange(true)) throw std::logic_error("an asynchronous call was ended twice");
    // A call still running is waited for; the acquire makes its result ours.
    completed_.wait(false, std::memory_order_acquire);
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
