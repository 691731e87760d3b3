// Relay: the registry of servers and pending pairings, the handlers of its
// connections, and the bridge that joins a client's connection to a
// server's. The line formats are in usbip_relay_lines.cpp.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "halvoren_usbip.h"
#include "platform/threads.h"
#include "usbip_device.h"
#include "usbip_events.h"
#include "usbip_frame.h"
#include "usbip_line_io.h"
#include "usbip_relay.h"
#include "usbip_relay_lines.h"
#include "usbip_limits.h"
#include "usbip_listener.h"
#include "usbip_pump.h"

namespace {

constexpr int kSlots = 64;
constexpr int kFirstByteWaitMs = 5000;     // for each byte of a first line
constexpr int kFirstLineLimitMs = 10000;   // for the whole first line, from the accept
constexpr int kControlWaitMs = 45000;      // for each byte on a control connection
constexpr int kAttachWaitMs = 8000;        // for a server's data connection
constexpr int kClientLookMs = 100;         // a waiting client that leaves frees its slot this soon
constexpr int kBridgeIdleMs = 30000;       // a bridge that moves nothing ends
constexpr int kAnswerLimitMs = 5000;       // for an answer that ends a connection
constexpr std::size_t kThreads = 512;      // handlers and bridges at once
constexpr std::size_t kThreadsPerAddress = 32;  // handlers and bridges of one address at once
constexpr int kRegistrationsPerAddress = 16;
constexpr int kWaitingPerRegistration = 4;
// Pairings of one client address with one code: a burst, then one a second.
constexpr int kPairingBurst = 30;
// Control connections carry lines of a few dozen bytes: a small send buffer
// bounds what a registration that stops reading holds, and shows soon that
// it does.
constexpr int kControlSendBuffer = 4096;
constexpr std::int64_t kPairingRefillMs = 1000;

struct relay_entry {
    char code[USBIP_RELAY_CODE_LEN + 1] = {};
    char password_hash[65] = {};  // recorded only
    plat::socket_t control_socket = plat::kNoSocket;  // owned by the registration's handler
    plat::PeerAddress peer;
    int active = 0;
    int clients = 0;             // DISPATCH lines sent; only grows
    int waiting = 0;             // pairings waiting for this server's data connection
    std::int64_t last_heartbeat = 0;
    std::uint64_t generation = 0;  // changes whenever the slot is taken
};

// A pairing slot belongs to its pairing handler from CONNECT until that
// handler frees it, attached or not.
struct pending_bridge {
    char ticket[USBIP_RELAY_TICKET_SIZE] = {};
    plat::socket_t server_socket = plat::kNoSocket;  // handed over by the attach
    int registration = 0;          // the slot of the server it waits for...
    std::uint64_t generation = 0;  // ... while that slot holds this generation
    int attached = 0;
    int in_use = 0;
};

// Everything the relay keeps, in one place. Allocated once and never
// destroyed: its threads may outlive a host that exits without cleanup.
struct RelayState {
    // Guards both tables, the ticket counter and the generation counter.
    // Lock order: the lifecycle lock, then this one; nothing else inside it,
    // and nothing inside it waits: lines written under it never block.
    std::mutex mutex;
    std::condition_variable attach_cv;  // an attach arrived, or the relay stops
    relay_entry entries[kSlots];
    pending_bridge pairings[kSlots];
    int ticket_counter = 1000;  // runs on across restarts
    std::uint64_t generation = 0;

    std::mutex lifecycle;  // serialises start and stop; held across their waits
    std::atomic<bool> running{false};
    usbip_listener listener;  // started and stopped under the lifecycle lock
    plat::WorkerPool threads{kThreads};  // handlers and bridges

    // What peers cost others; forgotten by every start.
    // A bridge without a byte either way, or whose bytes wait for a side
    // that takes none, for this long ends (tests shorten it).
    std::atomic<int> bridge_idle_ms{kBridgeIdleMs};
    std::atomic<int> attach_wait_ms{kAttachWaitMs};
    usbip_failure_backoff unknown_codes;
    usbip_failure_backoff invalid_tickets;
    std::unique_ptr<usbip_rate_limit> pairings_per_code =
        std::make_unique<usbip_rate_limit>(kPairingBurst, kPairingRefillMs);
};

RelayState &relay()
{
    static RelayState *state = new RelayState();
    return *state;
}

thread_local std::string tls_relay_json;

void answer(plat::socket_t s, const char *line) { usbip_send_line(s, line, kAnswerLimitMs); }

void post_refusal(const std::string &peer, const char *request, const std::string &code, const char *reason)
{
    usbip_event(usbip_level::warning, "relay_refused")
        .text("peer", peer)
        .text("request", request)
        .text("code", code)
        .text("reason", reason)
        .post();
}

const char *bridge_end_text(const usbip_pump_result &r)
{
    switch (r.reason) {
    case usbip_pump_end_reason::failed_a: return "client failed";
    case usbip_pump_end_reason::failed_b: return "server failed";
    default: return usbip_pump_end_text(r.reason);
    }
}

// Carries bytes both ways until both sides have ended their streams, one
// fails, the bridge idles or stalls past its limit, or the relay stops (its
// stop also shuts both sockets down). The caller closes both sockets.
void bridge_streams(plat::socket_t client, plat::socket_t server, const std::string &code, const std::string &peer)
{
    RelayState &r = relay();
    usbip_socket_end client_end(client), server_end(server);
    usbip_pump_options options;
    options.idle_ms = r.bridge_idle_ms;
    options.stall_ms = r.bridge_idle_ms;
    options.keep_running = &r.running;
    usbip_pump_result result = usbip_pump_run(client_end, server_end, options);
    usbip_event(usbip_level::info, "relay_bridge_ended")
        .text("code", code)
        .text("peer", peer)
        .number("bytes_to_server", static_cast<std::int64_t>(result.a_to_b))
        .number("bytes_to_client", static_cast<std::int64_t>(result.b_to_a))
        .text("reason", bridge_end_text(result))
        .post();
}

// Ends a registration that broke (its connection takes no more lines);
// under the relay lock. Its handler wakes up and closes the connection.
void end_registration_locked(relay_entry &e)
{
    e.active = 0;
    plat::shutdown_both(e.control_socket);
}

void serve_registration(const plat::WatchedSocket &s, const plat::PeerAddress &peer, const std::string &hash)
{
    RelayState &r = relay();
    int slot = -1;
    std::uint64_t generation = 0;
    std::string code;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        int held = 0;
        for (const relay_entry &e : r.entries)
            if (e.active && e.peer == peer) ++held;
        for (int i = 0; i < kSlots && slot < 0 && held < kRegistrationsPerAddress; ++i)
            if (!r.entries[i].active) slot = i;
        // A fresh code, never one that an active registration holds.
        for (bool taken = slot >= 0; taken;) {
            code = usbip_relay_make_code();
            taken = false;
            for (const relay_entry &e : r.entries)
                if (e.active && code == e.code) taken = true;
        }
        if (slot >= 0 && code.empty()) slot = -1;  // no random source: refuse like a full relay
        if (slot >= 0) plat::set_send_buffer(s.get(), kControlSendBuffer);
        if (slot >= 0 && usbip_send_line_now(s.get(), "CODE " + code + "\n")) {
            relay_entry &e = r.entries[slot];
            e = relay_entry{};
            usbip_copy_text(e.code, sizeof e.code, code.c_str());
            usbip_copy_text(e.password_hash, sizeof e.password_hash, hash.c_str());
            e.control_socket = s.get();
            e.peer = peer;
            e.active = 1;
            e.last_heartbeat = plat::wall_seconds();
            e.generation = generation = ++r.generation;
        } else if (slot >= 0) {
            return;  // the connection took no CODE line: nothing to serve
        }
    }
    const std::string peer_text = peer.text();
    if (slot < 0) {
        post_refusal(peer_text, "register", "", "capacity reached");
        answer(s.get(), "ERROR Relay capacity reached\n");
        return;
    }
    usbip_event(usbip_level::info, "relay_server_registered").text("code", code).text("peer", peer_text).post();
    char line[128];
    while (r.running) {
        if (usbip_read_line(s.get(), line, sizeof line, kControlWaitMs) <= 0) break;
        if (!usbip_relay_is_heartbeat(line)) continue;
        std::lock_guard<std::mutex> lock(r.mutex);
        relay_entry &e = r.entries[slot];
        if (e.generation != generation || !e.active) break;
        e.last_heartbeat = plat::wall_seconds();
        if (!usbip_send_line_now(s.get(), "OK\n")) break;  // it reads nothing: give the slot up
    }
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        relay_entry &e = r.entries[slot];
        if (e.generation == generation) {  // the slot is still ours
            e.active = 0;
            e.control_socket = plat::kNoSocket;
        }
    }
    usbip_event(usbip_level::info, "relay_server_ended")
        .text("code", code)
        .text("peer", peer_text)
        .text("reason", r.running ? "connection ended" : "relay stopped")
        .post();
}

void serve_pairing(plat::WatchedSocket &client, const usbip_source &peer, const std::string &peer_text,
                   const std::string &code)
{
    RelayState &r = relay();
    std::int64_t now = plat::monotonic_ms();
    if (r.unknown_codes.refused(peer, now)) {
        post_refusal(peer_text, "connect", code, "too many requests");
        answer(client.get(), "ERROR Too many requests\n");
        return;
    }
    int slot = -1;
    int clients = 0;
    const char *refusal = nullptr;
    const char *reason = nullptr;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        int found = -1;
        for (int i = 0; i < kSlots && found < 0; ++i)
            if (r.entries[i].active && code == r.entries[i].code) found = i;
        if (found < 0) {
            r.unknown_codes.failed(peer, now);
            refusal = "ERROR Code not found\n";
            reason = "code not found";
        } else {
            r.unknown_codes.succeeded(peer);
            relay_entry &e = r.entries[found];
            for (int i = 0; i < kSlots && slot < 0; ++i)
                if (!r.pairings[i].in_use) slot = i;
            std::string ticket = usbip_relay_make_ticket(r.ticket_counter);
            if (!r.pairings_per_code->take(peer.text() + " " + code, now)) {
                refusal = "ERROR Too many requests\n";
                reason = "too many requests";
            } else if (e.waiting >= kWaitingPerRegistration || slot < 0 || ticket.empty()) {
                refusal = "ERROR Relay capacity reached\n";
                reason = "capacity reached";
            } else if (!usbip_send_line_now(e.control_socket, "DISPATCH " + ticket + "\n")) {
                end_registration_locked(e);
                refusal = "ERROR Server failed to attach\n";
                reason = "server failed to attach";
            } else {
                r.ticket_counter = usbip_relay_next_ticket_counter(r.ticket_counter);
                pending_bridge &p = r.pairings[slot];
                p = pending_bridge{};
                usbip_copy_text(p.ticket, sizeof p.ticket, ticket.c_str());
                p.server_socket = plat::kNoSocket;
                p.registration = found;
                p.generation = e.generation;
                p.in_use = 1;
                ++e.waiting;
                clients = ++e.clients;
            }
        }
    }
    if (refusal != nullptr) {
        post_refusal(peer_text, "connect", code, reason);
        answer(client.get(), refusal);
        return;
    }
    usbip_event(usbip_level::info, "relay_pairing_asked")
        .text("code", code)
        .text("peer", peer_text)
        .number("clients", clients)
        .post();

    plat::socket_t server_socket = plat::kNoSocket;
    bool client_gone = false;
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        pending_bridge &p = r.pairings[slot];
        // A client that leaves while it waits gives its slot back at once:
        // between looks at the server's attach, a look at the client.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(r.attach_wait_ms.load());
        while (!p.attached && r.running && std::chrono::steady_clock::now() < until) {
            auto slice = std::min<std::chrono::steady_clock::duration>(until - std::chrono::steady_clock::now(),
                                                                       std::chrono::milliseconds(kClientLookMs));
            if (r.attach_cv.wait_for(lock, slice, [&] { return p.attached || !r.running; })) break;
            lock.unlock();
            client_gone = plat::peer_gone(client.get());
            lock.lock();
            if (client_gone) break;
        }
        if (p.attached) server_socket = p.server_socket;
        relay_entry &e = r.entries[p.registration];
        if (e.generation == p.generation) --e.waiting;
        // The slot is free again at once: a late ATTACH finds no pairing.
        p.in_use = 0;
        p.attached = 0;
    }
    if (server_socket == plat::kNoSocket) {
        if (client_gone)
            usbip_event(usbip_level::info, "relay_pairing_abandoned").text("code", code).text("peer", peer_text).post();
        else if (r.running)
            usbip_event(usbip_level::warning, "relay_attach_timed_out").text("code", code).text("peer", peer_text).post();
        answer(client.get(), "ERROR Server failed to attach\n");
        return;
    }
    plat::WatchedSocket server(r.threads, server_socket);
    if (!usbip_send_line(client.get(), "OK\n")) return;
    usbip_event(usbip_level::info, "relay_paired").text("code", code).text("peer", peer_text).post();
    // This thread becomes the pairing's bridge.
    bridge_streams(client.get(), server.get(), code, peer_text);
}

void serve_attach(plat::WatchedSocket &s, const usbip_source &peer, const std::string &peer_text,
                  const std::string &ticket)
{
    RelayState &r = relay();
    std::int64_t now = plat::monotonic_ms();
    if (r.invalid_tickets.refused(peer, now)) {
        post_refusal(peer_text, "attach", "", "too many requests");
        answer(s.get(), "ERROR Too many requests\n");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (pending_bridge &p : r.pairings) {
            if (p.in_use && !p.attached && ticket == p.ticket) {
                p.server_socket = s.release();  // the pairing's handler owns and watches it now
                p.attached = 1;
                r.attach_cv.notify_all();
                r.invalid_tickets.succeeded(peer);
                return;
            }
        }
        r.invalid_tickets.failed(peer, now);
    }
    post_refusal(peer_text, "attach", "", "invalid ticket");
    answer(s.get(), "ERROR Invalid ticket\n");
}

void relay_client_handler(usbip_pending &pending)
{
    RelayState &r = relay();
    plat::WatchedSocket s(r.threads, pending.socket.release());
    // A stop whose wake-up came before this socket was watched has cleared
    // the flag already: end now rather than after the first-line wait.
    if (!r.running) return;
    char line[512];
    if (usbip_read_line(s.get(), line, sizeof line, kFirstByteWaitMs, pending.accepted_ms + kFirstLineLimitMs) < 0)
        return;
    relay_first_line first = usbip_relay_parse_first_line(line);
    switch (first.kind) {
    case relay_request::register_server:
        serve_registration(s, pending.peer, first.argument);
        break;
    case relay_request::connect_client:
        serve_pairing(s, pending.source, pending.peer.text(), first.argument);
        break;
    case relay_request::attach_server:
        serve_attach(s, pending.source, pending.peer.text(), first.argument);
        break;
    case relay_request::none:
        break;  // closed without an answer
    }
}

}  // namespace

void usbip_relay_set_bridge_idle_ms(int ms) { relay().bridge_idle_ms = ms > 0 ? ms : kBridgeIdleMs; }

void usbip_relay_set_attach_wait_ms(int ms) { relay().attach_wait_ms = ms > 0 ? ms : kAttachWaitMs; }

std::size_t usbip_relay_busy_threads() { return relay().threads.busy_count(); }

void usbip_relay_set_pairing_limit(int burst, int refill_ms)
{
    RelayState &r = relay();
    std::lock_guard<std::mutex> life(r.lifecycle);
    if (!r.running) r.pairings_per_code = std::make_unique<usbip_rate_limit>(burst, refill_ms);
}

extern "C" {

USBIP_API int usbip_relay_start(int port)
{
    return usbip_guard(-1, [port]() -> int {
        RelayState &r = relay();
        std::lock_guard<std::mutex> life(r.lifecycle);
        if (r.running) return 0;
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            for (relay_entry &e : r.entries) e = relay_entry{};
            for (pending_bridge &p : r.pairings) p = pending_bridge{};
            r.running = true;
        }
        r.unknown_codes.clear();
        r.invalid_tickets.clear();
        r.pairings_per_code->clear();
        usbip_listener_limits limits;
        limits.wait_ms = kFirstByteWaitMs;
        limits.served_per_address = kThreadsPerAddress;
        usbip_listener_hooks hooks;
        hooks.admit = [](usbip_pending &) { return true; };
        hooks.serve = relay_client_handler;
        if (!r.listener.start(port, "relay_start", "relay_start: failed to spawn listener thread", limits,
                              r.threads, std::move(hooks))) {
            r.running = false;
            return -1;
        }
        usbip_event(usbip_level::info, "relay_started").number("port", r.listener.port()).post();
        return 0;
    });
}

USBIP_API int usbip_relay_port(void)
{
    return usbip_guard(0, [] { return relay().listener.port(); });
}

USBIP_API void usbip_relay_stop(void)
{
    usbip_guard(0, [] {
        RelayState &r = relay();
        std::lock_guard<std::mutex> life(r.lifecycle);
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            if (!r.running) return 0;
            r.running = false;
            for (relay_entry &e : r.entries) e.active = 0;
            r.attach_cv.notify_all();
        }
        r.listener.stop();
        // Control connections, pairings and bridges end when their sockets
        // are shut down; after the stop no relay thread runs.
        r.threads.wake_all();
        r.threads.join_all();
        usbip_event(usbip_level::info, "relay_stopped").post();
        return 0;
    });
}

USBIP_API const char *usbip_relay_list_codes(void)
{
    return usbip_guard<const char *>("[]", [] {
        RelayState &r = relay();
        std::lock_guard<std::mutex> lock(r.mutex);
        json_array_builder array(tls_relay_json);
        for (const relay_entry &e : r.entries) {
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
