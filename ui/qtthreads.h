// The thread services on Qt: every asynchronous call runs on a thread of its
// own, its completion on that same thread; posted work runs on the window
// thread through queued calls, in the order posted. The window thread is the
// application's thread, the one that every widget lives on.
#pragma once

#include <QObject>
#include <memory>

#include "engine/threads.h"

class QThread;

namespace tandrel::ui {

class QtThreadServices : public QObject, public ThreadServices {
    Q_OBJECT
public:
    // Must be made on the window thread, after the application.
    explicit QtThreadServices(QObject* parent = nullptr);
    // Waits for every call it started, unless the calls were abandoned; from
    // then on, what a worker still posts is dropped.
    ~QtThreadServices() override;

    AsyncHandle BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion, std::any state = {}) override;
    bool InvokeRequired() const override;
    void PostToWindow(std::function<void()> work) override;
    std::shared_ptr<RunningCalls> Calls() const override { return calls_; }

    int ActiveWorkers() const { return calls_->Count(); }

private:
    QThread* windowThread_;
    std::shared_ptr<RunningCalls> calls_;
};

}  // namespace tandrel::ui
