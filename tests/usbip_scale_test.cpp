// Thousands of idle connections from other hosts (127.0.0.2 and up) cost
// the server and the relay no thread each, and lock out nobody: the
// library's own client, from 127.0.0.1, is served within a second.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"

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
