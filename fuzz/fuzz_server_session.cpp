// A server session facing a client that sends arbitrary bytes: the server
// half of the handshake (with or without a password, chosen by the first
// byte), then one request and its answer from a small shared table.
#include <cstddef>
#include <cstdint>

#include "fuzz_peer.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1) return 0;
    const char *password = (data[0] & 1) ? "fuzz" : nullptr;
    FuzzPeer client(data + 1, size - 1);
    if (!client.ok()) return 0;
    usbip_conn conn(client.near);  // closes it
    usbip_conn_set_deadline(&conn, 1000);
    if (usbip_auth_handshake_server(&conn, password) == 0) usbip_server_serve_request(conn);
    return 0;
}
