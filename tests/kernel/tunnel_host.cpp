// The host's end of the kernel test's stream tunnel (tunnel_mux.h):
//
//   tunnel-host SOCKET PORT...
//
// listens on the Unix socket SOCKET for QEMU, which connects there the
// chardev of the guest's virtio-serial port, and for every connection that
// the guest announces connects to the same port on 127.0.0.1, only for the
// PORTs given. It ends when QEMU does.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "tunnel_mux.h"
#include "tunnel_sockets.h"

namespace {

constexpr int kQemuConnectMs = 60000;

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tunnel-host SOCKET PORT...\n");
        return 2;
    }
    std::set<long> allowed;
    for (int i = 2; i < argc; ++i) allowed.insert(std::strtol(argv[i], nullptr, 10));

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "tunnel-host: socket path too long: %s\n", argv[1]);
        return 1;
    }
    std::strcpy(addr.sun_path, argv[1]);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(argv[1]);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0) {
        std::fprintf(stderr, "tunnel-host: cannot listen on %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::printf("Listening on %s\n", argv[1]);
    std::fflush(stdout);
    pollfd p{listener, POLLIN, 0};
    int port = ::poll(&p, 1, kQemuConnectMs) == 1 ? ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)
                                                   : -1;
    ::close(listener);
    if (port < 0) {
        std::fprintf(stderr, "tunnel-host: QEMU did not connect within %d s\n", kQemuConnectMs / 1000);
        return 1;
    }
    tunnel::Mux mux(port);
    mux.set_connector([&](std::uint16_t to) { return allowed.count(to) != 0 ? tunnel::connect_loopback(to) : -1; });
    std::string why = mux.run();
    std::fprintf(stderr, "tunnel-host: %s\n", why.c_str());
    ::close(port);
    return 0;
}
