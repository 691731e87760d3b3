// USB/IP URB phase messages: header codecs, packet descriptors and the
// incremental reader. Byte buffers only.
#include "usbip_urb.h"

#include <algorithm>
#include <cstring>

#include "usbip_bytes.h"

namespace {

// Offsets within a 48-byte header.
enum : std::size_t {
    kCommand = 0,
    kSeqnum = 4,
    kDevid = 8,
    kDirection = 12,
    kEp = 16,
    // USBIP_CMD_SUBMIT
    kTransferFlags = 20,
    kTransferBufferLength = 24,
    kStartFrame = 28,
    kNumberOfPackets = 32,
    kInterval = 36,
    kSetup = 40,
    // USBIP_RET_SUBMIT (start_frame and number_of_packets as above)
    kStatus = 20,
    kActualLength = 24,
    kErrorCount = 36,
    // USBIP_CMD_UNLINK
    kUnlinkSeqnum = 20,
};

// Offsets within a 16-byte packet descriptor.
enum : std::size_t { kPacketOffset = 0, kPacketLength = 4, kPacketActual = 8, kPacketStatus = 12 };

void put_s32(std::uint8_t *p, std::int32_t v) { usbip_put_be32(p, static_cast<std::uint32_t>(v)); }
std::int32_t get_s32(const std::uint8_t *p) { return static_cast<std::int32_t>(usbip_get_be32(p)); }

void put_basic(std::uint8_t *out, const usbip_urb_basic &b, std::uint32_t command)
{
    std::memset(out, 0, USBIP_URB_HEADER_SIZE);
    usbip_put_be32(out + kCommand, command);
    usbip_put_be32(out + kSeqnum, b.seqnum);
    usbip_put_be32(out + kDevid, b.devid);
    usbip_put_be32(out + kDirection, b.direction);
    usbip_put_be32(out + kEp, b.ep);
}

void append(std::vector<std::uint8_t> &out, const std::uint8_t *p, std::size_t n) { out.insert(out.end(), p, p + n); }

}  // namespace

// ---------------------------------------------------------------------------
// Headers and descriptors

void usbip_encode_cmd_submit(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_cmd_submit &h)
{
    put_basic(out, h.base, USBIP_CMD_SUBMIT);
    usbip_put_be32(out + kTransferFlags, h.transfer_flags);
    put_s32(out + kTransferBufferLength, h.transfer_buffer_length);
    put_s32(out + kStartFrame, h.start_frame);
    usbip_put_be32(out + kNumberOfPackets, h.number_of_packets);
    put_s32(out + kInterval, h.interval);
    std::memcpy(out + kSetup, h.setup, USBIP_SETUP_SIZE);
}

void usbip_encode_ret_submit(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_ret_submit &h)
{
    put_basic(out, h.base, USBIP_RET_SUBMIT);
    put_s32(out + kStatus, h.status);
    put_s32(out + kActualLength, h.actual_length);
    put_s32(out + kStartFrame, h.start_frame);
    usbip_put_be32(out + kNumberOfPackets, h.number_of_packets);
    put_s32(out + kErrorCount, h.error_count);
}

void usbip_encode_cmd_unlink(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_cmd_unlink &h)
{
    put_basic(out, h.base, USBIP_CMD_UNLINK);
    usbip_put_be32(out + kUnlinkSeqnum, h.unlink_seqnum);
}

void usbip_encode_ret_unlink(std::uint8_t out[USBIP_URB_HEADER_SIZE], const usbip_ret_unlink &h)
{
    put_basic(out, h.base, USBIP_RET_UNLINK);
    put_s32(out + kStatus, h.status);
}

usbip_urb_basic usbip_decode_urb_basic(const std::uint8_t in[USBIP_URB_HEADER_SIZE])
{
    usbip_urb_basic b;
    b.command = usbip_get_be32(in + kCommand);
    b.seqnum = usbip_get_be32(in + kSeqnum);
    b.devid = usbip_get_be32(in + kDevid);
    b.direction = usbip_get_be32(in + kDirection);
    b.ep = usbip_get_be32(in + kEp);
    return b;
}

usbip_cmd_submit usbip_decode_cmd_submit(const std::uint8_t in[USBIP_URB_HEADER_SIZE])
{
    usbip_cmd_submit h;
    h.base = usbip_decode_urb_basic(in);
    h.transfer_flags = usbip_get_be32(in + kTransferFlags);
    h.transfer_buffer_length = get_s32(in + kTransferBufferLength);
    h.start_frame = get_s32(in + kStartFrame);
    h.number_of_packets = usbip_get_be32(in + kNumberOfPackets);
    h.interval = get_s32(in + kInterval);
    std::memcpy(h.setup, in + kSetup, USBIP_SETUP_SIZE);
    return h;
}

usbip_ret_submit usbip_decode_ret_submit(const std::uint8_t in[USBIP_URB_HEADER_SIZE])
{
    usbip_ret_submit h;
    h.base = usbip_decode_urb_basic(in);
    h.status = get_s32(in + kStatus);
    h.actual_length = get_s32(in + kActualLength);
    h.start_frame = get_s32(in + kStartFrame);
    h.number_of_packets = usbip_get_be32(in + kNumberOfPackets);
    h.error_count = get_s32(in + kErrorCount);
    return h;
}

usbip_cmd_unlink usbip_decode_cmd_unlink(const std::uint8_t in[USBIP_URB_HEADER_SIZE])
{
    usbip_cmd_unlink h;
    h.base = usbip_decode_urb_basic(in);
    h.unlink_seqnum = usbip_get_be32(in + kUnlinkSeqnum);
    return h;
}

usbip_ret_unlink usbip_decode_ret_unlink(const std::uint8_t in[USBIP_URB_HEADER_SIZE])
{
    usbip_ret_unlink h;
    h.base = usbip_decode_urb_basic(in);
    h.status = get_s32(in + kStatus);
    return h;
}

void usbip_encode_iso_packet(std::uint8_t out[USBIP_ISO_DESC_SIZE], const usbip_iso_packet &p)
{
    usbip_put_be32(out + kPacketOffset, p.offset);
    usbip_put_be32(out + kPacketLength, p.length);
    usbip_put_be32(out + kPacketActual, p.actual_length);
    put_s32(out + kPacketStatus, p.status);
}

usbip_iso_packet usbip_decode_iso_packet(const std::uint8_t in[USBIP_ISO_DESC_SIZE])
{
    usbip_iso_packet p;
    p.offset = usbip_get_be32(in + kPacketOffset);
    p.length = usbip_get_be32(in + kPacketLength);
    p.actual_length = usbip_get_be32(in + kPacketActual);
    p.status = get_s32(in + kPacketStatus);
    return p;
}

void usbip_append_iso_packets(std::vector<std::uint8_t> &out, const std::vector<usbip_iso_packet> &packets)
{
    std::uint8_t desc[USBIP_ISO_DESC_SIZE];
    for (const usbip_iso_packet &p : packets) {
        usbip_encode_iso_packet(desc, p);
        append(out, desc, sizeof desc);
    }
}

bool usbip_iso_unpack(std::uint8_t *buffer, std::size_t buffer_len, const std::uint8_t *data, std::size_t data_len,
                      const std::vector<usbip_iso_packet> &packets)
{
    std::uint64_t total = 0;
    for (const usbip_iso_packet &p : packets) {
        if (std::uint64_t{p.offset} + p.actual_length > buffer_len) return false;
        total += p.actual_length;
    }
    if (total != data_len) return false;
    for (const usbip_iso_packet &p : packets) {
        if (p.actual_length > 0) std::memcpy(buffer + p.offset, data, p.actual_length);
        data += p.actual_length;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Whole messages

std::uint32_t usbip_urb_message::seqnum() const
{
    switch (command) {
    case USBIP_CMD_SUBMIT: return cmd_submit.base.seqnum;
    case USBIP_RET_SUBMIT: return ret_submit.base.seqnum;
    case USBIP_CMD_UNLINK: return cmd_unlink.base.seqnum;
    case USBIP_RET_UNLINK: return ret_unlink.base.seqnum;
    default: return 0;
    }
}

void usbip_encode_urb_message(std::vector<std::uint8_t> &out, const usbip_urb_message &m, bool in)
{
    std::uint8_t head[USBIP_URB_HEADER_SIZE];
    switch (m.command) {
    case USBIP_CMD_SUBMIT:
        usbip_encode_cmd_submit(head, m.cmd_submit);
        append(out, head, sizeof head);
        if (m.cmd_submit.base.direction == USBIP_DIR_OUT) append(out, m.data.data(), m.data.size());
        usbip_append_iso_packets(out, m.packets);
        break;
    case USBIP_RET_SUBMIT:
        usbip_encode_ret_submit(head, m.ret_submit);
        append(out, head, sizeof head);
        if (in) append(out, m.data.data(), m.data.size());
        usbip_append_iso_packets(out, m.packets);
        break;
    case USBIP_CMD_UNLINK:
        usbip_encode_cmd_unlink(head, m.cmd_unlink);
        append(out, head, sizeof head);
        break;
    case USBIP_RET_UNLINK:
        usbip_encode_ret_unlink(head, m.ret_unlink);
        append(out, head, sizeof head);
        break;
    default:
        break;
    }
}

const char *usbip_urb_error_text(usbip_urb_error e)
{
    switch (e) {
    case usbip_urb_error::none: return "no error";
    case usbip_urb_error::unknown_command: return "unknown command";
    case usbip_urb_error::bad_direction: return "invalid direction";
    case usbip_urb_error::bad_endpoint: return "invalid endpoint number";
    case usbip_urb_error::too_long: return "transfer length out of range";
    case usbip_urb_error::too_many_packets: return "too many isochronous packets";
    case usbip_urb_error::bad_packets: return "isochronous packets outside the transfer";
    case usbip_urb_error::unknown_seqnum: return "reply to an unknown sequence number";
    }
    return "unknown error";
}

// ---------------------------------------------------------------------------
// Reader

usbip_urb_reader::usbip_urb_reader(const usbip_urb_limits &limits, direction_lookup direction_of, bool server)
    : limits_(limits), direction_of_(std::move(direction_of)), server_(server)
{
}

usbip_urb_reader usbip_urb_reader::for_server(const usbip_urb_limits &limits)
{
    return usbip_urb_reader(limits, nullptr, true);
}

usbip_urb_reader usbip_urb_reader::for_client(const usbip_urb_limits &limits, direction_lookup direction_of)
{
    return usbip_urb_reader(limits, std::move(direction_of), false);
}

usbip_urb_reader::result usbip_urb_reader::fail(usbip_urb_error e)
{
    error_ = e;
    return result::error;
}

usbip_urb_error usbip_urb_reader::start_message()
{
    usbip_urb_message &m = message_;
    m.command = usbip_get_be32(header_ + kCommand);
    m.data.clear();
    m.packets.clear();
    data_len_ = 0;
    packet_count_ = 0;
    std::uint32_t packets = USBIP_NO_PACKETS;
    if (server_ && m.command == USBIP_CMD_SUBMIT) {
        m.cmd_submit = usbip_decode_cmd_submit(header_);
        const usbip_cmd_submit &h = m.cmd_submit;
        if (h.base.direction != USBIP_DIR_OUT && h.base.direction != USBIP_DIR_IN)
            return usbip_urb_error::bad_direction;
        if (h.base.ep > 15) return usbip_urb_error::bad_endpoint;
        if (h.transfer_buffer_length < 0 || static_cast<std::uint32_t>(h.transfer_buffer_length) > limits_.max_transfer)
            return usbip_urb_error::too_long;
        if (h.base.direction == USBIP_DIR_OUT) data_len_ = static_cast<std::size_t>(h.transfer_buffer_length);
        packets = h.number_of_packets;
    } else if (server_ && m.command == USBIP_CMD_UNLINK) {
        m.cmd_unlink = usbip_decode_cmd_unlink(header_);
    } else if (!server_ && m.command == USBIP_RET_SUBMIT) {
        m.ret_submit = usbip_decode_ret_submit(header_);
        const usbip_ret_submit &h = m.ret_submit;
        int direction = direction_of_ ? direction_of_(h.base.seqnum) : -1;
        if (direction < 0) return usbip_urb_error::unknown_seqnum;
        if (h.actual_length < 0 || static_cast<std::uint32_t>(h.actual_length) > limits_.max_transfer)
            return usbip_urb_error::too_long;
        if (direction == static_cast<int>(USBIP_DIR_IN)) data_len_ = static_cast<std::size_t>(h.actual_length);
        packets = h.number_of_packets;
    } else if (!server_ && m.command == USBIP_RET_UNLINK) {
        m.ret_unlink = usbip_decode_ret_unlink(header_);
    } else {
        return usbip_urb_error::unknown_command;
    }
    if (usbip_has_packets(packets)) {
        if (packets > limits_.max_packets) return usbip_urb_error::too_many_packets;
        packet_count_ = packets;
        m.packets.reserve(packet_count_);
    }
    m.data.resize(data_len_);
    return usbip_urb_error::none;
}

// The descriptors must describe the buffer the header announced: a server
// allocates the packets' lengths, a client spreads the packed IN data.
usbip_urb_error usbip_urb_reader::check_packets() const
{
    const usbip_urb_message &m = message_;
    std::uint64_t total = 0;
    if (server_) {
        const std::uint64_t buffer = static_cast<std::uint64_t>(m.cmd_submit.transfer_buffer_length);
        for (const usbip_iso_packet &p : m.packets) {
            if (std::uint64_t{p.offset} + p.length > buffer) return usbip_urb_error::bad_packets;
            total += p.length;
        }
        return total <= buffer ? usbip_urb_error::none : usbip_urb_error::bad_packets;
    }
    for (const usbip_iso_packet &p : m.packets) {
        if (p.actual_length > p.length) return usbip_urb_error::bad_packets;
        total += p.actual_length;
    }
    if (data_len_ > 0 && total != data_len_) return usbip_urb_error::bad_packets;
    return usbip_urb_error::none;
}

usbip_urb_reader::result usbip_urb_reader::feed(const std::uint8_t *data, std::size_t len, std::size_t *used)
{
    *used = 0;
    if (error_ != usbip_urb_error::none) return result::error;
    std::size_t pos = 0;
    for (;;) {
        switch (stage_) {
        case Stage::header: {
            std::size_t take = std::min(USBIP_URB_HEADER_SIZE - have_, len - pos);
            std::memcpy(header_ + have_, data + pos, take);
            have_ += take;
            pos += take;
            *used = pos;
            if (have_ < USBIP_URB_HEADER_SIZE) return result::more;
            have_ = 0;
            usbip_urb_error e = start_message();
            if (e != usbip_urb_error::none) return fail(e);
            if (data_len_ > 0) {
                stage_ = Stage::data;
            } else if (packet_count_ > 0) {
                stage_ = Stage::packets;
            } else {
                return result::message;
            }
            break;
        }
        case Stage::data: {
            std::size_t take = std::min(data_len_ - have_, len - pos);
            if (take > 0) std::memcpy(message_.data.data() + have_, data + pos, take);
            have_ += take;
            pos += take;
            *used = pos;
            if (have_ < data_len_) return result::more;
            have_ = 0;
            if (packet_count_ == 0) {
                stage_ = Stage::header;
                return result::message;
            }
            stage_ = Stage::packets;
            break;
        }
        case Stage::packets: {
            std::size_t take = std::min(USBIP_ISO_DESC_SIZE - have_, len - pos);
            std::memcpy(desc_ + have_, data + pos, take);
            have_ += take;
            pos += take;
            *used = pos;
            if (have_ < USBIP_ISO_DESC_SIZE) return result::more;
            have_ = 0;
            message_.packets.push_back(usbip_decode_iso_packet(desc_));
            if (message_.packets.size() < packet_count_) break;
            stage_ = Stage::header;
            usbip_urb_error e = check_packets();
            if (e != usbip_urb_error::none) return fail(e);
            return result::message;
        }
        }
    }
}
