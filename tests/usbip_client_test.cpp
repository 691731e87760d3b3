// Direct remote queries against raw servers written here, so that the
// client is checked against bytes of the test's own making.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "usbip_frame.h"
#include "usbip_protocol.h"

namespace {

std::string devlist(const std::vector<std::string> &blocks_with_interfaces)
{
    std::string out = reply_header(0x0005, 0) + be32(static_cast<std::uint32_t>(blocks_with_interfaces.size()));
    for (const auto &b : blocks_with_interfaces) out += b;
    return out;
}

std::string entry(const std::string &busid, std::uint32_t speed, std::uint8_t cls, std::uint16_t vid,
                  std::uint16_t pid)
{
    return raw_block(busid, speed, cls, 1, vid, pid) + std::string{char(cls), 0, 0, 0};
}

// Serves one connection: handshake without password, checks that the
// request is exactly OP_REQ_DEVLIST, answers `reply`, closes.
class RawServer {
public:
    explicit RawServer(std::string reply) : reply_(std::move(reply))
    {
        thread_ = std::thread([this] {
            int fd = listener_.accept_one();
            if (fd < 0) return;
            if (raw_server_handshake(fd, 0)) {
                request_ = raw_recv_n(fd, 8);
                raw_send(fd, reply_);
            }
            raw_close(fd);
        });
    }
    ~RawServer() { join(); }
    void join()
    {
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return listener_.port(); }
    const std::string &request() const { return request_; }

private:
    Listener listener_;
    std::string reply_;
    std::string request_;
    std::thread thread_;
};


}  // namespace

TEST(ListRemote, DecodesAndNamesEveryDevice)
{
    RawServer server(devlist({entry("1-1", 3, 0x09, 0x1d6b, 0x0002), entry("2-4", 4, 0xff, 0x046d, 0xC31C),
                              entry("3-1", 7, 0xe0, 0xABCD, 0x0001)}));
    const char *json = usbip_client_list_remote("127.0.0.1", server.port(), nullptr, 0);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    server.join();
    EXPECT_EQ(hex_of(server.request()), "0111800500000000");
    EXPECT_EQ(std::string(json),
              R"([{"busid":"1-1","vid":"0x1d6b","pid":"0x0002","vendor":"Vendor_0x1d6b","product":"Product_0x0002","speed":"high","class":"hub"},)"
              R"({"busid":"2-4","vid":"0x046d","pid":"0xc31c","vendor":"Vendor_0x046d","product":"Product_0xc31c","speed":"wireless","class":"vendor-specific"},)"
              R"({"busid":"3-1","vid":"0xabcd","pid":"0x0001","vendor":"Vendor_0xabcd","product":"Product_0x0001","speed":"unknown","class":"vendor-specific"}])");
}

// A device of class 0 is named by its first interface, with the table of
// local devices, as its server names it: a mouse is "hid" on both sides.
// Every other device keeps the remote table.
TEST(ListRemote, ClassZeroDeviceIsNamedByItsFirstInterface)
{
    struct Case {
        const char *busid;
        std::uint8_t device_class;
        int interfaces;
        int first_interface_class;
        const char *cls;
    } cases[] = {
        {"1-2", 0x00, 1, 0x03, "hid"},
        {"1-3", 0x00, 2, 0x08, "mass-storage"},
        {"1-4", 0x00, 1, 0xe0, "wireless"},      // the local table's name
        {"1-5", 0x00, 1, 0xdc, "other"},         // the local table's name
        {"1-6", 0x00, 1, 0xff, "vendor-specific"},
        {"1-7", 0x00, 0, -1, "vendor-specific"},  // no interface entry to go by
        {"1-8", 0xe0, 1, 0x03, "vendor-specific"},  // a device class of its own: the remote table
        {"1-9", 0xef, 1, 0x0e, "vendor-specific"},
    };
    std::vector<std::string> entries;
    for (const Case &c : cases) {
        std::string e = raw_block(c.busid, 2, c.device_class, static_cast<std::uint8_t>(c.interfaces), 0x1234, 0x5678);
        for (int i = 0; i < c.interfaces; ++i)
            e += std::string{char(i == 0 ? c.first_interface_class : 0x01), 0, 0, 0};
        entries.push_back(e);
    }
    RawServer server(devlist(entries));
    const char *json = usbip_client_list_remote("127.0.0.1", server.port(), nullptr, 0);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    const nlohmann::json list = nlohmann::json::parse(json);
    ASSERT_EQ(list.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(list[i]["busid"], cases[i].busid);
        EXPECT_EQ(list[i]["class"], cases[i].cls) << cases[i].busid;
    }
}

TEST(ListRemote, EmptyServerAndHostileBusIds)
{
    {
        RawServer server(devlist({}));
        const char *json = usbip_client_list_remote("127.0.0.1", server.port(), "", 0);
        ASSERT_NE(json, nullptr) << usbip_last_error();
        EXPECT_STREQ(json, "[]");
    }
    // A server cannot inject members into what the host parses.
    RawServer server(devlist({entry("1-1\",\"vid\":\"0xdead", 2, 3, 1, 2), entry(std::string("\x01\xff", 2), 2, 3, 1, 2)}));
    const char *json = usbip_client_list_remote("127.0.0.1", server.port(), nullptr, 0);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    auto parsed = nlohmann::json::parse(json);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0]["busid"], "1-1\",\"vid\":\"0xdead");
    EXPECT_EQ(parsed[0]["vid"], "0x0001");
    EXPECT_EQ(parsed[1]["busid"], "\x01\xef\xbf\xbd");
}

TEST(ListRemote, MoreThanSixtyFourDevicesKeepsTheFirstSixtyFour)
{
    std::vector<std::string> entries;
    for (int i = 0; i < 70; ++i) entries.push_back(entry("1-" + std::to_string(i), 2, 3, 1, 2));
    std::string reply = devlist(entries);
    {
        RawServer server(reply);
        const char *json = usbip_client_list_remote("127.0.0.1", server.port(), nullptr, 0);
        ASSERT_NE(json, nullptr) << usbip_last_error();
        auto parsed = nlohmann::json::parse(json);
        ASSERT_EQ(parsed.size(), 64u);
        EXPECT_EQ(parsed[63]["busid"], "1-63");
    }
    RawServer server(reply);
    EXPECT_EQ(usbip_client_device_info("127.0.0.1", server.port(), "1-64", nullptr, 0), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Remote device with busid '1-64' not found");
}

TEST(DeviceInfo, LookupIsExactAndFindsTheFirst)
{
    std::string reply = devlist({entry("1-1", 2, 3, 0x1111, 1), entry("1-10", 2, 3, 0x2222, 2),
                                 entry("1-10", 2, 3, 0x3333, 3), entry("A-1", 2, 3, 0x4444, 4)});
    struct Case {
        const char *busid;
        const char *vid;  // nullptr: not found
    } cases[] = {{"1-1", "0x1111"}, {"1-10", "0x2222"}, {"a-1", nullptr}, {"1-", nullptr}, {"", nullptr}};
    for (const auto &c : cases) {
        RawServer server(reply);
        const char *json = usbip_client_device_info("127.0.0.1", server.port(), c.busid, nullptr, 0);
        if (c.vid == nullptr) {
            EXPECT_EQ(json, nullptr);
            EXPECT_EQ(std::string(usbip_last_error()),
                      std::string("Remote device with busid '") + c.busid + "' not found");
        } else {
            ASSERT_NE(json, nullptr) << usbip_last_error();
            EXPECT_EQ(nlohmann::json::parse(json)["vid"], c.vid);
        }
    }
}

TEST(ClientArguments, RefusedBeforeAnyConnection)
{
    Listener l;  // any connection attempt would show up here
    int p = l.port();
    struct Case {
        std::function<const char *()> call;
        const char *message;
    } cases[] = {
        {[&] { return usbip_client_list_remote(nullptr, p, nullptr, 0); }, "Invalid host or port"},
        {[&] { return usbip_client_list_remote("127.0.0.1", 0, nullptr, 0); }, "Invalid host or port"},
        {[&] { return usbip_client_list_remote("127.0.0.1", -1, nullptr, 1); }, "Invalid host or port"},
        {[&] { return usbip_client_device_info(nullptr, p, "1-1", nullptr, 0); },
         "Invalid parameters for client_device_info"},
        {[&] { return usbip_client_device_info("127.0.0.1", 0, "1-1", nullptr, 0); },
         "Invalid parameters for client_device_info"},
        {[&] { return usbip_client_device_info("127.0.0.1", p, nullptr, nullptr, 0); },
         "Invalid parameters for client_device_info"},
    };
    for (const auto &c : cases) {
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "before");
        EXPECT_EQ(c.call(), nullptr);
        EXPECT_STREQ(usbip_last_error(), c.message);
    }
    EXPECT_EQ(l.accept_one(100), -1);
}

TEST(ClientFailures, EachStepReportsItsMessage)
{
    int closed = free_port();
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", closed, nullptr, 0), nullptr);
    EXPECT_EQ(usbip_last_error(), "Could not connect to 127.0.0.1:" + std::to_string(closed));
    EXPECT_EQ(usbip_client_list_remote("no-such-host.invalid", 3240, nullptr, 0), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Failed to resolve host: no-such-host.invalid");

    struct Case {
        std::uint32_t flag;
        std::string reply;
        const char *message;
    } cases[] = {
        {1, "", "Server requires password authentication but none was provided"},
        {0, reply_header(0x0003, 1), "DEVLIST reply error code: 0x0003 status: 1"},
        {0, devlist({}).substr(0, 10), "recv() failed or connection closed"},
    };
    for (const auto &c : cases) {
        Listener l;
        std::thread server([&] {
            int fd = l.accept_one();
            if (c.flag) {
                raw_send(fd, be32(1) + std::string(32, 'c'));
                raw_wait_closed(fd, 5000);
            } else if (raw_server_handshake(fd, 0)) {
                raw_recv_n(fd, 8);
                raw_send(fd, c.reply);
            }
            raw_close(fd);
        });
        EXPECT_EQ(usbip_client_list_remote("127.0.0.1", l.port(), nullptr, 0), nullptr);
        EXPECT_STREQ(usbip_last_error(), c.message);
        server.join();
    }
}

TEST(ClientFailures, TlsAgainstAPlainServerFailsInTheTlsHandshake)
{
    RawServer server(devlist({}));  // its first bytes are the handshake's flag
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", server.port(), nullptr, 1), nullptr);
    EXPECT_TRUE(std::regex_match(usbip_last_error(), std::regex("TLS client handshake failed: -0x[0-9a-f]{4,}")))
        << usbip_last_error();
}

TEST(ClientFailures, SilentServerTimesOutWithTheTimeoutMessage)
{
    ClientTimeout timeout(1000);
    Listener l;
    std::thread server([&] {
        int fd = l.accept_one();
        raw_wait_closed(fd, 5000);
        raw_close(fd);
    });
    EXPECT_EQ(usbip_client_device_info("127.0.0.1", l.port(), "1-1", nullptr, 0), nullptr);
    EXPECT_EQ(std::string(usbip_last_error()),
              "Timed out after 1s connecting to 127.0.0.1:" + std::to_string(l.port()) +
                  " (server accepted the connection but sent no response - check the port and that the "
                  "server is running)");
    server.join();
}

TEST(ClientFailures, FailingCallLeavesThePreviousResult)
{
    RawServer server(devlist({entry("1-1", 2, 3, 1, 2)}));
    const char *first = usbip_client_list_remote("127.0.0.1", server.port(), nullptr, 0);
    ASSERT_NE(first, nullptr);
    std::string text = first;
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", free_port(), nullptr, 0), nullptr);
    EXPECT_EQ(std::string(first), text);
}

// What a host decides by: each failure's code, beside its message. The
// peer of each case is raw bytes of the test's own making.
TEST(ErrorCodes, EachClientFailureHasItsCode)
{
    ClientTimeout timeout(2000);
    using Serve = std::function<void(int fd)>;
    const Serve closes = [](int) {};
    const Serve greets_with_password = [](int fd) {
        raw_send(fd, be32(1) + std::string(32, 'c'));
        raw_wait_closed(fd, 5000);
    };
    const Serve rejects_the_password = [](int fd) { raw_server_handshake(fd, 1, 1); };
    const Serve refuses_the_address = [](int fd) { raw_send(fd, be32(0xffffffffu) + be32(42)); };
    const Serve answers_an_error = [](int fd) {
        if (raw_server_handshake(fd, 0)) {
            raw_recv_n(fd, 8);
            raw_send(fd, reply_header(0x0003, 1));
        }
    };
    const Serve breaks_off = [](int fd) {
        if (raw_server_handshake(fd, 0)) {
            raw_recv_n(fd, 8);
            raw_send(fd, devlist({}).substr(0, 10));
        }
    };
    const Serve stays_silent = [](int fd) { raw_wait_closed(fd, 5000); };
    auto relay_answers = [](std::string line) -> Serve {
        return [line](int fd) {
            raw_recv_line(fd);
            raw_send(fd, line + "\n");
        };
    };
    struct Case {
        Serve serve;
        bool by_code, tls;
        const char *password;
        int code;
        std::string message;  // "" where the test's port is in it
    } cases[] = {
        {closes, false, false, nullptr, USBIP_ERROR_NOT_A_SERVER, "Failed to receive authentication challenge from server"},
        {refuses_the_address, false, false, "pw", USBIP_ERROR_REFUSED,
         "Server refuses this address for 42 s after too many failed passwords"},
        {greets_with_password, false, false, nullptr, USBIP_ERROR_PASSWORD_REQUIRED,
         "Server requires password authentication but none was provided"},
        {rejects_the_password, false, false, "wrong", USBIP_ERROR_PASSWORD_REJECTED,
         "Authentication rejected by server (invalid password)"},
        {answers_an_error, false, false, nullptr, USBIP_ERROR_PROTOCOL, "DEVLIST reply error code: 0x0003 status: 1"},
        {breaks_off, false, false, nullptr, USBIP_ERROR_CONNECTION_LOST, "recv() failed or connection closed"},
        {stays_silent, false, false, nullptr, USBIP_ERROR_TIMEOUT, ""},
        {breaks_off, false, true, nullptr, USBIP_ERROR_TLS_HANDSHAKE, ""},
        {relay_answers("ERROR Code not found"), true, false, nullptr, USBIP_ERROR_CODE_NOT_FOUND,
         "Relay returned: ERROR Code not found"},
        {relay_answers("ERROR Server failed to attach"), true, false, nullptr, USBIP_ERROR_ATTACH_FAILED,
         "Relay returned: ERROR Server failed to attach"},
        {relay_answers("ERROR Relay capacity reached"), true, false, nullptr, USBIP_ERROR_RELAY_FULL,
         "Relay returned: ERROR Relay capacity reached"},
        {relay_answers("ERROR Too many requests"), true, false, nullptr, USBIP_ERROR_RATE_LIMITED,
         "Relay returned: ERROR Too many requests"},
        {relay_answers("ERROR Something new"), true, false, nullptr, USBIP_ERROR_RELAY_REFUSED,
         "Relay returned: ERROR Something new"},
        {closes, true, false, nullptr, USBIP_ERROR_TIMEOUT, "Relay timeout on connection response"},
    };
    for (const auto &c : cases) {
        Listener l;
        std::thread peer([&] {
            int fd = l.accept_one();
            if (fd < 0) return;
            c.serve(fd);
            raw_close(fd);
        });
        const char *result = c.by_code ? usbip_client_list_by_code("127.0.0.1", l.port(), "ABC234", c.password)
                                       : usbip_client_list_remote("127.0.0.1", l.port(), c.password, c.tls ? 1 : 0);
        EXPECT_EQ(result, nullptr) << c.message;
        EXPECT_EQ(usbip_last_error_code(), c.code) << usbip_last_error();
        if (!c.message.empty()) {
            EXPECT_EQ(usbip_last_error(), c.message);
        }
        peer.join();
    }

    struct Local {
        std::function<const char *()> call;
        int code;
    } local[] = {
        {[] { return usbip_client_list_remote(nullptr, 1, nullptr, 0); }, USBIP_ERROR_INVALID_ARGUMENT},
        {[] { return usbip_client_list_by_code("127.0.0.1", 1, nullptr, nullptr); }, USBIP_ERROR_INVALID_ARGUMENT},
        {[] { return usbip_client_list_remote("127.0.0.1", 1, std::string(128, 'p').c_str(), 0); },
         USBIP_ERROR_INVALID_ARGUMENT},
        {[] { return usbip_client_list_remote("no-such-host.invalid", 3240, nullptr, 0); }, USBIP_ERROR_RESOLVE},
        {[] { return usbip_client_list_remote("127.0.0.1", free_port(), nullptr, 0); }, USBIP_ERROR_CONNECT},
    };
    for (const auto &c : local) {
        EXPECT_EQ(c.call(), nullptr);
        EXPECT_EQ(usbip_last_error_code(), c.code) << usbip_last_error();
    }
}

TEST(ErrorCodes, DeviceFoundNowhereIsNotFound)
{
    RawServer server(devlist({entry("1-1", 2, 3, 1, 2)}));
    EXPECT_EQ(usbip_client_device_info("127.0.0.1", server.port(), "2-2", nullptr, 0), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Remote device with busid '2-2' not found");
    EXPECT_EQ(usbip_last_error_code(), USBIP_ERROR_NOT_FOUND);
}
