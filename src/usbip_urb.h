// USB/IP's URB phase: the messages that carry a device's traffic on an
// import connection after a successful OP_REP_IMPORT. USBIP_CMD_SUBMIT and
// USBIP_CMD_UNLINK go from the importing client to the server,
// USBIP_RET_SUBMIT and USBIP_RET_UNLINK come back. Every message starts with
// a 48-byte header in network byte order; a submit carries the transfer's
// OUT data (a reply its IN data) and, for isochronous transfers, one 16-byte
// descriptor per packet after it.
//
// Pure functions over byte buffers and an incremental reader; no I/O.
#ifndef HALVOREN_USBIP_URB_H
#define HALVOREN_USBIP_URB_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

inline constexpr std::uint32_t USBIP_CMD_SUBMIT = 0x0001;
inline constexpr std::uint32_t USBIP_CMD_UNLINK = 0x0002;
inline constexpr std::uint32_t USBIP_RET_SUBMIT = 0x0003;
inline constexpr std::uint32_t USBIP_RET_UNLINK = 0x0004;

inline constexpr std::uint32_t USBIP_DIR_OUT = 0;
inline constexpr std::uint32_t USBIP_DIR_IN = 1;

inline constexpr std::size_t USBIP_URB_HEADER_SIZE = 48;
inline constexpr std::size_t USBIP_ISO_DESC_SIZE = 16;
inline constexpr std::size_t USBIP_SETUP_SIZE = 8;

// number_of_packets of a transfer that is not isochronous. Linux's own
// client sends 0 there instead; both mean "no packets".
inline constexpr std::uint32_t USBIP_NO_PACKETS = 0xffffffff;

// transfer_flags bits that matter here (the URB flags of Linux).
inline constexpr std::uint32_t USBIP_URB_SHORT_NOT_OK = 0x0001;
inline constexpr std::uint32_t USBIP_URB_ISO_ASAP = 0x0002;
inline constexpr std::uint32_t USBIP_URB_ZERO_PACKET = 0x0040;
inline constexpr std::uint32_t USBIP_URB_DIR_IN = 0x0200;

// Statuses travel as negative Linux errno values whatever the host's own
// numbering, so they are spelled out here.
inline constexpr std::int32_t USBIP_ENOENT = 2;
inline constexpr std::int32_t USBIP_EIO = 5;
inline constexpr std::int32_t USBIP_ENOMEM = 12;
inline constexpr std::int32_t USBIP_EBUSY = 16;
inline constexpr std::int32_t USBIP_EXDEV = 18;
inline constexpr std::int32_t USBIP_ENODEV = 19;
inline constexpr std::int32_t USBIP_EINVAL = 22;
inline constexpr std::int32_t USBIP_EPIPE = 32;
inline constexpr std::int32_t USBIP_EPROTO = 71;
inline constexpr std::int32_t USBIP_EOVERFLOW = 75;
inline constexpr std::int32_t USBIP_ECONNRESET = 104;
inline constexpr std::int32_t USBIP_ESHUTDOWN = 108;
inline constexpr std::int32_t USBIP_ETIMEDOUT = 110;
inline constexpr std::int32_t USBIP_EREMOTEIO = 121;

// The first 20 bytes of every header.
struct usbip_urb_basic {
    std::uint32_t command = 0;
    std::uint32_t seqnum = 0;
    std::uint32_t devid = 0;      // (busnum << 16) | devnum from a client; 0 from a server
    std::uint32_t direction = 0;  // USBIP_DIR_OUT or USBIP_DIR_IN; 0 from a server
    std::uint32_t ep = 0;         // endpoint number 0..15; 0 from a server and in unlinks
};

struct usbip_cmd_submit {
    usbip_urb_basic base;
    std::uint32_t transfer_flags = 0;
    std::int32_t transfer_buffer_length = 0;
    std::int32_t start_frame = 0;
    std::uint32_t number_of_packets = USBIP_NO_PACKETS;
    std::int32_t interval = 0;
    std::uint8_t setup[USBIP_SETUP_SIZE] = {};  // as on the USB wire (little-endian fields)
};

struct usbip_ret_submit {
    usbip_urb_basic base;
    std::int32_t status = 0;
    std::int32_t actual_length = 0;
    std::int32_t start_frame = 0;
    std::uint32_t number_of_packets = USBIP_NO_PACKETS;
    std::int32_t error_count = 0;
};

struct usbip_cmd_unlink {
    usbip_urb_basic base;
    std::uint32_t unlink_seqnum = 0;
};

struct usbip_ret_unlink {
    usbip_urb_basic base;
    std::int32_t status = 0;  // -ECONNRESET when the URB was cancelled, 0 when it had completed
};

// One isochronous packet: where it lies in the transfer buffer, how long it
// is, and (in replies) what happened to it.
struct usbip_iso_packet {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t actual_length = 0;
    std::int32_t status = 0;

    bool operator==(const usbip_iso_packet &o) const
    {
        return offset == o.offset && length == o.length && actual_length == o.actual_length && status == o.status;
    }
};

// True when a number_of_packets field announces isochronous packets.
inline bool usbip_has_packets(std::uint32_t number_of_packets)
{
    return number_of_packets != 0 && number_of_packets != USBIP_NO_PACKETS;
}

// Headers. Encoders write all 48 bytes (padding zero); decoders read the
// fields of their command and ignore padding.
void usbip_encode_cmd_submit(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_cmd_submit &h);
void usbip_encode_ret_submit(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_ret_submit &h);
void usbip_encode_cmd_unlink(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_cmd_unlink &h);
void usbip_encode_ret_unlink(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_ret_unlink &h);
usbip_urb_basic usbip_decode_urb_basic(const std::uint8_t in[USBIP_URB_HEADER_SIZE]);
usbip_cmd_submit usbip_decode_cmd_submit(const std::uint8_t in[USBIP_URB_HEADER_SIZE]);
usbip_ret_submit usbip_decode_ret_submit(const std::uint8_t in[USBIP_URB_HEADER_SIZE]);
usbip_cmd_unlink usbip_decode_cmd_unlink(const std::uint8_t in[USBIP_URB_HEADER_SIZE]);
usbip_ret_unlink usbip_decode_ret_unlink(const std::uint8_t in[USBIP_URB_HEADER_SIZE]);

void usbip_encode_iso_packet(std::uint8_t out[USBIP_ISO_DESC_SIZE], const usbip_iso_packet &p);
usbip_iso_packet usbip_decode_iso_packet(const std::uint8_t in[USBIP_ISO_DESC_SIZE]);
// Appends one descriptor per packet.
void usbip_append_iso_packets(std::vector<std::uint8_t> &out, const std::vector<usbip_iso_packet> &packets);

// The IN data of an isochronous reply travels packed: each packet's
// actual_length bytes back to back, without the gaps between packets.
// Spreads `data` back to each packet's offset in `buffer`; false when the
// packets do not account for exactly `data_len` bytes or one lies outside
// the buffer.
bool usbip_iso_unpack(std::uint8_t *buffer, std::size_t buffer_len, const std::uint8_t *data, std::size_t data_len,
                      const std::vector<usbip_iso_packet> &packets);

// One whole message. `command` says which header is meaningful.
struct usbip_urb_message {
    std::uint32_t command = 0;
    usbip_cmd_submit cmd_submit;
    usbip_ret_submit ret_submit;
    usbip_cmd_unlink cmd_unlink;
    usbip_ret_unlink ret_unlink;
    std::vector<std::uint8_t> data;  // OUT data of a CMD_SUBMIT, IN data of a RET_SUBMIT
    std::vector<usbip_iso_packet> packets;

    std::uint32_t seqnum() const;
};

// Appends the whole message: header, data and packet descriptors. A reply's
// data is sent only when `in` says the URB it answers was IN.
void usbip_encode_urb_message(std::vector<std::uint8_t> &out, const usbip_urb_message &m, bool in = true);

// What a reader accepts from its peer: nothing grows from the peer's say-so
// beyond these.
struct usbip_urb_limits {
    std::uint32_t max_transfer = 1u << 20;  // bytes in one URB's buffer
    std::uint32_t max_packets = 1024;       // isochronous packets in one URB
};

enum class usbip_urb_error {
    none,
    unknown_command,   // not a command this side reads
    bad_direction,     // neither OUT nor IN
    bad_endpoint,      // an endpoint number above 15
    too_long,          // a length below zero or above the cap
    too_many_packets,  // a packet count above the cap
    bad_packets,       // packet descriptors that do not fit the transfer buffer
    unknown_seqnum,    // a reply to a URB the client never sent
};
const char *usbip_urb_error_text(usbip_urb_error e);

// Reads the URB phase from a byte stream. A server reads commands; a
// client reads replies and must say, for each reply, whether the URB it
// answers was IN (only then data follows). feed() takes whatever bytes have
// arrived and returns after each whole message, which message() holds until
// the next feed(). After an error every feed() fails again.
class usbip_urb_reader {
public:
    // USBIP_DIR_IN, USBIP_DIR_OUT, or -1 for a seqnum the client never sent.
    using direction_lookup = std::function<int(std::uint32_t seqnum)>;

    enum class result { more, message, error };

    static usbip_urb_reader for_server(const usbip_urb_limits &limits);
    static usbip_urb_reader for_client(const usbip_urb_limits &limits, direction_lookup direction_of);

    // Takes at most `len` bytes and stops after a whole message; *used says
    // how many it took.
    result feed(const std::uint8_t *data, std::size_t len, std::size_t *used);
    // True when no part of a message has been taken.
    bool between_messages() const { return stage_ == Stage::header && have_ == 0; }
    usbip_urb_message &message() { return message_; }
    usbip_urb_error error() const { return error_; }

private:
    enum class Stage { header, data, packets };
    usbip_urb_reader(const usbip_urb_limits &limits, direction_lookup direction_of, bool server);
    usbip_urb_error start_message();  // after the header
    usbip_urb_error check_packets() const;
    result fail(usbip_urb_error e);

    usbip_urb_limits limits_;
    direction_lookup direction_of_;
    bool server_;
    Stage stage_ = Stage::header;
    std::uint8_t header_[USBIP_URB_HEADER_SIZE] = {};
    std::uint8_t desc_[USBIP_ISO_DESC_SIZE] = {};
    std::size_t have_ = 0;        // bytes of the current header, data or descriptor taken
    std::size_t data_len_ = 0;    // data bytes that follow the header
    std::size_t packet_count_ = 0;
    usbip_urb_message message_;
    usbip_urb_error error_ = usbip_urb_error::none;
};

#endif
