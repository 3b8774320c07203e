// The four thread operations through which jobs move between the window
// thread and workers: start an asynchronous call (its completion runs on the
// worker that ran it), end it, ask whether the caller is on the window thread,
// and post work to the window thread (run later, in the order posted).
//
// The services keep their running calls in a RunningCalls, the owner of the
// calls: it counts them, carries their posts to the window thread, and waits
// for them or lets them go. Workers hold the owner, never the services, so a
// call that outlives the services finds its posts dropped instead of reaching
// a window that is gone.
#pragma once

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

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
    static void Run(const std::shared_ptr<AsyncResult>& handle, const Call& call, const Completion& completion);

private:
    std::any state_;
    std::any result_;
    std::exception_ptr failure_;
    std::atomic<bool> completed_ {false};
    std::atomic<bool> ended_ {false};
};

using AsyncHandle = std::shared_ptr<AsyncResult>;

// The owner of the calls of one set of thread services. A call counts from
// its start until its completion has returned. Shared by the services and
// their workers; every member may be called from any thread.
class RunningCalls {
public:
    // How posted work reaches the window thread; called under the owner's
    // lock, so it must only queue the work.
    using Poster = std::function<void(std::function<void()>)>;

    explicit RunningCalls(Poster post);
    RunningCalls(const RunningCalls&) = delete;
    RunningCalls& operator=(const RunningCalls&) = delete;

    // Queues `work` for the window thread. Once the calls were abandoned or
    // the services are gone, drops it and returns false.
    bool Post(std::function<void()> work);
    // Queues `work`, one of many alike in a row (a refresh request after
    // each copied file), or holds it while the window thread paces them. Held
    // work is queued, in order, when the pace ends, or right before anything
    // posted after it: everything still runs in the order posted.
    bool PostPaced(std::function<void()> work);
    // The window thread: hold paced work from now on (true); or queue what
    // was held and post paced work at once again (false).
    void Pace(bool on);

    // The number of calls that run (completions included).
    int Count() const;
    // Waits until no call runs, calls started by completions meanwhile
    // included, for at most `timeout`. True when none runs.
    bool Wait(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
    // Lets the running calls go: they run on to their end, nobody waits for
    // them, and nothing they post reaches the window thread any more. Returns
    // the number of calls that still ran.
    int Abandon();
    bool Abandoned() const;

    // The services: a call starts, a call (with its completion) has ended,
    // and the services are going (posts are dropped from then on).
    void Started();
    void Ended();
    void Close();

private:
    void QueueHeld();  // with mutex_ held

    mutable std::mutex mutex_;
    std::condition_variable ended_;
    Poster post_;  // empty once abandoned or closed
    bool pacing_ = false;
    std::vector<std::function<void()>> held_;  // paced work, while pacing_
    int running_ = 0;
    bool abandoned_ = false;
};

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
    // The owner of the calls started here. A completion keeps this, not the
    // services, and reaches the window thread only through its Post.
    virtual std::shared_ptr<RunningCalls> Calls() const = 0;
};

}  // namespace tandrel
