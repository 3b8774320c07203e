// What the window is given for the record of its backups, its desktop
// notices, its schedules and its start with the desktop. Whatever is left
// unset does nothing: no record, no notice, nothing written.
#pragma once

#include <string>

#include "engine/runlog.h"
#include "engine/schedules.h"
#include "engine/settings.h"

namespace tandrel::ui {

// The desktop's notices (org.freedesktop.Notifications).
class DesktopNotices {
public:
    virtual ~DesktopNotices() = default;
    // False where the notice could not be given; `why` then says why.
    virtual bool Notify(const Notice& notice, std::string& why) = 0;
};

// Through Qt D-Bus, on the session bus; the call does not wait for the reply.
class DBusNotices : public DesktopNotices {
public:
    bool Notify(const Notice& notice, std::string& why) override;
};

struct WindowSchedule {
    RunLog* runLog = nullptr;  // the window's runs are recorded as "window"
    DesktopNotices* notices = nullptr;
    Settings* settings = nullptr;  // the last list, destination and Auto Backup; notify-success
    UserManager* userManager = nullptr;
    std::string unitFolder;           // where "Schedule This Backup..." writes the units
    std::string autostartFile;        // what "Start with the Desktop" writes
    std::string cliProgram;           // tandrel-cli, which the units start
    const RunClock* clock = nullptr;  // none: the system's
};

// The name of the window's own record.
inline constexpr const char* kWindowRunName = "window";

}  // namespace tandrel::ui
