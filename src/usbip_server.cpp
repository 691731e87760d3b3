// Sharing server: the table of shared devices, the listener, and one
// session per connection that answers a single OP_REQ_DEVLIST or
// OP_REQ_IMPORT after the password handshake.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "halvoren_usbip.h"
#include "platform/threads.h"
#include "usbip_internal.h"

namespace {

// Lock order: the lifecycle lock, then the server lock, then the inventory
// and TLS locks. Both locks exist from the first use of any server export.

// Serialises start, stop and relay registration with each other, so that a
// start never overlaps the end of a stop. Held across their waits.
std::mutex &lifecycle_mutex()
{
    static std::mutex m;
    return m;
}

// The server lock: guards the shared table and the settings below. Never
// held across network I/O by a session.
std::mutex &server_mutex()
{
    static std::mutex m;
    return m;
}

usbip_device g_shared_devices[USBIP_MAX_DEVICES];
int g_shared_count = 0;

// Written under both locks; read without them by the listener and sessions.
std::atomic<bool> g_server_running{false};

usbip_listener g_server_listener;  // started and stopped under the lifecycle lock

std::atomic<int> g_session_limit_ms{30000};
plat::ThreadSet g_sessions;  // every session thread, from the listener or a relay

thread_local std::string tls_srv_json;

// What a session needs to know of its server, set by each start; guarded
// by the server lock.
struct SessionSettings {
    std::string password;
    bool use_tls = false;
};
SessionSettings g_settings;

// Finds a shared record by bus id; caller holds the server lock.
int find_shared_locked(const char *busid)
{
    for (int i = 0; i < g_shared_count; ++i)
        if (std::strcmp(g_shared_devices[i].busid, busid) == 0) return i;
    return -1;
}

void server_session(plat::socket_t s, const SessionSettings &settings)
{
    usbip_conn conn(s);
    plat::ThreadSet::Watch watch(g_sessions, s);  // released before conn closes s
    // A stop that woke the sessions before this one was watched has cleared
    // the flag already: end now rather than wait for the client.
    if (!g_server_running) return;
    // Everything before the reply must end within the limit, so a silent
    // client cannot hold this thread for ever.
    usbip_conn_set_deadline(&conn, g_session_limit_ms);
    if (settings.use_tls && usbip_tls_wrap_server(&conn) != 0) return;
    if (usbip_auth_handshake_server(&conn, settings.password.c_str()) != 0) return;
    if (!g_server_running) return;

    std::uint8_t head[USBIP_HEADER_SIZE];
    if (usbip_conn_recv_all(&conn, head, sizeof head) != 0) return;
    std::string reply;
    switch (usbip_decode_header(head).code) {
    case OP_REQ_DEVLIST: {
        std::lock_guard<std::mutex> lock(server_mutex());
        usbip_encode_devlist_reply(reply, g_shared_devices, g_shared_count);
        break;
    }
    case OP_REQ_IMPORT: {
        char busid[USBIP_BUSID_SIZE];
        if (usbip_conn_recv_all(&conn, busid, sizeof busid) != 0) return;
        busid[sizeof busid - 1] = '\0';
        std::lock_guard<std::mutex> lock(server_mutex());
        int i = find_shared_locked(busid);
        usbip_encode_import_reply(reply, i >= 0 ? &g_shared_devices[i] : nullptr);
        break;
    }
    default:
        return;  // unknown requests get no answer
    }
    // The reply is a snapshot of the table: written without the lock, with
    // its own time limit for a client that stops reading.
    usbip_conn_set_deadline(&conn, g_session_limit_ms);
    usbip_conn_send_all(&conn, reply.data(), reply.size());
}

// Serves `s` on a new session thread, which owns it from then on.
void start_session(plat::socket_t s)
{
    SessionSettings settings;
    {
        std::lock_guard<std::mutex> lock(server_mutex());
        settings = g_settings;
    }
    if (!g_sessions.spawn([s, settings] { server_session(s, settings); })) plat::close(s);
}

// ---------------------------------------------------------------------------
// Relay registration: a control connection to a relay, and a worker that
// answers each DISPATCH with a data connection carrying an ATTACH line and
// then an ordinary session.

// The registration, changed by register and stop under the lifecycle lock
// (the code also under the server lock).
std::atomic<bool> g_relay_worker_running{false};
plat::socket_t g_relay_control_fd = plat::kNoSocket;
char g_relay_code[16];  // returned to the host; valid for the life of the process
std::thread g_relay_thread;
std::atomic<int> g_heartbeat_period_s{25};

// Wakes a worker that waits between passes.
std::mutex g_worker_wait_mutex;
std::condition_variable g_worker_wait_cv;

void serve_dispatch(const std::string &host, int port, const std::string &ticket)
{
    usbip_conn data;
    if (usbip_conn_connect(&data, host.c_str(), port) != 0) return;  // the relay's wait runs out
    plat::socket_t s = data.release_socket();
    usbip_send_line(s, "ATTACH " + ticket + "\n");
    start_session(s);  // its first bytes follow the ATTACH line directly
}

void server_relay_worker_fn(plat::socket_t control, std::string host, int port)
{
    std::int64_t last_heartbeat = plat::wall_seconds();
    char line[256];
    while (g_relay_worker_running && g_server_running) {
        std::int64_t pass_start = plat::monotonic_ms();
        int n = usbip_relay_read_line(control, line, sizeof line, 1000);
        std::string ticket;
        if (n > 0 && usbip_relay_parse_dispatch(line, &ticket)) serve_dispatch(host, port, ticket);
        if (n < 0) {
            // A closed control connection fails every read at once: pace
            // the passes to about one a second instead of spinning.
            std::int64_t left = 1000 - (plat::monotonic_ms() - pass_start);
            std::unique_lock<std::mutex> lock(g_worker_wait_mutex);
            if (left > 0)
                g_worker_wait_cv.wait_for(lock, std::chrono::milliseconds(left),
                                          [] { return !g_relay_worker_running || !g_server_running; });
        }
        std::int64_t now = plat::wall_seconds();
        if (now - last_heartbeat >= g_heartbeat_period_s) {
            usbip_send_line(control, "HEARTBEAT\n");
            last_heartbeat = now;
        }
    }
}

// Ends the current registration: the worker is woken and waited for, so
// that no worker reads any control connection afterwards, and the control
// connection is closed. Under the lifecycle lock.
void end_relay_registration()
{
    bool was_active = g_relay_worker_running.exchange(false);
    {
        std::lock_guard<std::mutex> lock(g_worker_wait_mutex);
        g_worker_wait_cv.notify_all();
    }
    if (was_active) plat::shutdown_both(g_relay_control_fd);
    if (g_relay_thread.joinable()) g_relay_thread.join();
    if (g_relay_control_fd != plat::kNoSocket) {
        plat::close(g_relay_control_fd);
        g_relay_control_fd = plat::kNoSocket;
    }
}

}  // namespace

void usbip_server_set_session_limit_ms(int ms) { g_session_limit_ms = ms; }

void usbip_server_set_heartbeat_period(int seconds) { g_heartbeat_period_s = seconds; }

extern "C" {

USBIP_API int usbip_server_start(int port, const char *password, int use_tls)
{
    return usbip_guard(-1, [&]() -> int {
        std::lock_guard<std::mutex> life(lifecycle_mutex());
        if (g_server_running) return 0;

        SessionSettings settings;
        if (password != nullptr) settings.password.assign(password, strnlen(password, 127));
        settings.use_tls = use_tls != 0;
        // A fresh key and certificate for every start with TLS.
        if (settings.use_tls && usbip_tls_generate_cert() != 0) return -1;

        {
            std::lock_guard<std::mutex> lock(server_mutex());
            g_settings = std::move(settings);
            g_server_running = true;
        }
        if (!g_server_listener.start(port, "server_start", "server_start: failed to spawn listen thread",
                                     g_server_running, start_session)) {
            std::lock_guard<std::mutex> lock(server_mutex());
            g_server_running = false;
            return -1;
        }
        return 0;
    });
}

USBIP_API void usbip_server_stop(void)
{
    std::lock_guard<std::mutex> life(lifecycle_mutex());
    if (!g_server_running) {
        // A registration made while stopped keeps its control connection,
        // but its worker (which ended at once) is waited for.
        if (g_relay_thread.joinable()) g_relay_thread.join();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(server_mutex());
        g_server_running = false;
        g_shared_count = 0;
    }
    end_relay_registration();
    {
        std::lock_guard<std::mutex> lock(server_mutex());
        g_relay_code[0] = '\0';
    }
    // Once the listener has ended no new sessions start.
    g_server_listener.stop();
    // Sessions in progress are woken and waited for: after a stop no thread
    // of the server runs.
    g_sessions.wake_all();
    g_sessions.join_all();
}

USBIP_API const char *usbip_server_register_relay(const char *host, int port, const char *password)
{
    if (host == nullptr || port <= 0) {
        usbip_set_last_error("Invalid relay host or port");
        return nullptr;
    }
    return usbip_guard<const char *>(nullptr, [&]() -> const char * {
        // The lifecycle lock, not the server lock, is held across the relay's
        // answer: share, list and sessions go on meanwhile.
        std::lock_guard<std::mutex> life(lifecycle_mutex());
        end_relay_registration();

        usbip_conn conn;
        if (usbip_conn_connect(&conn, host, port) != 0) {
            usbip_set_last_error("Failed to connect to relay server at %s:%d", host, port);
            return nullptr;
        }
        char hash[USBIP_HASH_TEXT_SIZE] = {};
        if (usbip_hash_password(password, hash) != 0) hash[0] = '\0';
        if (!usbip_send_line(conn.fd, std::string("REGISTER ") + hash + "\n")) {
            usbip_set_last_error("Failed to send REGISTER to relay");
            return nullptr;
        }
        char reply[128];
        if (usbip_relay_read_line(conn.fd, reply, sizeof reply, 5000) < 1) {
            usbip_set_last_error("Failed to read CODE response from relay");
            return nullptr;
        }
        std::string code;
        if (!usbip_relay_parse_code(reply, &code)) {
            usbip_set_last_error("Relay returned invalid registration response: %s", reply);
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(server_mutex());
            usbip_copy_text(g_relay_code, sizeof g_relay_code, code.c_str());
        }
        g_relay_control_fd = conn.release_socket();
        g_relay_worker_running = true;
        try {
            g_relay_thread = std::thread(server_relay_worker_fn, g_relay_control_fd, std::string(host), port);
        } catch (const std::system_error &) {
            g_relay_worker_running = false;
            plat::close(g_relay_control_fd);
            g_relay_control_fd = plat::kNoSocket;
            usbip_set_last_error("Failed to start relay worker thread");
            return nullptr;
        }
        return g_relay_code;
    });
}

USBIP_API int usbip_server_share(const char *busid)
{
    if (busid == nullptr || busid[0] == '\0') {
        usbip_set_last_error("Invalid busid provided");
        return -1;
    }
    std::lock_guard<std::mutex> lock(server_mutex());
    usbip_device dev;
    if (!usbip_enum_find_by_busid(busid, &dev)) {
        usbip_set_last_error("Device '%s' not found locally to share", busid);
        return -1;
    }
    if (find_shared_locked(busid) >= 0) return 0;
    if (g_shared_count >= USBIP_MAX_DEVICES) {
        usbip_set_last_error("Maximum shared devices reached");
        return -1;
    }
    dev.shared = 1;
    g_shared_devices[g_shared_count++] = dev;
    return 0;
}

USBIP_API int usbip_server_unshare(const char *busid)
{
    if (busid == nullptr) return -1;
    std::lock_guard<std::mutex> lock(server_mutex());
    int i = find_shared_locked(busid);
    if (i < 0) {
        usbip_set_last_error("Device '%s' is not shared", busid);
        return -1;
    }
    std::memmove(&g_shared_devices[i], &g_shared_devices[i + 1],
                 sizeof(usbip_device) * static_cast<std::size_t>(g_shared_count - 1 - i));
    --g_shared_count;
    return 0;
}

USBIP_API const char *usbip_server_list_shared(void)
{
    return usbip_guard<const char *>("[]", [] {
        std::lock_guard<std::mutex> lock(server_mutex());
        return usbip_devices_to_json(tls_srv_json, g_shared_devices, g_shared_count);
    });
}

}  // extern "C"
