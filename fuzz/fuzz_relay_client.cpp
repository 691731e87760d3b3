// The client's listing by code facing a relay that answers arbitrary bytes:
// the answer line after CONNECT, then (after an "OK") the handshake and the
// device list through what would be the bridge.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "usbip_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 60000) return 0;  // must fit the socket buffer
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return 0;
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);  // the relay says nothing more
    usbip_conn conn(sv[0]);
    usbip_conn_set_deadline(&conn, 1000);
    (void)usbip_client_list_by_code_on(&conn, "ABC234", "fuzz");
    usbip_conn_close(&conn);
    close(sv[1]);
    return 0;
}
