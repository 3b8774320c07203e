#include "engine/stdthreads.h"

namespace tandrel {

void StdThreadServices::Queue::Wake()
{
    std::lock_guard lock(mutex);
    ++wakes;
    changed.notify_all();
}

StdThreadServices::StdThreadServices()
    : windowThread_(std::this_thread::get_id()),
      calls_(std::make_shared<RunningCalls>([queue = queue_](std::function<void()> work) {
          std::lock_guard lock(queue->mutex);
          queue->work.push_back(std::move(work));
          ++queue->wakes;
          queue->changed.notify_all();
      }))
{
}

StdThreadServices::~StdThreadServices()
{
    // A completion may start another call while we wait: join until none is left.
    for (;;) {
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(workersMutex_);
            workers.swap(workers_);
        }
        if (workers.empty()) break;
        const bool abandoned = calls_->Abandoned();
        for (auto& worker : workers) abandoned ? worker.detach() : worker.join();
    }
    calls_->Close();
}

AsyncHandle StdThreadServices::BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion, std::any state)
{
    auto handle = std::make_shared<AsyncResult>(std::move(state));
    calls_->Started();
    std::lock_guard lock(workersMutex_);
    workers_.emplace_back(
        [calls = calls_, queue = queue_, handle, call = std::move(call), completion = std::move(completion)] {
            AsyncResult::Run(handle, call, completion);
            calls->Ended();
            queue->Wake();
        });
    return handle;
}

bool StdThreadServices::InvokeRequired() const
{
    return std::this_thread::get_id() != windowThread_;
}

void StdThreadServices::PostToWindow(std::function<void()> work)
{
    calls_->Post(std::move(work));
}

void StdThreadServices::RunUntil(const std::function<bool()>& done)
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(queue_->mutex);
            if (queue_->work.empty()) {
                // `done` is asked without the lock (it may post); a wake-up
                // that comes meanwhile is seen by its count, not lost.
                const std::uint64_t wakes = queue_->wakes;
                lock.unlock();
                if (done()) return;
                lock.lock();
                if (queue_->wakes != wakes || !queue_->work.empty()) continue;
                // Wake on a post or when a worker ends; the timeout covers a
                // `done` that turns true without either.
                queue_->changed.wait_for(lock, std::chrono::milliseconds(50));
                continue;
            }
            work = std::move(queue_->work.front());
            queue_->work.pop_front();
        }
        work();
        if (done()) return;
    }
}

void StdThreadServices::RunPending()
{
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(queue_->mutex);
        batch.swap(queue_->work);
    }
    for (auto& work : batch) work();
}

}  // namespace tandrel
