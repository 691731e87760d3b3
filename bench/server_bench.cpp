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

// What events cost a server: rounds of plain listings with a host thread
// that reads every event as it comes, and rounds with nobody reading (the
// queue fills, then counts what it drops), in turn in one run. The ratio is
// the listing rate with a reader to the rate without. Arg 1 is the reader:
// 0 waits for each event (woken by every one), 1 takes what has come every
// 100 ms, as a host's user interface on a timer would. The order changes
// every round, so that neither side always follows the other.
void BM_EventsCost(benchmark::State &state)
{
    constexpr int kPerRound = 300;
    const bool polling = state.range(1) != 0;
    std::vector<double> with_reader, without;
    auto round = [&] {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kPerRound; ++i)
            if (usbip_client_list_remote("127.0.0.1", g_port, nullptr, 0) == nullptr) return 0.0;
        return kPerRound / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    bool reader_first = true;
    for (auto _ : state) {
        if (!reader_first) without.push_back(round());
        while (usbip_next_event(0) != nullptr) {
        }
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            while (reading) {
                if (!polling) {
                    usbip_next_event(50);
                    continue;
                }
                while (usbip_next_event(0) != nullptr) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        with_reader.push_back(round());
        reading = false;
        reader.join();
        if (reader_first) without.push_back(round());
        reader_first = !reader_first;
        if (with_reader.back() == 0 || without.back() == 0) {
            state.SkipWithError(usbip_last_error());
            return;
        }
        while (usbip_next_event(0) != nullptr) {
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    state.counters["with_reader_per_s"] = median(with_reader);
    state.counters["no_reader_per_s"] = median(without);
    state.counters["ratio"] = median(with_reader) / median(without);
    state.SetLabel(polling ? "reader every 100 ms" : "reader woken by each event");
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

BENCHMARK(BM_EventsCost)
    ->Args({kLibrary, 0})
    ->Args({kLibrary, 1})
    ->Setup(setup)
    ->Teardown(teardown)
    ->Iterations(9)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
