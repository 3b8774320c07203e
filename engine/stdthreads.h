// The thread services on the standard library: the thread that calls Run is
// the window thread and serves a queue of posted work; every asynchronous
// call gets a std::thread of its own. Serves the tests and the CLI.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/threads.h"

namespace tandrel {

class StdThreadServices : public ThreadServices {
public:
    // The constructing thread is the window thread.
    StdThreadServices();
    // Waits for every call it started, unless the calls were abandoned: then
    // their workers are let go and what they post is dropped.
    ~StdThreadServices() override;

    AsyncHandle BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion, std::any state = {}) override;
    bool InvokeRequired() const override;
    void PostToWindow(std::function<void()> work) override;
    std::shared_ptr<RunningCalls> Calls() const override { return calls_; }

    // Window thread: runs posted work, in order, until `done` returns true
    // (tested after each item and whenever the queue is empty).
    void RunUntil(const std::function<bool()>& done);
    // Window thread: runs what is queued now and returns.
    void RunPending();
    // Number of calls still running.
    int ActiveWorkers() const { return calls_->Count(); }

private:
    // The window thread's queue; workers wake it when they end, even after
    // the services are gone.
    struct Queue {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::function<void()>> work;
        std::uint64_t wakes = 0;  // every post and every ended worker counts one
        void Wake();
    };

    std::thread::id windowThread_;
    std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
    std::shared_ptr<RunningCalls> calls_;
    std::mutex workersMutex_;
    std::vector<std::thread> workers_;
};

}  // namespace tandrel
