// What the engine needs from the front end that shows it: refresh requests,
// the hand-back of a finished gathering, and message boxes. Workers call all
// three; Show blocks the worker until the user has answered.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/messages.h"

namespace tandrel {

class JobHost {
public:
    virtual ~JobHost() = default;

    // Refresh request, from any thread: runs the refresh at once on the
    // window thread, posts it from elsewhere and returns without waiting.
    virtual void ShowProgress() = 0;
    // A gathering has finished its walk. Runs on the window thread; called
    // from a worker it posts itself there and returns.
    virtual void ReturnFiles(std::vector<std::string> folderArray, std::string initalDir) = 0;
    // Shows a message box raised by a worker and waits for the answer.
    virtual DialogResult Show(const MessageBoxRequest& box) = 0;
    // Shows `box` (a Cancel box) while the worker waits for `done` to come
    // true, asking it every so often; the box closes by itself then. True
    // when `done` came true, false when the user cancelled.
    virtual bool WaitUntil(const MessageBoxRequest& box, const std::function<bool()>& done)
    {
        (void)box;
        while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return true;
    }
};

}  // namespace tandrel
