// The connection object: one TCP conversation with a deadline. Its bytes
// move through a stream, the socket itself or a TLS session over it, behind
// one small interface; the timed transfers, the pump and every engine above
// see only that interface. usbip_conn.cpp.
#ifndef HALVOREN_USBIP_CONN_H
#define HALVOREN_USBIP_CONN_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "platform/threads.h"

// One way of moving a connection's bytes. Every call is one attempt that
// never waits: > 0 bytes moved; -1 with IoError::would_block when nothing
// can move now (wants_write() then says which readiness of the socket to
// wait for); a receive that finds the end of the stream returns 0 with
// IoError::closed; anything else is -1 with IoError::failed.
class usbip_stream {
public:
    virtual ~usbip_stream() = default;

    virtual long recv_some(void *data, std::size_t len, plat::IoError *err) = 0;
    // A send that would block must be repeated with at least the same bytes
    // at the front (TLS keeps the record it has begun).
    virtual long send_some(const void *data, std::size_t len, plat::IoError *err) = 0;
    // Ends the sending direction after what was sent (a half-close): the
    // peer reads the end of the stream and may still send. One attempt:
    // would_block means it must be repeated; false with failed otherwise.
    virtual bool shutdown_send(plat::IoError *err) = 0;
    // What the last attempt that would block waits for: the socket writable
    // (true) or readable (false). TLS may need to write in order to read.
    virtual bool wants_write() const = 0;
    // Bytes already taken from the socket and ready to be received: a wait
    // on the socket does not see them, so a reader takes them first.
    virtual std::size_t pending() const { return 0; }
    // Sets the thread's message for the last attempt that failed.
    virtual void describe_failure(bool sending) const = 0;
};

// The socket's own bytes, for a connection without TLS.
class usbip_socket_stream final : public usbip_stream {
public:
    explicit usbip_socket_stream(const plat::socket_t *fd) : fd_(fd) {}
    long recv_some(void *data, std::size_t len, plat::IoError *err) override;
    long send_some(const void *data, std::size_t len, plat::IoError *err) override;
    bool shutdown_send(plat::IoError *err) override;
    bool wants_write() const override { return wants_write_; }
    void describe_failure(bool sending) const override;

private:
    const plat::socket_t *fd_;  // the connection's, which may change
    bool wants_write_ = false;
};

// One TCP conversation: socket, stream, deadline, and the labels of the
// time-out message. Owns its socket and its TLS session. The socket is
// non-blocking; every timed transfer waits at most until the deadline.
struct usbip_conn {
    plat::socket_t fd = plat::kNoSocket;
    // The TLS session over fd, once one is installed (usbip_tls.cpp).
    std::unique_ptr<usbip_stream> tls;
    std::int64_t deadline_ms = 0;  // monotonic; 0 = none
    char target_label[64] = {};    // "host:port" of the connect
    char phase_label[32] = {};     // the step in progress
    int timed_out = 0;             // a time-out message was issued
    // Set when a pool's stop must be able to wake this connection; ended
    // before the socket closes.
    std::unique_ptr<plat::SocketWatch> watch;
    // Bytes received and sent through the connection's stream so far (read
    // by other threads for the server's session list).
    std::atomic<std::uint64_t> bytes_in{0};
    std::atomic<std::uint64_t> bytes_out{0};

    usbip_conn() = default;
    explicit usbip_conn(plat::socket_t s) : fd(s) {}
    ~usbip_conn();
    usbip_conn(const usbip_conn &) = delete;
    usbip_conn &operator=(const usbip_conn &) = delete;

    // The stream the connection's bytes move through now.
    usbip_stream &stream() { return tls ? *tls : plain_; }
    bool is_tls() const { return tls != nullptr; }
    // Hands the socket over to the caller; only without TLS.
    plat::socket_t release_socket();

private:
    usbip_socket_stream plain_{&fd};
};

// Connects; with a deadline, the whole conversation must end within the
// client time-out from now. 0, or -1 with the thread's message set.
int usbip_conn_connect(usbip_conn *c, const char *host, int port);
int usbip_conn_connect_deadline(usbip_conn *c, const char *host, int port);
// Connects without a deadline on the connection, waiting at most limit_ms
// (and never longer than the client time-out) and giving up as soon as
// `keep_going` is cleared.
int usbip_conn_connect_bounded(usbip_conn *c, const char *host, int port, int limit_ms,
                               const std::atomic<bool> &keep_going);
// Sets a deadline `ms` from now on an accepted connection.
void usbip_conn_set_deadline(usbip_conn *c, std::int64_t ms);
// Moves exactly `len` bytes, waiting on the socket as the stream asks,
// until the deadline. 0, or -1 with the thread's message set.
int usbip_conn_send_all(usbip_conn *c, const void *data, std::size_t len);
int usbip_conn_recv_all(usbip_conn *c, void *data, std::size_t len);
// Waits until the stream's last attempt that would block can go on, at
// most until the deadline (and never beyond wait_ms when that is >= 0).
// 1 ready, 0 timed out, -1 failed.
int usbip_conn_wait(usbip_conn *c, int wait_ms = -1);
// Ends the stream politely (a TLS close_notify, within the deadline) and
// closes the socket.
void usbip_conn_close(usbip_conn *c);
// One attempt that never waits, for a loop that waits on the socket itself:
// the stream's recv_some and send_some.
long usbip_conn_recv_some(usbip_conn *c, void *data, std::size_t len, plat::IoError *err);
long usbip_conn_send_some(usbip_conn *c, const void *data, std::size_t len, plat::IoError *err);
// Bytes that TLS has already taken from the socket and decrypted.
std::size_t usbip_conn_buffered(usbip_conn *c);
void usbip_conn_set_phase(usbip_conn *c, const char *label);
// Puts the time-out message back when this connection timed out.
void usbip_conn_restore_error(usbip_conn *c);
// Issues the time-out message of this connection.
void usbip_conn_timeout_error(usbip_conn *c);
int usbip_client_timeout_ms();

#endif
