// The relay path seen from its ends: a server's registration against a raw
// relay written here, then server, relay and client of the library together
// in one process, and as separate processes of the command-line host.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "usbip_frame.h"
#include "usbip_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}


// True when the peer has closed and sent nothing before, checked without waiting.
bool closed_now(int fd)
{
    char c;
    return raw_recv_some(fd, &c, 1, 0) == 0;
}

// A server of the library on a port of its own, stopped at the end.
class Server {
public:
    explicit Server(const char *password = nullptr, int use_tls = 0)
    {
        EXPECT_EQ(usbip_init(), 0);
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int p = free_port();
            if (usbip_server_start(p, password, use_tls) == 0) port_ = p;
        }
        EXPECT_NE(port_, 0) << usbip_last_error();
    }
    ~Server()
    {
        usbip_server_stop();
        usbip_server_set_heartbeat_period(25);
    }
    int port() const { return port_; }

private:
    int port_ = 0;
};

// usbip_server_register_relay on a thread of its own, so that the test can
// play the relay meanwhile. The message is read on that thread.
class Registering {
public:
    Registering(const char *host, int port, const char *password)
    {
        thread_ = std::thread([=] {
            const char *code = usbip_server_register_relay(host, port, password);
            ok_ = code != nullptr;
            text_ = code ? code : usbip_last_error();
        });
    }
    ~Registering() { finish(); }
    // The code, or the message of the failure.
    std::string finish()
    {
        if (thread_.joinable()) thread_.join();
        return text_;
    }
    bool ok()
    {
        finish();
        return ok_;
    }

private:
    std::thread thread_;
    bool ok_ = false;
    std::string text_;
};

// Registers with the raw relay `relay`, answering "CODE ABC234"; returns the
// control connection.
Fd register_with(Listener &relay, const char *password = nullptr)
{
    Registering reg("127.0.0.1", relay.port(), password);
    Fd control(relay.accept_one());
    EXPECT_GE(control, 0);
    raw_recv_line(control);
    raw_send(control, "CODE ABC234\n");
    EXPECT_EQ(reg.finish(), "ABC234");
    return control;
}


using Relay = LibraryRelay;


}  // namespace

// ---------------------------------------------------------------------------
// Registration against a raw relay

// The password's hash would log anybody on the path in to the server (the
// proof is built on it): the REGISTER line never carries it.
TEST(RelayRegister, SendsTheRegisterLineWithoutThePasswordHash)
{
    Server server;
    Listener relay;
    struct Case {
        const char *password;
        std::string line;
    } cases[] = {
        {nullptr, "REGISTER \n"},
        {"", "REGISTER \n"},
        {"secret", "REGISTER \n"},
    };
    for (const auto &c : cases) {
        Registering reg("127.0.0.1", relay.port(), c.password);
        Fd control(relay.accept_one());
        ASSERT_GE(control, 0);
        EXPECT_EQ(raw_recv_line(control), c.line);
        raw_send(control, "CODE ABC234\n");
        EXPECT_EQ(reg.finish(), "ABC234");
    }
}

// A relay with a registration key takes servers that present it (in the
// REGISTER line, which carries nothing else) and refuses the others; the
// key is compared whole. A relay without one takes any server.
TEST(RelayRegister, RegistrationKeyRightWrongAndAbsent)
{
    Server server;
    Relay relay;
    Listener raw_relay;
    {
        ASSERT_EQ(usbip_server_set_registration_key("k3y/of+the=relay"), 0);
        Registering reg("127.0.0.1", raw_relay.port(), nullptr);
        Fd control(raw_relay.accept_one());
        EXPECT_EQ(raw_recv_line(control), "REGISTER k3y/of+the=relay\n");
        raw_send(control, "CODE ABC234\n");
        EXPECT_EQ(reg.finish(), "ABC234");
    }
    ASSERT_EQ(usbip_relay_set_registration_key("k3y/of+the=relay"), 0);
    struct Case {
        const char *key;
        bool ok;
    } cases[] = {{"k3y/of+the=relay", true}, {"k3y/of+the=rela", false}, {"k3y/of+the=relayX", false},
                 {nullptr, false}, {"", false}};
    for (const auto &c : cases) {
        ASSERT_EQ(usbip_server_set_registration_key(c.key), 0);
        const char *code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
        EXPECT_EQ(code != nullptr, c.ok) << (c.key ? c.key : "(null)");
        if (!c.ok) {
            EXPECT_STREQ(usbip_last_error(), "Relay returned invalid registration response: ERROR Registration refused");
        }
    }
    // Wrong keys cost their sender time, as wrong codes do.
    std::string answer;
    for (int i = 0; i < 6; ++i) {
        Fd fd(raw_connect_from("127.0.0.8", relay.port(), 2000));
        raw_send(fd, "REGISTER guess" + std::to_string(i) + "\n");
        answer = raw_recv_line(fd);
    }
    EXPECT_EQ(answer, "ERROR Too many requests\n");
    // Without a key again: any server.
    ASSERT_EQ(usbip_relay_set_registration_key(nullptr), 0);
    EXPECT_NE(usbip_server_register_relay("127.0.0.1", relay.port(), nullptr), nullptr) << usbip_last_error();
    const std::string too_long(65, 'k');
    for (const char *bad : {"has space", "tab\there", "\x7f", too_long.c_str()}) {
        EXPECT_EQ(usbip_relay_set_registration_key(bad), -1);
        EXPECT_STREQ(usbip_last_error(), "Invalid registration key");
        EXPECT_EQ(usbip_server_set_registration_key(bad), -1);
    }
    EXPECT_EQ(usbip_relay_set_capacity(0, 64), -1);
    EXPECT_STREQ(usbip_last_error(), "Invalid relay capacity");
    EXPECT_EQ(usbip_relay_set_capacity(64, 65537), -1);
    usbip_server_set_registration_key(nullptr);
}

TEST(RelayRegister, ReplyDecidesTheOutcome)
{
    Server server;
    Listener relay;
    const std::string long_reply(200, 'X');
    struct Case {
        std::string reply;  // empty: the relay closes instead
        bool ok;
        std::string result;
    } cases[] = {
        {"CODE ABC234\n", true, "ABC234"},
        {"CODE ABCDEFGHIJKLMNOPQRS\n", true, "ABCDEFGHIJKLMNO"},
        {"CODE   Q2 more\r\n", true, "Q2"},
        {"ERROR Relay capacity reached\n", false,
         "Relay returned invalid registration response: ERROR Relay capacity reached"},
        {"CODEX\n", false, "Relay returned invalid registration response: CODEX"},
        {"code abc\n", false, "Relay returned invalid registration response: code abc"},
        {long_reply + "\n", false, "Relay returned invalid registration response: " + long_reply.substr(0, 127)},
        {"\n", false, "Failed to read CODE response from relay"},
        {"\r\n", false, "Failed to read CODE response from relay"},
        {"", false, "Failed to read CODE response from relay"},
    };
    for (const auto &c : cases) {
        Registering reg("127.0.0.1", relay.port(), nullptr);
        Fd control(relay.accept_one());
        ASSERT_GE(control, 0);
        raw_recv_line(control);
        if (c.reply.empty())
            control.close();
        else
            raw_send(control, c.reply);
        EXPECT_EQ(reg.ok(), c.ok) << c.reply;
        EXPECT_EQ(reg.finish(), c.result) << c.reply;
        // A refused registration keeps no connection.
        if (!c.ok && control >= 0) {
            EXPECT_TRUE(raw_wait_closed(control, 2000)) << c.reply;
        }
    }
}

TEST(RelayRegister, SilentRelayRunsOutAfterFiveSeconds)
{
    Server server;
    Listener relay;
    auto t0 = Clock::now();
    Registering reg("127.0.0.1", relay.port(), nullptr);
    Fd control(relay.accept_one());
    ASSERT_GE(control, 0);
    EXPECT_EQ(reg.finish(), "Failed to read CODE response from relay");
    EXPECT_GT(seconds_since(t0), 4.5);
    EXPECT_LT(seconds_since(t0), 7.0);
}

TEST(RelayRegister, BadArgumentsAndUnreachableRelays)
{
    Listener relay;  // a connection attempt would show up here
    struct Case {
        const char *host;
        int port;
        std::string message;
    } cases[] = {
        {nullptr, relay.port(), "Invalid relay host or port"},
        {"127.0.0.1", 0, "Invalid relay host or port"},
        {"127.0.0.1", -1, "Invalid relay host or port"},
    };
    for (const auto &c : cases) {
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "before");
        EXPECT_EQ(usbip_server_register_relay(c.host, c.port, nullptr), nullptr);
        EXPECT_EQ(usbip_last_error(), c.message);
    }
    EXPECT_EQ(relay.accept_one(100), -1);

    int closed = free_port();
    EXPECT_EQ(usbip_server_register_relay("127.0.0.1", closed, nullptr), nullptr);
    EXPECT_EQ(usbip_last_error(), "Failed to connect to relay server at 127.0.0.1:" + std::to_string(closed));
    EXPECT_EQ(usbip_server_register_relay("no-such-host.invalid", 3241, "secret"), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Failed to connect to relay server at no-such-host.invalid:3241");
}

TEST(RelayRegister, RegisteringAgainClosesTheFirstControlConnectionFirst)
{
    Server server;
    Listener relay;
    Fd first = register_with(relay);
    Registering again("127.0.0.1", relay.port(), nullptr);
    Fd second(relay.accept_one());
    ASSERT_GE(second, 0);
    EXPECT_TRUE(closed_now(first));
    raw_recv_line(second);
    raw_send(second, "CODE Q23456\n");
    EXPECT_EQ(again.finish(), "Q23456");

    // Also when the new relay cannot be reached.
    EXPECT_EQ(usbip_server_register_relay("127.0.0.1", free_port(), nullptr), nullptr);
    EXPECT_TRUE(raw_wait_closed(second, 2000));
}

// ---------------------------------------------------------------------------
// The server's worker on the control connection

TEST(RelayWorker, DispatchOpensAnAttachConnectionCarryingASession)
{
    for (const char *password : {static_cast<const char *>(nullptr), "secret"}) {
        Server server(password);
        Listener relay;
        Fd control = register_with(relay, password);

        // Lines other than DISPATCH are ignored: the first connection to
        // come is the first case's.
        raw_send(control, "HELLO\ndispatch TK1\nDISPATCH\nOK\n");

        struct Case {
            std::string dispatch;
            std::string attach;
        } cases[] = {
            {"DISPATCH TK1000_5\n", "ATTACH TK1000_5\n"},
            {"DISPATCH  TK1001_9998 extra\r\n", "ATTACH TK1001_9998\n"},
            {"DISPATCH \n", "ATTACH \n"},
            {"DISPATCH " + std::string(70, '7') + "\n", "ATTACH " + std::string(63, '7') + "\n"},
            // 255 characters make a line; the rest begins the next one.
            {std::string(255, 'Y') + "DISPATCH TK9\n", "ATTACH TK9\n"},
        };
        for (const auto &c : cases) {
            raw_send(control, c.dispatch);
            Fd data(relay.accept_one());
            ASSERT_GE(data, 0) << c.dispatch;
            const std::string &attach = c.attach;
            // The session's flag and challenge follow the line directly.
            std::string got = raw_recv_n(data, attach.size() + 36);
            ASSERT_EQ(got.size(), attach.size() + 36) << c.dispatch;
            EXPECT_EQ(got.substr(0, attach.size()), attach);
            // With a password: the password flag and the offer of the secure
            // exchange.
            EXPECT_EQ(be32_at(got, attach.size()), password ? 3u : 0u);
        }

        if (password == nullptr) {
            // The attached connection is an ordinary session.
            raw_send(control, "DISPATCH TK7\n");
            Fd data(relay.accept_one());
            ASSERT_GE(data, 0);
            EXPECT_EQ(raw_recv_line(data), "ATTACH TK7\n");
            ASSERT_TRUE(raw_client_handshake(data));
            raw_send(data, reply_header(0x8005, 0));
            EXPECT_EQ(hex_of(raw_recv_n(data, 12)), hex_of(reply_header(0x0005, 0) + be32(0)));
        }
    }
}

TEST(RelayWorker, DispatchRightBehindTheCodeIsServed)
{
    Server server;
    Listener relay;
    Registering reg("127.0.0.1", relay.port(), nullptr);
    Fd control(relay.accept_one());
    ASSERT_GE(control, 0);
    raw_recv_line(control);
    raw_send(control, "CODE ABC234\nDISPATCH TK1000_1\n");
    EXPECT_EQ(reg.finish(), "ABC234");
    Fd data(relay.accept_one());
    ASSERT_GE(data, 0);
    EXPECT_EQ(raw_recv_line(data), "ATTACH TK1000_1\n");
}

TEST(RelayWorker, HeartbeatsAboutEverySecondUntilTheServerStops)
{
    usbip_server_set_heartbeat_period(1);
    Server server;
    Listener relay;
    Fd control = register_with(relay);
    std::vector<double> at;
    auto t0 = Clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(raw_recv_line(control), "HEARTBEAT\n") << i;
        at.push_back(seconds_since(t0));
        raw_send(control, "OK\n");
    }
    for (std::size_t i = 1; i < at.size(); ++i) {
        EXPECT_GT(at[i] - at[i - 1], 0.5) << i;
        EXPECT_LT(at[i] - at[i - 1], 2.5) << i;
    }
    usbip_server_stop();
    EXPECT_TRUE(raw_wait_closed(control, 2000));
}

// A dispatch whose data connection the relay never takes (its queue is
// full) does not hold up a stop for the connection's time-out.
TEST(RelayWorker, StopDoesNotWaitForADispatchThatCannotConnect)
{
    ClientTimeout timeout(10000);
    auto server = std::make_unique<Server>();
    Listener relay(0);
    Fd control = register_with(relay);
    // The relay's queue holds one connection that it never takes; every
    // further connect hangs.
    Fd queued(raw_connect(relay.port(), 1000));
    ASSERT_GE(queued, 0);
    raw_send(control, "DISPATCH TK1000_1\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the data connection is under way
    auto t0 = Clock::now();
    server.reset();  // stops the server
    EXPECT_LT(seconds_since(t0), 2.0);
}

TEST(RelayWorker, ClosedControlConnectionDoesNotSpin)
{
    usbip_server_set_heartbeat_period(1);
    Server server;
    Listener relay;
    Fd control = register_with(relay);
    control.close();
    double cpu0 = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(process_cpu_seconds() - cpu0, 0.3);
}

// ---------------------------------------------------------------------------
// A registration that survives its relay

// The next event of `kind` within `ms` (those of other kinds are passed
// over); an empty object when none came.
nlohmann::json next_event_of(const std::string &kind, int ms = 10000)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        const char *e = usbip_next_event(100);
        if (e == nullptr) continue;
        nlohmann::json j = nlohmann::json::parse(e);
        if (j["kind"] == kind) return j;
    }
    return nlohmann::json::object();
}

// Pauses between attempts to register again, for one test.
struct ReregisterPauses {
    ReregisterPauses(int first_ms, int max_ms) { usbip_server_set_reregister_pauses(first_ms, max_ms); }
    ~ReregisterPauses() { usbip_server_set_reregister_pauses(0, 0); }
};

void drain_events()
{
    while (usbip_next_event(0) != nullptr) {
    }
}

// The relay restarts: the server notices at once, registers again after its
// first pause (1 s), says so with the new code, and clients find it by that
// code; the pointer that the registration returned shows it too.
TEST(RelayReregister, NewCodeSoonAfterTheRelayRestarts)
{
    Server server("pw");
    const int relay_port = free_port();
    auto relay = std::make_unique<LibraryRelay>(relay_port);
    const char *registered = usbip_server_register_relay("127.0.0.1", relay_port, nullptr);
    ASSERT_NE(registered, nullptr) << usbip_last_error();
    const std::string first = registered;
    drain_events();

    relay.reset();
    const auto restarted = Clock::now();
    relay = std::make_unique<LibraryRelay>(relay_port);
    nlohmann::json lost = next_event_of("relay_registration_lost");
    EXPECT_EQ(lost["code"], first);
    EXPECT_EQ(lost["reason"], "connection closed");
    EXPECT_EQ(lost["relay"], "127.0.0.1:" + std::to_string(relay_port));
    nlohmann::json again = next_event_of("relay_registered_again");
    ASSERT_TRUE(again.contains("code")) << "no new registration";
    EXPECT_LT(seconds_since(restarted), 4.0);  // one pause of 1 s, generously
    const std::string code = again["code"];
    EXPECT_EQ(again["old_code"], first);
    EXPECT_EQ(code.size(), 6u);
    EXPECT_EQ(registered, code);
    EXPECT_NE(std::string(usbip_relay_list_codes()).find("\"code\":\"" + code + "\""), std::string::npos);
    const char *json = usbip_client_list_by_code("127.0.0.1", relay_port, code.c_str(), "pw");
    EXPECT_STREQ(json ? json : usbip_last_error(), "[]");
    if (code != first) {
        EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay_port, first.c_str(), "pw"), nullptr);
        EXPECT_STREQ(usbip_last_error(), "Relay returned: ERROR Code not found");
    }
}

// While the relay is away every attempt fails, and the pause between them
// doubles up to its longest; the first attempt after the relay is back
// succeeds. A stop during a pause ends the worker at once.
TEST(RelayReregister, PausesDoubleWhileTheRelayIsAway)
{
    ReregisterPauses pauses(200, 800);
    Server server;
    const int relay_port = free_port();
    auto relay = std::make_unique<LibraryRelay>(relay_port);
    ASSERT_NE(usbip_server_register_relay("127.0.0.1", relay_port, nullptr), nullptr) << usbip_last_error();
    drain_events();
    relay.reset();
    EXPECT_FALSE(next_event_of("relay_registration_lost").empty());
    for (int retry_ms : {400, 800, 800}) {
        nlohmann::json failed = next_event_of("relay_registration_failed");
        EXPECT_EQ(failed["retry_ms"], retry_ms);
        EXPECT_EQ(failed["error"], "Failed to connect to relay server at 127.0.0.1:" + std::to_string(relay_port));
        EXPECT_EQ(failed["level"], "warning");
    }
    relay = std::make_unique<LibraryRelay>(relay_port);
    EXPECT_FALSE(next_event_of("relay_registered_again", 3000).empty());

    usbip_server_set_reregister_pauses(60000, 60000);
    relay.reset();
    EXPECT_FALSE(next_event_of("relay_registration_lost").empty());
    const auto t0 = Clock::now();
    usbip_server_stop();
    EXPECT_LT(seconds_since(t0), 1.5);
}

// A relay that takes the heartbeats and never answers them is given up
// after two periods, and the server registers again.
TEST(RelayReregister, SilentRelayIsGivenUp)
{
    usbip_server_set_heartbeat_period(1);
    ReregisterPauses pauses(200, 200);
    Server server;
    Listener relay;
    Fd control = register_with(relay);
    drain_events();
    nlohmann::json lost = next_event_of("relay_registration_lost", 15000);
    EXPECT_EQ(lost["reason"], "relay silent");
    // The next attempt is a new control connection.
    Fd again(relay.accept_one(5000));
    ASSERT_GE(again, 0);
    EXPECT_EQ(raw_recv_line(again), "REGISTER \n");
}

// ---------------------------------------------------------------------------
// The client against a raw relay

TEST(RelayClient, AnswerOfTheRelayDecides)
{
    const std::string long_error = "ERROR " + std::string(200, 'E');
    struct Case {
        std::string answer;  // empty: the relay closes instead
        std::string result;  // "[]" or the message
    } cases[] = {
        {"OK\n", "[]"},
        {"OKAY\r\n", "[]"},
        {"ERROR Code not found\n", "Relay returned: ERROR Code not found"},
        {"ok\n", "Relay returned: ok"},
        {long_error + "\n", "Relay returned: " + long_error.substr(0, 127)},
        {"\n", "Relay timeout on connection response"},
        {"", "Relay timeout on connection response"},
    };
    for (const auto &c : cases) {
        Listener relay;
        std::string request;
        std::thread peer([&] {
            Fd fd(relay.accept_one());
            request = raw_recv_line(fd);
            if (c.answer.empty()) return;
            // The server's handshake travels in the same segment as OK.
            std::string hello = be32(0) + std::string(32, 'c');
            raw_send(fd, c.answer + hello);
            if (raw_recv_n(fd, 4) != be32(0)) return;
            raw_send(fd, be32(0));
            if (raw_recv_n(fd, 8) != reply_header(0x8005, 0)) return;
            raw_send(fd, reply_header(0x0005, 0) + be32(0));
            raw_wait_closed(fd, 5000);
        });
        const char *json = usbip_client_list_by_code("127.0.0.1", relay.port(), "ABC234", nullptr);
        EXPECT_EQ(json ? std::string(json) : std::string(usbip_last_error()), c.result) << c.answer;
        peer.join();
        EXPECT_EQ(request, "CONNECT ABC234\n");
    }
}

// ---------------------------------------------------------------------------
// Server, relay and client of the library in one process

TEST(RelayPath, ListByCodeWithAndWithoutPassword)
{
    Relay relay;
    struct Client {
        const char *password;
        const char *result;  // "[]" or the message
    };
    struct Case {
        const char *server_password;
        std::vector<Client> clients;
    } cases[] = {
        {nullptr, {{nullptr, "[]"}, {"secret", "[]"}}},
        {"secret",
         {{"secret", "[]"},
          {"wrong", "Authentication rejected by server (invalid password)"},
          {nullptr, "Server requires password authentication but none was provided"},
          {"", "Server requires password authentication but none was provided"}}},
    };
    for (const auto &c : cases) {
        std::string code;
        {
            Server server(c.server_password);
            const char *registered = usbip_server_register_relay("127.0.0.1", relay.port(), c.server_password);
            ASSERT_NE(registered, nullptr) << usbip_last_error();
            code = registered;
            for (const auto &client : c.clients) {
                const char *json = usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), client.password);
                EXPECT_STREQ(json ? json : usbip_last_error(), client.result)
                    << (c.server_password ? c.server_password : "-") << " / "
                    << (client.password ? client.password : "-");
            }
            EXPECT_EQ(usbip_relay_list_codes(), "[{\"code\":\"" + code + "\",\"active\":1,\"clients\":" +
                                                    std::to_string(c.clients.size()) + "}]");
        }
        // A stopped server ends its registration.
        EXPECT_TRUE(wait_until([] { return std::string(usbip_relay_list_codes()) == "[]"; }, 2000));
        EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), nullptr), nullptr);
        EXPECT_STREQ(usbip_last_error(), "Relay returned: ERROR Code not found");
    }
}

TEST(RelayPath, UnknownCodeAndArguments)
{
    Relay relay;
    Server server;
    ASSERT_NE(usbip_server_register_relay("127.0.0.1", relay.port(), nullptr), nullptr) << usbip_last_error();
    EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay.port(), "ZZZZZZ", nullptr), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Relay returned: ERROR Code not found");
    EXPECT_EQ(usbip_client_list_by_code(nullptr, relay.port(), "ZZZZZZ", nullptr), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Invalid relay parameters");
    EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay.port(), nullptr, nullptr), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Invalid relay parameters");
    EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", 0, "ZZZZZZ", nullptr), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Invalid relay parameters");
}

// Clients through a relay never start TLS: a server that runs with TLS is
// refused a registration, with why, before a byte goes to the relay.
TEST(RelayPath, TlsServerIsRefusedARegistration)
{
    Relay relay;
    {
        Server server(nullptr, 1);
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "before");
        EXPECT_EQ(usbip_server_register_relay("127.0.0.1", relay.port(), nullptr), nullptr);
        EXPECT_STREQ(usbip_last_error(),
                     "Relay registration refused: the server runs with TLS, which clients through a relay never start");
        EXPECT_STREQ(usbip_relay_list_codes(), "[]");
    }
    Server plain(nullptr, 0);
    EXPECT_NE(usbip_server_register_relay("127.0.0.1", relay.port(), nullptr), nullptr) << usbip_last_error();
}

// ---------------------------------------------------------------------------
// Relay, server and client as separate processes

namespace {


}  // namespace

TEST(RelayPath, CommandLineHostsAcrossProcesses)
{
    const std::string cli = USBIP_CLI_PATH;
    std::string relay_port = std::to_string(free_port());
    std::string server_port = std::to_string(free_port());
    std::string relay_at = "127.0.0.1:" + relay_port;

    ChildProcess relay({cli, "relay", "--port", relay_port});
    relay.wait_for("Relay listening on port " + relay_port);
    ChildProcess server({cli, "serve", "--port", server_port, "--password", "secret", "--relay", relay_at});
    std::string code = server.wait_for("Pairing code: ([A-HJ-NP-Z2-9]{6})$");
    ASSERT_EQ(code.size(), 6u);
    relay.wait_for("\"kind\":\"relay_server_registered\",\"code\":\"" + code + "\"");

    int status = -1;
    std::string out = run_command(cli + " remote --relay " + relay_at + " --code " + code +
                                      " --password secret --json --timeout 5000 2>&1",
                                  &status);
    EXPECT_EQ(out, "[]\n");
    EXPECT_EQ(status, 0);
    out = run_command(cli + " remote --relay " + relay_at + " --code " + code + " --password wrong 2>&1", &status);
    EXPECT_EQ(out, "halvoren-usbip: remote: Authentication rejected by server (invalid password)\n");
    EXPECT_EQ(status, 1);

    EXPECT_EQ(server.stop(), 0);
    relay.wait_for("\"kind\":\"relay_server_ended\",\"code\":\"" + code + "\"");
    EXPECT_EQ(relay.stop(), 0);
}

// Server and relay listen on both families: IPv6 clients reach them at ::1
// and IPv4 clients at 127.0.0.1, with the same answers.
TEST(RelayPath, BothAddressFamilies)
{
    if (!ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback here";

    Relay relay;
    Server server("pw");
    const char *code = usbip_server_register_relay("::1", relay.port(), nullptr);
    ASSERT_NE(code, nullptr) << usbip_last_error();
    std::string saved = code;
    for (const char *host : {"::1", "127.0.0.1", "localhost"}) {
        const char *direct = usbip_client_list_remote(host, server.port(), "pw", 0);
        EXPECT_STREQ(direct ? direct : usbip_last_error(), "[]") << host;
        const char *by_code = usbip_client_list_by_code(host, relay.port(), saved.c_str(), "pw");
        EXPECT_STREQ(by_code ? by_code : usbip_last_error(), "[]") << host;
    }
    EXPECT_EQ(usbip_client_list_remote("::1", server.port(), "wrong", 0), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Authentication rejected by server (invalid password)");
}
