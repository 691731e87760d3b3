// The forwarding path against a real kernel: Debian's own kernel, booted in
// QEMU (guest_vm.h), attaches the emulated URB device (support/urb_device.h)
// that `halvoren-usbip serve --forward` shares from this process, through
// its vhci-hcd, and uses it as any USB device: the kernel enumerates it, a
// program of the guest echoes bulk data and cancels a URB through usbfs
// (guest_usb_check.cpp), and the device is detached and released here.
//
// Each way of attaching is a row of kWays; the guest stays up for all of
// them. The guest has no network device: its loopback ports for the server
// and the relay are tunnelled to the same ports of this machine's loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "guest_vm.h"
#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"

namespace {

constexpr const char *kPassword = "kernel-test-password";
constexpr const char *kProduct = "URB Echo Device";

// Where the guest finds the server.
struct Where {
    int port = 0;        // the server's, on both loopbacks
    int relay_port = 0;  // the relay's
    std::string code;    // the server's pairing code at the relay
    std::string fingerprint;  // the server's TLS key, as it printed it (with --tls)
};

// One way to attach the device in the guest. A way that needs a step of
// its own (a server that restarts under an attach that persists) gets a
// field here and the step in attach_use_detach.
struct Way {
    const char *name;
    std::vector<std::string> serve_options;  // beyond --port, --share 1-4 and --forward
    bool by_code;                            // the server registers with the relay
    // The guest's command line that attaches the device.
    std::function<std::string(const Where &)> attach;
    // The attaching command stays in the foreground and carries the traffic
    // (until SIGTERM, which detaches, or until the kernel lets go); otherwise
    // it ends once the kernel has the connection.
    bool stays;
    // The guest's command line that detaches vhci-hcd's port; none: SIGTERM
    // to the attaching command that stays.
    std::function<std::string(int vhci_port)> detach;
    // The server restarts under the attached device, which the attaching
    // command (--persist) attaches again.
    bool server_restarts = false;
};

std::string cli_detach(int port) { return "halvoren-usbip detach --port " + std::to_string(port); }

const std::vector<Way> kWays = {
    {"the command line, directly",
     {},
     false,
     [](const Where &w) { return "halvoren-usbip attach 127.0.0.1:" + std::to_string(w.port) + " --busid 1-4"; },
     false,
     cli_detach},
    {"Debian's usbip tool",
     {"--stock-clients"},
     false,
     [](const Where &w) { return "usbip --tcp-port " + std::to_string(w.port) + " attach -r 127.0.0.1 -b 1-4"; },
     false,
     [](int port) { return "usbip detach -p " + std::to_string(port); }},
    {"the command line, in TLS with a password",
     {"--tls", "--password-file", "PASSWORD_FILE"},
     false,
     [](const Where &w) {
         return "halvoren-usbip attach 127.0.0.1:" + std::to_string(w.port) +
                " --tls --fingerprint " + w.fingerprint + " --busid 1-4 --password-file /tmp/password";
     },
     true,
     nullptr},
    {"the command line, in TLS, detached by `detach`",
     {"--tls"},
     false,
     [](const Where &w) {
         return "halvoren-usbip attach 127.0.0.1:" + std::to_string(w.port) + " --tls --fingerprint " + w.fingerprint +
                " --busid 1-4";
     },
     true,
     cli_detach},
    {"the command line, by code through the relay",
     {},
     true,
     [](const Where &w) {
         return "halvoren-usbip attach --relay 127.0.0.1:" + std::to_string(w.relay_port) + " --code " + w.code +
                " --busid 1-4";
     },
     false,
     cli_detach},
    // With a password the secure exchange encrypts the relayed stream end
    // to end, so the command stays and carries it, as with TLS.
    {"the command line, by code through the relay, with a password",
     {"--password-file", "PASSWORD_FILE"},
     true,
     [](const Where &w) {
         return "halvoren-usbip attach --relay 127.0.0.1:" + std::to_string(w.relay_port) + " --code " + w.code +
                " --busid 1-4 --password-file /tmp/password";
     },
     true,
     nullptr},
    {"the command line, --persist, across a server restart",
     {},
     false,
     [](const Where &w) {
         return "halvoren-usbip attach 127.0.0.1:" + std::to_string(w.port) + " --busid 1-4 --persist";
     },
     true,
     nullptr,
     true},
};

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The guest's command that waits (at most `ms`) until FILE has a line
// matching the extended regular expression PATTERN, then shows FILE.
std::string wait_in_file(const std::string &file, const std::string &pattern, int ms)
{
    return "i=0; while ! grep -qE '" + pattern + "' " + file + " 2>/dev/null && [ $i -lt " + std::to_string(ms / 100) +
           " ]; do sleep 0.1; i=$((i+1)); done; cat " + file;
}

class Kernel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
        dev_ = std::make_unique<UrbDevice>(bed_, 4);
        ASSERT_EQ(usbip_init(), 0);
        password_file_ = make_temp_dir() + "/password";
        std::ofstream(password_file_) << kPassword << "\n";
    }
    void TearDown() override
    {
        if (HasFailure() && vm_) {
            if (vm_->ready())
                std::printf("--- the guest's dmesg:\n%s---\n", vm_->run("dmesg | tail -n 60", 10000).output.c_str());
            std::printf("--- the guest's console:\n%s---\n", vm_->console().c_str());
        }
        vm_.reset();
        relay_.reset();
        usbip_cleanup();
        run_command("rm -rf \"$(dirname '" + password_file_ + "')\"");
    }

    // Runs a command in the guest and expects it to succeed.
    std::string guest(const std::string &command, int ms = 30000)
    {
        GuestVm::Result r = vm_->run(command, ms);
        EXPECT_TRUE(r.done && r.status == 0) << command << "\n" << r.output << (r.done ? "" : vm_->failure());
        return r.output;
    }

    std::unique_ptr<ChildProcess> serve(const Way &way, Where *where)
    {
        std::vector<std::string> argv = {CLI_PATH, "serve", "--port", std::to_string(where->port), "--share", "1-4",
                                         "--forward"};
        for (const std::string &o : way.serve_options) argv.push_back(o == "PASSWORD_FILE" ? password_file_ : o);
        if (way.by_code) argv.insert(argv.end(), {"--relay", "127.0.0.1:" + std::to_string(where->relay_port)});
        auto server = std::make_unique<ChildProcess>(argv);
        if (server->wait_for("Serving 1 device\\(s\\) on port " + std::to_string(where->port)).empty()) return nullptr;
        if (way.by_code && (where->code = server->wait_for("Pairing code: ([A-Z0-9]+)")).empty()) return nullptr;
        for (const std::string &o : way.serve_options)
            if (o == "--tls" &&
                (where->fingerprint = server->wait_for("TLS key fingerprint \\(SHA-256\\): ([0-9a-f]{64})")).empty())
                return nullptr;
        return server;
    }

    // The vhci-hcd port the device is attached at, as the command line's
    // `port` reads it from the kernel once the kernel has enumerated the
    // device (it shows "being attached" until then); -1 when none or several.
    int attached_port()
    {
        const std::string out = guest("i=0; while ! halvoren-usbip port | grep -q ': in use' && [ $i -lt 200 ]; do "
                                      "sleep 0.1; i=$((i+1)); done; halvoren-usbip port",
                                      30000);
        std::regex in_use("Port ([0-9]+): in use");
        int found = -1, count = 0;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), in_use); it != std::sregex_iterator(); ++it, ++count)
            found = std::stoi((*it)[1]);
        EXPECT_EQ(count, 1) << out;
        return count == 1 ? found : -1;
    }

    // The guest's checks on the attached device, with the host's side of the
    // cancelled URB: it must have reached the device before the guest
    // discards it, and be gone from the device after.
    void check_device_in_guest()
    {
        // The log goes first, here: the job makes it anew only when it starts.
        guest("rm -f /tmp/go /tmp/check.log; guest-usb-check 1209 0001 '" + std::string(kProduct) +
              "' /tmp/go >/tmp/check.log 2>&1 &");
        std::string log = guest(wait_in_file("/tmp/check.log", "^(READY|DONE)", 60000), 70000);
        if (log.find("READY") != std::string::npos) {
            EXPECT_TRUE(wait_until([&] { return dev_->waiting_interrupts() == 1; }, 10000))
                << "the guest's interrupt IN never reached the device";
            guest("touch /tmp/go");
            log = guest(wait_in_file("/tmp/check.log", "^DONE", 30000), 40000);
        }
        std::printf("%s", log.c_str());
        for (const char *check : {"enumeration", "bulk echo", "cancelled URB"})
            EXPECT_TRUE(std::regex_search(log, std::regex(std::string("(^|\n)PASS ") + check + ": ")))
                << check << "\n" << log;
        EXPECT_EQ(log.find("FAIL "), std::string::npos) << log;
        EXPECT_NE(log.find("DONE 0 check(s) failed"), std::string::npos) << log;
        EXPECT_EQ(dev_->waiting_interrupts(), 0) << "the unlink did not reach the device";
    }

    void attach_use_detach(const Way &way, Where where)
    {
        std::unique_ptr<ChildProcess> server = serve(way, &where);
        ASSERT_TRUE(server) << "the server did not start";
        dev_->clear_events();

        const std::string attach = way.attach(where);
        std::string said;
        if (way.stays) {
            guest("rm -f /tmp/attach.log; " + attach + " >/tmp/attach.log 2>&1 & echo $! >/tmp/attach.pid");
            said = guest(wait_in_file("/tmp/attach.log", "^Attached|halvoren-usbip:", 30000), 40000);
            ASSERT_NE(said.find("Attached 1-4 of "), std::string::npos) << said;
        } else {
            GuestVm::Result r = vm_->run(attach, 60000);
            ASSERT_TRUE(r.done && r.status == 0) << attach << "\n" << r.output;
            said = r.output;
        }
        EXPECT_TRUE(wait_until([&] { return dev_->claimed(0); }, 5000)) << "the server did not claim the device";
        int port = attached_port();
        ASSERT_GE(port, 0);
        // The port the command line said it took is the one the kernel uses.
        std::smatch m;
        if (std::regex_search(said, m, std::regex("at vhci-hcd port ([0-9]+) "))) {
            EXPECT_EQ(std::stoi(m[1]), port) << said;
        }
        if (way.server_restarts) {
            EXPECT_EQ(server->stop(SIGINT), 0);
            // The connection ends; the kernel frees the port, the command
            // says that the device is lost, and the server lets go of it.
            said = guest(wait_in_file("/tmp/attach.log", "^Lost ", 20000), 30000);
            EXPECT_NE(said.find("Lost 1-4 of 127.0.0.1:" + std::to_string(where.port) + " at vhci-hcd port " +
                                std::to_string(port) + ": "),
                      std::string::npos)
                << said;
            expect_released(*dev_);
            const auto restarted = std::chrono::steady_clock::now();
            server = serve(way, &where);
            ASSERT_TRUE(server) << "the server did not start again";
            said = guest("i=0; while [ $(grep -c '^Attached' /tmp/attach.log) -lt 2 ] && [ $i -lt 300 ]; do sleep 0.1; "
                         "i=$((i+1)); done; cat /tmp/attach.log",
                         40000);
            const auto first = said.find("Attached 1-4 of ");
            ASSERT_NE(said.find("Attached 1-4 of ", first + 1), std::string::npos) << said;
            std::printf("%sattached again %.1f s after the server restarted\n", said.c_str(), seconds_since(restarted));
            EXPECT_TRUE(wait_until([&] { return dev_->claimed(0); }, 5000)) << "the server did not claim it again";
            port = attached_port();
            ASSERT_GE(port, 0);
        }

        check_device_in_guest();

        if (!way.detach) {
            guest("kill -TERM $(cat /tmp/attach.pid)");
            const std::string log = guest(wait_in_file("/tmp/attach.log", "^Detached port", 10000), 20000);
            EXPECT_NE(log.find("Detached port " + std::to_string(port) + "."), std::string::npos) << log;
        } else {
            guest(way.detach(port));
            if (way.stays) {
                // The kernel let go of its socket: the command sees that.
                const std::string log = guest(wait_in_file("/tmp/attach.log", "^Port .* ended", 10000), 20000);
                EXPECT_NE(log.find("Port " + std::to_string(port) + " ended: the kernel let go of the device."),
                          std::string::npos)
                    << log;
            }
        }
        if (way.stays)
            guest("i=0; while kill -0 $(cat /tmp/attach.pid) 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; "
                  "i=$((i+1)); done; ! kill -0 $(cat /tmp/attach.pid) 2>/dev/null");
        // The kernel lets go of the port, and the server of the device.
        const std::string ports = guest(
            "i=0; while ! halvoren-usbip port | grep -q 'No devices attached' && [ $i -lt 100 ]; do sleep 0.1; "
            "i=$((i+1)); done; halvoren-usbip port");
        EXPECT_NE(ports.find("No devices attached"), std::string::npos) << ports;
        expect_released(*dev_);
        EXPECT_EQ(server->stop(SIGINT), 0);
    }

    Testbed bed_;
    std::unique_ptr<UrbDevice> dev_;
    std::unique_ptr<LibraryRelay> relay_;
    std::unique_ptr<GuestVm> vm_;
    std::string password_file_;
};

}  // namespace

// Debian's kernel attaches, enumerates, uses and detaches the device, four
// ways: the command line directly, Debian's usbip tool against a server for
// stock clients, the command line in TLS with a password (the command
// carries the traffic between the kernel's socket and TLS; Ctrl-C detaches,
// and so does `detach` from elsewhere, which ends the command), and the
// command line by code through the relay; and the command line with
// --persist attaches the device again after the server restarts.
TEST_F(Kernel, AttachFourWays)
{
    const auto start = std::chrono::steady_clock::now();
    relay_ = std::make_unique<LibraryRelay>();
    Where where;
    where.port = free_port();
    where.relay_port = relay_->port();

    GuestConfig config;
    config.image_dir = KERNEL_IMAGE_DIR;
    config.qemu = QEMU_PATH;
    config.tunnel_host = TUNNEL_HOST_PATH;
    config.ports = {where.port, where.relay_port};
    vm_ = std::make_unique<GuestVm>(config);
    ASSERT_TRUE(vm_->ready()) << vm_->failure();
    std::printf("Guest %s ready after %.1f s (server port %d, relay port %d)\n", vm_->release().c_str(),
                vm_->boot_seconds(), where.port, where.relay_port);
    guest("echo " + std::string(kPassword) + " >/tmp/password");

    for (const Way &way : kWays) {
        SCOPED_TRACE(way.name);
        const auto t = std::chrono::steady_clock::now();
        attach_use_detach(way, where);
        std::printf("%s: %.1f s\n", way.name, seconds_since(t));
        if (!vm_->ready()) break;
    }
    std::printf("The kernel test took %.1f s\n", seconds_since(start));
}
