// Desktop notices of unattended runs: org.freedesktop.Notifications on the
// session bus, reached through libsystemd's sd-bus.
#pragma once

#include <string>

#include "engine/runlog.h"

namespace tandrel::cli {

class Notifier {
public:
    virtual ~Notifier() = default;
    // False where the notice could not be given; `why` then says why.
    virtual bool Notify(const Notice& notice, std::string& why) = 0;
};

// The desktop's notification service on the user's session bus.
class SessionBusNotifier : public Notifier {
public:
    bool Notify(const Notice& notice, std::string& why) override;
};

}  // namespace tandrel::cli
