#include "cli/notices.h"

#include <cstdint>
#include <cstring>

#ifdef TANDREL_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace tandrel::cli {

#ifdef TANDREL_HAVE_SDBUS
bool SessionBusNotifier::Notify(const Notice& notice, std::string& why)
{
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
        why = std::string("no session bus: ") + std::strerror(-r);
        return false;
    }
    // A service that hangs must not hold the backup's end for long.
    sd_bus_set_method_call_timeout(bus, 5'000'000);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const std::uint8_t urgency = notice.critical ? 2 : 1;
    r = sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "Notify", &error, &reply, "susssasa{sv}i", "Tandrel", 0u,
                           "org.tandrel.tandrel", notice.summary.c_str(), notice.body.c_str(), 0, 2, "urgency", "y",
                           urgency, "desktop-entry", "s", "org.tandrel.tandrel", -1);
    if (r < 0)
        why = std::string("the notification service did not take it: ") +
              (error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}
#else
bool SessionBusNotifier::Notify(const Notice&, std::string& why)
{
    why = "this build of tandrel-cli reaches no session bus";
    return false;
}
#endif

}  // namespace tandrel::cli
