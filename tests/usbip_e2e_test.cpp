// End to end: the command-line host serving in one process and the library
// listing from another, and a process with more than 1,100 descriptors open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <memory>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "halvoren_usbip.h"
#include "test_support.h"

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

// remote --tls trusts a server's key once: not without being told (there
// is no terminal to ask on here), then remembered in the known-hosts file
// and required from then on. serve --key-file keeps the key across
// restarts; a server that comes back with another key is refused.
TEST(CommandLine, KnownHostsTrustAKeyOnceAndRefuseAChangedOne)
{
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    const std::string known = dir + "/known_hosts", key = dir + "/server.key";
    const int port = free_port();
    const std::string name = "127.0.0.1:" + std::to_string(port);
    std::string fingerprint;
    auto serve = [&](bool keep_key) {
        std::vector<std::string> argv = {CLI_PATH, "serve", "--port", std::to_string(port), "--tls"};
        if (keep_key) argv.insert(argv.end(), {"--key-file", key});
        auto server = std::make_unique<ChildProcess>(argv);
        EXPECT_FALSE(server->wait_for("Serving 0 device\\(s\\) on port ").empty());
        fingerprint = server->wait_for("TLS key fingerprint \\(SHA-256\\): ([0-9a-f]{64})");
        return server;
    };
    auto remote = [&](const std::string &options, int *status) {
        return run_command(std::string(CLI_PATH) + " remote " + name + " --tls --json " + options + " </dev/null 2>&1",
                           status);
    };
    int status = 0;
    auto server = serve(true);
    const std::string first = fingerprint;
    EXPECT_EQ(remote("--known-hosts " + known, &status),
              "halvoren-usbip: remote: the TLS key of " + name + " is not known (SHA-256 fingerprint " + first +
                  "): compare it with what the server prints, then run again with --accept-new-key, or with "
                  "--fingerprint " + first + "\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(run_command("cat " + known + " 2>/dev/null"), "") << "nothing remembered";
    EXPECT_EQ(remote("--known-hosts " + known + " --accept-new-key", &status),
              "Trusting the TLS key of " + name + " (SHA-256 fingerprint " + first + ").\n[]\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run_command("cat " + known), name + " " + first + "\n");
    EXPECT_EQ(remote("--known-hosts " + known, &status), "[]\n");
    EXPECT_EQ(status, 0);

    EXPECT_EQ(server->stop(SIGINT), 0);
    server = serve(true);
    EXPECT_EQ(fingerprint, first) << "the key file keeps the key";
    EXPECT_EQ(remote("--known-hosts " + known, &status), "[]\n");
    EXPECT_EQ(status, 0);

    EXPECT_EQ(server->stop(SIGINT), 0);
    server = serve(false);
    const std::string changed = fingerprint;
    ASSERT_NE(changed, first);
    EXPECT_EQ(remote("--known-hosts " + known + " --accept-new-key", &status),
              "halvoren-usbip: remote: Server key " + changed + " does not match the pinned fingerprint " + first +
                  "\n  The server's TLS key is not the one trusted before (in the known-hosts file, or given with "
                  "--fingerprint): someone may be posing as the server. If its operator replaced the key on purpose, "
                  "remove the server's line from the known-hosts file.\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(remote("--fingerprint " + changed, &status), "[]\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(server->stop(SIGINT), 0);
}

// With a password, remote requires the secure exchange: a server that does
// not offer it gets nothing (no proof to test offline) unless the person
// allows older servers.
TEST(CommandLine, WithAPasswordTheServerMustOfferTheSecureExchange)
{
    for (bool allow : {false, true}) {
        Listener older;
        std::string sent;
        std::thread server([&] {
            Fd fd(older.accept_one());
            raw_send(fd, be32(1) + std::string(32, 'c'));
            sent = raw_recv_n(fd, 32);
            if (sent.empty()) return;
            raw_send(fd, be32(0));
            raw_recv_n(fd, 8);
            raw_send(fd, reply_header(0x0005, 0) + be32(0));
        });
        int status = 0;
        std::string out = run_command(std::string(CLI_PATH) + " remote 127.0.0.1:" + std::to_string(older.port()) +
                                          " --password pw --json" + (allow ? " --allow-insecure" : "") + " 2>&1",
                                      &status);
        server.join();
        if (allow) {
            EXPECT_EQ(out, "[]\n");
            EXPECT_EQ(status, 0);
            EXPECT_EQ(sent.size(), 32u);
        } else {
            EXPECT_EQ(out, "halvoren-usbip: remote: Server does not offer the secure password exchange\n  The server "
                           "is an older version, or someone on the way removed its offer. --allow-insecure talks to it "
                           "anyway: it then does not prove the password, and whoever records the conversation can test "
                           "passwords offline.\n");
            EXPECT_EQ(status, 1);
            EXPECT_EQ(sent, "");
        }
    }
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

// A peer's text (a relay's answer, a remote bus id) may hold escape
// sequences; the command-line host shows them as text instead of sending
// them to the terminal.
TEST(CommandLine, PeerTextReachesTheTerminalEscaped)
{
    const std::string hostile = "\x1b]0;owned\x07 \x9b" "31m \xc2\x9b \xe2\x82\xac\x7f";
    const std::string shown = "\\x1b]0;owned\\x07 \\x9b31m \\u009b \xe2\x82\xac\\x7f";
    {
        Listener relay;
        std::thread peer([&] {
            Fd fd(relay.accept_one());
            raw_recv_line(fd);
            raw_send(fd, "ERROR " + hostile + "\n");
        });
        int status = 0;
        std::string out = run_command(std::string(CLI_PATH) + " remote --relay 127.0.0.1:" +
                                          std::to_string(relay.port()) + " --code ABCDEF 2>&1",
                                      &status);
        peer.join();
        EXPECT_EQ(status, 1);
        EXPECT_EQ(out, "halvoren-usbip: remote: Relay returned: ERROR " + shown + "\n");
    }
    {
        Listener server;
        std::thread peer([&] {
            Fd fd(server.accept_one());
            if (!raw_server_handshake(fd, 0)) return;
            raw_recv_n(fd, 8);
            raw_send(fd, reply_header(0x0005, 0) + be32(1) + raw_block("1-" + hostile.substr(0, 20), 2, 3, 1) +
                             std::string{3, 0, 0, 0});
        });
        int status = 0;
        std::string out = run_command(std::string(CLI_PATH) + " remote 127.0.0.1:" + std::to_string(server.port()),
                                      &status);
        peer.join();
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        EXPECT_NE(out.find("1-\\x1b]0;~ "), std::string::npos) << out;
    }
}
