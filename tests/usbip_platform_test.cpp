// The platform layer's promises that the rest of the library builds on, on
// every system it runs on: a shut-down socket wakes its waits, an idle
// listener says so, a refused connect is reported, the waker wakes, a
// listener takes IPv4 peers on its dual-stack socket.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The socket layer for one test (Winsock's start on Windows).
struct Sockets {
    Sockets() { EXPECT_TRUE(plat::sock_startup()); }
    ~Sockets() { plat::sock_cleanup(); }
};

// A platform listener on a free port and a connection to it: the accepted
// end (the library's kind of socket) and the raw client end.
struct Connection {
    plat::Socket listener, accepted;
    Fd client;
    plat::PeerAddress peer;

    Connection()
    {
        int port = free_port();
        plat::socket_t l = plat::kNoSocket;
        EXPECT_EQ(plat::listen_tcp(static_cast<std::uint16_t>(port), 16, &l), plat::ListenStatus::ok);
        listener.reset(l);
        client = Fd(raw_connect(port));
        EXPECT_GE(client, 0);
        EXPECT_EQ(plat::wait_readable(listener.get(), 5000), 1);
        plat::socket_t s = plat::kNoSocket;
        EXPECT_EQ(plat::accept(listener.get(), &s, &peer), plat::AcceptStatus::accepted);
        accepted.reset(s);
    }
};

}  // namespace

TEST(PlatformWake, ShutdownFromAnotherThreadEndsEveryKindOfWait)
{
    Sockets sockets;
    // Each wait is blocked (for up to 10 s) when another thread shuts its
    // socket down; it must end at once, report the socket ready, and a
    // receive then finds the end.
    struct Case {
        const char *what;
        int (*wait)(plat::socket_t s);
    } cases[] = {
        {"wait_readable", [](plat::socket_t s) { return plat::wait_readable(s, 10000); }},
        {"poll_many", [](plat::socket_t s) {
             plat::PollEntry e;
             e.s = s;
             e.want_read = true;
             int r = plat::poll_many(&e, 1, 10000);
             return r == 1 && e.readable ? 1 : -1;
         }},
        {"recv_until", [](plat::socket_t s) {
             char c;
             plat::IoError err;
             long n = plat::recv_until(s, &c, 1, plat::monotonic_ms() + 10000, &err);
             return n == 0 && err == plat::IoError::closed ? 1 : -1;
         }},
    };
    for (const auto &c : cases) {
        Connection conn;
        std::atomic<int> result{-2};
        auto t0 = Clock::now();
        std::thread waiter([&] { result = c.wait(conn.accepted.get()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(result, -2) << c.what << ": the wait ended before the shutdown";
        plat::shutdown_both(conn.accepted.get());
        waiter.join();
        EXPECT_EQ(result, 1) << c.what;
        EXPECT_LT(ms_since(t0), 2000) << c.what;

        // Later waits on the shut socket end at once too.
        t0 = Clock::now();
        EXPECT_EQ(plat::wait_readable(conn.accepted.get(), 5000), 1) << c.what;
        EXPECT_LT(ms_since(t0), 1000) << c.what;
        char c1;
        plat::IoError err;
        EXPECT_EQ(plat::recv_now(conn.accepted.get(), &c1, 1, &err), 0) << c.what;
        EXPECT_EQ(err, plat::IoError::closed) << c.what;
        EXPECT_TRUE(raw_wait_closed(conn.client, 2000)) << c.what;  // the peer sees the end
    }
}

TEST(PlatformWake, ShutdownWakesOnlyTheWaitsOnThatSocket)
{
    Sockets sockets;
    Connection a, b;
    std::atomic<int> on_b{-2};
    std::thread waiter([&] { on_b = plat::wait_readable(b.accepted.get(), 1500); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    plat::shutdown_both(a.accepted.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(on_b, -2);  // still waiting
    raw_send(b.client, "x");
    waiter.join();
    EXPECT_EQ(on_b, 1);
}

TEST(PlatformWake, WakerSignalsUntilCleared)
{
    Sockets sockets;
    plat::Waker waker;
    ASSERT_TRUE(waker.open());
    EXPECT_EQ(plat::wait_readable(waker.wait_socket(), 0), 0);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        waker.signal();
        waker.signal();
    });
    EXPECT_EQ(plat::wait_readable(waker.wait_socket(), 5000), 1);
    signaller.join();
    waker.clear();
    EXPECT_EQ(plat::wait_readable(waker.wait_socket(), 50), 0);
}

TEST(PlatformSockets, ListenerAcceptsIpv4PeersAndSaysWhenNoneWaits)
{
    Sockets sockets;
    Connection conn;
    EXPECT_EQ(conn.peer.text(), "127.0.0.1");  // not ::ffff:127.0.0.1
    plat::socket_t s = plat::kNoSocket;
    plat::PeerAddress peer;
    EXPECT_EQ(plat::accept(conn.listener.get(), &s, &peer), plat::AcceptStatus::none_pending);
    EXPECT_EQ(s, plat::kNoSocket);
    EXPECT_EQ(plat::local_port(conn.listener.get()), plat::local_port(conn.accepted.get()));

    // Bytes both ways over the accepted (non-blocking) socket.
    raw_send(conn.client, "ping");
    char buf[4];
    plat::IoError err;
    ASSERT_EQ(plat::recv_until(conn.accepted.get(), buf, 4, plat::monotonic_ms() + 5000, &err), 4);
    EXPECT_EQ(std::memcmp(buf, "ping", 4), 0);
    EXPECT_TRUE(plat::send_all_until(conn.accepted.get(), "pong", 4, plat::monotonic_ms() + 5000));
    EXPECT_EQ(raw_recv_n(conn.client, 4), "pong");

    // Nothing to read: a receive with a deadline runs out.
    auto t0 = Clock::now();
    EXPECT_EQ(plat::recv_until(conn.accepted.get(), buf, 1, plat::monotonic_ms() + 300, &err), -1);
    EXPECT_EQ(err, plat::IoError::timed_out);
    EXPECT_GE(ms_since(t0), 250);

    // A second listener on the same port fails to bind.
    plat::socket_t second = plat::kNoSocket;
    EXPECT_EQ(plat::listen_tcp(static_cast<std::uint16_t>(plat::local_port(conn.listener.get())), 16, &second),
              plat::ListenStatus::bind_failed);
}

TEST(PlatformSockets, RefusedConnectIsReported)
{
    Sockets sockets;
    std::vector<plat::Address> addrs;
    ASSERT_TRUE(plat::resolve("127.0.0.1", free_port(), addrs));
    ASSERT_FALSE(addrs.empty());
    plat::Socket s(plat::socket_open(addrs[0]));
    ASSERT_TRUE(s.valid());
    auto t0 = Clock::now();
    plat::ConnectStart started = plat::connect_start(s.get(), addrs[0]);
    if (started == plat::ConnectStart::in_progress) {
        EXPECT_EQ(plat::wait_writable(s.get(), 5000), 1);
        EXPECT_NE(plat::connect_result(s.get()), 0);
    } else {
        EXPECT_EQ(started, plat::ConnectStart::failed);
    }
    EXPECT_LT(ms_since(t0), 2000);
}

TEST(PlatformClock, MonotonicMillisecondsAndSleep)
{
    std::int64_t t0 = plat::monotonic_ms();
    plat::sleep_ms(120);
    std::int64_t spent = plat::monotonic_ms() - t0;
    EXPECT_GE(spent, 100);  // the tick count may step in 16 ms units
    EXPECT_LT(spent, 2000);
    EXPECT_GT(plat::wall_seconds(), 1700000000);  // after November 2023

    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(plat::random_bytes(a, sizeof a));
    ASSERT_TRUE(plat::random_bytes(b, sizeof b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}
