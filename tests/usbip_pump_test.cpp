// The pump between two ends: full duplex without a stall, every byte passed
// on in order, the end of a stream carried as a half-close, and each way it
// ends. Each end is a loopback TCP connection whose far side the test holds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "platform/platform.h"
#include "test_support.h"
#include "usbip_conn.h"
#include "usbip_pump.h"
#include "usbip_tls.h"

namespace {

// A loopback connection: `near` for the pump (a usbip_conn), `far` for the
// test's raw I/O.
struct Link {
    Listener listener;
    std::unique_ptr<usbip_conn> near;
    int far = -1;

    Link()
    {
        far = raw_connect(listener.port());
        int fd = listener.accept_one(5000);
        EXPECT_GE(fd, 0);
        near = std::make_unique<usbip_conn>(fd);
    }
    ~Link() { raw_close(far); }
};

// The pump between two links, on a thread of its own.
struct Pumped {
    Link left, right;
    usbip_conn_end a{*left.near}, b{*right.near};
    std::atomic<bool> running{true};
    plat::Waker waker;
    usbip_pump_result result;
    std::atomic<bool> finished{false};
    std::thread thread;

    explicit Pumped(usbip_pump_options options = {})
    {
        EXPECT_TRUE(waker.open());
        options.keep_running = &running;
        options.wake_socket = waker.wait_socket();
        thread = std::thread([this, options] {
            result = usbip_pump_run(a, b, options);
            finished = true;
        });
    }
    void stop()
    {
        running = false;
        waker.signal();
    }
    ~Pumped()
    {
        stop();
        if (thread.joinable()) thread.join();
    }
};

std::string pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xff);
    return s;
}

// Writes `out` to fd and reads `expect` bytes back from it at the same
// time (non-blocking, bounded); returns what was read.
std::string exchange(int fd, const std::string &out, std::size_t expect, int limit_ms)
{
    std::string in;
    std::size_t sent = 0;
    std::vector<char> buf(65536);
    std::int64_t until = plat::monotonic_ms() + limit_ms;
    while ((sent < out.size() || in.size() < expect) && plat::monotonic_ms() < until) {
        plat::PollEntry e;
        e.s = fd;
        e.want_read = in.size() < expect;
        e.want_write = sent < out.size();
        if (plat::poll_many(&e, 1, 100) <= 0) continue;
        plat::IoError err;
        if (e.writable) {
            long n = plat::send_now(fd, out.data() + sent, out.size() - sent, &err);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        if (e.readable) {
            long n = plat::recv_now(fd, buf.data(), buf.size(), &err);
            if (n > 0) in.append(buf.data(), static_cast<std::size_t>(n));
            if (n == 0) break;
        }
    }
    return in;
}

}  // namespace

// Both sides write a lot and read at the same time, each only as fast as
// it can: a pump that carried one direction at a time, or waited on one
// side while the other filled, would stop both for good.
TEST(Pump, FullDuplexCarriesEveryByteInOrder)
{
    Pumped p;
    const std::string to_right = pattern(8 << 20, 1), to_left = pattern(8 << 20, 2);
    std::string at_left;
    std::thread left([&] { at_left = exchange(p.left.far, to_right, to_left.size(), 60000); });
    std::string at_right = exchange(p.right.far, to_left, to_right.size(), 60000);
    left.join();
    EXPECT_TRUE(at_right == to_right) << at_right.size();
    EXPECT_TRUE(at_left == to_left) << at_left.size();
}

// A request, then the end of the client's stream; the answer after it
// still arrives, and then the end of the server's.
TEST(Pump, HalfCloseIsCarriedAndTheAnswerAfterItArrives)
{
    Pumped p;
    ASSERT_TRUE(raw_send(p.left.far, "request"));
    raw_shutdown_send(p.left.far);
    EXPECT_EQ(raw_recv_all(p.right.far), "request");  // the end came through
    ASSERT_TRUE(raw_send(p.right.far, "answer after the end"));
    raw_shutdown_send(p.right.far);
    EXPECT_EQ(raw_recv_all(p.left.far), "answer after the end");
    p.thread.join();
    EXPECT_EQ(p.result.reason, usbip_pump_end_reason::closed);
    EXPECT_EQ(p.result.a_to_b, 7u);
    EXPECT_EQ(p.result.b_to_a, 20u);
}

// How the pump ends when it does not end with both streams.
struct EndCase {
    const char *name;
    int idle_ms, stall_ms;
    // What the test does to the far sides, and the reason it must bring.
    void (*act)(Pumped &);
    usbip_pump_end_reason expected;
};

void PrintTo(const EndCase &c, std::ostream *os) { *os << c.name; }

class PumpEnds : public ::testing::TestWithParam<EndCase> {};

TEST_P(PumpEnds, WithTheRightReasonAndSoon)
{
    const EndCase &c = GetParam();
    usbip_pump_options o;
    o.idle_ms = c.idle_ms;
    o.stall_ms = c.stall_ms;
    o.buffer = 4096;
    Pumped p(o);
    auto t0 = plat::monotonic_ms();
    c.act(p);
    p.thread.join();
    EXPECT_EQ(p.result.reason, c.expected) << usbip_pump_end_text(p.result.reason);
    EXPECT_LT(plat::monotonic_ms() - t0, 10000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PumpEnds,
    ::testing::Values(
        // Nothing moves either way.
        EndCase{"Idle", 300, 0, [](Pumped &) {}, usbip_pump_end_reason::idle},
        // One side keeps writing while the other reads nothing: the bytes
        // it holds wait past the stall limit, however busy the writer is.
        EndCase{"ReaderThatStops", 0, 500,
                [](Pumped &p) {
                    set_socket_buffers(p.right.far, 4096);
                    std::string chunk(4096, 'x');
                    for (int i = 0; i < 2000 && !p.finished; ++i)
                        if (raw_send_now(p.left.far, chunk.data(), chunk.size()) < 0) plat::sleep_ms(5);
                },
                usbip_pump_end_reason::stalled},
        EndCase{"Stopped", 0, 0, [](Pumped &p) { p.stop(); }, usbip_pump_end_reason::stopped},
        // A reset ends it at once, as the failure of that side.
        EndCase{"ResetOnTheSecondSide", 0, 0,
                [](Pumped &p) {
                    raw_reset(p.right.far);
                    p.right.far = -1;
                },
                usbip_pump_end_reason::failed_b}),
    [](const ::testing::TestParamInfo<EndCase> &i) { return std::string(i.param.name); });

// One end in TLS, the other plain (the command line's attach): bytes that
// TLS has already decrypted are passed on although the socket is quiet.
TEST(Pump, BetweenTlsAndPlain)
{
    ASSERT_EQ(usbip_init(), 0);
    Listener tls_listener;
    usbip_conn client;  // the test's TLS peer
    std::unique_ptr<usbip_conn> server;
    std::thread accept([&] {
        int fd = tls_listener.accept_one(10000);
        if (fd < 0) return;
        auto conn = std::make_unique<usbip_conn>(fd);
        usbip_conn_set_deadline(conn.get(), 10000);
        if (usbip_tls_wrap_server(conn.get()) == 0) server = std::move(conn);
    });
    ASSERT_EQ(usbip_conn_connect_deadline(&client, "127.0.0.1", tls_listener.port()), 0);
    ASSERT_EQ(usbip_tls_wrap_client(&client), 0) << usbip_last_error();
    accept.join();
    ASSERT_TRUE(server);
    server->deadline_ms = 0;
    client.deadline_ms = 0;

    Link plain;
    usbip_conn_end a(*server), b(*plain.near);
    usbip_pump_result result;
    std::thread pump([&] { result = usbip_pump_run(a, b); });

    // Many small records in one burst: most wait inside TLS after the first
    // read, where a wait on the socket does not see them.
    std::string sent;
    for (int i = 0; i < 200; ++i) {
        std::string record = "record " + std::to_string(i) + ";";
        ASSERT_EQ(usbip_conn_send_all(&client, record.data(), record.size()), 0);
        sent += record;
    }
    EXPECT_EQ(raw_recv_n(plain.far, sent.size()), sent);
    ASSERT_TRUE(raw_send(plain.far, "back through TLS"));
    char back[16];
    client.deadline_ms = plat::monotonic_ms() + 10000;
    ASSERT_EQ(usbip_conn_recv_all(&client, back, sizeof back), 0);
    EXPECT_EQ(std::string(back, sizeof back), "back through TLS");

    usbip_conn_close(&client);  // close_notify, then the socket's end
    EXPECT_EQ(raw_recv_all(plain.far), "");
    raw_shutdown_send(plain.far);
    pump.join();
    EXPECT_EQ(result.reason, usbip_pump_end_reason::closed);
    server.reset();
    usbip_cleanup();
}
