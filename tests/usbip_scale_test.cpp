// Thousands of idle connections from other hosts (127.0.0.2 and up) cost
// the server and the relay no thread each, and lock out nobody: the
// library's own client, from 127.0.0.1, is served within a second. And a
// process at its descriptor limit: raised at start, and a listener out of
// descriptors keeps the connection it has just accepted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "platform/threads.h"
#include "test_support.h"
#include "usbip_line_io.h"
#include "usbip_listener.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIdle = 2000;
constexpr int kThreadCeiling = 512;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Both ends of every connection live in this process.
bool enough_descriptors()
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 3 * kIdle && lim.rlim_max >= 3 * kIdle) {
        lim.rlim_cur = 3 * kIdle;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    return lim.rlim_cur >= 3 * kIdle;
}

// kIdle connections, 25 from each of 80 hosts, that never say anything.
std::vector<Fd> open_idle(int port)
{
    std::vector<Fd> idle;
    for (int i = 0; i < kIdle; ++i) {
        std::string from = "127.0." + std::to_string(2 + i / 25 / 250) + "." + std::to_string(2 + (i / 25) % 250);
        idle.emplace_back(raw_connect_from(from.c_str(), port));
        EXPECT_GE(idle.back(), 0) << from;
    }
    return idle;
}

// The host's list, from 127.0.0.1, is served at once; the idle connections
// hold far fewer threads than the ceiling.
void expect_served_quickly(const std::function<const char *()> &list, int threads_before)
{
    auto t0 = Clock::now();
    const char *json = list();
    EXPECT_STREQ(json ? json : usbip_last_error(), "[]");
    EXPECT_LT(seconds_since(t0), 1.0);
    int threads = process_thread_count() - threads_before;
    EXPECT_LT(threads, kThreadCeiling);
    std::printf("threads with %d idle connections: %d\n", kIdle, threads);
}

}  // namespace

TEST(Scale, IdleConnectionsToTheServer)
{
    ASSERT_TRUE(enough_descriptors()) << "needs " << 3 * kIdle << " descriptors";
    ASSERT_EQ(usbip_init(), 0);
    int threads_before = process_thread_count();
    int port = free_port();
    ASSERT_EQ(usbip_server_start(port, "pw", 0), 0) << usbip_last_error();
    std::vector<Fd> idle = open_idle(port);
    // Every one of them is greeted, and still open.
    EXPECT_EQ(raw_recv_n(idle.front(), 36).size(), 36u);
    EXPECT_EQ(raw_recv_n(idle.back(), 36).size(), 36u);

    expect_served_quickly([port] { return usbip_client_list_remote("127.0.0.1", port, "pw", 0); }, threads_before);
    usbip_server_stop();
    usbip_cleanup();
}

TEST(Scale, IdleConnectionsToTheRelay)
{
    ASSERT_TRUE(enough_descriptors()) << "needs " << 3 * kIdle << " descriptors";
    ASSERT_EQ(usbip_init(), 0);
    int threads_before = process_thread_count();
    LibraryRelay relay;
    int server_port = free_port();
    ASSERT_EQ(usbip_server_start(server_port, nullptr, 0), 0) << usbip_last_error();
    const char *code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
    ASSERT_NE(code, nullptr) << usbip_last_error();
    std::string saved = code;
    std::vector<Fd> idle = open_idle(relay.port());

    expect_served_quickly(
        [&] { return usbip_client_list_by_code("127.0.0.1", relay.port(), saved.c_str(), nullptr); }, threads_before);
    usbip_server_stop();
    usbip_relay_stop();
    usbip_cleanup();
}

// A start raises the soft limit to the hard one, as a service started with
// systemd's default of 1,024 needs.
TEST(Descriptors, TheSoftLimitIsRaisedToTheHardOne)
{
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_GT(saved.rlim_max, 1024u);
    rlimit low = saved;
    low.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    ASSERT_EQ(usbip_init(), 0);
    int port = free_port();
    ASSERT_EQ(usbip_server_start(port, nullptr, 0), 0) << usbip_last_error();
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    usbip_server_stop();
    usbip_cleanup();
    setrlimit(RLIMIT_NOFILE, &saved);
}

namespace {

// Fills every gap among this process's descriptors (with descriptors of
// /dev/null kept in `fillers`) and returns the lowest free number: every
// number below it is in use.
int fill_descriptor_gaps(std::vector<Fd> &fillers)
{
    int highest = 0;
    for (int fd = 0; fd < 65536; ++fd)
        if (fcntl(fd, F_GETFD) != -1) highest = fd;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fd > highest) {
            if (fd >= 0) close(fd);
            return highest + 1;
        }
        fillers.emplace_back(fd);
    }
}

}  // namespace

// Out of descriptors, accept() fails even when no connection waits, right
// after a successful accept. The connection just accepted (the only one
// waiting) is not the one that makes room: it stays and is served once a
// thread is free.
TEST(Descriptors, AtTheLimitTheNewConnectionStays)
{
    plat::WorkerPool pool(6);
    usbip_listener listener;
    std::mutex gate_mutex;
    std::condition_variable gate_cv;
    bool open_gate = false;
    std::atomic<int> serving{0};
    usbip_listener_hooks hooks;
    hooks.admit = [](usbip_pending &) { return true; };
    hooks.serve = [&](usbip_pending &p) {
        ++serving;
        {
            std::unique_lock<std::mutex> lock(gate_mutex);
            gate_cv.wait(lock, [&] { return open_gate; });
        }
        char line[64];
        if (usbip_read_line(p.socket.get(), line, sizeof line, 2000) >= 0)
            usbip_send_line(p.socket.get(), std::string(line) + " from " + p.peer.text() + "\n");
    };
    usbip_listener_limits limits;
    int port = 0;
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
        int p = free_port();
        if (listener.start(p, "test", "test: no thread", limits, pool, hooks)) port = p;
    }
    ASSERT_NE(port, 0);
    std::vector<Fd> served;
    for (int i = 0; i < 6; ++i) {
        served.emplace_back(raw_connect_from(("127.0.0." + std::to_string(10 + i)).c_str(), port));
        raw_send(served.back(), "hi\n");
    }
    ASSERT_TRUE(wait_until([&] { return serving == 6; }, 2000));
    // The newcomer's socket exists before the limit tightens, so that the one
    // descriptor left is the one its accept takes.
    Fd newcomer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(newcomer, 0);
    set_socket_timeouts(newcomer, 5000);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.3", &from.sin_addr);
    ASSERT_EQ(bind(newcomer, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
    // No thread starts or ends while the limit is tight (the pool's six are
    // busy; the gate's thread starts first and lifts the limit before it
    // ends): a sanitizer's runtime may want descriptors of its own then.
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    std::thread gate([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // accept() has failed by now
        setrlimit(RLIMIT_NOFILE, &saved);
        std::lock_guard<std::mutex> lock(gate_mutex);
        open_gate = true;
        gate_cv.notify_all();
    });
    std::vector<Fd> fillers;
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(fill_descriptor_gaps(fillers) + 1);
    const bool tightened = setrlimit(RLIMIT_NOFILE, &tight) == 0;  // (no ASSERT: the gate must be joined)
    EXPECT_TRUE(tightened);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    std::string answer;
    if (tightened && connect(newcomer, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 && raw_send(newcomer, "me\n"))
        answer = raw_recv_line(newcomer);
    gate.join();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(answer, "me from 127.0.0.3\n");
    for (Fd &fd : served) EXPECT_EQ(raw_recv_line(fd).rfind("hi from", 0), 0u);
    listener.stop();
    pool.wake_all();
    pool.join_all();
}
