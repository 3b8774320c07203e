// The thread services on the standard library: the thread that calls Run is
// the window thread and serves a queue of posted work; every asynchronous
// call gets a std::thread of its own. Serves the tests and the CLI.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "threads.h"

namespace tandrel {

class StdThreadServices : public ThreadServices {
public:
    // The constructing thread is the window thread.
    StdThreadServices();
    ~StdThreadServices() override;  // waits for every worker it started

    AsyncHandle BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion,
                            std::any state = {}) override;
    bool InvokeRequired() const override;
    void PostToWindow(std::function<void()> work) override;

    // Window thread: runs posted work, in order, until `done` returns true
    // (tested after each item and whenever the queue is empty).
    void RunUntil(const std::function<bool()>& done);
    // Window thread: runs what is queued now and returns.
    void RunPending();
    // Number of workers still running.
    int ActiveWorkers() const;

private:
    std::thread::id windowThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> workers_;
    int active_ = 0;
};

}  // namespace tandrel
