// The thread services on Qt: every asynchronous call runs on a thread of its
// own, its completion on that same thread; posted work runs on the window
// thread through queued calls, in the order posted.
#pragma once

#include <QObject>
#include <atomic>

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

    int ActiveWorkers() const { return active_.load(); }

private:
    std::atomic<int> active_{0};
};

}  // namespace tandrel::ui
