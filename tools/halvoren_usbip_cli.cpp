// halvoren-usbip: command-line host of the library, built on its public
// header only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <algorithm>
#include <utility>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <ctime>
#include <pthread.h>
#endif

#include "halvoren_usbip.h"

namespace {

// ---------------------------------------------------------------------------
// A minimal reader for the library's JSON: an array of flat objects whose
// values are strings or integers.

using Object = std::vector<std::pair<std::string, std::string>>;

struct JsonReader {
    const char *p;

    void ws()
    {
        while (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t') ++p;
    }
    bool eat(char c)
    {
        ws();
        if (*p != c) return false;
        ++p;
        return true;
    }
    static void put_utf8(std::string &out, unsigned cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    bool string(std::string &out)
    {
        if (!eat('"')) return false;
        while (*p != '"') {
            if (*p == '\0') return false;
            if (*p != '\\') {
                out += *p++;
                continue;
            }
            ++p;
            char e = *p++;
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                unsigned cp = 0;
                for (int i = 0; i < 4; ++i) {
                    char h = *p++;
                    cp <<= 4;
                    if (h >= '0' && h <= '9') cp |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f') cp |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F') cp |= static_cast<unsigned>(h - 'A' + 10);
                    else return false;
                }
                put_utf8(out, cp);
                break;
            }
            case '\0': return false;
            default: out += e;
            }
        }
        ++p;
        return true;
    }
    bool value(std::string &out)
    {
        ws();
        if (*p == '"') return string(out);
        while (*p == '-' || (*p >= '0' && *p <= '9')) out += *p++;
        return !out.empty();
    }
    bool object(Object &obj)
    {
        if (!eat('{')) return false;
        if (eat('}')) return true;
        do {
            std::string k, v;
            if (!string(k) || !eat(':') || !value(v)) return false;
            obj.emplace_back(std::move(k), std::move(v));
        } while (eat(','));
        return eat('}');
    }
    bool array(std::vector<Object> &items)
    {
        if (!eat('[')) return false;
        if (eat(']')) return true;
        do {
            Object o;
            if (!object(o)) return false;
            items.push_back(std::move(o));
        } while (eat(','));
        return eat(']');
    }
};

std::string field(const Object &o, const char *key)
{
    for (const auto &kv : o)
        if (kv.first == key) return kv.second;
    return "";
}

// Text that came from a peer or a device, made safe for a terminal: C0
// and C1 control characters and DEL (which start escape sequences) and bytes
// that are not UTF-8 are shown as \xNN or \uNNNN; the rest is kept.
std::string terminal_text(const std::string &s)
{
    std::string out;
    char esc[8];
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b >= 0x20 && b < 0x7f) {
            out += s[i++];
            continue;
        }
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t len = b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
        unsigned cp = len == 2 ? b & 0x1fu : len == 3 ? b & 0x0fu : b & 0x07u;
        for (std::size_t k = 1; k < len; ++k) {
            auto c = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
            if ((c & 0xc0) != 0x80) {
                len = 0;
                break;
            }
            cp = (cp << 6) | (c & 0x3fu);
        }
        bool well_formed = len != 0 && !(len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) &&
                           !(len == 4 && (cp < 0x10000 || cp > 0x10ffff));
        if (well_formed && cp >= 0xa0) {
            out.append(s, i, len);
            i += len;
        } else if (well_formed) {  // U+0080..U+009F: C1 controls
            std::snprintf(esc, sizeof esc, "\\u%04x", cp);
            out += esc;
            i += len;
        } else {
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            out += esc;
            ++i;
        }
    }
    return out;
}

// Shortens text to `width` characters for the table (after making it safe).
std::string cell(const std::string &raw, std::size_t width)
{
    std::string s = terminal_text(raw);
    if (s.size() > width) s = s.substr(0, width - 1) + "~";
    return s;
}

void print_device_table(const std::vector<Object> &devices)
{
    std::printf("%-10s %-9s  %-24s %-28s %-8s %s\n", "BUSID", "VID:PID", "VENDOR", "PRODUCT",
                "SPEED", "CLASS");
    for (const auto &d : devices) {
        std::string vid = field(d, "vid"), pid = field(d, "pid");
        std::string ids = vid.substr(vid.size() > 2 ? 2 : 0) + ":" + pid.substr(pid.size() > 2 ? 2 : 0);
        std::printf("%-10s %-9s  %-24s %-28s %-8s %s\n", cell(field(d, "busid"), 10).c_str(),
                    ids.c_str(), cell(field(d, "vendor"), 24).c_str(),
                    cell(field(d, "product"), 28).c_str(), field(d, "speed").c_str(),
                    field(d, "class").c_str());
    }
    if (devices.empty()) std::printf("(no devices)\n");
}

// The library's message may quote a peer (a relay's answer line, a bus id).
int fail(const char *what)
{
    std::fprintf(stderr, "halvoren-usbip: %s: %s\n", what, terminal_text(usbip_last_error()).c_str());
    return 1;
}

int show_devices(const char *json, bool as_json)
{
    if (as_json) {
        std::printf("%s\n", json);
        return 0;
    }
    std::vector<Object> devices;
    JsonReader reader{json};
    if (!reader.array(devices)) {
        std::fprintf(stderr, "halvoren-usbip: unreadable reply: %s\n", terminal_text(json).c_str());
        return 1;
    }
    print_device_table(devices);
    return 0;
}

// ---------------------------------------------------------------------------
// Commands

struct Args {
    std::vector<std::string> words;
    size_t i = 0;
    bool more() const { return i < words.size(); }
    bool next_is_value() const { return more() && words[i].rfind("--", 0) != 0; }
    std::string take() { return words[i++]; }
};

void usage()
{
    std::fprintf(stderr,
                 "usage:\n"
                 "  halvoren-usbip list [--json]\n"
                 "  halvoren-usbip serve [--port 3240] [--password P] [--tls]\n"
                 "                       [--share BUSID ...|--share-all] [--relay HOST:PORT]\n"
                 "  halvoren-usbip remote HOST[:PORT] [--password P] [--tls] [--busid ID]\n"
                 "                       [--json] [--timeout MS]\n"
                 "  halvoren-usbip remote --relay HOST:PORT --code CODE [--password P]\n"
                 "                       [--json] [--timeout MS]\n"
                 "  halvoren-usbip relay [--port 3241]\n");
}

int bad_usage(const std::string &word)
{
    std::fprintf(stderr, "halvoren-usbip: unexpected argument '%s'\n", word.c_str());
    usage();
    return 2;
}

bool parse_int(const std::string &text, int *out)
{
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 2147483647L) return false;
    *out = static_cast<int>(v);
    return true;
}

// "host", "host:port" or "[v6-address]:port".
bool parse_endpoint(const std::string &text, std::string *host, int *port)
{
    std::string port_text;
    if (!text.empty() && text[0] == '[') {
        auto close = text.find(']');
        if (close == std::string::npos) return false;
        *host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            port_text = text.substr(close + 2);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        auto colon = text.find(':');
        *host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    } else {
        *host = text;
    }
    if (!port_text.empty() && !parse_int(port_text, port)) return false;
    return !host->empty();
}

// ---------------------------------------------------------------------------
// Stop signals: Ctrl-C (and SIGTERM, or closing the console on Windows) ends
// `serve` and `relay` in order, through the library's stop and cleanup.

#ifdef _WIN32
// Set by the console's control handler, which Windows runs on a thread of
// its own.
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

void wait_for_stop_signal() { WaitForSingleObject(g_stop_event, INFINITE); }

// True when a stop signal came within `ms`.
bool stop_signal_within(int ms) { return WaitForSingleObject(g_stop_event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0; }
#else
sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Blocks the stop signals in every thread (library threads inherit the
// mask), so that only the waits below receive them.
void block_stop_signals()
{
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_for_stop_signal()
{
    sigset_t set = stop_signals();
    int sig = 0;
    sigwait(&set, &sig);
}

// True when a stop signal came within `ms`.
bool stop_signal_within(int ms)
{
    sigset_t set = stop_signals();
    timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000 * 1000};
    return sigtimedwait(&set, nullptr, &wait) > 0;
}
#endif

int cmd_list(Args &a)
{
    bool as_json = false;
    while (a.more()) {
        std::string w = a.take();
        if (w == "--json") {
            as_json = true;
        } else {
            usage();
            return 2;
        }
    }
    if (usbip_init() != 0) return fail("init");
    int rc = show_devices(usbip_list_local_devices(), as_json);
    usbip_cleanup();
    return rc;
}

int cmd_serve(Args &a)
{
    int port = 3240;
    std::string password;
    bool tls = false, share_all = false;
    std::vector<std::string> shares;
    std::string relay_host;
    int relay_port = 3241;
    while (a.more()) {
        std::string w = a.take();
        if (w == "--port" && a.next_is_value()) {
            if (!parse_int(a.take(), &port)) return bad_usage(w);
        } else if (w == "--relay" && a.more()) {
            if (!parse_endpoint(a.take(), &relay_host, &relay_port)) return bad_usage(w);
        } else if (w == "--password" && a.more()) {
            password = a.take();
        } else if (w == "--tls") {
            tls = true;
        } else if (w == "--share-all") {
            share_all = true;
        } else if (w == "--share" && a.next_is_value()) {
            while (a.next_is_value()) shares.push_back(a.take());
        } else {
            return bad_usage(w);
        }
    }

    block_stop_signals();
    if (usbip_init() != 0) return fail("init");
    std::vector<Object> local;
    JsonReader reader{usbip_list_local_devices()};
    reader.array(local);
    if (share_all)
        for (const auto &d : local) shares.push_back(field(d, "busid"));
    for (const auto &busid : shares) {
        if (usbip_server_share(busid.c_str()) != 0) {
            int rc = fail("share");
            usbip_cleanup();
            return rc;
        }
    }
    if (usbip_server_start(port, password.empty() ? nullptr : password.c_str(), tls ? 1 : 0) != 0) {
        int rc = fail("serve");
        usbip_cleanup();
        return rc;
    }
    std::vector<Object> shared;
    JsonReader shared_reader{usbip_server_list_shared()};
    shared_reader.array(shared);
    std::printf("Serving %zu device(s) on port %d (TLS %s, password %s). Ctrl-C stops.\n", shared.size(), port,
                tls ? "on" : "off", password.empty() ? "none" : "set");
    print_device_table(shared);
    if (!relay_host.empty()) {
        const char *code = usbip_server_register_relay(relay_host.c_str(), relay_port,
                                                       password.empty() ? nullptr : password.c_str());
        if (code == nullptr) {
            int rc = fail("relay");
            usbip_cleanup();
            return rc;
        }
        std::printf("Registered with relay %s:%d. Pairing code: %s\n", relay_host.c_str(), relay_port, code);
    }
    std::fflush(stdout);

    wait_for_stop_signal();
    std::printf("Stopping.\n");
    usbip_server_stop();
    usbip_cleanup();
    return 0;
}

int cmd_remote(Args &a)
{
    std::string host, password, busid, relay_host, code;
    int port = 3240, timeout_ms = 0, relay_port = 3241;
    bool tls = false, as_json = false;
    while (a.more()) {
        std::string w = a.take();
        if (w == "--relay" && a.more()) {
            if (!parse_endpoint(a.take(), &relay_host, &relay_port)) return bad_usage(w);
        } else if (w == "--code" && a.more()) {
            code = a.take();
        } else if (w == "--password" && a.more()) {
            password = a.take();
        } else if (w == "--tls") {
            tls = true;
        } else if (w == "--json") {
            as_json = true;
        } else if (w == "--busid" && a.more()) {
            busid = a.take();
        } else if (w == "--timeout" && a.next_is_value()) {
            if (!parse_int(a.take(), &timeout_ms)) return bad_usage(w);
        } else if (host.empty() && w.rfind("--", 0) != 0) {
            if (!parse_endpoint(w, &host, &port)) return bad_usage(w);
        } else {
            return bad_usage(w);
        }
    }
    bool by_code = !relay_host.empty() || !code.empty();
    if (by_code ? (relay_host.empty() || code.empty() || !host.empty() || tls || !busid.empty()) : host.empty()) {
        usage();
        return 2;
    }
    if (usbip_init() != 0) return fail("init");
    if (timeout_ms > 0) usbip_client_set_timeout(timeout_ms);
    const char *pw = password.empty() ? nullptr : password.c_str();
    int rc;
    if (by_code) {
        const char *json = usbip_client_list_by_code(relay_host.c_str(), relay_port, code.c_str(), pw);
        rc = json ? show_devices(json, as_json) : fail("remote");
    } else if (busid.empty()) {
        const char *json = usbip_client_list_remote(host.c_str(), port, pw, tls ? 1 : 0);
        rc = json ? show_devices(json, as_json) : fail("remote");
    } else {
        const char *json = usbip_client_device_info(host.c_str(), port, busid.c_str(), pw, tls ? 1 : 0);
        rc = json ? show_devices(as_json ? json : ("[" + std::string(json) + "]").c_str(), as_json) : fail("remote");
    }
    usbip_cleanup();
    return rc;
}

int cmd_relay(Args &a)
{
    int port = 3241;
    while (a.more()) {
        std::string w = a.take();
        if (w == "--port" && a.next_is_value()) {
            if (!parse_int(a.take(), &port)) return bad_usage(w);
        } else {
            return bad_usage(w);
        }
    }
    block_stop_signals();
    if (usbip_init() != 0) return fail("init");
    if (usbip_relay_start(port) != 0) {
        int rc = fail("relay");
        usbip_cleanup();
        return rc;
    }
    std::printf("Relay listening on port %d. Ctrl-C stops.\n", port);
    std::fflush(stdout);

    // Report registrations as they come and go, until a stop signal.
    std::vector<std::string> known;
    for (;;) {
        std::vector<Object> codes;
        JsonReader reader{usbip_relay_list_codes()};
        reader.array(codes);
        std::vector<std::string> now;
        for (const auto &c : codes) now.push_back(field(c, "code"));
        for (const auto &c : now)
            if (std::find(known.begin(), known.end(), c) == known.end()) std::printf("registered: %s\n", c.c_str());
        for (const auto &c : known)
            if (std::find(now.begin(), now.end(), c) == now.end()) std::printf("ended:      %s\n", c.c_str());
        std::fflush(stdout);
        known = now;
        if (stop_signal_within(200)) break;
    }
    std::printf("Stopping.\n");
    usbip_relay_stop();
    usbip_cleanup();
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Args a;
    for (int i = 1; i < argc; ++i) a.words.emplace_back(argv[i]);
    if (!a.more()) {
        usage();
        return 2;
    }
    std::string cmd = a.take();
    if (cmd == "list") return cmd_list(a);
    if (cmd == "serve") return cmd_serve(a);
    if (cmd == "remote") return cmd_remote(a);
    if (cmd == "relay") return cmd_relay(a);
    usage();
    return 2;
}
