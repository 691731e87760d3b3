// The relay path: bridge throughput through the library's relay against
// socat as a plain TCP relay and a direct loopback connection, and the
// latency of a device list by pairing code against a direct one.
//
// The paths being compared are measured interleaved, round by round, so
// that load from anything else on the machine falls on all of them alike;
// the figures are medians over the rounds.
//
// The server shares no devices (sharing needs USB devices, emulated or
// real), so both lists are empty: the figures are the cost of the path, not
// of encoding devices. Every pairing comes from one address with one code,
// thousands of times: the relay's limit on that (30, then one a second) is
// raised for the benchmark.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"
#include "usbip_relay.h"

namespace {

using Clock = std::chrono::steady_clock;

void set_timeouts(int fd)
{
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int connect_loopback(int port, int attempts = 1)
{
    for (int i = 0; i < attempts; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            set_timeouts(fd);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

std::string read_line(int fd)
{
    std::string line;
    char c;
    while (line.size() < 512 && recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
}

void send_text(int fd, const std::string &s) { send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The receiving end of a path: a loopback listener whose accepted
// connections are taken one at a time.
class Sink {
public:
    Sink()
        : server_([this](plat::socket_t fd) {
              set_timeouts(static_cast<int>(fd));
              accepted_.store(static_cast<int>(fd));
          })
    {
    }
    int port() const { return server_.port(); }
    // The connection accepted since the last take, or -1 after 5 s.
    int take()
    {
        for (int i = 0; i < 500; ++i) {
            int fd = accepted_.exchange(-1);
            if (fd >= 0) return fd;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    std::atomic<int> accepted_{-1};
    BenchServer server_;
};

// socat as a plain TCP relay from a listener of its own to `target_port`.
class Socat {
public:
    explicit Socat(int target_port) : port_(bench_free_port())
    {
        std::string listen = "TCP-LISTEN:" + std::to_string(port_) + ",reuseaddr,fork";
        std::string target = "TCP:127.0.0.1:" + std::to_string(target_port);
        pid_ = fork();
        if (pid_ == 0) {
            execlp("socat", "socat", "-b16384", listen.c_str(), target.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Socat()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }

private:
    int port_;
    pid_t pid_ = -1;
};

// The library's relay on a port of its own.
class Relay {
public:
    // Port 0, the system's choice: a port found free a moment ago may still
    // hold connections in TIME_WAIT from a benchmark before.
    Relay()
    {
        ok_ = usbip_relay_start(0) == 0;
        port_ = ok_ ? usbip_relay_port() : -1;
    }
    ~Relay() { usbip_relay_stop(); }
    int port() const { return port_; }
    bool ok() const { return ok_; }

private:
    int port_ = -1;
    bool ok_ = false;
};

// Two ends of a path; bytes written to one come out of the other.
struct Path {
    int a = -1, b = -1;
    int control = -1;  // the relay registration the path needs kept open
    Path() = default;
    Path(const Path &) = delete;
    Path &operator=(const Path &) = delete;
    ~Path()
    {
        for (int fd : {a, b, control})
            if (fd >= 0) close(fd);
    }
    bool ok() const { return a >= 0 && b >= 0; }
};

void direct_path(Sink &sink, Path &p)
{
    p.a = connect_loopback(sink.port());
    p.b = p.a >= 0 ? sink.take() : -1;
}

void socat_path(Sink &sink, const Socat &socat, Path &p)
{
    p.a = connect_loopback(socat.port(), 100);  // socat needs a moment to listen
    p.b = p.a >= 0 ? sink.take() : -1;
}

// A raw server registers, a raw client connects by code, the server attaches.
void relay_path(const Relay &relay, Path &p)
{
    p.control = connect_loopback(relay.port());
    send_text(p.control, "REGISTER\n");
    std::string code = read_line(p.control).substr(5);
    p.a = connect_loopback(relay.port());
    send_text(p.a, "CONNECT " + code + "\n");
    std::string ticket = read_line(p.control).substr(9);
    p.b = connect_loopback(relay.port());
    send_text(p.b, "ATTACH " + ticket + "\n");
    if (read_line(p.a) != "OK") {
        close(p.a);
        p.a = -1;
    }
}

// The same two ends reached three ways: directly, through socat, and
// through the library's relay.
struct ThreePaths {
    Relay relay;
    Sink sink;
    Socat socat{sink.port()};
    Path direct, through_socat, through_relay;

    ThreePaths()
    {
        direct_path(sink, direct);
        socat_path(sink, socat, through_socat);
        if (relay.ok()) relay_path(relay, through_relay);
    }
    bool ok() const { return direct.ok() && through_socat.ok() && through_relay.ok(); }
};

// ---------------------------------------------------------------------------
// Bridge throughput

constexpr std::size_t kBytesPerRound = 32u << 20;  // 8 rounds: 256 MB a path

void send_bytes(int fd, std::size_t total, bool *ok)
{
    static const std::vector<char> block(65536, 'x');
    *ok = true;
    while (total > 0 && *ok) {
        ssize_t n = send(fd, block.data(), std::min(total, block.size()), MSG_NOSIGNAL);
        if (n <= 0)
            *ok = false;
        else
            total -= static_cast<std::size_t>(n);
    }
}

void recv_bytes(int fd, std::size_t total, bool *ok)
{
    std::vector<char> buf(65536);
    *ok = true;
    while (total > 0 && *ok) {
        ssize_t n = recv(fd, buf.data(), std::min(total, buf.size()), 0);
        if (n <= 0)
            *ok = false;
        else
            total -= static_cast<std::size_t>(n);
    }
}

// MB/s of one round: kBytesPerRound from a to b, and as much from b to a at
// the same time when `both`. 0 when the transfer failed.
double transfer(const Path &p, bool both)
{
    auto t0 = Clock::now();
    bool s1 = true, r1 = true, s2 = true, r2 = true;
    std::thread sender(send_bytes, p.a, kBytesPerRound, &s1);
    std::thread back_sender, back_receiver;
    if (both) {
        back_sender = std::thread(send_bytes, p.b, kBytesPerRound, &s2);
        back_receiver = std::thread(recv_bytes, p.a, kBytesPerRound, &r2);
    }
    recv_bytes(p.b, kBytesPerRound, &r1);
    sender.join();
    if (both) {
        back_sender.join();
        back_receiver.join();
    }
    if (!(s1 && r1 && s2 && r2)) return 0;
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return double(kBytesPerRound) * (both ? 2 : 1) / seconds / 1e6;
}

// Arg 0: one way; arg 1: both ways at once. Each iteration is one round of
// all three paths, in turn.
void BM_BridgeThroughput(benchmark::State &state)
{
    bool both = state.range(0) != 0;
    ThreePaths paths;
    if (!paths.ok()) {
        state.SkipWithError("a path could not be set up (is socat installed?)");
        return;
    }
    std::vector<double> d, s, r;
    for (auto _ : state) {
        d.push_back(transfer(paths.direct, both));
        s.push_back(transfer(paths.through_socat, both));
        r.push_back(transfer(paths.through_relay, both));
        if (d.back() == 0 || s.back() == 0 || r.back() == 0) {
            state.SkipWithError("transfer failed");
            return;
        }
    }
    double md = median(d), ms = median(s), mr = median(r);
    state.counters["direct_MBps"] = md;
    state.counters["socat_MBps"] = ms;
    state.counters["relay_MBps"] = mr;
    state.counters["relay/socat"] = mr / ms;
    state.counters["relay/direct"] = mr / md;
}
BENCHMARK(BM_BridgeThroughput)->Arg(0)->Arg(1)->Iterations(8)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Where a list by code spends its time: a pairing with raw peers (no server
// or client of the library), and a small message's round trip through each
// path. The direct round trip runs both ends on one thread, with no wake-up
// in between; the relays add one hop each way.

void BM_RelayPairing(benchmark::State &state)
{
    Relay relay;
    if (!relay.ok()) {
        state.SkipWithError(usbip_last_error());
        return;
    }
    int control = connect_loopback(relay.port());
    send_text(control, "REGISTER\n");
    std::string code = read_line(control).substr(5);
    std::vector<double> us;
    for (auto _ : state) {
        auto t0 = Clock::now();
        int client = connect_loopback(relay.port());
        send_text(client, "CONNECT " + code + "\n");
        std::string ticket = read_line(control).substr(9);
        int server = connect_loopback(relay.port());
        send_text(server, "ATTACH " + ticket + "\n");
        bool ok = read_line(client) == "OK";
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        close(client);
        close(server);
        if (!ok) {
            state.SkipWithError("pairing failed");
            break;
        }
    }
    state.counters["median_us"] = median(us);
    close(control);
}
BENCHMARK(BM_RelayPairing)->Iterations(500)->UseRealTime()->Unit(benchmark::kMicrosecond);

// 36 bytes one way, 4 back: the size of the handshake's first exchange.
double round_trip_us(const Path &p)
{
    char buf[64] = {};
    auto t0 = Clock::now();
    if (send(p.a, buf, 36, 0) != 36 || recv(p.b, buf, 36, MSG_WAITALL) != 36 || send(p.b, buf, 4, 0) != 4 ||
        recv(p.a, buf, 4, MSG_WAITALL) != 4)
        return -1;
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

void BM_RoundTrip(benchmark::State &state)
{
    ThreePaths paths;
    if (!paths.ok()) {
        state.SkipWithError("a path could not be set up (is socat installed?)");
        return;
    }
    std::vector<double> d, s, r;
    for (auto _ : state) {
        d.push_back(round_trip_us(paths.direct));
        s.push_back(round_trip_us(paths.through_socat));
        r.push_back(round_trip_us(paths.through_relay));
        if (d.back() < 0 || s.back() < 0 || r.back() < 0) {
            state.SkipWithError("round trip failed");
            return;
        }
    }
    state.counters["direct_us"] = median(d);
    state.counters["socat_us"] = median(s);
    state.counters["relay_us"] = median(r);
    state.counters["relay/socat"] = median(r) / median(s);
}
BENCHMARK(BM_RoundTrip)->Iterations(5000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Device list latency: by code through the relay against direct, one call
// of each per iteration, against the same server.

void BM_ListLatency(benchmark::State &state)
{
    usbip_init();
    Relay relay;
    int server_port = bench_free_port();
    if (!relay.ok() || usbip_server_start(server_port, nullptr, 0) != 0) {
        state.SkipWithError(usbip_last_error());
        return;
    }
    const char *registered = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
    std::string code = registered ? registered : "";
    std::vector<double> direct, by_code;
    for (auto _ : state) {
        if (code.empty()) {
            state.SkipWithError(usbip_last_error());
            break;
        }
        auto t0 = Clock::now();
        const char *a = usbip_client_list_remote("127.0.0.1", server_port, nullptr, 0);
        auto t1 = Clock::now();
        const char *b = a ? usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), nullptr) : nullptr;
        auto t2 = Clock::now();
        if (b == nullptr) {
            state.SkipWithError(usbip_last_error());
            break;
        }
        direct.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        by_code.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    usbip_server_stop();
    state.counters["direct_us"] = median(direct);
    state.counters["by_code_us"] = median(by_code);
    if (!direct.empty()) state.counters["by_code/direct"] = median(by_code) / median(direct);
}
BENCHMARK(BM_ListLatency)->Iterations(500)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv)
{
    usbip_relay_set_pairing_limit(1 << 30, 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
