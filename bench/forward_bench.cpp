// Forwarding against libusb alone, on the emulated device of the tests
// (tests/support/urb_device.h) held in this process: the same control and
// bulk transfers made with libusb directly, and forwarded four ways over
// loopback: by the engine alone on a connection (plain, and in TLS), and
// through the library's server (forwarding on, no password: handshake and
// import, then the same URBs) directly and by code through the library's
// relay. With 1 and 8 URBs in flight; every round of every way in one run,
// interleaved, and the figures are medians over the rounds, as ratios to
// libusb (and the relay's to the server's directly). The server has a
// password: the ways through it prove it with the older handshake, after
// which the stream runs in clear; BM_RelayedForwarding sets that against
// the secure exchange's TLS session end to end, through the relay.
//
// Every way uses libusb the same way: asynchronous transfers, completed on
// an event thread of their own. What forwarding costs per URB is the CPU
// time of the engine's session thread per URB less that of the thread that
// drives libusb directly (both submit, and wait for completions), in user
// space (decoding, encoding, bookkeeping) and in the kernel (the
// connection's system calls and the wake-ups).
//
// The emulation answers each usbfs request on a thread of its own through a
// socket, which costs far more than a kernel does: the rates are those of
// the emulated device, and what matters is forwarding against libusb on it.
// Run under umockdev-wrapper.
//
// The engine's session thread is named "fwd-session", so that a profile
// tells its own code from the rest:
//   perf record -F 1999 -g -- umockdev-wrapper build/bench/forward_bench
//   perf report --no-children --comm fwd-session --sort dso,sym -n
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "halvoren_usbip.h"
#include "testbed.h"
#include "urb_device.h"
#include "usbip_auth.h"
#include "usbip_client.h"
#include "usbip_forward.h"
#include "usbip_bytes.h"
#include "usbip_conn.h"
#include "usbip_protocol.h"
#include "usbip_tls.h"
#include "usbip_urb.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBulkSize = 64 * 1024;
constexpr int kControlUrbs = 2000;  // per round and side
constexpr int kBulkUrbs = 1000;     // half OUT, half IN: 32 MB a round and side
constexpr int kRounds = 5;

enum class Workload { control, bulk };

// CPU time of the calling thread, in user space and in the kernel.
struct Cpu {
    double user = 0, sys = 0;
    static Cpu now()
    {
        rusage u{};
        getrusage(RUSAGE_THREAD, &u);
        return {u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6, u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6};
    }
    Cpu operator-(const Cpu &o) const { return {user - o.user, sys - o.sys}; }
};

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One emulated device for the whole run, on bus 1 port 4.
struct Bed {
    Testbed testbed;
    UrbDevice device{testbed, 4};
    libusb_context *ctx = nullptr;
    Bed() { libusb_init(&ctx); }
};

Bed &bed()
{
    static Bed *b = new Bed();  // kept to the end: the emulation's threads use it
    return *b;
}

// URB k of a workload: control reads of the device descriptor; bulk OUT and
// IN by turns, 64 KiB each, the IN reading back the OUT before it.
struct UrbPlan {
    bool control;
    bool in;
    int length;
};

UrbPlan plan(Workload w, int k)
{
    if (w == Workload::control) return {true, true, 18};
    return {false, k % 2 == 1, kBulkSize};
}

const std::uint8_t kGetDeviceDescriptor[8] = {0x80, 6, 0x00, 0x01, 0, 0, 18, 0};

struct Round {
    double seconds = 0;
    double bytes = 0;
    Cpu cpu;  // of the thread that submits: the test's own, or the engine's
    bool ok = false;
};

// ---------------------------------------------------------------------------
// libusb alone

struct Direct {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<libusb_transfer *> done;  // guarded by mutex
};

void LIBUSB_CALL direct_done(libusb_transfer *t)
{
    auto *d = static_cast<Direct *>(t->user_data);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->done.push_back(t);
    d->cv.notify_one();
}

Round run_direct(Workload w, int depth, int count)
{
    Round r;
    libusb_context *ctx = bed().ctx;
    libusb_device_handle *h = libusb_open_device_with_vid_pid(ctx, UrbDevice::kVendor, UrbDevice::kProduct);
    if (h == nullptr) return r;
    libusb_detach_kernel_driver(h, 0);
    if (libusb_claim_interface(h, 0) != 0) {
        libusb_close(h);
        return r;
    }
    std::atomic<bool> running{true};
    std::thread events([&] {
        pthread_setname_np(pthread_self(), "direct-events");
        while (running) {
            timeval tv{0, 200000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    });
    Direct d;
    std::vector<libusb_transfer *> transfers;
    std::vector<std::vector<std::uint8_t>> buffers(static_cast<std::size_t>(depth),
                                                   std::vector<std::uint8_t>(8 + kBulkSize, 0x5a));
    int next = 0, finished = 0, in_flight = 0;
    bool ok = true;
    auto submit = [&](libusb_transfer *t, std::uint8_t *buf) {
        UrbPlan p = plan(w, next++);
        if (p.control) {
            std::memcpy(buf, kGetDeviceDescriptor, 8);
            libusb_fill_control_transfer(t, h, buf, direct_done, &d, 0);
        } else {
            libusb_fill_bulk_transfer(t, h, p.in ? 0x81 : 0x01, buf, p.length, direct_done, &d, 0);
        }
        r.bytes += p.length;
        ok = ok && libusb_submit_transfer(t) == 0;
        ++in_flight;
    };
    const auto t0 = Clock::now();
    const Cpu c0 = Cpu::now();
    for (int i = 0; i < depth; ++i) {
        transfers.push_back(libusb_alloc_transfer(0));
        submit(transfers.back(), buffers[static_cast<std::size_t>(i)].data());
    }
    while (ok && finished < count) {
        libusb_transfer *t;
        {
            std::unique_lock<std::mutex> lock(d.mutex);
            if (!d.cv.wait_for(lock, std::chrono::seconds(10), [&] { return !d.done.empty(); })) {
                ok = false;
                break;
            }
            t = d.done.front();
            d.done.pop_front();
        }
        --in_flight;
        ++finished;
        ok = ok && t->status == LIBUSB_TRANSFER_COMPLETED;
        if (next < count) submit(t, t->buffer);
    }
    r.cpu = Cpu::now() - c0;
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.ok = ok && finished == count;
    // Whatever is still in flight after a failure is cancelled and awaited.
    for (libusb_transfer *t : transfers) libusb_cancel_transfer(t);
    for (int i = 0; i < 500 && in_flight > 0; ++i) {
        std::unique_lock<std::mutex> lock(d.mutex);
        if (d.cv.wait_for(lock, std::chrono::milliseconds(10), [&] { return !d.done.empty(); })) {
            d.done.pop_front();
            --in_flight;
        }
    }
    running = false;
    libusb_interrupt_event_handler(ctx);
    events.join();
    if (in_flight == 0)
        for (libusb_transfer *t : transfers) libusb_free_transfer(t);
    libusb_release_interface(h, 0);
    libusb_attach_kernel_driver(h, 0);
    libusb_close(h);
    return r;
}

// ---------------------------------------------------------------------------
// Forwarded: the client's side is the same every way, on a library
// connection (plain or TLS) that has reached the URB phase.

// A connected loopback pair: the client's socket, the engine's end.
bool loopback_pair(int *client, int *server)
{
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(l, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        close(l);
        return false;
    }
    *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(*client, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    *server = ok ? accept4(l, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK) : -1;
    close(l);
    if (*client >= 0) fcntl(*client, F_SETFL, fcntl(*client, F_GETFL) | O_NONBLOCK);
    int one = 1;
    setsockopt(*client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return ok && *server >= 0;
}

// The next bytes from the connection, waiting at most 10 s.
long recv_waiting(usbip_conn &c, std::uint8_t *p, std::size_t n)
{
    const std::int64_t until = plat::monotonic_ms() + 10000;
    for (;;) {
        plat::IoError err;
        long k = usbip_conn_recv_some(&c, p, n, &err);
        if (k > 0 || err != plat::IoError::would_block) return k;
        std::int64_t left = until - plat::monotonic_ms();
        if (left <= 0 || usbip_conn_wait(&c, static_cast<int>(left)) != 1) return -1;
    }
}

// The client's side of a forwarded round: `count` URBs of the workload,
// `depth` of them in flight.
bool drive_urbs(usbip_conn &client, Workload w, int depth, int count, Round *r)
{
    std::vector<int> directions;  // by seqnum
    usbip_urb_reader reader = usbip_urb_reader::for_client({}, [&](std::uint32_t seqnum) {
        return seqnum < directions.size() ? directions[seqnum] : -1;
    });
    std::vector<std::uint8_t> out_data(kBulkSize, 0x5a), command;
    int next = 0, finished = 0;
    bool ok = true;
    auto submit = [&] {
        UrbPlan p = plan(w, next++);
        usbip_cmd_submit c;
        c.base.seqnum = static_cast<std::uint32_t>(directions.size());
        c.base.devid = 0x00010001;  // bus 1, device 1, as every import reply names it
        c.base.direction = p.in ? USBIP_DIR_IN : USBIP_DIR_OUT;
        c.base.ep = p.control ? 0 : 1;
        c.transfer_flags = p.in ? USBIP_URB_DIR_IN : 0;
        c.transfer_buffer_length = p.length;
        c.number_of_packets = 0;
        if (p.control) std::memcpy(c.setup, kGetDeviceDescriptor, 8);
        directions.push_back(static_cast<int>(c.base.direction));
        command.resize(USBIP_URB_HEADER_SIZE);
        usbip_encode_cmd_submit(command.data(), c);
        if (!p.in) command.insert(command.end(), out_data.begin(), out_data.end());
        r->bytes += p.length;
        usbip_conn_set_deadline(&client, 10000);
        ok = ok && usbip_conn_send_all(&client, command.data(), command.size()) == 0;
    };
    directions.push_back(-1);  // seqnums start at 1
    std::vector<std::uint8_t> buf(256 * 1024);
    std::size_t pos = 0, len = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < depth; ++i) submit();
    while (ok && finished < count) {
        if (pos == len) {
            long n = recv_waiting(client, buf.data(), buf.size());
            if (n <= 0) {
                ok = false;
                break;
            }
            pos = 0;
            len = static_cast<std::size_t>(n);
        }
        std::size_t used = 0;
        auto res = reader.feed(buf.data() + pos, len - pos, &used);
        pos += used;
        if (res == usbip_urb_reader::result::error) ok = false;
        if (res != usbip_urb_reader::result::message) continue;
        ok = ok && reader.message().ret_submit.status == 0;
        ++finished;
        if (next < count) submit();
    }
    r->seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return ok && finished == count;
}

// The engine alone on a loopback connection, plain or in TLS (both ends
// wrapped here, the server's on the engine's thread).
Round run_engine(Workload w, int depth, int count, bool tls)
{
    Round r;
    usbip_forward_device_ptr device;
    if (usbip_forward_claim(bed().ctx, bed().device.record(), &device) != usbip_claim_result::ok) return r;
    int client_fd = -1, server_fd = -1;
    if (!loopback_pair(&client_fd, &server_fd)) return r;
    usbip_conn client(client_fd), server(server_fd);
    std::atomic<bool> keep_running{true};
    std::thread engine([&] {
        pthread_setname_np(pthread_self(), "fwd-session");
        if (tls) {
            usbip_conn_set_deadline(&server, 10000);
            if (usbip_tls_wrap_server(&server) != 0) return;
            server.deadline_ms = 0;
        }
        const Cpu c0 = Cpu::now();
        usbip_forward_run(&server, std::move(device), keep_running);
        r.cpu = Cpu::now() - c0;
    });
    usbip_conn_set_deadline(&client, 10000);
    r.ok = (!tls || usbip_tls_wrap_client(&client) == 0) && drive_urbs(client, w, depth, count, &r);
    plat::shutdown_both(client.fd);  // the engine ends as its peer goes
    engine.join();
    return r;
}

// ---------------------------------------------------------------------------
// Through the library's server (forwarding on, password "pw"), directly and
// by code through the library's relay; one server and one relay for the
// whole run.

struct Services {
    int server_port = 0;
    int relay_port = 0;
    std::string code;
};

const Services &services()
{
    static Services s = [] {
        Services out;
        const std::string busid = bed().device.busid();  // plugged in before the first inventory
        if (usbip_init() != 0 || usbip_server_share(busid.c_str()) != 0) return out;
        usbip_server_set_forwarding(1);
        out.relay_port = bench_start_on_free_port([](int p) { return usbip_relay_start(p); });
        out.server_port = bench_start_on_free_port([](int p) { return usbip_server_start(p, "pw", 0); });
        const char *code = usbip_server_register_relay("127.0.0.1", out.relay_port, nullptr);
        if (code != nullptr) out.code = code;
        return out;
    }();
    return s;
}

// Today's client, byte for byte: the older proof for the challenge.
bool older_handshake(usbip_conn &c, const char *password)
{
    std::uint8_t greeting[USBIP_GREETING_SIZE], proof[USBIP_DIGEST_SIZE], result[4];
    return usbip_conn_recv_all(&c, greeting, sizeof greeting) == 0 &&
        usbip_auth_proof(greeting + 4, password, proof) == 0 && usbip_conn_send_all(&c, proof, sizeof proof) == 0 &&
        usbip_conn_recv_all(&c, result, sizeof result) == 0 && usbip_get_be32(result) == 0;
}

// A round through the server, directly or `by_code` through the relay; in
// clear after the older proof, or `encrypted` by the secure exchange.
Round run_through_server(Workload w, int depth, int count, bool by_code, bool encrypted = false)
{
    Round r;
    const Services &s = services();
    if (s.server_port == 0 || (by_code && s.code.empty())) return r;
    usbip_conn client;
    const bool connected = by_code ? usbip_conn_connect_deadline(&client, "127.0.0.1", s.relay_port) == 0 &&
                                         usbip_client_pair_by_code(&client, s.code.c_str()) == 0
                                   : usbip_conn_connect_deadline(&client, "127.0.0.1", s.server_port) == 0;
    usbip_imported imported;
    if (!connected || !(encrypted ? usbip_auth_handshake_client(&client, "pw") == 0 : older_handshake(client, "pw")) ||
        client.is_tls() != encrypted || usbip_request_import(&client, bed().device.busid().c_str(), &imported) != 0)
        return r;
    plat::set_nodelay(client.fd);
    client.deadline_ms = 0;
    r.ok = drive_urbs(client, w, depth, count, &r);
    usbip_conn_close(&client);
    // The session releases the device as its client goes: wait for that, so
    // that the next round can claim it.
    for (int i = 0; i < 500 && bed().device.claimed(0); ++i) plat::sleep_ms(2);
    return r;
}

// Bulk through the relay, 8 URBs in flight: end to end encrypted against
// in clear, rounds alternating. Each iteration is one round of each.
void BM_RelayedForwarding(benchmark::State &state)
{
    std::vector<double> clear_mbps, encrypted_mbps;
    for (auto _ : state) {
        Round c = run_through_server(Workload::bulk, 8, kBulkUrbs, true, false);
        Round e = run_through_server(Workload::bulk, 8, kBulkUrbs, true, true);
        if (!c.ok || !e.ok) {
            static std::string why;
            why = std::string(!c.ok ? "round in clear failed: " : "encrypted round failed: ") + usbip_last_error();
            state.SkipWithError(why.c_str());
            return;
        }
        clear_mbps.push_back(c.bytes / c.seconds / 1e6);
        encrypted_mbps.push_back(e.bytes / e.seconds / 1e6);
    }
    state.counters["clear_MBps"] = median(clear_mbps);
    state.counters["encrypted_MBps"] = median(encrypted_mbps);
    state.counters["encrypted/clear"] = median(encrypted_mbps) / median(clear_mbps);
}
BENCHMARK(BM_RelayedForwarding)->Iterations(kRounds)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------

// Args: workload (0 control, 1 bulk), URBs in flight. Each iteration is one
// round of each way.
void BM_Forwarding(benchmark::State &state)
{
    const Workload w = state.range(0) == 0 ? Workload::control : Workload::bulk;
    const int depth = static_cast<int>(state.range(1));
    const int count = w == Workload::control ? kControlUrbs : kBulkUrbs;
    if (services().server_port == 0 || services().code.empty()) {
        state.SkipWithError((std::string("the services did not start: ") + usbip_last_error()).c_str());
        return;
    }
    struct Way {
        const char *name;
        std::function<Round()> run;
        std::vector<double> rate, mbps, user_us, sys_us;
    };
    Way ways[] = {
        {"libusb", [&] { return run_direct(w, depth, count); }, {}, {}, {}, {}},
        {"engine", [&] { return run_engine(w, depth, count, false); }, {}, {}, {}, {}},
        {"tls", [&] { return run_engine(w, depth, count, true); }, {}, {}, {}, {}},
        {"server", [&] { return run_through_server(w, depth, count, false); }, {}, {}, {}, {}},
        {"relay", [&] { return run_through_server(w, depth, count, true); }, {}, {}, {}, {}},
    };
    for (auto _ : state) {
        for (Way &way : ways) {
            Round r = way.run();
            if (!r.ok) {
                state.SkipWithError((std::string(way.name) + " round failed").c_str());
                return;
            }
            way.rate.push_back(count / r.seconds);
            way.mbps.push_back(r.bytes / r.seconds / 1e6);
            way.user_us.push_back(r.cpu.user / count * 1e6);
            way.sys_us.push_back(r.cpu.sys / count * 1e6);
        }
    }
    const double libusb = median(ways[0].rate);
    for (const Way &way : ways) {
        const std::string n = way.name;
        if (w == Workload::bulk) state.counters[n + "_MBps"] = median(way.mbps);
        else state.counters[n + "_urbs_per_s"] = median(way.rate);
        if (&way != &ways[0]) state.counters[n + "/libusb"] = median(way.rate) / libusb;
    }
    state.counters["relay/server"] = median(ways[4].rate) / median(ways[3].rate);
    // CPU per URB of the thread that submits (libusb's own; the engine's
    // session thread), and what forwarding adds.
    state.counters["libusb_cpu_us"] = median(ways[0].user_us) + median(ways[0].sys_us);
    state.counters["engine_cpu_us"] = median(ways[1].user_us) + median(ways[1].sys_us);
    state.counters["added_user_us"] = median(ways[1].user_us) - median(ways[0].user_us);
    state.counters["added_sys_us"] = median(ways[1].sys_us) - median(ways[0].sys_us);
}
BENCHMARK(BM_Forwarding)
    ->ArgNames({"bulk", "in_flight"})
    ->Args({0, 1})
    ->Args({0, 8})
    ->Args({1, 1})
    ->Args({1, 8})
    ->Iterations(kRounds)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The codec's share of a URB: reading a 48-byte command and writing the
// 48-byte reply header.
void BM_UrbCodec(benchmark::State &state)
{
    usbip_cmd_submit c;
    c.base.seqnum = 1;
    c.base.direction = USBIP_DIR_IN;
    c.transfer_buffer_length = 18;
    std::memcpy(c.setup, kGetDeviceDescriptor, 8);
    std::uint8_t in[USBIP_URB_HEADER_SIZE], out[USBIP_URB_HEADER_SIZE];
    usbip_encode_cmd_submit(in, c);
    usbip_urb_reader reader = usbip_urb_reader::for_server({});
    for (auto _ : state) {
        std::size_t used;
        if (reader.feed(in, sizeof in, &used) != usbip_urb_reader::result::message) {
            state.SkipWithError("decode failed");
            break;
        }
        usbip_ret_submit r;
        r.base.seqnum = reader.message().cmd_submit.base.seqnum;
        r.actual_length = 18;
        usbip_encode_ret_submit(out, r);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_UrbCodec);

}  // namespace

BENCHMARK_MAIN();
