// The client side of forwarding in the command-line host: importing a
// server's device (directly, in TLS, or through a relay by code) and using
// it through USB/IP's URB phase. Built on the library's internal protocol
// code, which the host links statically.
#ifndef HALVOREN_FORWARD_CLIENT_H
#define HALVOREN_FORWARD_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli_common.h"
#include "cli_trust.h"
#include "usb_descriptors.h"
#include "usbip_conn.h"
#include "usbip_protocol.h"
#include "usbip_urb.h"

namespace cli {

// Where a device comes from: a server directly, or through a relay by the
// server's pairing code (when `relay.host` is set).
struct ImportTarget {
    Endpoint server;
    bool tls = false;
    Endpoint relay;
    std::string code;
    std::string password;
    std::string busid;

    bool by_code() const { return !relay.host.empty(); }
    // "127.0.0.1:3240", or "code K7WQ2M at relay.example:3241".
    std::string describe() const;
};

// The parts of the library that a client needs: sockets, and the TLS
// layer's random generator. (usbip_init would also take the inventory of
// local USB devices, which opens every one of them.)
class ClientLayers {
public:
    ClientLayers();
    ~ClientLayers();
    ClientLayers(const ClientLayers &) = delete;
    ClientLayers &operator=(const ClientLayers &) = delete;
    // False with the library's message when a layer did not start.
    bool ok() const { return ok_; }

private:
    bool sockets_ = false;
    bool ok_ = false;
};

// A device imported from a server: the connection just after the server
// granted the import, on which the URB phase runs.
class RemoteDevice {
public:
    // Connects, speaks TLS if asked, runs the handshake and imports the
    // device, all within the client time-out. False with the library's
    // message (usbip_last_error).
    bool import(const ImportTarget &target);

    // One control transfer from the device (IN, on endpoint 0) within the
    // client time-out: `setup` as on the USB wire. True when a reply came:
    // `status` is the URB's (0, or a negative Linux errno such as -32 for
    // a stall) and `data` the bytes. False with a message when the
    // connection or the reply failed.
    bool control_in(const std::uint8_t setup[USBIP_SETUP_SIZE], std::int32_t *status,
                    std::vector<std::uint8_t> *data);
    // The device descriptor, every configuration whole, and the device's
    // own strings (in the first language it lists). False with a message.
    bool read_descriptors(UsbDescriptors *out);

    usbip_conn &connection() { return conn_; }
    const usbip_imported &imported() const { return imported_; }

private:
    bool get_descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language, std::uint16_t length,
                        std::vector<std::uint8_t> *out, std::int32_t *status);

    usbip_conn conn_;
    usbip_imported imported_;
    std::uint32_t next_seqnum_ = 1;
};

// remote --descriptors: imports the device, reads its descriptors and
// prints them; the exit status (0, or 1 after the message).
int show_remote_descriptors(const ImportTarget &target, const TrustOptions &trust, int timeout_ms);

}  // namespace cli

#endif
