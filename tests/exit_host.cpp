// A host that leaves without usbip_cleanup while a server, a relay, a relay
// registration and their connections run: it returns from main ("exit"),
// or unloads the library first ("unload"). Either way the process must end
// at once with status 0. With "forward" the server (without password then)
// also forwards an emulated device, with a URB waiting in it. Exits with 2
// when the set-up itself fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exit_host_forward.h"
#include "test_support.h"

namespace {

template <typename F>
F symbol(void *lib, const char *name)
{
    return reinterpret_cast<F>(library_symbol(lib, name));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5 && !(argc == 6 && std::strcmp(argv[5], "forward") == 0)) {
        std::fprintf(stderr, "usage: exit_host LIBRARY exit|unload SERVER_PORT RELAY_PORT [forward]\n");
        return 2;
    }
    // Held to the end: the library's threads use it until the process ends.
    ForwardedDevice *device = nullptr;
    if (argc == 6 && (device = ForwardedDevice::add()) == nullptr) return 2;
    void *lib = load_library(argv[1]);
    if (lib == nullptr) return 2;
    auto init = symbol<int (*)()>(lib, "usbip_init");
    auto server_start = symbol<int (*)(int, const char *, int)>(lib, "usbip_server_start");
    auto relay_start = symbol<int (*)(int)>(lib, "usbip_relay_start");
    auto register_relay = symbol<const char *(*)(const char *, int, const char *)>(lib, "usbip_server_register_relay");
    auto set_forwarding = symbol<int (*)(int)>(lib, "usbip_server_set_forwarding");
    auto share = symbol<int (*)(const char *)>(lib, "usbip_server_share");
    int server_port = std::atoi(argv[3]), relay_port = std::atoi(argv[4]);
    if (init() != 0) return 2;
    if (device != nullptr && (set_forwarding(1) != 1 || share(device->busid()) != 0)) return 2;
    if (server_start(server_port, device != nullptr ? nullptr : "pw", 0) != 0 || relay_start(relay_port) != 0) return 2;
    if (register_relay("127.0.0.1", relay_port, nullptr) == nullptr) return 2;
    // Connections in progress: a session waiting for its client, a relay
    // connection in its first line, a registration.
    int session = raw_connect(server_port);
    int half_line = raw_connect(relay_port);
    int control = raw_connect(relay_port);
    if (session < 0 || half_line < 0 || control < 0) return 2;
    raw_send(session, "x");
    raw_send(half_line, "REGI");
    raw_send(control, "REGISTER \n");
    if (raw_recv_line(control).rfind("CODE ", 0) != 0) return 2;
    if (device != nullptr && !device->import_and_wait(server_port)) return 2;
    if (std::strcmp(argv[2], "unload") == 0) unload_library(lib);
    return 0;
}
