// What the secure password exchange costs against today's handshake (the
// older proof), as a client of the library's server sees it: the handshake
// alone, plain and inside TLS, and a whole device list by code through the
// library's relay. The older handshake is spoken byte for byte as today's
// clients speak it, against the same server (which accepts both).
//
// Each benchmark measures every handshake or list on its own and reports
// the median (and the 90th percentile) over its iterations; the two
// exchanges alternate, iteration by iteration, so that load from anything
// else on the machine falls on both alike. A secure handshake outside TLS
// includes the TLS-PSK session it keys, since nothing can be sent before
// it; inside TLS the TLS handshake is measured in both.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"
#include "usbip_auth.h"
#include "usbip_bytes.h"
#include "usbip_client.h"
#include "usbip_conn.h"
#include "usbip_line_io.h"
#include "usbip_protocol.h"
#include "usbip_relay.h"
#include "usbip_secure_auth.h"
#include "usbip_tls.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kPassword = "correct horse battery staple";
constexpr int kRuns = 40;  // per exchange and benchmark

double quantile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Today's client, byte for byte: the older proof for the challenge.
bool older_handshake(usbip_conn &c)
{
    std::uint8_t greeting[USBIP_GREETING_SIZE], proof[USBIP_DIGEST_SIZE], result[4];
    return usbip_conn_recv_all(&c, greeting, sizeof greeting) == 0 &&
        usbip_auth_proof(greeting + 4, kPassword, proof) == 0 &&
        usbip_conn_send_all(&c, proof, sizeof proof) == 0 && usbip_conn_recv_all(&c, result, sizeof result) == 0 &&
        usbip_get_be32(result) == 0;
}

bool handshake(usbip_conn &c, bool secure)
{
    if (!secure) return older_handshake(c);
    // The library's client takes up the server's offer, and outside TLS
    // installs the session that the exchange keys.
    return usbip_auth_handshake_client(&c, kPassword) == 0;
}

// A server with the password for one benchmark; with TLS its certificate
// is made before the measurements.
class Server {
public:
    explicit Server(bool tls)
    {
        usbip_init();
        port_ = bench_start_on_free_port([tls](int p) { return usbip_server_start(p, kPassword, tls ? 1 : 0); });
    }
    ~Server()
    {
        usbip_server_stop();
        usbip_cleanup();
    }
    int port() const { return port_; }

private:
    int port_ = 0;
};

void report(benchmark::State &state, const char *name, const std::vector<double> &ms)
{
    state.counters[std::string(name) + "_median_ms"] = quantile(ms, 0.5);
    state.counters[std::string(name) + "_p90_ms"] = quantile(ms, 0.9);
}

// Arg: TLS (0 plain, 1 inside TLS). Each iteration: one handshake of each
// exchange, from the connect to the moment the client may send its request.
void BM_Handshake(benchmark::State &state)
{
    const bool tls = state.range(0) != 0;
    Server server(tls);
    if (server.port() == 0) {
        state.SkipWithError("the server did not start");
        return;
    }
    std::vector<double> older, secure;
    for (auto _ : state) {
        for (bool s : {false, true}) {
            const auto t0 = Clock::now();
            usbip_conn conn;
            bool ok = usbip_conn_connect_deadline(&conn, "127.0.0.1", server.port()) == 0 &&
                (!tls || usbip_tls_wrap_client(&conn) == 0) && handshake(conn, s) && conn.is_tls() == (s || tls);
            const double ms = ms_since(t0);
            if (!ok) {
                state.SkipWithError(usbip_last_error());
                return;
            }
            (s ? secure : older).push_back(ms);
        }
    }
    report(state, "today", older);
    report(state, "secure", secure);
    state.counters["secure/today"] = quantile(secure, 0.5) / quantile(older, 0.5);
}
BENCHMARK(BM_Handshake)->ArgName("tls")->Arg(0)->Arg(1)->Iterations(kRuns)->UseRealTime()->Unit(benchmark::kMillisecond);

// A device list by code through the library's relay, from the CONNECT line
// to the decoded reply: the secure exchange (the library's own call)
// against today's handshake. Every pairing comes from one address with one
// code: the relay's limit on that is raised.
void BM_ListByCode(benchmark::State &state)
{
    Server server(false);
    usbip_relay_set_pairing_limit(1 << 30, 1);
    const int relay = bench_start_on_free_port([](int p) { return usbip_relay_start(p); });
    const char *code = relay != 0 ? usbip_server_register_relay("127.0.0.1", relay, nullptr) : nullptr;
    if (server.port() == 0 || code == nullptr) {
        state.SkipWithError("the server or the relay did not start");
        return;
    }
    const std::string pairing = code;
    std::vector<double> older, secure;
    for (auto _ : state) {
        for (bool s : {false, true}) {
            const auto t0 = Clock::now();
            bool ok;
            if (s) {
                ok = usbip_client_list_by_code("127.0.0.1", relay, pairing.c_str(), kPassword) != nullptr;
            } else {
                usbip_conn conn;
                usbip_device devices[4];
                int stored = 0;
                ok = usbip_conn_connect_deadline(&conn, "127.0.0.1", relay) == 0 &&
                    usbip_client_pair_by_code(&conn, pairing.c_str()) == 0 && older_handshake(conn) &&
                    usbip_send_op_req_devlist(&conn) == 0 && usbip_recv_op_rep_devlist(&conn, devices, 4, &stored) == 0;
            }
            const double ms = ms_since(t0);
            if (!ok) {
                state.SkipWithError(usbip_last_error());
                break;
            }
            (s ? secure : older).push_back(ms);
        }
    }
    usbip_relay_stop();
    usbip_relay_set_pairing_limit(30, 1000);
    report(state, "today", older);
    report(state, "secure", secure);
    state.counters["secure/today"] = quantile(secure, 0.5) / quantile(older, 0.5);
}
BENCHMARK(BM_ListByCode)->Iterations(kRuns)->UseRealTime()->Unit(benchmark::kMillisecond);

// A raw byte stream through the library's relay, one way, end to end
// encrypted by the exchange's session against in clear after today's
// handshake: what the encryption costs where no device limits the rate
// (forward_bench measures it with the emulated device's traffic). A raw
// server registers, the client connects by code, the server attaches; both
// ends then run the library's handshake halves over the bridge.
struct RelayedPair {
    usbip_conn client, server;
    plat::Socket control;
};

bool relayed_pair(int relay, bool secure, RelayedPair *p)
{
    auto line = [](plat::socket_t fd) {
        char buf[256];
        return usbip_read_line(fd, buf, sizeof buf, 5000) > 0 ? std::string(buf) : std::string();
    };
    usbip_conn control;
    if (usbip_conn_connect_deadline(&control, "127.0.0.1", relay) != 0 || !usbip_send_line(control.fd, "REGISTER\n"))
        return false;
    std::string code = line(control.fd);
    if (code.rfind("CODE ", 0) != 0) return false;
    p->control.reset(control.release_socket());
    if (usbip_conn_connect_deadline(&p->client, "127.0.0.1", relay) != 0 ||
        !usbip_send_line(p->client.fd, "CONNECT " + code.substr(5) + "\n"))
        return false;
    std::string dispatch = line(p->control.get());
    if (dispatch.rfind("DISPATCH ", 0) != 0 || usbip_conn_connect_deadline(&p->server, "127.0.0.1", relay) != 0 ||
        !usbip_send_line(p->server.fd, "ATTACH " + dispatch.substr(9) + "\n") || line(p->client.fd).rfind("OK", 0) != 0)
        return false;
    bool server_ok = false;
    std::thread server([&] { server_ok = usbip_auth_handshake_server(&p->server, kPassword) == 0; });
    bool client_ok = handshake(p->client, secure);
    server.join();
    p->client.deadline_ms = p->server.deadline_ms = 0;
    return client_ok && server_ok && p->client.is_tls() == secure;
}

double stream(RelayedPair &p, std::size_t total)
{
    std::vector<std::uint8_t> block(std::size_t{1} << 16, 0x5a), sink(block.size());
    bool sent = true;
    const auto t0 = Clock::now();
    std::thread sender([&] {
        for (std::size_t left = total; left > 0 && sent;) {
            std::size_t n = std::min(left, block.size());
            sent = usbip_conn_send_all(&p.client, block.data(), n) == 0;
            left -= n;
        }
    });
    bool received = true;
    for (std::size_t left = total; left > 0 && received;) {
        std::size_t n = std::min(left, sink.size());
        received = usbip_conn_recv_all(&p.server, sink.data(), n) == 0;
        left -= n;
    }
    sender.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return sent && received ? static_cast<double>(total) / seconds / 1e6 : 0;
}

void BM_RelayedStream(benchmark::State &state)
{
    usbip_init();
    const int relay = bench_start_on_free_port([](int p) { return usbip_relay_start(p); });
    if (relay == 0) {
        state.SkipWithError("the relay did not start");
        return;
    }
    std::vector<double> clear, encrypted;
    for (auto _ : state) {
        for (bool s : {false, true}) {
            RelayedPair pair;
            double mbps = relayed_pair(relay, s, &pair) ? stream(pair, std::size_t{64} << 20) : 0;
            if (mbps == 0) {
                state.SkipWithError("a stream failed");
                break;
            }
            (s ? encrypted : clear).push_back(mbps);
        }
    }
    usbip_relay_stop();
    usbip_cleanup();
    state.counters["clear_MBps"] = quantile(clear, 0.5);
    state.counters["encrypted_MBps"] = quantile(encrypted, 0.5);
    state.counters["encrypted/clear"] = quantile(encrypted, 0.5) / quantile(clear, 0.5);
}
BENCHMARK(BM_RelayedStream)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// The exchange's computation alone, both ends on this thread without a
// connection: what it costs in CPU, free of the scheduling that the
// loopback handshakes above wait for on a busy machine. The server's
// password points are made once (as a server makes them); arg 1 makes the
// client's afresh every time too (a client that lists once).
void BM_ExchangeComputation(benchmark::State &state)
{
    auto rng = usbip_tls_rng();
    if (!rng) {
        state.SkipWithError("no random generator");
        return;
    }
    usbip_secure_context context;
    int n = 0;
    for (auto _ : state) {
        // A new password each round makes the client's points anew.
        std::string password = state.range(0) ? kPassword + std::to_string(n++) : kPassword;
        usbip_secure_client client(context);
        usbip_secure_server server(context);
        std::uint8_t open[USBIP_SECURE_OPEN_SIZE], share[USBIP_SPAKE2_SHARE_SIZE], confirm[USBIP_SPAKE2_CONFIRM_SIZE],
            accept[USBIP_SECURE_ACCEPT_SIZE], psk[USBIP_SESSION_PSK_SIZE];
        bool ok = client.open(password.c_str(), usbip_rng_random, rng.get(), open) &&
            server.answer(state.range(0) ? password.c_str() : kPassword, usbip_rng_random, rng.get(),
                          open + USBIP_MARKER_SIZE, share) &&
            client.confirm(share, confirm) && server.client_proved(confirm, accept) &&
            client.server_proved(accept + 4) && client.session_psk(psk) && server.session_psk(psk);
        if (!ok) {
            state.SkipWithError("the exchange failed");
            return;
        }
    }
}
BENCHMARK(BM_ExchangeComputation)->ArgName("fresh_points")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Today's computation for comparison: the client's proof and the server's
// check, two SHA-256 runs each.
void BM_ProofComputation(benchmark::State &state)
{
    std::uint8_t challenge[USBIP_CHALLENGE_SIZE] = {}, proof[USBIP_DIGEST_SIZE], expected[USBIP_DIGEST_SIZE];
    for (auto _ : state) {
        usbip_auth_proof(challenge, kPassword, proof);
        usbip_auth_proof(challenge, kPassword, expected);
        benchmark::DoNotOptimize(proof[0] ^ expected[0]);
    }
}
BENCHMARK(BM_ProofComputation)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
