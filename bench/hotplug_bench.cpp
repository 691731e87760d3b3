// Time from a device being plugged in to its being listable as shared, when
// a share rule names it: with libusb's hot-plug events, and with the
// periodic comparison of device lists that platforms without them use. The
// baseline, in the same run: how long libusb itself takes to list a plugged
// device (the emulation's own delay). Devices are umockdev's (run under
// umockdev-wrapper).
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "platform/platform.h"
#include "testbed.h"
#include "usbip_enum.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 20;
constexpr int kWaitMs = 10000;
constexpr unsigned kVendor = 0x16c0, kProduct = 0x05dc;

Testbed &bed()
{
    static Testbed *b = new Testbed();  // outlives every benchmark
    return *b;
}

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool libusb_lists(libusb_context *ctx, unsigned bus, unsigned port)
{
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    bool found = false;
    for (ssize_t i = 0; i < n; ++i)
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_port_number(list[i]) == port) found = true;
    if (list != nullptr) libusb_free_device_list(list, 1);
    return found;
}

bool shared(const std::string &busid)
{
    return std::string(usbip_server_list_shared()).find("\"" + busid + "\"") != std::string::npos;
}

// Polls `pred` every millisecond; the time until it held, or -1.
template <typename Pred>
double seconds_until(Clock::time_point t0, Pred pred)
{
    while (!pred()) {
        if (Clock::now() - t0 > std::chrono::milliseconds(kWaitMs)) return -1;
        plat::sleep_ms(1);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// One plug and unplug at `port` of bus 2: the seconds until `seen` holds
// after the plug, or -1. The unplug is waited for, so that rounds do not
// overlap.
template <typename Seen, typename Gone>
double plug_round(unsigned port, Seen seen, Gone gone)
{
    const Clock::time_point t0 = Clock::now();
    const std::string path = bed().add_device(2, port, kVendor, kProduct, 0xff, 0xff);
    const double s = seconds_until(t0, seen);
    bed().announce_removal(path);
    const bool went = seconds_until(Clock::now(), gone) >= 0;
    bed().remove_device(path);
    return went ? s : -1;
}

// Arg: 0 the baseline (libusb alone), 1 hot-plug events, 2 polling every
// 1000 ms (the period of platforms without hot-plug events).
void BM_PlugToListable(benchmark::State &state)
{
    const int mode = static_cast<int>(state.range(0));
    bed();  // before libusb starts, so that libusb sees the emulated devices
    libusb_context *ctx = nullptr;
    if (mode == 0) {
        if (libusb_init(&ctx) != 0) {
            state.SkipWithError("libusb_init failed");
            return;
        }
    } else {
        usbip_enum_set_watch_options(mode == 2, 1000);
        if (usbip_init() != 0 || usbip_server_share_rule("16c0:05dc") != 0 || !usbip_enum_watching()) {
            state.SkipWithError(usbip_last_error());
            usbip_cleanup();
            return;
        }
    }
    std::vector<double> times;
    unsigned port = 2;
    int round = 0;
    for (auto _ : state) {
        // Plugs fall at spread points of the poll period: a watch that
        // noticed the last unplug would otherwise always wait a whole period.
        plat::sleep_ms(round++ * 53 % 1000);
        const std::string busid = "2-" + std::to_string(port);
        double s = mode == 0 ? plug_round(port, [&] { return libusb_lists(ctx, 2, port); },
                                          [&] { return !libusb_lists(ctx, 2, port); })
                             : plug_round(port, [&] { return shared(busid); }, [&] { return !shared(busid); });
        if (s < 0) {
            state.SkipWithError("the device did not come or go in time");
            break;
        }
        times.push_back(s);
        state.SetIterationTime(s);
        port = port % 20 + 2;
    }
    if (mode == 0)
        libusb_exit(ctx);
    else
        usbip_cleanup();
    state.counters["median_ms"] = median(times) * 1e3;
    state.counters["max_ms"] = times.empty() ? 0 : *std::max_element(times.begin(), times.end()) * 1e3;
}
BENCHMARK(BM_PlugToListable)
    ->ArgName("watch")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(kRounds)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
