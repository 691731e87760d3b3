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
#include "cli_options.h"
#include "cli_support.h"
#include "cli_trust.h"
#include "command_specs.h"
#include "forward_client.h"
#include "system_commands.h"
#include "halvoren_usbip.h"

namespace {

using namespace cli;

// ---------------------------------------------------------------------------
// Stop signals. Only the main thread takes SIGINT and SIGTERM, so that they
// never interrupt a system call in one of the library's threads.

// What ended a wait of `serve`.
enum class Woken { timeout, stop, reload, status };

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

// Windows has no SIGHUP: only a stop ends the wait early.
Woken wait_for_stop_or_reload(int timeout_ms)
{
    return wait_for_stop_signal(timeout_ms) ? Woken::stop : Woken::timeout;
}
#else
sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // SIGHUP too: `serve` takes it as "share again" (systemctl reload), the
    // other commands as a stop, rather than dying at once.
    sigaddset(&set, SIGHUP);
    // SIGUSR1: `serve` prints its sessions; elsewhere it is ignored.
    sigaddset(&set, SIGUSR1);
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
    for (;;) {
        int sig = 0;
        if (timeout_ms < 0) {
            if (sigwait(&set, &sig) != 0) return false;
        } else {
            timespec wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000L * 1000L};
            sig = sigtimedwait(&set, nullptr, &wait);
            if (sig <= 0) return false;
        }
        if (sig != SIGUSR1) return true;
    }
}

// Waits at most timeout_ms for a stop signal, SIGHUP or SIGUSR1.
Woken wait_for_stop_or_reload(int timeout_ms)
{
    sigset_t set = stop_signals();
    timespec wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000L * 1000L};
    int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig <= 0) return Woken::timeout;
    if (sig == SIGHUP) return Woken::reload;
    return sig == SIGUSR1 ? Woken::status : Woken::stop;
}
#endif

// ---------------------------------------------------------------------------
// Output

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

// What a server or a relay does, as it happens: one line per event (its
// JSON, which carries the time), info and above unless -v (debug too) or
// -q (warnings and errors only) says otherwise. Under systemd each line
// starts with its syslog priority so that the journal keeps the level.
class EventPrinter {
public:
    explicit EventPrinter(const Parsed &p)
        : journal_(std::getenv("JOURNAL_STREAM") != nullptr), debug_(p.has("--verbose")), quiet_(p.has("--quiet"))
    {
        if (debug_ && quiet_) throw UsageError{"give -v (--verbose) or -q (--quiet), not both"};
    }

    // Prints every event queued now; waits for none.
    void drain()
    {
        while (const char *e = usbip_next_event(0)) {
            const std::string event = e;
            int priority = 6;
            if (event.find("\"level\":\"debug\"") != std::string::npos) {
                if (!debug_) continue;
                priority = 7;
            }
            if (event.find("\"level\":\"warning\"") != std::string::npos) priority = 4;
            if (event.find("\"level\":\"error\"") != std::string::npos) priority = 3;
            if (quiet_ && priority > 4) continue;
            if (journal_) std::printf("<%d>", priority);
            std::printf("%s\n", terminal_text(event).c_str());
        }
        std::fflush(stdout);
    }

private:
    bool journal_, debug_, quiet_;
};

// ---------------------------------------------------------------------------
// Commands

int cmd_list(Args &a)
{
    Parsed p = parse_options(kListSpec, a);
    if (p.help) return print_help(kListSpec);
    const bool as_json = p.has("--json");
    if (usbip_init() != 0) return fail("init");
    int rc = show_devices(usbip_list_local_devices(), as_json);
    usbip_cleanup();
    return rc;
}

int cmd_serve(Args &a)
{
    Parsed p = parse_options(kServeSpec, a);
    if (p.help) return print_help(kServeSpec);
    EventPrinter events(p);
    const int port = p.has("--port") ? parse_port("--port", p.value("--port")) : kDefaultServerPort;
    Endpoint relay;
    if (p.has("--relay")) relay = parse_endpoint("--relay", p.value("--relay"), kDefaultRelayPort);
    PasswordSource password;
    password.take(p);
    const bool tls = p.has("--tls"), share_all = p.has("--share-all"), forward = p.has("--forward"),
               stock_clients = p.has("--stock-clients");
    std::vector<std::string> shares = p.values("--share");
    if (tls && !relay.host.empty())
        throw UsageError{"--tls and --relay do not go together: clients that come through a relay never start TLS, "
                         "so none could reach this server by its code"};
    if (share_all && !shares.empty()) throw UsageError{"give --share or --share-all, not both"};
    if (p.has("--registration-key-file") && relay.host.empty())
        throw UsageError{"--registration-key-file goes with --relay: the key is for the relay"};
    const std::string key =
        p.has("--registration-key-file") ? read_key_file("--registration-key-file", p.value("--registration-key-file")) : "";
    std::string pw = password.resolve();
    if (stock_clients && (tls || !pw.empty()))
        throw UsageError{"--stock-clients works only without a password and without --tls: stock USB/IP clients "
                         "speak neither"};
    const std::string key_file = p.value("--key-file");
    if (p.has("--key-file") && !tls) throw UsageError{"--key-file keeps the server's TLS key: it needs --tls"};

    block_stop_signals();
    Situation situation{port, tls, false};
    if (usbip_init() != 0) return fail("init");
    std::vector<Object> local;
    cli::parse_array(usbip_list_local_devices(), &local);
    if (share_all) {
        for (const auto &d : local) {
            if (usbip_server_share(d.get("busid").c_str()) != 0) {
                int rc = fail("share");
                usbip_cleanup();
                return rc;
            }
        }
    }
    // Each --share is a rule: what it names is shared now and whenever it is
    // plugged in.
    for (const auto &rule : shares) {
        if (usbip_server_share_rule(rule.c_str()) != 0) {
            int rc = fail("share");
            std::fprintf(stderr, "  A device is named by its bus id ('halvoren-usbip list' shows them), by VID:PID "
                                 "or by VID:PID:SERIAL.\n");
            usbip_cleanup();
            return rc;
        }
    }
    usbip_server_set_forwarding(forward ? 1 : 0);
    usbip_server_set_stock_clients(stock_clients ? 1 : 0);
    if (!key_file.empty() && usbip_tls_set_key_file(key_file.c_str()) != 0) {
        int rc = fail("serve", situation);
        usbip_cleanup();
        return rc;
    }
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
    if (tls) {
        const char *fingerprint = usbip_tls_key_fingerprint();
        std::printf("TLS key fingerprint (SHA-256): %s%s\n", fingerprint ? fingerprint : "(none)",
                    key_file.empty() ? " (a new key: --key-file keeps one)" : "");
    }
    print_device_table(shared);
    if (!shares.empty()) {
        std::string rules;
        for (const auto &rule : shares) rules += (rules.empty() ? "" : ", ") + rule;
        std::printf("Shared as they are plugged in: %s\n", terminal_text(rules).c_str());
    }
    if (shared.empty() && shares.empty())
        std::printf("%s\n", share_all ? "Nothing to share: no USB device here could be read ('halvoren-usbip list' "
                                        "shows what this machine sees)."
                                      : "Nothing is shared, so clients get an empty list: name devices with --share "
                                        "DEVICE ... ('halvoren-usbip list' shows the bus ids) or give --share-all.");
    if (!relay.host.empty()) {
        const char *code = usbip_server_set_registration_key(or_null(key)) == 0
                               ? usbip_server_register_relay(relay.host.c_str(), relay.port, or_null(pw))
                               : nullptr;
        if (code == nullptr) {
            int rc = fail("relay", situation);
            usbip_cleanup();
            return rc;
        }
        std::printf("Registered with relay %s:%d. Pairing code: %s\n", terminal_text(relay.host).c_str(), relay.port,
                    terminal_text(code).c_str());
    }
    std::fflush(stdout);

    // SIGHUP shares again what the command line names: with --share-all,
    // the devices plugged in since (rules follow the plugging by themselves).
    for (;;) {
        events.drain();
        const Woken woken = wait_for_stop_or_reload(200);
        if (woken == Woken::stop) break;
        if (woken == Woken::status) {
            // One line, for `kill -USR1` and a look at the journal.
            const char *sessions = usbip_server_sessions();
            std::printf("Sessions: %s\n", sessions != nullptr ? terminal_text(sessions).c_str() : "[]");
            std::fflush(stdout);
            continue;
        }
        if (woken != Woken::reload) continue;
        std::size_t before = shared.size();
        if (share_all) {
            local.clear();
            const char *now = usbip_list_local_devices();
            if (now != nullptr) cli::parse_array(now, &local);
            for (const auto &d : local)
                if (usbip_server_share(d.get("busid").c_str()) != 0)
                    std::fprintf(stderr, "Could not share %s: %s\n", terminal_text(d.get("busid")).c_str(),
                                 terminal_text(usbip_last_error()).c_str());
        }
        shared.clear();
        const char *listed = usbip_server_list_shared();
        if (listed != nullptr) cli::parse_array(listed, &shared);
        std::printf("Reloaded: %zu device(s) shared (%zu before).\n", shared.size(), before);
    }
    std::printf("Stopping.\n");
    usbip_server_stop();
    usbip_cleanup();
    return 0;
}

int cmd_remote(Args &a)
{
    Parsed p = parse_options(kRemoteSpec, a);
    if (p.help) return print_help(kRemoteSpec);
    Endpoint server = server_operand(p), relay;
    if (p.has("--relay")) relay = parse_endpoint("--relay", p.value("--relay"), kDefaultRelayPort);
    const std::string code = p.has("--code") ? parse_code(p.value("--code")) : "";
    PasswordSource password;
    password.take(p);
    const std::string busid = p.value("--busid");
    const int timeout_ms = p.has("--timeout") ? parse_timeout(p.value("--timeout")) : 0;
    const bool tls = p.has("--tls"), as_json = p.has("--json"), has_busid = p.has("--busid"),
               descriptors = p.has("--descriptors");
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
    TrustOptions trust;
    trust.take(p, tls);
    std::string pw = password.resolve();
    if (descriptors) {
        ImportTarget target;
        target.server = server;
        target.tls = tls;
        target.relay = relay;
        target.code = code;
        target.password = pw;
        target.busid = busid;
        return show_remote_descriptors(target, trust, timeout_ms);
    }

    if (usbip_init() != 0) return fail("init");
    if (timeout_ms > 0) usbip_client_set_timeout(timeout_ms);
    int trusted = prepare_client("remote", trust, server, tls, pw);
    if (trusted >= 0) {
        usbip_cleanup();
        return trusted;
    }
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

int cmd_relay(Args &a)
{
    Parsed p = parse_options(kRelaySpec, a);
    if (p.help) return print_help(kRelaySpec);
    EventPrinter events(p);
    const int port = p.has("--port") ? parse_port("--port", p.value("--port")) : kDefaultRelayPort;
    const int registrations = p.has("--registrations") ? parse_count("--registrations", p.value("--registrations"), 65536) : 64;
    const int pairings = p.has("--pairings") ? parse_count("--pairings", p.value("--pairings"), 65536) : 64;
    const std::string key =
        p.has("--registration-key-file") ? read_key_file("--registration-key-file", p.value("--registration-key-file")) : "";
    block_stop_signals();
    if (usbip_init() != 0) return fail("init");
    if (usbip_relay_set_registration_key(or_null(key)) != 0 || usbip_relay_set_capacity(registrations, pairings) != 0 ||
        usbip_relay_start(port) != 0) {
        int rc = fail("relay", Situation{port, false, false});
        usbip_cleanup();
        return rc;
    }
    std::printf("Relay listening on port %d (%s). Ctrl-C stops.\n", port,
                key.empty() ? "open to every server" : "servers need its registration key");
    std::fflush(stdout);

    do events.drain();
    while (!wait_for_stop_signal(200));
    std::printf("Stopping.\n");
    usbip_relay_stop();
    usbip_cleanup();
    return 0;
}

struct Command {
    const CommandSpec *cmd;
    int (*run)(Args &);
};

const Command kCommands[] = {
    {&kListSpec, cmd_list},
    {&kServeSpec, cmd_serve},
    {&kRemoteSpec, cmd_remote},
    {&kRelaySpec, cmd_relay},
};

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
        std::fputs(program_help().c_str(), stderr);
        return 2;
    }
    const std::string &first = words[0];
    if (is_help(first)) {
        std::fputs(program_help().c_str(), stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("%s %s\n", kProgram, HALVOREN_USBIP_VERSION_STRING);
        return 0;
    }
    for (const auto &command : kCommands) {
        if (first != command.cmd->name) continue;
        Args a(std::vector<std::string>(words.begin() + 1, words.end()));
        try {
            return command.run(a);
        } catch (const UsageError &e) {
            return usage_error(command.cmd->name, e.message);
        }
    }
    const HostHooks hooks{block_stop_signals, wait_for_stop_signal};
    for (const auto &command : system_commands()) {
        if (first != command.cmd->name) continue;
        Args a(std::vector<std::string>(words.begin() + 1, words.end()));
        try {
            return command.run(a, hooks);
        } catch (const UsageError &e) {
            return usage_error(command.cmd->name, e.message);
        }
    }
    return usage_error("", first.rfind("-", 0) == 0 ? "unknown option '" + first + "'"
                                                    : "unknown command '" + first + "'");
}
