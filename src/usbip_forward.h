// Forwarding: an imported device's traffic, USB/IP's URB phase, served with
// libusb's asynchronous transfers. The URB phase itself is the engine of
// usbip_forward_engine.h; this module gives it a libusb device and moves
// its bytes. Only libusb touches the device, so forwarding has no code of
// its own per operating system.
//
// Threads. A session runs on its caller's thread, which does all of the
// session's connection I/O (an Mbed TLS context is never used by two
// threads) through the one pump (usbip_pump.h): the connection is one end,
// the engine the other, and the engine's wait is a waker that finished
// transfers and unplugs signal. libusb's completion callbacks run on one
// event thread per libusb context, started by the first claim on that
// context and joined when its last claimed device is freed; a callback only
// queues its transfer and signals the waker. So once every claimed device
// is freed, forwarding runs no thread.
#ifndef HALVOREN_USBIP_FORWARD_H
#define HALVOREN_USBIP_FORWARD_H

#include <atomic>
#include <cstddef>
#include <memory>

#include "usbip_forward_engine.h"

struct libusb_context;
struct usbip_conn;
struct usbip_device;

// What a session accepts (the engine's limits) and how it watches its peer.
struct usbip_forward_options : usbip_forward_engine_options {
    // TCP keep-alive: an imported device may sit idle for hours, and a peer
    // that has gone must still be noticed.
    int keepalive_idle_s = 30;
    int keepalive_interval_s = 10;
    int keepalive_count = 3;
    // A command begun and not finished, or replies that the peer does not
    // take, for this long end the session.
    int stall_ms = 30000;
};

// A device opened and claimed for forwarding: the kernel drivers of its
// active configuration detached and every interface claimed. Freeing it
// releases the interfaces, re-attaches the drivers it detached, closes the
// device and ends the context's event thread when it was the last one.
class usbip_forward_device;
struct usbip_forward_device_free {
    void operator()(usbip_forward_device *d) const;
};
using usbip_forward_device_ptr = std::unique_ptr<usbip_forward_device, usbip_forward_device_free>;

enum class usbip_claim_result {
    ok,
    not_found,     // no device with that bus id
    busy,          // a session of this process forwards it already
    device_error,  // a hub, or it cannot be opened, or an interface cannot be claimed
};

// Claims the device of an inventory record on `ctx`: the device at the
// record's bus and ports (its bus id) that still has the record's address,
// so never another device plugged in at those ports since. On failure `out`
// stays empty and the thread's message says why.
usbip_claim_result usbip_forward_claim(libusb_context *ctx, const usbip_device &record, usbip_forward_device_ptr *out);

// Runs the URB phase on `conn` (which has just carried a successful
// OP_REP_IMPORT for the device) until the peer closes, `keep_running` is
// cleared, the device goes away or the peer breaks the protocol; then
// cancels every transfer and frees the device. A caller that clears
// `keep_running` also shuts the socket down to wake the session at once
// (otherwise it notices within a quarter of a second). The connection stays
// open for the caller, with a deadline a second away so that closing it
// cannot wait long. Sets the thread's message for every end but peer_closed
// and stopped.
usbip_forward_end usbip_forward_run(usbip_conn *conn, usbip_forward_device_ptr device,
                                    const std::atomic<bool> &keep_running,
                                    const usbip_forward_options &options = {});

// The engine's libusb event threads running now.
int usbip_forward_event_threads();
// True when no event thread runs on `ctx`: only then may it be exited. A
// device whose transfers never came back after their cancellation keeps
// its context's thread for good.
bool usbip_forward_context_idle(libusb_context *ctx);

#endif
