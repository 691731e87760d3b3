// Guessing at full speed from one other loopback host (127.0.0.2 and up): wrong
// passwords against a server, wrong codes and wrong tickets against a
// relay, each for three seconds, while the host's own client lists from
// 127.0.0.1 every 200 ms (directly against the server, by code through the
// relay). Reported: the guesses answered per second (each a real try), the
// ones refused per second, and the host's list times; the same lists with
// nobody guessing are the baseline.
//
// Uses the public header only, so that it builds against any version of
// the library.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kAttackSeconds = 3.0;

enum Guess { kNobody = 0, kPasswords = 1, kCodes = 2, kTickets = 3 };

bool recv_exact(int fd, char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

std::string recv_line(int fd)
{
    std::string line;
    char c;
    while (line.size() < 128 && recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
}

// Closes with a reset, so that thousands of guesses a second leave no
// connections in TIME_WAIT to run the guesser out of ports.
void close_now(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

enum Outcome { kAnswered, kRefused, kNoConnection };

// One guess: answered (a real try), refused, or no connection at all.
Outcome guess(Guess kind, const char *from, int port, std::mt19937 &rng)
{
    int fd = bench_connect_from(from, port, 2);
    if (fd < 0) return kNoConnection;
    bool answered = false;
    if (kind == kPasswords) {
        char greeting[36], proof[32], result[4];
        for (char &b : proof) b = static_cast<char>(rng());
        answered = recv_exact(fd, greeting, sizeof greeting) && send(fd, proof, sizeof proof, MSG_NOSIGNAL) == 32 &&
                   recv_exact(fd, result, sizeof result);
    } else {
        static const char charset[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
        std::string line = kind == kCodes ? "CONNECT " : "ATTACH TK1000_";
        if (kind == kCodes)
            for (int i = 0; i < 6; ++i) line += charset[rng() % 32];
        else
            line += std::to_string(rng() % 9999);
        line += "\n";
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        std::string answer = recv_line(fd);
        answered = answer == "ERROR Code not found" || answer == "ERROR Invalid ticket";
    }
    close_now(fd);
    return answered ? kAnswered : kRefused;
}

void BM_Guessing(benchmark::State &state)
{
    const Guess kind = static_cast<Guess>(state.range(0));
    usbip_init();
    int port = bench_start_on_free_port([](int p) { return usbip_server_start(p, "secret", 0); });
    int relay_port = bench_start_on_free_port(usbip_relay_start);
    if (port == 0 || relay_port == 0) {
        state.SkipWithError(usbip_last_error());
        return;
    }
    const char *registered = usbip_server_register_relay("127.0.0.1", relay_port, nullptr);
    std::string code = registered ? registered : "";
    double answered = 0, refused = 0, unconnected = 0;
    std::vector<double> lists_ms;
    std::string failure;
    for (auto _ : state) {
        std::atomic<bool> guessing{kind != kNobody};
        std::atomic<long> counts[3] = {};
        std::thread guesser([&] {
            std::mt19937 rng(12345);
            // Each kind from a host of its own.
            const std::string from = "127.0.0." + std::to_string(1 + static_cast<int>(kind));
            while (guessing) counts[guess(kind, from.c_str(), kind == kPasswords ? port : relay_port, rng)]++;
        });
        auto t0 = Clock::now();
        while (std::chrono::duration<double>(Clock::now() - t0).count() < kAttackSeconds) {
            auto t = Clock::now();
            const char *json = kind == kPasswords || kind == kNobody
                                   ? usbip_client_list_remote("127.0.0.1", port, "secret", 0)
                                   : usbip_client_list_by_code("127.0.0.1", relay_port, code.c_str(), "secret");
            lists_ms.push_back(json ? std::chrono::duration<double, std::milli>(Clock::now() - t).count() : 1e6);
            if (json == nullptr && failure.empty()) failure = usbip_last_error();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        guessing = false;
        guesser.join();
        double spent = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(spent);
        answered += static_cast<double>(counts[kAnswered]) / spent;
        refused += static_cast<double>(counts[kRefused]) / spent;
        unconnected += static_cast<double>(counts[kNoConnection]) / spent;
    }
    double n = static_cast<double>(state.iterations());
    std::sort(lists_ms.begin(), lists_ms.end());
    state.counters["answered/s"] = answered / n;
    state.counters["refused/s"] = refused / n;
    state.counters["unconnected/s"] = unconnected / n;
    state.counters["host_p50_ms"] = lists_ms.empty() ? 0 : lists_ms[lists_ms.size() / 2];
    state.counters["host_max_ms"] = lists_ms.empty() ? 0 : lists_ms.back();
    state.SetLabel(std::string(kind == kNobody ? "nobody guessing" : kind == kPasswords ? "passwords" : kind == kCodes ? "codes" : "tickets") +
                   (failure.empty() ? "" : "; host failed: " + failure));
    usbip_server_stop();
    usbip_relay_stop();
    usbip_cleanup();
}

}  // namespace

BENCHMARK(BM_Guessing)
    ->ArgName("guess")
    ->DenseRange(kNobody, kTickets)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
