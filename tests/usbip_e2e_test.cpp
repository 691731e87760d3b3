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

// A child process whose stdout is read line by line; killed on scope exit.
class Child {
public:
    explicit Child(const std::vector<std::string> &argv)
    {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char *> args;
            for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // Reads output until a line containing `marker` (at most timeout_ms).
    std::string wait_for(const std::string &marker, int timeout_ms = 10000)
    {
        std::string seen;
        auto deadline = plat::monotonic_ms() + timeout_ms;
        while (seen.find(marker) == std::string::npos && plat::monotonic_ms() < deadline) {
            if (plat::wait_readable(out_, 100) <= 0) continue;
            char buf[512];
            ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) break;
            seen.append(buf, static_cast<size_t>(n));
        }
        return seen;
    }
    // Sends SIGINT and returns the exit status (-1 if it did not end in time).
    int interrupt(int timeout_ms = 5000)
    {
        kill(pid_, SIGINT);
        for (int waited = 0; waited < timeout_ms; waited += 20) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            plat::sleep_ms(20);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

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
        Child server(argv);
        std::string banner = server.wait_for("Ctrl-C stops.");
        ASSERT_NE(banner.find("Serving 6 device(s) on port " + std::to_string(port)), std::string::npos) << banner;

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
        EXPECT_EQ(server.interrupt(), 0);  // Ctrl-C stops it cleanly
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
