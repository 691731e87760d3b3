// Forwarding engine: claiming devices for forwarding, the libusb event
// threads, and the URB phase of one session (see usbip_forward.h for who
// runs what).
#include "usbip_forward.h"

#include <libusb.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "usbip_conn.h"
#include "usbip_enum.h"
#include "usbip_frame.h"
#include "usbip_protocol.h"

namespace {

constexpr int kPollMs = 250;          // a session looks at its stop flag at least this often
constexpr int kEventSliceMs = 200;    // an event thread looks at its own flag this often
constexpr int kCancelWaitMs = 5000;   // the end of a session waits this long for cancelled transfers
constexpr int kCloseGraceMs = 1000;   // what the caller's close may wait (a TLS close_notify)
constexpr std::size_t kReadChunk = 64 * 1024;

// ---------------------------------------------------------------------------
// Event threads: one per libusb context while devices of it are claimed.

struct EventLoop {
    libusb_context *ctx = nullptr;
    int users = 0;  // claimed devices of the context
    std::atomic<bool> running{false};
    std::thread thread;
};

// Guards g_loops. Held while a loop's thread starts or is joined, so that a
// claim never meets a loop that is half stopped; callbacks never take it.
std::mutex g_loops_mutex;
std::list<EventLoop> g_loops;

void event_loop_main(EventLoop *loop)
{
    while (loop->running.load()) {
        timeval tv{0, kEventSliceMs * 1000};
        libusb_handle_events_timeout_completed(loop->ctx, &tv, nullptr);
    }
}

std::list<EventLoop>::iterator find_loop_locked(libusb_context *ctx)
{
    return std::find_if(g_loops.begin(), g_loops.end(), [ctx](const EventLoop &l) { return l.ctx == ctx; });
}

bool acquire_events(libusb_context *ctx)
{
    std::lock_guard<std::mutex> lock(g_loops_mutex);
    auto it = find_loop_locked(ctx);
    if (it == g_loops.end()) {
        g_loops.emplace_back();
        it = std::prev(g_loops.end());
        it->ctx = ctx;
    }
    if (it->users++ > 0) return true;
    it->running = true;
    plat::pin_module();
    try {
        it->thread = std::thread(event_loop_main, &*it);
    } catch (const std::system_error &) {
        plat::unpin_module();
        g_loops.erase(it);
        return false;
    }
    return true;
}

void release_events(libusb_context *ctx)
{
    std::lock_guard<std::mutex> lock(g_loops_mutex);
    auto it = find_loop_locked(ctx);
    if (it == g_loops.end() || --it->users > 0) return;
    it->running = false;
    libusb_interrupt_event_handler(ctx);
    it->thread.join();
    plat::unpin_module();
    g_loops.erase(it);
}

// ---------------------------------------------------------------------------
// Devices that sessions of this process forward, for "busy".

struct ClaimKey {
    libusb_context *ctx;
    std::uint8_t bus;
    std::uint8_t address;
    bool operator==(const ClaimKey &o) const { return ctx == o.ctx && bus == o.bus && address == o.address; }
};

std::mutex g_claims_mutex;  // guards g_claims
std::vector<ClaimKey> g_claims;

// ---------------------------------------------------------------------------
// Statuses travel as Linux errno values.

std::int32_t transfer_status(int status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return 0;
    case LIBUSB_TRANSFER_TIMED_OUT: return -USBIP_ETIMEDOUT;
    case LIBUSB_TRANSFER_CANCELLED: return -USBIP_ECONNRESET;
    case LIBUSB_TRANSFER_STALL: return -USBIP_EPIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return -USBIP_ESHUTDOWN;
    case LIBUSB_TRANSFER_OVERFLOW: return -USBIP_EOVERFLOW;
    default: return -USBIP_EPROTO;
    }
}

std::int32_t error_status(int r)
{
    switch (r) {
    case LIBUSB_SUCCESS: return 0;
    case LIBUSB_ERROR_PIPE:
    case LIBUSB_ERROR_NOT_FOUND: return -USBIP_EPIPE;  // what the device does not have, it refuses
    case LIBUSB_ERROR_TIMEOUT: return -USBIP_ETIMEDOUT;
    case LIBUSB_ERROR_BUSY: return -USBIP_EBUSY;
    case LIBUSB_ERROR_NO_DEVICE: return -USBIP_ESHUTDOWN;
    case LIBUSB_ERROR_NO_MEM: return -USBIP_ENOMEM;
    case LIBUSB_ERROR_INVALID_PARAM:
    case LIBUSB_ERROR_NOT_SUPPORTED: return -USBIP_EINVAL;
    case LIBUSB_ERROR_OVERFLOW: return -USBIP_EOVERFLOW;
    default: return -USBIP_EIO;
    }
}

std::size_t endpoint_index(std::uint8_t address) { return (address & 0x0f) | ((address & 0x80) ? 16 : 0); }

// Options a session can live with: a limit of nothing would never read.
usbip_forward_options usable(usbip_forward_options o)
{
    o.max_in_flight = std::max(o.max_in_flight, 1);
    o.max_unsent = std::max<std::size_t>(o.max_unsent, 1);
    o.stall_ms = std::max(o.stall_ms, 1000);
    return o;
}

}  // namespace

// ---------------------------------------------------------------------------
// A claimed device. Used by its claimer, then by one session's thread.

class usbip_forward_device {
public:
    usbip_forward_device(libusb_context *ctx, const char *busid) : ctx_(ctx), busid_(busid)
    {
        std::fill(std::begin(ep_type_), std::end(ep_type_), kNone);
    }
    ~usbip_forward_device()
    {
        if (handle_ != nullptr) {
            release_all();
            for (int i : detached_) libusb_attach_kernel_driver(handle_, i);  // nothing more to do when it fails
            libusb_close(handle_);
        }
        if (reserved_) {
            std::lock_guard<std::mutex> lock(g_claims_mutex);
            g_claims.erase(std::find(g_claims.begin(), g_claims.end(), key_));
        }
        if (events_) release_events(ctx_);
    }
    usbip_forward_device(const usbip_forward_device &) = delete;
    usbip_forward_device &operator=(const usbip_forward_device &) = delete;

    // False when a session of this process forwards the device already.
    bool reserve(const ClaimKey &key)
    {
        std::lock_guard<std::mutex> lock(g_claims_mutex);
        if (std::find(g_claims.begin(), g_claims.end(), key) != g_claims.end()) return false;
        g_claims.push_back(key);
        key_ = key;
        reserved_ = true;
        return true;
    }
    int open(libusb_device *dev) { return libusb_open(dev, &handle_); }
    bool start_events() { return events_ = acquire_events(ctx_); }

    // Detaches the kernel drivers of the active configuration's interfaces
    // and claims them all. 0, or the libusb error with *failed the interface.
    int claim_active(int *failed)
    {
        libusb_config_descriptor *config = nullptr;
        int r = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
        if (r == LIBUSB_ERROR_NOT_FOUND) {  // unconfigured: nothing to claim, no endpoints
            map_endpoints();
            return 0;
        }
        if (r != 0) return r;
        for (int i = 0; i < config->bNumInterfaces && r == 0; ++i) {
            const libusb_interface &iface = config->interface[i];
            const int number = iface.num_altsetting > 0 ? iface.altsetting[0].bInterfaceNumber : i;
            *failed = number;
            // Platforms without kernel drivers to detach say "not supported".
            if (libusb_kernel_driver_active(handle_, number) == 1) {
                r = libusb_detach_kernel_driver(handle_, number);
                if (r == 0 && std::find(detached_.begin(), detached_.end(), number) == detached_.end())
                    detached_.push_back(number);
                if (r == LIBUSB_ERROR_NOT_FOUND) r = 0;  // it went meanwhile
                if (r != 0) break;
            }
            r = libusb_claim_interface(handle_, number);
            if (r == 0) claimed_.push_back(number);
        }
        libusb_free_config_descriptor(config);
        map_endpoints();
        return r;
    }

    // usbfs refuses a new configuration while any interface is held: let go
    // of them, change, and take the new configuration's interfaces (whose
    // drivers the kernel has just bound again).
    int set_configuration(int value)
    {
        release_all();
        int r = libusb_set_configuration(handle_, value == 0 ? -1 : value);
        std::fill(std::begin(alt_), std::end(alt_), 0);
        int failed = -1;
        int c = claim_active(&failed);
        return r != 0 ? r : c;
    }

    int set_interface(int interface, int alt)
    {
        int r = libusb_set_interface_alt_setting(handle_, interface, alt);
        if (r == 0 && interface >= 0 && interface < kMaxInterfaces) {
            alt_[interface] = static_cast<std::uint8_t>(alt);
            map_endpoints();
        }
        return r;
    }

    // The transfer type (LIBUSB_TRANSFER_TYPE_*) of an endpoint of the
    // current alternate settings; -1 for one the device does not have.
    int type_of(std::uint8_t address) const
    {
        std::uint8_t t = ep_type_[endpoint_index(address)];
        return t == kNone ? -1 : t;
    }

    libusb_device_handle *handle() const { return handle_; }
    libusb_context *ctx() const { return ctx_; }
    const std::string &busid() const { return busid_; }

private:
    static constexpr std::uint8_t kNone = 0xff;
    static constexpr int kMaxInterfaces = 32;

    void release_all()
    {
        for (int i : claimed_) libusb_release_interface(handle_, i);
        claimed_.clear();
    }

    void map_endpoints()
    {
        std::fill(std::begin(ep_type_), std::end(ep_type_), kNone);
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_active_config_descriptor(libusb_get_device(handle_), &config) != 0) return;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface &iface = config->interface[i];
            if (iface.num_altsetting <= 0) continue;
            const int number = iface.altsetting[0].bInterfaceNumber;
            const libusb_interface_descriptor *setting = &iface.altsetting[0];
            for (int a = 0; a < iface.num_altsetting; ++a)
                if (number < kMaxInterfaces && iface.altsetting[a].bAlternateSetting == alt_[number])
                    setting = &iface.altsetting[a];
            for (int e = 0; e < setting->bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = setting->endpoint[e];
                ep_type_[endpoint_index(ep.bEndpointAddress)] = ep.bmAttributes & 0x03;
            }
        }
        libusb_free_config_descriptor(config);
    }

    libusb_context *ctx_;
    std::string busid_;
    libusb_device_handle *handle_ = nullptr;
    ClaimKey key_{};
    bool reserved_ = false;
    bool events_ = false;
    std::vector<int> claimed_;   // interface numbers held now
    std::vector<int> detached_;  // interfaces whose kernel driver was detached
    std::uint8_t alt_[kMaxInterfaces] = {};
    std::uint8_t ep_type_[32];   // by endpoint_index()
};

void usbip_forward_device_free::operator()(usbip_forward_device *d) const { delete d; }

usbip_claim_result usbip_forward_claim(libusb_context *ctx, const usbip_device &record, usbip_forward_device_ptr *out)
{
    out->reset();
    const char *busid = record.busid;
    if (ctx == nullptr) {
        usbip_set_last_error("USB is not available");
        return usbip_claim_result::device_error;
    }
    // The very plugging that was recorded: its bus, its ports (the bus id)
    // and its address. Another device at the same ports since is not it.
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < n && found == nullptr; ++i) {
        if (libusb_get_bus_number(list[i]) != record.bus_number ||
            libusb_get_device_address(list[i]) != record.address)
            continue;
        char id[USBIP_BUSID_SIZE];
        usbip_enum_busid(list[i], id, sizeof id);
        if (std::strcmp(id, busid) == 0) found = libusb_ref_device(list[i]);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    if (found == nullptr) {
        usbip_set_last_error("Device '%s' not found", busid);
        return usbip_claim_result::not_found;
    }
    std::unique_ptr<libusb_device, void (*)(libusb_device *)> device(found, libusb_unref_device);
    usbip_forward_device_ptr dev(new usbip_forward_device(ctx, busid));
    if (!dev->reserve({ctx, libusb_get_bus_number(found), libusb_get_device_address(found)})) {
        usbip_set_last_error("Device '%s' is forwarded by another session", busid);
        return usbip_claim_result::busy;
    }
    int r = dev->open(found);
    if (r != 0) {
        usbip_set_last_error("Cannot open device '%s': %s", busid, libusb_error_name(r));
        return usbip_claim_result::device_error;
    }
    if (!dev->start_events()) {
        usbip_set_last_error("Failed to start the USB event thread");
        return usbip_claim_result::device_error;
    }
    int failed = -1;
    r = dev->claim_active(&failed);
    if (r != 0) {
        usbip_set_last_error("Cannot claim interface %d of device '%s': %s", failed, busid, libusb_error_name(r));
        return usbip_claim_result::device_error;
    }
    *out = std::move(dev);
    return usbip_claim_result::ok;
}

// ---------------------------------------------------------------------------
// Sessions

namespace {

class Session;

// One submitted URB: its libusb transfer and buffer, and what its reply
// needs from the command.
struct Urb {
    Session *session = nullptr;
    libusb_transfer *xfer = nullptr;
    std::vector<std::uint8_t> buffer;      // a control transfer's starts with the setup packet
    std::vector<usbip_iso_packet> packets;  // the client's descriptors
    std::uint32_t seqnum = 0;
    std::uint32_t direction = USBIP_DIR_OUT;
    std::uint32_t transfer_flags = 0;
    std::uint32_t number_of_packets = USBIP_NO_PACKETS;  // echoed in the reply
    std::int32_t requested = 0;
    bool unlinked = false;  // a CMD_UNLINK asked to cancel it
    std::uint32_t unlink_seqnum = 0;

    Urb() = default;
    ~Urb()
    {
        if (xfer != nullptr) libusb_free_transfer(xfer);
    }
    Urb(const Urb &) = delete;
    Urb &operator=(const Urb &) = delete;
};

void LIBUSB_CALL transfer_done(libusb_transfer *t);
int LIBUSB_CALL device_left(libusb_context *, libusb_device *device, libusb_hotplug_event, void *self);

class Session {
public:
    Session(usbip_conn *conn, usbip_forward_device_ptr device, const std::atomic<bool> &keep_running,
            const usbip_forward_options &options)
        : conn_(conn), device_(std::move(device)), keep_running_(keep_running), options_(usable(options)),
          reader_(usbip_urb_reader::for_server(options.limits)), in_(kReadChunk)
    {
    }

    usbip_forward_end run()
    {
        // Small replies go out at once, whoever made the connection.
        plat::set_nodelay(conn_->fd);
        plat::set_keepalive(conn_->fd, options_.keepalive_idle_s, options_.keepalive_interval_s,
                            options_.keepalive_count);
        if (!waker_.open()) {
            usbip_set_last_error("Failed to create a waker for the session");
            return usbip_forward_end::connection_failed;
        }
        // Where libusb sees devices leave, an unplugged idle device ends the
        // session at once; elsewhere its next transfer does.
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
            libusb_hotplug_register_callback(device_->ctx(), LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                             LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY,
                                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, device_left, this,
                                             &hotplug_) == LIBUSB_SUCCESS)
            hotplug_registered_ = true;
        last_input_ms_ = last_output_ms_ = plat::monotonic_ms();
        while (!ended_) step();
        return why_;
    }

    // Cancels every transfer and waits (bounded) for libusb to hand each
    // back. False when some never came back: libusb still owns them.
    bool finish()
    {
        if (hotplug_registered_) libusb_hotplug_deregister_callback(device_->ctx(), hotplug_);
        hotplug_registered_ = false;
        for (auto &entry : in_flight_) libusb_cancel_transfer(entry.second->xfer);
        const std::int64_t deadline = plat::monotonic_ms() + kCancelWaitMs;
        for (;;) {
            take_done();
            for (Urb *u : batch_) in_flight_.erase(u->seqnum);
            batch_.clear();
            std::int64_t left = deadline - plat::monotonic_ms();
            if (in_flight_.empty() || left <= 0) break;
            plat::wait_readable(waker_.wait_socket(), static_cast<int>(std::min<std::int64_t>(left, 100)));
            waker_.clear();
        }
        return in_flight_.empty();
    }

    // On the event thread. The signal goes under the lock: once the session
    // has taken the last transfer it may end, waker and all.
    void completed(Urb *u)
    {
        std::lock_guard<std::mutex> lock(done_mutex_);
        if (done_.empty()) waker_.signal();  // later ones find the session awake already
        done_.push_back(u);
    }

    // On the event thread.
    void left(libusb_device *device)
    {
        if (device != libusb_get_device(device_->handle())) return;
        device_gone_ = true;
        waker_.signal();
    }

private:
    void end(usbip_forward_end why)
    {
        if (ended_) return;
        ended_ = true;
        why_ = why;
    }

    void protocol_error(const char *fmt, ...) USBIP_PRINTF(2, 3)
    {
        char text[256];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        usbip_set_last_error("USB/IP URB phase on device '%s': %s", device_->busid().c_str(), text);
        end(usbip_forward_end::protocol_error);
    }

    void connection_ended()
    {
        if (!keep_running_) {
            end(usbip_forward_end::stopped);
        } else {
            usbip_set_last_error("Forwarding connection of device '%s' failed", device_->busid().c_str());
            end(usbip_forward_end::connection_failed);
        }
    }

    // One turn of the loop: replies out, commands in, then one bounded wait.
    void step()
    {
        if (!keep_running_) return end(usbip_forward_end::stopped);
        if (device_gone_) {
            usbip_set_last_error("Device '%s' is gone", device_->busid().c_str());
            return end(usbip_forward_end::device_gone);
        }
        collect();
        flush_output();
        parse_input();
        if (ended_) return;
        // Bytes taken already make room too: reading moves the rest to the front.
        const bool room = in_len_ - in_pos_ < in_.size();
        // TLS may hold decrypted bytes that no wait on the socket shows.
        if (room && usbip_conn_buffered(conn_) > 0) return read_input();

        plat::PollEntry e[2];
        e[0].s = conn_->fd;
        e[0].want_read = room;
        e[0].want_write = out_pos_ < out_.size();
        e[1].s = waker_.wait_socket();
        e[1].want_read = true;
        if (plat::poll_many(e, 2, kPollMs) < 0) return connection_ended();
        if (e[1].readable) waker_.clear();
        if (e[0].readable) read_input();
        if (ended_) return;

        const std::int64_t now = plat::monotonic_ms();
        if (out_pos_ < out_.size() && now - last_output_ms_ > options_.stall_ms) {
            usbip_set_last_error("Forwarding of device '%s': the peer takes no replies", device_->busid().c_str());
            return end(usbip_forward_end::connection_failed);
        }
        if (!reader_.between_messages() && in_pos_ == in_len_ && now - last_input_ms_ > options_.stall_ms) {
            usbip_set_last_error("Forwarding of device '%s': a command stopped halfway", device_->busid().c_str());
            return end(usbip_forward_end::connection_failed);
        }
    }

    bool can_accept() const
    {
        return in_flight_.size() < static_cast<std::size_t>(options_.max_in_flight) &&
               out_.size() - out_pos_ < options_.max_unsent;
    }

    void read_input()
    {
        if (in_pos_ > 0) {  // keep the unread bytes at the front
            std::memmove(in_.data(), in_.data() + in_pos_, in_len_ - in_pos_);
            in_len_ -= in_pos_;
            in_pos_ = 0;
        }
        plat::IoError err;
        long n = usbip_conn_recv_some(conn_, in_.data() + in_len_, in_.size() - in_len_, &err);
        if (n > 0) {
            in_len_ += static_cast<std::size_t>(n);
            last_input_ms_ = plat::monotonic_ms();
        } else if (err == plat::IoError::closed) {
            end(keep_running_ ? usbip_forward_end::peer_closed : usbip_forward_end::stopped);
        } else if (err != plat::IoError::would_block) {
            connection_ended();
        }
    }

    // Takes whole commands from the bytes read, as long as the limits let
    // more URBs start; the rest waits where it is.
    void parse_input()
    {
        while (in_pos_ < in_len_ && !ended_) {
            if (reader_.between_messages() && !can_accept()) return;
            std::size_t used = 0;
            auto r = reader_.feed(in_.data() + in_pos_, in_len_ - in_pos_, &used);
            in_pos_ += used;
            if (r == usbip_urb_reader::result::error)
                return protocol_error("%s", usbip_urb_error_text(reader_.error()));
            if (r == usbip_urb_reader::result::message) handle(reader_.message());
        }
        if (in_pos_ == in_len_) in_pos_ = in_len_ = 0;
    }

    void handle(usbip_urb_message &m)
    {
        const std::uint32_t seqnum = m.seqnum();
        if (in_flight_.count(seqnum) != 0) return protocol_error("sequence number %u is in flight already", seqnum);
        if (m.command == USBIP_CMD_SUBMIT) return submit(m);
        unlink(m.cmd_unlink);
    }

    std::unique_ptr<Urb> make_urb(const usbip_cmd_submit &c, int iso_packets)
    {
        auto u = std::make_unique<Urb>();
        u->xfer = libusb_alloc_transfer(iso_packets);
        if (u->xfer == nullptr) return nullptr;
        u->session = this;
        u->seqnum = c.base.seqnum;
        u->direction = c.base.direction;
        u->transfer_flags = c.transfer_flags;
        u->number_of_packets = c.number_of_packets;
        u->requested = c.transfer_buffer_length;
        return u;
    }

    void submit(usbip_urb_message &m)
    {
        const usbip_cmd_submit &c = m.cmd_submit;
        if (c.base.ep == 0) return submit_control(m);
        const bool in = c.base.direction == USBIP_DIR_IN;
        const std::uint8_t address = static_cast<std::uint8_t>(c.base.ep | (in ? 0x80 : 0));
        const int type = device_->type_of(address);
        if (type < 0) return answer_now(m, -USBIP_EPIPE);
        const bool iso = type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
        if (iso != usbip_has_packets(c.number_of_packets)) return answer_now(m, -USBIP_EINVAL);
        std::unique_ptr<Urb> u = make_urb(c, iso ? static_cast<int>(m.packets.size()) : 0);
        if (!u) return answer_now(m, -USBIP_ENOMEM);
        libusb_device_handle *h = device_->handle();
        const int length = c.transfer_buffer_length;
        if (iso) {
            // libusb lays the packets out back to back; the client's offsets
            // come back in the reply.
            std::size_t total = 0;
            for (const usbip_iso_packet &p : m.packets) total += p.length;
            u->buffer.resize(total);
            std::size_t at = 0;
            for (const usbip_iso_packet &p : m.packets) {
                if (!in && p.length > 0) std::memcpy(u->buffer.data() + at, m.data.data() + p.offset, p.length);
                at += p.length;
            }
            u->packets = std::move(m.packets);
            libusb_fill_iso_transfer(u->xfer, h, address, u->buffer.data(), static_cast<int>(total),
                                     static_cast<int>(u->packets.size()), transfer_done, u.get(), 0);
            for (std::size_t i = 0; i < u->packets.size(); ++i)
                u->xfer->iso_packet_desc[i].length = u->packets[i].length;
        } else {
            if (in) u->buffer.resize(static_cast<std::size_t>(length));
            else u->buffer = std::move(m.data);
            if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
                libusb_fill_interrupt_transfer(u->xfer, h, address, u->buffer.data(), length, transfer_done, u.get(), 0);
            else
                libusb_fill_bulk_transfer(u->xfer, h, address, u->buffer.data(), length, transfer_done, u.get(), 0);
            if (!in && (c.transfer_flags & USBIP_URB_ZERO_PACKET)) u->xfer->flags |= LIBUSB_TRANSFER_ADD_ZERO_PACKET;
        }
        start(std::move(u), m);
    }

    void submit_control(usbip_urb_message &m)
    {
        const usbip_cmd_submit &c = m.cmd_submit;
        const std::uint8_t *s = c.setup;
        const unsigned type = s[0], request = s[1];
        const unsigned value = s[2] | s[3] << 8, index = s[4] | s[5] << 8, length = s[6] | s[7] << 8;
        if (standard_request(m, type, request, value, index)) return;
        if (length != static_cast<unsigned>(c.transfer_buffer_length)) return answer_now(m, -USBIP_EINVAL);
        if (length > 0 && ((type & 0x80) != 0) != (c.base.direction == USBIP_DIR_IN))
            return answer_now(m, -USBIP_EINVAL);
        std::unique_ptr<Urb> u = make_urb(c, 0);
        if (!u) return answer_now(m, -USBIP_ENOMEM);
        u->buffer.resize(USBIP_SETUP_SIZE + length);
        std::memcpy(u->buffer.data(), s, USBIP_SETUP_SIZE);
        if (!(type & 0x80) && length > 0) std::memcpy(u->buffer.data() + USBIP_SETUP_SIZE, m.data.data(), length);
        libusb_fill_control_transfer(u->xfer, device_->handle(), u->buffer.data(), transfer_done, u.get(), 0);
        start(std::move(u), m);
    }

    // The standard requests that change the device's state go to the calls
    // that keep libusb's and the operating system's view right; a new
    // address concerns only the client's own bus.
    bool standard_request(usbip_urb_message &m, unsigned type, unsigned request, unsigned value, unsigned index)
    {
        int r;
        if (type == 0x00 && request == 5) {  // SET_ADDRESS
            r = 0;
        } else if (type == 0x00 && request == 9) {  // SET_CONFIGURATION
            r = device_->set_configuration(static_cast<int>(value & 0xff));
        } else if (type == 0x01 && request == 11) {  // SET_INTERFACE
            r = device_->set_interface(static_cast<int>(index), static_cast<int>(value));
        } else if (type == 0x02 && request == 1 && value == 0) {  // CLEAR_FEATURE(ENDPOINT_HALT)
            r = libusb_clear_halt(device_->handle(), static_cast<unsigned char>(index & 0xff));
        } else {
            return false;
        }
        if (r == LIBUSB_ERROR_NO_DEVICE) device_gone_ = true;
        answer_now(m, error_status(r));
        return true;
    }

    void start(std::unique_ptr<Urb> u, usbip_urb_message &m)
    {
        int r = libusb_submit_transfer(u->xfer);
        if (r != 0) {
            if (r == LIBUSB_ERROR_NO_DEVICE) device_gone_ = true;
            if (m.packets.empty()) m.packets = std::move(u->packets);  // an isochronous URB took them
            return answer_now(m, error_status(r));
        }
        const std::uint32_t seqnum = u->seqnum;
        in_flight_.emplace(seqnum, std::move(u));
    }

    void unlink(const usbip_cmd_unlink &c)
    {
        collect();  // the replies of URBs that completed before it go first
        auto it = in_flight_.find(c.unlink_seqnum);
        if (it == in_flight_.end()) return append_ret_unlink(c.base.seqnum, 0);  // answered already
        Urb *u = it->second.get();
        if (u->unlinked) return protocol_error("URB %u is being unlinked already", c.unlink_seqnum);
        u->unlinked = true;
        u->unlink_seqnum = c.base.seqnum;
        // When it has just completed, cancelling fails and its reply says so.
        libusb_cancel_transfer(u->xfer);
    }

    void take_done()
    {
        std::lock_guard<std::mutex> lock(done_mutex_);
        batch_.swap(done_);
    }

    // Answers the URBs libusb has handed back, in the order it did.
    void collect()
    {
        take_done();
        for (Urb *u : batch_) {
            answer(*u);
            in_flight_.erase(u->seqnum);
        }
        batch_.clear();
    }

    void append(const std::uint8_t *p, std::size_t n) { out_.insert(out_.end(), p, p + n); }

    void answer(Urb &u)
    {
        libusb_transfer *t = u.xfer;
        if (t->status == LIBUSB_TRANSFER_NO_DEVICE) device_gone_ = true;
        if (u.unlinked && t->status == LIBUSB_TRANSFER_CANCELLED)
            return append_ret_unlink(u.unlink_seqnum, -USBIP_ECONNRESET);  // and no RET_SUBMIT
        const bool in = u.direction == USBIP_DIR_IN;
        usbip_ret_submit r;
        r.base.seqnum = u.seqnum;
        r.status = transfer_status(t->status);
        r.number_of_packets = u.number_of_packets;
        const std::size_t header_at = out_.size();
        out_.resize(header_at + USBIP_URB_HEADER_SIZE);
        if (t->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
            // The IN data goes packed: each packet's actual bytes.
            std::size_t at = 0;
            for (std::size_t i = 0; i < u.packets.size(); ++i) {
                const libusb_iso_packet_descriptor &d = t->iso_packet_desc[i];
                usbip_iso_packet &p = u.packets[i];
                p.actual_length = d.actual_length;
                p.status = transfer_status(d.status);
                if (p.status != 0) ++r.error_count;
                if (in && d.actual_length > 0) append(u.buffer.data() + at, d.actual_length);
                r.actual_length += static_cast<std::int32_t>(d.actual_length);
                at += d.length;
            }
            usbip_append_iso_packets(out_, u.packets);
        } else {
            r.actual_length = t->actual_length;
            const std::size_t skip = t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? USBIP_SETUP_SIZE : 0;
            if (in && t->actual_length > 0) append(u.buffer.data() + skip, static_cast<std::size_t>(t->actual_length));
            if (in && r.status == 0 && (u.transfer_flags & USBIP_URB_SHORT_NOT_OK) && r.actual_length < u.requested)
                r.status = -USBIP_EREMOTEIO;
        }
        usbip_encode_ret_submit(out_.data() + header_at, r);
        if (u.unlinked) append_ret_unlink(u.unlink_seqnum, 0);  // it had completed
    }

    // The reply to a URB that never reached libusb: no data, and the
    // command's packets back untouched, as many as its number_of_packets
    // (which the reply repeats) announces.
    void answer_now(usbip_urb_message &m, std::int32_t status)
    {
        collect();  // completions that came first are answered first
        const usbip_cmd_submit &c = m.cmd_submit;
        usbip_ret_submit r;
        r.base.seqnum = c.base.seqnum;
        r.status = status;
        r.number_of_packets = c.number_of_packets;
        for (usbip_iso_packet &p : m.packets) {
            p.actual_length = 0;
            p.status = status;
        }
        r.error_count = status != 0 ? static_cast<std::int32_t>(m.packets.size()) : 0;
        std::uint8_t head[USBIP_URB_HEADER_SIZE];
        usbip_encode_ret_submit(head, r);
        append(head, sizeof head);
        usbip_append_iso_packets(out_, m.packets);
    }

    void append_ret_unlink(std::uint32_t seqnum, std::int32_t status)
    {
        usbip_ret_unlink r;
        r.base.seqnum = seqnum;
        r.status = status;
        std::uint8_t head[USBIP_URB_HEADER_SIZE];
        usbip_encode_ret_unlink(head, r);
        append(head, sizeof head);
    }

    // Writes as much as the connection takes now.
    void flush_output()
    {
        while (out_pos_ < out_.size()) {
            plat::IoError err;
            long n = usbip_conn_send_some(conn_, out_.data() + out_pos_, out_.size() - out_pos_, &err);
            if (n <= 0) {
                if (err != plat::IoError::would_block) connection_ended();
                break;
            }
            out_pos_ += static_cast<std::size_t>(n);
            last_output_ms_ = plat::monotonic_ms();
        }
        if (out_pos_ == out_.size()) {
            out_.clear();
            out_pos_ = 0;
            last_output_ms_ = plat::monotonic_ms();  // nothing waits: no stall
        } else if (out_pos_ >= kReadChunk && out_pos_ * 2 >= out_.size()) {
            out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(out_pos_));
            out_pos_ = 0;
        }
    }

    usbip_conn *conn_;
    usbip_forward_device_ptr device_;
    const std::atomic<bool> &keep_running_;
    const usbip_forward_options options_;
    plat::Waker waker_;  // made readable by completions and unplugs

    std::mutex done_mutex_;  // guards done_: the event thread adds, the session takes
    std::vector<Urb *> done_;
    std::atomic<bool> device_gone_{false};
    libusb_hotplug_callback_handle hotplug_ = 0;
    bool hotplug_registered_ = false;

    // Everything below belongs to the session's thread.
    std::vector<Urb *> batch_;
    std::unordered_map<std::uint32_t, std::unique_ptr<Urb>> in_flight_;  // by seqnum
    usbip_urb_reader reader_;
    std::vector<std::uint8_t> in_;  // bytes read, in_pos_..in_len_ not yet taken by the reader
    std::size_t in_pos_ = 0, in_len_ = 0;
    std::vector<std::uint8_t> out_;  // replies, from out_pos_ not yet taken by the connection
    std::size_t out_pos_ = 0;
    std::int64_t last_input_ms_ = 0, last_output_ms_ = 0;
    bool ended_ = false;
    usbip_forward_end why_ = usbip_forward_end::peer_closed;
};

void LIBUSB_CALL transfer_done(libusb_transfer *t)
{
    Urb *u = static_cast<Urb *>(t->user_data);
    u->session->completed(u);
}

int LIBUSB_CALL device_left(libusb_context *, libusb_device *device, libusb_hotplug_event, void *self)
{
    static_cast<Session *>(self)->left(device);
    return 0;  // stay registered: the session deregisters
}

}  // namespace

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

usbip_forward_end usbip_forward_run(usbip_conn *conn, usbip_forward_device_ptr device,
                                    const std::atomic<bool> &keep_running, const usbip_forward_options &options)
{
    if (conn == nullptr || conn->fd == plat::kNoSocket || !device) {
        usbip_set_last_error("Nothing to forward");
        return usbip_forward_end::connection_failed;
    }
    auto session = std::make_unique<Session>(conn, std::move(device), keep_running, options);
    usbip_forward_end why = session->run();
    // Closing sends a TLS close_notify, which waits until the deadline: a
    // peer that stopped reading must not hold the caller's close for ever.
    usbip_conn_set_deadline(conn, kCloseGraceMs);
    if (!session->finish()) {
        // libusb still owns transfers that point into the session and its
        // device: keep both for good rather than free memory it may write.
        usbip_set_last_error("Transfers of a forwarded device never completed after their cancellation");
        session.release();
    }
    return why;
}

int usbip_forward_event_threads()
{
    std::lock_guard<std::mutex> lock(g_loops_mutex);
    return static_cast<int>(g_loops.size());
}
