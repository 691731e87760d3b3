// halvoren-usbip: command-line host of the library, built on its public
// header (the client side of forwarding, forward_client.h, on the library's
// internal protocol code).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include "cli_common.h"
#include "cli_support.h"
#include "forward_client.h"
#include "system_commands.h"
#include "halvoren_usbip.h"

namespace {

using namespace cli;

// ---------------------------------------------------------------------------
// Help

const char kMainHelp[] =
    "usage: halvoren-usbip COMMAND [OPTIONS]\n"
    "\n"
    "Shares USB devices over a network with the discovery messages of USB/IP.\n"
    "\n"
    "commands:\n"
    "  list     list this machine's USB devices\n"
    "  serve    share local devices with USB/IP clients, directly or through a relay\n"
    "  remote   list a server's devices, directly or through a relay by pairing code\n"
    "  relay    pair servers and clients by code\n";

const char kMainHelpOptions[] =
    "\n"
    "options:\n"
    "  -h, --help     show this help; 'halvoren-usbip COMMAND --help' shows a command's\n"
    "  --version      show the version\n"
    "\n"
    "A password (serve, remote) comes from --password-file FILE, --password P, or the\n"
    "environment variable HALVOREN_USBIP_PASSWORD, in that order. USB names come from\n"
    "the usb.ids database (/usr/share/misc/usb.ids, or HALVOREN_USBIP_USB_IDS).\n";

const char kListHelp[] =
    "usage: halvoren-usbip list [--json]\n"
    "\n"
    "Lists this machine's USB devices.\n"
    "\n"
    "options:\n"
    "  --json      print the library's JSON array; where the usb.ids database knows a\n"
    "              device's ids, its object gains usb_ids_vendor and usb_ids_product\n"
    "  -h, --help  show this help\n";

const char kServeHelp[] =
    "usage: halvoren-usbip serve [--port PORT] [--tls] [--share BUSID ... | --share-all]\n"
    "                            [--relay HOST[:PORT]] [--password-file FILE | --password P]\n"
    "                            [--forward] [--stock-clients]\n"
    "\n"
    "Shares local USB devices: answers USB/IP device-list and import requests until\n"
    "Ctrl-C (SIGINT) or SIGTERM.\n"
    "\n"
    "options:\n"
    "  --port PORT           TCP port to listen on, 1-65535 (default 3240)\n"
    "  --share BUSID ...     share these devices (bus ids as 'halvoren-usbip list' shows)\n"
    "  --share-all           share every local device\n"
    "  --tls                 wrap every connection in TLS (self-signed certificate)\n"
    "  --relay HOST[:PORT]   register with a relay (port 3241 unless given) and print\n"
    "                        the pairing code; not with --tls, which clients that come\n"
    "                        through a relay never start\n"
    "%s"
    "  --forward             let clients that import a device use it: its USB traffic\n"
    "                        goes over the connection (without this, an import is\n"
    "                        answered and nothing more)\n"
    "  --stock-clients       let USB/IP clients without the password handshake (the\n"
    "                        kernel's usbip tool) list and import; only without a\n"
    "                        password and without --tls\n"
    "  -h, --help            show this help\n"
    "\n"
    "Without a password the server accepts every client; with --forward that client\n"
    "can use the shared devices as if they were plugged into its own machine.\n";

const char kRemoteHelp[] =
    "usage: halvoren-usbip remote HOST[:PORT] [--tls] [--busid ID [--descriptors]] [PASSWORD]\n"
    "                             [--json] [--timeout MS]\n"
    "       halvoren-usbip remote --relay HOST[:PORT] --code CODE [--busid ID --descriptors]\n"
    "                             [PASSWORD] [--json] [--timeout MS]\n"
    "\n"
    "Lists a server's shared devices: directly (port 3240 unless given; an IPv6\n"
    "address goes in brackets, [::1]:3240), or through a relay by the server's\n"
    "pairing code. With --descriptors, imports one device and reads its device and\n"
    "configuration descriptors from the device itself (the server must run with\n"
    "--forward).\n"
    "\n"
    "options:\n"
    "  --tls                 speak TLS to the server (direct only)\n"
    "  --busid ID            show the one device with this bus id (direct only)\n"
    "  --descriptors         with --busid: import the device and show its descriptors\n"
    "  --relay HOST[:PORT]   the relay (port 3241 unless given)\n"
    "  --code CODE           the server's pairing code, in any letter case\n"
    "%s"
    "  --json                print the library's JSON, with usb_ids_vendor and\n"
    "                        usb_ids_product where the usb.ids database knows the ids\n"
    "  --timeout MS          give up after MS milliseconds (default 10000)\n"
    "  -h, --help            show this help\n";

const char kRelayHelp[] =
    "usage: halvoren-usbip relay [--port PORT]\n"
    "\n"
    "Pairs servers and clients by code: servers register and get a code, clients ask\n"
    "for a server by that code. Prints each registration, client and end with a time\n"
    "stamp (UTC) until Ctrl-C (SIGINT) or SIGTERM.\n"
    "\n"
    "options:\n"
    "  --port PORT   TCP port to listen on, 1-65535 (default 3241)\n"
    "  -h, --help    show this help\n";

// ---------------------------------------------------------------------------
// Stop signals. Only the main thread takes SIGINT and SIGTERM, so that they
// never interrupt a system call in one of the library's threads.

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and closing the console set this event; Windows runs
// the console's control handler on a thread of its own.
HANDLE g_stop_event = nullptr;

BOOL WINAPI on_console_control(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        SetEvent(g_stop_event);
        // Closing the console ends the process once this returns: give the
        // main thread time to stop the library first.
        if (type == CTRL_CLOSE_EVENT) Sleep(4000);
        return TRUE;
    default:
        return FALSE;
    }
}

void block_stop_signals()
{
    if (g_stop_event == nullptr) g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_control, TRUE);
}

// True when a stop signal came within timeout_ms (-1: wait for one).
bool wait_for_stop_signal(int timeout_ms)
{
    DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    return WaitForSingleObject(g_stop_event, wait) == WAIT_OBJECT_0;
}
#else
sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Library threads inherit the mask: only wait_for_stop_signal() receives them.
void block_stop_signals()
{
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool wait_for_stop_signal(int timeout_ms)
{
    sigset_t set = stop_signals();
    if (timeout_ms < 0) {
        int sig = 0;
        return sigwait(&set, &sig) == 0;
    }
    timespec wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000L * 1000L};
    return sigtimedwait(&set, nullptr, &wait) > 0;
}
#endif

// ---------------------------------------------------------------------------
// Output

// "2026-01-31T12:00:00Z"
std::string utc_now()
{
    std::time_t t = std::time(nullptr);
    char text[32] = "";
    if (const std::tm *tm = std::gmtime(&t)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", tm);
    return text;
}

// Shortens text to `width` characters for the table (after making it safe).
std::string cell(const std::string &raw, std::size_t width)
{
    std::string s = terminal_text(raw);
    if (s.size() > width) s = s.substr(0, width - 1) + "~";
    return s;
}

// usb.ids names for the devices, in their order (empty where unknown).
std::vector<cli::UsbNames> usb_names(const std::vector<Object> &devices)
{
    std::vector<cli::UsbNames> names(devices.size());
    std::set<std::uint32_t> ids;
    for (const auto &d : devices) {
        std::uint16_t vid, pid;
        if (cli::device_ids(d, &vid, &pid)) ids.insert(cli::usb_id(vid, pid));
    }
    std::string path = cli::usb_ids_path();
    if (ids.empty() || path.empty()) return names;
    std::ifstream db(path, std::ios::binary);
    if (!db) return names;
    auto found = cli::usb_ids_lookup(db, ids);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::uint16_t vid, pid;
        if (!cli::device_ids(devices[i], &vid, &pid)) continue;
        auto it = found.find(cli::usb_id(vid, pid));
        if (it != found.end()) names[i] = it->second;
    }
    return names;
}

// A device's name as the table shows it: the device's own text, or the
// database's name where the library only had the ids (remote devices, and
// local ones whose strings could not be read).
std::string display_name(const std::string &text, const char *stand_in_prefix, std::uint16_t id, bool ids_ok,
                         const std::string &db_name)
{
    if (ids_ok && !db_name.empty() && cli::is_stand_in_name(text, stand_in_prefix, id)) return db_name;
    return text;
}

void print_device_table(const std::vector<Object> &devices)
{
    auto names = usb_names(devices);
    std::printf("%-10s %-9s  %-24s %-28s %-8s %s\n", "BUSID", "VID:PID", "VENDOR", "PRODUCT", "SPEED", "CLASS");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const Object &d = devices[i];
        std::uint16_t vid = 0, pid = 0;
        bool ids_ok = cli::device_ids(d, &vid, &pid);
        std::string v = d.get("vid"), p = d.get("pid");
        std::string ids = v.substr(v.size() > 2 ? 2 : 0) + ":" + p.substr(p.size() > 2 ? 2 : 0);
        std::string vendor = display_name(d.get("vendor"), "Vendor", vid, ids_ok, names[i].vendor);
        std::string product = display_name(d.get("product"), "Product", pid, ids_ok, names[i].product);
        std::printf("%-10s %-9s  %-24s %-28s %-8s %s\n", cell(d.get("busid"), 10).c_str(), cell(ids, 9).c_str(),
                    cell(vendor, 24).c_str(), cell(product, 28).c_str(), cell(d.get("speed"), 8).c_str(),
                    cell(d.get("class"), 32).c_str());
    }
    if (devices.empty()) std::printf("(no devices)\n");
}

// The library's JSON with the database's names added to each device.
std::string json_with_names(const std::string &json, const std::vector<Object> &devices)
{
    auto names = usb_names(devices);
    std::vector<std::vector<std::pair<std::string, std::string>>> extra(devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (!names[i].vendor.empty()) extra[i].emplace_back("usb_ids_vendor", names[i].vendor);
        if (!names[i].product.empty()) extra[i].emplace_back("usb_ids_product", names[i].product);
    }
    return cli::add_members(json, devices, extra);
}

int unreadable_reply(const char *json)
{
    std::fprintf(stderr, "%s: unreadable reply: %s\n", kProgram, terminal_text(json).c_str());
    return 1;
}

// Prints a device list (a JSON array) or one device (an object).
int show_devices(const char *json, bool as_json, bool single = false)
{
    std::vector<Object> devices;
    if (single) {
        Object one;
        if (!cli::parse_object(json, &one)) return unreadable_reply(json);
        devices.push_back(std::move(one));
    } else if (!cli::parse_array(json, &devices)) {
        return unreadable_reply(json);
    }
    if (as_json)
        std::printf("%s\n", terminal_text(json_with_names(json, devices)).c_str());
    else
        print_device_table(devices);
    return 0;
}

// ---------------------------------------------------------------------------
// Commands

int cmd_list(Args &a)
{
    bool as_json = false;
    while (a.more()) {
        std::string w = a.next();
        if (is_help(w)) {
            print_help(kListHelp);
            return 0;
        } else if (w == "--json") {
            as_json = true;
        } else {
            reject_unknown(w);
        }
        if (a.value_pending()) throw UsageError{w + " takes no value"};
    }
    if (usbip_init() != 0) return fail("init");
    int rc = show_devices(usbip_list_local_devices(), as_json);
    usbip_cleanup();
    return rc;
}

int cmd_serve(Args &a)
{
    int port = kDefaultServerPort;
    PasswordSource password;
    bool tls = false, share_all = false, forward = false, stock_clients = false;
    std::vector<std::string> shares;
    Endpoint relay;
    while (a.more()) {
        std::string w = a.next();
        if (is_help(w)) {
            print_help(kServeHelp);
            return 0;
        } else if (w == "--port") {
            port = parse_port("--port", a.value(w));
        } else if (w == "--relay") {
            relay = parse_endpoint("--relay", a.value(w), kDefaultRelayPort);
        } else if (password.take(w, a)) {
        } else if (w == "--tls") {
            tls = true;
        } else if (w == "--share-all") {
            share_all = true;
        } else if (w == "--forward") {
            forward = true;
        } else if (w == "--stock-clients") {
            stock_clients = true;
        } else if (w == "--share") {
            shares.push_back(a.value(w));
            while (a.value_follows()) shares.push_back(a.next());
        } else {
            reject_unknown(w);
        }
        if (a.value_pending()) throw UsageError{w + " takes no value"};
    }
    if (tls && !relay.host.empty())
        throw UsageError{"--tls and --relay do not go together: clients that come through a relay never start TLS, "
                         "so none could reach this server by its code"};
    if (share_all && !shares.empty()) throw UsageError{"give --share or --share-all, not both"};
    std::string pw = password.resolve();
    if (pw.size() > kMaxPassword)
        throw UsageError{"the password is " + std::to_string(pw.size()) + " characters long; a server keeps at most " +
                         std::to_string(kMaxPassword)};
    if (stock_clients && (tls || !pw.empty()))
        throw UsageError{"--stock-clients works only without a password and without --tls: stock USB/IP clients "
                         "speak neither"};

    block_stop_signals();
    Situation situation{port, tls, false};
    if (usbip_init() != 0) return fail("init");
    std::vector<Object> local;
    cli::parse_array(usbip_list_local_devices(), &local);
    if (share_all)
        for (const auto &d : local) shares.push_back(d.get("busid"));
    for (const auto &busid : shares) {
        if (usbip_server_share(busid.c_str()) != 0) {
            int rc = fail("share");
            std::fprintf(stderr, "  'halvoren-usbip list' shows the bus ids of this machine's devices.\n");
            usbip_cleanup();
            return rc;
        }
    }
    usbip_server_set_forwarding(forward ? 1 : 0);
    usbip_server_set_stock_clients(stock_clients ? 1 : 0);
    if (usbip_server_start(port, or_null(pw), tls ? 1 : 0) != 0) {
        int rc = fail("serve", situation);
        usbip_cleanup();
        return rc;
    }
    std::vector<Object> shared;
    cli::parse_array(usbip_server_list_shared(), &shared);
    std::string modes = std::string(forward ? ", forwarding" : "") + (stock_clients ? ", stock clients" : "");
    std::printf("Serving %zu device(s) on port %d (TLS %s, password %s%s). Ctrl-C stops.\n", shared.size(), port,
                tls ? "on" : "off", pw.empty() ? "none" : "set", modes.c_str());
    print_device_table(shared);
    if (!relay.host.empty()) {
        const char *code = usbip_server_register_relay(relay.host.c_str(), relay.port, or_null(pw));
        if (code == nullptr) {
            int rc = fail("relay", situation);
            usbip_cleanup();
            return rc;
        }
        std::printf("Registered with relay %s:%d. Pairing code: %s\n", terminal_text(relay.host).c_str(), relay.port,
                    terminal_text(code).c_str());
    }
    std::fflush(stdout);

    wait_for_stop_signal(-1);
    std::printf("Stopping.\n");
    usbip_server_stop();
    usbip_cleanup();
    return 0;
}

int cmd_remote(Args &a)
{
    Endpoint server, relay;
    PasswordSource password;
    std::string busid, code;
    int timeout_ms = 0;
    bool tls = false, as_json = false, has_busid = false, descriptors = false;
    while (a.more()) {
        std::string w = a.next();
        if (is_help(w)) {
            print_help(kRemoteHelp);
            return 0;
        } else if (w == "--descriptors") {
            descriptors = true;
        } else if (w == "--relay") {
            relay = parse_endpoint("--relay", a.value(w), kDefaultRelayPort);
        } else if (w == "--code") {
            code = parse_code(a.value(w));
        } else if (password.take(w, a)) {
        } else if (w == "--tls") {
            tls = true;
        } else if (w == "--json") {
            as_json = true;
        } else if (w == "--busid") {
            busid = a.value(w);
            has_busid = true;
        } else if (w == "--timeout") {
            timeout_ms = parse_timeout(a.value(w));
        } else if (server.host.empty() && w.rfind("-", 0) != 0) {
            server = parse_endpoint("the server", w, kDefaultServerPort);
        } else {
            reject_unknown(w);
        }
        if (a.value_pending()) throw UsageError{w + " takes no value"};
    }
    bool by_code = !relay.host.empty() || !code.empty();
    if (by_code) {
        if (relay.host.empty()) throw UsageError{"--code needs --relay HOST[:PORT], the relay that knows the code"};
        if (code.empty()) throw UsageError{"--relay needs --code CODE, the server's pairing code"};
        if (!server.host.empty())
            throw UsageError{"give either a server HOST[:PORT] or --relay with --code, not both"};
        if (tls) throw UsageError{"--tls does not work through a relay: that path never uses TLS"};
        if (has_busid && !descriptors)
            throw UsageError{"--busid works with a direct HOST[:PORT] only"};
    } else if (server.host.empty()) {
        throw UsageError{"no server given: name HOST[:PORT], or --relay HOST[:PORT] with --code CODE"};
    }
    if (descriptors && !has_busid) throw UsageError{"--descriptors needs --busid ID, the device to read"};
    if (descriptors && as_json) throw UsageError{"--descriptors shows text; leave out --json"};
    std::string pw = password.resolve();
    if (descriptors) {
        ImportTarget target;
        target.server = server;
        target.tls = tls;
        target.relay = relay;
        target.code = code;
        target.password = pw;
        target.busid = busid;
        return show_remote_descriptors(target, timeout_ms);
    }

    if (usbip_init() != 0) return fail("init");
    if (timeout_ms > 0) usbip_client_set_timeout(timeout_ms);
    Situation situation{0, tls, by_code};
    int rc;
    if (by_code) {
        const char *json = usbip_client_list_by_code(relay.host.c_str(), relay.port, code.c_str(), or_null(pw));
        rc = json ? show_devices(json, as_json) : fail("remote", situation);
    } else if (!has_busid) {
        const char *json = usbip_client_list_remote(server.host.c_str(), server.port, or_null(pw), tls ? 1 : 0);
        rc = json ? show_devices(json, as_json) : fail("remote", situation);
    } else {
        const char *json =
            usbip_client_device_info(server.host.c_str(), server.port, busid.c_str(), or_null(pw), tls ? 1 : 0);
        rc = json ? show_devices(json, as_json, true) : fail("remote", situation);
    }
    usbip_cleanup();
    return rc;
}

// Reports registrations, clients and ends as the relay's code list changes.
class RelayEvents {
public:
    void update(const std::vector<Object> &codes)
    {
        std::map<std::string, long> now;
        for (const auto &c : codes) now[c.get("code")] = std::strtol(c.get("clients").c_str(), nullptr, 10);
        for (const auto &[code, clients] : now) {
            auto old = known_.find(code);
            if (old == known_.end()) event("registered:", code, "");
            long before = old == known_.end() ? 0 : old->second;
            if (clients > before) event("client:    ", code, "(" + std::to_string(clients) + " in all)");
        }
        for (const auto &entry : known_)
            if (now.count(entry.first) == 0) event("ended:     ", entry.first, "");
        known_ = std::move(now);
        std::fflush(stdout);
    }

private:
    static void event(const char *what, const std::string &code, const std::string &detail)
    {
        std::printf("%s %s %s%s%s\n", utc_now().c_str(), what, terminal_text(code).c_str(), detail.empty() ? "" : " ",
                    detail.c_str());
    }
    std::map<std::string, long> known_;
};

int cmd_relay(Args &a)
{
    int port = kDefaultRelayPort;
    while (a.more()) {
        std::string w = a.next();
        if (is_help(w)) {
            print_help(kRelayHelp);
            return 0;
        } else if (w == "--port") {
            port = parse_port("--port", a.value(w));
        } else {
            reject_unknown(w);
        }
        if (a.value_pending()) throw UsageError{w + " takes no value"};
    }
    block_stop_signals();
    if (usbip_init() != 0) return fail("init");
    if (usbip_relay_start(port) != 0) {
        int rc = fail("relay", Situation{port, false, false});
        usbip_cleanup();
        return rc;
    }
    std::printf("Relay listening on port %d. Ctrl-C stops.\n", port);
    std::fflush(stdout);

    RelayEvents events;
    do {
        std::vector<Object> codes;
        cli::parse_array(usbip_relay_list_codes(), &codes);
        events.update(codes);
    } while (!wait_for_stop_signal(200));
    std::printf("Stopping.\n");
    usbip_relay_stop();
    usbip_cleanup();
    return 0;
}

struct Command {
    const char *name;
    int (*run)(Args &);
};

const Command kCommands[] = {
    {"list", cmd_list},
    {"serve", cmd_serve},
    {"remote", cmd_remote},
    {"relay", cmd_relay},
};

void print_main_help(FILE *to)
{
    std::fputs(kMainHelp, to);
    std::fputs(system_commands_help(), to);
    std::fputs(kMainHelpOptions, to);
}

int usage_error(const std::string &command, const std::string &message)
{
    std::string where = command.empty() ? "" : command + ": ";
    std::fprintf(stderr, "%s: %s%s\n", kProgram, where.c_str(), terminal_text(message).c_str());
    std::fprintf(stderr, "Run '%s%s%s --help' for usage.\n", kProgram, command.empty() ? "" : " ",
                 command.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (words.empty()) {
        print_main_help(stderr);
        return 2;
    }
    const std::string &first = words[0];
    if (is_help(first)) {
        print_main_help(stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("%s %s\n", kProgram, HALVOREN_USBIP_VERSION_STRING);
        return 0;
    }
    for (const auto &command : kCommands) {
        if (first != command.name) continue;
        Args a(std::vector<std::string>(words.begin() + 1, words.end()));
        try {
            return command.run(a);
        } catch (const UsageError &e) {
            return usage_error(command.name, e.message);
        }
    }
    const HostHooks hooks{block_stop_signals, wait_for_stop_signal};
    for (const auto &command : system_commands()) {
        if (first != command.name) continue;
        Args a(std::vector<std::string>(words.begin() + 1, words.end()));
        try {
            return command.run(a, hooks);
        } catch (const UsageError &e) {
            return usage_error(command.name, e.message);
        }
    }
    return usage_error("", first.rfind("-", 0) == 0 ? "unknown option '" + first + "'"
                                                    : "unknown command '" + first + "'");
}
