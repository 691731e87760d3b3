// The one place that talks to the operating system: sockets, waits, clocks,
// sleeping, the secure random source and the library's own module handle.
// Everything here is declared without OS headers; platform_posix.cpp
// implements it for POSIX systems and platform_win32.cpp for Winsock.
//
// Every socket the platform hands out (opened, accepted or listening) is
// non-blocking: a transfer is one attempt, and waiting is always an explicit
// poll with a bound, so that no socket time-out ever fires in the middle of a
// call. io.cpp builds the timed transfers on these primitives.
#ifndef HALVOREN_PLATFORM_H
#define HALVOREN_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// A socket handle wide enough for both descriptors and Winsock SOCKETs.
using socket_t = std::intptr_t;
inline constexpr socket_t kNoSocket = -1;

// Starts and stops the socket layer (WSAStartup 2.2 / WSACleanup on Windows).
bool sock_startup();
void sock_cleanup();

// Why a send or receive did not transfer bytes.
enum class IoError {
    none,
    would_block,  // nothing can move now: wait for the socket and try again
    timed_out,    // the deadline passed before anything moved
    closed,       // the peer closed the connection (a receive found the end)
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

// The address a connection came from: 4 bytes for IPv4 (also when it reached
// an IPv6 socket as an IPv4-mapped address), 16 for IPv6, 0 when unknown.
struct PeerAddress {
    std::uint8_t size = 0;
    std::uint8_t bytes[16] = {};

    bool operator==(const PeerAddress &o) const;
    bool operator!=(const PeerAddress &o) const { return !(*this == o); }
    // "127.0.0.2", "::1"; "" when unknown.
    std::string text() const;
    // Parses the text forms above; false for anything else.
    static bool parse(const char *text, PeerAddress *out);
};
struct PeerAddressHash {
    std::size_t operator()(const PeerAddress &a) const;
};

// A non-blocking TCP socket for `addr`'s family; kNoSocket on failure.
socket_t socket_open(const Address &addr);
void close(socket_t s);
// Ends both directions; a thread blocked in a wait on `s` wakes up.
void shutdown_both(socket_t s);
// Ends the sending direction only: the peer reads the end of the stream
// after the bytes already sent, and can still send.
void shutdown_send(socket_t s);
void set_nodelay(socket_t s);
// TCP keep-alive probes after idle_s seconds of silence, every interval_s
// seconds; `count` unanswered probes end the connection.
void set_keepalive(socket_t s, int idle_s, int interval_s, int count);
// Sets the size of the socket's send buffer (the system may round it).
void set_send_buffer(socket_t s, int bytes);
// Puts a socket into blocking mode, for handing it to code that expects one.
bool set_blocking(socket_t s);

enum class ConnectStart { done, in_progress, failed };
ConnectStart connect_start(socket_t s, const Address &addr);
// The outcome of a non-blocking connect once the socket is writable (or a
// wait for it ended): 0 connected, else an error number.
int connect_result(socket_t s);

// Waits for one socket, at most timeout_ms (-1: no limit). Returns 1 when
// ready (an error or hang-up counts as ready), 0 on time-out, -1 on error.
int wait_readable(socket_t s, int timeout_ms);
int wait_writable(socket_t s, int timeout_ms);

// One entry of a wait for many sockets.
struct PollEntry {
    socket_t s = kNoSocket;
    bool want_read = false;
    bool want_write = false;
    // Set by poll_many: readable (data, end, error or hang-up), writable.
    bool readable = false;
    bool writable = false;
};
// Waits until any entry is ready, at most timeout_ms (-1: no limit).
// Returns the number of ready entries, 0 on time-out, -1 on error.
int poll_many(PollEntry *entries, std::size_t n, int timeout_ms);

// A set of sockets watched for readability over many waits, for a thread
// that watches thousands at once: a wait costs what is ready, not what is
// watched (epoll on Linux). Each socket carries a key of the caller's.
class Poller {
public:
    Poller();
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    bool open();
    // Watches `s` until remove(); its readiness (data, end, error or
    // hang-up) is reported with `key` by every wait until then.
    bool add(socket_t s, std::uintptr_t key);
    void remove(socket_t s);
    // Waits at most timeout_ms (-1: no limit) and stores the keys of ready
    // sockets in `ready` (at most `max`). Returns their number, 0 on
    // time-out, -1 on error.
    int wait(std::vector<std::uintptr_t> &ready, std::size_t max, int timeout_ms);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One attempt that never waits. Returns the byte count (> 0) or -1 with
// `err` set (would_block: nothing can move now); a receive that finds the
// peer closed returns 0 with IoError::closed. Sends never raise SIGPIPE.
long send_now(socket_t s, const void *data, std::size_t len, IoError *err);
long recv_now(socket_t s, void *data, std::size_t len, IoError *err);
// True when the peer has ended or reset the connection: a receive would
// find the end or fail. Never waits, and leaves waiting bytes in place.
bool peer_gone(socket_t s);

// Timed transfers (io.cpp), built on the attempts and waits above. They move
// at most `len` bytes, waiting first when nothing can move, until
// `deadline_ms` on the monotonic clock (0: no deadline; a shut-down socket
// still wakes them). > 0 bytes moved; 0 with IoError::closed when a receive
// found the end; -1 with IoError::timed_out once the deadline has passed, or
// IoError::failed.
long recv_until(socket_t s, void *data, std::size_t len, std::int64_t deadline_ms, IoError *err);
long send_until(socket_t s, const void *data, std::size_t len, std::int64_t deadline_ms, IoError *err);
// Sends every byte before the deadline (0: none).
bool send_all_until(socket_t s, const void *data, std::size_t len, std::int64_t deadline_ms);

// A non-blocking TCP listener on every local address and the port: one IPv6
// socket that also takes IPv4 (as mapped addresses) where the system has
// IPv6, an IPv4 socket otherwise. SO_REUSEADDR on.
enum class ListenStatus { ok, socket_failed, bind_failed, listen_failed };
ListenStatus listen_tcp(std::uint16_t port, int backlog, socket_t *out);

enum class AcceptStatus {
    accepted,
    none_pending,    // nothing to accept now
    no_descriptors,  // the process or system is out of descriptors
    failed,
};
// Accepts one pending connection as a non-blocking socket with its peer's
// address.
AcceptStatus accept(socket_t listener, socket_t *out, PeerAddress *peer);
// The local port a socket is bound to, or -1.
int local_port(socket_t s);

// Raises the process's soft limit of open descriptors to its hard limit, so
// that a service started with the common default of 1,024 can hold what its
// administrator allows, and returns the limit now in force. Where no such
// limit applies to sockets (Windows), a large number.
std::size_t raise_descriptor_limit();

// One descriptor held in reserve (an open /dev/null), for a process at its
// descriptor limit: giving it up lets one more accept succeed, which is the
// only way to learn whether a connection waits at all (accept reports the
// limit even when none does) and to take one that does. Where sockets are
// not counted against such a limit (Windows) it holds nothing.
class DescriptorReserve {
public:
    DescriptorReserve() = default;
    ~DescriptorReserve() { give_up(); }
    DescriptorReserve(const DescriptorReserve &) = delete;
    DescriptorReserve &operator=(const DescriptorReserve &) = delete;

    // True when the reserve is held afterwards.
    bool take();
    // Closes the reserve; false when none was held.
    bool give_up();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Monotonic milliseconds, for deadlines.
std::int64_t monotonic_ms();
// Wall-clock seconds since 1970, for heartbeats and time stamps.
std::int64_t wall_seconds();
// Wall-clock milliseconds since 1970, for the time of events.
std::int64_t wall_ms();
void sleep_ms(int ms);

// Fills `out` from the operating system's secure random source.
bool random_bytes(void *out, std::size_t len);

// Files named by UTF-8 paths.
enum class FileRead { ok, missing, failed };
// Reads a whole file of at most max_bytes (a longer one fails).
FileRead read_file(const char *path, std::size_t max_bytes, std::string *out);
// Creates a new file with `data` that only its owner may read or write
// (mode 0600 on POSIX; on Windows the folder's inherited permissions).
// False when it exists already or cannot be written in full; a file left
// half-written is removed.
bool create_private_file(const char *path, const std::string &data);
bool file_exists(const char *path);

// Keeps the library's code mapped while its threads may run: a host that
// unloads the library without stopping it must not pull the code from under
// them. Counted: each pin needs one unpin.
void pin_module();
void unpin_module();

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

// A pair of connected sockets that lets one thread wake another out of a
// wait: signal() makes wait_socket() readable until clear().
class Waker {
public:
    Waker() = default;
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    bool open();
    void close();
    void signal();
    void clear();
    socket_t wait_socket() const { return read_.get(); }

private:
    Socket read_, write_;
};

}  // namespace plat

#endif
