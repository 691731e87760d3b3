// The command-line host's forwarding, as processes: `serve --forward`,
// `remote --descriptors`, and on Linux `attach`, `detach` and `port` against
// a vhci-hcd tree that the test makes (no kernel module here).
//
// The emulated device (support/urb_device.h) lives in this process, under
// umockdev-wrapper; the host's processes inherit the emulation, and their
// usbfs requests reach the device here through umockdev's socket. So a
// serving host claims, and moves the traffic of, a device that answers
// real URBs, and this test sees what reached the device.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_protocol.h"

namespace {

enum class Path { direct, tls, relay };

const char *path_name(Path p)
{
    return p == Path::direct ? "directly" : p == Path::tls ? "in TLS" : "by code";
}

std::string cli() { return CLI_PATH; }

// The bytes of every "bytes" field of a descriptor dump, one entry per
// descriptor (device, then each configuration), as the host printed them.
std::vector<Bytes> dumped_bytes(const std::string &out)
{
    std::vector<Bytes> all;
    std::istringstream in(out);
    std::string line;
    bool in_bytes = false;
    while (std::getline(in, line)) {
        const bool first = line.rfind("  bytes ", 0) == 0;
        const bool more = in_bytes && line.size() > 23 && line.find_first_not_of(' ') == 23;
        in_bytes = first || more;
        if (!in_bytes) continue;
        if (first) all.emplace_back();
        std::istringstream hexes(line.substr(23));
        std::string h;
        while (hexes >> h) all.back().push_back(static_cast<std::uint8_t>(std::stoul(h, nullptr, 16)));
    }
    return all;
}

class CliForward : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
        dev_ = std::make_unique<UrbDevice>(bed_, 4);
        ASSERT_EQ(usbip_init(), 0);
    }
    void TearDown() override
    {
        usbip_server_set_forwarding(0);
        usbip_cleanup();
    }

    // `halvoren-usbip serve --forward` sharing the device, for `path`.
    std::unique_ptr<ChildProcess> serve(Path path, std::vector<std::string> extra = {})
    {
        port_ = free_port();
        std::vector<std::string> argv = {cli(), "serve", "--port", std::to_string(port_), "--share", "1-4",
                                         "--forward"};
        if (path == Path::tls) argv.push_back("--tls");
        if (path == Path::relay) {
            if (!relay_) relay_ = std::make_unique<LibraryRelay>();
            argv.insert(argv.end(), {"--relay", "127.0.0.1:" + std::to_string(relay_->port())});
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto child = std::make_unique<ChildProcess>(argv);
        EXPECT_FALSE(child->wait_for("Serving 1 device\\(s\\) on port " + std::to_string(port_)).empty());
        if (path == Path::tls) fingerprint_ = child->wait_for("TLS key fingerprint \\(SHA-256\\): ([0-9a-f]{64})");
        if (path == Path::relay) code_ = child->wait_for("Pairing code: ([A-Z0-9]+)");
        return child;
    }

    // The words that name the server for a client command.
    std::string target(Path path) const
    {
        if (path == Path::relay) return "--relay 127.0.0.1:" + std::to_string(relay_->port()) + " --code " + code_;
        // In TLS the client pins the key that the server printed.
        return "127.0.0.1:" + std::to_string(port_) + (path == Path::tls ? " --tls --fingerprint " + fingerprint_ : "");
    }

    // A server of the library in this process, forwarding the device.
    int start_library_server(const char *password, int tls)
    {
        return start_library_server_at(free_port(), password, tls);
    }
    int start_library_server_at(int port, const char *password, int tls)
    {
        EXPECT_EQ(usbip_server_share("1-4"), 0) << usbip_last_error();
        EXPECT_EQ(usbip_server_set_forwarding(1), 1);
        EXPECT_EQ(usbip_server_start(port, password, tls), 0) << usbip_last_error();
        return port;
    }

    // Attaches with `argv` and checks that the host carries the traffic
    // through a socket pair until Ctrl-C.
    void attach_encrypted(std::vector<std::string> argv);

    Testbed bed_;
    std::unique_ptr<UrbDevice> dev_;
    std::unique_ptr<LibraryRelay> relay_;
    int port_ = 0;
    std::string code_;
    std::string fingerprint_;
};

}  // namespace

// `serve --forward` carries the device's traffic to this library's client,
// directly, in TLS and by code; Ctrl-C stops it cleanly.
TEST_F(CliForward, ServeForwardCarriesTheTraffic)
{
    for (Path path : {Path::direct, Path::tls, Path::relay}) {
        SCOPED_TRACE(path_name(path));
        std::unique_ptr<ChildProcess> server = serve(path);
        usbip_conn conn;
        const bool relay = path == Path::relay;
        ASSERT_TRUE(connect_by(
            conn, ServerRoute::to(port_, path == Path::tls, relay ? relay_->port() : 0, relay ? code_ : ""), nullptr));
        usbip_imported got;
        ASSERT_EQ(usbip_request_import(&conn, "1-4", &got), 0) << usbip_last_error();
        conn.deadline_ms = 0;
        UrbClient c(conn);
        check_descriptors(c);
        check_bulk_echo(c, 512 << 10, 4);
        usbip_conn_close(&conn);
        expect_released(*dev_);
        EXPECT_EQ(server->stop(SIGINT), 0);
    }
}

// `remote --busid ID --descriptors` reads the device's descriptors from the
// device, through a serving host, directly, in TLS and by code; the dump
// carries every byte as the device sent it.
TEST_F(CliForward, RemoteDescriptorsFromAServingHost)
{
    for (Path path : {Path::direct, Path::tls, Path::relay}) {
        SCOPED_TRACE(path_name(path));
        std::unique_ptr<ChildProcess> server = serve(path);
        int status = -1;
        std::string out = run_command(cli() + " remote " + target(path) + " --busid 1-4 --descriptors 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        for (const char *expected : {
                 "devid 0x00010001, high speed",
                 "  idVendor             0x1209\n",
                 "  idProduct            0x0001\n",
                 "  iManufacturer        1 Halvoren Test\n",
                 "  iProduct             2 URB Echo Device\n",
                 "  iSerialNumber        3 0001\n",
                 "Configuration 1 (71 bytes)\n",
                 "  bMaxPower            100 mA\n",
                 "  Interface 1, alternate setting 1: class 0xff (vendor specific), subclass 0x00, protocol 0x00, "
                 "2 endpoint(s)\n",
                 "    Endpoint 0x82 IN interrupt, max packet 64, interval 4\n",
                 "    Endpoint 0x03 OUT isochronous, max packet 1024, interval 1\n",
             })
            EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
        std::vector<Bytes> bytes = dumped_bytes(out);
        ASSERT_EQ(bytes.size(), 2u) << out;
        EXPECT_EQ(hex(bytes[0]), hex(UrbDevice::device_descriptor()));
        EXPECT_EQ(hex(bytes[1]), hex(UrbDevice::config_descriptor()));
        expect_released(*dev_);
        EXPECT_EQ(server->stop(SIGINT), 0);
    }
}

// What `remote --descriptors` says when it cannot: a device that another
// client forwards, and a server that does not forward.
TEST_F(CliForward, RemoteDescriptorsRefusals)
{
    ASSERT_EQ(usbip_server_share("1-4"), 0);
    int port = free_port();
    ASSERT_EQ(usbip_server_start(port, nullptr, 0), 0) << usbip_last_error();
    const std::string command = cli() + " remote 127.0.0.1:" + std::to_string(port) + " --busid 1-4 --descriptors 2>&1";
    int status = -1;
    std::string out = run_command(command, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out,
              "halvoren-usbip: remote: recv() failed or connection closed\n"
              "  The server ended the connection after granting the import: it may not forward devices (serve "
              "--forward).\n");

    EXPECT_EQ(usbip_server_set_forwarding(1), 1);
    usbip_conn holder;
    ASSERT_EQ(usbip_conn_connect_deadline(&holder, "127.0.0.1", port), 0);
    ASSERT_EQ(usbip_auth_handshake_client(&holder, nullptr), 0);
    usbip_imported got;
    ASSERT_EQ(usbip_request_import(&holder, "1-4", &got), 0) << usbip_last_error();
    out = run_command(command, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "halvoren-usbip: remote: Import of '1-4' refused (status 2): another client uses it\n");
}

// `serve --stock-clients` lets Debian's usbip tool list it; the option
// refuses a password.
TEST_F(CliForward, ServeForStockClients)
{
    int status = -1;
    std::string out = run_command(cli() + " serve --stock-clients --password pw 2>&1", &status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("--stock-clients works only without a password and without --tls"), std::string::npos) << out;

    const std::string tool = usbip_tool();
    if (tool.empty()) GTEST_SKIP() << "Debian's usbip tool is not installed (package usbip; scripts/deps.sh installs it)";
    std::unique_ptr<ChildProcess> server = serve(Path::direct, {"--stock-clients"});
    out = run_command("timeout 20 " + tool + " --tcp-port " + std::to_string(port_) + " list -r 127.0.0.1 2>&1",
                      &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("1-4: "), std::string::npos) << out;
    EXPECT_NE(out.find("(1209:0001)"), std::string::npos) << out;
    EXPECT_EQ(server->stop(SIGINT), 0);
}

// ---------------------------------------------------------------------------
// attach, detach and port against a vhci-hcd tree made here

namespace {

// ROOT/devices/platform/vhci_hcd.0 with status files for two controllers of
// two ports each (high speed and super speed), and attach and detach files.
class FakeVhci {
public:
    // The host's records of its ports go below the tree too (the host's
    // processes inherit the variable).
    FakeVhci()
    {
        char dir[] = "/tmp/usbip-vhci-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        root_ = dir;
        run_command("mkdir -p " + vhci());
        status({{0, 4, ""}, {1, 4, ""}, {2, 4, ""}, {3, 4, ""}});
        write("attach", "");
        write("detach", "");
        setenv("HALVOREN_USBIP_RUN_DIR", run_dir().c_str(), 1);
    }
    ~FakeVhci()
    {
        unsetenv("HALVOREN_USBIP_RUN_DIR");
        run_command("rm -rf " + root_);
    }
    FakeVhci(const FakeVhci &) = delete;
    FakeVhci &operator=(const FakeVhci &) = delete;

    struct Port {
        unsigned port;
        unsigned status;     // 4 free, 6 in use
        std::string in_use;  // "speed devid sockfd busid" of a port in use
    };
    // Ports 0, 1 on the first controller (hs 0, ss 1), 2, 3 on the second.
    void status(const std::vector<Port> &ports)
    {
        std::string text[2];
        for (const Port &p : ports) {
            char line[128];
            std::snprintf(line, sizeof line, "%s  %04u %03u %s\n", p.port % 2 == 0 ? "hs" : "ss", p.port, p.status,
                          p.in_use.empty() ? "000 00000000 000000 0-0" : p.in_use.c_str());
            text[p.port / 2] += line;
        }
        const char *head = "hub port sta spd dev      sockfd local_busid\n";
        // Whole files at once, as sysfs shows them: a host that watches the
        // ports never reads half of one.
        for (const char *name : {"status", "status.1"}) {
            write(std::string(name) + ".new", head + text[name[6] == '.' ? 1 : 0]);
            EXPECT_EQ(std::rename((vhci() + "/" + name + ".new").c_str(), (vhci() + "/" + name).c_str()), 0);
        }
    }
    void write(const std::string &name, const std::string &text)
    {
        std::ofstream(vhci() + "/" + name, std::ios::binary | std::ios::trunc) << text;
    }
    std::string read(const std::string &name)
    {
        std::ifstream in(vhci() + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    const std::string &root() const { return root_; }
    std::string vhci() const { return root_ + "/devices/platform/vhci_hcd.0"; }
    std::string run_dir() const { return root_ + "/run"; }
    // The host's record of a port; "" when it has none.
    std::string record(unsigned port) const
    {
        std::ifstream in(run_dir() + "/port-" + std::to_string(port), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string root_;
};

// A descriptor of another process, duplicated into this one (pidfd_getfd,
// Linux 5.6); -1 when the system does not allow it.
int grab_fd(int pid, int fd)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return -1;
    int mine = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
    int saved = errno;
    close(pidfd);
    errno = saved;
    return mine;
}

// The sockets a process holds now, by descriptor number.
std::vector<int> socket_fds(int pid)
{
    std::vector<int> out;
    std::string list = run_command("ls /proc/" + std::to_string(pid) + "/fd 2>/dev/null");
    std::istringstream in(list);
    int fd;
    while (in >> fd) {
        char target[256] = {};
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0)
            out.push_back(fd);
    }
    return out;
}

// True when the process has `path` open for writing only (as the host opens
// the attach file; a descriptor it inherited between fork and exec does not
// count).
bool writes_file(int pid, const std::string &path)
{
    std::istringstream list(run_command("ls -l /proc/" + std::to_string(pid) + "/fd 2>/dev/null"));
    for (std::string line; std::getline(list, line);)
        if (line.rfind("l-wx", 0) == 0 && line.size() >= path.size() &&
            line.compare(line.size() - path.size(), path.size(), path) == 0)
            return true;
    return false;
}

struct AttachLine {
    unsigned port = 0, fd = 0, devid = 0, speed = 0;
};

bool parse_attach(const std::string &text, AttachLine *out)
{
    std::istringstream in(text);
    return static_cast<bool>(in >> out->port >> out->fd >> out->devid >> out->speed);
}

// The kernel's side of attach, played by the test: the attach file is a
// pipe that is full, so the host's write waits there, with its socket still
// open, until the test has taken its sockets and reads the line.
class BlockedAttachFile {
public:
    explicit BlockedAttachFile(FakeVhci &vhci) : path_(vhci.vhci() + "/attach")
    {
        EXPECT_EQ(unlink(path_.c_str()), 0);
        EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
        pipe_ = Fd(open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        EXPECT_GE(pipe_, 0);
        fcntl(pipe_, F_SETPIPE_SZ, 4096);
        const std::string filler(4096, 'x');
        ssize_t n;
        while ((n = ::write(pipe_, filler.data(), filler.size())) > 0) filled_ += n;
    }

    // Waits until process `pid` writes the file and duplicates its sockets
    // into this process: its descriptor -> ours. False when the system does
    // not allow that (pidfd_getfd).
    bool take_sockets(int pid, std::map<int, int> *grabbed)
    {
        EXPECT_TRUE(wait_until([&] { return writes_file(pid, path_); }, 10000));
        for (int fd : socket_fds(pid)) {
            int mine = grab_fd(pid, fd);
            if (mine < 0) return false;
            (*grabbed)[fd] = mine;
        }
        return true;
    }

    // Lets the write through and returns the line written.
    std::string line()
    {
        std::string line;
        char buf[4096];
        while (line.find('\n') == std::string::npos) {
            if (plat::wait_readable(pipe_, 10000) != 1) break;
            ssize_t n = ::read(pipe_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i)
                if (filled_ > 0) --filled_;
                else line += buf[i];
        }
        return line;
    }

private:
    std::string path_;
    Fd pipe_;
    ssize_t filled_ = 0;
};

}  // namespace

// port lists what the kernel shows as attached; detach writes the port to
// the kernel, and only for a port in use; without vhci-hcd both say so.
TEST_F(CliForward, PortAndDetachReadAndWriteTheKernelsFiles)
{
    FakeVhci vhci;
    vhci.status({{0, 4, ""}, {1, 6, "005 00010001 000007 4-1"}, {2, 6, "003 00070009 000005 3-1"}, {3, 4, ""}});
    const std::string sysfs = " --sysfs " + vhci.root();
    int status = -1;
    EXPECT_EQ(run_command(cli() + " port" + sysfs + " 2>&1", &status),
              "Port 01: in use, super speed, devid 0x00010001 (bus 1, device 1), local bus id 4-1\n"
              "Port 02: in use, high speed, devid 0x00070009 (bus 7, device 9), local bus id 3-1\n");
    EXPECT_EQ(status, 0);
    // The environment names the tree as well as the option does.
    EXPECT_NE(run_command("HALVOREN_USBIP_SYSFS=" + vhci.root() + " " + cli() + " port").find("Port 02"),
              std::string::npos);

    EXPECT_EQ(run_command(cli() + " detach --port 2" + sysfs + " 2>&1", &status), "Detached port 2.\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(vhci.read("detach"), "2\n");
    EXPECT_EQ(run_command(cli() + " detach --port 3" + sysfs + " 2>&1", &status),
              "halvoren-usbip: detach: port 3 has no device attached\n");
    EXPECT_EQ(status, 1);

    vhci.status({{0, 4, ""}, {1, 4, ""}, {2, 4, ""}, {3, 4, ""}});
    EXPECT_EQ(run_command(cli() + " port" + sysfs, &status), "No devices attached (4 ports).\n");
    for (const char *command : {" port", " detach --port 1", " attach 127.0.0.1:1 --busid 1-4"}) {
        std::string out = run_command(cli() + command + " --sysfs /nonexistent 2>&1", &status);
        EXPECT_EQ(status, 1) << command;
        EXPECT_NE(out.find("vhci-hcd is not available: cannot read /nonexistent/devices/platform/vhci_hcd.0/status "
                           "(load it with 'modprobe vhci-hcd')"),
                  std::string::npos)
            << out;
    }
}

// attach imports the device and hands the very connection to the kernel
// when it runs in clear (no TLS, no password): the attach file gets the
// first free port of the device's speed, the socket's descriptor, the devid
// and the speed; the kernel's side of this test then speaks the URB phase
// on that socket (taken from the attaching process while it writes),
// directly and by code.
TEST_F(CliForward, AttachHandsTheImportedConnectionToTheKernel)
{
    int port = start_library_server(nullptr, 0);
    LibraryRelay relay;
    const char *code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
    ASSERT_NE(code, nullptr) << usbip_last_error();
    const std::string by_code = std::string("--relay 127.0.0.1:") + std::to_string(relay.port()) + " --code " + code;
    for (const std::string &where : {"127.0.0.1:" + std::to_string(port), by_code}) {
        SCOPED_TRACE(where);
        FakeVhci vhci;
        vhci.status({{0, 6, "003 00010002 000003 1-1"}, {1, 4, ""}, {2, 4, ""}, {3, 4, ""}});
        BlockedAttachFile attach_file(vhci);
        std::vector<std::string> argv = {cli(), "attach", "--busid", "1-4", "--sysfs", vhci.root()};
        std::istringstream words(where);
        for (std::string w; words >> w;) argv.push_back(w);
        ChildProcess attach(argv);
        std::map<int, int> grabbed;  // the host's descriptor -> ours
        if (!attach_file.take_sockets(static_cast<int>(attach.pid()), &grabbed))
            GTEST_SKIP() << "pidfd_getfd is not allowed here: " << std::strerror(errno);
        const std::string line = attach_file.line();
        const std::string from = where == by_code ? std::string("code ") + code + " at 127.0.0.1:" +
                                                        std::to_string(relay.port())
                                                  : where;
        EXPECT_EQ(attach.wait_for("Attached (.*)"),
                  "1-4 of " + from + " at vhci-hcd port 2 (devid 0x00010001, high speed).");
        EXPECT_EQ(attach.stop(0), 0);  // it has ended by itself
        AttachLine a;
        ASSERT_TRUE(parse_attach(line, &a)) << line;
        EXPECT_EQ(a.port, 2u);  // port 0 is in use, 1 is a super-speed port
        EXPECT_EQ(a.devid, 0x00010001u);
        EXPECT_EQ(a.speed, 3u);
        ASSERT_EQ(grabbed.count(static_cast<int>(a.fd)), 1u) << line;

        // port shows which server's device the port holds, once the kernel
        // shows the port in use with that devid and socket.
        char in_use[64];
        std::snprintf(in_use, sizeof in_use, "003 %08x %06u 3-1", a.devid, a.fd);
        vhci.status({{0, 6, "003 00010002 000003 1-1"}, {1, 4, ""}, {2, 6, in_use}, {3, 4, ""}});
        std::string shown = run_command(cli() + " port --sysfs " + vhci.root());
        EXPECT_NE(shown.find("Port 02: in use, high speed, devid 0x00010001 (bus 1, device 1), local bus id 3-1\n"
                             "         1-4 of " + from + ", attached 2"),
                  std::string::npos)
            << shown;
        EXPECT_EQ(shown.find("Port 00: in use, high speed, devid 0x00010002 (bus 1, device 2), local bus id 1-1\n "),
                  std::string::npos)
            << "a port that another program attached has no record";

        // The kernel's turn: the URB phase on the socket it was given.
        usbip_conn kernel(grabbed[static_cast<int>(a.fd)]);
        for (auto &entry : grabbed)
            if (entry.first != static_cast<int>(a.fd)) close(entry.second);
        UrbClient c(kernel);
        check_descriptors(c);
        usbip_conn_close(&kernel);
        expect_released(*dev_);

        // detach forgets the record.
        EXPECT_EQ(run_command(cli() + " detach -p 2 --sysfs " + vhci.root()), "Detached port 2.\n");
        EXPECT_EQ(vhci.record(2), "");
    }
}

// A server that does not forward ends the connection once it has granted
// the import: attach says so and exits 1, and the kernel gets nothing.
TEST_F(CliForward, AttachFailsWhenTheServerDoesNotForward)
{
    for (int tls : {0, 1}) {
        SCOPED_TRACE(tls ? "in TLS" : "directly");
        ASSERT_EQ(usbip_server_share("1-4"), 0);
        int port = free_port();
        ASSERT_EQ(usbip_server_start(port, nullptr, tls), 0) << usbip_last_error();
        FakeVhci vhci;
        int status = -1;
        // However busy the machine, the server's close comes within this.
        std::string out = run_command("HALVOREN_USBIP_ATTACH_SETTLE_MS=5000 " + cli() + " attach 127.0.0.1:" +
                                          std::to_string(port) + (tls ? std::string(" --tls --fingerprint ") + usbip_tls_key_fingerprint() : "") + " -b 1-4 --sysfs " +
                                          vhci.root() + " 2>&1",
                                      &status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(out, "halvoren-usbip: attach: the server ended the connection right after granting the import: it "
                       "may not forward devices (serve --forward)\n");
        EXPECT_EQ(vhci.read("attach"), "");
        EXPECT_EQ(vhci.record(0), "");
        usbip_server_stop();
    }
}

// A connection that ends as soon as the kernel has it (here the kernel's
// stand-in shuts it down): attach says so, exits 1, detaches the port and
// records nothing.
TEST_F(CliForward, AttachFailsWhenTheConnectionEndsAtOnce)
{
    int port = start_library_server(nullptr, 0);
    FakeVhci vhci;
    BlockedAttachFile attach_file(vhci);
    ChildProcess attach({cli(), "attach", "-r", "127.0.0.1:" + std::to_string(port), "-b", "1-4", "--sysfs",
                         vhci.root()});
    std::map<int, int> grabbed;
    if (!attach_file.take_sockets(static_cast<int>(attach.pid()), &grabbed))
        GTEST_SKIP() << "pidfd_getfd is not allowed here: " << std::strerror(errno);
    // The connection to the server ends before the host's write returns.
    int shut = 0;
    for (auto &entry : grabbed) {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (getpeername(entry.second, reinterpret_cast<sockaddr *>(&peer), &len) == 0 && peer.ss_family == AF_INET &&
            ntohs(reinterpret_cast<sockaddr_in *>(&peer)->sin_port) == port) {
            shutdown(entry.second, SHUT_RDWR);
            ++shut;
        }
        close(entry.second);
    }
    EXPECT_EQ(shut, 1);
    AttachLine a;
    const std::string line = attach_file.line();
    ASSERT_TRUE(parse_attach(line, &a)) << line;
    EXPECT_EQ(attach.wait_for("(.*ended.*)"),
              "halvoren-usbip: attach: the connection ended as soon as the kernel took it (the kernel's log may say "
              "why)");
    EXPECT_EQ(attach.stop(0), 1);
    EXPECT_EQ(vhci.read("detach"), std::to_string(a.port) + "\n");
    EXPECT_EQ(vhci.record(a.port), "");
    expect_released(*dev_);
}

// port shows a record only while the port holds what was recorded; a stale
// one (the kernel freed the port) is dropped.
TEST_F(CliForward, PortDropsStaleRecords)
{
    FakeVhci vhci;
    run_command("mkdir -p " + vhci.run_dir());
    std::ofstream(vhci.run_dir() + "/port-1")
        << R"({"port":1,"devid":"0x00010001","sockfd":7,"busid":"1-4","server":"127.0.0.1:3240","since":"x"})";
    std::ofstream(vhci.run_dir() + "/port-2")
        << R"({"port":2,"devid":"0x00010001","sockfd":8,"busid":"1-4","server":"127.0.0.1:3240","since":"x"})";
    vhci.status({{0, 4, ""}, {1, 6, "005 00010001 000007 4-1"}, {2, 4, ""}, {3, 4, ""}});
    EXPECT_EQ(run_command(cli() + " port --sysfs " + vhci.root()),
              "Port 01: in use, super speed, devid 0x00010001 (bus 1, device 1), local bus id 4-1\n"
              "         1-4 of 127.0.0.1:3240, attached x\n");
    EXPECT_NE(vhci.record(1), "");
    EXPECT_EQ(vhci.record(2), "");  // port 2 is free: its record was stale
    // Another device in port 1 now (another devid): the record goes too.
    vhci.status({{0, 4, ""}, {1, 6, "005 00010002 000007 4-1"}, {2, 4, ""}, {3, 4, ""}});
    EXPECT_EQ(run_command(cli() + " port --sysfs " + vhci.root()),
              "Port 01: in use, super speed, devid 0x00010002 (bus 1, device 2), local bus id 4-1\n");
    EXPECT_EQ(vhci.record(1), "");
}

// An encrypted connection stays with the host: in TLS, and with a password
// (the secure exchange encrypts it end to end, directly and through the
// relay). The kernel gets one end of a socket pair and the host copies
// between the other end and the connection until Ctrl-C, which detaches
// the port.
TEST_F(CliForward, AttachOfAnEncryptedConnectionCarriesTheTrafficUntilCtrlC)
{
    struct Case {
        const char *what;
        const char *password;
        int tls;
        bool by_code;
    } cases[] = {{"in TLS", nullptr, 1, false}, {"with a password", "pw", 0, false},
                 {"with a password, by code", "pw", 0, true}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        int port = start_library_server(k.password, k.tls);
        std::vector<std::string> argv = {cli(), "attach", "--busid", "1-4"};
        if (k.by_code) {
            if (!relay_) relay_ = std::make_unique<LibraryRelay>();
            const char *code = usbip_server_register_relay("127.0.0.1", relay_->port(), nullptr);
            ASSERT_NE(code, nullptr) << usbip_last_error();
            argv.insert(argv.end(), {"--relay", "127.0.0.1:" + std::to_string(relay_->port()), "--code", code});
        } else {
            argv.push_back("127.0.0.1:" + std::to_string(port));
        }
        if (k.tls) argv.insert(argv.end(), {"--tls", "--fingerprint", usbip_tls_key_fingerprint()});
        if (k.password) argv.insert(argv.end(), {"--password", k.password});
        attach_encrypted(argv);
        usbip_server_stop();
        if (HasFailure()) break;
    }
}

void CliForward::attach_encrypted(std::vector<std::string> argv)
{
    FakeVhci vhci;
    argv.insert(argv.end(), {"--sysfs", vhci.root()});
    ChildProcess attach(argv);
    ASSERT_FALSE(attach.wait_for("Attached 1-4 of .* at vhci-hcd port 0 .*Ctrl-C detaches").empty());
    AttachLine a;
    ASSERT_TRUE(parse_attach(vhci.read("attach"), &a)) << vhci.read("attach");
    EXPECT_EQ(a.port, 0u);
    EXPECT_EQ(a.devid, 0x00010001u);
    int mine = grab_fd(static_cast<int>(attach.pid()), static_cast<int>(a.fd));
    if (mine < 0) GTEST_SKIP() << "pidfd_getfd is not allowed here: " << std::strerror(errno);
    int domain = 0;
    socklen_t len = sizeof domain;
    ASSERT_EQ(getsockopt(mine, SOL_SOCKET, SO_DOMAIN, &domain, &len), 0);
    EXPECT_EQ(domain, AF_UNIX);
    {
        usbip_conn kernel(mine);
        UrbClient c(kernel);
        check_descriptors(c);
        check_bulk_echo(c, 1 << 20, 8);
        check_unlink_pending(c, *dev_);
        EXPECT_TRUE(c.ok());
        EXPECT_EQ(attach.stop(SIGINT), 0);
        EXPECT_FALSE(attach.wait_for("Detached port 0\\.").empty());
    }
    EXPECT_EQ(vhci.read("detach"), "0\n");
    expect_released(*dev_);
}

// With TLS, a session that the server's side ends is a failure of attach:
// it says why, exits 1, detaches the port and drops its record.
TEST_F(CliForward, AttachInTlsFailsWhenTheServerEndsTheSession)
{
    int port = start_library_server(nullptr, 1);
    FakeVhci vhci;
    ChildProcess attach({cli(), "attach", "127.0.0.1:" + std::to_string(port), "--tls", "--fingerprint",
                         usbip_tls_key_fingerprint(), "--busid", "1-4", "--sysfs", vhci.root()});
    ASSERT_FALSE(attach.wait_for("Attached 1-4 of .* at vhci-hcd port 0 .*Ctrl-C detaches").empty());
    AttachLine a;
    ASSERT_TRUE(parse_attach(vhci.read("attach"), &a)) << vhci.read("attach");
    EXPECT_NE(vhci.record(0).find("\"server\":\"127.0.0.1:" + std::to_string(port) + "\""), std::string::npos)
        << vhci.record(0);
    int kernel = grab_fd(static_cast<int>(attach.pid()), static_cast<int>(a.fd));
    if (kernel < 0) GTEST_SKIP() << "pidfd_getfd is not allowed here: " << std::strerror(errno);
    usbip_server_stop();  // ends the forwarding session
    // The kernel's stand-in: the end of its stream, and it lets go, as
    // vhci-hcd does when its connection ends.
    char byte;
    EXPECT_EQ(plat::wait_readable(kernel, 10000), 1);
    EXPECT_EQ(::read(kernel, &byte, 1), 0);
    shutdown(kernel, SHUT_RDWR);
    close(kernel);
    EXPECT_FALSE(attach
                     .wait_for("halvoren-usbip: attach: port 0 ended: the (server closed the connection|connection "
                               "to the server failed)$")
                     .empty());
    EXPECT_EQ(attach.stop(0), 1);
    EXPECT_EQ(vhci.read("detach"), "0\n");
    EXPECT_EQ(vhci.record(0), "");
}

// No free port of the device's speed: the host says so, and lets go of the
// device (the server releases it).
TEST_F(CliForward, AttachWithoutAFreePort)
{
    int port = start_library_server(nullptr, 0);
    FakeVhci vhci;
    vhci.status({{0, 6, "003 00010002 000003 1-1"}, {1, 4, ""}, {2, 6, "002 00010003 000004 1-2"}, {3, 4, ""}});
    int status = -1;
    std::string out = run_command(cli() + " attach 127.0.0.1:" + std::to_string(port) + " --busid 1-4 --sysfs " +
                                      vhci.root() + " 2>&1",
                                  &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "halvoren-usbip: attach: no free vhci-hcd port for a high speed device\n");
    EXPECT_EQ(vhci.read("attach"), "");
    expect_released(*dev_);
}

// ---------------------------------------------------------------------------
// attach --persist

namespace {

// The pauses of attach --persist, short for the tests: 200 ms doubling up
// to 800 ms (the host's processes inherit the variable).
class ShortPauses {
public:
    ShortPauses() { setenv("HALVOREN_USBIP_PERSIST_BACKOFF_MS", "200,800", 1); }
    ~ShortPauses() { unsetenv("HALVOREN_USBIP_PERSIST_BACKOFF_MS"); }
    ShortPauses(const ShortPauses &) = delete;
    ShortPauses &operator=(const ShortPauses &) = delete;
};

// What the kernel shows of a port that holds the device attached by `a`.
std::string in_use_line(const AttachLine &a)
{
    char in_use[64];
    std::snprintf(in_use, sizeof in_use, "003 %08x %06u 3-1", a.devid, a.fd);
    return in_use;
}

}  // namespace

// The server restarts under attach --persist (directly in clear, where the
// kernel holds the connection, and in TLS with the key kept, where the host
// carries it): the host says that the device is lost, reports each attempt
// that fails while the server is down, attaches again once it is back (a
// second attach in the kernel's file, at the port the kernel freed), and
// SIGTERM detaches and ends it with status 0. A server that is not up yet
// is tried again the same way.
TEST_F(CliForward, AttachPersistAttachesAgainAfterTheServerRestarts)
{
    const std::string key_dir = make_temp_dir();
    struct Case {
        const char *what;
        int tls;
        const char *lost;   // why the host says the device is lost
        bool server_later;  // the server starts after the first attempt failed
    } cases[] = {{"directly", 0, "the server closed the connection", true},
                 {"in TLS", 1, "the (server closed the connection|connection to the server failed)", false}};
    ShortPauses pauses;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        if (k.tls) {
            ASSERT_EQ(usbip_tls_set_key_file((key_dir + "/key.pem").c_str()), 0) << usbip_last_error();
        }
        const int port = k.server_later ? free_port() : start_library_server(nullptr, k.tls);
        const std::string server = "127.0.0.1:" + std::to_string(port);
        FakeVhci vhci;
        std::vector<std::string> argv = {cli(),     "attach",    server,  "--busid", "1-4",       "--persist",
                                         "--timeout", "3000", "--sysfs", vhci.root()};
        if (k.tls) argv.insert(argv.end(), {"--tls", "--fingerprint", usbip_tls_key_fingerprint()});
        ChildProcess attach(argv);
        if (k.server_later) {
            EXPECT_FALSE(attach.wait_for("^halvoren-usbip: attach: .*" + std::to_string(port)).empty());
            EXPECT_FALSE(attach.wait_for("^  Trying again in 200 ms\\.$").empty());
            ASSERT_EQ(start_library_server_at(port, nullptr, k.tls), port);
        }
        const std::string attached = "Attached 1-4 of " + server +
                                     " at vhci-hcd port 0 \\(devid 0x00010001, high speed\\)\\. Ctrl-C detaches\\.$";
        ASSERT_FALSE(attach.wait_for(attached).empty());
        AttachLine first;
        ASSERT_TRUE(parse_attach(vhci.read("attach"), &first)) << vhci.read("attach");
        vhci.status({{0, 6, in_use_line(first)}, {1, 4, ""}, {2, 4, ""}, {3, 4, ""}});
        vhci.write("attach", "");
        EXPECT_TRUE(wait_until([&] { return dev_->claimed(0); }, 5000));
        // In TLS the kernel holds one end of the host's socket pair.
        Fd kernel(k.tls ? grab_fd(static_cast<int>(attach.pid()), static_cast<int>(first.fd)) : -1);
        if (k.tls && kernel < 0) GTEST_SKIP() << "pidfd_getfd is not allowed here: " << std::strerror(errno);

        usbip_server_stop();  // ends the forwarding session
        if (k.tls) {
            // The kernel's stand-in: the end of its stream, and it lets go,
            // as vhci-hcd does when its connection ends.
            char byte;
            EXPECT_EQ(plat::wait_readable(kernel, 10000), 1);
            EXPECT_EQ(::read(kernel, &byte, 1), 0);
            shutdown(kernel, SHUT_RDWR);
        }
        EXPECT_FALSE(attach.wait_for("^Lost 1-4 of " + server + " at vhci-hcd port 0: " + k.lost +
                                     "\\. Attaching again in 200 ms\\.$")
                         .empty());
        // The kernel frees the port of a connection that ended.
        vhci.status({{0, 4, ""}, {1, 4, ""}, {2, 4, ""}, {3, 4, ""}});
        // Attempts while the server is down fail, say why, and wait longer.
        EXPECT_FALSE(attach.wait_for("^halvoren-usbip: attach: .*" + std::to_string(port)).empty());
        EXPECT_FALSE(attach.wait_for("^  Trying again in 400 ms\\.$").empty());
        EXPECT_EQ(vhci.read("attach"), "");

        const auto restarted = std::chrono::steady_clock::now();
        ASSERT_EQ(start_library_server_at(port, nullptr, k.tls), port);
        ASSERT_FALSE(attach.wait_for(attached).empty());
        std::printf("%s: attached again %.0f ms after the server restarted\n", k.what,
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - restarted).count());
        AttachLine second;
        ASSERT_TRUE(parse_attach(vhci.read("attach"), &second)) << vhci.read("attach");
        EXPECT_EQ(second.port, 0u);
        EXPECT_EQ(second.devid, 0x00010001u);
        EXPECT_TRUE(wait_until([&] { return dev_->claimed(0); }, 5000)) << "the server did not claim it again";
        vhci.status({{0, 6, in_use_line(second)}, {1, 4, ""}, {2, 4, ""}, {3, 4, ""}});
        EXPECT_NE(vhci.record(0), "");

        vhci.write("detach", "");
        EXPECT_EQ(attach.stop(SIGTERM), 0);
        EXPECT_EQ(vhci.read("detach"), "0\n");
        EXPECT_EQ(vhci.record(0), "");
        expect_released(*dev_);
        usbip_server_stop();
        if (HasFailure()) break;
    }
    usbip_tls_set_key_file(nullptr);
    run_command("rm -rf " + key_dir);
}

// A relay restart under attach --persist by code: the server registers
// again under a new code, so the host says that the relay no longer knows
// the code it has, and goes on trying until SIGTERM.
TEST_F(CliForward, AttachPersistByCodeSaysWhenTheRelayForgotTheCode)
{
    ShortPauses pauses;
    start_library_server(nullptr, 0);
    relay_ = std::make_unique<LibraryRelay>();
    const int relay_port = relay_->port();
    const char *registered = usbip_server_register_relay("127.0.0.1", relay_port, nullptr);
    ASSERT_NE(registered, nullptr) << usbip_last_error();
    const std::string code = registered;
    FakeVhci vhci;
    ChildProcess attach({cli(), "attach", "--relay", "127.0.0.1:" + std::to_string(relay_port), "--code", code,
                         "--busid", "1-4", "--persist", "--timeout", "3000", "--sysfs", vhci.root()});
    ASSERT_FALSE(attach.wait_for("^Attached 1-4 of code " + code + " at 127\\.0\\.0\\.1:" +
                                 std::to_string(relay_port) + " at vhci-hcd port 0 .*Ctrl-C detaches\\.$")
                     .empty());

    relay_.reset();  // ends the bridge, and the server's registration
    relay_ = std::make_unique<LibraryRelay>(relay_port);
    EXPECT_FALSE(attach.wait_for("^Lost 1-4 of code " + code).empty());
    EXPECT_EQ(attach.wait_for("^halvoren-usbip: attach: (the code .* is no longer known .*)$", 15000),
              "the code " + code + " is no longer known to the relay 127.0.0.1:" + std::to_string(relay_port) +
                  ": the server has a new code after a relay restart (its relay_registered_again event names it); "
                  "attach with that code");
    EXPECT_FALSE(attach.wait_for("^  Trying again in [0-9]+ ms\\.$").empty());
    EXPECT_EQ(attach.stop(SIGTERM), 0);
    usbip_server_stop();
}
