#include "qtthreads.h"

#include <QMetaObject>
#include <thread>

namespace tandrel::ui {

namespace {
// The thread that made the services is the window thread.
thread_local bool onWindowThread = false;
}  // namespace

QtThreadServices::QtThreadServices(QObject* parent) : QObject(parent)
{
    onWindowThread = true;
}

AsyncHandle QtThreadServices::BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion,
                                          std::any state)
{
    auto handle = std::make_shared<AsyncResult>(std::move(state));
    // A thread of its own for every call, so that no call ever waits behind
    // another. Nobody joins it: a job still running when the program ends
    // ends with the process.
    active_->fetch_add(1);
    std::thread([active = active_, handle, call = std::move(call), completion = std::move(completion)] {
        AsyncResult::Run(handle, call, completion);
        active->fetch_sub(1);
    }).detach();
    return handle;
}

bool QtThreadServices::InvokeRequired() const
{
    return !onWindowThread;
}

void QtThreadServices::PostToWindow(std::function<void()> work)
{
    // Queued calls to one object run on its thread in the order posted.
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

}  // namespace tandrel::ui
