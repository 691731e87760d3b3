// The server and the relay under attack from another host on loopback
// (127.0.0.2 and up), while the library's own client, from 127.0.0.1, keeps
// being served: guessing costs the guesser time, and one host cannot take
// the relay's shared slots.
#include <gtest/gtest.h>


#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "usbip_auth.h"
#include "usbip_relay_lines.h"
#include "usbip_secure_auth.h"
#include "usbip_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// A library server with a password, registered with a library relay.
class SharedServer {
public:
    explicit SharedServer(const char *password)
    {
        EXPECT_EQ(usbip_init(), 0);
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int p = free_port();
            if (usbip_server_start(p, password, 0) == 0) port_ = p;
        }
        EXPECT_NE(port_, 0) << usbip_last_error();
        const char *code = usbip_server_register_relay("127.0.0.1", relay_.port(), nullptr);
        EXPECT_NE(code, nullptr) << usbip_last_error();
        if (code) code_ = code;
    }
    ~SharedServer() { usbip_server_stop(); }
    int port() const { return port_; }
    int relay_port() const { return relay_.port(); }
    const std::string &code() const { return code_; }

private:
    LibraryRelay relay_;
    int port_ = 0;
    std::string code_;
};

// One guess at the server's password from `from`: 1 answered (rejected), 0
// refused (closed before any greeting), -1 anything else.
int guess_password(const char *from, int port, const char *password = "wrong")
{
    Fd fd(raw_connect_from(from, port, 2000));
    if (fd < 0) return -1;
    std::string greeting = raw_recv_n(fd, 36);
    if (greeting.empty()) return 0;
    if (greeting.size() != 36 || be32_at(greeting, 0) == 0) return -1;
    std::uint8_t proof[32];
    usbip_auth_proof(reinterpret_cast<const std::uint8_t *>(greeting.data()) + 4, password, proof);
    raw_send(fd, proof, sizeof proof);
    std::string result = raw_recv_n(fd, 4);
    if (result.size() != 4) return -1;
    return be32_at(result, 0) == 0 ? 2 : 1;
}

// The same guess through the secure exchange: the client's steps with the
// raw bytes, from `from`.
int guess_password_secure(const char *from, int port, const char *password = "wrong")
{
    Fd fd(raw_connect_from(from, port, 2000));
    if (fd < 0) return -1;
    std::string greeting = raw_recv_n(fd, 36);
    if (greeting.empty()) return 0;
    if (greeting.size() != 36 || be32_at(greeting, 0) != 3) return -1;
    usbip_secure_context context;
    std::memcpy(context.challenge, greeting.data() + 4, 32);
    usbip_secure_client client(context);
    std::uint64_t seed = 99;
    std::uint8_t open[USBIP_SECURE_OPEN_SIZE], confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
    if (!client.open(password, counter_rng, &seed, open) || !raw_send(fd, open, sizeof open)) return -1;
    std::string share = raw_recv_n(fd, USBIP_SPAKE2_SHARE_SIZE);
    if (share.size() != USBIP_SPAKE2_SHARE_SIZE ||
        !client.confirm(reinterpret_cast<const std::uint8_t *>(share.data()), confirmation) ||
        !raw_send(fd, confirmation, sizeof confirmation))
        return -1;
    std::string result = raw_recv_n(fd, 4);
    if (result.size() != 4) return -1;
    return be32_at(result, 0) == 0 ? 2 : 1;
}

// One line sent to the relay from `from`; the answer line.
std::string ask_relay(const char *from, int port, const std::string &line)
{
    Fd fd(raw_connect_from(from, port, 2000));
    if (fd < 0) return "";
    raw_send(fd, line);
    return raw_recv_line(fd);
}

struct Tally {
    std::atomic<int> answered{0}, refused{0}, other{0};
};

}  // namespace

// Passwords, codes and tickets guessed at full speed from one host: a few
// answers, then refusals that cost nothing; meanwhile the library's own
// client from 127.0.0.1 is served at once, directly and by code.
TEST(Guessing, CostsTheGuesserTimeAndNobodyElse)
{
    SharedServer server("secret");
    ASSERT_EQ(server.code().size(), 6u);
    Tally passwords, codes, tickets;
    std::atomic<bool> attacking{true};
    const char *attacker = "127.0.0.2";
    std::thread password_guesser([&] {
        for (int i = 0; i < 100000 && attacking; ++i) {
            int r = guess_password(attacker, server.port());
            (r == 1 ? passwords.answered : r == 0 ? passwords.refused : passwords.other)++;
        }
    });
    std::thread code_guesser([&] {
        std::mt19937 rng(7);
        for (int i = 0; i < 100000 && attacking; ++i) {
            std::string code;
            for (int k = 0; k < 6; ++k) code += USBIP_RELAY_CHARSET[rng() % 32];
            if (code == server.code()) continue;
            std::string answer = ask_relay(attacker, server.relay_port(), "CONNECT " + code + "\n");
            (answer == "ERROR Code not found\n"      ? codes.answered
             : answer == "ERROR Too many requests\n" ? codes.refused
                                                     : codes.other)++;
        }
    });
    std::thread ticket_guesser([&] {
        for (int i = 0; i < 100000 && attacking; ++i) {
            std::string answer =
                ask_relay(attacker, server.relay_port(), "ATTACH TK1000_" + std::to_string(i * 7919) + "\n");
            (answer == "ERROR Invalid ticket\n"      ? tickets.answered
             : answer == "ERROR Too many requests\n" ? tickets.refused
                                                     : tickets.other)++;
        }
    });

    auto t0 = Clock::now();
    double slowest = 0;
    for (int round = 0; round < 100 && seconds_since(t0) < 5.0; ++round) {
        auto t = Clock::now();
        const char *direct = usbip_client_list_remote("127.0.0.1", server.port(), "secret", 0);
        EXPECT_STREQ(direct ? direct : usbip_last_error(), "[]");
        if (round % 5 == 0) {  // twice a second: the relay allows a host one a second beyond a burst
            const char *by_code =
                usbip_client_list_by_code("127.0.0.1", server.relay_port(), server.code().c_str(), "secret");
            EXPECT_STREQ(by_code ? by_code : usbip_last_error(), "[]");
        }
        slowest = std::max(slowest, seconds_since(t));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    while (seconds_since(t0) < 5.0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    attacking = false;
    password_guesser.join();
    code_guesser.join();
    ticket_guesser.join();

    EXPECT_LT(slowest, 2.0);
    struct Row {
        const char *what;
        const Tally &tally;
    } rows[] = {{"passwords", passwords}, {"codes", codes}, {"tickets", tickets}};
    for (const auto &row : rows) {
        EXPECT_GE(row.tally.answered, 5) << row.what;  // the first five are answered as ever
        EXPECT_LE(row.tally.answered, 30) << row.what;
        // Unlimited, every guess would be answered; under an emulator on a
        // busy machine a guesser manages a few hundred tries in the 5 s.
        EXPECT_GT(row.tally.refused, 10) << row.what << ": the guesser did run at full speed";
        EXPECT_EQ(row.tally.other, 0) << row.what;
    }
}

// A refused host is served again once its period has passed or it has got
// it right; a success forgives the failures before it.
TEST(Guessing, BackOffEndsWithItsPeriodOrASuccess)
{
    SharedServer server("secret");
    const char *host = "127.0.0.3";
    for (int i = 0; i < 5; ++i) ASSERT_EQ(guess_password(host, server.port()), 1) << i;
    EXPECT_EQ(guess_password(host, server.port()), 0);
    EXPECT_EQ(guess_password("127.0.0.4", server.port()), 1) << "another host is not refused";
    // The first period is about a second.
    ASSERT_TRUE(wait_until([&] { return guess_password(host, server.port(), "secret") == 2; }, 3000));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(guess_password(host, server.port()), 1) << i;
    EXPECT_EQ(guess_password(host, server.port()), 0);

    // Codes at the relay likewise: the first period passes. A found code
    // clears nothing (anybody may register a code of their own on an open
    // relay): the next wrong one is answered, and doubles the period.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ask_relay(host, server.relay_port(), "CONNECT ZZZZZZ\n"), "ERROR Code not found\n") << i;
    EXPECT_EQ(ask_relay(host, server.relay_port(), "CONNECT ZZZZZZ\n"), "ERROR Too many requests\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    std::string answer = ask_relay(host, server.relay_port(), "CONNECT " + server.code() + "\n");
    EXPECT_EQ(answer.substr(0, 2), "OK") << answer;
    EXPECT_EQ(ask_relay(host, server.relay_port(), "CONNECT ZZZZZZ\n"), "ERROR Code not found\n");
    EXPECT_EQ(ask_relay(host, server.relay_port(), "CONNECT ZZZZZZ\n"), "ERROR Too many requests\n");
    // The code it found it keeps reaching meanwhile.
    answer = ask_relay(host, server.relay_port(), "CONNECT " + server.code() + "\n");
    EXPECT_EQ(answer.substr(0, 2), "OK") << answer;
}

// Room for three wrong passwords in all, then one every 500 ms: three
// addresses spend it, others are refused until it recovers, and clients
// that proved the password are served throughout.
TEST(Guessing, TheBudgetRecoversAndTheProvenAreServedMeanwhile)
{
    usbip_server_set_guess_budget(3, 500);
    SharedServer server("secret");
    EXPECT_EQ(guess_password("127.0.0.9", server.port(), "secret"), 2);
    EXPECT_STREQ(usbip_client_list_remote("127.0.0.1", server.port(), "secret", 0), "[]");
    for (const char *host : {"127.0.0.10", "127.0.0.11", "127.0.0.12"})
        EXPECT_EQ(guess_password(host, server.port()), 1) << host;
    EXPECT_EQ(guess_password("127.0.0.13", server.port()), 0);
    EXPECT_EQ(guess_password("127.0.0.13", server.port(), "secret"), 0) << "nothing to learn while it is spent";
    EXPECT_EQ(guess_password("127.0.0.9", server.port(), "secret"), 2);
    EXPECT_STREQ(usbip_client_list_remote("127.0.0.1", server.port(), "secret", 0), "[]");
    // Guesses from fresh addresses for two seconds: the budget recovers by
    // one every 500 ms, no faster.
    int answered = 0, refused = 0;
    auto t0 = Clock::now();
    for (int i = 0; seconds_since(t0) < 2.0; ++i) {
        std::string host = "127.0.1." + std::to_string(i % 250);
        int r = guess_password(host.c_str(), server.port());
        (r == 1 ? answered : refused)++;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(answered, 1) << "it recovers";
    EXPECT_LE(answered, static_cast<int>(seconds_since(t0) / 0.5) + 2);
    EXPECT_GT(refused, answered);
    usbip_server_set_guess_budget(60, 2000);
}

// Through the relay, each client counts by the address the relay reports
// for it: five wrong passwords from one address, and that address is
// refused (its pairing closes at once), not another.
TEST(Guessing, ThroughTheRelayEachClientCountsApart)
{
    SharedServer server("secret");
    auto by_code = [&](const char *from, const char *password) {
        Fd fd(raw_connect_from(from, server.relay_port(), 2000));
        raw_send(fd, "CONNECT " + server.code() + "\n");
        if (raw_recv_line(fd) != "OK\n") return -1;
        std::string greeting = raw_recv_n(fd, 36);
        if (greeting.size() != 36) return 0;
        std::uint8_t proof[32];
        usbip_auth_proof(reinterpret_cast<const std::uint8_t *>(greeting.data()) + 4, password, proof);
        raw_send(fd, proof, sizeof proof);
        std::string result = raw_recv_n(fd, 4);
        if (result.size() != 4) return -1;
        return be32_at(result, 0) == 0 ? 2 : 1;
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(by_code("127.0.0.5", "wrong"), 1) << i;
    EXPECT_EQ(by_code("127.0.0.5", "wrong"), 0);
    EXPECT_EQ(by_code("127.0.0.6", "wrong"), 1);
    EXPECT_EQ(by_code("127.0.0.7", "secret"), 2);
}

// A wrong password through the secure exchange costs as a wrong proof does:
// each one counts, five are answered, the sixth is refused; old and new
// guesses count together.
TEST(Guessing, EachWrongPasswordOfTheSecureExchangeCounts)
{
    SharedServer server("secret");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(guess_password_secure("127.0.0.5", server.port()), 1) << i;
    EXPECT_EQ(guess_password_secure("127.0.0.5", server.port()), 0);
    EXPECT_EQ(guess_password("127.0.0.5", server.port()), 0);
    EXPECT_EQ(guess_password_secure("127.0.0.6", server.port(), "secret"), 2) << "another host is not refused";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(guess_password("127.0.0.7", server.port()), 1) << i;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(guess_password_secure("127.0.0.7", server.port()), 1) << i;
    EXPECT_EQ(guess_password_secure("127.0.0.7", server.port()), 0);
}

// One host that registers as often as the relay lets it and keeps CONNECTs
// to its own codes waiting does not keep another server from registering
// and being listed by code: the newcomer takes the place of the host's
// oldest registration, and of its waiting pairings.
TEST(RelayShares, OneHostCannotTakeEverySlot)
{
    LibraryRelay relay;
    const char *hog = "127.0.0.2";
    std::vector<Fd> held;
    std::vector<std::string> codes;
    for (int i = 0; i < 64; ++i) {
        Fd control(raw_connect_from(hog, relay.port()));
        raw_send(control, "REGISTER \n");
        std::string reply = raw_recv_line(control);
        ASSERT_EQ(reply.rfind("CODE ", 0), 0u) << reply;
        codes.push_back(reply.substr(5, 6));
        held.push_back(std::move(control));
    }
    // Four CONNECTs to each of its codes, none of which its "servers" ever
    // answer: they fill the relay's whole pairing table.
    for (int i = 0; i < 64; ++i) {
        held.emplace_back(raw_connect_from(hog, relay.port()));
        raw_send(held.back(), "CONNECT " + codes[static_cast<std::size_t>(i) % codes.size()] + "\n");
    }

    EXPECT_EQ(usbip_init(), 0);
    int port = free_port();
    ASSERT_EQ(usbip_server_start(port, nullptr, 0), 0) << usbip_last_error();
    const char *code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
    ASSERT_NE(code, nullptr) << usbip_last_error();
    std::string mine = code;
    auto t0 = Clock::now();
    const char *json = usbip_client_list_by_code("127.0.0.1", relay.port(), mine.c_str(), nullptr);
    EXPECT_STREQ(json ? json : usbip_last_error(), "[]");
    EXPECT_LT(seconds_since(t0), 1.0);
    usbip_server_stop();
}
