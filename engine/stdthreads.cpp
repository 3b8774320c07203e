#include "stdthreads.h"

namespace tandrel {

StdThreadServices::StdThreadServices() : windowThread_(std::this_thread::get_id()) {}

StdThreadServices::~StdThreadServices()
{
    // A completion may start another call while we wait: join until none is left.
    for (;;) {
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(mutex_);
            workers.swap(workers_);
        }
        if (workers.empty()) return;
        for (auto& worker : workers) worker.join();
    }
}

AsyncHandle StdThreadServices::BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion,
                                           std::any state)
{
    auto handle = std::make_shared<AsyncResult>(std::move(state));
    std::lock_guard lock(mutex_);
    ++active_;
    workers_.emplace_back([this, handle, call = std::move(call), completion = std::move(completion)] {
        AsyncResult::Run(handle, call, completion);
        std::lock_guard lock(mutex_);
        --active_;
        changed_.notify_all();
    });
    return handle;
}

bool StdThreadServices::InvokeRequired() const
{
    return std::this_thread::get_id() != windowThread_;
}

void StdThreadServices::PostToWindow(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    changed_.notify_all();
}

void StdThreadServices::RunUntil(const std::function<bool()>& done)
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty()) {
                lock.unlock();
                if (done()) return;
                lock.lock();
                // Wake on a post or when a worker ends; the timeout covers a
                // `done` that turns true without either.
                changed_.wait_for(lock, std::chrono::milliseconds(50));
                continue;
            }
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
        if (done()) return;
    }
}

void StdThreadServices::RunPending()
{
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
    }
    for (auto& work : batch) work();
}

int StdThreadServices::ActiveWorkers() const
{
    std::lock_guard lock(mutex_);
    return active_;
}

}  // namespace tandrel
