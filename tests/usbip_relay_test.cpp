// The relay: line parsers and the line reader on their own, then the relay
// itself driven by raw sockets: registration, pairing, the bridge, its waits
// and its lifecycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "usbip_frame.h"
#include "usbip_line_io.h"
#include "usbip_relay.h"
#include "usbip_relay_lines.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}


// What a peer sent until it closed, or until `ms` ran out.
struct Ending {
    std::string data;
    bool closed = false;
};

Ending read_to_close(int fd, int ms)
{
    Ending out;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (Clock::now() < deadline) {
        long n = raw_recv_some(fd, buf, sizeof buf, 50);
        if (n > 0) {
            out.data.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            out.closed = true;
            break;
        }
    }
    return out;
}


std::string codes_json(const std::vector<std::pair<std::string, int>> &codes)
{
    std::string out = "[";
    for (const auto &c : codes) {
        if (out.size() > 1) out += ",";
        out += "{\"code\":\"" + c.first + "\",\"active\":1,\"clients\":" + std::to_string(c.second) + "}";
    }
    return out + "]";
}

bool listed(const std::string &code)
{
    return std::string(usbip_relay_list_codes()).find("\"" + code + "\"") != std::string::npos;
}

struct Registration {
    Fd control;
    std::string code;
};

struct Pairing {
    Fd client;
    Fd server;
    std::string ticket;
};

// 127.0.0.<n>: another host on loopback.
std::string host(int n) { return "127.0.0." + std::to_string(n); }

// A relay on a port of its own for the life of the object. Connections come
// from 127.0.0.1 unless a test names another address.
class Relay : public LibraryRelay {
public:
    using LibraryRelay::LibraryRelay;

    Fd open(int timeout_ms = 10000, const std::string &from = "") const
    {
        Fd fd(from.empty() ? raw_connect(port_, timeout_ms) : raw_connect_from(from.c_str(), port_, timeout_ms));
        EXPECT_GE(fd, 0);
        return fd;
    }
    Fd open_from(const std::string &from) const { return open(10000, from); }

    Registration register_server(const std::string &line = "REGISTER 00ff\n", const std::string &from = "") const
    {
        Registration r;
        r.control = open(10000, from);
        raw_send(r.control, line);
        std::string reply = raw_recv_line(r.control);
        EXPECT_TRUE(std::regex_match(reply, std::regex("CODE [A-HJ-NP-Z2-9]{6}\n"))) << reply;
        if (reply.size() == 12) r.code = reply.substr(5, 6);
        return r;
    }

    // Reads the DISPATCH line a CONNECT caused and returns its ticket. The
    // line names the client's address after the ticket.
    static std::string next_dispatch(int control, std::uint64_t *counter = nullptr, std::string *client = nullptr)
    {
        std::string line = raw_recv_line(control);
        std::smatch m;
        if (!std::regex_match(line, m, std::regex("DISPATCH (TK([0-9]{4,8})_([0-9]{1,20})) ([0-9a-f.:]+)\n"))) {
            ADD_FAILURE() << "not a dispatch line: '" << line << "'";
            return std::string();
        }
        EXPECT_LE(m[1].length(), 31) << line;
        if (counter) *counter = std::stoull(m[2]);
        if (client) *client = m[4];
        return m[1];
    }

    // A client paired with a server through the relay; `early` follows the
    // ATTACH line in the same send and must reach the client right after OK.
    Pairing pair(const Registration &reg, const std::string &early = "", const std::string &from = "") const
    {
        Pairing p;
        p.client = open(10000, from);
        raw_send(p.client, "CONNECT " + reg.code + "\n");
        std::string client;
        p.ticket = next_dispatch(reg.control, nullptr, &client);
        EXPECT_EQ(client, from.empty() ? "127.0.0.1" : from);
        p.server = open();
        raw_send(p.server, "ATTACH " + p.ticket + "\n" + early);
        EXPECT_EQ(raw_recv_n(p.client, 3 + early.size()), "OK\n" + early);
        return p;
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// Line parsers

TEST(RelayLines, FirstLineVerbsAndArguments)
{
    const std::string hash70(70, 'a');
    const std::string long_text(40, 'T');
    struct Case {
        std::string line;
        relay_request kind;
        std::string argument;
    } cases[] = {
        {"REGISTER 0123abcd", relay_request::register_server, "0123abcd"},
        {"REGISTERabc", relay_request::register_server, "abc"},  // no space needed
        {"REGISTERED x", relay_request::register_server, "ED"},
        {"REGISTER", relay_request::register_server, ""},
        {"REGISTER \t\v\f h1 h2", relay_request::register_server, "h1"},
        {"REGISTER " + hash70, relay_request::register_server, hash70.substr(0, 64)},
        {"REGISTER CONNECT X", relay_request::register_server, "CONNECT"},  // REGISTER is tested first
        {"CONNECT ABC234", relay_request::connect_client, "ABC234"},
        {"CONNECT    ABC234   x", relay_request::connect_client, "ABC234"},
        {"CONNECT ABCDEFGHIJKLMNOPQRS", relay_request::connect_client, "ABCDEFGHIJKLMNO"},
        {"CONNECT ", relay_request::connect_client, ""},
        {"ATTACH TK1000_42", relay_request::attach_server, "TK1000_42"},
        {"ATTACH  " + long_text, relay_request::attach_server, long_text.substr(0, 31)},
        {"ATTACH ", relay_request::attach_server, ""},
        {"CONNECT", relay_request::none, ""},
        {"CONNECTABC234", relay_request::none, ""},
        {"ATTACH", relay_request::none, ""},
        {"ATTACHTK1", relay_request::none, ""},
        {"register abc", relay_request::none, ""},
        {"connect ABC234", relay_request::none, ""},
        {" REGISTER", relay_request::none, ""},
        {"REGISTE", relay_request::none, ""},
        {"", relay_request::none, ""},
    };
    for (const auto &c : cases) {
        relay_first_line got = usbip_relay_parse_first_line(c.line.c_str());
        EXPECT_EQ(got.kind, c.kind) << "'" << c.line << "'";
        EXPECT_EQ(got.argument, c.argument) << "'" << c.line << "'";
    }
}

TEST(RelayLines, WordSkipsWhiteSpaceAndCuts)
{
    struct Case {
        const char *line;
        std::size_t skip, max;
        const char *word;
    } cases[] = {
        {"KEY value rest", 3, 64, "value"},
        {"KEY\t\n\v\f\rvalue", 3, 64, "value"},
        {"KEYvalue", 3, 3, "val"},
        {"KEY", 3, 64, ""},
        {"KEY", 10, 64, ""},  // skip beyond the end
        {"KEY   ", 3, 64, ""},
        {"KEY value", 3, 0, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(usbip_relay_word(c.line, c.skip, c.max), c.word) << "'" << c.line << "'";
}

TEST(RelayLines, AnswersTheServerAndClientRead)
{
    struct Case {
        const char *line;
        bool is_code;
        const char *code;
    } codes[] = {
        {"CODE ABC234", true, "ABC234"},
        {"CODE   Q2 rest", true, "Q2"},
        {"CODE ABCDEFGHIJKLMNOPQRS", true, "ABCDEFGHIJKLMNO"},
        {"CODE ", true, ""},
        {"CODEX", false, ""},
        {"code abc", false, ""},
        {"ERROR Relay capacity reached", false, ""},
        {"", false, ""},
    };
    for (const auto &c : codes) {
        std::string code = "unchanged";
        EXPECT_EQ(usbip_relay_parse_code(c.line, &code), c.is_code) << c.line;
        EXPECT_EQ(code, c.is_code ? c.code : "unchanged") << c.line;
    }

    const std::string long_ticket(70, '7');
    struct Dispatch {
        std::string line;
        bool is_dispatch;
        std::string ticket;
    } dispatches[] = {
        {"DISPATCH TK1000_17", true, "TK1000_17"},
        {"DISPATCH ", true, ""},
        {"DISPATCH " + long_ticket, true, long_ticket.substr(0, 63)},
        {"DISPATCH", false, ""},
        {"dispatch TK1", false, ""},
    };
    for (const auto &d : dispatches) {
        std::string ticket = "unchanged";
        EXPECT_EQ(usbip_relay_parse_dispatch(d.line.c_str(), &ticket), d.is_dispatch) << d.line;
        EXPECT_EQ(ticket, d.is_dispatch ? d.ticket : "unchanged") << d.line;
    }

    struct Prefix {
        const char *line;
        bool ok, heartbeat;
    } prefixes[] = {
        {"OK", true, false},        {"OKAY", true, false},     {"ok", false, false},
        {" OK", false, false},      {"HEARTBEAT", false, true}, {"HEARTBEATxyz", false, true},
        {"HEARTBEA", false, false}, {"heartbeat", false, false}, {"", false, false},
    };
    for (const auto &p : prefixes) {
        EXPECT_EQ(usbip_relay_is_ok(p.line), p.ok) << p.line;
        EXPECT_EQ(usbip_relay_is_heartbeat(p.line), p.heartbeat) << p.line;
    }
}

TEST(RelayLines, CodesAndTicketsDrawFromTheirWholeRange)
{
    const std::string charset = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::set<char> seen;
    for (int i = 0; i < 2000; ++i) {
        std::string code = usbip_relay_make_code();
        ASSERT_EQ(code.size(), 6u);
        ASSERT_EQ(code.find_first_not_of(charset), std::string::npos) << code;
        seen.insert(code.begin(), code.end());
    }
    EXPECT_EQ(seen.size(), 32u);

    // Ticket numbers are 64 random bits: every bit is seen set and clear.
    std::set<std::uint64_t> numbers;
    std::uint64_t ones = 0, zeros = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string ticket = usbip_relay_make_ticket(1234);
        ASSERT_EQ(ticket.rfind("TK1234_", 0), 0u) << ticket;
        std::string digits = ticket.substr(7);
        ASSERT_TRUE(!digits.empty() && digits.size() <= 20 && digits.find_first_not_of("0123456789") == std::string::npos &&
                    (digits == "0" || digits[0] != '0'))
            << ticket;
        std::uint64_t n = std::stoull(digits);
        numbers.insert(n);
        ones |= n;
        zeros |= ~n;
    }
    EXPECT_EQ(numbers.size(), 2000u);
    EXPECT_EQ(ones, ~std::uint64_t{0});
    EXPECT_EQ(zeros, ~std::uint64_t{0});

    // The longest ticket, with the largest counter, fits what the relay
    // reads back; the counter then starts again at 1000.
    EXPECT_LE(usbip_relay_make_ticket(99999999).size(), 31u);
    EXPECT_EQ(usbip_relay_next_ticket_counter(99999999), 1000);
    EXPECT_EQ(usbip_relay_next_ticket_counter(1000), 1001);
}

// ---------------------------------------------------------------------------
// Line reader

TEST(RelayReadLine, DropsCarriageReturnsAndLeavesTheRestOnTheSocket)
{
    struct Case {
        std::string bytes;
        std::size_t size;
        std::vector<std::string> lines;  // each read until -1
    } cases[] = {
        {"ABC\n", 128, {"ABC"}},
        {"A\r\nB\rC\n\n\r\r\n", 128, {"A", "BC", "", ""}},
        {"ABCDEFG\n", 4, {"ABC", "DEF", "G"}},
        {"ABC\n", 4, {"ABC", ""}},  // the LF after a full line begins the next one
        {"ABC", 128, {}},           // a line cut by the close is no line
        {std::string("A\0B\n", 4), 128, {std::string("A\0B", 3)}},
    };
    for (const auto &c : cases) {
        int sv[2];
        ASSERT_TRUE(raw_socket_pair(sv));
        ASSERT_TRUE(raw_send(sv[1], c.bytes));
        raw_shutdown_send(sv[1]);
        std::vector<std::string> got;
        char buf[128];
        for (int i = 0; i < 10; ++i) {
            int n = usbip_read_line(sv[0], buf, c.size, 1000);
            if (n < 0) break;
            got.emplace_back(buf, static_cast<std::size_t>(n));
        }
        EXPECT_EQ(got, c.lines) << hex_of(c.bytes);
        raw_close(sv[0]);
        raw_close(sv[1]);
    }
}

TEST(RelayReadLine, WaitsPerByteNotPerLine)
{
    int sv[2];
    ASSERT_TRUE(raw_socket_pair(sv));
    std::thread trickle([&] {
        for (char c : std::string("AB\n")) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            raw_send(sv[1], &c, 1);
        }
    });
    char buf[16];
    // 900 ms in all, but no gap comes near 800 ms.
    EXPECT_EQ(usbip_read_line(sv[0], buf, sizeof buf, 800), 2);
    EXPECT_STREQ(buf, "AB");
    trickle.join();
    EXPECT_EQ(usbip_read_line(sv[0], buf, sizeof buf, 100), -1);  // silence
    raw_close(sv[0]);
    raw_close(sv[1]);
}

// ---------------------------------------------------------------------------
// First line

TEST(RelayFirstLine, AnythingElseIsClosedWithoutAnAnswer)
{
    Relay relay;
    for (const char *line : {"register abc\n", "CONNECT\n", "CONNECTABC234\n", "ATTACH\n", "Attach TK1000_1\n",
                             " REGISTER\n", "HELLO\n", "\n", "\r\n"}) {
        Fd fd = relay.open();
        raw_send(fd, line);
        Ending e = read_to_close(fd, 3000);
        EXPECT_TRUE(e.closed) << line;
        EXPECT_EQ(e.data, "") << line;
    }
}

TEST(RelayFirstLine, LongestLineIs511AndTheRestIsTheNextLine)
{
    Relay relay;
    // 511 characters make the first line; the heartbeat after them is the
    // registration's first control line.
    std::string first = "REGISTER " + std::string(502, 'f');
    Fd fd = relay.open();
    raw_send(fd, first + "HEARTBEAT\n");
    std::string code_line = raw_recv_line(fd);
    EXPECT_TRUE(std::regex_match(code_line, std::regex("CODE [A-HJ-NP-Z2-9]{6}\n"))) << code_line;
    EXPECT_EQ(raw_recv_line(fd), "OK\n");
}

// ---------------------------------------------------------------------------
// Registration

TEST(RelayRegistration, CodeHeartbeatsAndListing)
{
    Relay relay;
    EXPECT_STREQ(usbip_relay_list_codes(), "[]");
    Registration a = relay.register_server("REGISTER\r\n");
    Registration b = relay.register_server("REGISTERabc\n");
    EXPECT_NE(a.code, b.code);
    EXPECT_EQ(usbip_relay_list_codes(), codes_json({{a.code, 0}, {b.code, 0}}));

    // Only lines that begin with HEARTBEAT are answered, each with one OK.
    raw_send(a.control, "hello\nHEARTBEATxyz\nheartbeat\nOK\nHEARTBEAT\r\n" + std::string(127, 'y') +
                            "HEARTBEAT\n");
    EXPECT_EQ(raw_recv_n(a.control, 9), "OK\nOK\nOK\n");
    Ending quiet = read_to_close(a.control, 200);
    EXPECT_EQ(quiet.data, "");
    EXPECT_FALSE(quiet.closed);
    EXPECT_EQ(usbip_relay_list_codes(), codes_json({{a.code, 0}, {b.code, 0}}));
}

TEST(RelayRegistration, EndsOnCloseOrEmptyLine)
{
    Relay relay;
    Registration keep = relay.register_server();
    struct Case {
        const char *how;
        const char *sent;  // nullptr: close
        const char *answer;
    } cases[] = {
        {"close", nullptr, ""},
        {"empty line", "\n", ""},
        {"CR LF", "\r\n", ""},
        {"heartbeat then empty line", "HEARTBEAT\n\n", "OK\n"},
    };
    for (const auto &c : cases) {
        Registration r = relay.register_server();
        ASSERT_TRUE(listed(r.code));
        if (c.sent == nullptr) {
            r.control.close();
        } else {
            raw_send(r.control, c.sent);
            Ending e = read_to_close(r.control, 3000);
            EXPECT_TRUE(e.closed) << c.how;
            EXPECT_EQ(e.data, c.answer) << c.how;
        }
        EXPECT_TRUE(wait_until([&] { return !listed(r.code); }, 2000)) << c.how;
        EXPECT_EQ(usbip_relay_list_codes(), codes_json({{keep.code, 0}})) << c.how;
        // An ended registration's code finds nothing.
        Fd client = relay.open();
        raw_send(client, "CONNECT " + r.code + "\n");
        Ending refused = read_to_close(client, 3000);
        EXPECT_EQ(refused.data, "ERROR Code not found\n") << c.how;
        EXPECT_TRUE(refused.closed) << c.how;
    }
}

TEST(RelayRegistration, SixtyFourActiveAtOnceThenFull)
{
    Relay relay;
    std::vector<Registration> regs;
    std::vector<std::pair<std::string, int>> expected;
    for (int i = 0; i < 64; ++i) {
        // One server on each of 64 hosts: none holds more than a newcomer
        // may take a place from.
        regs.push_back(relay.register_server("REGISTER\n", host(10 + i)));
        expected.emplace_back(regs.back().code, 0);
    }
    std::set<std::string> distinct;
    for (const auto &r : regs) distinct.insert(r.code);
    EXPECT_EQ(distinct.size(), 64u);
    EXPECT_EQ(usbip_relay_list_codes(), codes_json(expected));

    Fd extra = relay.open_from(host(100));
    raw_send(extra, "REGISTER\n");
    Ending refused = read_to_close(extra, 3000);
    EXPECT_EQ(refused.data, "ERROR Relay capacity reached\n");
    EXPECT_TRUE(refused.closed);

    // An ended registration frees its slot, and the list keeps slot order.
    regs[10].control.close();
    ASSERT_TRUE(wait_until([&] { return !listed(regs[10].code); }, 2000));
    Registration again = relay.register_server("REGISTER\n", host(100));
    expected[10].first = again.code;
    EXPECT_EQ(usbip_relay_list_codes(), codes_json(expected));
}

// No host has a fixed share: when the table is full, a newcomer takes the
// place of the oldest registration of the host that holds the most, as long
// as that host holds at least two more than the newcomer.
TEST(RelayRegistration, ANewcomerTakesThePlaceOfTheHeaviestHost)
{
    Relay relay;
    std::vector<Registration> hog, others;
    for (int i = 0; i < 60; ++i) hog.push_back(relay.register_server("REGISTER\n", host(2)));
    for (int i = 0; i < 4; ++i) others.push_back(relay.register_server("REGISTER\n", host(3 + i)));

    Registration newcomer = relay.register_server("REGISTER\n", host(7));
    Ending ended = read_to_close(hog[0].control, 3000);
    EXPECT_TRUE(ended.closed) << "the hog's oldest gives its place";
    EXPECT_FALSE(listed(hog[0].code));
    EXPECT_TRUE(listed(hog[1].code));
    Pairing p = relay.pair(newcomer, "hello", host(8));

    // The hog itself finds nobody heavier: refused.
    Fd more = relay.open_from(host(2));
    raw_send(more, "REGISTER\n");
    EXPECT_EQ(read_to_close(more, 3000).data, "ERROR Relay capacity reached\n");
    // A host with one takes the hog's next oldest.
    Registration second = relay.register_server("REGISTER\n", host(3));
    EXPECT_TRUE(read_to_close(hog[1].control, 3000).closed);
    for (const Registration &r : others) EXPECT_TRUE(listed(r.code));
    EXPECT_TRUE(listed(newcomer.code));
}

TEST(RelayRegistration, EndedRegistrationsFreeTheirSlots)
{
    Relay relay;
    for (int i = 0; i < 70; ++i) {
        Registration r = relay.register_server();
        ASSERT_EQ(r.code.size(), 6u) << "registration " << i;
        raw_send(r.control, "\n");
        ASSERT_TRUE(read_to_close(r.control, 3000).closed) << "registration " << i;
        ASSERT_TRUE(wait_until([] { return std::string(usbip_relay_list_codes()) == "[]"; }, 2000));
    }
}

// A registration whose connection takes no more lines (its server stopped
// reading) is ended by the relay instead of holding up everybody else's
// pairings while a line to it waits.
TEST(RelayRegistration, OneThatNeverReadsDelaysNoOther)
{
    Relay relay;
    Registration good = relay.register_server("REGISTER\n", host(3));
    // A server with a tiny receive window that sends heartbeats and never
    // reads the answers.
    Fd deaf(raw_connect_small_window(relay.port(), 2048));
    ASSERT_GE(deaf, 0);
    raw_send(deaf, "REGISTER\n");
    std::string reply = raw_recv_line(deaf);
    ASSERT_EQ(reply.size(), 12u) << reply;
    std::string deaf_code = reply.substr(5, 6);
    // Heartbeats until the relay's answers have nowhere to go and the relay
    // has given the registration up (or its own sending stalls).
    std::string beats;
    for (int i = 0; i < 1000; ++i) beats += "HEARTBEAT\n";
    auto flood_start = Clock::now();
    while (listed(deaf_code) && seconds_since(flood_start) < 5.0) {
        if (raw_send_now(deaf, beats.data(), beats.size()) <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(wait_until([&] { return !listed(deaf_code); }, 3000)) << "the deaf registration is ended";

    // A CONNECT to the deaf server and a pairing with the good one, at once:
    // neither waits for the other.
    auto t0 = Clock::now();
    Fd to_deaf = relay.open_from(host(4));
    raw_send(to_deaf, "CONNECT " + deaf_code + "\n");
    Pairing p = relay.pair(good, "hi", host(5));
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_EQ(raw_recv_line(to_deaf), "ERROR Code not found\n");
}

// ---------------------------------------------------------------------------
// Pairing

TEST(RelayPairing, UnknownCodesAreRefused)
{
    Relay relay;
    Registration reg = relay.register_server();
    std::string lower = reg.code;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    int from = 30;  // each guess from a host of its own: guessing is limited per host
    for (const std::string &code :
         {std::string("ZZZZZZ"), lower, reg.code + "A", reg.code + "ABCDEFGHIJ", reg.code.substr(0, 5), std::string()}) {
        Fd client = relay.open_from(host(from++));
        raw_send(client, "CONNECT " + code + "\n");
        Ending e = read_to_close(client, 3000);
        EXPECT_EQ(e.data, "ERROR Code not found\n") << code;
        EXPECT_TRUE(e.closed) << code;
    }
    // None of them reached the server.
    EXPECT_EQ(usbip_relay_list_codes(), codes_json({{reg.code, 0}}));
    raw_send(reg.control, "HEARTBEAT\n");
    EXPECT_EQ(raw_recv_line(reg.control), "OK\n");
}

TEST(RelayPairing, DispatchAttachAndBridge)
{
    Relay relay;
    Registration other = relay.register_server();
    Registration reg = relay.register_server();

    Fd client = relay.open();
    // White space and a CR around the code are not part of it.
    raw_send(client, "CONNECT   " + reg.code + " \r\n");
    std::string ticket = Relay::next_dispatch(reg.control);
    EXPECT_EQ(usbip_relay_list_codes(), codes_json({{other.code, 0}, {reg.code, 1}}));

    // A server's bytes right after its ATTACH line are the first the client
    // gets after OK.
    Fd server = relay.open();
    raw_send(server, "ATTACH " + ticket + "\r\n" + be32(1) + std::string(32, '\xc3'));
    EXPECT_EQ(hex_of(raw_recv_n(client, 39)), hex_of("OK\n" + be32(1) + std::string(32, '\xc3')));
    raw_send(client, "to server");
    EXPECT_EQ(raw_recv_n(server, 9), "to server");
    raw_send(server, "to client");
    EXPECT_EQ(raw_recv_n(client, 9), "to client");

    // The other registration saw nothing.
    raw_send(other.control, "HEARTBEAT\n");
    EXPECT_EQ(raw_recv_line(other.control), "OK\n");
}

TEST(RelayPairing, TicketNumbersCountOnAcrossRestarts)
{
    std::uint64_t first = 0, second = 0, third = 0;
    int port;
    {
        Relay relay;
        port = relay.port();
        Registration reg = relay.register_server();
        Fd c1 = relay.open(), c2 = relay.open();
        raw_send(c1, "CONNECT " + reg.code + "\n");
        Relay::next_dispatch(reg.control, &first);
        raw_send(c2, "CONNECT " + reg.code + "\n");
        Relay::next_dispatch(reg.control, &second);
    }
    {
        Relay restarted(port);
        Registration reg = restarted.register_server();
        Fd c = restarted.open();
        raw_send(c, "CONNECT " + reg.code + "\n");
        Relay::next_dispatch(reg.control, &third);
    }
    EXPECT_GE(first, 1000u);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(third, second + 1);
}

TEST(RelayPairing, BadTicketsAreRefusedAndLeaveThePairingWaiting)
{
    Relay relay;
    Registration reg = relay.register_server();
    Fd client = relay.open();
    raw_send(client, "CONNECT " + reg.code + "\n");
    std::string ticket = Relay::next_dispatch(reg.control);

    int from = 40;  // each wrong ticket from a host of its own: guessing is limited per host
    auto refused = [&](const std::string &t) {
        Fd server = relay.open_from(host(from++));
        raw_send(server, "ATTACH " + t + "\n");
        Ending e = read_to_close(server, 3000);
        EXPECT_EQ(e.data, "ERROR Invalid ticket\n") << "'" << t << "'";
        EXPECT_TRUE(e.closed) << "'" << t << "'";
    };
    for (const std::string &t : {std::string("TK1_1"), std::string(), ticket.substr(0, ticket.size() - 1),
                                 ticket + "0", "tk" + ticket.substr(2)})
        refused(t);

    Fd server = relay.open();
    raw_send(server, "ATTACH " + ticket + "\n");
    EXPECT_EQ(raw_recv_n(client, 3), "OK\n");
    refused(ticket);  // already attached
}

// The ATTACH wakes the waiting pairing: its OK comes long before the wait
// for the server would run out. (How soon, the relay benchmark measures.)
TEST(RelayPairing, AttachEndsTheWait)
{
    Relay relay;
    Registration reg = relay.register_server();
    for (int i = 0; i < 5; ++i) {
        Fd client = relay.open();
        raw_send(client, "CONNECT " + reg.code + "\n");
        std::string ticket = Relay::next_dispatch(reg.control);
        Fd server = relay.open();
        auto t0 = Clock::now();
        raw_send(server, "ATTACH " + ticket + "\n");
        ASSERT_EQ(raw_recv_n(client, 3), "OK\n");
        EXPECT_LT(seconds_since(t0), 2.0) << i;
    }
}

// A client that leaves while its pairing waits for the server gives the
// slot back at once, not after the attach wait: round after round of four
// (a server's whole share) that leave are dispatched, never refused.
TEST(RelayPairing, AClientThatLeavesGivesItsWaitingSlotBackAtOnce)
{
    Relay relay;
    Registration reg = relay.register_server();  // never attaches
    auto t0 = Clock::now();
    for (int round = 0; round < 3; ++round) {
        std::vector<Fd> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(relay.open());
            raw_send(clients.back(), "CONNECT " + reg.code + "\n");
            Ending first = read_to_close(clients.back(), 300);
            ASSERT_EQ(first.data, "") << "round " << round << ", client " << i;
            ASSERT_FALSE(first.closed) << "round " << round << ", client " << i;
            Relay::next_dispatch(reg.control);
        }
        clients.clear();  // all four leave
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    EXPECT_LT(seconds_since(t0), 8.0);  // less than one attach wait in all
}

// Four pairings may wait for one server, and the pairing table holds 64 in
// all; when either is full, a newcomer takes the place of the oldest
// pairing of the client host that holds the most (its client is told the
// relay is at capacity).
TEST(RelayPairing, FourWaitPerServerAndSixtyFourInAll)
{
    // Making 64 pairings may take longer than one attach wait on a slow
    // machine (under Wine, say): none may run out before the table is full.
    usbip_relay_set_attach_wait_ms(60000);
    Relay relay;
    std::vector<Registration> regs;
    for (int i = 0; i < 17; ++i) regs.push_back(relay.register_server("REGISTER\n", host(10 + i)));
    std::vector<Fd> clients;
    std::vector<std::string> tickets;
    // Each waiting pairing from a client host of its own.
    int next_host = 50;
    for (int r = 0; r < 16; ++r) {
        for (int i = 0; i < 4; ++i) {
            clients.push_back(relay.open_from(host(next_host++)));
            raw_send(clients.back(), "CONNECT " + regs[r].code + "\n");
            tickets.push_back(Relay::next_dispatch(regs[r].control));
        }
    }
    struct Case {
        const char *what;
        int reg;
        int gives_way;  // the client whose pairing goes
        int ticket;     // whose ticket the newcomer's replaces
    } full[] = {{"a fifth for one server: its oldest goes", 0, 0, 0},
                {"a first for a server when 64 wait: the oldest of all goes", 16, 1, 1}};
    for (const auto &c : full) {
        clients.push_back(relay.open_from(host(200 + c.reg)));
        raw_send(clients.back(), "CONNECT " + regs[c.reg].code + "\n");
        std::string ticket = Relay::next_dispatch(regs[c.reg].control);
        Ending gone = read_to_close(clients[static_cast<std::size_t>(c.gives_way)], 3000);
        EXPECT_EQ(gone.data, "ERROR Relay capacity reached\n") << c.what;
        EXPECT_TRUE(gone.closed) << c.what;
        std::swap(clients[static_cast<std::size_t>(c.gives_way)], clients.back());
        clients.pop_back();
        tickets[static_cast<std::size_t>(c.ticket)] = ticket;
    }
    std::vector<std::pair<std::string, int>> counts;
    for (int r = 0; r < 17; ++r) counts.emplace_back(regs[r].code, r == 0 ? 5 : r < 16 ? 4 : 1);
    EXPECT_EQ(usbip_relay_list_codes(), codes_json(counts));

    // A late ATTACH for a pairing that gave way finds none; the others
    // attach, and attached pairings leave the waiting table (bridges are not
    // counted).
    std::vector<Fd> servers;
    for (int i = 0; i < 64; ++i) {
        servers.push_back(relay.open_from(i < 4 ? host(10) : host(11)));
        raw_send(servers.back(), "ATTACH " + tickets[static_cast<std::size_t>(i)] + "\n");
        ASSERT_EQ(raw_recv_n(clients[static_cast<std::size_t>(i)], 3), "OK\n") << i;
    }
    Pairing more = relay.pair(regs[0], "x", host(201));
    Pairing last = relay.pair(regs[16], "y", host(201));
    usbip_relay_set_attach_wait_ms(0);
}

// Clients that hog the pairing table give their places to newcomers.
TEST(RelayPairing, AHostThatHoldsMostPairingsGivesWay)
{
    Relay relay;
    std::vector<Registration> silent;
    for (int i = 0; i < 16; ++i) silent.push_back(relay.register_server("REGISTER\n", host(10)));
    std::vector<Fd> hog;
    for (int i = 0; i < 64; ++i) {
        hog.push_back(relay.open_from(host(20 + i / 32)));
        raw_send(hog.back(), "CONNECT " + silent[static_cast<std::size_t>(i % 16)].code + "\n");
    }
    for (const Registration &r : silent)
        for (int i = 0; i < 4; ++i) Relay::next_dispatch(r.control);
    Registration mine = relay.register_server("REGISTER\n", host(30));
    auto t0 = Clock::now();
    Pairing p = relay.pair(mine, "hi", host(31));
    EXPECT_LT(seconds_since(t0), 2.0);
    // Exactly one of the hog's pairings gave way (its answer comes as its
    // handler wakes).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int gave_way = 0;
    for (Fd &fd : hog) {
        char buf[64];
        long n = raw_recv_some(fd, buf, sizeof buf, 0);
        if (n > 0) {
            EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "ERROR Relay capacity reached\n");
            ++gave_way;
        }
    }
    EXPECT_EQ(gave_way, 1);
}

// The relay's two long waits, run side by side: a first line (5 s per
// byte) and a server's ATTACH (8 s).
TEST(RelayPairing, WaitsForFirstLineAndAttachRunOut)
{
    Relay relay;
    Registration reg = relay.register_server();
    auto t0 = Clock::now();
    Fd silent = relay.open(15000);
    Fd client = relay.open(15000);
    raw_send(client, "CONNECT " + reg.code + "\n");
    std::string ticket = Relay::next_dispatch(reg.control);

    // Bytes 3 s apart: never 5 s between bytes, and the line is done
    // within 10 s, so it counts.
    Fd slow = relay.open(15000);
    std::thread trickle([&] {
        for (const char *part : {"REGI", "STER", "\n"}) {
            if (part[0] != 'R') std::this_thread::sleep_for(std::chrono::milliseconds(3000));
            raw_send(slow, part);
        }
    });
    // Bytes 4 s apart never finish a line: 10 s for the whole line end it.
    Fd dripping = relay.open(15000);
    std::atomic<bool> dripped_out{false};
    double dripping_closed_after = 0;
    std::thread drip([&] {
        for (int i = 0; i < 4 && !dripped_out; ++i) {
            raw_send(dripping, std::string(1, "REGI"[i]));
            dripped_out = raw_wait_closed(dripping, 4000);
        }
        dripping_closed_after = seconds_since(t0);
    });

    Ending dropped = read_to_close(silent, 9000);
    double dropped_after = seconds_since(t0);
    EXPECT_TRUE(dropped.closed);
    EXPECT_EQ(dropped.data, "");
    EXPECT_GT(dropped_after, 4.5);
    EXPECT_LT(dropped_after, 7.0);

    Ending failed = read_to_close(client, 12000);
    double failed_after = seconds_since(t0);
    EXPECT_EQ(failed.data, "ERROR Server failed to attach\n");
    EXPECT_TRUE(failed.closed);
    EXPECT_GT(failed_after, 7.5);
    EXPECT_LT(failed_after, 11.0);

    Fd late = relay.open();
    raw_send(late, "ATTACH " + ticket + "\n");
    Ending e = read_to_close(late, 3000);
    EXPECT_EQ(e.data, "ERROR Invalid ticket\n");
    EXPECT_TRUE(e.closed);

    trickle.join();
    EXPECT_TRUE(std::regex_match(raw_recv_line(slow), std::regex("CODE [A-HJ-NP-Z2-9]{6}\n")));
    drip.join();
    EXPECT_TRUE(dripped_out);
    EXPECT_GT(dripping_closed_after, 9.5);
    EXPECT_LT(dripping_closed_after, 11.5);
}

// ---------------------------------------------------------------------------
// Bridge

namespace {

// Bytes of a stream that both ends can regenerate from its seed.
struct Pattern {
    std::uint64_t state;
    explicit Pattern(std::uint64_t seed) : state(seed * 0x9e3779b97f4a7c15ull + 1) {}
    void fill(char *p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            p[i] = static_cast<char>(state >> 32);
        }
    }
};

// Sends `total` bytes of the seed's stream in chunks of varying size.
void send_stream(int fd, std::uint64_t seed, std::size_t total, bool *ok)
{
    Pattern pattern(seed);
    std::vector<char> buf(70000);
    std::size_t sent = 0, chunk = 1;
    *ok = true;
    while (sent < total && *ok) {
        chunk = (chunk * 7919 + 13) % buf.size() + 1;
        std::size_t n = std::min(chunk, total - sent);
        pattern.fill(buf.data(), n);
        *ok = raw_send(fd, buf.data(), n);
        sent += n;
    }
}

// Receives `total` bytes and counts those that differ from the stream.
void check_stream(int fd, std::uint64_t seed, std::size_t total, std::size_t *received, std::size_t *wrong)
{
    Pattern pattern(seed);
    std::vector<char> buf(65536), want(65536);
    *received = *wrong = 0;
    while (*received < total) {
        long n = raw_recv_once(fd, buf.data(), std::min(buf.size(), total - *received));
        if (n <= 0) break;
        pattern.fill(want.data(), static_cast<std::size_t>(n));
        for (long i = 0; i < n; ++i) *wrong += buf[i] != want[i];
        *received += static_cast<std::size_t>(n);
    }
}

}  // namespace

TEST(RelayBridge, CarriesMegabytesBothWaysAtOnce)
{
    Relay relay;
    Registration reg = relay.register_server();
    Pairing p = relay.pair(reg);
    const std::size_t total = 4u << 20;
    bool up_ok = false, down_ok = false;
    std::size_t up_got = 0, up_wrong = 0, down_got = 0, down_wrong = 0;
    std::thread up_send(send_stream, int(p.client), 1, total, &up_ok);
    std::thread down_send(send_stream, int(p.server), 2, total, &down_ok);
    std::thread up_check(check_stream, int(p.server), 1, total, &up_got, &up_wrong);
    check_stream(p.client, 2, total, &down_got, &down_wrong);
    up_send.join();
    down_send.join();
    up_check.join();
    EXPECT_TRUE(up_ok);
    EXPECT_TRUE(down_ok);
    EXPECT_EQ(up_got, total);
    EXPECT_EQ(down_got, total);
    EXPECT_EQ(up_wrong, 0u);
    EXPECT_EQ(down_wrong, 0u);
}

// A side that closes ends its direction after its last bytes. A full close
// ends the other side's too once it closes; after a half-close the other
// side's answer still arrives.
TEST(RelayBridge, TheEndOfEachDirectionFollowsItsLastBytes)
{
    Relay relay;
    Registration reg = relay.register_server();
    struct Case {
        bool client_closes;
        bool half;  // shutdown of the sending direction only
    } cases[] = {{true, false}, {false, false}, {true, true}, {false, true}};
    for (const auto &c : cases) {
        Pairing p = relay.pair(reg);
        Fd &closer = c.client_closes ? p.client : p.server;
        Fd &other = c.client_closes ? p.server : p.client;
        raw_send(closer, "last words");
        if (c.half)
            raw_shutdown_send(closer);
        else
            closer.close();
        Ending e = read_to_close(other, 3000);
        EXPECT_EQ(e.data, "last words") << c.client_closes << c.half;
        EXPECT_TRUE(e.closed) << c.client_closes << c.half;
        if (c.half) {
            raw_send(other, "the answer after the end");
            other.close();
            Ending back = read_to_close(closer, 3000);
            EXPECT_EQ(back.data, "the answer after the end") << c.client_closes;
            EXPECT_TRUE(back.closed) << c.client_closes;
        }
    }
}

// Bridges that carry nothing, or whose bytes wait for a reader that takes
// none, end at the idle limit and give their threads back; a bridge in use
// goes on. The limit is long enough that the ten pairings are all made
// before the first can run out: 2 s (slowly, in a sanitizer build on a busy
// machine), or more where one pairing takes long (about 100-150 ms under
// Wine).
TEST(RelayBridge, SilentAndStalledBridgesEndAtTheIdleLimit)
{
    {
        Relay relay;
        Registration reg = relay.register_server();
        // A registration holds no relay thread: one thread watches them all.
        ASSERT_TRUE(wait_until([] { return usbip_relay_busy_threads() == 0; }, 2000));
        int idle_ms;
        {
            const std::int64_t t0 = plat::monotonic_ms();
            Pairing probe = relay.pair(reg);
            idle_ms = std::clamp(static_cast<int>(plat::monotonic_ms() - t0) * 10 * 2, 2000, 4000);
        }
        ASSERT_TRUE(wait_until([] { return usbip_relay_busy_threads() == 0; }, 3000));  // the probe's bridge ended
        usbip_relay_set_bridge_idle_ms(idle_ms);
        std::vector<Pairing> silent;
        for (int i = 0; i < 8; ++i) silent.push_back(relay.pair(reg));
        Pairing stalled = relay.pair(reg);
        Pairing busy = relay.pair(reg);
        // One for each bridge (registrations hold none); the last
        // pairing's thread may count itself busy a moment after its client
        // has read "OK".
        EXPECT_TRUE(wait_until([] { return usbip_relay_busy_threads() == 10; }, 2000))
            << usbip_relay_busy_threads() << " relay threads busy";

        // The stalled one's server sends and sends; its client reads nothing.
        set_socket_buffers(stalled.client, 4096);
        std::atomic<bool> flooding{true};
        std::thread flooder([&] {
            std::string chunk(4096, 'z');
            for (int i = 0; i < 5000 && flooding; ++i)
                if (raw_send_now(stalled.server, chunk.data(), chunk.size()) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
        // The busy one carries a message every 100 ms, for one and a half
        // idle limits at least.
        for (int i = 0; i < idle_ms * 3 / 2 / 100; ++i) {
            raw_send(busy.client, "ping");
            ASSERT_EQ(raw_recv_n(busy.server, 4), "ping") << i;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (Pairing &p : silent) {
            EXPECT_TRUE(read_to_close(p.client, 4000).closed);
            EXPECT_TRUE(read_to_close(p.server, 4000).closed);
        }
        flooding = false;
        flooder.join();
        EXPECT_TRUE(wait_until([] { return usbip_relay_busy_threads() == 1; }, 5000))
            << usbip_relay_busy_threads() << " relay threads busy";
        raw_send(busy.server, "still here");
        EXPECT_EQ(raw_recv_n(busy.client, 10), "still here");
    }
    usbip_relay_set_bridge_idle_ms(0);
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST(RelayLifecycle, StartTwiceKeepsTheFirstPortAndBindFailureIsReported)
{
    EXPECT_STREQ(usbip_relay_list_codes(), "[]");
    {
        Listener taken;
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "before");
        EXPECT_EQ(usbip_relay_start(taken.port()), -1);
        EXPECT_EQ(usbip_last_error(), "relay_start: bind() failed on port " + std::to_string(taken.port()));
    }
    EXPECT_EQ(usbip_relay_port(), 0);
    Relay relay;
    EXPECT_EQ(usbip_relay_port(), relay.port());
    int other = free_port();
    EXPECT_EQ(usbip_relay_start(other), 0);
    EXPECT_EQ(usbip_relay_port(), relay.port());
    EXPECT_EQ(raw_connect(other, 1000), -1);
    Registration reg = relay.register_server();
    EXPECT_EQ(usbip_relay_list_codes(), codes_json({{reg.code, 0}}));
}

// Port 0 lets the system choose; the relay says which port it got.
TEST(RelayLifecycle, PortZeroReportsThePortTheSystemChose)
{
    Relay relay(0);
    ASSERT_GT(usbip_relay_port(), 0);
    Relay same(usbip_relay_port());  // already running: the same relay
    Registration reg = same.register_server();
    EXPECT_EQ(usbip_relay_list_codes(), codes_json({{reg.code, 0}}));
    usbip_relay_stop();
    EXPECT_EQ(usbip_relay_port(), 0);
}

TEST(RelayLifecycle, StopEndsEveryConnectionAndThread)
{
    int threads_before = process_thread_count();
    {
        Relay relay;
        Registration reg = relay.register_server();
        Pairing bridged = relay.pair(reg);
        Fd waiting = relay.open();
        raw_send(waiting, "CONNECT " + reg.code + "\n");
        Relay::next_dispatch(reg.control);
        Fd silent = relay.open();
        Fd half_line = relay.open();
        raw_send(half_line, "REGIS");
        // Listener, registration, bridge, waiting pairing and the half line
        // each hold a thread; the silent connection holds none.
        ASSERT_TRUE(wait_until([&] { return process_thread_count() >= threads_before + 5; }, 2000));

        auto t0 = Clock::now();
        usbip_relay_stop();
        EXPECT_LT(seconds_since(t0), 2.0);
        EXPECT_EQ(process_thread_count(), threads_before);
        EXPECT_STREQ(usbip_relay_list_codes(), "[]");

        // The refusal may or may not beat the shutdown of the socket.
        Ending w = read_to_close(waiting, 1000);
        EXPECT_TRUE(w.data.empty() || w.data == "ERROR Server failed to attach\n") << w.data;
        EXPECT_TRUE(w.closed);
        for (int fd : {int(reg.control), int(bridged.client), int(bridged.server), int(silent), int(half_line)}) {
            Ending e = read_to_close(fd, 1000);
            EXPECT_TRUE(e.closed);
            EXPECT_EQ(e.data, "");
        }
        EXPECT_EQ(raw_connect(relay.port(), 1000), -1);
    }
    EXPECT_EQ(process_thread_count(), threads_before);
}

TEST(RelayLifecycle, StopRightAfterConnectionsArrive)
{
    // Handlers that have only just started when the relay stops must end
    // with the rest, not after their first-line wait.
    for (int round = 0; round < 20; ++round) {
        Relay relay;
        std::vector<Fd> fds;
        for (int i = 0; i < 8; ++i) fds.push_back(relay.open());
        auto t0 = Clock::now();
        usbip_relay_stop();
        ASSERT_LT(seconds_since(t0), 2.0) << "round " << round;
    }
}

TEST(RelayLifecycle, CleanupStopsTheRelay)
{
    usbip_cleanup();  // the library's own threads (USB events) come and go with init
    int threads_before = process_thread_count();
    ASSERT_EQ(usbip_init(), 0);
    Relay relay;
    Registration reg = relay.register_server();
    usbip_cleanup();
    EXPECT_STREQ(usbip_relay_list_codes(), "[]");
    EXPECT_TRUE(read_to_close(reg.control, 1000).closed);
    EXPECT_EQ(process_thread_count(), threads_before);
}
