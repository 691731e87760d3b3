// The client's whole conversation with a server that answers arbitrary
// bytes: the handshake, the device list request and its reply, over a
// connected socket pair whose far end already holds the bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usbip_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 60000) return 0;  // must fit the socket buffer
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int big = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);  // the server says nothing more
    usbip_conn conn(sv[0]);
    usbip_conn_set_deadline(&conn, 1000);
    std::vector<usbip_device> devs(USBIP_MAX_DEVICES);
    int stored = 0;
    if (usbip_auth_handshake_client(&conn, "fuzz") == 0 && usbip_send_op_req_devlist(&conn) == 0 &&
        usbip_recv_op_rep_devlist(&conn, devs.data(), USBIP_MAX_DEVICES, &stored) == 0) {
        std::string json;
        usbip_devices_to_json(json, devs.data(), stored);
    }
    usbip_conn_close(&conn);
    close(sv[1]);
    return 0;
}
