// A few threads that run the works of one copy: each work is given to the
// first free thread, in the order given; a thread that would otherwise wait
// for a work can run the next one itself (RunOne). The pool never outlives
// the copy that made it; its destructor waits for the works it has started
// and drops the ones it has not.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tandrel {

class WorkPool {
public:
    explicit WorkPool(int threads)
    {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
    }
    ~WorkPool()
    {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
            queue_.clear();
        }
        changed_.notify_all();
        for (auto& thread : threads_) thread.join();
    }
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    void Add(std::function<void()> work)
    {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        changed_.notify_one();
    }

    // Runs the first work not started yet on the calling thread; false when
    // there is none.
    bool RunOne()
    {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return false;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
        return true;
    }

private:
    void Serve()
    {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return closing_ || !queue_.empty(); });
                if (closing_) return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tandrel
