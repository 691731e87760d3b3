// One end of the kernel test's stream tunnel: TCP connections on this
// side's loopback, carried in frames (tunnel_frames.h) over one serial port
// to the other end. The guest's end listens and announces each connection
// it accepts; the host's end connects, on each announcement, to a port of
// its own loopback. Everything else is the same on both ends: every byte is
// passed on in order, an end of writing is carried as an end of writing,
// and a connection that fails on one side is dropped on the other.
//
// One thread, non-blocking descriptors, one poll over all of them. Reading
// a connection pauses while the port's outgoing bytes pile up; the port
// itself is always read, so that one slow connection cannot stall the
// others, and each connection's queue has a cap past which it is dropped.
#ifndef HALVOREN_TUNNEL_MUX_H
#define HALVOREN_TUNNEL_MUX_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tunnel_frames.h"

namespace tunnel {

class Mux {
public:
    // `port`: the serial port, non-blocking; the caller keeps owning it.
    explicit Mux(int port) : port_(port) {}
    ~Mux();
    Mux(const Mux &) = delete;
    Mux &operator=(const Mux &) = delete;

    // The guest's end: connections accepted on `fd` (a non-blocking
    // listening socket, now owned here) are announced as made to `port`.
    void add_listener(int fd, std::uint16_t port);
    // The host's end: for each announced connection, a socket connecting
    // (non-blocking) to wherever `port` leads, or -1 to refuse it.
    void set_connector(std::function<int(std::uint16_t port)> connect) { connect_ = std::move(connect); }

    // Carries bytes until the port ends or fails, or `stop` turns true
    // (looked at every 200 ms). Returns why it ended.
    std::string run(const std::atomic<bool> *stop = nullptr);

    // Connections open at the end of the last turn of run(); any thread may
    // ask (tests do).
    std::size_t connections() const { return open_; }

    static constexpr std::size_t kPortHighWater = 1 << 20;   // stop reading connections above this
    static constexpr std::size_t kConnectionCap = 64 << 20;  // a connection's queue beyond this is dropped
    static constexpr int kConnectMs = 5000;

private:
    struct Conn {
        int fd = -1;
        bool connecting = false;
        long long connect_until = 0;  // monotonic ms
        bool reading = true;          // its peer has not ended writing yet
        bool peer_eof = false;        // the other side ended writing: shut ours once `out` is sent
        bool shut = false;
        std::string out;              // bytes for this socket
        std::size_t out_pos = 0;
    };
    struct Listener {
        int fd;
        std::uint16_t port;
    };

    bool on_frame(const Frame &f);
    void accept_from(const Listener &l);
    // Reads, writes and finishes one connection after a poll; false when it
    // is to be dropped.
    bool service(std::uint32_t id, Conn &c, short revents);
    void drop(std::uint32_t id, bool tell);
    bool read_port(std::string *why);
    bool write_port(std::string *why);

    int port_;
    std::vector<Listener> listeners_;
    std::function<int(std::uint16_t)> connect_;
    std::map<std::uint32_t, Conn> conns_;
    std::uint32_t next_id_ = 1;
    std::string in_, out_;  // the port's bytes each way
    std::size_t in_pos_ = 0, out_pos_ = 0;
    std::atomic<std::size_t> open_{0};
};

}  // namespace tunnel

#endif
