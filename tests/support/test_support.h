// Helpers shared by the tests: loopback sockets with time-outs, and small
// raw peers that speak bytes without going through the library.
// test_support.cpp holds what needs no OS header; test_support_posix.cpp and
// test_support_win32.cpp the rest (on Windows a "fd" is a Winsock SOCKET,
// whose values fit an int).
#ifndef HALVOREN_TEST_SUPPORT_H
#define HALVOREN_TEST_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Polls `pred` every 10 ms for at most `ms`.
template <typename Pred>
bool wait_until(Pred pred, int ms)
{
    for (int spent = 0; spent < ms; spent += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Number of threads of this process right now that carry its name: those
// of the test, the library and libusb. Helper threads that name themselves
// (GLib's "gmain", used by the USB emulation) are not counted. (Windows:
// every thread of the process.)
int process_thread_count();
// The ids of those threads.
std::set<int> unnamed_thread_ids();
// "tid:name" of every thread, for messages.
std::string thread_names();

// Debian's usbip tool (package usbip), a stock USB/IP client; "" when it is
// not installed.
std::string usbip_tool();

// Output of a shell command (stdout), and its exit status.
std::string run_command(const std::string &cmd, int *status = nullptr);

// Loading a shared library as a host does (dlopen / LoadLibrary), finding
// its exports and unloading it; null or false on failure, with the reason
// from library_error().
void *load_library(const char *path);
void *library_symbol(void *lib, const char *name);
bool unload_library(void *lib);
std::string library_error();

// A new empty directory for the caller's files; "" on failure.
std::string make_temp_dir();
// Whether only the file's owner may read or write it (mode 0600; on
// Windows, where files take their folder's permissions: whether it exists).
bool file_is_private(const std::string &path);

// CPU time this process has used so far, in seconds.
double process_cpu_seconds();

// Runs `body` in a new process of this test program and returns what it
// returned there: a forked child on POSIX (the same state as this process
// at the call); on Windows the program started again for the current test,
// which runs the test up to this call, runs `body` and reports.
std::string in_child_process(const std::function<std::string()> &body);

// A listening socket on 127.0.0.1 with a port chosen by the system.
class Listener {
public:
    explicit Listener(int backlog = 16);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    int port() const { return port_; }
    int fd() const { return fd_; }
    // Accepts one connection within timeout_ms; -1 when none came.
    int accept_one(int timeout_ms = 5000);

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port that was free a moment ago (on every address), outside the range
// the system hands out to outgoing connections.
int free_port();
// True when a socket could bind `port` on every address just now.
bool port_is_free(int port);

// A raw TCP connection to 127.0.0.1:port with send and receive time-outs;
// -1 when it cannot connect.
int raw_connect(int port, int timeout_ms = 5000);
// The same from another loopback address (127.0.0.2, 127.0.1.7, ...), which
// stands in for another host.
int raw_connect_from(const char *source, int port, int timeout_ms = 5000);
// A connection whose receive buffer (and so its window) is small, for a
// peer that must not be able to take a whole reply at once.
int raw_connect_small_window(int port, int receive_buffer);
// Both: from `source` (nullptr: the default) with a receive buffer of
// `receive_buffer` bytes (0: the default).
int raw_connect_with(const char *source, int receive_buffer, int port, int timeout_ms);
// True when this machine has an IPv6 loopback address (::1).
bool ipv6_loopback();
// A raw TCP connection to [::1]:port with time-outs; -1 when it cannot
// connect.
int raw_connect6(int port, int timeout_ms = 5000);
void set_socket_timeouts(int fd, int timeout_ms);
// Sets both socket buffers of a connection to `bytes` (the system may
// round them).
void set_socket_buffers(std::intptr_t fd, int bytes);
// Two connected stream sockets with time-outs (socketpair on POSIX, a
// loopback TCP connection on Windows); false when none could be made.
bool raw_socket_pair(int sv[2]);
// Ends the sending direction: the peer reads the end, this side still reads.
void raw_shutdown_send(int fd);
bool raw_send(int fd, const void *data, std::size_t len);
// One send that never waits: the bytes taken (> 0), or -1 when none could
// be taken now or the connection failed.
long raw_send_now(int fd, const void *data, std::size_t len);
bool raw_send(int fd, const std::string &bytes);
// One receive within the socket's time-out: > 0 bytes, 0 at the end, -1 on
// a failure or the time-out.
long raw_recv_once(int fd, void *data, std::size_t len);
// One receive of what has arrived, waiting at most wait_ms for something:
// > 0 bytes, 0 when the peer has closed (or the connection failed), -1 when
// nothing came.
long raw_recv_some(int fd, void *data, std::size_t len, int wait_ms);
// Receives exactly len bytes (false on close, error or time-out).
bool raw_recv(int fd, void *data, std::size_t len);
std::string raw_recv_n(int fd, std::size_t len);
// Everything until the peer closes (or the time-out), at most `limit` bytes.
std::string raw_recv_all(int fd, std::size_t limit = 1 << 20);
// One line up to and including '\n' (empty on close or time-out).
std::string raw_recv_line(int fd, std::size_t limit = 4096);
// True when the peer has closed the connection (reads EOF within timeout_ms).
bool raw_wait_closed(int fd, int timeout_ms);
void raw_close(int fd);
// Closes with a reset (RST) instead of the end of the stream.
void raw_reset(int fd);

// A raw socket that closes itself.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { raw_close(fd_); }
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        if (this != &o) {
            raw_close(fd_);
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    operator int() const { return fd_; }
    void close()
    {
        raw_close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// The server half of the password handshake, without the library: sends
// flag and challenge, reads the reply, answers `result`.
bool raw_server_handshake(int fd, std::uint32_t flag, std::uint32_t result = 0);
// The client half without password: reads flag and challenge, sends four
// zero bytes, reads the result. False on any failure or a non-zero result.
bool raw_client_handshake(int fd);

// A child process (argv[0] a full path) whose output, stdout and stderr,
// the test reads; ended on scope exit.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string> &args);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Reads output until a line matches `pattern` (bounded by `ms`) and
    // returns the first group of the match, or the whole match; adds a test
    // failure and returns "" when none does.
    std::string wait_for(const std::string &pattern, int ms = 10000);
    // Sends `signal` (0: none, only waits), then SIGKILL if the child has
    // not ended within 5 s. The exit status (-1 when killed). On Windows
    // every signal is a Ctrl-Break to the child's console process group.
    int stop(int signal = 15 /* SIGTERM */);
    // The child's process id.
    long pid() const;

private:
    // Appends what the child wrote within `ms` to buffer_; false once its
    // output has ended.
    bool read_output(int ms);

    std::intptr_t process_ = -1;  // pid, or the process handle on Windows
    std::intptr_t out_ = -1;      // the read end of its output
    unsigned long child_id_ = 0;  // Windows: its process id, also its console group
    int status_ = -1;
    std::string buffer_, output_;
};

// USB/IP bytes as a peer would send them: an operation header, and a
// 312-byte device block (path "/sys/remote", busnum 7, devnum 9).
std::string reply_header(std::uint16_t code, std::uint32_t status, std::uint16_t version = 0x0111);
std::string raw_block(const std::string &busid, std::uint32_t speed, std::uint8_t cls, std::uint8_t nif,
                      std::uint16_t vid = 0x1234, std::uint16_t pid = 0x5678);

std::string hex_of(const std::string &bytes);
std::string hex_of(const std::uint8_t *bytes, std::size_t len);
// A random source in Mbed TLS's convention that repeats itself from the
// same state (a 64-bit counter the caller holds): for blinding and test
// scalars, where the results must not depend on the values.
int counter_rng(void *state, unsigned char *out, std::size_t len);
std::uint32_t be32_at(const std::string &s, std::size_t off);
std::uint16_t be16_at(const std::string &s, std::size_t off);
std::string be32(std::uint32_t v);
std::string be16(std::uint16_t v);

#endif
