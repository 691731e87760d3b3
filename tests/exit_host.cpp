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

// Imports the device from the server at `port` (no password) and submits
// an interrupt IN on endpoint 2, which the device never answers; true once
// the device holds it. The connection stays open for the rest of the
// process.
bool import_and_wait(ForwardedDevice &device, int port)
{
    int fd = raw_connect(port);
    if (fd < 0 || !raw_client_handshake(fd)) return false;
    std::string request = be16(0x0111) + be16(0x8003) + be32(0) + device.busid();
    request.resize(8 + 32, '\0');
    if (!raw_send(fd, request)) return false;
    std::string reply = raw_recv_n(fd, 8 + 312);
    if (reply.size() != 320 || be32_at(reply, 4) != 0) return false;
    // command, seqnum, devid (bus 1, device 1), direction IN, endpoint 2,
    // flags, length, start frame, packets, interval, setup
    std::string submit = be32(1) + be32(1) + be32(0x00010001) + be32(1) + be32(2) + be32(0x200) + be32(64) +
                         be32(0) + be32(0) + be32(0) + std::string(8, '\0');
    return raw_send(fd, submit) && wait_until([&] { return device.waiting_interrupts() == 1; }, 5000);
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
    if (device != nullptr && !import_and_wait(*device, server_port)) return 2;
    if (std::strcmp(argv[2], "unload") == 0) unload_library(lib);
    return 0;
}
