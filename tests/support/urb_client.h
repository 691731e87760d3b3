// The client side of USB/IP's URB phase for tests, and the checks of a
// forwarded emulated device (urb_device.h) that the engine's, the server's
// and the command line's tests share: the same traffic, whoever forwards.
#ifndef HALVOREN_URB_CLIENT_H
#define HALVOREN_URB_CLIENT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"
#include "usbip_conn.h"
#include "usbip_urb.h"

class UrbDevice;

using Bytes = std::vector<std::uint8_t>;

// How long a client waits for each reply.
inline constexpr int kUrbWaitMs = 10000;
// The devid of every imported device: an import reply names bus 1, device 1.
inline constexpr std::uint32_t kImportedDevid = 0x00010001;

inline std::string hex(const Bytes &b) { return hex_of(std::string(b.begin(), b.end())); }

inline Bytes setup(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index, std::uint16_t length)
{
    return {type, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
}

// The importing side: a USB/IP client on a library connection (plain or
// TLS). It numbers its URBs from 1, sends non-isochronous ones with
// number_of_packets 0 as Linux's own client does, and records every
// message both ways for the capture check.
class UrbClient {
public:
    struct Record {
        bool from_client;
        Bytes bytes;
    };

    explicit UrbClient(usbip_conn &conn)
        : conn_(conn), reader_(usbip_urb_reader::for_client({}, [this](std::uint32_t seqnum) {
              auto it = directions_.find(seqnum);
              return it == directions_.end() ? -1 : static_cast<int>(it->second);
          }))
    {
    }

    struct Submit {
        std::uint32_t direction = USBIP_DIR_IN;
        std::uint32_t ep = 0;
        std::int32_t length = 0;       // IN: bytes asked for
        Bytes data;                    // OUT: the bytes (length is their count)
        Bytes setup = Bytes(8, 0);
        std::uint32_t flags = 0;
        std::vector<usbip_iso_packet> packets;
    };

    std::uint32_t submit(const Submit &s)
    {
        usbip_urb_message m;
        m.command = USBIP_CMD_SUBMIT;
        usbip_cmd_submit &c = m.cmd_submit;
        c.base.seqnum = next_++;
        c.base.devid = kImportedDevid;
        c.base.direction = s.direction;
        c.base.ep = s.ep;
        c.transfer_flags = s.flags | (s.direction == USBIP_DIR_IN ? USBIP_URB_DIR_IN : 0);
        c.transfer_buffer_length = s.direction == USBIP_DIR_OUT ? static_cast<std::int32_t>(s.data.size()) : s.length;
        c.number_of_packets = s.packets.empty() ? 0 : static_cast<std::uint32_t>(s.packets.size());
        std::memcpy(c.setup, s.setup.data(), 8);
        m.data = s.data;
        m.packets = s.packets;
        directions_[c.base.seqnum] = s.direction;
        Bytes bytes;
        usbip_encode_urb_message(bytes, m);
        send(bytes);
        return c.base.seqnum;
    }

    std::uint32_t unlink(std::uint32_t victim)
    {
        usbip_urb_message m;
        m.command = USBIP_CMD_UNLINK;
        m.cmd_unlink.base.seqnum = next_++;
        m.cmd_unlink.base.devid = kImportedDevid;
        m.cmd_unlink.unlink_seqnum = victim;
        Bytes bytes;
        usbip_encode_urb_message(bytes, m);
        send(bytes);
        return m.cmd_unlink.base.seqnum;
    }

    void send(const Bytes &bytes)
    {
        records_.push_back({true, bytes});
        if (holding_) {
            held_.insert(held_.end(), bytes.begin(), bytes.end());
            return;
        }
        usbip_conn_set_deadline(&conn_, kUrbWaitMs);
        ok_ = ok_ && usbip_conn_send_all(&conn_, bytes.data(), bytes.size()) == 0;
    }
    // Commands given while holding go out together with release(), as a
    // client that queues many at once sends them.
    void hold() { holding_ = true; }
    void release()
    {
        holding_ = false;
        usbip_conn_set_deadline(&conn_, kUrbWaitMs);
        ok_ = ok_ && usbip_conn_send_all(&conn_, held_.data(), held_.size()) == 0;
        held_.clear();
    }

    // The next reply, within the wait; false on a close, a time-out or bytes
    // the reader refuses.
    bool next(usbip_urb_message *out)
    {
        const std::int64_t until = plat::monotonic_ms() + kUrbWaitMs;
        for (;;) {
            while (pos_ < len_) {
                std::size_t used = 0;
                auto r = reader_.feed(buf_ + pos_, len_ - pos_, &used);
                pending_.insert(pending_.end(), buf_ + pos_, buf_ + pos_ + used);
                pos_ += used;
                if (r == usbip_urb_reader::result::error) return false;
                if (r == usbip_urb_reader::result::message) {
                    records_.push_back({false, pending_});
                    pending_.clear();
                    *out = reader_.message();
                    return true;
                }
            }
            pos_ = len_ = 0;
            std::int64_t left = until - plat::monotonic_ms();
            if (left <= 0) return false;
            if (usbip_conn_buffered(&conn_) == 0 && plat::wait_readable(conn_.fd, static_cast<int>(left)) != 1)
                return false;
            plat::IoError err;
            long n = usbip_conn_recv_some(&conn_, buf_, sizeof buf_, &err);
            if (n > 0) len_ = static_cast<std::size_t>(n);
            else if (err != plat::IoError::would_block) return false;
        }
    }

    usbip_urb_message reply()
    {
        usbip_urb_message m;
        EXPECT_TRUE(next(&m)) << "no reply";
        return m;
    }

    // A control transfer and its reply.
    usbip_urb_message control(const Bytes &setup_packet, const Bytes &out_data = {})
    {
        Submit s;
        s.setup = setup_packet;
        s.direction = (setup_packet[0] & 0x80) ? USBIP_DIR_IN : USBIP_DIR_OUT;
        s.length = setup_packet[6] | setup_packet[7] << 8;
        s.data = out_data;
        std::uint32_t seqnum = submit(s);
        usbip_urb_message m = reply();
        EXPECT_EQ(m.command, USBIP_RET_SUBMIT);
        EXPECT_EQ(m.seqnum(), seqnum);
        return m;
    }

    bool ok() const { return ok_; }
    const std::vector<Record> &records() const { return records_; }

private:
    usbip_conn &conn_;
    usbip_urb_reader reader_;
    std::map<std::uint32_t, std::uint32_t> directions_;
    std::uint32_t next_ = 1;
    std::uint8_t buf_[65536];
    std::size_t pos_ = 0, len_ = 0;
    Bytes pending_;
    std::vector<Record> records_;
    bool holding_ = false;
    Bytes held_;
    bool ok_ = true;
};

// Reads descriptors through control transfers: device, configuration (its
// head, then whole), every string; a stall for a string the device lacks
// and for a vendor request with OUT data, which still reaches the device.
void check_descriptors(UrbClient &c);
// Echoes `total` bytes through the bulk pair in URBs of varying size, at
// most `in_flight` at once, and compares what comes back byte for byte.
void check_bulk_echo(UrbClient &c, std::size_t total, int in_flight);
// A pending interrupt URB unlinked: RET_UNLINK -ECONNRESET and never a
// RET_SUBMIT for it (the next reply is that of the next URB).
void check_unlink_pending(UrbClient &c, UrbDevice &dev);
// An unlink that comes too late is answered with status 0 after the URB's
// own reply, whether the client had read that reply or not; an unlink of a
// URB never seen likewise.
void check_late_unlinks(UrbClient &c, UrbDevice &dev);

// The device as a forwarding session leaves it: nothing held, nothing in
// flight, the kernel driver of interface 0 back.
void expect_released(UrbDevice &dev);

// How a test's client reaches a server: directly (plain or TLS), or through
// a relay by the server's code.
struct ServerRoute {
    int port = 0;  // the server's, for a direct connection
    bool tls = false;
    int relay_port = 0;  // with `code`: through this relay
    std::string code;

    // The server at `port` (with `tls`), or through the relay at
    // `relay_port` when `code` is given.
    static ServerRoute to(int port, bool tls, int relay_port = 0, const std::string &code = "")
    {
        return {port, tls, relay_port, code};
    }
};
// Connects by `route` and runs the client's half of the handshake; false
// (with a test failure) when a step fails.
bool connect_by(usbip_conn &conn, const ServerRoute &route, const char *password);

// Raw commands, for bad input: a header with the common fields (for the
// imported device), a submit header, an unlink, and several joined.
Bytes urb_header(std::uint32_t command, std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep);
Bytes submit_header(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep, std::int32_t length,
                    std::uint32_t packets = 0);
Bytes unlink_of(std::uint32_t seqnum, std::uint32_t victim);
Bytes concat(std::initializer_list<Bytes> parts);

#endif
