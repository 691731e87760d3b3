// Linux: attach, detach and port, through the kernel's vhci-hcd. The
// handshake and the import run here, in user space, with the library's own
// protocol code; then the connection is handed to the kernel through
// vhci-hcd's sysfs "attach" file, and the kernel speaks the URB phase on it.
// A TLS connection cannot be handed over: the kernel gets one end of a
// socket pair, and this process stays in the foreground and copies bytes
// between the other end and the TLS connection.
#include "vhci.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "cli_options.h"
#include "cli_support.h"
#include "halvoren_usbip.h"
#include "forward_client.h"
#include "system_commands.h"
#include "usbip_pump.h"

namespace cli {

// ---------------------------------------------------------------------------
// vhci-hcd's sysfs files

bool parse_vhci_status(const std::string &text, std::vector<VhciPort> *out)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line.rfind("hub port", 0) != 0) return false;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        std::string hub, port, status, speed, devid, sockfd, busid;
        if (!(fields >> hub >> port >> status >> speed >> devid >> sockfd >> busid)) return false;
        if (hub != "hs" && hub != "ss") return false;
        VhciPort p;
        char *end = nullptr;
        p.super_speed = hub == "ss";
        p.port = static_cast<unsigned>(std::strtoul(port.c_str(), &end, 10));
        if (*end != '\0') return false;
        p.status = static_cast<unsigned>(std::strtoul(status.c_str(), &end, 10));
        if (*end != '\0') return false;
        p.speed = static_cast<unsigned>(std::strtoul(speed.c_str(), &end, 10));
        if (*end != '\0') return false;
        p.devid = static_cast<std::uint32_t>(std::strtoul(devid.c_str(), &end, 16));
        if (*end != '\0') return false;
        p.sockfd = static_cast<unsigned>(std::strtoul(sockfd.c_str(), &end, 10));
        if (*end != '\0') return false;
        p.local_busid = busid;
        out->push_back(p);
    }
    return true;
}

int vhci_free_port(const std::vector<VhciPort> &ports, std::uint32_t speed)
{
    const bool super = speed >= 5;
    for (const VhciPort &p : ports)
        if (p.status == VhciPort::kFree && p.super_speed == super) return static_cast<int>(p.port);
    return -1;
}

Vhci::Vhci(std::string sysfs_root) : dir_(std::move(sysfs_root) + "/devices/platform/vhci_hcd.0") {}

bool Vhci::ports(std::vector<VhciPort> *out, std::string *error) const
{
    out->clear();
    // "status" for the first controller, "status.1", ... for the others.
    for (int i = 0;; ++i) {
        const std::string path = dir_ + (i == 0 ? "/status" : "/status." + std::to_string(i));
        std::ifstream in(path);
        if (!in) {
            if (i > 0) return true;
            *error = "vhci-hcd is not available: cannot read " + path + " (load it with 'modprobe vhci-hcd')";
            return false;
        }
        std::ostringstream text;
        text << in.rdbuf();
        if (!parse_vhci_status(text.str(), out)) {
            *error = path + " is not a status file of a vhci-hcd this program knows";
            return false;
        }
    }
}

// sysfs takes a line in one write and answers it at once (an error is the
// write's); nothing here waits.
bool Vhci::write_line(const char *file, const std::string &line, std::string *error) const
{
    const std::string path = dir_ + "/" + file;
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    ssize_t n = ::write(fd, line.data(), line.size());
    int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        *error = "writing '" + line.substr(0, line.size() - 1) + "' to " + path + " failed: " +
                 (n < 0 ? std::strerror(saved) : "cut short");
        return false;
    }
    return true;
}

bool Vhci::attach(unsigned port, int sockfd, std::uint32_t devid, std::uint32_t speed, std::string *error) const
{
    return write_line("attach",
                      std::to_string(port) + " " + std::to_string(sockfd) + " " + std::to_string(devid) + " " +
                          std::to_string(speed) + "\n",
                      error);
}

bool Vhci::detach(unsigned port, std::string *error) const
{
    return write_line("detach", std::to_string(port) + "\n", error);
}

std::string vhci_sysfs_root(const std::string &option)
{
    if (!option.empty()) return option;
    const char *env = std::getenv("HALVOREN_USBIP_SYSFS");
    return env != nullptr && *env != '\0' ? env : "/sys";
}

// ---------------------------------------------------------------------------
// What attach records of a port

std::string PortRecord::to_json() const
{
    char devid_text[16];
    std::snprintf(devid_text, sizeof devid_text, "0x%08x", devid);
    return "{\"port\":" + std::to_string(port) + ",\"devid\":\"" + devid_text + "\",\"sockfd\":" +
           std::to_string(sockfd) + ",\"busid\":\"" + json_escape(busid) + "\",\"server\":\"" +
           json_escape(server) + "\",\"since\":\"" + json_escape(since) + "\"}\n";
}

bool PortRecord::from_json(const std::string &text, PortRecord *out)
{
    Object o;
    if (!parse_object(text.c_str(), &o)) return false;
    char *end = nullptr;
    const std::string port = o.get("port"), devid = o.get("devid"), sockfd = o.get("sockfd");
    out->port = static_cast<unsigned>(std::strtoul(port.c_str(), &end, 10));
    if (port.empty() || *end != '\0') return false;
    out->devid = static_cast<std::uint32_t>(std::strtoul(devid.c_str(), &end, 16));
    if (devid.empty() || *end != '\0') return false;
    out->sockfd = static_cast<unsigned>(std::strtoul(sockfd.c_str(), &end, 10));
    if (sockfd.empty() || *end != '\0') return false;
    out->busid = o.get("busid");
    out->server = o.get("server");
    out->since = o.get("since");
    return true;
}

bool PortRecord::describes(const VhciPort &p) const
{
    return p.port == port && p.status != VhciPort::kFree && p.devid == devid && p.sockfd == sockfd;
}

std::string vhci_run_dir()
{
    const char *env = std::getenv("HALVOREN_USBIP_RUN_DIR");
    return env != nullptr && *env != '\0' ? env : "/run/halvoren-usbip";
}

namespace {

std::string record_path(const std::string &dir, unsigned port) { return dir + "/port-" + std::to_string(port); }

// mkdir -p, readable by all (the records name no secret).
bool make_dirs(const std::string &dir)
{
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

bool save_port_record(const std::string &dir, const PortRecord &r, std::string *error)
{
    const std::string path = record_path(dir, r.port), temporary = path + ".new";
    if (!make_dirs(dir)) {
        *error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << r.to_json();
        if (!out.flush()) {
            *error = "cannot write " + temporary;
            return false;
        }
    }
    // A reader sees the old record or the new one, never half of one.
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool load_port_record(const std::string &dir, unsigned port, PortRecord *out)
{
    std::ifstream in(record_path(dir, port), std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    return PortRecord::from_json(text.str(), out) && out->port == port;
}

void remove_port_record(const std::string &dir, unsigned port) { std::remove(record_path(dir, port).c_str()); }

namespace {

// ---------------------------------------------------------------------------
// The carrier of a TLS connection: the library's pump between the kernel's
// socket (the far end of a socket pair) and the TLS connection, on a thread
// of its own, until either side closes or a stop.

class Pump {
public:
    Pump(usbip_conn &server, int local) : server_(server), local_(local) {}
    ~Pump() { stop(); }
    Pump(const Pump &) = delete;
    Pump &operator=(const Pump &) = delete;

    bool start()
    {
        try {
            thread_ = std::thread([this] {
                run();
                done_ = true;
            });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }
    bool done() const { return done_; }
    // The pump looks at the flag at least every kWaitMs.
    void stop()
    {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    const std::string &why() const { return why_; }
    // True when the kernel's side ended it (a detach), not the server's.
    bool by_kernel() const { return by_kernel_; }

private:
    static constexpr int kWaitMs = 200;

    void run()
    {
        usbip_socket_end kernel(local_);
        usbip_conn_end server(server_);
        usbip_pump_options options;
        // An attached device may sit idle for hours; the server's TCP
        // keep-alive notices a server that has gone.
        options.idle_ms = 0;
        options.stall_ms = 0;
        options.keep_running = &running_;
        options.slice_ms = kWaitMs;
        usbip_pump_result r = usbip_pump_run(kernel, server, options);
        by_kernel_ = r.reason == usbip_pump_end_reason::failed_a ||
                     (r.reason == usbip_pump_end_reason::closed && r.first_to_end == usbip_pump_side::a);
        switch (r.reason) {
        case usbip_pump_end_reason::closed:
            why_ = by_kernel_ ? "the kernel let go of the device" : "the server closed the connection";
            break;
        case usbip_pump_end_reason::failed_a: why_ = "the kernel let go of the device"; break;
        case usbip_pump_end_reason::failed_b: why_ = "the connection to the server failed"; break;
        case usbip_pump_end_reason::stopped: why_ = "stopped"; break;
        case usbip_pump_end_reason::idle:
        case usbip_pump_end_reason::stalled: why_ = "the connection stalled"; break;
        }
    }

    usbip_conn &server_;
    int local_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::atomic<bool> done_{false};
    std::string why_;
    bool by_kernel_ = false;
};

// ---------------------------------------------------------------------------
// Commands

const CommandSpec kAttachSpec{
    "attach",
    "hand a server's device to this machine's kernel (vhci-hcd)",
    {"HOST[:PORT] --busid ID [--tls] [--known-hosts FILE] [--accept-new-key | --fingerprint FP] "
     "[--password-file FILE | --password P] [--allow-insecure] [--timeout MS] [--persist] [--sysfs DIR]",
     "--relay HOST[:PORT] --code CODE --busid ID [--password-file FILE | --password P] [--allow-insecure] "
     "[--timeout MS] [--persist] [--sysfs DIR]"},
    "Imports a server's device and hands it to this machine's kernel (the vhci-hcd module, 'modprobe vhci-hcd'; "
    "needs root), where it shows up as a local USB device. The server must run with forwarding on (serve "
    "--forward). A connection in clear (no --tls, no password) goes to the kernel, and the command returns; an "
    "encrypted one (--tls, or a password, which encrypts the conversation end to end) stays with the command, "
    "which carries the device's traffic in the foreground until Ctrl-C (SIGINT) or SIGTERM, which detach the "
    "device.\n\n"
    "It fails (status 1) when the server does not forward or the connection ends at once, and on an encrypted "
    "connection when the server's side ends it later. The port's server and bus id are recorded for "
    "'halvoren-usbip port'.\n\n"
    "With --persist it stays in the foreground whatever the connection, and keeps the device attached: when the "
    "device is gone (the server restarted or ended the session, the network was lost, the kernel freed the port), "
    "it says so and imports and attaches it again, after a second and then pauses that double up to a minute, "
    "until Ctrl-C (SIGINT) or SIGTERM, which detach the device and exit with status 0 ('detach --port' from "
    "elsewhere is a loss like the others). A failed attempt (the first one too) prints why and is tried again.",
    {
        kRemoteOption,
        {"--busid", 'b', "ID", "the device's bus id on the server"},
        kTlsOption,
        kKnownHostsOption,
        kAcceptNewKeyOption,
        kFingerprintOption,
        kRelayOption,
        kCodeOption,
        kPasswordFileOption,
        kPasswordOption,
        kAllowInsecureOption,
        {"--timeout", 0, "MS", "give up the import after MS milliseconds (default 10000)"},
        {"--persist", 0, nullptr,
         "stay, and attach the device again whenever it is lost (a server restart, a lost network, a relay "
         "restart), until Ctrl-C or SIGTERM"},
        {"--sysfs", 0, "DIR", "where sysfs is (default /sys, or HALVOREN_USBIP_SYSFS)"},
    },
    "HOST[:PORT]",
};

const CommandSpec kDetachSpec{
    "detach",
    "detach a device from a vhci-hcd port",
    {"--port PORT [--sysfs DIR]"},
    "Detaches the device on a vhci-hcd port ('halvoren-usbip port' lists them).",
    {
        {"--port", 'p', "PORT", "the vhci-hcd port"},
        {"--sysfs", 0, "DIR", "where sysfs is (default /sys, or HALVOREN_USBIP_SYSFS)"},
    },
};

const CommandSpec kPortSpec{
    "port",
    "list the devices attached to vhci-hcd ports",
    {"[--sysfs DIR]"},
    "Lists the devices attached to this machine's vhci-hcd ports, with the server and bus id of each that "
    "'halvoren-usbip attach' attached (recorded in HALVOREN_USBIP_RUN_DIR, /run/halvoren-usbip unless set).",
    {
        {"--sysfs", 0, "DIR", "where sysfs is (default /sys, or HALVOREN_USBIP_SYSFS)"},
    },
};

int vhci_failure(const char *what, const std::string &message)
{
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, what, terminal_text(message).c_str());
    return 1;
}

// Puts a descriptor into blocking or non-blocking mode.
bool set_nonblocking(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// How long a fresh import is watched, before the kernel gets it and after.
// A server that does not forward closes the connection as soon as it has
// granted the import; one that forwards never speaks first. Tests on a busy
// machine lengthen it with HALVOREN_USBIP_ATTACH_SETTLE_MS.
int settle_ms()
{
    const char *env = std::getenv("HALVOREN_USBIP_ATTACH_SETTLE_MS");
    const long ms = env != nullptr ? std::strtol(env, nullptr, 10) : 0;
    return ms > 0 && ms <= 60000 ? static_cast<int>(ms) : 250;
}

// Empty when the server stayed silent for `ms`; else why the session ended
// before it began.
std::string ended_before_use(usbip_conn &conn, int ms)
{
    const std::int64_t until = plat::monotonic_ms() + ms;
    for (;;) {
        if (usbip_conn_buffered(&conn) == 0) {
            const std::int64_t left = until - plat::monotonic_ms();
            if (left <= 0) return "";
            const int ready = plat::wait_readable(conn.fd, static_cast<int>(left));
            if (ready == 0) return "";
            if (ready < 0) return "waiting on the connection failed";
        }
        std::uint8_t byte;
        plat::IoError err = plat::IoError::none;
        const long n = usbip_conn_recv_some(&conn, &byte, 1, &err);
        if (n > 0) return "the server spoke before any request: it is no USB/IP server that forwards devices";
        if (err == plat::IoError::would_block) continue;  // a TLS record without data
        return "the server ended the connection right after granting the import: it may not forward devices "
               "(serve --forward)";
    }
}

// True when the connection on `fd` ends within `ms` (its peer closed, or
// the kernel that took it shut it down).
bool hangs_up_within(int fd, int ms)
{
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Records which server's device the port holds; a failure only costs what
// 'port' can show.
void record_port(const PortRecord &record)
{
    std::string error;
    if (!save_port_record(vhci_run_dir(), record, &error))
        std::fprintf(stderr, "%s: attach: the port's server is not recorded ('port' will not show it): %s\n",
                     kProgram, terminal_text(error).c_str());
}

// The command line of attach, checked.
struct AttachRequest {
    ImportTarget target;
    TrustOptions trust;
    int timeout_ms = 0;
    std::string sysfs;
    bool persist = false;
};

// A device this process attached at a vhci-hcd port. In clear the kernel
// holds the connection, and this process keeps its own descriptor of it
// only to see it end (it never reads from it); an encrypted one is carried
// by the pump, through a socket pair whose far end the kernel holds.
// Members end in reverse order: the pump first, then the sockets it uses.
struct Attachment {
    RemoteDevice device;
    unsigned port = 0;
    PortRecord record;
    std::string what;     // "1-4 of 127.0.0.1:3240"
    std::string summary;  // "port 2 (devid 0x00010001, high speed)"
    plat::Socket kernel_end, near_end;
    std::unique_ptr<Pump> pump;

    bool encrypted() const { return pump != nullptr; }
};

// Prints why an attempt to attach failed; false.
bool refused(const std::string &why)
{
    vhci_failure("attach", why);
    return false;
}

// Imports the device and hands it to the kernel; false after printing why.
// `again`: the same target was attached before (a relay's answer that it
// does not know the code then means that the code has changed).
bool attach_device(const AttachRequest &r, const Vhci &vhci, Attachment *a, bool again)
{
    const ImportTarget &target = r.target;
    if (!a->device.import(target)) {
        if (again && usbip_last_error_code() == USBIP_ERROR_CODE_NOT_FOUND) {
            std::fprintf(stderr,
                         "%s: attach: the code %s is no longer known to the relay %s: the server has a new code "
                         "after a relay restart (its relay_registered_again event names it); attach with that code\n",
                         kProgram, terminal_text(target.code).c_str(),
                         terminal_text(target.relay.host + ":" + std::to_string(target.relay.port)).c_str());
            return false;
        }
        fail("attach", Situation{0, target.tls, target.by_code()});
        return false;
    }
    const usbip_imported &got = a->device.imported();
    std::vector<VhciPort> ports;
    std::string error;
    // The ports as they are now: another attach may have taken one meanwhile.
    if (!vhci.ports(&ports, &error)) return refused(error);
    const int port = vhci_free_port(ports, got.device.speed);
    if (port < 0)
        return refused(std::string("no free vhci-hcd port for a ") +
                                          usbip_speed_name(got.device.speed) + " speed device");
    usbip_conn &conn = a->device.connection();
    conn.deadline_ms = 0;
    // A server that vanishes without a word (the network lost) is noticed
    // by keep-alive within about a minute, by the kernel and by the watch.
    if (r.persist) plat::set_keepalive(conn.fd, 30, 10, 3);
    char summary[160];
    std::snprintf(summary, sizeof summary, "port %d (devid 0x%08x, %s speed)", port, got.devid(),
                  usbip_speed_name(got.device.speed));
    a->port = static_cast<unsigned>(port);
    a->summary = summary;
    a->what = terminal_text(target.busid) + " of " + terminal_text(target.describe());
    const int settle = settle_ms();
    const std::string why = ended_before_use(conn, settle);
    if (!why.empty()) return refused(why);
    a->record.port = a->port;
    a->record.devid = got.devid();
    a->record.busid = target.busid;
    a->record.server = target.describe();

    if (!conn.is_tls()) {
        // In clear: the kernel takes the socket as it is, and expects it to
        // block. An encrypted connection (TLS, or the session of the secure
        // password exchange) stays here, behind a socket pair.
        if (!plat::set_blocking(conn.fd) ||
            !vhci.attach(a->port, static_cast<int>(conn.fd), got.devid(), got.device.speed, &error))
            return refused(error.empty() ? "cannot hand the connection to the kernel" : error);
        if (hangs_up_within(static_cast<int>(conn.fd), settle)) {
            vhci.detach(a->port, &error);  // the kernel may have freed it already
            return refused("the connection ended as soon as the kernel took it (the kernel's log may "
                                          "say why)");
        }
        a->record.sockfd = static_cast<unsigned>(conn.fd);
        a->record.since = utc_now();
        record_port(a->record);
        return true;
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return refused(std::string("socketpair failed: ") + std::strerror(errno));
    a->kernel_end.reset(pair[0]);
    a->near_end.reset(pair[1]);
    // The kernel's end stays open here too until the end: the kernel holds
    // the same socket, and the pump sees the end when it lets go.
    if (!set_nonblocking(pair[1], true) || !vhci.attach(a->port, pair[0], got.devid(), got.device.speed, &error))
        return refused(error.empty() ? "cannot prepare the socket pair" : error);
    a->pump = std::make_unique<Pump>(conn, pair[1]);
    if (!a->pump->start()) {
        a->pump.reset();
        vhci.detach(a->port, &error);
        return refused("cannot start the thread that carries the traffic");
    }
    a->record.sockfd = static_cast<unsigned>(pair[0]);
    a->record.since = utc_now();
    record_port(a->record);
    return true;
}

// Detaches the port while it still holds what this process attached (a port
// the kernel freed may hold another program's device by now; `seen` as in
// device_gone: before the status showed the device, the port is taken to
// hold it), stops the carrier and forgets the record.
void let_go(const Vhci &vhci, Attachment &a, bool seen)
{
    std::vector<VhciPort> ports;
    std::string error;
    bool holds = !seen;
    if (seen && vhci.ports(&ports, &error))
        for (const VhciPort &p : ports)
            if (a.record.describes(p)) holds = true;
    if (holds) vhci.detach(a.port, &error);
    if (a.pump) a.pump->stop();
    remove_port_record(vhci_run_dir(), a.port);
    // Closing a TLS connection sends its close_notify: not for longer than this.
    usbip_conn_set_deadline(&a.device.connection(), 1000);
}

// Why the attached device is gone; "" while it is attached. `seen` turns
// true once vhci-hcd's status shows the port holding it: a kernel shows
// that as soon as it takes the connection, a test's stand-in when it
// writes so, and until then only the connection's end counts.
std::string device_gone(const Vhci &vhci, Attachment &a, bool *seen)
{
    std::vector<VhciPort> ports;
    std::string error;
    if (!vhci.ports(&ports, &error)) return error;
    bool holds = false;
    for (const VhciPort &p : ports)
        if (a.record.describes(p)) holds = true;
    if (holds) *seen = true;
    else if (*seen) return "the kernel freed the port";
    if (a.pump) return a.pump->done() ? a.pump->why() : "";
    const int fd = static_cast<int>(a.device.connection().fd);
    pollfd p{fd, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return "";
    if ((p.revents & POLLERR) != 0) return "the connection to the server failed";
    if ((p.revents & (POLLRDHUP | POLLHUP)) != 0)
        return a.record.server.rfind("code ", 0) == 0 ? "the connection through the relay ended"
                                                      : "the server closed the connection";
    return "";
}

// A pause as people read it: "2 s", "250 ms".
std::string pause_text(int ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// The pauses of --persist between attempts: the first, doubled after each
// failure up to the longest. Tests shorten them with
// HALVOREN_USBIP_PERSIST_BACKOFF_MS=FIRST,LONGEST.
struct Backoff {
    int first_ms = 1000;
    int longest_ms = 60000;
};

Backoff persist_backoff()
{
    Backoff b;
    const char *env = std::getenv("HALVOREN_USBIP_PERSIST_BACKOFF_MS");
    if (env == nullptr) return b;
    char *end = nullptr;
    const long first = std::strtol(env, &end, 10);
    const long longest = *end == ',' ? std::strtol(end + 1, nullptr, 10) : first;
    if (first > 0 && first <= 60000 && longest >= first && longest <= 600000) {
        b.first_ms = static_cast<int>(first);
        b.longest_ms = static_cast<int>(longest);
    }
    return b;
}

// attach --persist: attaches, watches, and attaches again when the device
// is lost, until a stop signal, which detaches it; the exit status is 0.
int attach_persistently(const AttachRequest &r, const Vhci &vhci, const HostHooks &hooks)
{
    const Backoff backoff = persist_backoff();
    int pause_ms = 0;  // the first attempt at once
    bool attached_before = false;
    for (;;) {
        if (pause_ms > 0 && hooks.wait_for_stop_signal(pause_ms)) {
            std::printf("Stopped.\n");
            return 0;
        }
        Attachment a;
        if (!attach_device(r, vhci, &a, attached_before)) {
            pause_ms = pause_ms == 0 ? backoff.first_ms : std::min(pause_ms * 2, backoff.longest_ms);
            std::fprintf(stderr, "  Trying again in %s.\n", pause_text(pause_ms).c_str());
            continue;
        }
        attached_before = true;
        std::printf("Attached %s at vhci-hcd %s. Ctrl-C detaches.\n", a.what.c_str(), a.summary.c_str());
        std::fflush(stdout);
        bool seen = false;
        std::string why;
        while ((why = device_gone(vhci, a, &seen)).empty()) {
            if (!hooks.wait_for_stop_signal(200)) continue;
            let_go(vhci, a, seen);
            std::printf("Detached port %u.\n", a.port);
            return 0;
        }
        let_go(vhci, a, seen);
        pause_ms = backoff.first_ms;
        std::printf("Lost %s at vhci-hcd port %u: %s. Attaching again in %s.\n", a.what.c_str(), a.port,
                    terminal_text(why).c_str(), pause_text(pause_ms).c_str());
        std::fflush(stdout);
    }
}

int cmd_attach(Args &args, const HostHooks &hooks)
{
    Parsed p = parse_options(kAttachSpec, args);
    if (p.help) return print_help(kAttachSpec);
    AttachRequest r;
    ImportTarget &target = r.target;
    target.server = server_operand(p);
    if (p.has("--relay")) target.relay = parse_endpoint("--relay", p.value("--relay"), kDefaultRelayPort);
    if (p.has("--code")) target.code = parse_code(p.value("--code"));
    PasswordSource password;
    password.take(p);
    target.tls = p.has("--tls");
    target.busid = p.value("--busid");
    r.timeout_ms = p.has("--timeout") ? parse_timeout(p.value("--timeout")) : 0;
    r.sysfs = p.value("--sysfs");
    r.persist = p.has("--persist");
    if (target.by_code() || !target.code.empty()) {
        if (!target.by_code()) throw UsageError{"--code needs --relay HOST[:PORT], the relay that knows the code"};
        if (target.code.empty()) throw UsageError{"--relay needs --code CODE, the server's pairing code"};
        if (!target.server.host.empty())
            throw UsageError{"give either a server HOST[:PORT] or --relay with --code, not both"};
        if (target.tls) throw UsageError{"--tls does not work through a relay: that path never uses TLS"};
    } else if (target.server.host.empty()) {
        throw UsageError{"no server given: name HOST[:PORT], or --relay HOST[:PORT] with --code CODE"};
    }
    if (target.busid.empty()) throw UsageError{"--busid ID names the device to attach"};
    r.trust.take(p, target.tls);
    target.password = password.resolve();

    // Before anything is sent: is there a kernel to hand the device to?
    Vhci vhci(vhci_sysfs_root(r.sysfs));
    std::vector<VhciPort> ports;
    std::string error;
    if (!vhci.ports(&ports, &error)) return vhci_failure("attach", error);

    hooks.block_stop_signals();  // before the pump's thread starts
    ClientLayers layers;
    if (!layers.ok()) return fail("attach");
    if (r.timeout_ms > 0) usbip_client_set_timeout(r.timeout_ms);
    int trusted = prepare_client("attach", r.trust, target.server, target.tls, target.password);
    if (trusted >= 0) return trusted;
    if (r.persist) return attach_persistently(r, vhci, hooks);

    Attachment a;
    if (!attach_device(r, vhci, &a, false)) return 1;
    if (!a.encrypted()) {
        std::printf("Attached %s at vhci-hcd %s.\n", a.what.c_str(), a.summary.c_str());
        return 0;  // the kernel holds the connection; this process lets go of its descriptor
    }
    std::printf("Attached %s at vhci-hcd %s. Ctrl-C detaches.\n", a.what.c_str(), a.summary.c_str());
    std::fflush(stdout);
    while (!a.pump->done() && !hooks.wait_for_stop_signal(200)) {
    }
    const bool stopped = !a.pump->done();
    if (stopped && !vhci.detach(a.port, &error)) vhci_failure("detach", error);
    a.pump->stop();
    remove_port_record(vhci_run_dir(), a.port);
    // Closing the TLS connection sends its close_notify: not for longer than this.
    usbip_conn_set_deadline(&a.device.connection(), 1000);
    if (stopped) {
        std::printf("Detached port %u.\n", a.port);
    } else if (a.pump->by_kernel()) {
        // 'detach --port', or the kernel gave the device up.
        std::printf("Port %u ended: %s.\n", a.port, a.pump->why().c_str());
    } else {
        // The server's side ended it: the device is gone from this machine.
        vhci.detach(a.port, &error);
        return vhci_failure("attach", "port " + std::to_string(a.port) + " ended: " + a.pump->why());
    }
    return 0;
}

int cmd_detach(Args &a, const HostHooks &)
{
    Parsed p = parse_options(kDetachSpec, a);
    if (p.help) return print_help(kDetachSpec);
    const std::string sysfs = p.value("--sysfs");
    int port = -1;
    if (p.has("--port")) {
        const std::string text = p.value("--port");
        char *end = nullptr;
        long v = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || v < 0 || v > 65535)
            throw UsageError{"--port '" + text + "' is not a vhci-hcd port number"};
        port = static_cast<int>(v);
    }
    if (port < 0) throw UsageError{"--port PORT names the port to detach ('halvoren-usbip port' lists them)"};
    Vhci vhci(vhci_sysfs_root(sysfs));
    std::vector<VhciPort> ports;
    std::string error;
    if (!vhci.ports(&ports, &error)) return vhci_failure("detach", error);
    bool in_use = false;
    for (const VhciPort &p : ports)
        if (static_cast<int>(p.port) == port && p.status != VhciPort::kFree) in_use = true;
    if (!in_use) return vhci_failure("detach", "port " + std::to_string(port) + " has no device attached");
    if (!vhci.detach(static_cast<unsigned>(port), &error)) return vhci_failure("detach", error);
    remove_port_record(vhci_run_dir(), static_cast<unsigned>(port));
    std::printf("Detached port %d.\n", port);
    return 0;
}

int cmd_port(Args &a, const HostHooks &)
{
    Parsed p = parse_options(kPortSpec, a);
    if (p.help) return print_help(kPortSpec);
    const std::string sysfs = p.value("--sysfs");
    Vhci vhci(vhci_sysfs_root(sysfs));
    std::vector<VhciPort> ports;
    std::string error;
    if (!vhci.ports(&ports, &error)) return vhci_failure("port", error);
    const std::string run_dir = vhci_run_dir();
    int shown = 0;
    for (const VhciPort &p : ports) {
        PortRecord record;
        const bool recorded = load_port_record(run_dir, p.port, &record);
        if (recorded && !record.describes(p)) remove_port_record(run_dir, p.port);  // stale: the port moved on
        if (p.status == VhciPort::kFree) continue;
        const char *state = p.status == VhciPort::kInUse ? "in use" : p.status == 7 ? "error" : "being attached";
        std::printf("Port %02u: %s, %s speed, devid 0x%08x (bus %u, device %u), local bus id %s\n", p.port, state,
                    usbip_speed_name(p.speed), p.devid, p.devid >> 16, p.devid & 0xffff,
                    terminal_text(p.local_busid).c_str());
        if (recorded && record.describes(p))
            std::printf("         %s of %s, attached %s\n", terminal_text(record.busid).c_str(),
                        terminal_text(record.server).c_str(), terminal_text(record.since).c_str());
        ++shown;
    }
    if (shown == 0) std::printf("No devices attached (%zu ports).\n", ports.size());
    return 0;
}

}  // namespace

const std::vector<SystemCommand> &system_commands()
{
    static const std::vector<SystemCommand> commands = {
        {&kAttachSpec, cmd_attach},
        {&kDetachSpec, cmd_detach},
        {&kPortSpec, cmd_port},
    };
    return commands;
}

}  // namespace cli
