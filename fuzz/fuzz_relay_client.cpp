// The client's listing by code facing a relay that answers arbitrary bytes:
// the answer line after CONNECT, then (after an "OK") the handshake and the
// device list through what would be the bridge.
#include <cstddef>
#include <cstdint>

#include "fuzz_peer.h"
#include "usbip_client.h"
#include "usbip_conn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzPeer relay(data, size);
    if (!relay.ok()) return 0;
    usbip_conn conn(relay.near);  // closes it
    usbip_conn_set_deadline(&conn, 1000);
    (void)usbip_client_list_by_code_on(&conn, "ABC234", "fuzz");
    return 0;
}
