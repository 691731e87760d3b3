// The server with forwarding on: imports that carry an emulated device's
// traffic (support/urb_device.h) over loopback, directly, in TLS and through
// the relay by code; every end of such a session; "busy" and "device error";
// bad input; and stock USB/IP clients (Debian's usbip tool) in stock-client
// mode. Runs under umockdev-wrapper.
#include <gtest/gtest.h>
#include <libusb.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "tcp_tap.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"
#include "usbip_forward.h"
#include "usbip_conn.h"
#include "usbip_enum.h"
#include "usbip_protocol.h"

namespace {

enum class Path { direct, tls, relay };

const char *path_name(Path p)
{
    switch (p) {
    case Path::direct: return "directly";
    case Path::tls: return "in TLS";
    case Path::relay: return "through the relay";
    }
    return "";
}

// A client connection that passed the handshake, for a raw request or an
// import.
struct Imported {
    usbip_conn conn;
    usbip_imported reply;
    std::unique_ptr<UrbClient> client;
};

// True once the server has closed `conn` (or it failed), within `ms`.
bool closed_by_server(usbip_conn &conn, int ms)
{
    const std::int64_t until = plat::monotonic_ms() + ms;
    for (;;) {
        std::int64_t left = until - plat::monotonic_ms();
        if (left <= 0) return false;
        if (usbip_conn_buffered(&conn) == 0 && plat::wait_readable(conn.fd, static_cast<int>(left)) != 1) continue;
        char buf[4096];
        plat::IoError err;
        long n = usbip_conn_recv_some(&conn, buf, sizeof buf, &err);
        if (n <= 0 && err != plat::IoError::would_block) return true;
    }
}

// Two emulated devices, 1-4 and 5-... on bus 1: the second shows that one
// session's end leaves the others alone.
class ServerForward : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
        dev_ = std::make_unique<UrbDevice>(bed_, 4);
        other_ = std::make_unique<UrbDevice>(bed_, 5);
        // The emulation starts helper threads of its own when a device is
        // first opened: one round of claims before the count.
        ASSERT_EQ(usbip_init(), 0);
        for (const UrbDevice *d : {dev_.get(), other_.get()}) {
            usbip_forward_device_ptr claimed;
            ASSERT_EQ(usbip_forward_claim(usbip_enum_context(), d->record(), &claimed), usbip_claim_result::ok)
                << usbip_last_error();
        }
        usbip_cleanup();
        threads_before_ = unnamed_thread_ids();
        ASSERT_EQ(usbip_init(), 0);
        dev_->clear_events();
        EXPECT_EQ(usbip_server_set_forwarding(1), 1);
    }

    void TearDown() override
    {
        usbip_server_set_forwarding(0);
        usbip_server_set_stock_clients(0);
        usbip_cleanup();
        EXPECT_EQ(usbip_forward_event_threads(), 0);
        EXPECT_TRUE(wait_until(
            [&] {
                for (int tid : unnamed_thread_ids())
                    if (threads_before_.count(tid) == 0) return false;
                return true;
            },
            2000))
            << thread_names();
    }

    // Shares both devices and starts the server for `path` (TLS only for
    // its path; a relay and a registration for the relay's).
    void start(Path path, const char *password = nullptr)
    {
        path_ = path;
        password_ = password;
        ASSERT_EQ(usbip_server_share("1-4"), 0) << usbip_last_error();
        ASSERT_EQ(usbip_server_share("1-5"), 0) << usbip_last_error();
        port_ = free_port();
        ASSERT_EQ(usbip_server_start(port_, password, path == Path::tls), 0) << usbip_last_error();
        if (path == Path::relay) {
            if (!relay_) relay_ = std::make_unique<LibraryRelay>();
            const char *code = usbip_server_register_relay("127.0.0.1", relay_->port(), nullptr);
            ASSERT_NE(code, nullptr) << usbip_last_error();
            code_ = code;
        }
    }

    // A connection to the server by the current path, past the handshake.
    std::unique_ptr<Imported> connect()
    {
        auto im = std::make_unique<Imported>();
        const bool relay = path_ == Path::relay;
        connect_by(im->conn, ServerRoute::to(port_, path_ == Path::tls, relay ? relay_->port() : 0, relay ? code_ : ""),
                   password_);
        return im;
    }

    // Imports `busid`: null (and the thread's message) when refused.
    std::unique_ptr<Imported> import(const char *busid)
    {
        std::unique_ptr<Imported> im = connect();
        if (usbip_request_import(&im->conn, busid, &im->reply) != 0) return nullptr;
        im->conn.deadline_ms = 0;  // the URB phase waits as long as the test
        im->client = std::make_unique<UrbClient>(im->conn);
        return im;
    }

    bool has_event(UrbDevice &d, const std::string &event)
    {
        for (const std::string &e : d.events())
            if (e == event) return true;
        return false;
    }

    Testbed bed_;
    std::unique_ptr<UrbDevice> dev_, other_;
    std::unique_ptr<LibraryRelay> relay_;
    std::set<int> threads_before_;
    Path path_ = Path::direct;
    const char *password_ = nullptr;
    int port_ = 0;
    std::string code_;
};

// A session whose interrupt IN waits in the device, so that its end must
// cancel a transfer.
void leave_a_urb_waiting(Imported &im, UrbDevice &dev)
{
    UrbClient::Submit s;
    s.ep = 2;
    s.length = 64;
    im.client->submit(s);
    ASSERT_TRUE(wait_until([&] { return dev.waiting_interrupts() == 1; }, kUrbWaitMs));
}

}  // namespace

// ---------------------------------------------------------------------------
// Traffic, by every path

TEST_F(ServerForward, TrafficDirectlyInTlsAndThroughTheRelay)
{
    for (Path path : {Path::direct, Path::tls, Path::relay}) {
        SCOPED_TRACE(path_name(path));
        start(path, "pw");
        std::unique_ptr<Imported> im = import("1-4");
        ASSERT_TRUE(im) << usbip_last_error();
        // The reply names the device as the URB phase will: bus 1, device 1.
        EXPECT_STREQ(im->reply.device.busid, "1-4");
        EXPECT_EQ(im->reply.devid(), 0x00010001u);
        EXPECT_EQ(im->reply.device.idVendor, UrbDevice::kVendor);
        EXPECT_EQ(im->reply.device.speed, 3u);  // high
        EXPECT_TRUE(dev_->claimed(0));
        UrbClient &c = *im->client;
        check_descriptors(c);
        check_bulk_echo(c, 2 << 20, 8);
        check_unlink_pending(c, *dev_);
        check_late_unlinks(c, *dev_);

        // The requests that change the device's state reach it.
        dev_->clear_events();
        EXPECT_EQ(c.control(setup(0x00, 9, 1, 0, 0)).ret_submit.status, 0);   // SET_CONFIGURATION 1
        EXPECT_EQ(c.control(setup(0x01, 11, 1, 1, 0)).ret_submit.status, 0);  // SET_INTERFACE 1, alternate 1
        EXPECT_TRUE(has_event(*dev_, "set_configuration 1"));
        EXPECT_TRUE(has_event(*dev_, "set_interface 1 1"));
        EXPECT_TRUE(c.ok());

        // The client leaves: the device is released, its driver back.
        usbip_conn_close(&im->conn);
        expect_released(*dev_);
        usbip_server_stop();
        if (HasFailure()) break;
    }
}

// Through the relay with a password, the relay copies nothing it could
// read: a tap on the client's way to the relay (every byte the relay
// copies, as its operator or anybody on the path sees them) finds none of
// the device list's bus ids and paths, the device's names or the URB
// payloads. Without a password the same tap finds them all, so the search
// does look.
TEST_F(ServerForward, WithAPasswordTheRelayCopiesCiphertextOnly)
{
    auto payload = [](std::size_t from) {
        std::string window;
        for (std::size_t i = from; i < from + 48; ++i) window += static_cast<char>((i * 2654435761u) >> 13);
        return window;
    };
    const Bytes product = UrbDevice::string_descriptor(2);
    const std::string patterns[] = {
        "/sys/bus/usb/devices/1-4", "/sys/bus/usb/devices/1-5", std::string("1-4") + std::string(29, '\0'),
        std::string("1-5") + std::string(29, '\0'), std::string(product.begin(), product.end()), payload(0),
        payload(100000),
    };
    for (const char *password : {static_cast<const char *>(nullptr), "pw"}) {
        SCOPED_TRACE(password ? "with a password" : "without a password");
        start(Path::relay, password);
        std::string seen;
        {
            TcpTap tap(relay_->port());
            ASSERT_NE(tap.port(), 0);
            const char *list = usbip_client_list_by_code("127.0.0.1", tap.port(), code_.c_str(), password);
            ASSERT_NE(list, nullptr) << usbip_last_error();
            EXPECT_NE(std::string(list).find("\"busid\":\"1-4\""), std::string::npos) << list;
            Imported im;
            ASSERT_TRUE(connect_by(im.conn, ServerRoute::to(port_, false, tap.port(), code_), password));
            ASSERT_EQ(usbip_request_import(&im.conn, "1-4", &im.reply), 0) << usbip_last_error();
            im.conn.deadline_ms = 0;
            im.client = std::make_unique<UrbClient>(im.conn);
            check_descriptors(*im.client);
            check_bulk_echo(*im.client, 256 << 10, 4);
            usbip_conn_close(&im.conn);
            expect_released(*dev_);
            EXPECT_TRUE(tap.idle(10000));
            seen = tap.seen();
        }
        EXPECT_GT(seen.size(), std::size_t{2} * (256 << 10)) << "the traffic went through the tap";
        for (const std::string &p : patterns)
            EXPECT_EQ(seen.find(p) != std::string::npos, password == nullptr) << hex_of(p);
        usbip_server_stop();
        if (HasFailure()) break;
    }
}

// A device that one client forwards is "busy" for the next; the first goes
// on, and once it has left the device can be imported again.
TEST_F(ServerForward, SecondImportOfTheSameDeviceIsBusy)
{
    start(Path::direct);
    std::unique_ptr<Imported> first = import("1-4");
    ASSERT_TRUE(first) << usbip_last_error();
    EXPECT_EQ(import("1-4"), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Import of '1-4' refused (status 2): another client uses it");
    EXPECT_EQ(first->client->control(setup(0x80, 6, 0x0100, 0, 18)).ret_submit.status, 0);
    EXPECT_EQ(import("9-9"), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Import of '9-9' refused (status 1): the server does not share it");
    usbip_conn_close(&first->conn);
    expect_released(*dev_);
    std::unique_ptr<Imported> again;
    EXPECT_TRUE(wait_until([&] { return (again = import("1-4")) != nullptr; }, 3000)) << usbip_last_error();
}

// Three devices on a port 2: of the root hub, and of two hubs (on ports 6
// and 7). Each has a bus id of its own, and importing one forwards that one
// and no other.
TEST_F(ServerForward, DevicesBehindHubsAtTheSamePortAreEachTheirOwn)
{
    bed_.add_device_at(1, "6", 0x05e3, 0x0610, 9, 9);
    bed_.add_device_at(1, "7", 0x05e3, 0x0610, 9, 9);
    UrbDevice root(bed_, "2", 22), first(bed_, "6.2", 23), second(bed_, "7.2", 24);
    const std::string local = usbip_list_local_devices();
    for (UrbDevice *d : {&root, &first, &second}) {
        EXPECT_NE(local.find("\"busid\":\"" + d->busid() + "\""), std::string::npos) << local;
        ASSERT_EQ(usbip_server_share(d->busid().c_str()), 0) << usbip_last_error();
    }
    EXPECT_EQ(root.busid(), "1-2");
    EXPECT_EQ(first.busid(), "1-6.2");
    EXPECT_EQ(second.busid(), "1-7.2");
    start(Path::direct);

    std::vector<std::unique_ptr<Imported>> held;
    for (UrbDevice *d : {&second, &root, &first}) {
        SCOPED_TRACE(d->busid());
        std::vector<bool> claimed_before;
        for (UrbDevice *o : {&root, &first, &second}) claimed_before.push_back(o->claimed(0));
        std::unique_ptr<Imported> im = import(d->busid().c_str());
        ASSERT_TRUE(im) << usbip_last_error();
        EXPECT_STREQ(im->reply.device.busid, d->busid().c_str());
        EXPECT_EQ(std::string(im->reply.device.path), "/sys/bus/usb/devices/" + d->busid());
        check_bulk_echo(*im->client, 4096, 2);
        int i = 0;
        for (UrbDevice *o : {&root, &first, &second}) {
            EXPECT_EQ(o->claimed(0), o == d || claimed_before[static_cast<std::size_t>(i)]) << o->busid();
            ++i;
        }
        held.push_back(std::move(im));
    }
    for (auto &im : held) usbip_conn_close(&im->conn);
    for (UrbDevice *d : {&root, &first, &second}) expect_released(*d);
    usbip_server_stop();
}

// A device that another program holds cannot be forwarded: "device error",
// and the device is left as it was.
TEST_F(ServerForward, DeviceThatCannotBeClaimedIsADeviceError)
{
    start(Path::direct);
    libusb_context *other = nullptr;
    ASSERT_EQ(libusb_init(&other), 0);
    // Both emulated devices have the same ids: the one at port 4.
    libusb_device **list = nullptr;
    libusb_device_handle *h = nullptr;
    ssize_t n = libusb_get_device_list(other, &list);
    for (ssize_t i = 0; i < n; ++i)
        if (libusb_get_port_number(list[i]) == 4) {
            EXPECT_EQ(libusb_open(list[i], &h), 0);
        }
    libusb_free_device_list(list, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(import("1-4"), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Import of '1-4' refused (status 3): the server cannot open it");
    EXPECT_TRUE(dev_->claimed(0));
    libusb_release_interface(h, 0);
    libusb_attach_kernel_driver(h, 0);
    libusb_close(h);
    libusb_exit(other);
}

// A hub is shared like any device, but never forwarded: its import is a
// device error (the root hub, as --share-all --forward would offer it).
TEST_F(ServerForward, HubsAreNeverForwarded)
{
    bed_.add_device(1, 0, 0x1d6b, 0x0002, 9, 9);
    ASSERT_TRUE(wait_until([] { return usbip_enum_refresh() == 3; }, 3000));
    ASSERT_EQ(usbip_server_share("1-1"), 0) << usbip_last_error();
    start(Path::direct);
    EXPECT_EQ(import("1-1"), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Import of '1-1' refused (status 3): the server cannot open it");
    // The others still are.
    EXPECT_TRUE(import("1-4") != nullptr) << usbip_last_error();
}

// However a session ends from the server's side, the client's connection
// closes at once and the device is released with its kernel driver back,
// with a transfer in flight; another device's session goes on where only
// one was meant.
TEST_F(ServerForward, EveryEndOfASessionReleasesTheDevice)
{
    enum class How { client_leaves, unshare, stop, cleanup, unplug };
    struct Case {
        const char *name;
        How how;
        bool other_goes_on;
    } cases[] = {
        {"the client leaves", How::client_leaves, true},
        {"the device is unshared", How::unshare, true},
        {"the server stops", How::stop, false},
        {"the library is cleaned up", How::cleanup, false},
        {"the device is unplugged", How::unplug, true},  // last: the device is gone after it
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        start(Path::direct);
        std::unique_ptr<Imported> im = import("1-4");
        std::unique_ptr<Imported> other = import("1-5");
        ASSERT_TRUE(im && other) << usbip_last_error();
        leave_a_urb_waiting(*im, *dev_);
        const std::int64_t begin = plat::monotonic_ms();
        switch (k.how) {
        case How::client_leaves: usbip_conn_close(&im->conn); break;
        case How::unshare: ASSERT_EQ(usbip_server_unshare("1-4"), 0); break;
        case How::stop: usbip_server_stop(); break;
        case How::cleanup: usbip_cleanup(); break;
        case How::unplug: bed_.announce_removal(dev_->syspath()); break;
        }
        if (k.how != How::client_leaves) {
            EXPECT_TRUE(closed_by_server(im->conn, 3000));
        }
        EXPECT_LT(plat::monotonic_ms() - begin, 3000);
        if (k.how == How::unplug) {
            // Nothing to re-attach on a device that has gone.
            EXPECT_TRUE(wait_until([&] { return !dev_->claimed(0) && dev_->urbs_in_flight() == 0; }, 3000));
        } else {
            expect_released(*dev_);
        }
        if (k.other_goes_on) {
            EXPECT_EQ(other->client->control(setup(0x80, 6, 0x0100, 0, 18)).ret_submit.status, 0);
        } else {
            EXPECT_TRUE(closed_by_server(other->conn, 3000));
            expect_released(*other_);
        }
        if (k.how == How::cleanup) {
            ASSERT_EQ(usbip_init(), 0);
        }
        usbip_server_stop();
        if (HasFailure()) break;
    }
}

// Bad input on the URB phase ends its own session (the device released),
// and nobody else notices: another device's session and new requests are
// served as before.
TEST_F(ServerForward, BadInputEndsOnlyItsOwnSession)
{
    start(Path::direct);
    std::unique_ptr<Imported> other = import("1-5");
    ASSERT_TRUE(other) << usbip_last_error();
    struct Case {
        const char *name;
        Bytes bytes;
    };
    const Bytes whole = submit_header(1, USBIP_DIR_OUT, 1, 64);
    const Case cases[] = {
        {"an absurd length", submit_header(1, USBIP_DIR_OUT, 1, 0x7fffffff)},
        {"too many packets", submit_header(1, USBIP_DIR_IN, 3, 1024, 100000)},
        {"an unknown command", urb_header(9, 1, 0, 0)},
        {"a sequence number in flight",
         concat({submit_header(7, USBIP_DIR_IN, 2, 64), submit_header(7, USBIP_DIR_IN, 2, 64)})},
        {"a command cut short", Bytes(whole.begin(), whole.begin() + 20)},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::unique_ptr<Imported> im = import("1-4");
        ASSERT_TRUE(im) << usbip_last_error();
        im->client->send(k.bytes);
        if (k.bytes.size() < USBIP_URB_HEADER_SIZE) {
            usbip_conn_close(&im->conn);  // and leaves
        } else {
            EXPECT_TRUE(closed_by_server(im->conn, 3000));
        }
        expect_released(*dev_);
        EXPECT_EQ(other->client->control(setup(0x80, 6, 0x0100, 0, 18)).ret_submit.status, 0);
        const char *list = usbip_client_list_remote("127.0.0.1", port_, nullptr, 0);
        ASSERT_NE(list, nullptr) << usbip_last_error();
        EXPECT_NE(std::string(list).find("\"1-4\""), std::string::npos);
    }
}

// With forwarding off an import is answered and the session ends there, as
// always: nothing is claimed. The setting counts for sessions that start
// after it.
TEST_F(ServerForward, WithForwardingOffAnImportEndsAfterItsReply)
{
    EXPECT_EQ(usbip_server_set_forwarding(0), 0);
    EXPECT_EQ(usbip_server_set_forwarding(-1), 0);
    start(Path::direct);
    std::unique_ptr<Imported> im = connect();
    ASSERT_EQ(usbip_request_import(&im->conn, "1-4", &im->reply), 0) << usbip_last_error();
    EXPECT_TRUE(closed_by_server(im->conn, 3000));
    EXPECT_FALSE(dev_->claimed(0));
    EXPECT_TRUE(dev_->driver_bound(0));
    EXPECT_FALSE(has_event(*dev_, "claim 0"));

    EXPECT_EQ(usbip_server_set_forwarding(7), 1);
    EXPECT_EQ(usbip_server_set_forwarding(-1), 1);
    std::unique_ptr<Imported> forwarded = import("1-4");
    ASSERT_TRUE(forwarded) << usbip_last_error();
    EXPECT_TRUE(dev_->claimed(0));
}

// ---------------------------------------------------------------------------
// Stock USB/IP clients

// Debian's usbip tool lists a server without password in stock-client mode;
// without the mode, or with a password, it cannot (it reads the handshake's
// flag as a USB/IP header).
TEST_F(ServerForward, DebiansUsbipListsAServerInStockClientMode)
{
    const std::string tool = usbip_tool();
    if (tool.empty()) GTEST_SKIP() << "Debian's usbip tool is not installed (package usbip; scripts/deps.sh installs it)";
    struct Case {
        const char *name;
        const char *password;
        bool stock;
        bool listed;
    } cases[] = {
        {"stock-client mode", nullptr, true, true},
        {"without the mode", nullptr, false, false},
        {"with a password", "pw", true, false},
    };
    // A mouse: device class 0, its one interface HID.
    bed_.add_device(1, 8, 0x046d, 0xc077, 0, 3);
    usbip_list_local_devices();
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(usbip_server_set_stock_clients(k.stock ? 1 : 0), k.stock ? 1 : 0);
        ASSERT_EQ(usbip_server_share("1-8"), 0) << usbip_last_error();
        start(Path::direct, k.password);
        int status = -1;
        std::string out = run_command("timeout 20 " + tool + " --tcp-port " + std::to_string(port_) +
                                          " list -r 127.0.0.1 2>&1",
                                      &status);
        if (k.listed) {
            EXPECT_EQ(status, 0) << out;
            EXPECT_NE(out.find("1-4: "), std::string::npos) << out;
            EXPECT_NE(out.find("(1209:0001)"), std::string::npos) << out;
            EXPECT_NE(out.find("1-5: "), std::string::npos) << out;
            // Each interface with its own codes, under the device's "defined
            // at interface level".
            EXPECT_NE(out.find(":  0 - Vendor Specific Class / unknown subclass / unknown protocol (ff/00/00)"),
                      std::string::npos)
                << out;
            EXPECT_NE(out.find(":  0 - Human Interface Device / No Subclass / None (03/00/00)"), std::string::npos)
                << out;
            // This library's client names the mouse as its server does.
            const char *list = usbip_client_list_remote("127.0.0.1", port_, nullptr, 0);
            ASSERT_NE(list, nullptr) << usbip_last_error();
            EXPECT_NE(std::string(list).find(R"("pid":"0xc077","vendor":"Vendor_0x046d","product":"Product_0xc077","speed":"full","class":"hid")"),
                      std::string::npos)
                << list;
        } else {
            EXPECT_NE(status, 0) << out;
            EXPECT_EQ(out.find("1-4: "), std::string::npos) << out;
        }
        usbip_server_stop();
    }
}

// In stock-client mode this library's clients still work (they wait for
// the greeting, which comes after a moment of silence), directly and by
// code; and a stock client that imports without the handshake gets the
// device's traffic.
TEST_F(ServerForward, StockClientModeKeepsTheLibrarysClientsAndForwardsToStockOnes)
{
    EXPECT_EQ(usbip_server_set_stock_clients(1), 1);
    for (Path path : {Path::direct, Path::relay}) {
        SCOPED_TRACE(path_name(path));
        start(path);
        const char *list = path == Path::relay
                               ? usbip_client_list_by_code("127.0.0.1", relay_->port(), code_.c_str(), nullptr)
                               : usbip_client_list_remote("127.0.0.1", port_, nullptr, 0);
        ASSERT_NE(list, nullptr) << usbip_last_error();
        EXPECT_NE(std::string(list).find("\"1-4\""), std::string::npos);
        std::unique_ptr<Imported> im = import("1-4");
        ASSERT_TRUE(im) << usbip_last_error();
        check_descriptors(*im->client);
        usbip_conn_close(&im->conn);
        expect_released(*dev_);
        usbip_server_stop();
    }

    start(Path::direct);
    usbip_conn stock;
    ASSERT_EQ(usbip_conn_connect_deadline(&stock, "127.0.0.1", port_), 0) << usbip_last_error();
    usbip_imported reply;
    ASSERT_EQ(usbip_request_import(&stock, "1-4", &reply), 0) << usbip_last_error();
    stock.deadline_ms = 0;
    UrbClient c(stock);
    check_descriptors(c);
    check_bulk_echo(c, 256 << 10, 4);
}
