// The client's whole conversation with a server that answers arbitrary
// bytes: the handshake, the device list request and its reply, over a
// connected socket pair whose far end already holds the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_peer.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzPeer server(data, size);
    if (!server.ok()) return 0;
    usbip_conn conn(server.near);  // closes it
    usbip_conn_set_deadline(&conn, 1000);
    std::vector<usbip_device> devs(USBIP_MAX_DEVICES);
    int stored = 0;
    if (usbip_auth_handshake_client(&conn, "fuzz") == 0 && usbip_send_op_req_devlist(&conn) == 0 &&
        usbip_recv_op_rep_devlist(&conn, devs.data(), USBIP_MAX_DEVICES, &stored) == 0) {
        std::string json;
        usbip_devices_to_json(json, devs.data(), stored);
    }
    return 0;
}
