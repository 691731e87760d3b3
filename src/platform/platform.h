// The one place that talks to the operating system: sockets, clocks,
// sleeping and the secure random source. Everything here is declared
// without OS headers; platform_posix.cpp implements it for POSIX systems and
// a platform_win32.cpp would sit beside it for Winsock.
#ifndef HALVOREN_PLATFORM_H
#define HALVOREN_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plat {

// A socket handle wide enough for both descriptors and Winsock SOCKETs.
using socket_t = std::intptr_t;
inline constexpr socket_t kNoSocket = -1;

// Starts and stops the socket layer (WSAStartup/WSACleanup on Windows).
bool sock_startup();
void sock_cleanup();

// Why a send or receive did not transfer bytes.
enum class IoError {
    none,
    timed_out,    // the time-out expired (or a non-blocking socket would block)
    closed,       // the peer closed the connection (receive returned 0)
    failed,       // any other failure
};

// One resolved address, kept as opaque bytes.
struct Address {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    std::uint32_t length = 0;
    alignas(8) unsigned char bytes[128] = {};
};

// Resolves host and port (any family, stream sockets). False when the
// resolver fails; `out` then is empty.
bool resolve(const char *host, int port, std::vector<Address> &out);

socket_t socket_open(const Address &addr);
void close(socket_t s);
void shutdown_both(socket_t s);

bool set_nonblocking(socket_t s, bool on);
void set_nodelay(socket_t s);
// Sets both the receive and the send time-out of a blocking socket.
void set_io_timeouts(socket_t s, std::int64_t ms);

enum class ConnectStart { done, in_progress, failed };
ConnectStart connect_start(socket_t s, const Address &addr);
// The pending error of a non-blocking connect: 0 when it succeeded.
int connect_result(socket_t s);

// Waits for one socket. Returns 1 when ready, 0 on time-out, -1 on error.
// A timeout of -1 waits without limit.
int wait_readable(socket_t s, int timeout_ms);
int wait_writable(socket_t s, int timeout_ms);
// Waits until either socket is readable (or has an error or hang-up).
// Returns 1 with the flags set, 0 on time-out, -1 on error.
int wait_readable2(socket_t a, socket_t b, int timeout_ms, bool *a_ready, bool *b_ready);

// One send or receive. Returns the byte count (> 0) or -1 with `err` set;
// a receive that finds the peer closed returns 0 with IoError::closed.
// Sends never raise SIGPIPE.
long send_some(socket_t s, const void *data, std::size_t len, IoError *err);
long recv_some(socket_t s, void *data, std::size_t len, IoError *err);
// A receive that never waits: IoError::timed_out when nothing is there.
long recv_now(socket_t s, void *data, std::size_t len, IoError *err);

// An IPv4 TCP listener on the wildcard address with SO_REUSEADDR.
enum class ListenStatus { ok, socket_failed, bind_failed, listen_failed };
ListenStatus listen_tcp4(std::uint16_t port, int backlog, socket_t *out);
// Accepts one pending connection; kNoSocket when none could be accepted.
socket_t accept(socket_t listener);
// The local port a socket is bound to, or -1.
int local_port(socket_t s);

// Monotonic milliseconds, for deadlines.
std::int64_t monotonic_ms();
// Wall-clock seconds since 1970, for heartbeats.
std::int64_t wall_seconds();
void sleep_ms(int ms);

// Fills `out` from the operating system's secure random source.
bool random_bytes(void *out, std::size_t len);

// Owns one socket and closes it when it goes out of scope.
class Socket {
public:
    Socket() = default;
    explicit Socket(socket_t s) : s_(s) {}
    ~Socket() { reset(); }
    Socket(Socket &&o) noexcept : s_(o.release()) {}
    Socket &operator=(Socket &&o) noexcept
    {
        if (this != &o) reset(o.release());
        return *this;
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    socket_t get() const { return s_; }
    bool valid() const { return s_ != kNoSocket; }
    socket_t release()
    {
        socket_t s = s_;
        s_ = kNoSocket;
        return s;
    }
    void reset(socket_t s = kNoSocket)
    {
        if (s_ != kNoSocket) plat::close(s_);
        s_ = s;
    }

private:
    socket_t s_ = kNoSocket;
};

}  // namespace plat

#endif
