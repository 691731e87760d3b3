// The listener on its own: connections wait without a thread until their
// peer speaks, the waiting room is bounded and a full one pushes out a
// connection of the source that holds the most, a source's share of the
// threads shrinks as they are taken, a full pool queues connections and
// ends unauthenticated sessions of heavier sources for them. (A process out
// of descriptors: usbip_scale_test.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/threads.h"
#include "test_support.h"
#include "usbip_line_io.h"
#include "usbip_listener.h"

namespace {

// A listener on a free port whose served connections echo one line back,
// or wait on a gate first when `gated`. With `evictable`, served
// connections may be ended for a newcomer until they have echoed, as the
// services' unauthenticated sessions may.
class EchoListener {
public:
    EchoListener(usbip_listener_limits limits, std::size_t threads, bool gated = false, bool evictable = false)
        : pool_(threads), gated_(gated)
    {
        usbip_listener_hooks hooks;
        hooks.admit = [this](usbip_pending &p) {
            if (refuse_) return false;
            if (timer_ms_ > 0) p.timer_ms = p.accepted_ms + timer_ms_;
            return true;
        };
        hooks.on_timer = [](usbip_pending &p) {
            plat::IoError err;
            return plat::send_now(p.socket.get(), "timer\n", 6, &err) == 6;
        };
        hooks.serve = [this, evictable](usbip_pending &p) {
            ++serving_;
            std::unique_ptr<plat::SocketWatch> watch;
            if (evictable) watch = std::make_unique<plat::SocketWatch>(pool_, p.socket.get(), p.source.key());
            {
                std::unique_lock<std::mutex> lock(gate_mutex_);
                gate_cv_.wait(lock, [this] { return !gated_ || open_; });
            }
            char line[64];
            if (usbip_read_line(p.socket.get(), line, sizeof line, 2000) >= 0)
                usbip_send_line(p.socket.get(), std::string(line) + " from " + p.peer.text() + "\n");
            --serving_;
        };
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int port = free_port();
            if (listener_.start(port, "test", "test: no thread", limits, pool_, std::move(hooks))) port_ = port;
        }
        EXPECT_NE(port_, 0);
    }
    ~EchoListener()
    {
        open_gate();
        listener_.stop();
        pool_.wake_all();
        pool_.join_all();
    }
    void open_gate()
    {
        std::lock_guard<std::mutex> lock(gate_mutex_);
        open_ = true;
        gate_cv_.notify_all();
    }
    int port() const { return port_; }
    std::size_t threads() { return pool_.thread_count(); }
    std::size_t busy() { return pool_.busy_count(); }
    int serving() const { return serving_; }
    std::size_t waiting() { return listener_.waiting(); }
    void refuse(bool on) { refuse_ = on; }
    void timer(int ms) { timer_ms_ = ms; }

private:
    plat::WorkerPool pool_;
    usbip_listener listener_;
    int port_ = 0;
    bool gated_;
    std::mutex gate_mutex_;
    std::condition_variable gate_cv_;
    bool open_ = false;
    std::atomic<int> serving_{0};
    std::atomic<bool> refuse_{false};
    std::atomic<int> timer_ms_{0};
};

usbip_listener_limits limits(int wait_ms, std::size_t waiting)
{
    usbip_listener_limits l;
    l.wait_ms = wait_ms;
    l.waiting = waiting;
    return l;
}

}  // namespace

TEST(Listener, SilentConnectionsHoldNoThreadAndRunOut)
{
    EchoListener echo(limits(500, 100), 8);
    std::vector<Fd> silent;
    for (int i = 0; i < 20; ++i) silent.emplace_back(raw_connect(echo.port()));
    ASSERT_TRUE(wait_until([&] { return echo.waiting() == 20; }, 2000));
    EXPECT_EQ(echo.threads(), 0u);
    Fd talker(raw_connect(echo.port()));
    raw_send(talker, "hello\n");
    EXPECT_EQ(raw_recv_line(talker), "hello from 127.0.0.1\n");
    for (Fd &fd : silent) EXPECT_TRUE(raw_wait_closed(fd, 2000));  // their wait ran out
}

// A full room: a newcomer pushes out the oldest connection of the source
// that holds the most, or its own oldest when no source holds more than it.
TEST(Listener, ANewcomerPushesOutTheHeaviestSourcesOldest)
{
    struct Case {
        const char *what;
        std::vector<const char *> from;  // the fifth is the newcomer
        int pushed_out;                  // which of the first four closes
    } cases[] = {
        {"each holds one", {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"}, 0},
        {"one holds two", {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.3", "127.0.0.6"}, 1},
        {"the newcomer holds the most", {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.3", "127.0.0.3"}, 1},
        {"the newcomer holds as many as any", {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.4"}, 2},
    };
    for (const auto &c : cases) {
        EchoListener echo(limits(5000, 4), 8);
        std::vector<Fd> fds;
        for (std::size_t i = 0; i < 4; ++i) {
            fds.emplace_back(raw_connect_from(c.from[i], echo.port()));
            ASSERT_TRUE(wait_until([&] { return echo.waiting() == i + 1; }, 2000)) << c.what;
        }
        Fd newcomer(raw_connect_from(c.from[4], echo.port()));
        EXPECT_TRUE(raw_wait_closed(fds[static_cast<std::size_t>(c.pushed_out)], 2000)) << c.what;
        for (int i = 0; i < 4; ++i) {
            if (i == c.pushed_out) continue;
            EXPECT_FALSE(raw_wait_closed(fds[static_cast<std::size_t>(i)], 100)) << c.what << i;
        }
        raw_send(newcomer, "late\n");
        EXPECT_EQ(raw_recv_line(newcomer), std::string("late from ") + c.from[4] + "\n") << c.what;
    }
}

TEST(Listener, FullSharesAndAFullPoolQueueInsteadOfRefusing)
{
    // Two threads in all; an address may take one while it holds fewer than
    // are free, so the first address gets one of them; serving waits for
    // the gate.
    EchoListener echo(limits(5000, 100), 2, /*gated=*/true);
    Fd a1(raw_connect_from("127.0.0.2", echo.port())), a2(raw_connect_from("127.0.0.2", echo.port()));
    Fd b1(raw_connect_from("127.0.0.3", echo.port())), c1(raw_connect_from("127.0.0.4", echo.port()));
    for (int fd : {int(a1), int(a2), int(b1), int(c1)}) raw_send(fd, "hi\n");
    // 127.0.0.2 has its one thread, 127.0.0.3 the other; the rest wait.
    ASSERT_TRUE(wait_until([&] { return echo.serving() == 2; }, 2000));
    EXPECT_EQ(echo.threads(), 2u);
    EXPECT_EQ(echo.waiting(), 2u);
    echo.open_gate();
    for (int fd : {int(a1), int(a2), int(b1), int(c1)}) EXPECT_EQ(raw_recv_line(fd).rfind("hi from 127.0.0.", 0), 0u);
}

TEST(Listener, RefusedAtOnceOrTimedBeforeItsBytes)
{
    EchoListener echo(limits(5000, 100), 2);
    echo.refuse(true);
    Fd refused(raw_connect(echo.port()));
    EXPECT_TRUE(raw_wait_closed(refused, 1000));
    echo.refuse(false);
    echo.timer(50);
    Fd timed(raw_connect(echo.port()));
    EXPECT_EQ(raw_recv_line(timed), "timer\n");
    raw_send(timed, "after\n");
    EXPECT_EQ(raw_recv_line(timed), "after from 127.0.0.1\n");
}

// One socket takes both families; an IPv4 peer is known by its IPv4
// address (not the mapped IPv6 form), so that its limits are those of that
// address.
TEST(Listener, PeersOfBothFamiliesAndTheirAddresses)
{
    EchoListener echo(limits(5000, 100), 2);
    Fd v4(raw_connect(echo.port()));
    raw_send(v4, "four\n");
    EXPECT_EQ(raw_recv_line(v4), "four from 127.0.0.1\n");

    if (!ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback here";
    Fd v6(raw_connect6(echo.port()));
    ASSERT_GE(v6, 0);
    raw_send(v6, "six\n");
    EXPECT_EQ(raw_recv_line(v6), "six from ::1\n");
}

// A handful of sources cannot take every thread: each may take one more
// while it holds fewer than are free, so three busy sources leave threads
// for a fourth.
TEST(Listener, AHandfulOfSourcesLeaveThreadsForANewcomer)
{
    EchoListener echo(limits(5000, 100), 8, /*gated=*/true);
    std::vector<Fd> fds;
    for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        for (int i = 0; i < 8; ++i) {
            fds.emplace_back(raw_connect_from(from, echo.port()));
            raw_send(fds.back(), "hi\n");
        }
        // In order, so that the shares are as the rule makes them: 4 of 8,
        // then 2 of the 4 left, then 1 of 2.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_TRUE(wait_until([&] { return echo.serving() == 7; }, 2000)) << echo.serving();
    EXPECT_EQ(echo.waiting(), 17u);
    Fd newcomer(raw_connect_from("127.0.0.5", echo.port()));
    raw_send(newcomer, "me\n");
    ASSERT_TRUE(wait_until([&] { return echo.serving() == 8; }, 2000));
    echo.open_gate();
    EXPECT_EQ(raw_recv_line(newcomer), "me from 127.0.0.5\n");
}

// A full pool: a connection that waits for a thread ends the oldest
// unauthenticated session of the source that holds the most (its owner
// marked it evictable), once, and takes its thread.
TEST(Listener, AFullPoolEndsAHeavierSourcesUnauthenticatedSession)
{
    EchoListener echo(limits(5000, 100), 4, /*gated=*/true, /*evictable=*/true);
    std::vector<Fd> fds;
    for (const char *from : {"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        fds.emplace_back(raw_connect_from(from, echo.port()));
        raw_send(fds.back(), "hi\n");
        ASSERT_TRUE(wait_until([&] { return echo.serving() == static_cast<int>(fds.size()); }, 2000)) << from;
    }
    Fd newcomer(raw_connect_from("127.0.0.5", echo.port()));
    raw_send(newcomer, "me\n");
    EXPECT_TRUE(raw_wait_closed(fds[0], 2000)) << "127.0.0.2's oldest makes way";
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(raw_wait_closed(fds[static_cast<std::size_t>(i)], 100)) << i;
    echo.open_gate();
    EXPECT_EQ(raw_recv_line(newcomer), "me from 127.0.0.5\n");
}

