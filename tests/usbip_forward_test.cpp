// Forwarding: the URB phase served by the engine over loopback (plain and
// TLS) to a USB/IP client written here, on an emulated device that answers
// real libusb transfers (support/urb_device.h). Also the claim, the end of
// a session in every way, bad input, and an independent decoder (tshark)
// over a capture of a forwarded exchange. Runs under umockdev-wrapper on
// Linux, and under Wine beside the stand-in libusb-1.0.dll, whose device
// is the same but has no kernel drivers (tests/windows.cmake says which
// cases run there).
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"
#include "usbip_forward.h"
#include "usbip_conn.h"
#include "usbip_tls.h"
#include "usbip_urb.h"

namespace {

constexpr int kWaitMs = kUrbWaitMs;

// True once no thread runs that carries the process's name and was not
// running at `before` (a finished thread takes a moment to go).
bool no_threads_beyond(const std::set<int> &before)
{
    return wait_until(
        [&] {
            for (int tid : unnamed_thread_ids())
                if (before.count(tid) == 0) return false;
            return true;
        },
        2000);
}

// One forwarded session on loopback: the engine on a thread of its own with
// the accepted end of the connection, the test's client on the other.
class Forwarded {
public:
    Forwarded(usbip_forward_device_ptr device, bool tls = false, usbip_forward_options options = {})
        : device_(std::move(device)), options_(options)
    {
        std::thread accept([this, tls] {
            int fd = listener_.accept_one(kWaitMs);
            if (fd < 0) return;
            auto conn = std::make_unique<usbip_conn>(fd);
            if (tls) {
                usbip_conn_set_deadline(conn.get(), kWaitMs);
                if (usbip_tls_wrap_server(conn.get()) != 0) return;
                conn->deadline_ms = 0;
            }
            server_ = std::move(conn);
        });
        EXPECT_EQ(usbip_conn_connect(&client_conn_, "127.0.0.1", listener_.port()), 0) << usbip_last_error();
        if (tls) {
            EXPECT_EQ(usbip_tls_wrap_client(&client_conn_), 0) << usbip_last_error();
        }
        accept.join();
        EXPECT_TRUE(server_ != nullptr);
        if (!server_) return;
        thread_ = std::thread([this] {
            end_ = usbip_forward_run(server_.get(), std::move(device_), keep_running_, options_);
            message_ = usbip_last_error();
            done_ = true;
        });
        client_ = std::make_unique<UrbClient>(client_conn_);
    }
    ~Forwarded() { stop(true); }
    Forwarded(const Forwarded &) = delete;
    Forwarded &operator=(const Forwarded &) = delete;

    UrbClient &client() { return *client_; }
    usbip_conn &client_conn() { return client_conn_; }

    // Clears the stop flag and, with `wake`, shuts the socket down as a
    // server does; then waits for the engine.
    void stop(bool wake)
    {
        keep_running_ = false;
        if (wake && server_ && !done_) plat::shutdown_both(server_->fd);
        join();
    }
    void close_client() { usbip_conn_close(&client_conn_); }
    // Closes the engine's end as its owner does after the session, on a
    // thread of its own; how long that took, or -1 when it hung (then the
    // socket is shut down to end it).
    int close_server_ms()
    {
        join();
        std::atomic<bool> closed{false};
        const std::int64_t start = plat::monotonic_ms();
        std::thread closer([&] {
            usbip_conn_close(server_.get());
            closed = true;
        });
        bool in_time = wait_until([&] { return closed.load(); }, 5000);
        if (!in_time) plat::shutdown_both(server_->fd);
        closer.join();
        return in_time ? static_cast<int>(plat::monotonic_ms() - start) : -1;
    }
    plat::socket_t server_fd() const { return server_ ? server_->fd : plat::kNoSocket; }

    // The engine's end, waiting at most `ms` for it.
    bool ended(int ms = kWaitMs) { return wait_until([this] { return done_.load(); }, ms); }
    usbip_forward_end end()
    {
        EXPECT_TRUE(ended());
        join();
        return end_;
    }
    const std::string &message() const { return message_; }

private:
    void join()
    {
        if (thread_.joinable() && ended(30000)) thread_.join();
    }

    Listener listener_;
    usbip_conn client_conn_;
    std::unique_ptr<usbip_conn> server_;
    usbip_forward_device_ptr device_;
    usbip_forward_options options_;
    std::atomic<bool> keep_running_{true};
    std::atomic<bool> done_{false};
    usbip_forward_end end_ = usbip_forward_end::connection_failed;
    std::string message_;
    std::thread thread_;
    std::unique_ptr<UrbClient> client_;
};

class Forward : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
        dev_ = std::make_unique<UrbDevice>(bed_, 4);
        ASSERT_EQ(libusb_init(&ctx_), 0);
        // The emulation starts helper threads of its own when a device is
        // first opened, and Wine when a wait on sockets first times out:
        // one session, with a URB that waits and is cancelled, before the
        // count. GoogleTest on Windows starts a thread for good that
        // watches the main thread the first time a trace is kept there:
        // one here.
        {
            SCOPED_TRACE("warm-up");
            Forwarded warm_up(claim());
            UrbClient::Submit s;
            s.ep = 2;
            s.length = 8;
            warm_up.client().submit(s);
            ASSERT_TRUE(wait_until([this] { return dev_->waiting_interrupts() == 1; }, kWaitMs));
            plat::sleep_ms(400);
        }
        dev_->clear_events();
        threads_before_ = unnamed_thread_ids();
    }
    void TearDown() override
    {
        EXPECT_EQ(usbip_forward_event_threads(), 0);
        EXPECT_TRUE(no_threads_beyond(threads_before_)) << thread_names();
        if (ctx_ != nullptr) libusb_exit(ctx_);
    }

    usbip_forward_device_ptr claim()
    {
        usbip_forward_device_ptr d;
        EXPECT_EQ(usbip_forward_claim(ctx_, dev_->record(), &d), usbip_claim_result::ok) << usbip_last_error();
        return d;
    }

    // The device as a session left it: nothing held, nothing in flight, the
    // kernel driver of interface 0 back (where there are kernel drivers).
    void expect_released()
    {
        EXPECT_TRUE(wait_until([this] { return dev_->urbs_in_flight() == 0; }, 2000)) << dev_->urbs_in_flight();
        EXPECT_FALSE(dev_->claimed(0));
        EXPECT_FALSE(dev_->claimed(1));
        if (!UrbDevice::has_kernel_drivers()) return;
        EXPECT_TRUE(dev_->driver_bound(0));
        EXPECT_FALSE(dev_->driver_bound(1));
    }

    bool has_event(const std::string &event)
    {
        for (const std::string &e : dev_->events())
            if (e == event) return true;
        return false;
    }

    Testbed bed_;
    std::unique_ptr<UrbDevice> dev_;
    libusb_context *ctx_ = nullptr;
    std::set<int> threads_before_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Traffic

TEST_F(Forward, DescriptorsBulkEchoAndInterrupts)
{
    Forwarded f(claim());
    UrbClient &c = f.client();
    check_descriptors(c);
    check_bulk_echo(c, 4 << 20, 8);
    check_unlink_pending(c, *dev_);

    // An interrupt URB completes when the device says so, with its data.
    UrbClient::Submit s;
    s.ep = 2;
    s.length = 64;
    std::uint32_t seqnum = c.submit(s);
    ASSERT_TRUE(wait_until([&] { return dev_->waiting_interrupts() == 1; }, kWaitMs));
    ASSERT_TRUE(dev_->complete_interrupt({0xa1, 0xb2, 0xc3}));
    usbip_urb_message m = c.reply();
    EXPECT_EQ(m.seqnum(), seqnum);
    EXPECT_EQ(hex(m.data), "a1b2c3");
    EXPECT_TRUE(c.ok());
}

// An unlink that comes too late is answered with status 0 after the URB's
// own reply.
TEST_F(Forward, UnlinksThatComeTooLate)
{
    Forwarded f(claim());
    check_late_unlinks(f.client(), *dev_);
}

// The requests that change the device's state reach it through their own
// calls (never as plain control transfers); a new address never reaches it.
TEST_F(Forward, StandardRequestsReachTheDeviceThroughTheirCalls)
{
    Forwarded f(claim());
    dev_->clear_events();
    UrbClient &c = f.client();

    EXPECT_EQ(c.control(setup(0x00, 5, 7, 0, 0)).ret_submit.status, 0);  // SET_ADDRESS
    EXPECT_TRUE(dev_->events().empty());

    EXPECT_EQ(c.control(setup(0x00, 9, 1, 0, 0)).ret_submit.status, 0);  // SET_CONFIGURATION
    // usbfs takes a new configuration only while nobody holds an interface:
    // released first, and afterwards the new interfaces are held again (the
    // driver the kernel bound to them meanwhile detached once more).
    EXPECT_EQ(dev_->events(), (std::vector<std::string>{"release 0", "release 1", "set_configuration 1", "detach 0",
                                                        "claim 0", "claim 1"}));
    EXPECT_TRUE(dev_->claimed(0));
    EXPECT_TRUE(dev_->claimed(1));
    dev_->clear_events();

    // Unconfigured, the device has no interfaces to hold and no endpoints
    // but the control endpoint; configured again, everything is back.
    EXPECT_EQ(c.control(setup(0x00, 9, 0, 0, 0)).ret_submit.status, 0);
    EXPECT_EQ(dev_->events(), (std::vector<std::string>{"release 0", "release 1", "set_configuration none"}));
    UrbClient::Submit bulk_out;
    bulk_out.direction = USBIP_DIR_OUT;
    bulk_out.ep = 1;
    bulk_out.data = {1, 2, 3};
    c.submit(bulk_out);
    EXPECT_EQ(c.reply().ret_submit.status, -USBIP_EPIPE);
    EXPECT_EQ(c.control(setup(0x00, 9, 1, 0, 0)).ret_submit.status, 0);
    c.submit(bulk_out);
    EXPECT_EQ(c.reply().ret_submit.status, 0);
    EXPECT_TRUE(dev_->claimed(0));
    dev_->clear_events();

    // The isochronous endpoints exist only in alternate setting 1.
    UrbClient::Submit iso_in;
    iso_in.ep = 3;
    iso_in.length = 3000;
    iso_in.packets = {{0, 1000, 0, 0}, {1000, 1000, 0, 0}, {2000, 1000, 0, 0}};
    c.submit(iso_in);
    usbip_urb_message refused = c.reply();
    EXPECT_EQ(refused.ret_submit.status, -USBIP_EPIPE);
    // Its reply repeats the packet count, so it carries the packets too.
    EXPECT_EQ(refused.ret_submit.number_of_packets, 3u);
    ASSERT_EQ(refused.packets.size(), 3u);
    EXPECT_EQ(refused.packets[1].offset, 1000u);
    EXPECT_EQ(refused.packets[1].actual_length, 0u);
    EXPECT_EQ(refused.packets[1].status, -USBIP_EPIPE);

    EXPECT_EQ(c.control(setup(0x01, 11, 1, 1, 0)).ret_submit.status, 0);  // SET_INTERFACE
    EXPECT_EQ(c.control(setup(0x02, 1, 0, 0x81, 0)).ret_submit.status, 0);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(dev_->events(), (std::vector<std::string>{"set_interface 1 1", "clear_halt 0x81"}));

    // Now they work: IN packets come back packed, with the client's
    // offsets; OUT packets leave their gaps behind.
    iso_in.packets = {{0, 1000, 0, 0}, {1024, 1000, 0, 0}, {2048, 952, 0, 0}};
    std::uint32_t seqnum = c.submit(iso_in);
    usbip_urb_message m = c.reply();
    ASSERT_EQ(m.seqnum(), seqnum);
    EXPECT_EQ(m.ret_submit.status, 0);
    EXPECT_EQ(m.ret_submit.actual_length, 2952);
    EXPECT_EQ(m.ret_submit.number_of_packets, 3u);
    EXPECT_EQ(m.ret_submit.error_count, 0);
    ASSERT_EQ(m.packets.size(), 3u);
    Bytes spread(3000, 0);
    ASSERT_TRUE(usbip_iso_unpack(spread.data(), spread.size(), m.data.data(), m.data.size(), m.packets));
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(m.packets[i].offset, iso_in.packets[i].offset);
        EXPECT_EQ(m.packets[i].actual_length, iso_in.packets[i].length);
        EXPECT_EQ(m.packets[i].status, 0);
        for (unsigned j = 0; j < m.packets[i].actual_length; j += 97)
            ASSERT_EQ(spread[m.packets[i].offset + j], UrbDevice::iso_in_byte(i, j)) << i << "/" << j;
    }

    UrbClient::Submit iso_out;
    iso_out.direction = USBIP_DIR_OUT;
    iso_out.ep = 3;
    iso_out.data.resize(64);
    for (std::size_t i = 0; i < 64; ++i) iso_out.data[i] = static_cast<std::uint8_t>(i);
    iso_out.packets = {{0, 8, 0, 0}, {16, 8, 0, 0}, {40, 24, 0, 0}};
    c.submit(iso_out);
    m = c.reply();
    EXPECT_EQ(m.ret_submit.status, 0);
    EXPECT_EQ(m.ret_submit.actual_length, 40);
    ASSERT_EQ(m.packets.size(), 3u);
    EXPECT_EQ(m.packets[2].actual_length, 24u);
    EXPECT_EQ(hex(dev_->iso_out_data()),
              "0001020304050607" "1011121314151617"
              "28292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f");
}

// Through TLS the same traffic, with many records read at once: bytes that
// TLS decrypted ahead must be taken before the session waits.
TEST_F(Forward, WorksThroughTls)
{
    ASSERT_EQ(usbip_init(), 0);
    {
        Forwarded f(claim(), true);
        UrbClient &c = f.client();
        check_descriptors(c);
        check_bulk_echo(c, 1 << 20, 8);
        check_unlink_pending(c, *dev_);
        EXPECT_TRUE(c.ok());
        f.close_client();
        EXPECT_EQ(f.end(), usbip_forward_end::peer_closed);
    }
    usbip_cleanup();
    expect_released();
}

// ---------------------------------------------------------------------------
// The claim and the end of a session

TEST_F(Forward, ClaimsAndTheirRefusals)
{
    usbip_forward_device_ptr first = claim();
    EXPECT_TRUE(dev_->claimed(0));
    EXPECT_TRUE(dev_->claimed(1));
    EXPECT_FALSE(dev_->driver_bound(0));
    EXPECT_EQ(dev_->events(), (std::vector<std::string>{"detach 0", "claim 0", "claim 1"}));

    usbip_forward_device_ptr second;
    EXPECT_EQ(usbip_forward_claim(ctx_, dev_->record(), &second), usbip_claim_result::busy);
    EXPECT_STREQ(usbip_last_error(), "Device '1-4' is forwarded by another session");
    EXPECT_FALSE(second);
    usbip_device elsewhere = dev_->record();
    usbip_copy_text(elsewhere.busid, sizeof elsewhere.busid, "1-9");
    EXPECT_EQ(usbip_forward_claim(ctx_, elsewhere, &second), usbip_claim_result::not_found);
    EXPECT_STREQ(usbip_last_error(), "Device '1-9' not found");
    // The same ports with another address: a later plugging, not this one.
    usbip_device replugged = dev_->record();
    ++replugged.address;
    EXPECT_EQ(usbip_forward_claim(ctx_, replugged, &second), usbip_claim_result::not_found);
    EXPECT_STREQ(usbip_last_error(), "Device '1-4' not found");
    // A hub (the root hub here, address 1) is never forwarded: its ports are
    // this host's.
    bed_.add_device(1, 0, 0x1d6b, 0x0002, 9, 9);
    usbip_device hub{};
    usbip_copy_text(hub.busid, sizeof hub.busid, "1-1");
    hub.bus_number = 1;
    hub.address = 1;
    EXPECT_EQ(usbip_forward_claim(ctx_, hub, &second), usbip_claim_result::device_error);
    EXPECT_STREQ(usbip_last_error(), "Device '1-1' is a hub, which is never forwarded");
    EXPECT_FALSE(second);

    first.reset();
    expect_released();
    EXPECT_EQ(usbip_forward_event_threads(), 0);

    // Another program holds interface 0: the device cannot be forwarded,
    // and the claim leaves it as it found it.
    libusb_context *other = nullptr;
    ASSERT_EQ(libusb_init(&other), 0);
    libusb_device_handle *h = libusb_open_device_with_vid_pid(other, UrbDevice::kVendor, UrbDevice::kProduct);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    dev_->clear_events();
    EXPECT_EQ(usbip_forward_claim(ctx_, dev_->record(), &second), usbip_claim_result::device_error);
    EXPECT_STREQ(usbip_last_error(), "Cannot claim interface 0 of device '1-4': LIBUSB_ERROR_BUSY");
    EXPECT_EQ(dev_->events(), std::vector<std::string>{});
    EXPECT_TRUE(dev_->claimed(0));
    EXPECT_EQ(usbip_forward_event_threads(), 0);
    libusb_release_interface(h, 0);
    libusb_attach_kernel_driver(h, 0);
    libusb_close(h);
    libusb_exit(other);

    // Free again once the other program has gone.
    EXPECT_TRUE(claim() != nullptr);
    expect_released();
}

// However a session ends, the transfers in flight are cancelled and the
// device is released with its kernel driver back.
TEST_F(Forward, EveryEndReleasesTheDevice)
{
    enum class How { client_closes, stop_and_wake, stop_flag_alone, unplug };
    struct Case {
        const char *name;
        How how;
        usbip_forward_end end;
    } cases[] = {
        {"the client closes", How::client_closes, usbip_forward_end::peer_closed},
        {"a stop that shuts the socket down", How::stop_and_wake, usbip_forward_end::stopped},
        {"a stop flag alone", How::stop_flag_alone, usbip_forward_end::stopped},
        {"the device is unplugged", How::unplug, usbip_forward_end::device_gone},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        dev_->clear_events();
        Forwarded f(claim());
        UrbClient &c = f.client();
        UrbClient::Submit s;
        s.ep = 2;
        s.length = 64;
        c.submit(s);
        s.ep = 1;
        s.length = 512;
        c.submit(s);  // a bulk IN that waits for bytes
        ASSERT_TRUE(wait_until([&] { return dev_->urbs_in_flight() == 2; }, kWaitMs));
        const std::int64_t start = plat::monotonic_ms();
        switch (k.how) {
        case How::client_closes: f.close_client(); break;
        case How::stop_and_wake: f.stop(true); break;
        case How::stop_flag_alone: f.stop(false); break;
        case How::unplug: bed_.announce_removal(dev_->syspath()); break;
        }
        EXPECT_EQ(f.end(), k.end) << f.message();
        EXPECT_LT(plat::monotonic_ms() - start, 2000);
        EXPECT_TRUE(wait_until([this] { return dev_->urbs_in_flight() == 0; }, 2000)) << dev_->urbs_in_flight();
        EXPECT_FALSE(dev_->claimed(0));
        EXPECT_FALSE(dev_->claimed(1));
        std::vector<std::string> events = dev_->events();
        ASSERT_GE(events.size(), 3u);
        if (k.how == How::unplug || !UrbDevice::has_kernel_drivers()) {
            // libusb touches no driver of a device that has gone (nor any
            // where there are none).
            EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
                      (std::vector<std::string>{"release 0", "release 1"}));
            if (k.how == How::unplug) {
                EXPECT_EQ(f.message(), "Device '1-4' is gone");
            }
        } else {
            EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
                      (std::vector<std::string>{"release 0", "release 1", "attach 0"}));
            EXPECT_TRUE(dev_->driver_bound(0));
        }
    }
}

// A peer that stops taking replies is given up after the stall limit, and
// closing its TLS connection afterwards cannot hang on the close_notify.
TEST_F(Forward, PeerThatTakesNoRepliesIsGivenUp)
{
    ASSERT_EQ(usbip_init(), 0);
    {
        usbip_forward_options options;
        options.max_unsent = 1024;
        options.stall_ms = 1000;
        Forwarded f(claim(), true, options);
        set_socket_buffers(static_cast<std::intptr_t>(f.client_conn().fd), 4096);
        set_socket_buffers(static_cast<std::intptr_t>(f.server_fd()), 4096);
        UrbClient &c = f.client();
        UrbClient::Submit s;
        s.setup = setup(0x80, 6, 0x0200, 0, 71);
        s.length = 71;
        c.hold();
        for (int i = 0; i < 1000; ++i) c.submit(s);
        c.release();
        EXPECT_TRUE(f.ended(20000));
        EXPECT_EQ(f.end(), usbip_forward_end::connection_failed);
        EXPECT_EQ(f.message(), "Forwarding of device '1-4': the peer takes no replies");
        int ms = f.close_server_ms();
        EXPECT_GE(ms, 0) << "closing hung";
        EXPECT_LT(ms, 2000);
    }
    usbip_cleanup();
    expect_released();
}

// Commands that cannot be taken, because URBs that never finish fill what
// waits in the engine, end the session after the stall limit too, with a
// message that says so.
TEST_F(Forward, CommandsHeldBackByUrbsThatNeverFinish)
{
    usbip_forward_options options;
    options.max_in_flight = 1;
    options.max_queued = 1;
    options.stall_ms = 1000;
    Forwarded f(claim(), false, options);
    UrbClient &c = f.client();
    UrbClient::Submit s;
    s.ep = 2;
    s.length = 8;
    c.hold();
    for (int i = 0; i < 3; ++i) c.submit(s);  // at the device, waiting in the engine, held back
    c.release();
    EXPECT_TRUE(f.ended(10000));
    EXPECT_EQ(f.end(), usbip_forward_end::connection_failed);
    EXPECT_EQ(f.message(), "Forwarding of device '1-4': URBs that never finish hold back the commands");
    expect_released();
}

// ---------------------------------------------------------------------------
// Bad input

// A command that breaks the protocol or a limit ends the session, whatever
// was in flight, and leaves the device as it was.
TEST_F(Forward, BadCommandsEndTheSessionCleanly)
{
    struct Case {
        const char *name;
        Bytes bytes;
        const char *message;
    } cases[] = {
        {"an absurd length", submit_header(1, USBIP_DIR_OUT, 1, 0x7fffffff), "transfer length out of range"},
        {"a negative length", submit_header(1, USBIP_DIR_IN, 1, -1), "transfer length out of range"},
        {"too many packets", submit_header(1, USBIP_DIR_IN, 3, 1024, 100000), "too many isochronous packets"},
        {"an unknown command", urb_header(5, 1, 0, 0), "unknown command"},
        {"a reply where a command belongs", urb_header(USBIP_RET_SUBMIT, 1, 0, 0), "unknown command"},
        {"endpoint 16", submit_header(1, USBIP_DIR_IN, 16, 8), "invalid endpoint number"},
        {"direction 2", submit_header(1, 2, 1, 8), "invalid direction"},
        {"another device", [] {
             Bytes b = submit_header(1, USBIP_DIR_IN, 2, 8);
             b[11] = 4;  // devid 0x00010004
             return b;
         }(),
         "a command for device 0x00010004, not the imported 0x00010001"},
        {"a sequence number in flight", concat({submit_header(7, USBIP_DIR_IN, 2, 64), submit_header(7, USBIP_DIR_IN, 2, 64)}),
         "sequence number 7 is in flight already"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        dev_->clear_events();
        Forwarded f(claim());
        f.client().send(k.bytes);
        EXPECT_EQ(f.end(), usbip_forward_end::protocol_error);
        EXPECT_EQ(f.message(), std::string("USB/IP URB phase on device '1-4': ") + k.message);
        expect_released();
        // Nothing came back (the engine has ended: a reply would be there),
        // and the connection is left for its owner to close.
        EXPECT_EQ(plat::wait_readable(f.client_conn().fd, 0), 0);
    }
}

// A peer that closes after any number of bytes of its commands ends the
// session cleanly: nothing submitted stays in flight.
TEST_F(Forward, PeerClosingAtEveryByteOffset)
{
    Bytes out_data(40, 0x5a);
    const Bytes stream = concat({submit_header(1, USBIP_DIR_OUT, 1, 40), out_data,  // bulk OUT
                                 submit_header(2, USBIP_DIR_IN, 2, 64),             // interrupt IN, waits
                                 unlink_of(3, 2),
                                 submit_header(4, USBIP_DIR_OUT, 3, 16, 2), Bytes(16, 0x11),  // isochronous
                                 Bytes{0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 8, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}});
    const std::size_t first_whole = 48 + 40;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE("closing after " + std::to_string(cut) + " bytes");
        Forwarded f(claim());
        f.client().send(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
        f.close_client();
        usbip_forward_end end = f.end();
        if (cut < first_whole) {
            EXPECT_EQ(end, usbip_forward_end::peer_closed);
        } else {
            EXPECT_TRUE(end == usbip_forward_end::peer_closed || end == usbip_forward_end::connection_failed)
                << usbip_forward_end_text(end);
        }
        EXPECT_TRUE(wait_until([this] { return dev_->urbs_in_flight() == 0; }, 2000)) << dev_->urbs_in_flight();
        EXPECT_FALSE(dev_->claimed(0));
        if (HasFailure()) break;
    }
    expect_released();
}

// URBs beyond the limit in flight wait in the engine, and go on as earlier
// ones complete.
TEST_F(Forward, ReadingPausesAtTheLimitOfUrbsInFlight)
{
    usbip_forward_options options;
    options.max_in_flight = 2;
    Forwarded f(claim(), false, options);
    UrbClient &c = f.client();
    UrbClient::Submit s;
    s.ep = 2;
    s.length = 8;
    c.submit(s);
    c.submit(s);
    std::uint32_t third = c.submit(s);
    ASSERT_TRUE(wait_until([&] { return dev_->waiting_interrupts() == 2; }, kWaitMs));
    plat::sleep_ms(200);
    EXPECT_EQ(dev_->waiting_interrupts(), 2);  // the third waits in the engine
    ASSERT_TRUE(dev_->complete_interrupt({9}));
    EXPECT_EQ(c.reply().ret_submit.status, 0);
    EXPECT_TRUE(wait_until([&] { return dev_->waiting_interrupts() == 2; }, kWaitMs));  // the third is in
    ASSERT_TRUE(dev_->complete_interrupt({8}));
    ASSERT_TRUE(dev_->complete_interrupt({7}));
    usbip_urb_message a = c.reply(), b = c.reply();
    EXPECT_EQ(b.seqnum(), third);
    EXPECT_EQ(hex(b.data), "07");
}

// 32 interrupt URBs on an idle endpoint (the limit in flight) and 8 more
// behind them: unlinks of all of them are read and answered at once, and
// those that waited in the engine never reach the device.
TEST_F(Forward, UnlinksAreAnsweredWhateverIsInFlight)
{
    Forwarded f(claim());
    UrbClient &c = f.client();
    UrbClient::Submit s;
    s.ep = 2;
    s.length = 8;
    std::vector<std::uint32_t> urbs;
    c.hold();
    for (int i = 0; i < 40; ++i) urbs.push_back(c.submit(s));
    c.release();
    ASSERT_TRUE(wait_until([&] { return dev_->waiting_interrupts() == 32; }, kWaitMs));
    plat::sleep_ms(100);
    EXPECT_EQ(dev_->waiting_interrupts(), 32);
    const std::int64_t start = plat::monotonic_ms();
    std::map<std::uint32_t, std::uint32_t> unlinks;  // unlink seqnum -> victim
    c.hold();
    for (std::uint32_t v : urbs) unlinks[c.unlink(v)] = v;
    c.release();
    for (int i = 0; i < 40; ++i) {
        usbip_urb_message m;
        ASSERT_TRUE(c.next(&m)) << "after " << i << " replies";
        EXPECT_EQ(m.command, USBIP_RET_UNLINK);
        EXPECT_EQ(m.ret_unlink.status, -USBIP_ECONNRESET);
        EXPECT_EQ(unlinks.erase(m.seqnum()), 1u);
    }
    EXPECT_LT(plat::monotonic_ms() - start, 2000);
    EXPECT_EQ(dev_->urbs_in_flight(), 0);
    EXPECT_TRUE(c.ok());
}

// More commands than the session buffers, queued behind a small limit:
// each goes on as an earlier URB completes, also when TLS has decrypted
// them already and the socket shows nothing more.
TEST_F(Forward, CommandsQueuedBehindTheLimitAllGetThrough)
{
    ASSERT_EQ(usbip_init(), 0);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        usbip_forward_options options;
        options.max_in_flight = 4;
        Forwarded f(claim(), tls, options);
        UrbClient &c = f.client();
        constexpr std::uint32_t kCommands = 1500;  // 72,000 bytes
        UrbClient::Submit s;
        s.ep = 2;
        s.length = 8;
        c.hold();
        for (std::uint32_t i = 0; i < kCommands; ++i) c.submit(s);
        c.release();
        std::uint32_t answered = 0;
        const std::int64_t until = plat::monotonic_ms() + 20000;
        while (answered < kCommands && plat::monotonic_ms() < until) {
            int waiting = dev_->waiting_interrupts();
            if (waiting == 0) {
                plat::sleep_ms(1);
                continue;
            }
            EXPECT_LE(waiting, 4);
            for (int k = 0; k < waiting; ++k)
                ASSERT_TRUE(dev_->complete_interrupt({static_cast<std::uint8_t>(answered + k)}));
            for (int k = 0; k < waiting; ++k, ++answered) {
                usbip_urb_message m;
                ASSERT_TRUE(c.next(&m)) << "after " << answered << " replies";
                ASSERT_EQ(m.seqnum(), answered + 1);
                ASSERT_EQ(m.data, Bytes{static_cast<std::uint8_t>(answered)});
            }
        }
        EXPECT_EQ(answered, kCommands);
    }
    usbip_cleanup();
}

// ---------------------------------------------------------------------------
// An independent decoder: Wireshark's USB/IP dissector reads a capture of a
// forwarded exchange with the fields the client saw.

namespace {

// Writes the records as a two-way TCP capture (client port 40000, server
// 3240) and returns tshark's fields, one line per packet, "|"-separated.
std::vector<std::string> tshark_lines(const std::vector<UrbClient::Record> &records,
                                      const std::vector<std::string> &fields)
{
    const std::string dir = make_temp_dir();
    EXPECT_FALSE(dir.empty());
    const std::string text = dir + "/urb.txt", pcap = dir + "/urb.pcap";
    FILE *f = std::fopen(text.c_str(), "w");
    for (const auto &r : records) {
        std::fprintf(f, "%s\n", r.from_client ? "I" : "O");  // text2pcap: I runs 40000 -> 3240
        for (std::size_t i = 0; i < r.bytes.size(); i += 16) {
            std::fprintf(f, "%06zx", i);
            for (std::size_t j = i; j < i + 16 && j < r.bytes.size(); ++j) std::fprintf(f, " %02x", r.bytes[j]);
            std::fprintf(f, "\n");
        }
    }
    std::fclose(f);
    run_command("text2pcap -D -T 40000,3240 " + text + " " + pcap + " 2>&1");
    std::string cmd = "tshark -r " + pcap + " -d tcp.port==3240,usbip -T fields -E separator='|'";
    for (const auto &name : fields) cmd += " -e " + name;
    std::string out = run_command(cmd + " 2>/dev/null");
    run_command("rm -rf " + dir);
    std::vector<std::string> lines;
    std::size_t pos = 0, nl;
    while ((nl = out.find('\n', pos)) != std::string::npos) {
        lines.push_back(out.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

}  // namespace

TEST_F(Forward, WiresharkReadsAForwardedExchange)
{
    Forwarded f(claim());
    UrbClient &c = f.client();
    c.control(setup(0x80, 6, 0x0100, 0, 18));  // 1: device descriptor
    UrbClient::Submit out;
    out.direction = USBIP_DIR_OUT;
    out.ep = 1;
    out.data = {0xde, 0xad, 0xbe, 0xef};
    c.submit(out);                              // 2: bulk OUT
    c.reply();
    UrbClient::Submit in;
    in.ep = 1;
    in.length = 4;
    c.submit(in);                               // 3: bulk IN, the echo
    c.reply();
    in.ep = 2;
    in.length = 64;
    c.submit(in);                               // 4: interrupt IN, unlinked by 5
    ASSERT_TRUE(wait_until([&] { return dev_->waiting_interrupts() == 1; }, kWaitMs));
    c.unlink(4);
    c.reply();
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.records().size(), 9u);

    const std::vector<std::string> fields = {"tcp.srcport", "usbip.urb", "usbip.sequence_no",
                                             "usbip.endpoint_number.direction", "usbip.endpoint_number",
                                             "usbip.transfer_buffer_length", "usbip.status", "usbip.actual_length",
                                             "usb.idVendor", "usb.idProduct", "usb.capdata"};
    const std::vector<std::string> lines = tshark_lines(c.records(), fields);
    // Directions and endpoints of replies are the command's, which the
    // dissector lists first; unlinks name their victim after themselves.
    const std::vector<std::string> expected = {
        "40000|0x00000001|1|0x01,0x01|0x00,0x00|18|||||",
        "3240|0x00000003|1|0x01,0x00|0x00,0x00||0|18|0x1209|0x0001|",
        "40000|0x00000001|2|0x00,0x00|0x01,0x01|4|||||deadbeef",
        "3240|0x00000003|2|0x00,0x00|0x01,0x00||0|4|||",
        "40000|0x00000001|3|0x01,0x01|0x01,0x01|4|||||",
        "3240|0x00000003|3|0x01,0x00|0x01,0x00||0|4|||deadbeef",
        "40000|0x00000001|4|0x01,0x01|0x02,0x02|64|||||",
        "40000|0x00000002|5,4|0x00,0x00|0x00,0x00||||||",
        "3240|0x00000004|5|0x00,0x00|0x00,0x00||-104||||",
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "packet " << i + 1;
}
