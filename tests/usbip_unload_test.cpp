// A host loads the library, runs a server, a relay and their connections,
// calls usbip_cleanup and unloads the library: no thread of the library
// may be left to run code that is gone, and a thread of the host that used
// the library may end after the unload.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

template <typename F>
F symbol(void *lib, const char *name)
{
    void *p = library_symbol(lib, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<F>(p);
}

}  // namespace

TEST(Unload, CleanupLeavesNoThreadAndTheLibraryUnloads)
{
    int threads_before = process_thread_count();
    void *lib = load_library(LIBRARY_PATH);
    ASSERT_NE(lib, nullptr) << library_error();
    auto init = symbol<int (*)()>(lib, "usbip_init");
    auto cleanup = symbol<void (*)()>(lib, "usbip_cleanup");
    auto server_start = symbol<int (*)(int, const char *, int)>(lib, "usbip_server_start");
    auto relay_start = symbol<int (*)(int)>(lib, "usbip_relay_start");
    auto register_relay = symbol<const char *(*)(const char *, int, const char *)>(lib, "usbip_server_register_relay");
    auto list_by_code = symbol<const char *(*)(const char *, int, const char *, const char *)>(lib, "usbip_client_list_by_code");
    auto list_remote = symbol<const char *(*)(const char *, int, const char *, int)>(lib, "usbip_client_list_remote");
    auto list_local = symbol<const char *(*)()>(lib, "usbip_list_local_devices");
    auto last_error = symbol<const char *(*)()>(lib, "usbip_last_error");

    ASSERT_EQ(init(), 0);
    int server_port = free_port(), relay_port = free_port();
    ASSERT_EQ(server_start(server_port, nullptr, 0), 0) << last_error();
    ASSERT_EQ(relay_start(relay_port), 0) << last_error();
    const char *code = register_relay("127.0.0.1", relay_port, nullptr);
    ASSERT_NE(code, nullptr) << last_error();
    std::string saved_code = code;
    ASSERT_NE(list_by_code("127.0.0.1", relay_port, saved_code.c_str(), nullptr), nullptr) << last_error();

    // A thread of the host that fills its own result and error texts in the
    // library, and ends only after the library is gone.
    std::promise<void> used, unloaded;
    std::thread host_thread([&, done = unloaded.get_future()] {
        list_local();
        list_remote("127.0.0.1", server_port, nullptr, 0);
        list_remote("127.0.0.1", free_port(), nullptr, 0);  // fails: a message
        used.set_value();
        done.wait();
    });
    used.get_future().wait();

    // Connections in every state: silent sessions, a relay connection that
    // never sends its first line, a pairing that waits for a server that
    // never attaches, and a bridged pairing.
    std::vector<int> idle = {raw_connect(server_port), raw_connect(server_port), raw_connect(relay_port)};
    int control = raw_connect(relay_port);
    raw_send(control, "REGISTER \n");
    std::string silent_code = raw_recv_line(control).substr(5, 6);
    int waiting = raw_connect(relay_port);
    raw_send(waiting, "CONNECT " + silent_code + "\n");
    int bridged = raw_connect(relay_port);
    raw_send(bridged, "CONNECT " + saved_code + "\n");
    EXPECT_EQ(raw_recv_line(bridged), "OK\n");
    // The waiting pairing has asked for its server.
    EXPECT_EQ(raw_recv_line(control).rfind("DISPATCH ", 0), 0u);

    cleanup();
    EXPECT_EQ(process_thread_count(), threads_before + 1);  // the host's thread
    ASSERT_TRUE(unload_library(lib)) << library_error();
    unloaded.set_value();
    host_thread.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a straggler would crash here
    EXPECT_EQ(process_thread_count(), threads_before);
    for (int fd : idle) EXPECT_TRUE(raw_wait_closed(fd, 1000));
    for (int fd : {control, waiting, bridged}) EXPECT_TRUE(raw_wait_closed(fd, 1000));
    for (int fd : idle) raw_close(fd);
    for (int fd : {control, waiting, bridged}) raw_close(fd);
}

// A host that leaves without usbip_cleanup, while everything runs, ends at
// once with status 0: no thread of the library is destroyed or waited for
// at exit, and an unload without cleanup leaves the code in place for the
// threads that still run.
TEST(Unload, HostThatExitsWithoutCleanupEndsAtOnce)
{
    for (const char *mode : {"exit", "unload"}) {
        auto t0 = std::chrono::steady_clock::now();
        int status = -1;
        run_command(std::string(EXIT_HOST_PATH) + " " + LIBRARY_PATH + " " + mode + " " + std::to_string(free_port()) +
                        " " + std::to_string(free_port()),
                    &status);
        double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(status, 0) << mode;
        EXPECT_LT(spent, 5.0) << mode;
    }
}

// The same with a device forwarded, a URB waiting in it: the session's
// thread and libusb's event thread are still running when the host goes.
// The host's emulated device needs a launcher on Linux (umockdev-wrapper);
// on Windows it is the stand-in libusb-1.0.dll beside the host.
TEST(Unload, HostThatExitsWhileForwardingEndsAtOnce)
{
    for (const char *mode : {"exit", "unload"}) {
        auto t0 = std::chrono::steady_clock::now();
        int status = -1;
        std::string out = run_command(std::string(FORWARDING_LAUNCHER) + " " + EXIT_HOST_PATH + " " + LIBRARY_PATH +
                                          " " + mode + " " + std::to_string(free_port()) + " " +
                                          std::to_string(free_port()) + " forward 2>&1",
                                      &status);
        double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(status, 0) << mode << ": " << out;
        EXPECT_LT(spent, 5.0) << mode;
    }
}
