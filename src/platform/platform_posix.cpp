// POSIX side of the platform layer.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace plat {

namespace {

int fd_of(socket_t s) { return static_cast<int>(s); }

IoError classify(int e)
{
    if (e == EAGAIN || e == EWOULDBLOCK) return IoError::timed_out;
    return IoError::failed;
}

int wait_for(socket_t s, short events, int timeout_ms)
{
    pollfd p{};
    p.fd = fd_of(s);
    p.events = events;
    for (;;) {
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;  // rare; a slightly longer wait is harmless
        if (r <= 0) return r;
        return 1;
    }
}

}  // namespace

bool sock_startup() { return true; }
void sock_cleanup() {}

bool resolve(const char *host, int port, std::vector<Address> &out)
{
    out.clear();
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) return false;
    for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(Address::bytes)) continue;
        Address a;
        a.family = ai->ai_family;
        a.socktype = ai->ai_socktype;
        a.protocol = ai->ai_protocol;
        a.length = static_cast<std::uint32_t>(ai->ai_addrlen);
        std::memcpy(a.bytes, ai->ai_addr, ai->ai_addrlen);
        out.push_back(a);
    }
    ::freeaddrinfo(list);
    return true;
}

socket_t socket_open(const Address &addr)
{
    int fd = ::socket(addr.family, addr.socktype | SOCK_CLOEXEC, addr.protocol);
    return fd < 0 ? kNoSocket : fd;
}

void close(socket_t s)
{
    if (s != kNoSocket) ::close(fd_of(s));
}

void shutdown_both(socket_t s)
{
    if (s != kNoSocket) ::shutdown(fd_of(s), SHUT_RDWR);
}

bool set_nonblocking(socket_t s, bool on)
{
    int flags = ::fcntl(fd_of(s), F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd_of(s), F_SETFL, flags) == 0;
}

void set_nodelay(socket_t s)
{
    int one = 1;
    ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_io_timeouts(socket_t s, std::int64_t ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    ::setsockopt(fd_of(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_of(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

ConnectStart connect_start(socket_t s, const Address &addr)
{
    if (::connect(fd_of(s), reinterpret_cast<const sockaddr *>(addr.bytes),
                  static_cast<socklen_t>(addr.length)) == 0)
        return ConnectStart::done;
    return errno == EINPROGRESS ? ConnectStart::in_progress : ConnectStart::failed;
}

int connect_result(socket_t s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno ? errno : -1;
    return err;
}

int wait_readable(socket_t s, int timeout_ms) { return wait_for(s, POLLIN, timeout_ms); }
int wait_writable(socket_t s, int timeout_ms) { return wait_for(s, POLLOUT, timeout_ms); }

int wait_readable2(socket_t a, socket_t b, int timeout_ms, bool *a_ready, bool *b_ready)
{
    pollfd p[2] = {};
    p[0].fd = fd_of(a);
    p[0].events = POLLIN;
    p[1].fd = fd_of(b);
    p[1].events = POLLIN;
    int r;
    do {
        r = ::poll(p, 2, timeout_ms);
    } while (r < 0 && errno == EINTR);
    *a_ready = r > 0 && p[0].revents != 0;
    *b_ready = r > 0 && p[1].revents != 0;
    return r < 0 ? -1 : (r == 0 ? 0 : 1);
}

long send_some(socket_t s, const void *data, std::size_t len, IoError *err)
{
    for (;;) {
        ssize_t n = ::send(fd_of(s), data, len, MSG_NOSIGNAL);
        if (n > 0) {
            *err = IoError::none;
            return static_cast<long>(n);
        }
        if (n < 0 && errno == EINTR) continue;
        *err = n == 0 ? IoError::failed : classify(errno);
        return -1;
    }
}

namespace {

long recv_with(socket_t s, void *data, std::size_t len, int flags, IoError *err)
{
    for (;;) {
        ssize_t n = ::recv(fd_of(s), data, len, flags);
        if (n > 0) {
            *err = IoError::none;
            return static_cast<long>(n);
        }
        if (n == 0) {
            *err = IoError::closed;
            return 0;
        }
        if (errno == EINTR) continue;
        *err = classify(errno);
        return -1;
    }
}

}  // namespace

long recv_some(socket_t s, void *data, std::size_t len, IoError *err) { return recv_with(s, data, len, 0, err); }

long recv_now(socket_t s, void *data, std::size_t len, IoError *err)
{
    return recv_with(s, data, len, MSG_DONTWAIT, err);
}

ListenStatus listen_tcp4(std::uint16_t port, int backlog, socket_t *out)
{
    *out = kNoSocket;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ListenStatus::socket_failed;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return ListenStatus::bind_failed;
    }
    if (::listen(fd, backlog) != 0) {
        ::close(fd);
        return ListenStatus::listen_failed;
    }
    *out = fd;
    return ListenStatus::ok;
}

socket_t accept(socket_t listener)
{
    int fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? kNoSocket : fd;
}

int local_port(socket_t s)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd_of(s), reinterpret_cast<sockaddr *>(&ss), &len) != 0) return -1;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return -1;
}

std::int64_t monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t wall_seconds() { return static_cast<std::int64_t>(::time(nullptr)); }

void sleep_ms(int ms)
{
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool random_bytes(void *out, std::size_t len)
{
    auto *p = static_cast<unsigned char *>(out);
    while (len > 0) {
        ssize_t n = ::getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace plat
