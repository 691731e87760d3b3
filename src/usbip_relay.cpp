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
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

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

constexpr int kDefaultSlots = 64;          // registrations, and pairings waiting, unless the host sets more
constexpr int kMostSlots = 65536;
constexpr int kFirstByteWaitMs = 5000;     // for each byte of a first line
constexpr int kFirstLineLimitMs = 10000;   // for the whole first line, from the accept
constexpr int kControlWaitMs = 45000;      // for each byte on a control connection
constexpr int kAttachWaitMs = 8000;        // for a server's data connection
// A waiting pairing looks this often whether its client is still there
// (it frees its slot at once when it has left; its socket may also have
// been shut down to free its thread).
constexpr int kClientLookMs = 100;
constexpr int kBridgeIdleMs = 30000;       // a bridge that moves nothing ends
constexpr int kAnswerLimitMs = 5000;       // for an answer that ends a connection
constexpr std::size_t kThreads = 512;      // handlers and bridges at once
constexpr int kWaitingPerRegistration = 4;
// Pairings of one client source with one code: a burst, then one a second.
constexpr int kPairingBurst = 30;
constexpr std::int64_t kPairingRefillMs = 1000;
// Dispatches to one server for clients it has not named as having proved its
// password: a burst, then 20 a second. Many sources that know a code could
// otherwise send its server more dispatches than it can answer.
constexpr int kDispatchBurst = 30;
constexpr std::int64_t kDispatchRefillMs = 50;
// Control connections carry lines of a few dozen bytes: a small send buffer
// bounds what a registration that stops reading holds, and shows soon that
// it does.
constexpr int kControlSendBuffer = 16384;
constexpr std::size_t kControlLineMax = 127;  // longer lines are cut, the rest is the next line
constexpr std::uintptr_t kWatcherWakerKey = 0;  // registrations are keyed by their generation, from 1

struct relay_entry {
    char code[USBIP_RELAY_CODE_LEN + 1] = {};
    // The server's control connection while the registration is active (the
    // control watcher owns it: it closes it once the registration ends).
    plat::socket_t control_socket = plat::kNoSocket;
    usbip_source source;
    std::string peer;            // the server's address, for events
    int active = 0;
    int clients = 0;             // DISPATCH lines sent; only grows
    int waiting = 0;             // pairings waiting for this server's data connection
    std::int64_t last_heartbeat = 0;
    std::int64_t last_byte_ms = 0;  // monotonic; the control connection ends 45 s after
    std::string partial;         // a control line not yet ended
    std::uint64_t generation = 0;  // changes whenever the slot is taken
};

// A pairing slot is held while its pairing waits for the server's data
// connection: from CONNECT until the attach, the end of the wait (its
// handler frees it), or until it is taken for a newcomer. Its `seq` changes
// with every pairing, which tells the handler whether the slot is still its.
struct pending_bridge {
    char ticket[USBIP_RELAY_TICKET_SIZE] = {};
    int registration = 0;          // the slot of the server it waits for...
    std::uint64_t generation = 0;  // ... while that slot holds this generation
    usbip_source client;
    std::uint64_t seq = 0;         // the pairing's number; 0 when the slot is free
    bool proven = false;           // its server named its client as one that proved the password
    int in_use = 0;
};

// Everything the relay keeps, in one place. Allocated once and never
// destroyed: its threads may outlive a host that exits without cleanup.
struct RelayState {
    // Guards the tables and everything up to the lifecycle lock below.
    // Lock order: the lifecycle lock, then this one, then a pool's lock
    // (releasing a watched socket); nothing inside it waits: lines written
    // under it never block.
    std::mutex mutex;
    std::condition_variable attach_cv;  // an attach arrived, a pairing was taken, or the relay stops
    std::vector<relay_entry> entries;
    std::vector<pending_bridge> pairings;
    std::unordered_map<std::string, int> by_code;        // active codes, to their slots
    std::unordered_map<std::uint64_t, int> slot_of;      // active generations, to their slots
    std::unordered_map<usbip_source, int, usbip_source_hash> registrations_of;  // active ones per source; no zeros
    // Data connections of attached pairings, by pairing number, until their
    // handlers take them (the slots are free already).
    std::unordered_map<std::uint64_t, plat::socket_t> attached;
    int ticket_counter = 1000;  // runs on across restarts
    std::uint64_t generation = 0;
    std::uint64_t pairing_seq = 0;
    // Handed to the control watcher: new control connections, and the
    // generations of registrations that ended (their sockets to close).
    std::vector<std::pair<std::uint64_t, plat::socket_t>> control_adds;
    std::vector<std::uint64_t> control_ends;
    // The registration key's SHA-256, empty for an open relay.
    std::string key_digest;
    // Table sizes of the next start.
    int registration_slots = kDefaultSlots;
    int pairing_slots = kDefaultSlots;

    std::mutex lifecycle;  // serialises start and stop; held across their waits
    std::atomic<bool> running{false};
    usbip_listener listener;  // started and stopped under the lifecycle lock
    plat::WorkerPool threads{kThreads};  // handlers and bridges
    // One thread watches every control connection, so that a registration
    // costs a descriptor and not a thread. Started and stopped under the
    // lifecycle lock; the waker is signalled under the relay lock.
    std::thread watcher;
    plat::Waker watcher_waker;

    // What peers cost others; forgotten by every start. Wrong codes, wrong
    // tickets and wrong registration keys cost their source time, and all
    // together draw on one budget (60, then one every 2 s). Sources that
    // found a code recently keep reaching that code (only that one), and
    // servers that registered keep attaching and registering.
    // A bridge without a byte either way, or whose bytes wait for a side
    // that takes none, for this long ends (tests shorten it).
    std::atomic<int> bridge_idle_ms{kBridgeIdleMs};
    std::atomic<int> attach_wait_ms{kAttachWaitMs};
    usbip_failure_backoff unknown_codes;
    usbip_failure_backoff invalid_tickets;
    usbip_failure_backoff wrong_keys;
    usbip_failure_budget budget;
    usbip_recent_successes<std::string> found_codes;  // "<source> <code>"
    usbip_recent_successes<std::string> proven;       // "<source> <code>": its server said so
    usbip_recent_successes<usbip_source, usbip_source_hash> registered;
    std::unique_ptr<usbip_rate_limit> pairings_per_code =
        std::make_unique<usbip_rate_limit>(kPairingBurst, kPairingRefillMs);
    usbip_rate_limit dispatches_per_code{kDispatchBurst, kDispatchRefillMs};
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

// ---------------------------------------------------------------------------
// Registrations (under the relay lock unless said otherwise)

bool holds_registration_locked(const usbip_source &source)
{
    return relay().registrations_of.count(source) != 0;
}

// Ends a registration: its code finds nothing from now on, its slot is
// free at once, and the control watcher closes its connection (shut down
// here, so that its server sees the end without delay).
void end_registration_locked(relay_entry &e, const char *reason)
{
    RelayState &r = relay();
    if (!e.active) return;
    usbip_event(usbip_level::info, "relay_server_ended").text("code", e.code).text("peer", e.peer).text("reason", reason).post();
    e.active = 0;
    r.by_code.erase(e.code);
    r.slot_of.erase(e.generation);
    auto held = r.registrations_of.find(e.source);
    if (held != r.registrations_of.end() && --held->second == 0) r.registrations_of.erase(held);
    plat::shutdown_both(e.control_socket);
    e.control_socket = plat::kNoSocket;
    r.control_ends.push_back(e.generation);
    r.watcher_waker.signal();
}

// A slot for a newcomer's registration when the table is full: the oldest
// registration of the source that holds the most (of those that hold as
// many, the one registered first) is ended, when that source holds at least
// two more than the newcomer, so that two sources never take places from
// each other in turn. -1 when none is.
int evict_registration_for(const usbip_source &newcomer)
{
    RelayState &r = relay();
    struct Held {
        int count = 0;
        int oldest = -1;
    };
    std::unordered_map<usbip_source, Held, usbip_source_hash> held;
    for (int i = 0; i < static_cast<int>(r.entries.size()); ++i) {
        const relay_entry &e = r.entries[static_cast<std::size_t>(i)];
        if (!e.active) continue;
        Held &h = held[e.source];
        ++h.count;
        if (h.oldest < 0 || e.generation < r.entries[static_cast<std::size_t>(h.oldest)].generation) h.oldest = i;
    }
    const Held *heaviest = nullptr;
    for (const auto &h : held) {
        if (heaviest == nullptr || h.second.count > heaviest->count ||
            (h.second.count == heaviest->count &&
             r.entries[static_cast<std::size_t>(h.second.oldest)].generation <
                 r.entries[static_cast<std::size_t>(heaviest->oldest)].generation))
            heaviest = &h.second;
    }
    auto mine = held.find(newcomer);
    const int own = mine == held.end() ? 0 : mine->second.count;
    if (heaviest == nullptr || heaviest->count <= own + 1) return -1;
    int slot = heaviest->oldest;
    end_registration_locked(r.entries[static_cast<std::size_t>(slot)], "place taken by a newcomer");
    return slot;
}

// The lines of a control connection: HEARTBEAT is answered with OK, PROVEN
// names a client that proved the server's password, an empty line ends the
// registration, anything else is ignored.
void control_line_locked(relay_entry &e)
{
    std::string client;
    if (e.partial.empty()) {
        end_registration_locked(e, "connection ended");
    } else if (usbip_relay_parse_proven(e.partial.c_str(), &client)) {
        plat::PeerAddress address;
        if (plat::PeerAddress::parse(client.c_str(), &address))
            relay().proven.add(usbip_source_of(address).text() + " " + e.code, plat::monotonic_ms());
    } else if (usbip_relay_is_heartbeat(e.partial.c_str())) {
        e.last_heartbeat = plat::wall_seconds();
        // A server that reads nothing gives its registration up.
        if (!usbip_send_line_now(e.control_socket, "OK\n")) end_registration_locked(e, "server reads nothing");
    }
    e.partial.clear();
}

// Reads what a control connection has sent (on the watcher thread).
void read_control_locked(relay_entry &e)
{
    char buf[512];
    plat::IoError err;
    long n = plat::recv_now(e.control_socket, buf, sizeof buf, &err);
    if (n < 0 && err == plat::IoError::would_block) return;
    if (n <= 0) {
        end_registration_locked(e, "connection ended");
        return;
    }
    e.last_byte_ms = plat::monotonic_ms();
    for (long i = 0; i < n && e.active; ++i) {
        char c = buf[i];
        if (c == '\r') continue;
        if (c == '\n') {
            control_line_locked(e);
            continue;
        }
        e.partial += c;
        if (e.partial.size() >= kControlLineMax) control_line_locked(e);
    }
}

// The control watcher: one thread that reads every control connection
// (heartbeats), ends the registrations whose connection fell silent for
// 45 s, failed or closed, and closes their sockets. Ends with the relay and
// closes what it still holds.
void watch_controls(std::unique_ptr<plat::Poller> poller)
{
    RelayState &r = relay();
    std::unordered_map<std::uint64_t, plat::socket_t> watched;
    std::vector<std::uintptr_t> keys;
    auto settle_locked = [&] {
        // New connections first, then ends: an end may be a new one's.
        for (const auto &add : r.control_adds) {
            watched.emplace(add.first, add.second);
            if (!poller->add(add.second, static_cast<std::uintptr_t>(add.first))) {
                auto slot = r.slot_of.find(add.first);
                if (slot != r.slot_of.end())
                    end_registration_locked(r.entries[static_cast<std::size_t>(slot->second)], "connection ended");
            }
        }
        r.control_adds.clear();
        for (std::uint64_t gen : r.control_ends) {
            auto w = watched.find(gen);
            if (w == watched.end()) continue;
            poller->remove(w->second);
            plat::close(w->second);
            watched.erase(w);
        }
        r.control_ends.clear();
    };
    std::int64_t next_look = 0;  // at silent registrations: about once a second
    while (r.running) {
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            std::int64_t now = plat::monotonic_ms();
            if (now >= next_look) {
                next_look = now + 1000;
                for (relay_entry &e : r.entries)
                    if (e.active && now - e.last_byte_ms >= kControlWaitMs) end_registration_locked(e, "silent");
            }
            settle_locked();
        }
        if (poller->wait(keys, 256, 1000) < 0) {
            plat::sleep_ms(10);  // not expected; do not spin
            continue;
        }
        std::lock_guard<std::mutex> lock(r.mutex);
        for (std::uintptr_t key : keys) {
            if (key == kWatcherWakerKey) {
                r.watcher_waker.clear();
                continue;
            }
            auto slot = r.slot_of.find(key);
            if (slot != r.slot_of.end()) read_control_locked(r.entries[static_cast<std::size_t>(slot->second)]);
        }
        settle_locked();
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    settle_locked();
    for (const auto &w : watched) {
        poller->remove(w.second);
        plat::close(w.second);
    }
}

// Whether a REGISTER line's argument is the relay's key: SHA-256 of both,
// compared in time that does not depend on where they differ.
bool key_matches(const std::string &digest, const std::string &argument)
{
    std::uint8_t given[USBIP_DIGEST_SIZE];
    if (usbip_calc_sha256(argument.data(), argument.size(), given) != 0) return false;
    std::uint8_t diff = digest.size() == USBIP_DIGEST_SIZE ? 0 : 1;
    for (std::size_t i = 0; i < USBIP_DIGEST_SIZE && i < digest.size(); ++i)
        diff |= static_cast<std::uint8_t>(given[i] ^ static_cast<std::uint8_t>(digest[i]));
    return diff == 0;
}

// A relay with a registration key checks it first: a wrong key costs its
// source time and draws on the budget, as a wrong code does. A source that
// registered recently, or holds a registration, is not held back by the
// budget. True when the registration may go on; otherwise the answer has
// been sent.
bool registration_admitted(plat::socket_t s, const usbip_source &source, const std::string &peer,
                           const std::string &argument)
{
    RelayState &r = relay();
    std::string digest;
    bool trusted;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        digest = r.key_digest;
        trusted = holds_registration_locked(source);
    }
    if (digest.empty()) return true;  // an open relay
    const std::int64_t now = plat::monotonic_ms();
    trusted = trusted || r.registered.contains(source, now);
    usbip_budget_hold hold;
    if (!trusted && (r.wrong_keys.refused(source, now) || !(hold = usbip_budget_hold(r.budget, now)).held())) {
        post_refusal(peer, "register", "", "too many requests");
        answer(s, "ERROR Too many requests\n");
        return false;
    }
    if (!key_matches(digest, argument)) {
        post_refusal(peer, "register", "", "wrong registration key");
        r.wrong_keys.failed(source, now);
        r.registered.forget(source);
        if (!trusted) hold.spend();
        answer(s, "ERROR Registration refused\n");
        return false;
    }
    r.wrong_keys.succeeded(source);
    return true;
}

void serve_registration(plat::WatchedSocket &s, const usbip_source &source, const std::string &peer,
                        const std::string &argument)
{
    RelayState &r = relay();
    if (!registration_admitted(s.get(), source, peer, argument)) return;
    int slot = -1;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.running) return;
        for (int i = 0; i < static_cast<int>(r.entries.size()) && slot < 0; ++i)
            if (!r.entries[static_cast<std::size_t>(i)].active) slot = i;
        if (slot < 0) slot = evict_registration_for(source);
        // A fresh code, never one that an active registration holds.
        std::string code;
        for (bool taken = slot >= 0; taken;) {
            code = usbip_relay_make_code();
            taken = r.by_code.count(code) != 0;
        }
        if (slot >= 0 && code.empty()) slot = -1;  // no random source: refuse like a full relay
        if (slot >= 0) {
            plat::set_send_buffer(s.get(), kControlSendBuffer);
            if (!usbip_send_line_now(s.get(), "CODE " + code + "\n")) return;  // it took no CODE line
            relay_entry &e = r.entries[static_cast<std::size_t>(slot)];
            e = relay_entry{};
            usbip_copy_text(e.code, sizeof e.code, code.c_str());
            e.source = source;
            e.peer = peer;
            e.active = 1;
            e.last_heartbeat = plat::wall_seconds();
            e.last_byte_ms = plat::monotonic_ms();
            e.generation = ++r.generation;
            r.by_code.emplace(code, slot);
            r.slot_of.emplace(e.generation, slot);
            ++r.registrations_of[source];
            r.registered.add(source, plat::monotonic_ms());
            // From here on the control watcher serves it: no thread waits on it.
            e.control_socket = s.release();
            r.control_adds.emplace_back(e.generation, e.control_socket);
            r.watcher_waker.signal();
            usbip_event(usbip_level::info, "relay_server_registered").text("code", code).text("peer", peer).post();
            return;
        }
    }
    post_refusal(peer, "register", "", "capacity reached");
    answer(s.get(), "ERROR Relay capacity reached\n");
}

// ---------------------------------------------------------------------------
// Pairings (under the relay lock)

// A pairing no longer waits for its server: attached, ended or taken.
void free_pairing_locked(pending_bridge &p)
{
    RelayState &r = relay();
    relay_entry &e = r.entries[static_cast<std::size_t>(p.registration)];
    if (p.in_use && e.generation == p.generation) --e.waiting;
    p.in_use = 0;
    p.seq = 0;
}

// Takes a waiting pairing (of registration `reg`, or of any when -1) for a
// newcomer: the oldest of the client source that holds the most of them,
// or the newcomer's own oldest when no source holds more than it does. The
// pairing of a client that its server named as proven is taken only for
// another such. Its handler sees its pairing gone and tells its client. The
// freed slot, or -1 when there is nothing to take.
int evict_pairing_for(const usbip_source &newcomer, bool proven, int reg)
{
    RelayState &r = relay();
    struct Held {
        int count = 0;
        int oldest = -1;
    };
    std::unordered_map<usbip_source, Held, usbip_source_hash> held;
    for (int i = 0; i < static_cast<int>(r.pairings.size()); ++i) {
        const pending_bridge &p = r.pairings[static_cast<std::size_t>(i)];
        if (!p.in_use || (p.proven && !proven)) continue;
        if (reg >= 0 && (p.registration != reg || r.entries[static_cast<std::size_t>(reg)].generation != p.generation))
            continue;
        Held &h = held[p.client];
        ++h.count;
        if (h.oldest < 0 || p.seq < r.pairings[static_cast<std::size_t>(h.oldest)].seq) h.oldest = i;
    }
    const Held *heaviest = nullptr;
    for (const auto &h : held) {
        if (heaviest == nullptr || h.second.count > heaviest->count ||
            (h.second.count == heaviest->count &&
             r.pairings[static_cast<std::size_t>(h.second.oldest)].seq <
                 r.pairings[static_cast<std::size_t>(heaviest->oldest)].seq))
            heaviest = &h.second;
    }
    auto mine = held.find(newcomer);
    const int own = mine == held.end() ? 0 : mine->second.count;
    const Held *victim = heaviest != nullptr && heaviest->count > own ? heaviest : (own > 0 ? &mine->second : nullptr);
    if (victim == nullptr) return -1;
    int slot = victim->oldest;
    free_pairing_locked(r.pairings[static_cast<std::size_t>(slot)]);
    r.attach_cv.notify_all();
    return slot;
}

// Takes a pairing slot for a CONNECT that found its registration, or
// answers why not. The slot, or -1 with `refusal` set.
int take_pairing_locked(const usbip_source &client, bool proven, int found, const char **refusal,
                        const char **reason)
{
    RelayState &r = relay();
    relay_entry &e = r.entries[static_cast<std::size_t>(found)];
    *refusal = "ERROR Relay capacity reached\n";
    *reason = "capacity reached";
    // Four may wait for one server; a newcomer takes the place of a source
    // that holds more of them.
    if (e.waiting >= kWaitingPerRegistration && evict_pairing_for(client, proven, found) < 0) return -1;
    int slot = -1;
    for (int i = 0; i < static_cast<int>(r.pairings.size()) && slot < 0; ++i)
        if (!r.pairings[static_cast<std::size_t>(i)].in_use) slot = i;
    if (slot < 0) slot = evict_pairing_for(client, proven, -1);
    if (slot < 0) return -1;
    std::string ticket = usbip_relay_make_ticket(r.ticket_counter);
    if (ticket.empty()) return -1;
    // The client's address goes with the ticket, so that the server counts
    // this client's guesses as its own. A control connection that takes no
    // line now is busy (the server reads behind): this client is refused;
    // one that takes part of a line, or fails, is broken.
    const std::string line = "DISPATCH " + ticket + " " + client.net.text() + "\n";
    plat::IoError err;
    long sent = plat::send_now(e.control_socket, line.data(), line.size(), &err);
    if (sent < 0 && err == plat::IoError::would_block) {
        *refusal = "ERROR Too many requests\n";
        *reason = "server busy";
        return -1;
    }
    if (sent != static_cast<long>(line.size())) {
        end_registration_locked(e, "connection ended");
        *refusal = "ERROR Server failed to attach\n";
        *reason = "server failed to attach";
        return -1;
    }
    r.ticket_counter = usbip_relay_next_ticket_counter(r.ticket_counter);
    pending_bridge &p = r.pairings[static_cast<std::size_t>(slot)];
    p = pending_bridge{};
    usbip_copy_text(p.ticket, sizeof p.ticket, ticket.c_str());
    p.registration = found;
    p.generation = e.generation;
    p.client = client;
    p.proven = proven;
    p.seq = ++r.pairing_seq;
    p.in_use = 1;
    ++e.waiting;
    ++e.clients;
    *reason = nullptr;
    return slot;
}

void serve_pairing(plat::WatchedSocket &client, const usbip_source &source, const std::string &peer,
                   const std::string &code)
{
    RelayState &r = relay();
    const std::int64_t now = plat::monotonic_ms();
    const std::string key = source.text() + " " + code;
    // A source that found this code recently is no guesser of it.
    const bool trusted = r.found_codes.contains(key, now);
    usbip_budget_hold hold;
    if (!trusted && (r.unknown_codes.refused(source, now) || !(hold = usbip_budget_hold(r.budget, now)).held())) {
        post_refusal(peer, "connect", code, "too many requests");
        answer(client.get(), "ERROR Too many requests\n");
        return;
    }
    int slot = -1;
    std::uint64_t seq = 0;
    int clients = 0;
    const char *refusal = nullptr;
    const char *reason = nullptr;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto found = r.by_code.find(code);
        if (found == r.by_code.end()) {
            r.unknown_codes.failed(source, now);
            r.found_codes.forget(key);
            if (!trusted) hold.spend();
            refusal = "ERROR Code not found\n";
            reason = "code not found";
        } else {
            // Finding a code clears nothing of the source's record: anybody
            // may register a code of their own on an open relay. The room it
            // took in the budget comes back now, not after the pairing.
            r.found_codes.add(key, now);
            hold = usbip_budget_hold();
            // The table of per-source rates may be full of a flood's sources
            // (it forgets a quiet client's refilled bucket first): a client
            // that its server named as proven is not refused for that.
            const bool proven = r.proven.contains(key, now);
            bool table_full = false;
            const bool paced = r.pairings_per_code->take(key, now, &table_full) || (proven && table_full);
            if (!paced || (!proven && !r.dispatches_per_code.take(code, now))) {
                refusal = "ERROR Too many requests\n";
                reason = "too many requests";
            } else if ((slot = take_pairing_locked(source, proven, found->second, &refusal, &reason)) >= 0) {
                seq = r.pairings[static_cast<std::size_t>(slot)].seq;
                clients = r.entries[static_cast<std::size_t>(found->second)].clients;
                refusal = nullptr;
            }
        }
    }
    if (slot < 0) {
        post_refusal(peer, "connect", code, reason);
        answer(client.get(), refusal);
        return;
    }
    usbip_event(usbip_level::info, "relay_pairing_asked").text("code", code).text("peer", peer).number("clients", clients).post();

    plat::socket_t server_socket = plat::kNoSocket;
    bool left = false;
    {
        std::unique_lock<std::mutex> lock(r.mutex);
        const std::int64_t deadline = plat::monotonic_ms() + r.attach_wait_ms.load();
        for (;;) {
            auto attached = r.attached.find(seq);
            if (attached != r.attached.end()) {
                server_socket = attached->second;
                r.attached.erase(attached);
                break;
            }
            pending_bridge &p = r.pairings[static_cast<std::size_t>(slot)];
            if (p.seq != seq) {
                refusal = "ERROR Relay capacity reached\n";  // taken for a newcomer
                break;
            }
            std::int64_t left_ms = deadline - plat::monotonic_ms();
            if (!r.running || left_ms <= 0 || left) {
                // The slot is free again at once: a late ATTACH finds no pairing.
                free_pairing_locked(p);
                break;
            }
            r.attach_cv.wait_for(lock, std::chrono::milliseconds(std::min<std::int64_t>(left_ms, kClientLookMs)));
            lock.unlock();
            left = plat::peer_gone(client.get());
            lock.lock();
        }
    }
    if (left) {
        usbip_event(usbip_level::info, "relay_pairing_abandoned").text("code", code).text("peer", peer).post();
        return;
    }
    if (server_socket == plat::kNoSocket) {
        if (refusal != nullptr)
            post_refusal(peer, "connect", code, "place taken by a newcomer");
        else if (r.running)
            usbip_event(usbip_level::warning, "relay_attach_timed_out").text("code", code).text("peer", peer).post();
        answer(client.get(), refusal != nullptr ? refusal : "ERROR Server failed to attach\n");
        return;
    }
    plat::WatchedSocket server(r.threads, server_socket);
    // A bridge is never ended for a newcomer.
    client.settle();
    if (!usbip_send_line(client.get(), "OK\n")) return;
    usbip_event(usbip_level::info, "relay_paired").text("code", code).text("peer", peer).post();
    // This thread becomes the pairing's bridge.
    bridge_streams(client.get(), server.get(), code, peer);
}

void serve_attach(plat::WatchedSocket &s, const usbip_source &source, const std::string &peer, const std::string &ticket)
{
    RelayState &r = relay();
    const std::int64_t now = plat::monotonic_ms();
    bool trusted;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        trusted = holds_registration_locked(source);
    }
    // A registered server's stale ticket (its pairing was taken for a
    // newcomer, or ran out) is no guess.
    trusted = trusted || r.registered.contains(source, now);
    usbip_budget_hold hold;
    if (!trusted && (r.invalid_tickets.refused(source, now) || !(hold = usbip_budget_hold(r.budget, now)).held())) {
        post_refusal(peer, "attach", "", "too many requests");
        answer(s.get(), "ERROR Too many requests\n");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (pending_bridge &p : r.pairings) {
            if (p.in_use && ticket == p.ticket) {
                // The pairing's handler takes and watches it now; the slot is
                // free for the next pairing at once.
                r.attached.emplace(p.seq, s.release());
                free_pairing_locked(p);
                r.attach_cv.notify_all();
                return;
            }
        }
        if (!trusted) {
            r.invalid_tickets.failed(source, now);
            hold.spend();
        }
    }
    post_refusal(peer, "attach", "", "invalid ticket");
    answer(s.get(), "ERROR Invalid ticket\n");
}

void relay_client_handler(usbip_pending &pending)
{
    RelayState &r = relay();
    // Until it becomes a bridge, the connection may be ended to free its
    // thread for a source that holds fewer.
    plat::WatchedSocket s(r.threads, pending.socket.release(), pending.source.key());
    // A stop whose wake-up came before this socket was watched has cleared
    // the flag already: end now rather than after the first-line wait.
    if (!r.running) return;
    char line[512];
    if (usbip_read_line(s.get(), line, sizeof line, kFirstByteWaitMs, pending.accepted_ms + kFirstLineLimitMs) < 0)
        return;
    relay_first_line first = usbip_relay_parse_first_line(line);
    const std::string peer = pending.peer.text();
    switch (first.kind) {
    case relay_request::register_server:
        serve_registration(s, pending.source, peer, first.argument);
        break;
    case relay_request::connect_client:
        serve_pairing(s, pending.source, peer, first.argument);
        break;
    case relay_request::attach_server:
        serve_attach(s, pending.source, peer, first.argument);
        break;
    case relay_request::none:
        break;  // closed without an answer
    }
}

// Ends the control watcher and closes what it held (under the lifecycle
// lock, with running_ cleared).
void stop_watcher()
{
    RelayState &r = relay();
    if (!r.watcher.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.watcher_waker.signal();
    }
    r.watcher.join();
    plat::unpin_module();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.watcher_waker.close();
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

void usbip_relay_set_guess_budget(int burst, int refill_ms) { relay().budget.reset({burst, refill_ms}); }

extern "C" {

USBIP_API int usbip_relay_start(int port)
{
    return usbip_guard(-1, [port]() -> int {
        RelayState &r = relay();
        std::lock_guard<std::mutex> life(r.lifecycle);
        if (r.running) return 0;
        auto poller = std::make_unique<plat::Poller>();
        if (!r.watcher_waker.open() || !poller->open() || !poller->add(r.watcher_waker.wait_socket(), kWatcherWakerKey)) {
            r.watcher_waker.close();
            usbip_set_last_error(USBIP_ERROR_SYSTEM, "relay_start: failed to spawn listener thread");
            return -1;
        }
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            r.entries.assign(static_cast<std::size_t>(r.registration_slots), relay_entry{});
            r.pairings.assign(static_cast<std::size_t>(r.pairing_slots), pending_bridge{});
            r.by_code.clear();
            r.slot_of.clear();
            r.registrations_of.clear();
            r.attached.clear();
            r.control_adds.clear();
            r.control_ends.clear();
            r.running = true;
        }
        r.unknown_codes.clear();
        r.invalid_tickets.clear();
        r.wrong_keys.clear();
        r.budget.reset();
        r.found_codes.clear();
        r.proven.clear();
        r.dispatches_per_code.clear();
        r.registered.clear();
        r.pairings_per_code->clear();
        plat::pin_module();
        try {
            r.watcher = std::thread([p = std::move(poller)]() mutable {
                try {
                    watch_controls(std::move(p));
                } catch (...) {
                    // Out of memory: registrations are no longer read and
                    // end at the stop.
                }
            });
        } catch (const std::system_error &) {
            plat::unpin_module();
            r.running = false;
            r.watcher_waker.close();
            usbip_set_last_error(USBIP_ERROR_SYSTEM, "relay_start: failed to spawn listener thread");
            return -1;
        }
        usbip_listener_limits limits;
        limits.wait_ms = kFirstByteWaitMs;
        usbip_listener_hooks hooks;
        hooks.admit = [](usbip_pending &) { return true; };
        hooks.serve = relay_client_handler;
        if (!r.listener.start(port, "relay_start", "relay_start: failed to spawn listener thread", limits,
                              r.threads, std::move(hooks))) {
            r.running = false;
            stop_watcher();
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
            for (relay_entry &e : r.entries) end_registration_locked(e, "relay stopped");
            r.attach_cv.notify_all();
        }
        r.listener.stop();
        stop_watcher();
        // Pairings and bridges end when their sockets are shut down; after
        // the stop no relay thread runs.
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

USBIP_API int usbip_relay_set_registration_key(const char *key)
{
    return usbip_guard(-1, [key]() -> int {
        std::string digest;
        if (key != nullptr && key[0] != '\0') {
            if (!usbip_relay_key_valid(key)) {
                usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid registration key");
                return -1;
            }
            std::uint8_t d[USBIP_DIGEST_SIZE];
            if (usbip_calc_sha256(key, std::strlen(key), d) != 0) {
                usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid registration key");
                return -1;
            }
            digest.assign(reinterpret_cast<const char *>(d), sizeof d);
        }
        RelayState &r = relay();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.key_digest = std::move(digest);
        return 0;
    });
}

USBIP_API int usbip_relay_set_capacity(int registrations, int pairings)
{
    if (registrations < 1 || registrations > kMostSlots || pairings < 1 || pairings > kMostSlots) {
        usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid relay capacity");
        return -1;
    }
    RelayState &r = relay();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.registration_slots = registrations;
    r.pairing_slots = pairings;
    return 0;
}

}  // extern "C"
