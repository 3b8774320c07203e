// Test stand-ins for the window's seams: dialogs and message boxes answered
// from scripts, a timer fired by hand, and thread services that count their
// calls so that a test can wait for all background work.
#pragma once

#include <QFileDialog>
#include <QTest>
#include <any>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ui/qtthreads.h"
#include "ui/seams.h"

namespace tandrel::ui::testing {

// Answers each dialog with the next scripted result (nothing = cancel) and
// records the dialogs it was asked to run.
class FakeDialogs : public DialogRunner {
public:
    std::deque<std::optional<QStringList>> answers;
    // Called with each dialog before it is answered, to inspect it.
    std::function<void(QFileDialog&)> inspect;
    int runs = 0;

    std::optional<QStringList> Run(QFileDialog& dialog) override
    {
        ++runs;
        if (inspect) inspect(dialog);
        if (answers.empty()) return std::nullopt;
        std::optional<QStringList> answer;
        answer.swap(answers.front());
        answers.pop_front();
        return answer;
    }
};

// Records every box; answers modal ones from a script (default: Yes for
// questions, OK otherwise). Modeless boxes are answered at once, unless
// `holdModeless` is set: then they wait in `pending` until answered by hand.
class FakeMessageBoxes : public MessageBoxes {
public:
    std::vector<MessageBoxRequest> shown;
    std::deque<DialogResult> answers;
    bool holdModeless = false;
    std::deque<std::shared_ptr<std::function<void(DialogResult)>>> pending;

    DialogResult Show(QWidget*, const MessageBoxRequest& box) override
    {
        shown.push_back(box);
        return Next(box);
    }
    std::function<void()> ShowModeless(const MessageBoxRequest& box,
                                       std::function<void(DialogResult)> answered) override
    {
        shown.push_back(box);
        if (!holdModeless) {
            answered(Next(box));
            return [] {};
        }
        auto entry = std::make_shared<std::function<void(DialogResult)>>(std::move(answered));
        pending.push_back(entry);
        // Closed unanswered: it is no longer pending.
        return [this, entry] {
            ++closed;
            std::erase(pending, entry);
        };
    }
    int closed = 0;  // boxes closed without an answer
    // Answers the oldest box still open.
    void Answer(DialogResult result)
    {
        auto answered = std::move(pending.front());
        pending.pop_front();
        (*answered)(result);
    }

private:
    DialogResult Next(const MessageBoxRequest& box)
    {
        if (!answers.empty()) {
            auto result = answers.front();
            answers.pop_front();
            return result;
        }
        return box.buttons == MessageBoxButtons::YesNo ? DialogResult::Yes : DialogResult::OK;
    }
};

// A timer that never ticks by itself.
class FakeTimer : public IntervalTimer {
public:
    int interval = 60000;
    bool active = false;
    int starts = 0;

    void SetInterval(int milliseconds) override { interval = milliseconds; }
    int Interval() const override { return interval; }
    void Start() override
    {
        active = true;
        ++starts;
    }
    void Stop() override { active = false; }
    bool IsActive() const override { return active; }
    void Fire()
    {
        if (active && Tick) Tick();
    }
};

// The window's thread services, counting the calls started and the ones
// whose completion has run, so that a test can wait until all work is done.
class CountingThreads : public ThreadServices {
public:
    QtThreadServices real;
    std::atomic<int> started {0};
    std::atomic<int> finished {0};

    AsyncHandle BeginInvoke(AsyncResult::Call call, AsyncResult::Completion completion, std::any state) override
    {
        ++started;
        return real.BeginInvoke(
            std::move(call),
            [this, completion = std::move(completion)](const AsyncHandle& ar) {
                if (completion) completion(ar);
                ++finished;
            },
            std::move(state));
    }
    bool InvokeRequired() const override { return real.InvokeRequired(); }
    void PostToWindow(std::function<void()> work) override { real.PostToWindow(std::move(work)); }
    std::shared_ptr<RunningCalls> Calls() const override { return real.Calls(); }

    // Waits until every call has completed and everything posted meanwhile
    // has run on the window thread, without a new call having started.
    bool Settle()
    {
        for (int round = 0; round < 1000; ++round) {
            if (!QTest::qWaitFor([this] { return finished == started; }, 30000)) return false;
            const int before = started;
            auto ran = std::make_shared<bool>(false);
            real.PostToWindow([ran] { *ran = true; });
            if (!QTest::qWaitFor([ran] { return *ran; }, 30000)) return false;
            if (started == before && finished == before) return true;
        }
        return false;
    }
};

}  // namespace tandrel::ui::testing
