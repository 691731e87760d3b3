// Inside the platform layer: what the POSIX and the Winsock sides share
// (sockets_common.cpp, io.cpp) and the hooks each side gives the shared code.
#ifndef HALVOREN_PLATFORM_INTERNAL_H
#define HALVOREN_PLATFORM_INTERNAL_H

#include "platform/platform.h"

namespace plat {

// The peer address in a sockaddr_storage (IPv4-mapped IPv6 as IPv4).
PeerAddress peer_from_sockaddr(const void *storage);

// Binds `s` to every local address (IPv6's or IPv4's wildcard) and `port`,
// and listens. The caller closes `s` on failure.
ListenStatus bind_and_listen(socket_t s, bool v6, std::uint16_t port, int backlog);

// A reference to the module that holds the library's code, which keeps it
// loaded (dlopen / GetModuleHandleEx), and its release; for pin_module.
void *module_reference_take();
void module_reference_drop(void *reference);

}  // namespace plat

#endif
