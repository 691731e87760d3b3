// Relay: the line protocol, the registry of servers and pending pairings,
// and the bridge that joins a client's connection to a server's.
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "halvoren_usbip.h"
#include "platform/threads.h"
#include "usbip_internal.h"

// ---------------------------------------------------------------------------
// Line protocol

namespace {

bool starts_with(const char *line, const char *prefix)
{
    return std::strncmp(line, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

std::string usbip_relay_word(const char *line, std::size_t skip, std::size_t max)
{
    std::size_t len = std::strlen(line);
    const char *p = line + (skip < len ? skip : len);
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    std::size_t n = 0;
    while (n < max && p[n] != '\0' && !std::isspace(static_cast<unsigned char>(p[n]))) ++n;
    return std::string(p, n);
}

relay_first_line usbip_relay_parse_first_line(const char *line)
{
    relay_first_line out;
    if (starts_with(line, "REGISTER")) {
        out.kind = relay_request::register_server;
        out.argument = usbip_relay_word(line, 8, 64);
    } else if (starts_with(line, "CONNECT ")) {
        out.kind = relay_request::connect_client;
        out.argument = usbip_relay_word(line, 7, 15);
    } else if (starts_with(line, "ATTACH ")) {
        out.kind = relay_request::attach_server;
        out.argument = usbip_relay_word(line, 6, 31);
    }
    return out;
}

bool usbip_relay_is_heartbeat(const char *line) { return starts_with(line, "HEARTBEAT"); }

bool usbip_relay_parse_code(const char *line, std::string *code)
{
    if (!starts_with(line, "CODE ")) return false;
    *code = usbip_relay_word(line, 4, 15);
    return true;
}

bool usbip_relay_parse_dispatch(const char *line, std::string *ticket)
{
    if (!starts_with(line, "DISPATCH ")) return false;
    *ticket = usbip_relay_word(line, 8, 63);
    return true;
}

bool usbip_relay_is_ok(const char *line) { return starts_with(line, "OK"); }

std::string usbip_relay_make_code()
{
    unsigned char bytes[USBIP_RELAY_CODE_LEN];
    if (!plat::random_bytes(bytes, sizeof bytes)) return std::string();
    std::string code;
    for (unsigned char b : bytes) code += USBIP_RELAY_CHARSET[b & 31];  // 32 characters: no bias
    return code;
}

std::string usbip_relay_make_ticket(int counter)
{
    // Uniform below 9999: reject the top of the 32-bit range.
    std::uint32_t r;
    do {
        if (!plat::random_bytes(&r, sizeof r)) return std::string();
    } while (r >= 4294967295u - 4294967295u % 9999u);
    char ticket[32];
    std::snprintf(ticket, sizeof ticket, "TK%d_%u", counter, r % 9999u);
    return ticket;
}

int usbip_relay_read_line(plat::socket_t s, char *buf, std::size_t size, int wait_ms)
{
    std::size_t n = 0;
    while (n + 1 < size) {
        // Take a byte that is already there without waiting; wait only when
        // none is.
        char c;
        plat::IoError err;
        long got = plat::recv_now(s, &c, 1, &err);
        if (got != 1) {
            if (got == 0 || err != plat::IoError::timed_out) return -1;
            if (plat::wait_readable(s, wait_ms) <= 0) return -1;
            if (plat::recv_some(s, &c, 1, &err) != 1) return -1;
        }
        if (c == '\r') continue;
        if (c == '\n') break;
        buf[n++] = c;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}

bool usbip_send_bytes(plat::socket_t s, const void *data, std::size_t len)
{
    const char *p = static_cast<const char *>(data);
    std::size_t left = len;
    while (left > 0) {
        plat::IoError err;
        long n = plat::send_some(s, p, left, &err);
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Registry and pairing

namespace {

constexpr int kSlots = 64;
constexpr int kFirstLineWaitMs = 5000;
constexpr int kControlWaitMs = 45000;
constexpr int kAttachWaitMs = 8000;     // 80 looks of 100 ms
constexpr int kControlSendLimitMs = 10000;  // lines sent under the lock must not block for ever

struct relay_entry {
    char code[USBIP_RELAY_CODE_LEN + 1];
    char password_hash[65];  // recorded only
    plat::socket_t control_socket;
    int active;
    int clients;             // DISPATCH lines sent; only grows
    std::int64_t last_heartbeat;
    std::uint64_t generation;  // changes whenever the slot is taken
};

// A pairing slot belongs to its pairing handler from CONNECT until that
// handler frees it, attached or not.
struct pending_bridge {
    char ticket[32];
    plat::socket_t client_socket;
    plat::socket_t server_socket;
    int attached;
    int in_use;
};

// Guards both tables, the ticket counter and the registrations' generation
// counter.
// Lock order: the lifecycle lock, then this one; nothing else inside.
std::mutex g_relay_mutex;
std::condition_variable g_attach_cv;  // an attach arrived, or the relay stops
relay_entry g_relay_entries[kSlots];
pending_bridge g_pending_bridges[kSlots];
int s_ticket_counter = 1000;  // never reset: ticket numbers never repeat
std::uint64_t g_generation = 0;

std::mutex g_relay_lifecycle;  // serialises start and stop, held across waits
std::atomic<bool> g_relay_running{false};
usbip_listener g_relay_listener;  // started and stopped under the lifecycle lock
plat::ThreadSet g_relay_threads;  // handlers and bridges

thread_local std::string tls_relay_json;

// Copies bytes both ways until either side closes or fails, or the relay
// stops. Every byte received is sent on. The caller closes both sockets.
void bridge_worker(plat::socket_t client, plat::socket_t server)
{
    static constexpr std::size_t kBuffer = 16384;
    char buf[kBuffer];
    auto pass_on = [&buf](plat::socket_t from, plat::socket_t to) {
        plat::IoError err;
        long n = plat::recv_some(from, buf, kBuffer, &err);
        return n > 0 && usbip_send_bytes(to, buf, static_cast<std::size_t>(n));
    };
    while (g_relay_running) {
        bool client_ready = false, server_ready = false;
        int r = plat::wait_readable2(client, server, 1000, &client_ready, &server_ready);
        if (r < 0) break;
        if (r == 0) continue;
        if (client_ready && !pass_on(client, server)) break;
        if (server_ready && !pass_on(server, client)) break;
    }
}

void serve_registration(const plat::Socket &s, const std::string &hash)
{
    int slot = -1;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        for (int i = 0; i < kSlots && slot < 0; ++i)
            if (!g_relay_entries[i].active) slot = i;
        if (slot >= 0) {
            // A fresh code, never one that an active registration holds.
            std::string code;
            bool taken;
            do {
                code = usbip_relay_make_code();
                taken = false;
                for (const relay_entry &e : g_relay_entries)
                    if (e.active && code == e.code) taken = true;
            } while (taken && !code.empty());
            if (code.empty()) slot = -1;  // no random source: refuse like a full relay
            else {
                relay_entry &e = g_relay_entries[slot];
                std::memset(&e, 0, sizeof e);
                usbip_copy_text(e.code, sizeof e.code, code.c_str());
                usbip_copy_text(e.password_hash, sizeof e.password_hash, hash.c_str());
                e.control_socket = s.get();
                e.active = 1;
                e.last_heartbeat = plat::wall_seconds();
                e.generation = generation = ++g_generation;
                plat::set_io_timeouts(s.get(), kControlSendLimitMs);
                usbip_send_line(s.get(), "CODE " + code + "\n");
            }
        }
    }
    if (slot < 0) {
        usbip_send_line(s.get(), "ERROR Relay capacity reached\n");
        return;
    }
    char line[128];
    while (g_relay_running) {
        if (usbip_relay_read_line(s.get(), line, sizeof line, kControlWaitMs) <= 0) break;
        if (!usbip_relay_is_heartbeat(line)) continue;
        {
            std::lock_guard<std::mutex> lock(g_relay_mutex);
            if (g_relay_entries[slot].generation == generation)
                g_relay_entries[slot].last_heartbeat = plat::wall_seconds();
        }
        usbip_send_line(s.get(), "OK\n");
    }
    std::lock_guard<std::mutex> lock(g_relay_mutex);
    relay_entry &e = g_relay_entries[slot];
    if (e.generation == generation) {  // the slot is still ours
        e.active = 0;
        e.control_socket = plat::kNoSocket;
    }
}

void serve_pairing(const plat::Socket &client, const std::string &code)
{
    int slot = -1;
    const char *refusal = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        relay_entry *entry = nullptr;
        for (relay_entry &e : g_relay_entries) {
            if (e.active && code == e.code) {
                entry = &e;
                break;
            }
        }
        for (int i = 0; i < kSlots && slot < 0; ++i)
            if (!g_pending_bridges[i].in_use) slot = i;
        std::string ticket = entry ? usbip_relay_make_ticket(s_ticket_counter) : std::string();
        if (entry == nullptr) {
            refusal = "ERROR Code not found\n";
        } else if (slot < 0 || ticket.empty()) {
            refusal = "ERROR Relay capacity reached\n";
        } else {
            ++s_ticket_counter;
            pending_bridge &p = g_pending_bridges[slot];
            std::memset(&p, 0, sizeof p);
            usbip_copy_text(p.ticket, sizeof p.ticket, ticket.c_str());
            p.client_socket = client.get();
            p.server_socket = plat::kNoSocket;
            p.in_use = 1;
            usbip_send_line(entry->control_socket, "DISPATCH " + ticket + "\n");
            ++entry->clients;
        }
    }
    if (refusal != nullptr) {
        usbip_send_line(client.get(), refusal);
        return;
    }

    plat::Socket server;
    std::optional<plat::ThreadSet::Watch> server_watch;  // ends before `server` closes
    {
        std::unique_lock<std::mutex> lock(g_relay_mutex);
        pending_bridge &p = g_pending_bridges[slot];
        g_attach_cv.wait_for(lock, std::chrono::milliseconds(kAttachWaitMs),
                             [&] { return p.attached || !g_relay_running; });
        if (p.attached) {
            server.reset(p.server_socket);
            server_watch.emplace(g_relay_threads, server.get());
        }
        // The slot is free again at once: a late ATTACH finds no pairing.
        p.in_use = 0;
        p.attached = 0;
    }
    if (!server.valid()) {
        usbip_send_line(client.get(), "ERROR Server failed to attach\n");
        return;
    }
    if (!usbip_send_line(client.get(), "OK\n")) return;
    // This thread becomes the pairing's bridge.
    bridge_worker(client.get(), server.get());
}

void serve_attach(plat::Socket &s, std::optional<plat::ThreadSet::Watch> &watch, const std::string &ticket)
{
    {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        for (pending_bridge &p : g_pending_bridges) {
            if (p.in_use && !p.attached && ticket == p.ticket) {
                watch.reset();  // the pairing's handler owns and watches it now
                p.server_socket = s.release();
                p.attached = 1;
                g_attach_cv.notify_all();
                return;
            }
        }
    }
    usbip_send_line(s.get(), "ERROR Invalid ticket\n");
}

void relay_client_handler(plat::socket_t fd)
{
    plat::Socket s(fd);
    std::optional<plat::ThreadSet::Watch> watch;  // declared after s: ends before s closes
    watch.emplace(g_relay_threads, fd);
    // A stop whose wake-up came before this socket was watched has cleared
    // the flag already: end now rather than after the first-line wait.
    if (!g_relay_running) return;
    char line[512];
    if (usbip_relay_read_line(fd, line, sizeof line, kFirstLineWaitMs) < 0) return;
    relay_first_line first = usbip_relay_parse_first_line(line);
    switch (first.kind) {
    case relay_request::register_server:
        serve_registration(s, first.argument);
        break;
    case relay_request::connect_client:
        serve_pairing(s, first.argument);
        break;
    case relay_request::attach_server:
        serve_attach(s, watch, first.argument);
        break;
    case relay_request::none:
        break;  // closed without an answer
    }
}

void relay_accept(plat::socket_t s)
{
    if (!g_relay_threads.spawn([s] { relay_client_handler(s); })) plat::close(s);
}

}  // namespace

extern "C" {

USBIP_API int usbip_relay_start(int port)
{
    return usbip_guard(-1, [port]() -> int {
        std::lock_guard<std::mutex> life(g_relay_lifecycle);
        if (g_relay_running) return 0;
        {
            std::lock_guard<std::mutex> lock(g_relay_mutex);
            std::memset(g_relay_entries, 0, sizeof g_relay_entries);
            std::memset(g_pending_bridges, 0, sizeof g_pending_bridges);
            g_relay_running = true;
        }
        if (!g_relay_listener.start(port, "relay_start", "relay_start: failed to spawn listener thread",
                                    g_relay_running, relay_accept)) {
            g_relay_running = false;
            return -1;
        }
        return 0;
    });
}

USBIP_API void usbip_relay_stop(void)
{
    std::lock_guard<std::mutex> life(g_relay_lifecycle);
    {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        if (!g_relay_running) return;
        g_relay_running = false;
        for (relay_entry &e : g_relay_entries) e.active = 0;
        g_attach_cv.notify_all();
    }
    g_relay_listener.stop();
    // Control connections, pairings and bridges end when their sockets are
    // shut down; after the stop no relay thread runs.
    g_relay_threads.wake_all();
    g_relay_threads.join_all();
}

USBIP_API const char *usbip_relay_list_codes(void)
{
    return usbip_guard<const char *>("[]", [] {
        std::lock_guard<std::mutex> lock(g_relay_mutex);
        json_array_builder array(tls_relay_json);
        for (const relay_entry &e : g_relay_entries) {
            if (!e.active) continue;
            // Codes are drawn from the code characters: nothing to escape.
            array.next()
                .append("{\"code\":\"")
                .append(e.code)
                .append("\",\"active\":")
                .append(std::to_string(e.active))
                .append(",\"clients\":")
                .append(std::to_string(e.clients))
                .append("}");
        }
        return array.finish();
    });
}

}  // extern "C"
