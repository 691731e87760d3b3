// The URB phase of a forwarded device, without I/O: commands read from
// bytes, transfers handed to a device, replies written to bytes, and the
// unlink bookkeeping between them (see usbip_forward_engine.h).
#include "usbip_forward_engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "usbip_frame.h"

// One URB the engine knows: the command as read, and the transfer made
// of it once it leaves the queue.
struct usbip_forward_engine::Urb : usbip_usb_transfer {
    usbip_cmd_submit command;
    usbip_urb_message message;  // while queued: the command's OUT data and packets
    std::size_t bytes = 0;      // what it counts against max_queued_bytes while queued
    bool at_device = false;
    bool unlinked = false;  // a CMD_UNLINK asked to cancel it
    std::uint32_t unlink_seqnum = 0;

    std::uint32_t seqnum() const { return command.base.seqnum; }
    bool in() const { return command.base.direction == USBIP_DIR_IN; }
};

const char *usbip_forward_end_text(usbip_forward_end e)
{
    switch (e) {
    case usbip_forward_end::peer_closed: return "peer closed";
    case usbip_forward_end::stopped: return "stopped";
    case usbip_forward_end::device_gone: return "device gone";
    case usbip_forward_end::protocol_error: return "protocol error";
    case usbip_forward_end::connection_failed: return "connection failed";
    }
    return "unknown";
}

namespace {

// Limits an engine can live with: a limit of nothing would never read.
usbip_forward_engine_options usable(usbip_forward_engine_options o)
{
    o.max_in_flight = std::max(o.max_in_flight, 1);
    o.max_queued = std::max<std::size_t>(o.max_queued, 1);
    o.max_queued_bytes = std::max<std::size_t>(o.max_queued_bytes, 1);
    o.max_unsent = std::max<std::size_t>(o.max_unsent, 1);
    return o;
}

}  // namespace

usbip_forward_engine::usbip_forward_engine(usbip_usb_device &device, const usbip_forward_engine_options &options)
    : device_(device), options_(usable(options)), reader_(usbip_urb_reader::for_server(options.limits))
{
}

usbip_forward_engine::~usbip_forward_engine() = default;

bool usbip_forward_engine::want_read() const
{
    return running() && queue_.size() < options_.max_queued && queued_bytes_ < options_.max_queued_bytes &&
           output_size() < options_.max_unsent;
}

std::size_t usbip_forward_engine::receive(const std::uint8_t *data, std::size_t len)
{
    std::size_t taken = 0;
    while (taken < len && want_read()) {
        std::size_t used = 0;
        auto r = reader_.feed(data + taken, len - taken, &used);
        taken += used;
        if (r == usbip_urb_reader::result::error) {
            fail(usbip_forward_end::protocol_error, "%s", usbip_urb_error_text(reader_.error()));
            break;
        }
        if (r == usbip_urb_reader::result::message) handle(reader_.message());
    }
    return taken;
}

void usbip_forward_engine::end_input()
{
    if (input_ended_) return;
    input_ended_ = true;
    // Nobody will read their replies: what waits never starts.
    while (!queue_.empty()) forget(*queue_.front());
}

void usbip_forward_engine::consume(std::size_t n)
{
    out_pos_ += std::min(n, output_size());
    if (out_pos_ == out_.size()) {
        out_.clear();
        out_pos_ = 0;
    } else if (out_pos_ >= (std::size_t{64} << 10) && out_pos_ * 2 >= out_.size()) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_pos_));
        out_pos_ = 0;
    }
    start_queued();  // room for replies lets URBs start
}

void usbip_forward_engine::complete(usbip_usb_transfer &t)
{
    Urb &u = static_cast<Urb &>(t);
    u.at_device = false;
    --in_flight_;
    if (u.status == -USBIP_ESHUTDOWN) device_gone();
    if (running()) answer(u);
    forget(u);
    start_queued();
}

void usbip_forward_engine::device_gone()
{
    fail(usbip_forward_end::device_gone, nullptr);
}

void usbip_forward_engine::cancel_all()
{
    while (!queue_.empty()) forget(*queue_.front());
    for (auto &entry : urbs_) device_.cancel(*entry.second);
}

void usbip_forward_engine::fail(usbip_forward_end why, const char *fmt, ...)
{
    if (failed_) return;
    failed_ = true;
    failure_ = why;
    char text[512];
    if (why == usbip_forward_end::device_gone) {
        std::snprintf(text, sizeof text, "Device '%s' is gone", options_.name.c_str());
    } else {
        char detail[256];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(detail, sizeof detail, fmt, ap);
        va_end(ap);
        std::snprintf(text, sizeof text, "USB/IP URB phase on device '%s': %s", options_.name.c_str(), detail);
    }
    error_ = text;
    // Nothing more is answered; what waits never starts.
    while (!queue_.empty()) forget(*queue_.front());
}

// Drops a URB that is not at the device.
void usbip_forward_engine::forget(Urb &u)
{
    if (!u.at_device && u.bytes > 0) {
        auto it = std::find(queue_.begin(), queue_.end(), &u);
        if (it != queue_.end()) {
            queue_.erase(it);
            queued_bytes_ -= u.bytes;
        }
    }
    urbs_.erase(u.seqnum());
}

// ---------------------------------------------------------------------------
// Commands

void usbip_forward_engine::handle(usbip_urb_message &m)
{
    const usbip_urb_basic &base = m.command == USBIP_CMD_SUBMIT ? m.cmd_submit.base : m.cmd_unlink.base;
    if (base.devid != options_.devid)
        return fail(usbip_forward_end::protocol_error, "a command for device 0x%08x, not the imported 0x%08x",
                    base.devid, options_.devid);
    if (urbs_.count(base.seqnum) != 0)
        return fail(usbip_forward_end::protocol_error, "sequence number %u is in flight already", base.seqnum);
    if (m.command == USBIP_CMD_UNLINK) return unlink(m.cmd_unlink);
    if (options_.urbs != nullptr) options_.urbs->fetch_add(1, std::memory_order_relaxed);
    auto u = std::make_unique<Urb>();
    u->command = m.cmd_submit;
    u->message.data = std::move(m.data);
    u->message.packets = std::move(m.packets);
    // A URB that waits costs its bytes and its bookkeeping.
    u->bytes = USBIP_URB_HEADER_SIZE + u->message.data.size() + u->message.packets.size() * USBIP_ISO_DESC_SIZE;
    queue_.push_back(u.get());
    queued_bytes_ += u->bytes;
    urbs_.emplace(base.seqnum, std::move(u));
    start_queued();
}

void usbip_forward_engine::unlink(const usbip_cmd_unlink &c)
{
    auto it = urbs_.find(c.unlink_seqnum);
    if (it == urbs_.end()) return append_ret_unlink(c.base.seqnum, 0);  // answered already
    Urb &u = *it->second;
    if (u.unlinked) return fail(usbip_forward_end::protocol_error, "URB %u is being unlinked already", c.unlink_seqnum);
    if (!u.at_device) {
        // It never started: cancelled as it stands, with no RET_SUBMIT.
        forget(u);
        return append_ret_unlink(c.base.seqnum, -USBIP_ECONNRESET);
    }
    u.unlinked = true;
    u.unlink_seqnum = c.base.seqnum;
    // When it has just finished, cancelling does nothing and its reply says so.
    device_.cancel(u);
}

// Starts URBs in order while the limits let them.
void usbip_forward_engine::start_queued()
{
    while (!queue_.empty() && running() && in_flight_ < static_cast<std::size_t>(options_.max_in_flight) &&
           output_size() < options_.max_unsent) {
        Urb &u = *queue_.front();
        queue_.pop_front();
        queued_bytes_ -= u.bytes;
        u.bytes = 0;
        start(u);
    }
}

void usbip_forward_engine::start(Urb &u)
{
    u.packets = std::move(u.message.packets);
    // A URB answered at once is forgotten there: gone when this is false.
    if (!(u.command.base.ep == 0 ? submit_control(u) : submit_data(u))) return;
    u.message = usbip_urb_message{};  // its OUT data lives in the buffer now
    u.at_device = true;
    ++in_flight_;
}

bool usbip_forward_engine::submit_data(Urb &u)
{
    const usbip_cmd_submit &c = u.command;
    const bool in = u.in();
    u.endpoint = static_cast<std::uint8_t>(c.base.ep | (in ? 0x80 : 0));
    const int type = device_.endpoint_type(u.endpoint);
    if (type < 0 || type > 3) {
        answer_now(u, -USBIP_EPIPE);
        return false;
    }
    u.type = static_cast<usbip_transfer_type>(type);
    const bool iso = u.type == usbip_transfer_type::isochronous;
    if (iso != usbip_has_packets(c.number_of_packets) || u.type == usbip_transfer_type::control) {
        answer_now(u, -USBIP_EINVAL);
        return false;
    }
    if (iso) {
        // The device takes the packets back to back; the client's offsets
        // come back in the reply.
        std::size_t total = 0;
        for (const usbip_iso_packet &p : u.packets) total += p.length;
        u.buffer.resize(total);
        std::size_t at = 0;
        for (const usbip_iso_packet &p : u.packets) {
            if (!in && p.length > 0) std::memcpy(u.buffer.data() + at, u.message.data.data() + p.offset, p.length);
            at += p.length;
        }
    } else if (in) {
        u.buffer.resize(static_cast<std::size_t>(c.transfer_buffer_length));
    } else {
        u.buffer = std::move(u.message.data);
        u.zero_packet = (c.transfer_flags & USBIP_URB_ZERO_PACKET) != 0;
    }
    std::int32_t r = device_.submit(u);
    if (r != 0) {
        if (r == -USBIP_ESHUTDOWN) device_gone();
        answer_now(u, r);
        return false;
    }
    return true;
}

bool usbip_forward_engine::submit_control(Urb &u)
{
    const usbip_cmd_submit &c = u.command;
    const std::uint8_t *s = c.setup;
    const unsigned type = s[0];
    const unsigned length = s[6] | s[7] << 8;
    u.type = usbip_transfer_type::control;
    u.endpoint = 0;
    if (standard_request(u)) return false;
    if (length != static_cast<unsigned>(c.transfer_buffer_length) ||
        (length > 0 && ((type & 0x80) != 0) != u.in())) {
        answer_now(u, -USBIP_EINVAL);
        return false;
    }
    u.buffer.resize(USBIP_SETUP_SIZE + length);
    std::memcpy(u.buffer.data(), s, USBIP_SETUP_SIZE);
    if (!(type & 0x80) && length > 0) std::memcpy(u.buffer.data() + USBIP_SETUP_SIZE, u.message.data.data(), length);
    std::int32_t r = device_.submit(u);
    if (r != 0) {
        if (r == -USBIP_ESHUTDOWN) device_gone();
        answer_now(u, r);
        return false;
    }
    return true;
}

// The standard requests that change the device's state go to the calls
// that keep the device's and the operating system's view right; a new
// address concerns only the client's own bus. True when answered.
bool usbip_forward_engine::standard_request(Urb &u)
{
    const std::uint8_t *s = u.command.setup;
    const unsigned type = s[0], request = s[1];
    const unsigned value = s[2] | s[3] << 8, index = s[4] | s[5] << 8;
    std::int32_t r;
    if (type == 0x00 && request == 5) {  // SET_ADDRESS
        r = 0;
    } else if (type == 0x00 && request == 9) {  // SET_CONFIGURATION
        r = device_.set_configuration(static_cast<int>(value & 0xff));
    } else if (type == 0x01 && request == 11) {  // SET_INTERFACE
        r = device_.set_interface(static_cast<int>(index), static_cast<int>(value));
    } else if (type == 0x02 && request == 1 && value == 0) {  // CLEAR_FEATURE(ENDPOINT_HALT)
        r = device_.clear_halt(static_cast<std::uint8_t>(index & 0xff));
    } else {
        return false;
    }
    if (r == -USBIP_ESHUTDOWN) device_gone();
    answer_now(u, r);
    return true;
}

// ---------------------------------------------------------------------------
// Replies

void usbip_forward_engine::answer(Urb &u)
{
    if (u.unlinked && u.status == -USBIP_ECONNRESET)
        return append_ret_unlink(u.unlink_seqnum, -USBIP_ECONNRESET);  // and no RET_SUBMIT
    const bool in = u.in();
    usbip_ret_submit r;
    r.base.seqnum = u.seqnum();
    r.status = u.status;
    r.number_of_packets = u.command.number_of_packets;
    const std::size_t header_at = out_.size();
    out_.resize(header_at + USBIP_URB_HEADER_SIZE);
    if (u.type == usbip_transfer_type::isochronous) {
        // The IN data goes packed: each packet's actual bytes.
        std::size_t at = 0;
        for (usbip_iso_packet &p : u.packets) {
            p.actual_length = std::min(p.actual_length, p.length);
            if (p.status != 0) ++r.error_count;
            if (in && p.actual_length > 0 && at + p.actual_length <= u.buffer.size())
                append(u.buffer.data() + at, p.actual_length);
            r.actual_length += static_cast<std::int32_t>(p.actual_length);
            at += p.length;
        }
        usbip_append_iso_packets(out_, u.packets);
    } else {
        const std::size_t skip = u.type == usbip_transfer_type::control ? USBIP_SETUP_SIZE : 0;
        const std::size_t room = u.buffer.size() > skip ? u.buffer.size() - skip : 0;
        const std::size_t actual = static_cast<std::size_t>(std::max(u.actual_length, 0));
        r.actual_length = static_cast<std::int32_t>(std::min(actual, room));
        if (in && r.actual_length > 0) append(u.buffer.data() + skip, static_cast<std::size_t>(r.actual_length));
        if (in && r.status == 0 && (u.command.transfer_flags & USBIP_URB_SHORT_NOT_OK) &&
            r.actual_length < u.command.transfer_buffer_length)
            r.status = -USBIP_EREMOTEIO;
    }
    usbip_encode_ret_submit(out_.data() + header_at, r);
    if (u.unlinked) append_ret_unlink(u.unlink_seqnum, 0);  // it had finished
}

// The reply to a URB that never reached the device: no data, and the
// command's packets back untouched, as many as its number_of_packets (which
// the reply repeats) announces.
void usbip_forward_engine::answer_now(Urb &u, std::int32_t status)
{
    usbip_ret_submit r;
    r.base.seqnum = u.seqnum();
    r.status = status;
    r.number_of_packets = u.command.number_of_packets;
    for (usbip_iso_packet &p : u.packets) {
        p.actual_length = 0;
        p.status = status;
    }
    r.error_count = status != 0 ? static_cast<std::int32_t>(u.packets.size()) : 0;
    if (running()) {
        std::uint8_t head[USBIP_URB_HEADER_SIZE];
        usbip_encode_ret_submit(head, r);
        append(head, sizeof head);
        usbip_append_iso_packets(out_, u.packets);
    }
    forget(u);
}

void usbip_forward_engine::append_ret_unlink(std::uint32_t seqnum, std::int32_t status)
{
    usbip_ret_unlink r;
    r.base.seqnum = seqnum;
    r.status = status;
    std::uint8_t head[USBIP_URB_HEADER_SIZE];
    usbip_encode_ret_unlink(head, r);
    append(head, sizeof head);
}
