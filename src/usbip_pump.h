// The one pump under every byte stream: it carries bytes both ways between
// two ends at once (the relay's bridge, the command line's attach, a
// forwarding session between its connection and its engine). Each direction
// has a buffer; a side is read only while the other side's buffer has
// room, so a slow reader slows its writer and nothing else. Every byte read
// is passed on, the end of a stream is passed on as a half-close, and the
// pump ends when both directions have ended, when one side fails, when no
// byte has moved either way for the idle limit, when bytes wait for a side
// that takes none for the stall limit, or when it is told to stop.
// usbip_pump.cpp.
#ifndef HALVOREN_USBIP_PUMP_H
#define HALVOREN_USBIP_PUMP_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "usbip_conn.h"

// One end of a pump. Every call is one attempt that never waits, as a
// usbip_stream's: > 0 bytes moved; -1 with IoError::would_block when
// nothing can move now; a receive at the end of the stream returns 0 with
// IoError::closed; -1 with IoError::failed otherwise.
class usbip_pump_end {
public:
    virtual ~usbip_pump_end() = default;

    virtual long recv_some(void *data, std::size_t len, plat::IoError *err) = 0;
    // A send that would block is repeated with at least the same bytes at
    // the front.
    virtual long send_some(const void *data, std::size_t len, plat::IoError *err) = 0;
    // No more bytes go to this end: passes the end of the stream on. True
    // when done; false with would_block when it must be repeated.
    virtual bool shutdown_send(plat::IoError *err) = 0;
    // The socket that becomes ready when this end can go on, and which
    // readiness the last attempt that would block waits for (writable:
    // true). An end that is not a socket gives a waker's socket and asks
    // for it readable.
    virtual plat::socket_t wait_socket() const = 0;
    virtual bool wants_write() const = 0;
    // Bytes this end holds that a wait on its socket does not see.
    virtual std::size_t pending() const { return 0; }
};

// A connection as an end of a pump: its stream on its socket.
class usbip_conn_end final : public usbip_pump_end {
public:
    explicit usbip_conn_end(usbip_conn &conn) : conn_(conn) {}
    long recv_some(void *data, std::size_t len, plat::IoError *err) override
    {
        return usbip_conn_recv_some(&conn_, data, len, err);
    }
    long send_some(const void *data, std::size_t len, plat::IoError *err) override
    {
        return usbip_conn_send_some(&conn_, data, len, err);
    }
    bool shutdown_send(plat::IoError *err) override { return conn_.stream().shutdown_send(err); }
    plat::socket_t wait_socket() const override { return conn_.fd; }
    bool wants_write() const override { return conn_.stream().wants_write(); }
    std::size_t pending() const override { return conn_.stream().pending(); }

private:
    usbip_conn &conn_;
};

// A socket that somebody else owns as an end of a pump: its own bytes.
class usbip_socket_end final : public usbip_pump_end {
public:
    explicit usbip_socket_end(plat::socket_t s) : socket_(s) {}
    long recv_some(void *data, std::size_t len, plat::IoError *err) override
    {
        return stream_.recv_some(data, len, err);
    }
    long send_some(const void *data, std::size_t len, plat::IoError *err) override
    {
        return stream_.send_some(data, len, err);
    }
    bool shutdown_send(plat::IoError *err) override { return stream_.shutdown_send(err); }
    plat::socket_t wait_socket() const override { return socket_; }
    bool wants_write() const override { return stream_.wants_write(); }

private:
    plat::socket_t socket_;
    usbip_socket_stream stream_{&socket_};
};

struct usbip_pump_options {
    std::size_t buffer = std::size_t{256} << 10;  // per direction
    int idle_ms = 30000;   // no byte either way for this long ends the pump; <= 0: no limit
    int stall_ms = 30000;  // bytes that wait this long for a side that takes none end it; <= 0: none
    // Cleared to stop the pump; it looks at least every slice_ms, and at
    // once when wake_socket (when given) becomes readable.
    const std::atomic<bool> *keep_running = nullptr;
    plat::socket_t wake_socket = plat::kNoSocket;
    int slice_ms = 250;
};

enum class usbip_pump_end_reason {
    closed,    // both directions ended with the end of their stream
    failed_a,  // a transfer on side a failed (or a reset it)
    failed_b,
    idle,      // nothing moved either way for the idle limit
    stalled,   // a side took no bytes for the stall limit
    stopped,   // keep_running was cleared
};

enum class usbip_pump_side { none, a, b };

struct usbip_pump_result {
    usbip_pump_end_reason reason = usbip_pump_end_reason::closed;
    usbip_pump_side first_to_end = usbip_pump_side::none;  // whose stream ended first
    std::uint64_t a_to_b = 0;  // bytes passed on
    std::uint64_t b_to_a = 0;
};

const char *usbip_pump_end_text(usbip_pump_end_reason r);

// Carries bytes between `a` and `b` until one of the ends above. Neither
// end is closed: the caller owns both.
usbip_pump_result usbip_pump_run(usbip_pump_end &a, usbip_pump_end &b, const usbip_pump_options &options = {});

#endif
