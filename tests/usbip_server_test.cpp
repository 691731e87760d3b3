// Sharing server: the shared table on emulated devices, and sessions driven
// by raw socket clients written here. Runs under umockdev-wrapper.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "test_support.h"
#include "testbed.h"
#include "usbip_auth.h"
#include "usbip_device.h"
#include "usbip_enum.h"
#include "usbip_frame.h"
#include "usbip_protocol.h"
#include "usbip_server.h"

namespace {

// True once no thread runs that carries the process's name (as threads of
// the library do) and was not running at `before`; checked for up to a
// second, as a finished thread takes a moment to go.
bool no_threads_beyond(const std::set<int> &before)
{
    for (int i = 0; i < 50; ++i) {
        bool extra = false;
        for (int tid : unnamed_thread_ids())
            if (before.count(tid) == 0) extra = true;
        if (!extra) return true;
        plat::sleep_ms(20);
    }
    return false;
}

// Four devices on bus 1: root hub 1-1, keyboard 1-2, storage 1-3, and 1-10
// (a prefix match of 1-1 must not find it).
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bed_.add_device(1, 0, 0x1d6b, 0x0002, 9, 9);
        bed_.add_device(1, 2, 0x046d, 0xc31c, 0, 3);
        bed_.add_device(1, 3, 0x0781, 0x5567, 0, 8);
        bed_.add_device(1, 10, 0x1234, 0x0003, 0xff, 0xff);
        add_more_devices();
        // The emulation starts helper threads of its own when a device is
        // first opened: a first round lets them start before the count.
        ASSERT_EQ(usbip_init(), 0);
        usbip_cleanup();
        threads_before_init_ = unnamed_thread_ids();
        ASSERT_EQ(usbip_init(), 0);
        ASSERT_GE(usbip_local_device_count(), 4);
        threads_before_ = unnamed_thread_ids();
    }
    // Devices added before the library starts reach it without a hot-plug
    // event each (a burst of events overruns the emulation when the library's
    // USB monitor is slow to read them, as under ThreadSanitizer).
    virtual void add_more_devices() {}

    void TearDown() override
    {
        usbip_server_set_session_limit_ms(30000);
        usbip_cleanup();
        // Nothing the library started runs any more. (The emulation's own
        // helper threads come and go as devices are opened and closed: give
        // them a moment.)
        EXPECT_TRUE(no_threads_beyond(threads_before_init_)) << thread_names();
    }

    std::vector<std::string> shared_busids()
    {
        std::vector<std::string> out;
        for (const auto &d : nlohmann::json::parse(usbip_server_list_shared())) out.push_back(d["busid"]);
        return out;
    }

    // Starts a server on a free port; returns the port.
    int start(const char *password = nullptr, int tls = 0)
    {
        int port = free_port();
        EXPECT_EQ(usbip_server_start(port, password, tls), 0) << usbip_last_error();
        return port;
    }

    Testbed bed_;
    std::set<int> threads_before_init_;
    std::set<int> threads_before_;
};

usbip_device local(const char *busid)
{
    usbip_device d{};
    EXPECT_TRUE(usbip_enum_find_by_busid(busid, &d)) << busid;
    return d;
}

std::string request(std::uint16_t code) { return reply_header(code, 0); }

std::string import_request(const std::string &busid_field)
{
    std::string field = busid_field;
    field.resize(32, '\0');
    return request(0x8003) + field;
}

// One raw session: handshake without password, the request, and every byte
// of the answer until the server closes.
std::string raw_session(int port, const std::string &req)
{
    int fd = raw_connect(port);
    std::string answer;
    if (fd >= 0 && raw_client_handshake(fd) && raw_send(fd, req)) answer = raw_recv_all(fd);
    raw_close(fd);
    return answer;
}

}  // namespace

// ---------------------------------------------------------------------------
// The shared table

TEST_F(ServerTest, ShareTwiceListsOnceExactlyAsTheLocalDevice)
{
    EXPECT_EQ(usbip_server_share("1-2"), 0);
    EXPECT_EQ(usbip_server_share("1-2"), 0);
    auto list = nlohmann::json::parse(usbip_server_list_shared());
    ASSERT_EQ(list.size(), 1u);
    std::string local_json;
    usbip_dev_to_json(local_json, local("1-2"));
    EXPECT_EQ(list[0].dump(), nlohmann::json::parse(local_json).dump());
}

TEST_F(ServerTest, RefusalsAndTheirMessages)
{
    auto check = [](int result, const char *message, int code) {
        EXPECT_EQ(result, -1);
        EXPECT_STREQ(usbip_last_error(), message);
        EXPECT_EQ(usbip_last_error_code(), code) << message;
    };
    check(usbip_server_share(nullptr), "Invalid busid provided", USBIP_ERROR_INVALID_ARGUMENT);
    check(usbip_server_share(""), "Invalid busid provided", USBIP_ERROR_INVALID_ARGUMENT);
    check(usbip_server_share("9-9"), "Device '9-9' not found locally to share", USBIP_ERROR_NOT_FOUND);
    check(usbip_server_share("1-1 "), "Device '1-1 ' not found locally to share", USBIP_ERROR_NOT_FOUND);
    check(usbip_server_unshare("1-2"), "Device '1-2' is not shared", USBIP_ERROR_NOT_SHARED);
    check(usbip_server_unshare(""), "Device '' is not shared", USBIP_ERROR_NOT_SHARED);
    check(usbip_server_share_rule("1-1:2"), "Invalid share rule '1-1:2'", USBIP_ERROR_INVALID_ARGUMENT);
    check(usbip_server_unshare_rule("1-9"), "Share rule '1-9' is not in force", USBIP_ERROR_NOT_SHARED);
    check(usbip_server_register_relay(nullptr, 1, nullptr) == nullptr ? -1 : 0, "Invalid relay host or port",
          USBIP_ERROR_INVALID_ARGUMENT);
    check(usbip_server_start(0, std::string(128, 'p').c_str(), 0), "Password too long: at most 127 bytes",
          USBIP_ERROR_INVALID_ARGUMENT);
    usbip_set_last_error(USBIP_ERROR_INTERNAL, "kept");
    EXPECT_EQ(usbip_server_unshare(nullptr), -1);
    EXPECT_STREQ(usbip_last_error(), "kept");
    EXPECT_EQ(usbip_last_error_code(), USBIP_ERROR_INTERNAL);
    EXPECT_STREQ(usbip_server_list_shared(), "[]");
}

TEST_F(ServerTest, BusIdsCompareExactlyAndUnshareKeepsOrder)
{
    for (const char *b : {"1-1", "1-2", "1-3", "1-10"}) ASSERT_EQ(usbip_server_share(b), 0);
    EXPECT_EQ(usbip_server_unshare("1-2"), 0);
    EXPECT_EQ(shared_busids(), (std::vector<std::string>{"1-1", "1-3", "1-10"}));
    EXPECT_EQ(usbip_server_unshare("1-1"), 0);  // not 1-10
    EXPECT_EQ(shared_busids(), (std::vector<std::string>{"1-3", "1-10"}));
    EXPECT_EQ(usbip_server_unshare("1-10"), 0);
    EXPECT_EQ(usbip_server_unshare("1-3"), 0);
    EXPECT_STREQ(usbip_server_list_shared(), "[]");
}

// Lists until `busid` is present (or absent): hot-plug events reach libusb
// on its own thread.
bool inventory_has(const std::string &busid, bool wanted)
{
    for (int i = 0; i < 200; ++i) {
        bool present = std::string(usbip_list_local_devices()).find("\"" + busid + "\"") != std::string::npos;
        if (present == wanted) return true;
        plat::sleep_ms(25);
    }
    return false;
}

// 64 devices: the root hub and three devices, and 60 more.
class FullServerTest : public ServerTest {
protected:
    void add_more_devices() override
    {
        for (unsigned port = 20; port < 80; ++port) bed_.add_device(1, port, 0x16c0, port, 0xff);
    }
};

TEST_F(FullServerTest, SixtyFourSharedThenTheSixtyFifth)
{
    ASSERT_EQ(usbip_local_device_count(), 64);
    for (const auto &d : nlohmann::json::parse(usbip_list_local_devices()))
        ASSERT_EQ(usbip_server_share(d["busid"].get<std::string>().c_str()), 0);

    bed_.add_device(2, 5, 0x16c0, 0x9999, 0xff);
    ASSERT_TRUE(inventory_has("2-5", true));
    EXPECT_EQ(usbip_server_share("2-5"), -1);
    EXPECT_STREQ(usbip_last_error(), "Maximum shared devices reached");
    EXPECT_EQ(usbip_server_share("1-2"), 0);  // already shared
    EXPECT_EQ(shared_busids().size(), 64u);
}

TEST_F(ServerTest, UnpluggedSharedDeviceStaysListedUntilUnshared)
{
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    ASSERT_EQ(usbip_server_share("1-3"), 0);
    // libusb hears of hot-plugs once its monitor runs; a device that shows
    // up proves it does, and the unplug below is not lost.
    bed_.add_device(2, 7, 0x16c0, 0x7777, 0xff);
    ASSERT_TRUE(inventory_has("2-7", true));
    const std::string gone = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    bed_.announce_removal(gone);
    ASSERT_TRUE(inventory_has("1-2", false));
    bed_.remove_device(gone);
    EXPECT_EQ(shared_busids(), (std::vector<std::string>{"1-2", "1-3"}));
    EXPECT_EQ(usbip_server_share("1-2"), -1);
    EXPECT_STREQ(usbip_last_error(), "Device '1-2' not found locally to share");
    EXPECT_EQ(usbip_server_unshare("1-2"), 0);
    EXPECT_EQ(shared_busids(), (std::vector<std::string>{"1-3"}));
}

TEST_F(ServerTest, StopOfARunningServerEmptiesTheTable)
{
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    usbip_server_stop();  // not running: the table stays
    EXPECT_EQ(shared_busids().size(), 1u);
    int port = start();
    EXPECT_EQ(shared_busids().size(), 1u);  // start leaves it alone
    usbip_server_stop();
    usbip_server_stop();
    EXPECT_STREQ(usbip_server_list_shared(), "[]");
    // Restarted, the server lists nothing until devices are shared again.
    ASSERT_EQ(usbip_server_start(port, nullptr, 0), 0);
    EXPECT_EQ(hex_of(raw_session(port, request(0x8005))), "011100050000000000000000");
}

// ---------------------------------------------------------------------------
// Sessions

TEST_F(ServerTest, DevlistAndImportRepliesByteForByte)
{
    ASSERT_EQ(usbip_server_share("1-3"), 0);
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    int port = start();

    usbip_device shared[2] = {local("1-3"), local("1-2")};
    std::string expected;
    usbip_encode_devlist_reply(expected, shared, 2);
    EXPECT_EQ(hex_of(raw_session(port, request(0x8005))), hex_of(expected));

    struct Case {
        std::string busid_field;
        const usbip_device *dev;
    } cases[] = {
        {"1-2", &shared[1]},
        {"7-7", nullptr},
        {"1-1", nullptr},                      // present locally, not shared
        {std::string("1-2\0xyz", 7), &shared[1]},  // text ends at the first NUL
        {std::string(32, '1'), nullptr},       // no NUL at all: 31 characters count
    };
    for (const auto &c : cases) {
        std::string want;
        usbip_encode_import_reply(want, c.dev);
        EXPECT_EQ(hex_of(raw_session(port, import_request(c.busid_field))), hex_of(want));
    }
}

TEST_F(ServerTest, UnknownOpcodeAndSecondRequestGetNoAnswer)
{
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    int port = start();
    EXPECT_EQ(raw_session(port, request(0x1234)), "");
    // One request per connection: the second one is never read.
    std::string both = raw_session(port, request(0x8005) + request(0x8005));
    EXPECT_EQ(both.size(), 12u + 312 + 4);
}

TEST_F(ServerTest, PasswordDecidesBeforeAnyUsbIpByte)
{
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    int port = start("s3cret");
    struct Case {
        const char *password;
        std::uint32_t result;
        bool answered;
    } cases[] = {{"s3cret", 0, true}, {"wrong", 1, false}, {"", 1, false}};
    for (const auto &c : cases) {
        int fd = raw_connect(port);
        std::string hello = raw_recv_n(fd, 36);
        ASSERT_EQ(hello.size(), 36u);
        // The password flag with the offer of the secure exchange, which a
        // client that does not know it reads as "password required" (as this
        // one does, byte for byte as before).
        EXPECT_EQ(be32_at(hello, 0), 3u);
        std::uint8_t proof[32];
        usbip_auth_proof(reinterpret_cast<const std::uint8_t *>(hello.data() + 4), c.password, proof);
        raw_send(fd, proof, sizeof proof);
        EXPECT_EQ(raw_recv_n(fd, 4), be32(c.result));
        raw_send(fd, request(0x8005));
        EXPECT_EQ(raw_recv_all(fd).size(), c.answered ? 12u + 316 : 0u) << c.password;
        raw_close(fd);
    }
}

TEST_F(ServerTest, TlsServerServesTlsClientsAndDropsPlainOnes)
{
    ASSERT_EQ(usbip_server_share("1-3"), 0);
    int port = start("pw", 1);
    const char *json = usbip_client_device_info("127.0.0.1", port, "1-3", "pw", 1);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    EXPECT_EQ(nlohmann::json::parse(json)["pid"], "0x5567");

    int fd = raw_connect(port);
    raw_send(fd, request(0x8005));  // no TLS hello
    EXPECT_EQ(raw_recv_all(fd), "");  // closed without a USB/IP byte
    raw_close(fd);
}

// The longest password the library takes is 127 bytes, whole; a longer one
// is refused by the server and by every client call before a byte is sent
// (a server that cut it could never be reached with it).
TEST_F(ServerTest, PasswordsLongerThanKeptAreRefusedNotCut)
{
    const std::string longest(127, 'p'), too_long(128, 'p');
    int port = free_port();
    usbip_set_last_error(USBIP_ERROR_INTERNAL, "before");
    EXPECT_EQ(usbip_server_start(port, too_long.c_str(), 0), -1);
    EXPECT_STREQ(usbip_last_error(), "Password too long: at most 127 bytes");
    EXPECT_EQ(usbip_server_port(), 0);  // nothing started

    ASSERT_EQ(usbip_server_start(port, longest.c_str(), 0), 0) << usbip_last_error();
    EXPECT_STREQ(usbip_client_list_remote("127.0.0.1", port, longest.c_str(), 0), "[]") << usbip_last_error();
    // A longer one that begins with the kept one never passes for it.
    Listener silent;  // would see a connection if one were made
    struct Case {
        const char *name;
        std::function<const char *()> call;
    } cases[] = {
        {"list_remote", [&] { return usbip_client_list_remote("127.0.0.1", silent.port(), too_long.c_str(), 0); }},
        {"device_info",
         [&] { return usbip_client_device_info("127.0.0.1", silent.port(), "1-1", too_long.c_str(), 1); }},
        {"list_by_code",
         [&] { return usbip_client_list_by_code("127.0.0.1", silent.port(), "ABCDEF", too_long.c_str()); }},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(), nullptr) << c.name;
        EXPECT_STREQ(usbip_last_error(), "Password too long: at most 127 bytes") << c.name;
    }
    int connected = silent.accept_one(100);
    EXPECT_EQ(connected, -1) << "a client call connected";
    if (connected >= 0) raw_close(connected);
}

// Port 0 lets the system choose; the server says which port it got.
TEST_F(ServerTest, PortZeroReportsThePortTheSystemChose)
{
    EXPECT_EQ(usbip_server_port(), 0);
    ASSERT_EQ(usbip_server_start(0, nullptr, 0), 0) << usbip_last_error();
    int port = usbip_server_port();
    ASSERT_GT(port, 0);
    EXPECT_STREQ(usbip_client_list_remote("127.0.0.1", port, nullptr, 0), "[]") << usbip_last_error();
    usbip_server_stop();
    EXPECT_EQ(usbip_server_port(), 0);
    int chosen = free_port();
    ASSERT_EQ(usbip_server_start(chosen, nullptr, 0), 0);
    EXPECT_EQ(usbip_server_port(), chosen);
}

TEST_F(ServerTest, SecondStartKeepsTheFirstSettings)
{
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    int first = start("one");
    int second = free_port();
    EXPECT_EQ(usbip_server_start(second, nullptr, 1), 0);
    EXPECT_EQ(raw_connect(second, 1000), -1);  // nothing listens there
    EXPECT_NE(usbip_client_list_remote("127.0.0.1", first, "one", 0), nullptr) << usbip_last_error();
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", first, "two", 0), nullptr);
}

TEST_F(ServerTest, BindFailureNamesThePortAndPortsUseLow16Bits)
{
    Listener busy;
    for (int port : {busy.port(), busy.port() + 65536}) {
        EXPECT_EQ(usbip_server_start(port, nullptr, 0), -1);
        EXPECT_EQ(usbip_last_error(), "server_start: bind() failed on port " + std::to_string(port));
    }
    int free = free_port();
    ASSERT_EQ(usbip_server_start(free + 65536, nullptr, 0), 0);
    EXPECT_STREQ(usbip_client_list_remote("127.0.0.1", free, nullptr, 0), "[]");
}

TEST_F(ServerTest, StopEndsSessionsInProgress)
{
    int port = start();
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) idle.push_back(raw_connect(port));
    // Wait until every connection has its session (the flag has arrived).
    for (int fd : idle) ASSERT_EQ(raw_recv_n(fd, 4).size(), 4u);
    auto begin = plat::monotonic_ms();
    usbip_server_stop();
    EXPECT_LT(plat::monotonic_ms() - begin, 2000);
    for (int fd : idle) {
        EXPECT_TRUE(raw_wait_closed(fd, 2000));
        raw_close(fd);
    }
    EXPECT_TRUE(no_threads_beyond(threads_before_)) << thread_names();
}

TEST_F(ServerTest, SilentClientIsCutOffAfterTheSessionLimit)
{
    usbip_server_set_session_limit_ms(300);
    int port = start();
    int fd = raw_connect(port);
    ASSERT_EQ(raw_recv_n(fd, 36).size(), 36u);  // the session runs; the client says nothing
    EXPECT_TRUE(raw_wait_closed(fd, 3000));
    raw_close(fd);
}

TEST_F(ServerTest, TwoHundredSilentConnectionsBlockNobody)
{
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    int port = start();
    std::vector<int> silent;
    for (int i = 0; i < 200; ++i) silent.push_back(raw_connect_from(("127.0.1." + std::to_string(i / 20 + 1)).c_str(), port));
    for (int fd : silent) ASSERT_GE(fd, 0);
    // Clients that speak are served, and the host's calls go through.
    const char *json = usbip_client_list_remote("127.0.0.1", port, nullptr, 0);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    EXPECT_EQ(nlohmann::json::parse(json).size(), 1u);
    auto begin = plat::monotonic_ms();
    EXPECT_EQ(usbip_server_share("1-3"), 0);
    EXPECT_EQ(shared_busids().size(), 2u);
    EXPECT_EQ(usbip_server_unshare("1-3"), 0);
    usbip_server_stop();
    EXPECT_LT(plat::monotonic_ms() - begin, 5000);
    for (int fd : silent) raw_close(fd);
}

// A TLS client that drips its hello a byte at a time is cut off when its
// session limit runs out, like a silent one.
TEST_F(ServerTest, DrippingTlsClientIsCutOffAtTheSessionLimit)
{
    usbip_server_set_session_limit_ms(1500);
    int port = start(nullptr, 1);
    Fd fd(raw_connect(port));
    auto t0 = plat::monotonic_ms();
    std::string hello = std::string("\x16\x03\x01\x40\x00", 5) + std::string(16384, '\x01');
    bool closed = false;
    for (std::size_t i = 0; i < 60 && !closed; ++i) {
        raw_send(fd, hello.substr(i, 1));
        closed = raw_wait_closed(fd, 200);
    }
    auto spent = plat::monotonic_ms() - t0;
    EXPECT_TRUE(closed);
    EXPECT_GE(spent, 1300);
    EXPECT_LT(spent, 4000);
}

// A stop wakes sessions that wait for their clients at once, but a reply
// that is being written is finished: the client gets all of it.
TEST_F(FullServerTest, StopLetsAReplyInFlightFinish)
{
    for (const auto &d : nlohmann::json::parse(usbip_list_local_devices()))
        ASSERT_EQ(usbip_server_share(d["busid"].get<std::string>().c_str()), 0);
    int port = start();
    // A client with a small receive window that does not read yet: the
    // reply (64 devices, about 20 KB) cannot leave the server at once.
    Fd client(raw_connect_small_window(port, 2048));
    ASSERT_GE(client, 0);
    ASSERT_TRUE(raw_client_handshake(client));
    ASSERT_TRUE(raw_send(client, request(0x8005)));
    Fd idle(raw_connect(port));  // a session that waits for its client
    ASSERT_EQ(raw_recv_n(idle, 36).size(), 36u);
    // The reply is under way once its first bytes are here.
    std::string reply = raw_recv_n(client, 12);
    ASSERT_EQ(reply.size(), 12u);

    auto t0 = plat::monotonic_ms();
    std::thread stop([] { usbip_server_stop(); });
    EXPECT_TRUE(raw_wait_closed(idle, 1000)) << "the waiting session ends at once";
    reply += raw_recv_all(client);
    stop.join();
    EXPECT_LT(plat::monotonic_ms() - t0, 2500);
    ASSERT_EQ(reply.size(), 12u + 64u * (312u + 4u));
    EXPECT_EQ(be32_at(reply, 8), 64u);
}

TEST_F(ServerTest, LibraryClientAgainstLibraryServer)
{
    for (const char *b : {"1-1", "1-2", "1-3"}) ASSERT_EQ(usbip_server_share(b), 0);
    struct Case {
        const char *password;
        int tls;
    } cases[] = {{nullptr, 0}, {"pw", 0}, {"pw", 1}};
    for (const auto &c : cases) {
        int port = start(c.password, c.tls);
        const char *json = usbip_client_list_remote("127.0.0.1", port, c.password, c.tls);
        ASSERT_NE(json, nullptr) << usbip_last_error();
        auto list = nlohmann::json::parse(json);
        ASSERT_EQ(list.size(), 3u);
        // Remote names come from the ids; the class of a device of class 0
        // from its first interface, as locally.
        EXPECT_EQ(list[1]["vendor"], "Vendor_0x046d");
        EXPECT_EQ(list[1]["class"], "hid");
        EXPECT_EQ(list[2]["class"], "mass-storage");
        EXPECT_EQ(list[0]["class"], "hub");
        usbip_server_stop();
        for (const char *b : {"1-1", "1-2", "1-3"}) ASSERT_EQ(usbip_server_share(b), 0);
    }
}
