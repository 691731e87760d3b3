// Sharing server: the table of shared devices, the listener, one session
// per connection that answers a single OP_REQ_DEVLIST or OP_REQ_IMPORT
// after the password handshake (and, when the host turned forwarding on,
// then carries the imported device's traffic), and the registration with a
// relay.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "halvoren_usbip.h"
#include "platform/threads.h"
#include "usbip_forward.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_enum.h"
#include "usbip_frame.h"
#include "usbip_line_io.h"
#include "usbip_protocol.h"
#include "usbip_relay_lines.h"
#include "usbip_server.h"
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
// bus id can end it: they clear its flag and shut its socket down.
struct ForwardingSession {
    char busid[USBIP_BUSID_SIZE] = {};
    plat::socket_t fd = plat::kNoSocket;
    std::atomic<bool> keep_running{true};
};

// The writing side of a relay registration's control connection, shared by
// its worker (heartbeats) and the sessions that came through the relay (they
// tell it which clients proved the password): one line at a time, and none
// once the registration has ended, whose socket may be closed and its
// number reused.
class ControlWriter {
public:
    explicit ControlWriter(plat::socket_t fd) : fd_(fd) {}
    void send(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) usbip_send_line(fd_, line, 1000);
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

// What a session needs to know of its server; set by each start while the
// server is stopped, read by sessions without a lock.
struct SessionSettings {
    std::string password;
    bool use_tls = false;
};

// Everything the server keeps, in one place. Allocated once and never
// destroyed: its threads may outlive a host that exits without cleanup.
//
// Lock order: the lifecycle lock, then the server lock, then the inventory
// and TLS locks.
struct ServerState {
    // Serialises start, stop and relay registration with each other, so that
    // a start never overlaps the end of a stop. Held across their waits.
    std::mutex lifecycle;
    // Guards the shared table and the relay code. Never held across network
    // I/O.
    std::mutex mutex;
    usbip_device shared[USBIP_MAX_DEVICES] = {};
    int shared_count = 0;
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

    // The relay registration, changed by register and stop under the
    // lifecycle lock (the code also under the server lock).
    std::atomic<bool> worker_running{false};
    // Numbers the registrations, so that sources through one relay
    // registration are counted apart from direct ones and from another's.
    std::uint32_t route = 0;
    plat::socket_t control = plat::kNoSocket;
    std::shared_ptr<ControlWriter> control_writer;
    char code[16] = {};  // returned to the host; valid for the life of the process
    std::thread worker;
    std::atomic<int> heartbeat_period_s{25};
    std::string registration_key;  // under the lifecycle lock
    std::mutex worker_wait_mutex;  // wakes a worker that waits between passes
    std::condition_variable worker_wait;
};

ServerState &server()
{
    static ServerState *state = new ServerState();
    return *state;
}

thread_local std::string tls_srv_json;

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
void serve_forwarded_import(usbip_conn &conn, const char *busid)
{
    ServerState &g = server();
    ForwardingSession session;
    usbip_copy_text(session.busid, sizeof session.busid, busid);
    session.fd = conn.fd;
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
    // Not marked as finishing: a stop must wake a forwarding session at
    // once, and this reply is short.
    usbip_conn_set_deadline(&conn, g.session_limit_ms);
    if (usbip_conn_send_all(&conn, reply.data(), reply.size()) != 0 || !device) return;
    // The URB phase must name the device as the reply did.
    usbip_imported imported;
    usbip_decode_import_block(reinterpret_cast<const std::uint8_t *>(reply.data()) + USBIP_HEADER_SIZE, &imported);
    usbip_forward_options options;
    options.devid = imported.devid();
    usbip_forward_run(&conn, std::move(device), session.keep_running, options);
}

}  // namespace

void usbip_server_serve_request(usbip_conn &conn, bool forwarding)
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
        std::lock_guard<std::mutex> lock(g.mutex);
        usbip_encode_devlist_reply(reply, g.shared, g.shared_count);
        break;
    }
    case OP_REQ_IMPORT: {
        char busid[USBIP_BUSID_SIZE];
        if (usbip_conn_recv_all(&conn, busid, sizeof busid) != 0) return;
        busid[sizeof busid - 1] = '\0';
        if (forwarding) return serve_forwarded_import(conn, busid);
        std::lock_guard<std::mutex> lock(g.mutex);
        int i = find_shared_locked(busid);
        usbip_encode_import_reply(reply, i >= 0 ? &g.shared[i] : nullptr);
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
int authenticate(usbip_conn &conn, const usbip_source &source, bool trusted,
                 const std::function<int(const std::function<void()> &)> &handshake)
{
    ServerState &g = server();
    if (g.settings.password.empty()) return handshake({});
    usbip_budget_hold hold;
    if (!g.guesses.begin(trusted, plat::monotonic_ms(), &hold)) return -1;
    int r = handshake([&] { g.guesses.failed(source, plat::monotonic_ms(), hold); });
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
    int auth;
    if (p.greeted) {
        auth = authenticate(conn, p.source, p.trusted, [&](const std::function<void()> &rejected) {
            return usbip_auth_server_verify(&conn, password, p.challenge, rejected);
        });
    } else if (settings.use_tls) {
        if (usbip_tls_wrap_server(&conn) != 0) return;
        auth = authenticate(conn, p.source, p.trusted, [&](const std::function<void()> &rejected) {
            return usbip_auth_handshake_server(&conn, password, rejected);
        });
    } else {
        // A plain connection that was not greeted was admitted in stock-client
        // mode and spoke first: a stock client's USB/IP request, answered
        // without the handshake (the server has no password).
        auth = 0;
    }
    if (auth != 0) return;
    if (!g.running) return;
    usbip_server_serve_request(conn, forwarding);
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
    if (!g.settings.password.empty()) {
        p.trusted = g.guesses.trusted(p.source, p.accepted_ms);
        if (!g.guesses.admit(p.source, p.trusted, p.accepted_ms)) return false;
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
    const bool refused = guarded && !g.guesses.admit(source, trusted, now);
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
    int auth = authenticate(conn, source, trusted, [&](const std::function<void()> &rejected) {
        return usbip_auth_handshake_server(&conn, settings.password.c_str(), rejected);
    });
    if (auth != 0 || !g.running) return;
    if (guarded && source.net.size != 0) control->send("PROVEN " + client + "\n");
    usbip_server_serve_request(conn, forwarding);
}

void server_relay_worker_fn(plat::socket_t control, std::shared_ptr<ControlWriter> writer, std::string host,
                            int port, std::uint32_t route)
{
    ServerState &g = server();
    std::int64_t last_heartbeat = plat::wall_seconds();
    char line[256];
    while (g.worker_running && g.running) {
        std::int64_t pass_start = plat::monotonic_ms();
        int n = usbip_read_line(control, line, sizeof line, 1000);
        std::string ticket, client;
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
        if (n < 0) {
            // A closed control connection fails every read at once: pace
            // the passes to about one a second instead of spinning.
            std::int64_t left = 1000 - (plat::monotonic_ms() - pass_start);
            std::unique_lock<std::mutex> lock(g.worker_wait_mutex);
            if (left > 0)
                g.worker_wait.wait_for(lock, std::chrono::milliseconds(left),
                                       [&g] { return !g.worker_running || !g.running; });
        }
        std::int64_t now = plat::wall_seconds();
        if (now - last_heartbeat >= g.heartbeat_period_s) {
            writer->send("HEARTBEAT\n");
            last_heartbeat = now;
        }
    }
}

// Ends the current registration: the worker is woken and waited for, so
// that no worker reads any control connection afterwards, and the control
// connection is closed. Under the lifecycle lock.
void end_relay_registration()
{
    ServerState &g = server();
    bool was_active = g.worker_running.exchange(false);
    if (g.control_writer) {
        g.control_writer->close();
        g.control_writer.reset();
    }
    {
        std::lock_guard<std::mutex> lock(g.worker_wait_mutex);
        g.worker_wait.notify_all();
    }
    if (was_active) plat::shutdown_both(g.control);
    if (g.worker.joinable()) {
        g.worker.join();
        plat::unpin_module();
    }
    if (g.control != plat::kNoSocket) {
        plat::close(g.control);
        g.control = plat::kNoSocket;
    }
}

}  // namespace

void usbip_server_set_session_limit_ms(int ms) { server().session_limit_ms = ms; }

void usbip_server_set_heartbeat_period(int seconds) { server().heartbeat_period_s = seconds; }

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
            std::lock_guard<std::mutex> lock(g.mutex);
            g.running = false;
            g.shared_count = 0;
            end_forwarding_locked(nullptr);
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
        return 0;
    });
}

USBIP_API const char *usbip_server_register_relay(const char *host, int port, const char *password)
{
    (void)password;  // the relay never needs it: the handshake runs end to end
    if (host == nullptr || port <= 0) {
        usbip_set_last_error("Invalid relay host or port");
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
                usbip_set_last_error("Relay registration refused: the server runs with TLS, which clients through a "
                                     "relay never start");
                return nullptr;
            }
        }
        end_relay_registration();

        usbip_conn conn;
        if (usbip_conn_connect(&conn, host, port) != 0) {
            usbip_set_last_error("Failed to connect to relay server at %s:%d", host, port);
            return nullptr;
        }
        // No password hash on the wire: it would let anybody on the path log
        // in to this server. A relay that asks for a registration key gets
        // the one its operator handed out.
        if (!usbip_send_line(conn.fd, "REGISTER " + g.registration_key + "\n")) {
            usbip_set_last_error("Failed to send REGISTER to relay");
            return nullptr;
        }
        char reply[128];
        if (usbip_read_line(conn.fd, reply, sizeof reply, 5000) < 1) {
            usbip_set_last_error("Failed to read CODE response from relay");
            return nullptr;
        }
        std::string code;
        if (!usbip_relay_parse_code(reply, &code)) {
            usbip_set_last_error("Relay returned invalid registration response: %s", reply);
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            usbip_copy_text(g.code, sizeof g.code, code.c_str());
        }
        g.control = conn.release_socket();
        g.control_writer = std::make_shared<ControlWriter>(g.control);
        g.worker_running = true;
        const std::uint32_t route = ++g.route;
        plat::pin_module();
        try {
            g.worker = std::thread([control = g.control, writer = g.control_writer, relay_host = std::string(host),
                                    port, route] {
                try {
                    server_relay_worker_fn(control, writer, relay_host, port, route);
                } catch (...) {
                    // Out of memory: the registration goes quiet; the relay
                    // ends it when its heartbeats stop.
                }
            });
        } catch (const std::system_error &) {
            plat::unpin_module();
            g.worker_running = false;
            g.control_writer.reset();
            plat::close(g.control);
            g.control = plat::kNoSocket;
            usbip_set_last_error("Failed to start relay worker thread");
            return nullptr;
        }
        return g.code;
    });
}

USBIP_API int usbip_server_set_registration_key(const char *key)
{
    return usbip_guard(-1, [key]() -> int {
        if (key != nullptr && key[0] != '\0' && !usbip_relay_key_valid(key)) {
            usbip_set_last_error("Invalid registration key");
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
        usbip_set_last_error("Invalid busid provided");
        return -1;
    }
    ServerState &g = server();
    std::lock_guard<std::mutex> lock(g.mutex);
    usbip_device dev;
    if (!usbip_enum_find_by_busid(busid, &dev)) {
        usbip_set_last_error("Device '%s' not found locally to share", busid);
        return -1;
    }
    if (find_shared_locked(busid) >= 0) return 0;
    if (g.shared_count >= USBIP_MAX_DEVICES) {
        usbip_set_last_error("Maximum shared devices reached");
        return -1;
    }
    dev.shared = 1;
    g.shared[g.shared_count++] = dev;
    return 0;
}

USBIP_API int usbip_server_unshare(const char *busid)
{
    if (busid == nullptr) return -1;
    ServerState &g = server();
    std::lock_guard<std::mutex> lock(g.mutex);
    int i = find_shared_locked(busid);
    if (i < 0) {
        usbip_set_last_error("Device '%s' is not shared", busid);
        return -1;
    }
    std::memmove(&g.shared[i], &g.shared[i + 1], sizeof(usbip_device) * static_cast<std::size_t>(g.shared_count - 1 - i));
    --g.shared_count;
    // Whoever forwards it loses it now; the session releases the device.
    end_forwarding_locked(busid);
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

USBIP_API const char *usbip_server_list_shared(void)
{
    return usbip_guard<const char *>("[]", [] {
        ServerState &g = server();
        std::lock_guard<std::mutex> lock(g.mutex);
        return usbip_devices_to_json(tls_srv_json, g.shared, g.shared_count);
    });
}

}  // extern "C"
