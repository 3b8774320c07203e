#include "ui/qtthreads.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <thread>

namespace tandrel::ui {

QtThreadServices::QtThreadServices(QObject* parent)
    : QObject(parent), windowThread_(QCoreApplication::instance()->thread()),
      // Queued calls to one object run on its thread in the order posted.
      calls_(std::make_shared<RunningCalls>([this](std::function<void()> work) {
          QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
      }))
{
}

QtThreadServices::~QtThreadServices()
{
    if (!calls_->Abandoned()) calls_->Wait();
    calls_->Close();
}

AsyncHandle QtThreadServices::BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion, std::any state)
{
    auto handle = std::make_shared<AsyncResult>(std::move(state));
    // A thread of its own for every call, so that no call ever waits behind
    // another. The owner of the calls, not the thread, is what is waited for
    // or abandoned.
    calls_->Started();
    std::thread([calls = calls_, handle, call = std::move(call), completion = std::move(completion)] {
        AsyncResult::Run(handle, call, completion);
        calls->Ended();
    }).detach();
    return handle;
}

bool QtThreadServices::InvokeRequired() const
{
    return QThread::currentThread() != windowThread_;
}

void QtThreadServices::PostToWindow(std::function<void()> work)
{
    calls_->Post(std::move(work));
}

}  // namespace tandrel::ui
