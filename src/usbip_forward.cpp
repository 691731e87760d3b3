// Forwarding over libusb: claiming devices, the libusb event threads, the
// device the engine drives, and a session that pumps bytes between the
// connection and the engine (see usbip_forward.h for who runs what).
#include "usbip_forward.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "usbip_conn.h"
#include "usbip_enum.h"
#include "usbip_frame.h"
#include "usbip_protocol.h"
#include "usbip_pump.h"

namespace {

constexpr int kEventSliceMs = 200;   // an event thread looks at its own flag this often
constexpr int kCancelWaitMs = 5000;  // the end of a session waits this long for cancelled transfers
constexpr int kCloseGraceMs = 1000;  // what the caller's close may wait (a TLS close_notify)

// ---------------------------------------------------------------------------
// Module state, allocated once and never destroyed: sessions and event
// threads may still run when a host exits without cleanup.

// One event thread per libusb context while devices of it are claimed.
struct EventLoop {
    libusb_context *ctx = nullptr;
    int users = 0;  // claimed devices of the context
    std::atomic<bool> running{false};
    std::thread thread;
};

// A device that a session of this process forwards, for "busy".
struct ClaimKey {
    libusb_context *ctx;
    std::uint8_t bus;
    std::uint8_t address;
    bool operator==(const ClaimKey &o) const { return ctx == o.ctx && bus == o.bus && address == o.address; }
};

struct ForwardState {
    // Guards loops. Held while a loop's thread starts or is joined, so that
    // a claim never meets a loop that is half stopped; callbacks never take
    // it. Taken after the inventory lock (usbip_forward_context_idle).
    std::mutex loops_mutex;
    std::list<EventLoop> loops;
    std::mutex claims_mutex;  // guards claims
    std::vector<ClaimKey> claims;
};

ForwardState &state()
{
    static ForwardState *s = new ForwardState();
    return *s;
}

void event_loop_main(EventLoop *loop)
{
    while (loop->running.load()) {
        timeval tv{0, kEventSliceMs * 1000};
        libusb_handle_events_timeout_completed(loop->ctx, &tv, nullptr);
    }
}

std::list<EventLoop>::iterator find_loop_locked(libusb_context *ctx)
{
    auto &loops = state().loops;
    return std::find_if(loops.begin(), loops.end(), [ctx](const EventLoop &l) { return l.ctx == ctx; });
}

bool acquire_events(libusb_context *ctx)
{
    ForwardState &g = state();
    std::lock_guard<std::mutex> lock(g.loops_mutex);
    auto it = find_loop_locked(ctx);
    if (it == g.loops.end()) {
        g.loops.emplace_back();
        it = std::prev(g.loops.end());
        it->ctx = ctx;
    }
    if (it->users++ > 0) return true;
    it->running = true;
    plat::pin_module();
    try {
        it->thread = std::thread(event_loop_main, &*it);
    } catch (const std::system_error &) {
        plat::unpin_module();
        g.loops.erase(it);
        return false;
    }
    return true;
}

void release_events(libusb_context *ctx)
{
    ForwardState &g = state();
    std::lock_guard<std::mutex> lock(g.loops_mutex);
    auto it = find_loop_locked(ctx);
    if (it == g.loops.end() || --it->users > 0) return;
    it->running = false;
    libusb_interrupt_event_handler(ctx);
    it->thread.join();
    plat::unpin_module();
    g.loops.erase(it);
}

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

}  // namespace

// ---------------------------------------------------------------------------
// A claimed device: used by its claimer, then by one session's thread,
// except for the completion queue, which libusb's event thread fills.

class usbip_forward_device final : public usbip_usb_device {
public:
    usbip_forward_device(libusb_context *ctx, const char *busid) : ctx_(ctx), busid_(busid)
    {
        std::fill(std::begin(ep_type_), std::end(ep_type_), kNone);
    }
    ~usbip_forward_device() override
    {
        unwatch();
        if (handle_ != nullptr) {
            release_all();
            for (int i : detached_) libusb_attach_kernel_driver(handle_, i);  // nothing more to do when it fails
            libusb_close(handle_);
        }
        if (reserved_) {
            ForwardState &g = state();
            std::lock_guard<std::mutex> lock(g.claims_mutex);
            g.claims.erase(std::find(g.claims.begin(), g.claims.end(), key_));
        }
        if (events_) release_events(ctx_);
    }
    usbip_forward_device(const usbip_forward_device &) = delete;
    usbip_forward_device &operator=(const usbip_forward_device &) = delete;

    // False when a session of this process forwards the device already.
    bool reserve(const ClaimKey &key)
    {
        ForwardState &g = state();
        std::lock_guard<std::mutex> lock(g.claims_mutex);
        if (std::find(g.claims.begin(), g.claims.end(), key) != g.claims.end()) return false;
        g.claims.push_back(key);
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

    // --- What the engine asks for

    std::int32_t submit(usbip_usb_transfer &t) override
    {
        const bool iso = t.type == usbip_transfer_type::isochronous;
        libusb_transfer *x = libusb_alloc_transfer(iso ? static_cast<int>(t.packets.size()) : 0);
        auto *p = x != nullptr ? new (std::nothrow) Pending{this, &t, x} : nullptr;
        if (p == nullptr) {
            if (x != nullptr) libusb_free_transfer(x);
            return -USBIP_ENOMEM;
        }
        const int length = static_cast<int>(t.buffer.size());
        switch (t.type) {
        case usbip_transfer_type::control:
            libusb_fill_control_transfer(x, handle_, t.buffer.data(), transfer_done, p, 0);
            break;
        case usbip_transfer_type::isochronous:
            libusb_fill_iso_transfer(x, handle_, t.endpoint, t.buffer.data(), length, static_cast<int>(t.packets.size()),
                                     transfer_done, p, 0);
            for (std::size_t i = 0; i < t.packets.size(); ++i) x->iso_packet_desc[i].length = t.packets[i].length;
            break;
        case usbip_transfer_type::interrupt:
            libusb_fill_interrupt_transfer(x, handle_, t.endpoint, t.buffer.data(), length, transfer_done, p, 0);
            break;
        case usbip_transfer_type::bulk:
            libusb_fill_bulk_transfer(x, handle_, t.endpoint, t.buffer.data(), length, transfer_done, p, 0);
            break;
        }
        if (t.zero_packet) x->flags |= LIBUSB_TRANSFER_ADD_ZERO_PACKET;
        t.device_data = p;
        int r = libusb_submit_transfer(x);
        if (r != 0) {
            t.device_data = nullptr;
            delete p;
            libusb_free_transfer(x);
            return error_status(r);
        }
        return 0;
    }

    // When it has finished meanwhile, libusb says so and nothing happens:
    // the transfer stays allocated until the engine has it back.
    void cancel(usbip_usb_transfer &t) override
    {
        if (t.device_data != nullptr) libusb_cancel_transfer(static_cast<Pending *>(t.device_data)->x);
    }

    // usbfs refuses a new configuration while any interface is held: let go
    // of them, change, and take the new configuration's interfaces (whose
    // drivers the kernel has just bound again).
    std::int32_t set_configuration(int value) override
    {
        release_all();
        int r = libusb_set_configuration(handle_, value == 0 ? -1 : value);
        std::fill(std::begin(alt_), std::end(alt_), 0);
        int failed = -1;
        int c = claim_active(&failed);
        return error_status(r != 0 ? r : c);
    }

    std::int32_t set_interface(int interface, int alt) override
    {
        int r = libusb_set_interface_alt_setting(handle_, interface, alt);
        if (r == 0 && interface >= 0 && interface < kMaxInterfaces) {
            alt_[interface] = static_cast<std::uint8_t>(alt);
            map_endpoints();
        }
        return error_status(r);
    }

    std::int32_t clear_halt(std::uint8_t endpoint) override { return error_status(libusb_clear_halt(handle_, endpoint)); }

    int endpoint_type(std::uint8_t address) const override
    {
        std::uint8_t t = ep_type_[endpoint_index(address)];
        return t == kNone ? -1 : t;
    }

    // --- The session's side

    // Opens the waker and, where libusb sees devices leave, watches for
    // this one's unplug. False (with the thread's message) without a waker.
    bool watch()
    {
        if (!waker_.open()) {
            usbip_set_last_error(USBIP_ERROR_SYSTEM, "Failed to create a waker for the session");
            return false;
        }
        // Where libusb sees devices leave, an unplugged idle device ends the
        // session at once; elsewhere its next transfer does.
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
            libusb_hotplug_register_callback(ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                             LIBUSB_HOTPLUG_MATCH_ANY, device_left, this,
                                             &hotplug_) == LIBUSB_SUCCESS)
            hotplug_registered_ = true;
        return true;
    }
    void unwatch()
    {
        if (hotplug_registered_) libusb_hotplug_deregister_callback(ctx_, hotplug_);
        hotplug_registered_ = false;
    }
    plat::socket_t wait_socket() const { return waker_.wait_socket(); }
    // Before a look that may end in a wait on wait_socket(): whatever
    // finishes after it signals again.
    void clear_wake() { waker_.clear(); }
    bool gone() const { return gone_; }

    // Hands the transfers libusb has finished to `engine`, in the order in
    // which they finished. Each libusb transfer is freed here, on the
    // engine's thread, never in the callback: the engine may still cancel
    // a transfer that has finished and not yet come back.
    void deliver(usbip_forward_engine &engine)
    {
        {
            std::lock_guard<std::mutex> lock(done_mutex_);
            if (done_.empty()) return;
            batch_.swap(done_);
        }
        for (usbip_usb_transfer *t : batch_) {
            auto *p = static_cast<Pending *>(t->device_data);
            t->device_data = nullptr;
            libusb_free_transfer(p->x);
            delete p;
            engine.complete(*t);
        }
        batch_.clear();
    }

    libusb_device_handle *handle() const { return handle_; }
    const std::string &busid() const { return busid_; }

private:
    static constexpr std::uint8_t kNone = 0xff;
    static constexpr int kMaxInterfaces = 32;

    // A transfer at libusb: what its callback needs.
    struct Pending {
        usbip_forward_device *device;
        usbip_usb_transfer *t;
        libusb_transfer *x;
    };

    // On the event thread: the results go into the engine's transfer, which
    // nobody else touches until it is delivered. The signal goes under the
    // lock: once the session has taken the last transfer it may end, waker
    // and all.
    static void LIBUSB_CALL transfer_done(libusb_transfer *x)
    {
        auto *p = static_cast<Pending *>(x->user_data);
        usbip_usb_transfer &t = *p->t;
        t.status = transfer_status(x->status);
        t.actual_length = x->actual_length;
        for (std::size_t i = 0; i < t.packets.size() && i < static_cast<std::size_t>(x->num_iso_packets); ++i) {
            t.packets[i].actual_length = x->iso_packet_desc[i].actual_length;
            t.packets[i].status = transfer_status(x->iso_packet_desc[i].status);
        }
        usbip_forward_device *d = p->device;
        std::lock_guard<std::mutex> lock(d->done_mutex_);
        if (d->done_.empty()) d->waker_.signal();  // later ones find the session awake already
        d->done_.push_back(&t);
    }

    // On the event thread.
    static int LIBUSB_CALL device_left(libusb_context *, libusb_device *device, libusb_hotplug_event, void *self)
    {
        auto *d = static_cast<usbip_forward_device *>(self);
        if (device == libusb_get_device(d->handle_)) {
            d->gone_ = true;
            d->waker_.signal();
        }
        return 0;  // stay registered: the session deregisters
    }

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

    plat::Waker waker_;  // made readable by finished transfers and an unplug
    std::mutex done_mutex_;  // guards done_: the event thread adds, the session takes
    std::vector<usbip_usb_transfer *> done_;
    std::vector<usbip_usb_transfer *> batch_;  // the session's
    std::atomic<bool> gone_{false};
    libusb_hotplug_callback_handle hotplug_ = 0;
    bool hotplug_registered_ = false;
};

void usbip_forward_device_free::operator()(usbip_forward_device *d) const { delete d; }

usbip_claim_result usbip_forward_claim(libusb_context *ctx, const usbip_device &record, usbip_forward_device_ptr *out)
{
    out->reset();
    const char *busid = record.busid;
    if (ctx == nullptr) {
        usbip_set_last_error(USBIP_ERROR_DEVICE, "USB is not available");
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
        usbip_set_last_error(USBIP_ERROR_NOT_FOUND, "Device '%s' not found", busid);
        return usbip_claim_result::not_found;
    }
    std::unique_ptr<libusb_device, void (*)(libusb_device *)> device(found, libusb_unref_device);
    // A hub's ports are this host's business: its children are shared one by one.
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(found, &desc) == 0 && desc.bDeviceClass == LIBUSB_CLASS_HUB) {
        usbip_set_last_error(USBIP_ERROR_DEVICE, "Device '%s' is a hub, which is never forwarded", busid);
        return usbip_claim_result::device_error;
    }
    usbip_forward_device_ptr dev(new usbip_forward_device(ctx, busid));
    if (!dev->reserve({ctx, libusb_get_bus_number(found), libusb_get_device_address(found)})) {
        usbip_set_last_error(USBIP_ERROR_BUSY, "Device '%s' is forwarded by another session", busid);
        return usbip_claim_result::busy;
    }
    int r = dev->open(found);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_DEVICE, "Cannot open device '%s': %s", busid, libusb_error_name(r));
        return usbip_claim_result::device_error;
    }
    if (!dev->start_events()) {
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "Failed to start the USB event thread");
        return usbip_claim_result::device_error;
    }
    int failed = -1;
    r = dev->claim_active(&failed);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_DEVICE, "Cannot claim interface %d of device '%s': %s", failed, busid, libusb_error_name(r));
        return usbip_claim_result::device_error;
    }
    *out = std::move(dev);
    return usbip_claim_result::ok;
}

// ---------------------------------------------------------------------------
// Sessions

namespace {

// The connection as the first end of a session's pump, noting whether the
// client takes the replies: while it does not, a command it has not
// finished is no stall of its own (its sending may wait on ours).
class ClientEnd final : public usbip_pump_end {
public:
    explicit ClientEnd(usbip_conn &conn) : conn_(conn) {}
    long recv_some(void *data, std::size_t len, plat::IoError *err) override
    {
        return conn_.recv_some(data, len, err);
    }
    long send_some(const void *data, std::size_t len, plat::IoError *err) override
    {
        long n = conn_.send_some(data, len, err);
        blocked_ = n < 0 && *err == plat::IoError::would_block;
        return n;
    }
    bool shutdown_send(plat::IoError *err) override { return conn_.shutdown_send(err); }
    plat::socket_t wait_socket() const override { return conn_.wait_socket(); }
    bool wants_write() const override { return conn_.wants_write(); }
    std::size_t pending() const override { return conn_.pending(); }

    // The last reply bytes offered to the client could not go.
    bool blocked() const { return blocked_; }

private:
    usbip_conn_end conn_;
    bool blocked_ = false;
};

// The engine as the second end of a session's pump: command bytes go in
// through send_some(), replies come out through recv_some(), and its wait
// socket is the device's waker. Every attempt first hands the engine what
// the device has finished, so that replies keep their order.
class EngineEnd final : public usbip_pump_end {
public:
    EngineEnd(usbip_forward_device &device, usbip_forward_engine &engine, const ClientEnd &client, int stall_ms)
        : device_(device), engine_(engine), client_(client), stall_ms_(stall_ms),
          last_input_ms_(plat::monotonic_ms())
    {
    }

    long recv_some(void *data, std::size_t len, plat::IoError *err) override
    {
        for (int look = 0; look < 2; ++look) {
            if (!update(err)) return -1;
            if (engine_.output_size() > 0) {
                std::size_t n = std::min(len, engine_.output_size());
                std::memcpy(data, engine_.output(), n);
                engine_.consume(n);
                return static_cast<long>(n);
            }
            if (engine_.output_ended()) {
                *err = plat::IoError::closed;
                return 0;
            }
            device_.clear_wake();  // then one more look: nothing that finishes later is missed
        }
        *err = plat::IoError::would_block;
        return -1;
    }

    long send_some(const void *data, std::size_t len, plat::IoError *err) override
    {
        for (int look = 0; look < 2; ++look) {
            if (!update(err)) return -1;
            std::size_t n = engine_.receive(static_cast<const std::uint8_t *>(data), len);
            if (engine_.failed()) {
                *err = plat::IoError::failed;
                return -1;
            }
            if (n > 0) {
                last_input_ms_ = plat::monotonic_ms();
                refusing_ = false;
                return static_cast<long>(n);
            }
            device_.clear_wake();
        }
        // URBs must finish, or replies be taken, first.
        refusing_ = true;
        *err = plat::IoError::would_block;
        return -1;
    }

    bool shutdown_send(plat::IoError *) override
    {
        engine_.end_input();
        return true;
    }
    plat::socket_t wait_socket() const override { return device_.wait_socket(); }
    bool wants_write() const override { return false; }
    std::size_t pending() const override { return engine_.output_size(); }

    // Set when the end failed because a command stopped halfway.
    bool stalled() const { return stalled_; }
    // True when the engine took none of the command bytes last offered.
    bool refusing() const { return refusing_; }

private:
    // Hands the engine what the device finished and tells it of an unplug.
    // False (failed) once the engine has failed, or a command has waited
    // half-read for the stall limit while the engine would take its rest
    // and the client takes its replies.
    bool update(plat::IoError *err)
    {
        device_.deliver(engine_);
        if (device_.gone()) engine_.device_gone();
        if (client_.blocked()) last_input_ms_ = plat::monotonic_ms();
        if (!engine_.failed() && engine_.mid_command() && engine_.want_read() &&
            plat::monotonic_ms() - last_input_ms_ > stall_ms_)
            stalled_ = true;
        if (engine_.failed() || stalled_) {
            *err = plat::IoError::failed;
            return false;
        }
        return true;
    }

    usbip_forward_device &device_;
    usbip_forward_engine &engine_;
    const ClientEnd &client_;
    const int stall_ms_;
    std::int64_t last_input_ms_;
    bool refusing_ = false;
    bool stalled_ = false;
};

// A session's engine and its device, kept together: libusb may own
// transfers that point into both until each has come back.
struct Session {
    usbip_forward_device_ptr device;
    std::unique_ptr<usbip_forward_engine> engine;

    // Cancels every transfer and waits (bounded) for libusb to hand each
    // back. False when some never came back: libusb still owns them.
    bool finish()
    {
        device->unwatch();
        engine->cancel_all();
        const std::int64_t deadline = plat::monotonic_ms() + kCancelWaitMs;
        for (;;) {
            device->clear_wake();
            device->deliver(*engine);
            std::int64_t left = deadline - plat::monotonic_ms();
            if (engine->in_flight() == 0 || left <= 0) break;
            plat::wait_readable(device->wait_socket(), static_cast<int>(std::min<std::int64_t>(left, 100)));
        }
        return engine->in_flight() == 0;
    }
};

}  // namespace

usbip_forward_end usbip_forward_run(usbip_conn *conn, usbip_forward_device_ptr device,
                                    const std::atomic<bool> &keep_running, const usbip_forward_options &options)
{
    if (conn == nullptr || conn->fd == plat::kNoSocket || !device) {
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "Nothing to forward");
        return usbip_forward_end::connection_failed;
    }
    // Small replies go out at once, whoever made the connection.
    plat::set_nodelay(conn->fd);
    plat::set_keepalive(conn->fd, options.keepalive_idle_s, options.keepalive_interval_s, options.keepalive_count);
    if (!device->watch()) return usbip_forward_end::connection_failed;
    const std::string busid = device->busid();
    usbip_forward_engine_options engine_options = options;
    engine_options.name = busid;
    auto session = std::make_unique<Session>();
    session->device = std::move(device);
    session->engine = std::make_unique<usbip_forward_engine>(*session->device, engine_options);

    const int stall_ms = std::max(options.stall_ms, 1000);
    ClientEnd client(*conn);
    EngineEnd engine(*session->device, *session->engine, client, stall_ms);
    usbip_pump_options pump;
    pump.idle_ms = 0;  // an imported device may sit idle for hours: keep-alive watches the peer
    pump.stall_ms = stall_ms;
    pump.keep_running = &keep_running;
    usbip_pump_result r = usbip_pump_run(client, engine, pump);

    usbip_forward_end why = usbip_forward_end::connection_failed;
    if (!keep_running) {
        why = usbip_forward_end::stopped;
    } else if (r.reason == usbip_pump_end_reason::closed) {
        why = usbip_forward_end::peer_closed;
    } else if (r.reason == usbip_pump_end_reason::failed_b && session->engine->failed()) {
        why = session->engine->failure();
        usbip_set_last_error(why == usbip_forward_end::device_gone ? USBIP_ERROR_DEVICE_GONE : USBIP_ERROR_PROTOCOL,
                             "%s", session->engine->error().c_str());
    } else if (r.reason == usbip_pump_end_reason::failed_b && engine.stalled()) {
        usbip_set_last_error(USBIP_ERROR_CONNECTION_LOST, "Forwarding of device '%s': a command stopped halfway", busid.c_str());
    } else if (r.reason == usbip_pump_end_reason::stalled && engine.refusing() &&
               session->engine->waits_for_device()) {
        usbip_set_last_error(USBIP_ERROR_DEVICE, "Forwarding of device '%s': URBs that never finish hold back the commands",
                             busid.c_str());
    } else if (r.reason == usbip_pump_end_reason::stalled) {
        usbip_set_last_error(USBIP_ERROR_CONNECTION_LOST, "Forwarding of device '%s': the peer takes no replies", busid.c_str());
    } else {
        usbip_set_last_error(USBIP_ERROR_CONNECTION_LOST, "Forwarding connection of device '%s' failed", busid.c_str());
    }
    // Closing sends a TLS close_notify, which waits until the deadline: a
    // peer that stopped reading must not hold the caller's close for ever.
    usbip_conn_set_deadline(conn, kCloseGraceMs);
    if (!session->finish()) {
        // libusb still owns transfers that point into the session and its
        // device: keep both for good rather than free memory it may write.
        usbip_set_last_error(USBIP_ERROR_DEVICE, "Transfers of a forwarded device never completed after their cancellation");
        session.release();
    }
    return why;
}

int usbip_forward_event_threads()
{
    ForwardState &g = state();
    std::lock_guard<std::mutex> lock(g.loops_mutex);
    return static_cast<int>(g.loops.size());
}

bool usbip_forward_context_idle(libusb_context *ctx)
{
    ForwardState &g = state();
    std::lock_guard<std::mutex> lock(g.loops_mutex);
    return find_loop_locked(ctx) == g.loops.end();
}
