// End to end: the command-line host serving in one process and the library
// listing from another, and a process with more than 1,100 descriptors open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "halvoren_usbip.h"
#include "test_support.h"
#include "usbip_internal.h"

namespace {

struct Library {
    Library() { EXPECT_EQ(usbip_init(), 0); }
    ~Library() { usbip_cleanup(); }
};

}  // namespace

TEST(TwoProcesses, ServeInOneProcessListFromAnother)
{
    Library lib;
    struct Case {
        std::vector<std::string> options;
        const char *password;
        int tls;
    } cases[] = {
        {{"--password", "pw"}, "pw", 0},
        {{"--tls"}, nullptr, 1},
        {{"--tls", "--password", "pw"}, "pw", 1},
    };
    for (const auto &c : cases) {
        int port = free_port();
        std::vector<std::string> argv = {UMOCKDEV_RUN, "--device", DEMO_DEVICES, "--", CLI_PATH, "serve",
                                         "--port", std::to_string(port), "--share-all"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        ChildProcess server(argv);
        ASSERT_FALSE(server.wait_for("Serving 6 device\\(s\\) on port " + std::to_string(port) + " ").empty());

        const char *json = usbip_client_list_remote("127.0.0.1", port, c.password, c.tls);
        ASSERT_NE(json, nullptr) << usbip_last_error();
        auto list = nlohmann::json::parse(json);
        ASSERT_EQ(list.size(), 6u);
        EXPECT_EQ(list[0]["busid"], "2-2");
        EXPECT_EQ(list[0]["speed"], "super");
        const char *one = usbip_client_device_info("127.0.0.1", port, "1-3", c.password, c.tls);
        ASSERT_NE(one, nullptr) << usbip_last_error();
        EXPECT_EQ(nlohmann::json::parse(one)["speed"], "low");
        if (c.password) {
            EXPECT_EQ(usbip_client_list_remote("127.0.0.1", port, "nope", c.tls), nullptr);
            EXPECT_STREQ(usbip_last_error(), "Authentication rejected by server (invalid password)");
        }
        EXPECT_EQ(server.stop(SIGINT), 0);  // Ctrl-C stops it cleanly
    }
}

TEST(TwoProcesses, CommandLineClientAgainstLibraryServer)
{
    Library lib;
    int port = free_port();
    ASSERT_EQ(usbip_server_start(port, "pw", 0), 0);
    int status = 0;
    std::string out = run_command(std::string(CLI_PATH) + " remote 127.0.0.1:" + std::to_string(port) +
                                      " --password pw --json",
                                  &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "[]\n");
    out = run_command(std::string(CLI_PATH) + " remote 127.0.0.1:" + std::to_string(port) + " 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "halvoren-usbip: remote: Server requires password authentication but none was provided\n");
}

TEST(Descriptors, ServerAndClientWorkAboveDescriptor1023)
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 1400 && lim.rlim_max >= 1400) {
        lim.rlim_cur = 1400;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    ASSERT_GE(lim.rlim_cur, 1400u) << "cannot open enough descriptors";
    std::vector<int> filler;
    for (int i = 0; i < 1100; ++i) filler.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_GT(filler.back(), 1100);

    Library lib;
    int port = free_port();
    ASSERT_EQ(usbip_server_start(port, "pw", 0), 0);
    for (int round = 0; round < 3; ++round) {
        const char *json = usbip_client_list_remote("127.0.0.1", port, "pw", 0);
        ASSERT_NE(json, nullptr) << usbip_last_error();
        EXPECT_STREQ(json, "[]");
    }
    usbip_server_stop();
    for (int fd : filler) close(fd);
}
