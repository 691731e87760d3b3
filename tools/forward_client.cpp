// The client side of forwarding in the command-line host.
#include "forward_client.h"

#include <algorithm>
#include <cstdio>

#include "cli_support.h"
#include "halvoren_usbip.h"
#include "usbip_auth.h"
#include "usbip_client.h"
#include "usbip_frame.h"
#include "usbip_tls.h"
#include "usbip_urb.h"

namespace cli {

namespace {

constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3;
// A device may announce up to 255 configurations; real ones have one or
// two. Reading stops here, so that a hostile answer cannot keep it busy.
constexpr unsigned kMaxConfigurations = 16;

}  // namespace

std::string ImportTarget::describe() const
{
    if (by_code()) return "code " + code + " at " + relay.host + ":" + std::to_string(relay.port);
    return server.host + ":" + std::to_string(server.port);
}

ClientLayers::ClientLayers()
{
    if (!plat::sock_startup()) {
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "Failed to initialize platform sockets");
        return;
    }
    sockets_ = true;
    if (usbip_tls_init() != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "Failed to initialize TLS subsystem");
        return;
    }
    ok_ = true;
}

ClientLayers::~ClientLayers()
{
    if (ok_) usbip_tls_cleanup();
    if (sockets_) plat::sock_cleanup();
}

bool RemoteDevice::import(const ImportTarget &t)
{
    // Everything before the URB phase shares the connection's deadline;
    // when it runs out, the time-out message is the one that counts.
    auto failed = [this] {
        usbip_conn_close(&conn_);
        usbip_conn_restore_error(&conn_);
        return false;
    };
    const char *auth_phase = "authentication handshake";
    if (t.by_code()) {
        if (usbip_conn_connect_deadline(&conn_, t.relay.host.c_str(), t.relay.port) != 0) return false;
        if (usbip_client_pair_by_code(&conn_, t.code.c_str()) != 0) return failed();
        auth_phase = "authentication handshake (via relay)";
    } else {
        if (usbip_conn_connect_deadline(&conn_, t.server.host.c_str(), t.server.port) != 0) return false;
        if (t.tls && usbip_tls_wrap_client(&conn_) != 0) return failed();
    }
    usbip_conn_set_phase(&conn_, auth_phase);
    if (usbip_auth_handshake_client(&conn_, or_null(t.password)) != 0) return failed();
    usbip_conn_set_phase(&conn_, "import");
    if (usbip_request_import(&conn_, t.busid.c_str(), &imported_) != 0) return failed();
    usbip_conn_set_phase(&conn_, "URB phase");
    return true;
}

bool RemoteDevice::control_in(const std::uint8_t setup[USBIP_SETUP_SIZE], std::int32_t *status,
                              std::vector<std::uint8_t> *data)
{
    usbip_cmd_submit c;
    c.base.command = USBIP_CMD_SUBMIT;
    c.base.seqnum = next_seqnum_++;
    c.base.devid = imported_.devid();
    c.base.direction = USBIP_DIR_IN;
    c.base.ep = 0;
    c.transfer_flags = USBIP_URB_DIR_IN;
    c.transfer_buffer_length = setup[6] | setup[7] << 8;
    std::copy(setup, setup + USBIP_SETUP_SIZE, c.setup);
    std::uint8_t head[USBIP_URB_HEADER_SIZE];
    usbip_encode_cmd_submit(head, c);
    if (usbip_conn_send_all(&conn_, head, sizeof head) != 0) return false;
    if (usbip_conn_recv_all(&conn_, head, sizeof head) != 0) return false;
    // Only one URB is in flight: its reply is the only one that may come.
    const usbip_urb_basic basic = usbip_decode_urb_basic(head);
    if (basic.command != USBIP_RET_SUBMIT || basic.seqnum != c.base.seqnum) {
        usbip_set_last_error(USBIP_ERROR_PROTOCOL, "The server broke the URB phase: reply 0x%x to URB %u where URB %u was asked",
                             basic.command, basic.seqnum, c.base.seqnum);
        return false;
    }
    const usbip_ret_submit r = usbip_decode_ret_submit(head);
    if (r.actual_length < 0 || r.actual_length > c.transfer_buffer_length || usbip_has_packets(r.number_of_packets)) {
        usbip_set_last_error(USBIP_ERROR_PROTOCOL, "The server broke the URB phase: %d bytes for a request of %d", r.actual_length,
                             c.transfer_buffer_length);
        return false;
    }
    data->assign(static_cast<std::size_t>(r.actual_length), 0);
    if (!data->empty() && usbip_conn_recv_all(&conn_, data->data(), data->size()) != 0) return false;
    *status = r.status;
    return true;
}

bool RemoteDevice::get_descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language,
                                  std::uint16_t length, std::vector<std::uint8_t> *out, std::int32_t *status)
{
    const std::uint8_t setup[USBIP_SETUP_SIZE] = {0x80,
                                                  kGetDescriptor,
                                                  index,
                                                  type,
                                                  static_cast<std::uint8_t>(language),
                                                  static_cast<std::uint8_t>(language >> 8),
                                                  static_cast<std::uint8_t>(length),
                                                  static_cast<std::uint8_t>(length >> 8)};
    return control_in(setup, status, out);
}

bool RemoteDevice::read_descriptors(UsbDescriptors *out)
{
    std::int32_t status = 0;
    if (!get_descriptor(kDeviceType, 0, 0, 18, &out->device, &status)) return false;
    if (status != 0 || out->device.size() < 18) {
        usbip_set_last_error(USBIP_ERROR_DEVICE, "The device descriptor could not be read: status %d, %u bytes", status,
                             static_cast<unsigned>(out->device.size()));
        return false;
    }
    const unsigned count = std::min<unsigned>(out->device[17], kMaxConfigurations);
    for (unsigned i = 0; i < count; ++i) {
        std::vector<std::uint8_t> head;
        if (!get_descriptor(kConfigurationType, static_cast<std::uint8_t>(i), 0, 9, &head, &status)) return false;
        if (status != 0 || head.size() < 4) {
            usbip_set_last_error(USBIP_ERROR_DEVICE, "Configuration %u could not be read: status %d", i, status);
            return false;
        }
        const std::uint16_t total = static_cast<std::uint16_t>(head[2] | head[3] << 8);
        std::vector<std::uint8_t> whole = head;
        if (total > head.size() && !get_descriptor(kConfigurationType, static_cast<std::uint8_t>(i), 0, total, &whole, &status))
            return false;
        out->configurations.push_back(std::move(whole));
    }
    // Strings are a courtesy: a device without them, or one that stalls,
    // is described without.
    std::vector<std::uint8_t> languages;
    if (!get_descriptor(kStringType, 0, 0, 255, &languages, &status)) return false;
    if (status != 0 || languages.size() < 4) return true;
    const std::uint16_t language = static_cast<std::uint16_t>(languages[2] | languages[3] << 8);
    for (unsigned index : device_string_indexes(out->device)) {
        std::vector<std::uint8_t> text;
        if (!get_descriptor(kStringType, static_cast<std::uint8_t>(index), language, 255, &text, &status)) return false;
        if (status == 0) out->strings[index] = string_descriptor_text(text);
    }
    return true;
}

int show_remote_descriptors(const ImportTarget &target, const TrustOptions &trust, int timeout_ms)
{
    ClientLayers layers;
    if (!layers.ok()) return fail("init");
    if (timeout_ms > 0) usbip_client_set_timeout(timeout_ms);
    int trusted = prepare_client("remote", trust, target.server, target.tls, target.password);
    if (trusted >= 0) return trusted;
    const Situation situation{0, target.tls, target.by_code()};
    RemoteDevice device;
    if (!device.import(target)) return fail("remote", situation);
    UsbDescriptors descriptors;
    if (!device.read_descriptors(&descriptors)) {
        usbip_conn_restore_error(&device.connection());
        const bool closed = std::string(usbip_last_error()).find("connection closed") != std::string::npos;
        fail("remote", situation);
        // A server that does not forward answers the import and closes.
        if (closed)
            std::fprintf(stderr, "  The server ended the connection after granting the import: it may not forward "
                                 "devices (serve --forward).\n");
        return 1;
    }
    const usbip_imported &got = device.imported();
    std::printf("Device %s of %s: devid 0x%08x, %s speed\n", terminal_text(target.busid).c_str(),
                terminal_text(target.describe()).c_str(), got.devid(), usbip_speed_name(got.device.speed));
    std::fputs(describe_descriptors(descriptors).c_str(), stdout);
    return 0;
}

}  // namespace cli
