// A host that leaves without usbip_cleanup while a server, a relay, a relay
// registration and their connections run: it returns from main ("exit"),
// or unloads the library first ("unload"). Either way the process must end
// at once with status 0. Exits with 2 when the set-up itself fails.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? fd : -1;
}

template <typename F>
F symbol(void *lib, const char *name)
{
    return reinterpret_cast<F>(dlsym(lib, name));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: exit_host LIBRARY exit|unload SERVER_PORT RELAY_PORT\n");
        return 2;
    }
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return 2;
    auto init = symbol<int (*)()>(lib, "usbip_init");
    auto server_start = symbol<int (*)(int, const char *, int)>(lib, "usbip_server_start");
    auto relay_start = symbol<int (*)(int)>(lib, "usbip_relay_start");
    auto register_relay = symbol<const char *(*)(const char *, int, const char *)>(lib, "usbip_server_register_relay");
    int server_port = std::atoi(argv[3]), relay_port = std::atoi(argv[4]);
    if (init() != 0 || server_start(server_port, "pw", 0) != 0 || relay_start(relay_port) != 0) return 2;
    if (register_relay("127.0.0.1", relay_port, nullptr) == nullptr) return 2;
    // Connections in progress: a session waiting for its client, a relay
    // connection in its first line, a registration.
    int session = connect_to(server_port);
    int half_line = connect_to(relay_port);
    int control = connect_to(relay_port);
    if (session < 0 || half_line < 0 || control < 0) return 2;
    send(session, "x", 1, 0);
    send(half_line, "REGI", 4, 0);
    send(control, "REGISTER \n", 10, 0);
    char buf[16];
    if (recv(control, buf, sizeof buf, 0) <= 0) return 2;  // its CODE line
    if (std::strcmp(argv[2], "unload") == 0) dlclose(lib);
    return 0;
}
