// The loopback sockets at both ends of the kernel test's stream tunnel:
// non-blocking, on 127.0.0.1 only.
#ifndef HALVOREN_TUNNEL_SOCKETS_H
#define HALVOREN_TUNNEL_SOCKETS_H

#include <cstdint>

namespace tunnel {

// A listening socket on 127.0.0.1:port (0: a port the system picks, then
// told in *bound); -1 on failure, with errno.
int listen_loopback(std::uint16_t port, int *bound = nullptr);
// A socket connecting to 127.0.0.1:port, the connection under way or made;
// -1 when it could not start.
int connect_loopback(std::uint16_t port);

}  // namespace tunnel

#endif
