// Many idle connections: 2,000 connections from 80 other loopback hosts
// (127.0.x.y) that never say anything, opened as fast as one client can,
// against the library's server, the library's relay, and a bare
// thread-per-connection server written here (the baseline). Reported per
// target: the time to open all of them (the burst), the threads and the
// memory they cost the process, and how long the host's own list from
// 127.0.0.1 then takes.
//
// Uses the public header only, so that it builds against any version of
// the library.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kIdle = 2000;

enum Target { kServer = 0, kRelay = 1, kBare = 2 };

int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

double rss_mb()
{
    std::ifstream in("/proc/self/status");
    std::string key;
    double kb = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> kb;
            break;
        }
        in.ignore(4096, '\n');
    }
    return kb / 1024.0;
}

// A bare server that greets each connection from a thread of its own and
// waits for the answer, as a thread-per-connection server does.
std::unique_ptr<BenchServer> bare_server()
{
    return std::make_unique<BenchServer>(
        [](plat::socket_t fd) {
            int s = static_cast<int>(fd);
            char hello[36] = {};
            send(s, hello, sizeof hello, MSG_NOSIGNAL);
            pollfd p{s, POLLIN, 0};
            poll(&p, 1, 60000);
            close(s);
        },
        /*thread_per_connection=*/true);
}

void BM_IdleConnections(benchmark::State &state)
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 3 * kIdle + 200);
    setrlimit(RLIMIT_NOFILE, &lim);
    usbip_init();
    const Target target = static_cast<Target>(state.range(0));
    double burst_s = 0, threads = 0, memory = 0, served_ms = 0;
    for (auto _ : state) {
        int port = 0, relay_port = 0;
        std::string code;
        std::unique_ptr<BenchServer> bare;
        if (target == kBare) {
            bare = bare_server();
            port = bare->port();
        } else {
            port = bench_start_on_free_port([](int p) { return usbip_server_start(p, nullptr, 0); });
            if (target == kRelay) {
                relay_port = bench_start_on_free_port(usbip_relay_start);
                const char *c = relay_port ? usbip_server_register_relay("127.0.0.1", relay_port, nullptr) : nullptr;
                code = c ? c : "";
            }
            if (port == 0 || (target == kRelay && code.empty())) {
                state.SkipWithError(usbip_last_error());
                break;
            }
        }
        int listen_port = target == kRelay ? relay_port : port;
        int threads_before = thread_count();
        double rss_before = rss_mb();

        auto t0 = Clock::now();
        std::vector<int> idle;
        for (int i = 0; i < kIdle; ++i) {
            int host = i / 25;
            std::string from = "127.0." + std::to_string(2 + host / 250) + "." + std::to_string(2 + host % 250);
            idle.push_back(bench_connect_from(from.c_str(), listen_port, 15));
        }
        double burst = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(burst);
        burst_s += burst;
        std::this_thread::sleep_for(std::chrono::seconds(1));  // let every accepted connection settle
        threads += thread_count() - threads_before;
        memory += rss_mb() - rss_before;

        auto t1 = Clock::now();
        const char *listed = target == kServer ? usbip_client_list_remote("127.0.0.1", port, nullptr, 0)
                             : target == kRelay ? usbip_client_list_by_code("127.0.0.1", relay_port, code.c_str(), nullptr)
                                                : "[]";
        served_ms += std::chrono::duration<double, std::milli>(Clock::now() - t1).count();
        if (listed == nullptr) state.SkipWithError(usbip_last_error());

        for (int fd : idle)
            if (fd >= 0) close(fd);
        usbip_server_stop();
        usbip_relay_stop();
        bare.reset();
    }
    double n = static_cast<double>(state.iterations());
    state.counters["burst_s"] = burst_s / n;
    state.counters["threads"] = threads / n;
    state.counters["rss_MB"] = memory / n;
    if (target != kBare) state.counters["host_list_ms"] = served_ms / n;
    state.SetLabel(target == kServer ? "library server" : target == kRelay ? "library relay" : "bare server");
    usbip_cleanup();
}

}  // namespace

BENCHMARK(BM_IdleConnections)
    ->ArgName("target")
    ->DenseRange(kServer, kBare)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
