// The four thread operations through which jobs move between the window
// thread and workers: start an asynchronous call (its completion runs on the
// worker that ran it), end it, ask whether the caller is on the window thread,
// and post work to the window thread (run later, in the order posted).
#pragma once

#include <any>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>

namespace tandrel {

// The handle of one asynchronous call.
class AsyncResult {
public:
    using Call = std::function<std::any()>;
    using Completion = std::function<void(const std::shared_ptr<AsyncResult>&)>;

    explicit AsyncResult(std::any state = {}) : state_(std::move(state)) {}

    // What the starter attached to the call (for instance, what was started).
    const std::any& AsyncState() const { return state_; }
    bool IsCompleted() const { return completed_.load(); }

    // Ends the call: waits for it if it still runs, then gives the call's
    // result or raises again the failure that escaped it. A call is ended
    // once; a second end throws logic_error.
    std::any EndInvoke();

    // Runs `call` and then `completion` on the calling thread. The thread
    // services call this on the worker that they start for the call.
    static void Run(const std::shared_ptr<AsyncResult>& handle, const Call& call,
                    const Completion& completion);

private:
    std::any state_;
    std::any result_;
    std::exception_ptr failure_;
    std::atomic<bool> completed_{false};
    std::atomic<bool> ended_{false};
};

using AsyncHandle = std::shared_ptr<AsyncResult>;

class ThreadServices {
public:
    virtual ~ThreadServices() = default;

    // Runs `call` on a worker thread of its own and returns at once; when the
    // call has returned or failed, runs `completion` (if any) on that worker.
    virtual AsyncHandle BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion,
                                    std::any state = {}) = 0;
    // True when the caller is not on the window thread.
    virtual bool InvokeRequired() const = 0;
    // Queues `work` for the window thread and returns at once.
    virtual void PostToWindow(std::function<void()> work) = 0;
};

}  // namespace tandrel
