// The server and the relay against many attackers at once, each attack from
// many loopback addresses (127.0.16.0 upward stand for other hosts), while a
// legitimate client from 127.0.0.1, which used the service before the attack
// began, keeps being served: at least 4 of 5 calls within 2 s each. Guessing
// is bounded by the service's budget, whatever the number of addresses.
//
// The budgets are shortened here (room for 20 wrong guesses, then one a
// second) so that their bounds show within seconds.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "usbip_conn.h"
#include "usbip_relay.h"
#include "usbip_relay_lines.h"
#include "usbip_server.h"
#include "usbip_tls.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBudgetBurst = 20;
constexpr int kBudgetRefillMs = 1000;
constexpr double kAttackSeconds = 4.0;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The i-th attacking address: 127.0.16.0, 127.0.16.1, ... (4,200 of them
// reach 127.0.32.103).
std::string attacker(int i) { return "127.0." + std::to_string(16 + i / 256) + "." + std::to_string(i % 256); }

// Both ends of thousands of connections live in this process.
bool enough_descriptors(rlim_t want)
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < want && lim.rlim_max >= want) {
        lim.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    return lim.rlim_cur >= want;
}

// Closes with a reset, so that thousands of tries leave no connections in
// TIME_WAIT behind.
void close_now(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

struct Tally {
    std::atomic<int> answered{0};  // a real try: the service checked the guess
    std::atomic<int> refused{0};   // closed or refused before any check
};

// Runs `attack(address index, tally)` on `threads` threads, round robin over
// `addresses` addresses, until stopped.
class Attack {
public:
    Attack(int threads, int addresses, std::function<void(int, Tally &)> attack) : attack_(std::move(attack))
    {
        for (int t = 0; t < threads; ++t)
            threads_.emplace_back([this, t, threads, addresses] {
                for (int i = t; running_; i = (i + threads) % addresses) attack_(i, tally);
            });
    }
    ~Attack() { stop(); }
    void stop()
    {
        running_ = false;
        for (auto &t : threads_)
            if (t.joinable()) t.join();
    }
    bool running() const { return running_; }
    Tally tally;

private:
    std::function<void(int, Tally &)> attack_;
    std::atomic<bool> running_{true};
    std::vector<std::thread> threads_;
};

// Five calls of the legitimate client, spread over `spread_s`: how many
// succeeded within 2 s.
struct Served {
    int within_2s = 0;
    std::vector<double> ms;
    std::string failures;
};

Served serve_legitimately(const std::function<const char *()> &call, double spread_s = kAttackSeconds)
{
    Served s;
    auto t0 = Clock::now();
    for (int i = 0; i < 5; ++i) {
        while (seconds_since(t0) < spread_s * i / 5) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto t = Clock::now();
        const char *json = call();
        double ms = seconds_since(t) * 1000;
        s.ms.push_back(ms);
        if (json != nullptr && ms <= 2000) ++s.within_2s;
        else s.failures += (json ? "slow: " + std::to_string(ms) + " ms" : std::string(usbip_last_error())) + "; ";
    }
    return s;
}

std::string summary(const Served &s)
{
    std::string out;
    for (double ms : s.ms) out += std::to_string(static_cast<int>(ms)) + " ms ";
    return out + s.failures;
}

// The most a budget of kBudgetBurst, then one per kBudgetRefillMs, lets
// through in `seconds`, with a little room for clocks.
int budget_bound(double seconds) { return kBudgetBurst + static_cast<int>(seconds * 1000 / kBudgetRefillMs) + 3; }

// Prints what a guessing attack of `spent` seconds got, and checks it: the
// legitimate client was served, the guesses answered stayed within the
// budget, and the attack did run.
void expect_guesses_bounded(const char *what, const Attack &attack, const Served &served, double spent)
{
    std::printf("%s: %d answered, %d refused in %.1f s; legitimate: %s\n", what, attack.tally.answered.load(),
                attack.tally.refused.load(), spent, summary(served).c_str());
    EXPECT_GE(served.within_2s, 4) << summary(served);
    EXPECT_LE(attack.tally.answered, budget_bound(spent));
    EXPECT_GT(attack.tally.refused, 100) << "the attack ran";
}

// A library server with a password and the shortened budget, registered with
// a library relay, that the legitimate client has used already (directly
// and by code), so that it is known to both.
class Services {
public:
    explicit Services(const char *password = "secret", bool tls = false) : password_(password)
    {
        EXPECT_EQ(usbip_init(), 0);
        usbip_server_set_guess_budget(kBudgetBurst, kBudgetRefillMs);
        usbip_relay_set_guess_budget(kBudgetBurst, kBudgetRefillMs);
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int p = free_port();
            if (usbip_server_start(p, password, tls ? 1 : 0) == 0) port_ = p;
        }
        EXPECT_NE(port_, 0) << usbip_last_error();
        tls_ = tls;
    }
    ~Services()
    {
        usbip_server_stop();
        relay_.reset();
        usbip_cleanup();
    }
    void add_relay()
    {
        relay_ = std::make_unique<LibraryRelay>();
        const char *code = usbip_server_register_relay("127.0.0.1", relay_->port(), nullptr);
        EXPECT_NE(code, nullptr) << usbip_last_error();
        if (code) code_ = code;
    }
    const char *list() { return usbip_client_list_remote("127.0.0.1", port_, password_, tls_ ? 1 : 0); }
    const char *list_by_code()
    {
        return usbip_client_list_by_code("127.0.0.1", relay_->port(), code_.c_str(), password_);
    }
    int port() const { return port_; }
    int relay_port() const { return relay_->port(); }
    const std::string &code() const { return code_; }

private:
    const char *password_;
    bool tls_ = false;
    int port_ = 0;
    std::unique_ptr<LibraryRelay> relay_;
    std::string code_;
};

// One wrong password from `from`, directly: answered (the server checked it),
// or refused (closed before or instead of an answer).
void guess_password(const std::string &from, int port, Tally &tally)
{
    int fd = raw_connect_from(from.c_str(), port, 2000);
    if (fd < 0) return;
    char greeting[36], proof[32] = {1}, result[4];
    bool answered = raw_recv(fd, greeting, sizeof greeting) && raw_send(fd, proof, sizeof proof) &&
                    raw_recv(fd, result, sizeof result);
    (answered ? tally.answered : tally.refused)++;
    close_now(fd);
}

}  // namespace

// Wrong passwords round robin from 4,200 addresses, more than the server's
// table of guessers holds: answered only as the budget allows.
TEST(ManyAttackers, WrongPasswordsRoundRobin)
{
    ASSERT_TRUE(enough_descriptors(4096));
    Services services;
    ASSERT_STREQ(services.list(), "[]");
    auto t0 = Clock::now();
    Attack attack(8, 4200, [&](int i, Tally &t) { guess_password(attacker(i), services.port(), t); });
    Served served = serve_legitimately([&] { return services.list(); });
    attack.stop();
    expect_guesses_bounded("passwords", attack, served, seconds_since(t0));
}

// Wrong codes round robin from 4,200 addresses against the relay.
TEST(ManyAttackers, WrongCodesRoundRobin)
{
    ASSERT_TRUE(enough_descriptors(4096));
    Services services;
    services.add_relay();
    ASSERT_STREQ(services.list_by_code(), "[]");
    auto t0 = Clock::now();
    Attack attack(8, 4200, [&](int i, Tally &t) {
        thread_local std::mt19937 rng(static_cast<unsigned>(i));
        std::string code;
        for (int k = 0; k < 6; ++k) code += USBIP_RELAY_CHARSET[rng() % 32];
        int fd = raw_connect_from(attacker(i).c_str(), services.relay_port(), 2000);
        if (fd < 0) return;
        raw_send(fd, "CONNECT " + code + "\n");
        std::string answer = raw_recv_line(fd);
        (answer == "ERROR Code not found\n" ? t.answered : t.refused)++;
        close_now(fd);
    });
    Served served = serve_legitimately([&] { return services.list_by_code(); });
    attack.stop();
    expect_guesses_bounded("codes", attack, served, seconds_since(t0));
}

// Passwords guessed through the relay, from 4,200 addresses with the right
// code: the server counts each client by the address the relay reports, and
// all of them against its budget.
TEST(ManyAttackers, PasswordsThroughTheRelay)
{
    ASSERT_TRUE(enough_descriptors(4096));
    Services services;
    services.add_relay();
    ASSERT_STREQ(services.list_by_code(), "[]");
    auto t0 = Clock::now();
    Attack attack(8, 4200, [&](int i, Tally &t) {
        int fd = raw_connect_from(attacker(i).c_str(), services.relay_port(), 2000);
        if (fd < 0) return;
        char greeting[36], proof[32] = {1}, result[4];
        bool answered = raw_send(fd, "CONNECT " + services.code() + "\n") && raw_recv_line(fd) == "OK\n" &&
                        raw_recv(fd, greeting, sizeof greeting) && raw_send(fd, proof, sizeof proof) &&
                        raw_recv(fd, result, sizeof result);
        (answered ? t.answered : t.refused)++;
        close_now(fd);
    });
    Served served = serve_legitimately([&] { return services.list_by_code(); });
    attack.stop();
    expect_guesses_bounded("passwords through the relay", attack, served, seconds_since(t0));
}

// 8 addresses x 160 idle connections against a server that may hold 1,024
// descriptors (systemd's default soft limit, here also the hard one): the
// waiting room is sized to what the process can hold, a full room pushes
// out the heaviest address's oldest, and running out of descriptors never
// costs the connection just accepted.
TEST(ManyAttackers, IdleConnectionsAtAThousandDescriptors)
{
    ASSERT_TRUE(enough_descriptors(4096));
    ASSERT_EQ(usbip_init(), 0);
    int port = free_port();
    ChildProcess server({"/bin/sh", "-c", "ulimit -n 1024 && exec \"$0\" serve --port \"$1\" --password pw", CLI_PATH,
                         std::to_string(port)});
    ASSERT_NE(server.wait_for("Serving .* on port"), "");
    ASSERT_STREQ(usbip_client_list_remote("127.0.0.1", port, "pw", 0), "[]") << usbip_last_error();
    std::vector<Fd> idle;
    for (int i = 0; i < 8 * 160; ++i) idle.emplace_back(raw_connect_from(attacker(i % 8).c_str(), port, 2000));
    std::atomic<bool> attacking{true};
    // The idle connections that the server pushes out come back.
    std::thread reopen([&] {
        while (attacking) {
            for (std::size_t i = 0; i < idle.size() && attacking; ++i) {
                char b[64];
                if (raw_recv_some(idle[i], b, sizeof b, 0) == 0)
                    idle[i] = Fd(raw_connect_from(attacker(static_cast<int>(i % 8)).c_str(), port, 2000));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    Served served = serve_legitimately([&] { return usbip_client_list_remote("127.0.0.1", port, "pw", 0); });
    attacking = false;
    reopen.join();
    std::printf("idle connections at 1,024 descriptors: legitimate: %s\n", summary(served).c_str());
    EXPECT_GE(served.within_2s, 4) << summary(served);
    usbip_cleanup();
}

namespace {

// A "server" of the attacker's: `count` registrations from `from` whose
// dispatches it attaches (then stays silent) or ignores.
class RogueServer {
public:
    RogueServer(int relay_port, const std::string &from, int count, bool attach) : port_(relay_port), from_(from)
    {
        for (int i = 0; i < count; ++i) {
            Fd control(raw_connect_from(from.c_str(), relay_port, 2000));
            raw_send(control, "REGISTER \n");
            std::string reply = raw_recv_line(control);
            EXPECT_EQ(reply.rfind("CODE ", 0), 0u) << reply;
            if (reply.size() == 12) codes.push_back(reply.substr(5, 6));
            controls_.push_back(std::move(control));
        }
        if (attach) thread_ = std::thread([this] { attach_all(); });
    }
    ~RogueServer()
    {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> codes;

private:
    void attach_all()
    {
        std::regex dispatch("DISPATCH (\\S+).*\n");
        while (running_) {
            for (auto &control : controls_) {
                char buf[4096];
                long n = raw_recv_some(control, buf, sizeof buf, 0);
                if (n <= 0) continue;
                pending_.append(buf, static_cast<std::size_t>(n));
                for (std::size_t nl; (nl = pending_.find('\n')) != std::string::npos; pending_.erase(0, nl + 1)) {
                    std::smatch m;
                    std::string line = pending_.substr(0, nl + 1);
                    if (!std::regex_match(line, m, dispatch)) continue;
                    Fd data(raw_connect_from(from_.c_str(), port_, 2000));
                    raw_send(data, "ATTACH " + m[1].str() + "\n");
                    attached_.push_back(std::move(data));  // and silent from now on
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    int port_;
    std::string from_;
    std::vector<Fd> controls_, attached_;
    std::string pending_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Keeps up to `each` connections per address that sent CONNECT for one of
// `codes`, opening new ones for those the relay answered with an ERROR; the
// ones answered OK (bridged) stay, silent.
class Connectors {
public:
    Connectors(int relay_port, int addresses, int each, const std::vector<std::string> &codes)
    {
        for (int a = 0; a < addresses; ++a)
            threads_.emplace_back([=] {
                std::vector<Fd> held;
                std::vector<bool> bridged;
                for (int round = 0; running_; ++round) {
                    for (std::size_t i = 0; i < held.size(); ++i) {
                        if (bridged[i]) continue;
                        char buf[64];
                        long n = raw_recv_some(held[i], buf, sizeof buf, 0);
                        if (n > 0 && buf[0] == 'O') {
                            bridged[i] = true;
                            ++bridges;
                        } else if (n >= 0) {
                            held[i] = Fd(-1);  // refused or closed: made again below
                        }
                    }
                    for (std::size_t i = 0; i < held.size(); ++i)
                        if (held[i] < 0) {
                            held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
                            bridged.erase(bridged.begin() + static_cast<std::ptrdiff_t>(i));
                            --i;
                        }
                    while (static_cast<int>(held.size()) < each && running_) {
                        held.emplace_back(raw_connect_from(attacker(100 + a).c_str(), relay_port, 2000));
                        raw_send(held.back(), "CONNECT " + codes[(held.size() + a) % codes.size()] + "\n");
                        bridged.push_back(false);
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            });
    }
    ~Connectors()
    {
        running_ = false;
        for (auto &t : threads_) t.join();
    }
    std::atomic<int> bridges{0};

private:
    std::atomic<bool> running_{true};
    std::vector<std::thread> threads_;
};

}  // namespace

// 16 addresses x 32 bridges through the attacker's own registrations, all
// silent: no handful of addresses can take every relay thread, so the
// legitimate client's pairing finds one.
TEST(ManyAttackers, SilentBridgesThroughTheirOwnRegistrations)
{
    ASSERT_TRUE(enough_descriptors(8192));
    Services services(nullptr);
    services.add_relay();
    ASSERT_STREQ(services.list_by_code(), "[]");
    int threads_before = process_thread_count();
    RogueServer rogue(services.relay_port(), attacker(1), 16, /*attach=*/true);
    Connectors clients(services.relay_port(), 16, 32, rogue.codes);
    // Let the bridges build up.
    wait_until([&] { return clients.bridges >= 400; }, 4000);
    Served served = serve_legitimately([&] { return services.list_by_code(); });
    int threads = process_thread_count() - threads_before;
    std::printf("silent bridges: %d bridges, %d threads more; legitimate: %s\n", clients.bridges.load(), threads,
                summary(served).c_str());
    EXPECT_GE(served.within_2s, 4) << summary(served);
    EXPECT_GT(clients.bridges, 100) << "the attack ran";
    // The attackers' threads here and the relay's bridges: below the relay's
    // 512 with room for others.
    EXPECT_LT(clients.bridges, 500);
}

// 4 addresses x 16 registrations fill the relay's table: a new server still
// registers, in the place of a heavier address's oldest; with a
// registration key, the attackers do not register at all.
TEST(ManyAttackers, RegistrationsFromAFewAddresses)
{
    Services services(nullptr);
    LibraryRelay relay;
    std::vector<std::unique_ptr<RogueServer>> rogues;
    for (int a = 0; a < 4; ++a)
        rogues.push_back(std::make_unique<RogueServer>(relay.port(), attacker(a), 16, /*attach=*/false));
    const char *code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
    ASSERT_NE(code, nullptr) << usbip_last_error();
    std::string mine = code;
    Served served = serve_legitimately(
        [&] { return usbip_client_list_by_code("127.0.0.1", relay.port(), mine.c_str(), nullptr); }, 2.0);
    EXPECT_GE(served.within_2s, 4) << summary(served);

    // With a key: the attackers' registrations are refused, the server's not.
    ASSERT_EQ(usbip_relay_set_registration_key("the-relays-own-key"), 0);
    Fd rogue(raw_connect_from(attacker(5).c_str(), relay.port(), 2000));
    raw_send(rogue, "REGISTER \n");
    EXPECT_EQ(raw_recv_line(rogue), "ERROR Registration refused\n");
    ASSERT_EQ(usbip_server_set_registration_key("the-relays-own-key"), 0);
    code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
    ASSERT_NE(code, nullptr) << usbip_last_error();
    mine = code;
    EXPECT_STREQ(usbip_client_list_by_code("127.0.0.1", relay.port(), mine.c_str(), nullptr), "[]");
    usbip_relay_set_registration_key(nullptr);
    usbip_server_set_registration_key(nullptr);
}

// One address registers 16 servers that never attach, two more keep 32
// CONNECTs each waiting for them: the pairing table is full all the time,
// and the legitimate client takes the place of a heavier address's pairing.
TEST(ManyAttackers, WaitingPairingsForSilentServers)
{
    ASSERT_TRUE(enough_descriptors(4096));
    Services services(nullptr);
    services.add_relay();
    ASSERT_STREQ(services.list_by_code(), "[]");
    RogueServer rogue(services.relay_port(), attacker(1), 16, /*attach=*/false);
    Connectors clients(services.relay_port(), 2, 32, rogue.codes);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the table fills
    Served served = serve_legitimately([&] { return services.list_by_code(); });
    std::printf("waiting pairings: legitimate: %s\n", summary(served).c_str());
    EXPECT_GE(served.within_2s, 4) << summary(served);
}

// 16 addresses x 32 connections that send 31 of the 32 bytes of a proof and
// then nothing: they cannot hold every thread the legitimate client needs.
TEST(ManyAttackers, PartialHandshakes)
{
    ASSERT_TRUE(enough_descriptors(4096));
    Services services;
    ASSERT_STREQ(services.list(), "[]");
    std::atomic<bool> attacking{true};
    std::atomic<int> held_at_once{0};
    std::vector<std::thread> attackers;
    for (int a = 0; a < 16; ++a)
        attackers.emplace_back([&, a] {
            std::vector<Fd> held;
            while (attacking) {
                for (auto &fd : held) {
                    char b;
                    if (raw_recv_some(fd, &b, 1, 0) == 0) fd = Fd(-1);
                }
                held.erase(std::remove_if(held.begin(), held.end(), [](const Fd &fd) { return fd < 0; }), held.end());
                while (held.size() < 32 && attacking) {
                    Fd fd(raw_connect_from(attacker(a).c_str(), services.port(), 2000));
                    char greeting[36], proof[31] = {1};
                    if (raw_recv(fd, greeting, sizeof greeting) && raw_send(fd, proof, sizeof proof))
                        held.push_back(std::move(fd));
                    else
                        break;
                }
                held_at_once = std::max<int>(held_at_once, static_cast<int>(held.size()));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Served served = serve_legitimately([&] { return services.list(); });
    attacking = false;
    for (auto &t : attackers) t.join();
    std::printf("partial handshakes: legitimate: %s\n", summary(served).c_str());
    EXPECT_GE(served.within_2s, 4) << summary(served);
}

// Full TLS handshakes at full speed from one address: its handshakes come
// at its own rate, and a TLS client that proved the password is not slowed.
TEST(ManyAttackers, TlsHandshakesFromOneAddress)
{
    Services services("secret", /*tls=*/true);
    ASSERT_STREQ(services.list(), "[]") << usbip_last_error();
    std::atomic<bool> attacking{true};
    std::atomic<int> handshakes{0}, refused{0};
    std::vector<std::thread> attackers;
    auto t0 = Clock::now();
    for (int t = 0; t < 4; ++t)
        attackers.emplace_back([&] {
            while (attacking) {
                usbip_conn conn(raw_connect_from(attacker(7).c_str(), services.port(), 2000));
                if (conn.fd < 0) continue;
                conn.deadline_ms = plat::monotonic_ms() + 2000;
                (usbip_tls_wrap_client(&conn) == 0 ? handshakes : refused)++;
            }
        });
    Served served = serve_legitimately([&] { return services.list(); });
    attacking = false;
    for (auto &t : attackers) t.join();
    double spent = seconds_since(t0);
    std::printf("TLS handshakes: %d done, %d refused in %.1f s; legitimate: %s\n", handshakes.load(), refused.load(),
                spent, summary(served).c_str());
    EXPECT_GE(served.within_2s, 4) << summary(served);
    // 10 at once, then 5 a second.
    EXPECT_LE(handshakes, 10 + static_cast<int>(spent * 5) + 3);
    EXPECT_GT(refused, 20) << "the attack ran";
}
