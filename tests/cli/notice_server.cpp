// A notification service for the tests, on the session bus it is started
// in: owns org.freedesktop.Notifications and writes each notice it is given
// to the file named by its argument, one line each: urgency, summary, body
// (its line breaks as "\n"). Once it owns the name it makes FILE.ready.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string file;
std::uint32_t lastId = 0;

int Notify(sd_bus_message* call, void*, sd_bus_error*)
{
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    std::uint32_t replaces = 0;
    int r = sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &body);
    if (r < 0) return r;
    if ((r = sd_bus_message_skip(call, "as")) < 0) return r;
    int urgency = -1;
    if ((r = sd_bus_message_enter_container(call, 'a', "{sv}")) < 0) return r;
    while ((r = sd_bus_message_enter_container(call, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(call, "s", &key)) < 0) return r;
        if (std::string(key) == "urgency") {
            std::uint8_t value = 0;
            if ((r = sd_bus_message_read(call, "v", "y", &value)) < 0) return r;
            urgency = value;
        } else if ((r = sd_bus_message_skip(call, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(call)) < 0) return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(call)) < 0) return r;
    std::string text = body;
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos;) text.replace(at, 1, "\\n");
    std::ofstream(file, std::ios::app) << urgency << '\t' << app << '\t' << summary << '\t' << text << std::endl;
    return sd_bus_reply_method_return(call, "u", ++lastId);
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", Notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    file = argv[1];
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return 1;
    if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                 kVtable, nullptr) < 0)
        return 1;
    if (sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) return 1;
    std::ofstream(file + ".ready") << "ready\n";
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 1;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
    }
}
