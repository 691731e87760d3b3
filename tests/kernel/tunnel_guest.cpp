// The guest's end of the kernel test's stream tunnel (tunnel_mux.h):
//
//   tunnel-guest PORT_DEVICE PORT...
//
// listens on 127.0.0.1:PORT for each PORT and carries every connection made
// there over the virtio-serial port PORT_DEVICE (/dev/vportNpM) to the
// host, where the other end connects to the same port of the host's
// loopback. The guest has no network device: these connections are its
// only way out. Linked statically, for an initramfs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tunnel_mux.h"
#include "tunnel_sockets.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tunnel-guest PORT_DEVICE PORT...\n");
        return 2;
    }
    int port = ::open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (port < 0) {
        std::fprintf(stderr, "tunnel-guest: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    tunnel::Mux mux(port);
    for (int i = 2; i < argc; ++i) {
        long number = std::strtol(argv[i], nullptr, 10);
        int fd = number > 0 && number < 65536 ? tunnel::listen_loopback(static_cast<std::uint16_t>(number)) : -1;
        if (fd < 0) {
            std::fprintf(stderr, "tunnel-guest: cannot listen on 127.0.0.1:%s: %s\n", argv[i], std::strerror(errno));
            return 1;
        }
        mux.add_listener(fd, static_cast<std::uint16_t>(number));
    }
    std::fprintf(stderr, "tunnel-guest: carrying %d port(s) over %s\n", argc - 2, argv[1]);
    std::string why = mux.run();
    std::fprintf(stderr, "tunnel-guest: %s\n", why.c_str());
    return 1;
}
