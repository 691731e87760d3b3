// Direct list requests against the library's server with 1, 8 and 64
// concurrent clients, each request a fresh connection, handshake and device
// list of 4 shared devices; plain and TLS. A bare thread-per-connection
// server that sends the same bytes (plain, or through Mbed TLS alone with
// the same key size and groups) runs in the same binary as the baseline.
//
// Run under emulated devices so that 4 devices can be shared:
//   umockdev-run --device tests/data/demo.umockdev -- build/bench/server_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"
#include "usbip_device.h"
#include "usbip_enum.h"
#include "usbip_protocol.h"

namespace {

enum Mode { kLibrary = 0, kBare = 1, kLibraryTls = 2, kBareTls = 3 };

int g_port = 0;
std::string g_reply;                      // the OP_REP_DEVLIST of the shared devices
std::unique_ptr<BenchServer> g_bare;      // baseline servers
std::unique_ptr<BareTls> g_bare_tls;

// The server's half of one exchange, without the library.
void bare_exchange(BenchIo &io)
{
    std::uint8_t hello[36] = {};
    std::uint8_t reply[4], request[8];
    static const std::uint8_t accepted[4] = {0, 0, 0, 0};
    if (io.send(hello, sizeof hello) && io.recv(reply, 4) && io.send(accepted, 4) && io.recv(request, 8))
        io.send(g_reply.data(), g_reply.size());
}

void setup(const benchmark::State &state)
{
    usbip_init();
    auto local = nlohmann::json::parse(usbip_list_local_devices());
    int shared = 0;
    for (const auto &d : local)
        if (shared < 4 && usbip_server_share(d["busid"].get<std::string>().c_str()) == 0) ++shared;
    // What every server sends: the same 4 devices.
    std::vector<usbip_device> devs(static_cast<std::size_t>(shared));
    int i = 0;
    for (const auto &d : nlohmann::json::parse(usbip_server_list_shared()))
        usbip_enum_find_by_busid(d["busid"].get<std::string>().c_str(), &devs[static_cast<std::size_t>(i++)]);
    g_reply.clear();
    usbip_encode_devlist_reply(g_reply, devs.data(), shared);

    switch (state.range(0)) {
    case kLibrary:
    case kLibraryTls:
        g_port = bench_free_port();
        usbip_server_start(g_port, nullptr, state.range(0) == kLibraryTls);
        break;
    case kBare:
        g_bare = std::make_unique<BenchServer>([](plat::socket_t fd) {
            PlainIo io(fd);
            bare_exchange(io);
        }, /*thread_per_connection=*/true);
        g_port = g_bare->port();
        break;
    case kBareTls:
        g_bare_tls = std::make_unique<BareTls>();
        g_bare = std::make_unique<BenchServer>([](plat::socket_t fd) { g_bare_tls->serve(fd, bare_exchange); },
                                               /*thread_per_connection=*/true);
        g_port = g_bare->port();
        break;
    }
}

void teardown(const benchmark::State &)
{
    usbip_server_stop();
    g_bare.reset();
    g_bare_tls.reset();
    usbip_cleanup();
}

void BM_ListRemote(benchmark::State &state)
{
    const int tls = state.range(0) == kLibraryTls || state.range(0) == kBareTls;
    std::vector<double> latency_us;
    latency_us.reserve(100000);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        const char *json = usbip_client_list_remote("127.0.0.1", g_port, nullptr, tls);
        latency_us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        if (json == nullptr) {
            state.SkipWithError(usbip_last_error());
            break;
        }
    }
    std::sort(latency_us.begin(), latency_us.end());
    auto pct = [&](double p) {
        return latency_us.empty() ? 0.0 : latency_us[static_cast<std::size_t>(p * (latency_us.size() - 1))];
    };
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["p50_us"] = benchmark::Counter(pct(0.50), benchmark::Counter::kAvgThreads);
    state.counters["p99_us"] = benchmark::Counter(pct(0.99), benchmark::Counter::kAvgThreads);
    state.SetLabel(state.range(0) == kLibrary ? "library" : state.range(0) == kBare ? "bare"
                   : state.range(0) == kLibraryTls ? "library+tls" : "bare+tls");
}

}  // namespace

BENCHMARK(BM_ListRemote)
    ->ArgName("server")
    ->DenseRange(kLibrary, kBareTls)
    ->Threads(1)
    ->Threads(8)
    ->Threads(64)
    ->Setup(setup)
    ->Teardown(teardown)
    ->UseRealTime()
    ->MinTime(1.5)
    ->Repetitions(3)  // the machine's speed drifts: compare medians
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
