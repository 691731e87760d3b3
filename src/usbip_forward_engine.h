// The URB phase of a forwarded device as an engine that touches no socket,
// no thread and no USB library: command bytes from the client go in, reply
// bytes come out, and the transfers go to a device behind a small interface
// (libusb in the product, usbip_forward.cpp; a fake in tests and fuzzing).
// Its owner moves the bytes, hands finished transfers back and asks
// want_read() / want_write(), as nghttp2's session leaves its I/O to its
// caller. usbip_forward_engine.cpp.
//
// What it guarantees a client: a CMD_UNLINK is read and answered whatever
// is in flight. URBs beyond the limit in flight wait in the engine (up to
// a limit of their own) instead of in the socket, so that an unlink behind
// them is never stuck behind URBs that may never complete.
#ifndef HALVOREN_USBIP_FORWARD_ENGINE_H
#define HALVOREN_USBIP_FORWARD_ENGINE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "usbip_urb.h"

// USB transfer types, numbered as in an endpoint descriptor's bmAttributes
// (and as libusb numbers them).
enum class usbip_transfer_type : std::uint8_t { control = 0, isochronous = 1, bulk = 2, interrupt = 3 };

// One transfer that the engine asks a device for. The engine owns it; the
// device uses it from a submit that succeeded until it hands it back.
struct usbip_usb_transfer {
    usbip_transfer_type type = usbip_transfer_type::control;
    std::uint8_t endpoint = 0;  // address with the IN bit (0x80); 0 for control
    bool zero_packet = false;   // OUT: end with a zero-length packet when the last one is full
    // Control: the 8-byte setup packet, then the data stage. Isochronous:
    // the packets back to back, each packets[i].length long.
    std::vector<std::uint8_t> buffer;
    std::vector<usbip_iso_packet> packets;  // isochronous only

    // Filled by the device before it hands the transfer back: a status of 0
    // or a negative Linux errno (USBIP_E*), the data bytes moved (without
    // a control transfer's setup packet) and, for isochronous transfers,
    // each packet's actual_length and status.
    std::int32_t status = 0;
    std::int32_t actual_length = 0;
    void *device_data = nullptr;  // the device's own
};

// What the engine needs of a device. Statuses are 0 or negative Linux
// errno values; -USBIP_ESHUTDOWN says the device has gone, which ends the
// session. A device never calls back into the engine: it hands every
// transfer that submit() accepted back through the engine's complete(),
// exactly once, on the engine's thread (cancelled ones too, with
// -USBIP_ECONNRESET, or with their result when they had finished).
class usbip_usb_device {
public:
    virtual ~usbip_usb_device() = default;
    virtual std::int32_t submit(usbip_usb_transfer &t) = 0;
    virtual void cancel(usbip_usb_transfer &t) = 0;
    virtual std::int32_t set_configuration(int value) = 0;  // 0: unconfigured
    virtual std::int32_t set_interface(int interface, int alt) = 0;
    virtual std::int32_t clear_halt(std::uint8_t endpoint) = 0;
    // The type (usbip_transfer_type) of an endpoint of the current alternate
    // settings; -1 for one the device does not have.
    virtual int endpoint_type(std::uint8_t address) const = 0;
};

// How a forwarding session ended.
enum class usbip_forward_end {
    peer_closed,        // the client closed the connection
    stopped,            // keep_running was cleared
    device_gone,        // the device was unplugged
    protocol_error,     // a command broke the protocol or a limit
    connection_failed,  // the connection failed, or the peer stalled
};
const char *usbip_forward_end_text(usbip_forward_end e);

struct usbip_forward_engine_options {
    usbip_urb_limits limits;  // per URB: buffer bytes and isochronous packets
    // The devid (bus << 16 | device) that the import reply gave the client:
    // commands that name another device break the protocol.
    std::uint32_t devid = 0x00010001;
    // URBs at the device at once; more wait in the engine, in order.
    int max_in_flight = 32;
    // URBs that may wait in the engine, and their bytes; beyond either,
    // command bytes wait with the client.
    std::size_t max_queued = 1024;
    std::size_t max_queued_bytes = std::size_t{4} << 20;
    // Reply bytes the client has not taken yet: no URB starts above this.
    std::size_t max_unsent = std::size_t{4} << 20;
    std::string name;  // the device's bus id, for messages
    // When given, counts every URB the client submits (read by other
    // threads while the session runs).
    std::atomic<std::uint64_t> *urbs = nullptr;
};

class usbip_forward_engine {
public:
    usbip_forward_engine(usbip_usb_device &device, const usbip_forward_engine_options &options);
    // Transfers still at the device belong to it: an owner that frees the
    // engine first cancels them and takes each back (in_flight() == 0).
    ~usbip_forward_engine();
    usbip_forward_engine(const usbip_forward_engine &) = delete;
    usbip_forward_engine &operator=(const usbip_forward_engine &) = delete;

    // Takes command bytes; returns how many (none while want_read() is
    // false). Whole commands are handled at once.
    std::size_t receive(const std::uint8_t *data, std::size_t len);
    // The client sends no more: the engine answers nothing further, and its
    // output ends once what it holds has been taken.
    void end_input();
    // Reply bytes waiting for the client, and taking some of them.
    const std::uint8_t *output() const { return out_.data() + out_pos_; }
    std::size_t output_size() const { return out_.size() - out_pos_; }
    void consume(std::size_t n);

    bool want_read() const;
    bool want_write() const { return output_size() > 0; }
    // True once the input has ended and every reply byte has been taken.
    bool output_ended() const { return input_ended_ && output_size() == 0; }

    // A transfer the device hands back.
    void complete(usbip_usb_transfer &t);
    // The device has gone (a hot-unplug seen by its owner).
    void device_gone();
    // Cancels every transfer at the device and drops those that wait; the
    // cancelled ones still come back through complete(), unanswered.
    void cancel_all();

    // Transfers at the device now.
    std::size_t in_flight() const { return in_flight_; }
    // The engine takes no command bytes because URBs wait for the device
    // (rather than because the client leaves its replies).
    bool waits_for_device() const
    {
        return running() && (queue_.size() >= options_.max_queued || queued_bytes_ >= options_.max_queued_bytes);
    }
    std::size_t queued() const { return queue_.size(); }
    // Part of a command has been taken and its rest has not.
    bool mid_command() const { return !reader_.between_messages(); }
    // Set once a command broke the protocol or the device went; error()
    // is the message for it.
    bool failed() const { return failed_; }
    usbip_forward_end failure() const { return failure_; }
    const std::string &error() const { return error_; }

private:
    struct Urb;

    void handle(usbip_urb_message &m);
    void unlink(const usbip_cmd_unlink &c);
    void start_queued();
    void start(Urb &u);
    bool submit_control(Urb &u);
    bool submit_data(Urb &u);
    bool standard_request(Urb &u);
    void answer(Urb &u);
    void answer_now(Urb &u, std::int32_t status);
    void append_ret_unlink(std::uint32_t seqnum, std::int32_t status);
    void append(const std::uint8_t *p, std::size_t n) { out_.insert(out_.end(), p, p + n); }
    void forget(Urb &u);
    void fail(usbip_forward_end why, const char *fmt, ...);
    bool running() const { return !failed_ && !input_ended_; }

    usbip_usb_device &device_;
    const usbip_forward_engine_options options_;
    usbip_urb_reader reader_;
    // Every URB the engine knows, by seqnum: waiting in queue_ (in order)
    // or at the device.
    std::unordered_map<std::uint32_t, std::unique_ptr<Urb>> urbs_;
    std::deque<Urb *> queue_;
    std::size_t queued_bytes_ = 0;
    std::size_t in_flight_ = 0;
    std::vector<std::uint8_t> out_;  // replies; from out_pos_ on not yet taken
    std::size_t out_pos_ = 0;
    bool input_ended_ = false;
    bool failed_ = false;
    usbip_forward_end failure_ = usbip_forward_end::peer_closed;
    std::string error_;
};

#endif
