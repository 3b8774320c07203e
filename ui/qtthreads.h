// The thread services on Qt: every asynchronous call runs on a thread of its
// own, its completion on that same thread; posted work runs on the window
// thread through queued calls, in the order posted.
#pragma once

#include <QObject>
#include <atomic>
#include <memory>

#include "threads.h"

namespace tandrel::ui {

class QtThreadServices : public QObject, public ThreadServices {
    Q_OBJECT
public:
    // Must be made on the window thread.
    explicit QtThreadServices(QObject* parent = nullptr);

    AsyncHandle BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion,
                            std::any state = {}) override;
    bool InvokeRequired() const override;
    void PostToWindow(std::function<void()> work) override;

    int ActiveWorkers() const { return active_->load(); }

private:
    // Shared with the workers, which may end after these services are gone.
    std::shared_ptr<std::atomic<int>> active_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace tandrel::ui
