// Transport and codecs: device-list encode/decode, a plain connect with the
// password handshake, TLS handshakes against the library's server and a bare
// Mbed TLS server with the same key size and groups, and key generation.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_protocol.h"
#include "usbip_tls.h"

namespace {

std::vector<usbip_device> sample_devices(int n)
{
    std::vector<usbip_device> devs(n);
    for (int i = 0; i < n; ++i) {
        usbip_device &d = devs[i];
        std::memset(&d, 0, sizeof d);
        std::snprintf(d.busid, sizeof d.busid, "%d-%d", 1 + i / 8, 1 + i % 8);
        std::snprintf(d.path, sizeof d.path, "/sys/bus/usb/devices/%s", d.busid);
        d.idVendor = static_cast<std::uint16_t>(0x1000 + i);
        d.idProduct = static_cast<std::uint16_t>(0x2000 + i);
        d.bDeviceClass = 3;
        d.bConfigurationValue = 1;
        d.bNumConfigurations = 1;
        d.bNumInterfaces = 2;
        d.speed = 3;
    }
    return devs;
}

void BM_EncodeDevlist64(benchmark::State &state)
{
    auto devs = sample_devices(64);
    std::string out;
    for (auto _ : state) {
        out.clear();
        usbip_encode_devlist_reply(out, devs.data(), 64);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_EncodeDevlist64);

void BM_DecodeDevlist64(benchmark::State &state)
{
    auto devs = sample_devices(64);
    std::string bytes;
    usbip_encode_devlist_reply(bytes, devs.data(), 64);
    std::vector<usbip_device> out(64);
    for (auto _ : state) {
        usbip_devlist_decoder d(out.data(), 64);
        std::size_t pos = 0;
        while (!d.done()) {
            std::size_t n = d.need();
            d.feed(reinterpret_cast<const std::uint8_t *>(bytes.data()) + pos, n);
            pos += n;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeDevlist64);

void BM_RenderJson64(benchmark::State &state)
{
    auto devs = sample_devices(64);
    std::string out;
    for (auto _ : state) benchmark::DoNotOptimize(usbip_devices_to_json(out, devs.data(), 64));
}
BENCHMARK(BM_RenderJson64);

// One connect, password handshake and close per iteration against a server
// thread that runs the server half.
void BM_ConnectAndHandshake(benchmark::State &state)
{
    const char *password = state.range(0) ? "bench-password" : nullptr;
    BenchServer server([password](plat::socket_t fd) {
        usbip_conn conn(fd);
        usbip_conn_set_deadline(&conn, 5000);
        usbip_auth_handshake_server(&conn, password);
    });
    for (auto _ : state) {
        usbip_conn conn;
        if (usbip_conn_connect_deadline(&conn, "127.0.0.1", server.port()) != 0 ||
            usbip_auth_handshake_client(&conn, password) != 0) {
            state.SkipWithError(usbip_last_error());
            break;
        }
    }
    state.counters["rounds/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConnectAndHandshake)->Arg(0)->Arg(1)->UseRealTime();

// A TLS client handshake plus one byte each way, single-threaded.
void tls_client_round(benchmark::State &state, int port)
{
    for (auto _ : state) {
        usbip_conn conn;
        char byte = 'x';
        if (usbip_conn_connect_deadline(&conn, "127.0.0.1", port) != 0 || usbip_tls_wrap_client(&conn) != 0 ||
            usbip_conn_send_all(&conn, &byte, 1) != 0 || usbip_conn_recv_all(&conn, &byte, 1) != 0) {
            state.SkipWithError(usbip_last_error());
            break;
        }
    }
    state.counters["handshakes/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_TlsHandshakeLibraryServer(benchmark::State &state)
{
    usbip_init();
    usbip_tls_generate_cert();
    BenchServer server([](plat::socket_t fd) {
        usbip_conn conn(fd);
        usbip_conn_set_deadline(&conn, 5000);
        char byte;
        if (usbip_tls_wrap_server(&conn) == 0 && usbip_conn_recv_all(&conn, &byte, 1) == 0)
            usbip_conn_send_all(&conn, &byte, 1);
    });
    tls_client_round(state, server.port());
}
BENCHMARK(BM_TlsHandshakeLibraryServer)->UseRealTime()->MinTime(1.5)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_TlsHandshakeBareMbedTls(benchmark::State &state)
{
    usbip_init();
    BareTls bare;
    BenchServer server([&bare](plat::socket_t fd) {
        bare.serve(fd, [](BenchIo &io) {
            char byte;
            if (io.recv(&byte, 1)) io.send(&byte, 1);
        });
    });
    tls_client_round(state, server.port());
}
BENCHMARK(BM_TlsHandshakeBareMbedTls)->UseRealTime()->MinTime(1.5)->Repetitions(5)->ReportAggregatesOnly(true);

double stat_min(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }
double stat_max(const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); }

void BM_GenerateKeyAndCertificate(benchmark::State &state)
{
    usbip_init();
    for (auto _ : state)
        if (usbip_tls_generate_cert() != 0) state.SkipWithError(usbip_last_error());
}
BENCHMARK(BM_GenerateKeyAndCertificate)
    ->Iterations(1)
    ->Repetitions(25)
    ->ComputeStatistics("min", stat_min)
    ->ComputeStatistics("max", stat_max)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
