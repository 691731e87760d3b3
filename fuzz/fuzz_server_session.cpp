// A server session facing a client that sends arbitrary bytes: the server
// half of the handshake (with or without a password, chosen by the first
// byte), then one request and its answer from a small shared table.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "usbip_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 60000) return 0;  // must fit the socket buffer
    const char *password = (data[0] & 1) ? "fuzz" : nullptr;
    ++data;
    --size;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return 0;
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);  // the client says nothing more
    usbip_conn conn(sv[0]);
    usbip_conn_set_deadline(&conn, 1000);
    if (usbip_auth_handshake_server(&conn, password) == 0) usbip_server_serve_request(conn);
    usbip_conn_close(&conn);
    close(sv[1]);
    return 0;
}
