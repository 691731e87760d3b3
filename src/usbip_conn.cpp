// The connection object: connecting with a deadline, exact-length transfers
// that wait on the socket as the connection's stream asks, the time-out
// message, and the stream of a plain socket.
#include "usbip_conn.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "halvoren_usbip.h"
#include "usbip_device.h"
#include "usbip_frame.h"

namespace {

// Client time-out in milliseconds, always > 0. Read and written without a
// lock: a reader sees the old or the new value.
std::atomic<int> g_client_timeout_ms{10000};

int client_timeout() { return g_client_timeout_ms.load(std::memory_order_relaxed); }

bool deadline_reached(const usbip_conn *c)
{
    return c->deadline_ms != 0 && plat::monotonic_ms() >= c->deadline_ms;
}

// How long a connect may wait for one address to answer.
int connect_wait_ms(const usbip_conn *c, std::int64_t limit_ms)
{
    std::int64_t wait = c->deadline_ms != 0 ? c->deadline_ms - plat::monotonic_ms() : limit_ms;
    return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

// Waits for a connect to complete, in slices so that `keep_going` (when
// given) can end the wait early. 1 done, 0 the wait ran out, -1 failed.
int wait_connected(plat::socket_t s, int wait_ms, const std::atomic<bool> *keep_going)
{
    std::int64_t until = plat::monotonic_ms() + wait_ms;
    for (;;) {
        std::int64_t left = until - plat::monotonic_ms();
        if (left <= 0) return 0;
        if (keep_going != nullptr && !*keep_going) return -1;
        int slice = keep_going != nullptr && left > 50 ? 50 : static_cast<int>(left);
        int r = plat::wait_writable(s, slice);
        if (r != 0) return r;
    }
}

int conn_connect_impl(usbip_conn *c, const char *host, int port, bool use_deadline, std::int64_t limit_ms,
                      const std::atomic<bool> *keep_going)
{
    usbip_conn_close(c);
    c->timed_out = 0;
    std::snprintf(c->target_label, sizeof c->target_label, "%s:%d", host, port);
    usbip_copy_text(c->phase_label, sizeof c->phase_label, "connect");
    c->deadline_ms = use_deadline ? plat::monotonic_ms() + client_timeout() : 0;

    std::vector<plat::Address> addrs;
    if (!plat::resolve(host, port, addrs)) {
        usbip_set_last_error(USBIP_ERROR_RESOLVE, "Failed to resolve host: %s", host);
        return -1;
    }
    for (const plat::Address &addr : addrs) {
        if (deadline_reached(c)) {
            usbip_conn_timeout_error(c);
            return -1;
        }
        plat::Socket s(plat::socket_open(addr));
        if (!s.valid()) continue;
        plat::ConnectStart started = plat::connect_start(s.get(), addr);
        if (started == plat::ConnectStart::failed) continue;
        if (started == plat::ConnectStart::in_progress) {
            int wait = connect_wait_ms(c, limit_ms);
            if (wait <= 0) {
                usbip_conn_timeout_error(c);
                return -1;
            }
            int r = wait_connected(s.get(), wait, keep_going);
            if (r == 0 && plat::connect_result(s.get()) != 0) r = -1;  // a refusal that the wait missed
            if (r == 0) {
                usbip_conn_timeout_error(c);
                return -1;
            }
            if (r < 0 || plat::connect_result(s.get()) != 0) continue;
        }
        plat::set_nodelay(s.get());
        c->fd = s.release();
        return 0;
    }
    if (deadline_reached(c))
        usbip_conn_timeout_error(c);
    else
        usbip_set_last_error(USBIP_ERROR_CONNECT, "Could not connect to %s:%d", host, port);
    return -1;
}

// Repeats the stream's attempts until every byte has moved, the deadline
// has passed (time-out message) or an attempt fails.
template <typename Attempt>
int conn_transfer(usbip_conn *c, std::size_t len, bool sending, Attempt attempt)
{
    if (c->fd == plat::kNoSocket) return -1;
    std::size_t done = 0;
    while (done < len) {
        if (deadline_reached(c)) {
            usbip_conn_timeout_error(c);
            return -1;
        }
        plat::IoError err = plat::IoError::none;
        long n = attempt(done, &err);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (err == plat::IoError::would_block) {
            if (usbip_conn_wait(c) < 0) {
                c->stream().describe_failure(sending);
                return -1;
            }
            continue;  // ready, or the deadline decides above
        }
        c->stream().describe_failure(sending);
        return -1;
    }
    return 0;
}

// Adds the bytes an attempt moved to the connection's count.
long counted(std::atomic<std::uint64_t> &count, long moved)
{
    if (moved > 0) count.fetch_add(static_cast<std::uint64_t>(moved), std::memory_order_relaxed);
    return moved;
}

}  // namespace

// ---------------------------------------------------------------------------
// The plain socket's stream

long usbip_socket_stream::recv_some(void *data, std::size_t len, plat::IoError *err)
{
    wants_write_ = false;
    return plat::recv_now(*fd_, data, len, err);
}

long usbip_socket_stream::send_some(const void *data, std::size_t len, plat::IoError *err)
{
    wants_write_ = true;
    return plat::send_now(*fd_, data, len, err);
}

bool usbip_socket_stream::shutdown_send(plat::IoError *err)
{
    plat::shutdown_send(*fd_);
    *err = plat::IoError::none;
    return true;
}

void usbip_socket_stream::describe_failure(bool sending) const
{
    usbip_set_last_error(USBIP_ERROR_CONNECTION_LOST, "%s", sending ? "send() failed" : "recv() failed or connection closed");
}

// ---------------------------------------------------------------------------
// Connection object

usbip_conn::~usbip_conn() { usbip_conn_close(this); }

plat::socket_t usbip_conn::release_socket()
{
    watch.reset();
    plat::socket_t s = fd;
    fd = plat::kNoSocket;
    return s;
}

int usbip_conn_connect(usbip_conn *c, const char *host, int port)
{
    return conn_connect_impl(c, host, port, false, client_timeout(), nullptr);
}

int usbip_conn_connect_deadline(usbip_conn *c, const char *host, int port)
{
    return conn_connect_impl(c, host, port, true, client_timeout(), nullptr);
}

int usbip_conn_connect_bounded(usbip_conn *c, const char *host, int port, int limit_ms,
                               const std::atomic<bool> &keep_going)
{
    int limit = client_timeout() < limit_ms ? client_timeout() : limit_ms;
    return conn_connect_impl(c, host, port, false, limit, &keep_going);
}

void usbip_conn_set_deadline(usbip_conn *c, std::int64_t ms) { c->deadline_ms = plat::monotonic_ms() + ms; }

int usbip_conn_wait(usbip_conn *c, int wait_ms)
{
    usbip_stream &s = c->stream();
    if (!s.wants_write() && s.pending() > 0) return 1;
    int ms = wait_ms;
    if (c->deadline_ms != 0) {
        std::int64_t left = c->deadline_ms - plat::monotonic_ms();
        if (left <= 0) return 0;
        if (ms < 0 || left < ms) ms = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    return s.wants_write() ? plat::wait_writable(c->fd, ms) : plat::wait_readable(c->fd, ms);
}

int usbip_conn_send_all(usbip_conn *c, const void *data, std::size_t len)
{
    const auto *p = static_cast<const unsigned char *>(data);
    return conn_transfer(c, len, true, [&](std::size_t done, plat::IoError *err) {
        return counted(c->bytes_out, c->stream().send_some(p + done, len - done, err));
    });
}

int usbip_conn_recv_all(usbip_conn *c, void *data, std::size_t len)
{
    auto *p = static_cast<unsigned char *>(data);
    return conn_transfer(c, len, false, [&](std::size_t done, plat::IoError *err) {
        return counted(c->bytes_in, c->stream().recv_some(p + done, len - done, err));
    });
}

long usbip_conn_recv_some(usbip_conn *c, void *data, std::size_t len, plat::IoError *err)
{
    if (c->fd == plat::kNoSocket) {
        *err = plat::IoError::failed;
        return -1;
    }
    return counted(c->bytes_in, c->stream().recv_some(data, len, err));
}

long usbip_conn_send_some(usbip_conn *c, const void *data, std::size_t len, plat::IoError *err)
{
    if (c->fd == plat::kNoSocket) {
        *err = plat::IoError::failed;
        return -1;
    }
    return counted(c->bytes_out, c->stream().send_some(data, len, err));
}

std::size_t usbip_conn_buffered(usbip_conn *c) { return c->stream().pending(); }

void usbip_conn_close(usbip_conn *c)
{
    if (c == nullptr) return;
    if (c->tls && c->fd != plat::kNoSocket) {
        // The close_notify goes out within the deadline, or not at all.
        for (int attempts = 0; attempts < 64; ++attempts) {
            plat::IoError err;
            if (c->tls->shutdown_send(&err) || err != plat::IoError::would_block) break;
            if (usbip_conn_wait(c) <= 0) break;
        }
        // What the peer sent and nobody read (its own close_notify, mostly)
        // would turn the close into a reset, which a relay in between
        // reports as the client's failure: read it away, without waiting.
        char sink[4096];
        plat::IoError err;
        for (int reads = 0; reads < 16 && plat::recv_now(c->fd, sink, sizeof sink, &err) > 0; ++reads) {
        }
    }
    c->tls.reset();
    c->watch.reset();  // before the descriptor number can be reused
    if (c->fd != plat::kNoSocket) {
        plat::close(c->fd);
        c->fd = plat::kNoSocket;
    }
}

void usbip_conn_set_phase(usbip_conn *c, const char *label)
{
    if (c != nullptr) usbip_copy_text(c->phase_label, sizeof c->phase_label, label ? label : "");
}

void usbip_conn_timeout_error(usbip_conn *c)
{
    int ms = client_timeout();
    int seconds = ms >= 1000 ? ms / 1000 : 1;
    const bool connecting = c->phase_label[0] == '\0' || std::strcmp(c->phase_label, "connect") == 0;
    const char *reason = connecting
        ? "no answer to the TCP connection attempt - check the address and that the server is running"
        : "server accepted the connection but sent no response - check the port and that the server is running";
    c->timed_out = 1;
    usbip_set_last_error(connecting ? USBIP_ERROR_CONNECT_TIMEOUT : USBIP_ERROR_TIMEOUT,
                         "Timed out after %ds connecting to %s (%s)", seconds, c->target_label, reason);
}

void usbip_conn_restore_error(usbip_conn *c)
{
    if (c != nullptr && c->timed_out) usbip_conn_timeout_error(c);
}

int usbip_client_timeout_ms() { return client_timeout(); }

extern "C" USBIP_API int usbip_client_set_timeout(int ms)
{
    int value = ms > 0 ? ms : 10000;
    g_client_timeout_ms.store(value, std::memory_order_relaxed);
    return value;
}
