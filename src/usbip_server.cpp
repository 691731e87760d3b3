// Sharing server: the table of shared devices, the listener, one session
// per connection that answers a single OP_REQ_DEVLIST or OP_REQ_IMPORT
// after the password handshake (and, when the host turned forwarding on,
// then carries the imported device's traffic), and the registration with a
// relay.
#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "platform/threads.h"
#include "usbip_forward.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_enum.h"
#include "usbip_events.h"
#include "usbip_frame.h"
#include "usbip_line_io.h"
#include "usbip_protocol.h"
#include "usbip_relay_lines.h"
#include "usbip_server.h"
#include "usbip_share_rule.h"
#include "usbip_tls.h"
#include "usbip_limits.h"
#include "usbip_listener.h"

namespace {

constexpr std::size_t kThreads = 512;    // sessions at once
constexpr int kReplyGraceMs = 2000;      // a stop lets replies in flight finish this long
constexpr int kDispatchConnectMs = 8000; // the relay waits this long for the data connection
// In stock-client mode a new connection waits this long for a USB/IP
// request before it is greeted: stock clients speak first, this library's
// clients wait for the greeting.
constexpr int kStockClientWaitMs = 50;
// A TLS handshake costs the server a private-key operation (milliseconds
// of CPU). A source that has not proved the password recently may start 10
// at once and then 5 a second; all such sources together 100 at once and
// then 50 a second, about a quarter of one core here.
constexpr int kTlsPerSourceBurst = 10;
constexpr int kTlsPerSourceRefillMs = 200;
constexpr int kTlsBurst = 100;
constexpr int kTlsRefillMs = 20;

// A session that forwards a device (or is claiming one for it). Registered
// in the server's list while it runs, so that a stop or an unshare of its
// bus id can end it: they clear its flag and shut its socket down. The
// session list shows its peer, start and counts.
struct ForwardingSession {
    char busid[USBIP_BUSID_SIZE] = {};
    plat::socket_t fd = plat::kNoSocket;
    std::atomic<bool> keep_running{true};
    std::string peer;
    std::int64_t since_ms = 0;          // wall clock
    const usbip_conn *conn = nullptr;   // its byte counts; outlives the entry
    std::atomic<std::uint64_t> urbs{0};
};

// The writing side of a relay control connection, shared by the worker that
// serves it and the sessions that came through it (they tell the relay
// which clients proved the password): one line at a time, and none once the
// worker is done with the connection, whose socket may then be closed and
// its number reused.
class ControlWriter {
public:
    explicit ControlWriter(plat::socket_t fd) : fd_(fd) {}
    bool send(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_ && usbip_send_line(fd_, line, 1000);
    }
    void close()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }

private:
    std::mutex mutex_;  // guards open_, and one line at a time
    const plat::socket_t fd_;
    bool open_ = true;
};

// One plugging of a device: its bus id and the address the bus gave it.
struct Plugging {
    std::string busid;
    std::uint8_t address = 0;
    bool operator==(const Plugging &o) const { return address == o.address && busid == o.busid; }
};

// What a session needs to know of its server; set by each start while the
// server is stopped, read by sessions without a lock.
struct SessionSettings {
    std::string password;
    bool use_tls = false;
};

// Everything the server keeps, in one place. Allocated once and never
// destroyed: its threads may outlive a host that exits without cleanup.
//
// Lock order: the lifecycle lock, then the rules lock, then the server lock,
// then the inventory and TLS locks.
struct ServerState {
    // Serialises start, stop and relay registration with each other, so that
    // a start never overlaps the end of a stop. Held across their waits.
    std::mutex lifecycle;
    // Serialises changes of the share rules with the start and end of the
    // device watch that serves them. Held while the watch's thread is joined,
    // which takes the server lock but never this one.
    std::mutex rules_lifecycle;
    // Guards the shared table and the relay code. Never held across network
    // I/O.
    std::mutex mutex;
    usbip_device shared[USBIP_MAX_DEVICES] = {};
    int shared_count = 0;
    // The rule that shared each record ("" when the host shared it by bus
    // id): a device that a rule shared leaves the table when it is unplugged.
    std::string shared_by[USBIP_MAX_DEVICES];
    // Share rules in force, and the pluggings that the device watch saw last,
    // so that it shares only what is new: a device that the host unshares
    // stays unshared until it is plugged in again.
    std::vector<usbip_share_rule> rules;
    std::vector<Plugging> seen;
    // Sessions that forward devices; each entry lives in its session's frame
    // and leaves the list before its socket closes.
    std::list<ForwardingSession *> forwarding_sessions;

    // The host's opt-ins, read by each session (forwarding) or connection
    // (stock clients) when it starts.
    std::atomic<bool> forwarding{false};
    std::atomic<bool> stock_clients{false};

    // Written under both locks; read without them by sessions and the relay
    // worker.
    std::atomic<bool> running{false};
    SessionSettings settings;
    usbip_listener listener;             // under the lifecycle lock
    plat::WorkerPool sessions{kThreads};  // sessions, from the listener and the relay
    std::atomic<int> session_limit_ms{30000};
    // Guesses at the password, per source and in all (60 wrong ones, then
    // one every 2 s: at most about 43,000 a day); forgotten by every start.
    usbip_guess_limits guesses;
    // TLS handshakes of sources that have not proved the password; replaced
    // only while stopped.
    std::unique_ptr<usbip_rate_limit> tls_per_source =
        std::make_unique<usbip_rate_limit>(kTlsPerSourceBurst, kTlsPerSourceRefillMs);
    usbip_failure_budget tls_handshakes{{kTlsBurst, kTlsRefillMs}};

    // The relay registration, begun by register and ended by register and
    // stop under the lifecycle lock; its worker registers again when the
    // relay is lost, and changes the code (under the server lock) and the
    // control connection (under worker_wait_mutex) then.
    std::atomic<bool> worker_running{false};
    char code[16] = {};  // returned to the host; valid for the life of the process
    std::thread worker;
    std::atomic<int> heartbeat_period_s{25};
    std::atomic<int> reregister_first_ms{1000};  // pauses between attempts to register again
    std::atomic<int> reregister_max_ms{60000};
    // Numbers the registrations, so that sources through one relay
    // registration are counted apart from direct ones and from another's.
    std::uint32_t route = 0;
    std::string registration_key;  // presented to relays; under the lifecycle lock
    // Guards control and attempt, and wakes a worker that pauses. A stop
    // shuts both down under it.
    std::mutex worker_wait_mutex;
    std::condition_variable worker_wait;
    plat::socket_t control = plat::kNoSocket;  // the registration's connection; the worker's while it runs
    plat::socket_t attempt = plat::kNoSocket;  // the worker's connection while it registers again
};

ServerState &server()
{
    static ServerState *state = new ServerState();
    return *state;
}

thread_local std::string tls_srv_json;
thread_local std::string tls_sessions_json;

// Finds a shared record by bus id; caller holds the server lock.
int find_shared_locked(const char *busid)
{
    ServerState &g = server();
    for (int i = 0; i < g.shared_count; ++i)
        if (std::strcmp(g.shared[i].busid, busid) == 0) return i;
    return -1;
}

// Ends the forwarding sessions of one bus id (or all, for null) at once:
// their flags first, then their sockets, which wakes their waits. Caller
// holds the server lock, which keeps each entry (and so its socket) alive.
void end_forwarding_locked(const char *busid)
{
    for (ForwardingSession *f : server().forwarding_sessions) {
        if (busid != nullptr && std::strcmp(f->busid, busid) != 0) continue;
        f->keep_running = false;
        plat::shutdown_both(f->fd);
    }
}

// Appends a copy of `dev` to the table; caller holds the server lock and
// has checked that there is room and that the bus id is not shared.
void add_shared_locked(const usbip_device &dev, const std::string &rule)
{
    ServerState &g = server();
    g.shared[g.shared_count] = dev;
    g.shared[g.shared_count].shared = 1;
    g.shared_by[g.shared_count] = rule;
    ++g.shared_count;
}

// Removes record i, keeping the others' order, and ends whoever forwards
// it: the session releases the device. Caller holds the server lock.
void remove_shared_locked(int i)
{
    ServerState &g = server();
    char busid[sizeof g.shared[i].busid];
    usbip_copy_text(busid, sizeof busid, g.shared[i].busid);
    std::memmove(&g.shared[i], &g.shared[i + 1], sizeof(usbip_device) * static_cast<std::size_t>(g.shared_count - 1 - i));
    for (int k = i; k + 1 < g.shared_count; ++k) g.shared_by[k] = std::move(g.shared_by[k + 1]);
    --g.shared_count;
    g.shared_by[g.shared_count].clear();
    end_forwarding_locked(busid);
}

// A session's entry in the list of forwarding sessions, for its lifetime.
class ForwardingEntry {
public:
    // Registers `session` when its bus id is shared and the server runs,
    // and copies the shared record; false (and no entry) otherwise.
    bool enter(ForwardingSession *session, usbip_device *record)
    {
        ServerState &g = server();
        std::lock_guard<std::mutex> lock(g.mutex);
        int i = find_shared_locked(session->busid);
        if (!g.running || i < 0) return false;
        *record = g.shared[i];
        g.forwarding_sessions.push_back(session);
        session_ = session;
        return true;
    }
    ~ForwardingEntry()
    {
        if (session_ == nullptr) return;
        ServerState &g = server();
        std::lock_guard<std::mutex> lock(g.mutex);
        g.forwarding_sessions.remove(session_);
    }

private:
    ForwardingSession *session_ = nullptr;
};

const char *import_result_text(std::uint32_t status)
{
    switch (status) {
    case USBIP_IMPORT_OK: return "accepted";
    case USBIP_IMPORT_NOT_SHARED: return "not shared";
    case USBIP_IMPORT_BUSY: return "busy";
    default: return "device error";
    }
}

void post_import(const char *peer, const char *busid, std::uint32_t status)
{
    usbip_event(status == USBIP_IMPORT_OK ? usbip_level::info : usbip_level::warning, "import")
        .text("peer", peer)
        .text("busid", busid)
        .text("result", import_result_text(status))
        .post();
}

std::uint32_t import_status(usbip_claim_result r)
{
    switch (r) {
    case usbip_claim_result::ok: return USBIP_IMPORT_OK;
    case usbip_claim_result::not_found: return USBIP_IMPORT_NOT_SHARED;
    case usbip_claim_result::busy: return USBIP_IMPORT_BUSY;
    case usbip_claim_result::device_error: return USBIP_IMPORT_DEVICE_ERROR;
    }
    return USBIP_IMPORT_DEVICE_ERROR;
}

// An import with forwarding on: the device is claimed before the reply, so
// that the reply can say "busy" or "device error"; after a granted import
// the same connection carries the device's traffic until the client leaves,
// the device is unshared or unplugged, or the server stops.
void serve_forwarded_import(usbip_conn &conn, const char *busid, const char *peer)
{
    ServerState &g = server();
    ForwardingSession session;
    usbip_copy_text(session.busid, sizeof session.busid, busid);
    session.fd = conn.fd;
    session.peer = peer;
    session.since_ms = plat::wall_ms();
    session.conn = &conn;
    ForwardingEntry entry;  // leaves the list when this returns, before the caller closes the socket
    usbip_device record{};
    usbip_forward_device_ptr device;
    usbip_claim_result claimed = usbip_claim_result::not_found;
    if (entry.enter(&session, &record)) {
        claimed = usbip_forward_claim(usbip_enum_context(), record, &device);
        // Unshared, or the server stopped, while the claim ran: refused.
        if (claimed == usbip_claim_result::ok && !session.keep_running) {
            device.reset();
            claimed = usbip_claim_result::not_found;
        }
    }
    std::string reply;
    usbip_encode_import_reply(reply, device ? &record : nullptr, import_status(claimed));
    post_import(peer, busid, import_status(claimed));
    // Not marked as finishing: a stop must wake a forwarding session at
    // once, and this reply is short.
    usbip_conn_set_deadline(&conn, g.session_limit_ms);
    if (usbip_conn_send_all(&conn, reply.data(), reply.size()) != 0 || !device) return;
    // The URB phase must name the device as the reply did.
    usbip_imported imported;
    usbip_decode_import_block(reinterpret_cast<const std::uint8_t *>(reply.data()) + USBIP_HEADER_SIZE, &imported);
    usbip_event(usbip_level::info, "forwarding_started").text("peer", peer).text("busid", busid).post();
    usbip_forward_options options;
    options.devid = imported.devid();
    options.urbs = &session.urbs;
    usbip_forward_end end = usbip_forward_run(&conn, std::move(device), session.keep_running, options);
    usbip_event(usbip_level::info, "forwarding_ended")
        .text("peer", peer)
        .text("busid", busid)
        .number("urbs", static_cast<std::int64_t>(session.urbs.load()))
        .number("bytes_in", static_cast<std::int64_t>(conn.bytes_in.load()))
        .number("bytes_out", static_cast<std::int64_t>(conn.bytes_out.load()))
        .text("reason", usbip_forward_end_text(end))
        .post();
}

}  // namespace

void usbip_server_serve_request(usbip_conn &conn, bool forwarding, const char *peer)
{
    ServerState &g = server();
    std::uint8_t head[USBIP_HEADER_SIZE];
    if (usbip_conn_recv_all(&conn, head, sizeof head) != 0) return;
    // A whole request: the session is no longer one to end for a newcomer
    // (without a password, nothing before it proves anything).
    if (conn.watch) conn.watch->settle();
    std::string reply;
    switch (usbip_decode_header(head).code) {
    case OP_REQ_DEVLIST: {
        int count;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            usbip_encode_devlist_reply(reply, g.shared, g.shared_count);
            count = g.shared_count;
        }
        usbip_event(usbip_level::info, "devlist_served").text("peer", peer).number("devices", count).post();
        break;
    }
    case OP_REQ_IMPORT: {
        char busid[USBIP_BUSID_SIZE];
        if (usbip_conn_recv_all(&conn, busid, sizeof busid) != 0) return;
        busid[sizeof busid - 1] = '\0';
        if (forwarding) return serve_forwarded_import(conn, busid, peer);
        bool shared;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            int i = find_shared_locked(busid);
            shared = i >= 0;
            usbip_encode_import_reply(reply, shared ? &g.shared[i] : nullptr);
        }
        post_import(peer, busid, shared ? USBIP_IMPORT_OK : USBIP_IMPORT_NOT_SHARED);
        break;
    }
    default:
        return;  // unknown requests get no answer
    }
    // The reply is a snapshot of the table: written without the lock, with
    // its own time limit for a client that stops reading. A stop lets it
    // finish.
    if (conn.watch) conn.watch->set_finishing();
    usbip_conn_set_deadline(&conn, g.session_limit_ms);
    usbip_conn_send_all(&conn, reply.data(), reply.size());
}

namespace {

// The server half of a handshake (given as `handshake`, which reports a
// wrong password through its callback) for a session from `source`, under
// the server's limits on guessing. An untrusted source's attempt takes room
// in the budget first: with none left the session ends without an answer,
// right or wrong, so that nothing is learned while the budget recovers. A
// wrong password counts against the source; a right one makes it trusted
// and its session one that is never ended for a newcomer. 0 when the client
// passed.
int authenticate(usbip_conn &conn, const usbip_source &source, bool trusted, const std::string &peer,
                 const std::function<int(const std::function<void()> &)> &handshake)
{
    ServerState &g = server();
    if (g.settings.password.empty()) return handshake({});
    usbip_budget_hold hold;
    if (!g.guesses.begin(trusted, plat::monotonic_ms(), &hold)) return -1;
    int r = handshake([&] {
        const std::int64_t now = plat::monotonic_ms();
        g.guesses.failed(source, now, hold);
        usbip_event(usbip_level::warning, "handshake_rejected").text("peer", peer).text("reason", "wrong password").post();
        if (std::int64_t left = g.guesses.refused_for(source, false, now); left > 0)
            usbip_event(usbip_level::warning, "address_backed_off")
                .text("peer", peer)
                .text("source", source.text())
                .time("until", plat::wall_ms() + left)
                .number("seconds", (left + 999) / 1000)
                .post();
    });
    if (r != 0) return r;
    g.guesses.succeeded(source, plat::monotonic_ms());
    if (conn.watch) conn.watch->settle();
    return 0;
}

// The session of a connection that the listener accepted: its peer has
// spoken. Plain connections were greeted on accept (or, in stock-client
// mode, when they stayed silent for a moment).
void serve_accepted(usbip_pending &p)
{
    ServerState &g = server();
    const bool forwarding = g.forwarding;
    usbip_conn conn(p.socket.release());
    // Until it authenticates, the session may be ended to free its thread
    // for a source that holds fewer.
    conn.watch = std::make_unique<plat::SocketWatch>(g.sessions, conn.fd, p.source.key());
    // A stop that woke the sessions before this one was watched has cleared
    // the flag already: end now rather than wait for the client.
    if (!g.running) return;
    // Everything before the reply must end within the limit from the
    // accept, so a silent or dripping client cannot hold this thread.
    conn.deadline_ms = p.accepted_ms + g.session_limit_ms;
    const SessionSettings &settings = g.settings;
    const char *password = settings.password.c_str();
    const std::string peer = p.peer.text();
    int auth;
    if (p.greeted) {
        auth = authenticate(conn, p.source, p.trusted, peer, [&](const std::function<void()> &rejected) {
            return usbip_auth_server_verify(&conn, password, p.challenge, rejected);
        });
    } else if (settings.use_tls) {
        if (usbip_tls_wrap_server(&conn) != 0) return;
        auth = authenticate(conn, p.source, p.trusted, peer, [&](const std::function<void()> &rejected) {
            return usbip_auth_handshake_server(&conn, password, rejected);
        });
    } else {
        // A plain connection that was not greeted was admitted in stock-client
        // mode and spoke first: a stock client's USB/IP request, answered
        // without the handshake (the server has no password).
        auth = 0;
    }
    if (auth != 0) return;
    usbip_event(usbip_level::debug, "handshake_accepted").text("peer", peer).post();
    if (!g.running) return;
    usbip_server_serve_request(conn, forwarding, peer.c_str());
}

// Sends the handshake's greeting to a new plain connection.
bool greet(usbip_pending &p)
{
    ServerState &g = server();
    std::uint8_t greeting[USBIP_GREETING_SIZE];
    if (!usbip_auth_make_greeting(g.settings.password.c_str(), greeting)) return false;
    // A new connection always has room for these few bytes.
    plat::IoError err;
    if (plat::send_now(p.socket.get(), greeting, sizeof greeting, &err) != static_cast<long>(sizeof greeting))
        return false;
    std::memcpy(p.challenge, greeting + 4, USBIP_CHALLENGE_SIZE);
    p.greeted = true;
    return true;
}

// Whether a source that has not proved the password may start a TLS
// handshake now: its own rate first, so that one source's flood does not
// spend what all others share.
bool tls_handshake_allowed(const usbip_source &source, std::int64_t now)
{
    ServerState &g = server();
    return g.tls_per_source->take(source.text(), now) && g.tls_handshakes.take(now);
}

// Decides on a new connection: a source that guessed wrong too often is
// refused for a while, and so is any source that has not proved the
// password recently while the server's budget for wrong guesses has no
// room (or while the table of guessers overflows); TLS handshakes of such
// sources come at a bounded rate. A plain connection is greeted at once,
// so that it needs no thread until its client answers. In stock-client
// mode (only for a server without password and TLS, where the handshake
// protects nothing) the greeting waits a moment for a stock client's
// request, which comes first: bytes first serve that request, silence gets
// the greeting.
bool admit_accepted(usbip_pending &p)
{
    ServerState &g = server();
    usbip_event(usbip_level::debug, "connection").text("peer", p.peer.text()).post();
    if (!g.settings.password.empty()) {
        p.trusted = g.guesses.trusted(p.source, p.accepted_ms);
        if (std::int64_t refused_ms = g.guesses.refused_for(p.source, p.trusted, p.accepted_ms); refused_ms > 0) {
            // A plain client learns why and for how long; a TLS client
            // expects a TLS handshake first, so its connection just closes.
            if (!g.settings.use_tls) {
                std::uint8_t refusal[USBIP_REFUSAL_SIZE];
                usbip_auth_make_refusal(refused_ms, refusal);
                plat::IoError err;
                plat::send_now(p.socket.get(), refusal, sizeof refusal, &err);
            }
            return false;
        }
    }
    if (g.settings.use_tls) return p.trusted || tls_handshake_allowed(p.source, p.accepted_ms);  // it waits for the client's hello
    if (g.stock_clients && g.settings.password.empty()) {
        p.timer_ms = p.accepted_ms + kStockClientWaitMs;
        return true;
    }
    return greet(p);
}

// ---------------------------------------------------------------------------
// Relay registration: a control connection to a relay, and a worker that
// answers each DISPATCH with a data connection carrying an ATTACH line and
// then an ordinary session.

// On a thread of the pool: the data connection for one DISPATCH, then the
// session on it. Its first bytes follow the ATTACH line directly. The
// client's guesses count against the source the relay named for it, apart
// from direct ones; a source that is refused gets its data connection
// closed at once, so that its pairing ends without costing a thread. A
// client that proves the password is named to the relay, which then lets it
// through however busy the code is with others.
void serve_dispatch(const std::string &host, int port, const std::string &ticket, const std::string &client,
                    const usbip_source &source, const std::shared_ptr<ControlWriter> &control)
{
    ServerState &g = server();
    const bool forwarding = g.forwarding;
    const SessionSettings &settings = g.settings;
    const std::int64_t now = plat::monotonic_ms();
    const bool guarded = !settings.password.empty();
    const bool trusted = guarded && g.guesses.trusted(source, now);
    const bool refused = guarded && g.guesses.refused_for(source, trusted, now) > 0;
    usbip_conn conn;
    // The relay's wait runs out meanwhile if this fails; a stop ends the
    // attempt at once.
    if (usbip_conn_connect_bounded(&conn, host.c_str(), port, kDispatchConnectMs, g.worker_running) != 0) return;
    conn.watch = std::make_unique<plat::SocketWatch>(g.sessions, conn.fd, source.key());
    conn.deadline_ms = plat::monotonic_ms() + g.session_limit_ms;
    if (!usbip_send_line(conn.fd, "ATTACH " + ticket + "\n")) return;
    if (refused || !g.running) return;
    if (settings.use_tls && usbip_tls_wrap_server(&conn) != 0) return;
    // Through the relay the handshake always runs, stock-client mode or not.
    const std::string peer = "relay " + host + ":" + std::to_string(port);
    int auth = authenticate(conn, source, trusted, peer, [&](const std::function<void()> &rejected) {
        return usbip_auth_handshake_server(&conn, settings.password.c_str(), rejected);
    });
    if (auth != 0) return;
    usbip_event(usbip_level::debug, "handshake_accepted").text("peer", peer).post();
    if (!g.running) return;
    if (guarded && source.net.size != 0) control->send("PROVEN " + client + "\n");
    usbip_server_serve_request(conn, forwarding, peer.c_str());
}

// Registers with the relay on a new control connection: the REGISTER line,
// then the relay's CODE line. On success the connection's socket and the
// code; otherwise the thread's message says why. From the worker, a stop
// ends the attempt at once: its connect gives up, and its connection is
// published for the stop to shut down.
bool register_with_relay(const char *host, int port, const std::string &key, bool from_worker, plat::socket_t *control,
                         std::string *code)
{
    ServerState &g = server();
    usbip_conn conn;
    const int connected = from_worker
                              ? usbip_conn_connect_bounded(&conn, host, port, usbip_client_timeout_ms(), g.worker_running)
                              : usbip_conn_connect(&conn, host, port);
    if (connected != 0) {
        usbip_set_last_error(USBIP_ERROR_CONNECT, "Failed to connect to relay server at %s:%d", host, port);
        return false;
    }
    struct Published {
        // While the worker waits for the relay's answer, a stop shuts this
        // connection down to wake it.
        Published(bool on, plat::socket_t fd) : on_(on)
        {
            if (!on_) return;
            ServerState &g = server();
            std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
            g.attempt = fd;
            if (!g.worker_running) plat::shutdown_both(fd);
        }
        ~Published()
        {
            if (!on_) return;
            ServerState &g = server();
            std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
            g.attempt = plat::kNoSocket;
        }
        bool on_;
    } published(from_worker, conn.fd);
    // No password hash on the wire: it would let anybody on the path log
    // in to this server. A relay that asks for a registration key gets the
    // one its operator handed out.
    if (!usbip_send_line(conn.fd, "REGISTER " + key + "\n")) {
        usbip_set_last_error(USBIP_ERROR_RELAY, "Failed to send REGISTER to relay");
        return false;
    }
    char reply[128];
    if (usbip_read_line(conn.fd, reply, sizeof reply, 5000) < 1) {
        usbip_set_last_error(USBIP_ERROR_RELAY, "Failed to read CODE response from relay");
        return false;
    }
    if (!usbip_relay_parse_code(reply, code)) {
        // A full relay, and one that wants another registration key, refuse
        // with their lines; anything else is no answer of a relay.
        const bool full = std::strcmp(reply, "ERROR Relay capacity reached") == 0;
        const bool keyed = std::strcmp(reply, "ERROR Registration refused") == 0;
        usbip_set_last_error(full ? USBIP_ERROR_RELAY_FULL : keyed ? USBIP_ERROR_RELAY_REFUSED : USBIP_ERROR_RELAY,
                             "Relay returned invalid registration response: %s", reply);
        return false;
    }
    *control = conn.release_socket();
    return true;
}

// Waits up to `ms`, or until the registration ends or the server stops;
// true while it should go on.
bool worker_pause(int ms)
{
    ServerState &g = server();
    std::unique_lock<std::mutex> lock(g.worker_wait_mutex);
    return !g.worker_wait.wait_for(lock, std::chrono::milliseconds(ms),
                                   [&g] { return !g.worker_running || !g.running; });
}

// Serves one control connection: DISPATCH lines and heartbeats, until the
// registration ends or the server stops (empty result) or the connection is
// lost (why).
std::string serve_control(plat::socket_t control, const std::string &host, int port, std::uint32_t route)
{
    ServerState &g = server();
    // Sessions that came through this connection write on it too; they stop
    // when this returns.
    auto writer = std::make_shared<ControlWriter>(control);
    struct Closer {
        ControlWriter &w;
        ~Closer() { w.close(); }
    } closer{*writer};
    std::int64_t last_heartbeat = plat::wall_seconds();
    std::int64_t last_heard = plat::monotonic_ms();
    char line[256];
    while (g.worker_running && g.running) {
        std::int64_t pass_start = plat::monotonic_ms();
        int n = usbip_read_line(control, line, sizeof line, 1000);
        std::string ticket, client;
        if (n >= 0) last_heard = plat::monotonic_ms();
        if (n > 0 && usbip_relay_parse_dispatch(line, &ticket, &client)) {
            // A relay that names no client (or names it unreadably): all
            // its clients count as one source.
            plat::PeerAddress address;
            plat::PeerAddress::parse(client.c_str(), &address);
            usbip_source source = usbip_source_of(address, USBIP_DEFAULT_IPV6_PREFIX, route);
            g.sessions.try_run([host, port, ticket, client, source, writer] {
                serve_dispatch(host, port, ticket, client, source, writer);
            });
        }
        if (n < 0 && plat::peer_gone(control)) {
            if (!g.worker_running || !g.running) break;
            return "connection closed";
        }
        // The relay answers every heartbeat: two periods without a line mean
        // that it, or the way to it, is gone.
        if (plat::monotonic_ms() - last_heard > 2000LL * g.heartbeat_period_s + 5000) return "relay silent";
        if (n < 0) {
            // A read that failed at once must not make the loop spin.
            std::int64_t left = 1000 - (plat::monotonic_ms() - pass_start);
            if (left > 0 && !worker_pause(static_cast<int>(left))) break;
        }
        std::int64_t now = plat::wall_seconds();
        if (now - last_heartbeat >= g.heartbeat_period_s) {
            if (!writer->send("HEARTBEAT\n")) {
                if (!g.worker_running || !g.running) break;
                return "heartbeat failed";
            }
            last_heartbeat = now;
        }
    }
    return "";
}

// The worker of a registration: serves its control connection, and when
// that is lost registers again, with a pause of 1 s doubling up to 60 s
// between attempts, until the registration ends or the server stops.
void server_relay_worker_fn(plat::socket_t control, std::string host, int port, std::string code, std::string key,
                            std::uint32_t route)
{
    ServerState &g = server();
    const std::string relay = host + ":" + std::to_string(port);
    while (g.worker_running && g.running) {
        std::string why = serve_control(control, host, port, route);
        if (why.empty()) return;
        usbip_event(usbip_level::warning, "relay_registration_lost")
            .text("relay", relay)
            .text("code", code)
            .text("reason", why)
            .post();
        int pause_ms = g.reregister_first_ms;
        for (;;) {
            if (!worker_pause(pause_ms)) return;
            plat::socket_t fresh = plat::kNoSocket;
            std::string fresh_code;
            if (register_with_relay(host.c_str(), port, key, true, &fresh, &fresh_code)) {
                {
                    std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
                    plat::close(g.control);
                    g.control = control = fresh;
                    if (!g.worker_running) plat::shutdown_both(control);
                }
                {
                    std::lock_guard<std::mutex> lock(g.mutex);
                    usbip_copy_text(g.code, sizeof g.code, fresh_code.c_str());
                }
                usbip_event(usbip_level::info, "relay_registered_again")
                    .text("relay", relay)
                    .text("code", fresh_code)
                    .text("old_code", code)
                    .post();
                code = fresh_code;
                break;
            }
            if (!g.worker_running || !g.running) return;
            pause_ms = std::min(pause_ms * 2, g.reregister_max_ms.load());
            usbip_event(usbip_level::warning, "relay_registration_failed")
                .text("relay", relay)
                .text("error", usbip_last_error())
                .number("retry_ms", pause_ms)
                .post();
        }
    }
}

// Ends the current registration: the worker is woken and waited for, so
// that no worker reads any control connection afterwards, and the control
// connection is closed. Under the lifecycle lock.
void end_relay_registration()
{
    ServerState &g = server();
    {
        std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
        if (g.worker_running.exchange(false)) {
            plat::shutdown_both(g.control);
            plat::shutdown_both(g.attempt);
        }
        g.worker_wait.notify_all();
    }
    if (g.worker.joinable()) {
        g.worker.join();
        plat::unpin_module();
    }
    if (g.control != plat::kNoSocket) {
        plat::close(g.control);
        g.control = plat::kNoSocket;
    }
}

// ---------------------------------------------------------------------------
// Share rules: the devices that a rule names (bus id, ids, or ids and serial
// number) are shared as they are plugged in, and leave the table when they
// are unplugged. While any rule is in force the inventory's watch calls
// devices_changed() after each arrival or departure.

constexpr std::size_t kMaxRules = 64;

// What a rule did to one device, for the hooks.
struct RuleChange {
    usbip_device device;
    std::string rule;
    bool shared;     // shared; otherwise it left the table
    bool unplugged;  // it left because it was unplugged, not because its rule went
};

// The hooks: each device that a rule shares, and each that leaves the table
// because it was unplugged or its rule was withdrawn, in the order of the
// changes, on the thread that made them (the host's, or the device watch's)
// with the server lock released. A host's rule call still holds the rules
// lock, so a hook never calls the rule exports; each posts its event.
void on_rule_shared(const usbip_device &device, const std::string &rule)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", device.idVendor, device.idProduct);
    usbip_event(usbip_level::info, "device_shared").text("busid", device.busid).text("ids", ids).text("rule", rule).post();
}

void on_rule_unshared(const usbip_device &device, const std::string &rule, bool unplugged)
{
    usbip_event(usbip_level::info, "device_unshared")
        .text("busid", device.busid)
        .text("rule", rule)
        .text("reason", unplugged ? "unplugged" : "rule withdrawn")
        .post();
}

void report(const std::vector<RuleChange> &changes)
{
    for (const RuleChange &c : changes) {
        if (c.shared)
            on_rule_shared(c.device, c.rule);
        else
            on_rule_unshared(c.device, c.rule, c.unplugged);
    }
}

std::vector<Plugging> pluggings(const std::vector<usbip_device> &devices)
{
    std::vector<Plugging> out;
    for (const usbip_device &d : devices) out.push_back({d.busid, d.address});
    return out;
}

// The first rule in force that names `dev`; null when none. Caller holds the
// server lock.
const usbip_share_rule *rule_for_locked(const usbip_device &dev)
{
    for (const usbip_share_rule &r : server().rules)
        if (usbip_share_rule_matches(r, dev)) return &r;
    return nullptr;
}

// Shares `dev` for `rule` unless this very plugging is shared already. A
// record of an earlier plugging at the same bus id (the device has gone
// since) gives way to it. A full table shares nothing more. Caller holds
// the server lock.
void share_by_rule_locked(const usbip_device &dev, const std::string &rule, std::vector<RuleChange> &changes)
{
    ServerState &g = server();
    int i = find_shared_locked(dev.busid);
    if (i >= 0) {
        if (g.shared[i].address == dev.address) return;
        end_forwarding_locked(dev.busid);
        g.shared[i] = dev;
        g.shared[i].shared = 1;
        g.shared_by[i] = rule;
    } else if (g.shared_count < USBIP_MAX_DEVICES) {
        add_shared_locked(dev, rule);
    } else {
        return;
    }
    changes.push_back({dev, rule, true, false});
}

// Takes a rule out of force: the devices it shared leave the table, unless
// another rule names them too. Caller holds the server lock.
void withdraw_rule_locked(const std::string &text, std::vector<RuleChange> &changes)
{
    ServerState &g = server();
    g.rules.erase(std::remove_if(g.rules.begin(), g.rules.end(),
                                 [&text](const usbip_share_rule &r) { return r.text == text; }),
                  g.rules.end());
    for (int i = 0; i < g.shared_count;) {
        if (g.shared_by[i] != text) {
            ++i;
        } else if (const usbip_share_rule *other = rule_for_locked(g.shared[i])) {
            g.shared_by[i] = other->text;
            ++i;
        } else {
            changes.push_back({g.shared[i], text, false, false});
            remove_shared_locked(i);
        }
    }
}

// On the device watch's thread, after each arrival or departure (and once
// at its start), with the inventory just refreshed.
void devices_changed()
{
    const std::vector<usbip_device> present = usbip_enum_snapshot();
    std::vector<Plugging> now = pluggings(present);
    std::vector<RuleChange> changes;
    {
        ServerState &g = server();
        std::lock_guard<std::mutex> lock(g.mutex);
        // Unplugged: what a rule shared leaves the table, so that no client
        // sees it and an import of it is "not shared".
        for (int i = 0; i < g.shared_count;) {
            const Plugging p{g.shared[i].busid, g.shared[i].address};
            if (g.shared_by[i].empty() || std::find(now.begin(), now.end(), p) != now.end()) {
                ++i;
                continue;
            }
            changes.push_back({g.shared[i], g.shared_by[i], false, true});
            remove_shared_locked(i);
        }
        // Plugged in: what a rule names is shared.
        for (const usbip_device &d : present) {
            if (std::find(g.seen.begin(), g.seen.end(), Plugging{d.busid, d.address}) != g.seen.end()) continue;
            if (const usbip_share_rule *r = rule_for_locked(d)) share_by_rule_locked(d, r->text, changes);
        }
        g.seen = std::move(now);
    }
    report(changes);
}

// Parses a rule given by the host; false with the message when it is none.
bool parse_rule(const char *rule, usbip_share_rule *out)
{
    if (usbip_share_rule_parse(rule, out)) return true;
    usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid share rule '%s'", rule != nullptr ? rule : "");
    return false;
}

}  // namespace

void usbip_server_forget_rules()
{
    ServerState &g = server();
    std::lock_guard<std::mutex> rules(g.rules_lifecycle);
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.rules.clear();
        g.seen.clear();
        for (std::string &r : g.shared_by) r.clear();  // what stays shared stays as the host's
    }
    usbip_enum_unwatch();
}

void usbip_server_set_session_limit_ms(int ms) { server().session_limit_ms = ms; }

void usbip_server_set_heartbeat_period(int seconds) { server().heartbeat_period_s = seconds; }

void usbip_server_set_reregister_pauses(int first_ms, int max_ms)
{
    server().reregister_first_ms = first_ms > 0 ? first_ms : 1000;
    server().reregister_max_ms = max_ms > 0 ? max_ms : 60000;
}

void usbip_server_set_guess_budget(int burst, int refill_ms) { server().guesses.set_budget({burst, refill_ms}); }

void usbip_server_set_tls_limits(int per_source_burst, int per_source_refill_ms, int burst, int refill_ms)
{
    ServerState &g = server();
    std::lock_guard<std::mutex> life(g.lifecycle);
    if (g.running) return;
    g.tls_per_source = std::make_unique<usbip_rate_limit>(per_source_burst, per_source_refill_ms);
    g.tls_handshakes.reset({burst, refill_ms});
}

extern "C" {

USBIP_API int usbip_server_start(int port, const char *password, int use_tls)
{
    return usbip_guard(-1, [&]() -> int {
        ServerState &g = server();
        std::lock_guard<std::mutex> life(g.lifecycle);
        if (g.running) return 0;
        if (!usbip_password_fits(password)) return -1;

        SessionSettings settings;
        if (password != nullptr) settings.password = password;
        settings.use_tls = use_tls != 0;
        // A fresh key and certificate for every start with TLS.
        if (settings.use_tls && usbip_tls_generate_cert() != 0) return -1;

        {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.settings = std::move(settings);
            g.running = true;
        }
        g.guesses.clear();
        g.tls_per_source->clear();
        g.tls_handshakes.reset();
        usbip_listener_limits limits;
        limits.wait_ms = g.session_limit_ms;
        usbip_listener_hooks hooks;
        hooks.admit = admit_accepted;
        hooks.on_timer = greet;
        hooks.serve = serve_accepted;
        if (!g.listener.start(port, "server_start", "server_start: failed to spawn listen thread", limits,
                              g.sessions, std::move(hooks))) {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.running = false;
            return -1;
        }
        usbip_event(usbip_level::info, "server_started")
            .number("port", g.listener.port())
            .flag("tls", g.settings.use_tls)
            .flag("password", !g.settings.password.empty())
            .post();
        return 0;
    });
}

USBIP_API int usbip_server_port(void)
{
    return usbip_guard(0, [] { return server().listener.port(); });
}

USBIP_API void usbip_server_stop(void)
{
    usbip_guard(0, [] {
        ServerState &g = server();
        std::lock_guard<std::mutex> life(g.lifecycle);
        if (!g.running) {
            // A registration made while stopped keeps its control connection,
            // but its worker (which ended at once) is waited for.
            if (g.worker.joinable()) {
                g.worker.join();
                plat::unpin_module();
            }
            return 0;
        }
        {
            std::lock_guard<std::mutex> rules(g.rules_lifecycle);
            {
                std::lock_guard<std::mutex> lock(g.mutex);
                g.running = false;
                g.shared_count = 0;
                for (std::string &r : g.shared_by) r.clear();
                g.rules.clear();
                g.seen.clear();
                end_forwarding_locked(nullptr);
            }
            usbip_enum_unwatch();  // it serves the rules only
        }
        end_relay_registration();
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.code[0] = '\0';
        }
        // Once the listener has ended no new sessions start.
        g.listener.stop();
        // Sessions that wait for their client end at once; replies in
        // flight get a short grace to finish. After a stop no thread of the
        // server runs.
        g.sessions.wake_all(true);
        g.sessions.wait_idle(kReplyGraceMs);
        g.sessions.wake_all();
        g.sessions.join_all();
        usbip_event(usbip_level::info, "server_stopped").post();
        return 0;
    });
}

USBIP_API const char *usbip_server_register_relay(const char *host, int port, const char *password)
{
    (void)password;  // the relay never needs it: the handshake runs end to end
    if (host == nullptr || port <= 0) {
        usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid relay host or port");
        return nullptr;
    }
    return usbip_guard<const char *>(nullptr, [&]() -> const char * {
        ServerState &g = server();
        // The lifecycle lock, not the server lock, is held across the relay's
        // answer: share, list and sessions go on meanwhile.
        std::lock_guard<std::mutex> life(g.lifecycle);
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            if (g.running && g.settings.use_tls) {
                usbip_set_last_error(USBIP_ERROR_UNSUPPORTED, "Relay registration refused: the server runs with TLS, which clients through a "
                                     "relay never start");
                return nullptr;
            }
        }
        end_relay_registration();

        plat::socket_t control = plat::kNoSocket;
        std::string code;
        if (!register_with_relay(host, port, g.registration_key, false, &control, &code)) return nullptr;
        const std::uint32_t route = ++g.route;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            usbip_copy_text(g.code, sizeof g.code, code.c_str());
        }
        {
            std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
            g.control = control;
            g.worker_running = true;
        }
        plat::pin_module();
        try {
            g.worker = std::thread([control, relay_host = std::string(host), port, code, key = g.registration_key,
                                    route] {
                try {
                    server_relay_worker_fn(control, relay_host, port, code, key, route);
                } catch (...) {
                    // Out of memory: the registration goes quiet; the relay
                    // ends it when its heartbeats stop.
                }
            });
        } catch (const std::system_error &) {
            plat::unpin_module();
            std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
            g.worker_running = false;
            plat::close(g.control);
            g.control = plat::kNoSocket;
            usbip_set_last_error(USBIP_ERROR_SYSTEM, "Failed to start relay worker thread");
            return nullptr;
        }
        usbip_event(usbip_level::info, "relay_registered")
            .text("relay", std::string(host) + ":" + std::to_string(port))
            .text("code", code)
            .post();
        return g.code;
    });
}

USBIP_API int usbip_server_set_registration_key(const char *key)
{
    return usbip_guard(-1, [key]() -> int {
        if (key != nullptr && key[0] != '\0' && !usbip_relay_key_valid(key)) {
            usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid registration key");
            return -1;
        }
        ServerState &g = server();
        std::lock_guard<std::mutex> life(g.lifecycle);
        g.registration_key = key != nullptr ? key : "";
        return 0;
    });
}

USBIP_API int usbip_server_share(const char *busid)
{
    if (busid == nullptr || busid[0] == '\0') {
        usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid busid provided");
        return -1;
    }
    ServerState &g = server();
    std::lock_guard<std::mutex> lock(g.mutex);
    usbip_device dev;
    if (!usbip_enum_find_by_busid(busid, &dev)) {
        usbip_set_last_error(USBIP_ERROR_NOT_FOUND, "Device '%s' not found locally to share", busid);
        return -1;
    }
    if (find_shared_locked(busid) >= 0) return 0;
    if (g.shared_count >= USBIP_MAX_DEVICES) {
        usbip_set_last_error(USBIP_ERROR_TABLE_FULL, "Maximum shared devices reached");
        return -1;
    }
    add_shared_locked(dev, "");
    return 0;
}

USBIP_API int usbip_server_share_rule(const char *rule)
{
    return usbip_guard(-1, [&]() -> int {
        usbip_share_rule parsed;
        if (!parse_rule(rule, &parsed)) return -1;
        ServerState &g = server();
        std::lock_guard<std::mutex> rules(g.rules_lifecycle);
        const std::vector<usbip_device> present = usbip_enum_snapshot();
        std::vector<RuleChange> changes;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            if (std::find(g.rules.begin(), g.rules.end(), parsed) != g.rules.end()) return 0;
            if (g.rules.size() >= kMaxRules) {
                usbip_set_last_error(USBIP_ERROR_TABLE_FULL, "Maximum share rules reached");
                return -1;
            }
            // A new watch takes what is plugged in now as known.
            if (g.rules.empty()) g.seen = pluggings(present);
            g.rules.push_back(parsed);
            // What the last enumeration found and the rule names is shared now.
            for (const usbip_device &d : present)
                if (usbip_share_rule_matches(parsed, d)) share_by_rule_locked(d, parsed.text, changes);
        }
        report(changes);
        // Without USB nothing is ever plugged in: the rule waits in vain.
        if (usbip_enum_context() == nullptr || usbip_enum_watch(devices_changed)) return 0;
        changes.clear();
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            withdraw_rule_locked(parsed.text, changes);
        }
        report(changes);
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "Failed to start the device watch thread");
        return -1;
    });
}

USBIP_API int usbip_server_unshare_rule(const char *rule)
{
    return usbip_guard(-1, [&]() -> int {
        usbip_share_rule parsed;
        if (!parse_rule(rule, &parsed)) return -1;
        ServerState &g = server();
        std::lock_guard<std::mutex> rules(g.rules_lifecycle);
        std::vector<RuleChange> changes;
        bool none_left;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            if (std::find(g.rules.begin(), g.rules.end(), parsed) == g.rules.end()) {
                usbip_set_last_error(USBIP_ERROR_NOT_SHARED, "Share rule '%s' is not in force", parsed.text.c_str());
                return -1;
            }
            withdraw_rule_locked(parsed.text, changes);
            none_left = g.rules.empty();
        }
        report(changes);
        if (none_left) usbip_enum_unwatch();
        return 0;
    });
}

USBIP_API int usbip_server_unshare(const char *busid)
{
    if (busid == nullptr) return -1;
    ServerState &g = server();
    std::lock_guard<std::mutex> lock(g.mutex);
    int i = find_shared_locked(busid);
    if (i < 0) {
        usbip_set_last_error(USBIP_ERROR_NOT_SHARED, "Device '%s' is not shared", busid);
        return -1;
    }
    // Whoever forwards it loses it now; the session releases the device.
    remove_shared_locked(i);
    return 0;
}

USBIP_API int usbip_server_set_forwarding(int enabled)
{
    ServerState &g = server();
    if (enabled >= 0) g.forwarding = enabled != 0;
    return g.forwarding ? 1 : 0;
}

USBIP_API int usbip_server_set_stock_clients(int enabled)
{
    ServerState &g = server();
    if (enabled >= 0) g.stock_clients = enabled != 0;
    return g.stock_clients ? 1 : 0;
}

USBIP_API const char *usbip_server_sessions(void)
{
    return usbip_guard<const char *>("[]", [] {
        ServerState &g = server();
        std::lock_guard<std::mutex> lock(g.mutex);
        json_array_builder array(tls_sessions_json);
        for (const ForwardingSession *f : g.forwarding_sessions) {
            std::string &out = array.next();
            out += "{\"peer\":\"";
            usbip_json_escape(out, f->peer.c_str(), f->peer.size());
            out += "\",\"busid\":\"";
            usbip_json_escape(out, f->busid, sizeof f->busid);
            out += "\",\"since\":\"";
            out += usbip_utc_text(f->since_ms);
            out += "\",\"bytes_in\":";
            out += std::to_string(f->conn->bytes_in.load(std::memory_order_relaxed));
            out += ",\"bytes_out\":";
            out += std::to_string(f->conn->bytes_out.load(std::memory_order_relaxed));
            out += ",\"urbs\":";
            out += std::to_string(f->urbs.load(std::memory_order_relaxed));
            out += '}';
        }
        return array.finish();
    });
}

USBIP_API const char *usbip_server_list_shared(void)
{
    return usbip_guard<const char *>("[]", [] {
        ServerState &g = server();
        std::lock_guard<std::mutex> lock(g.mutex);
        return usbip_devices_to_json(tls_srv_json, g.shared, g.shared_count);
    });
}

}  // extern "C"
