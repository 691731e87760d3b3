// POSIX side of the platform layer.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif
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
        return r < 0 ? -1 : (r == 0 ? 0 : 1);
    }
}

bool set_flag(int fd, int flag, bool on)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | flag) : (flags & ~flag);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

PeerAddress peer_of(const sockaddr_storage &ss)
{
    PeerAddress a;
    if (ss.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
        a.size = 4;
        std::memcpy(a.bytes, &in->sin_addr, 4);
    } else if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            a.size = 4;
            std::memcpy(a.bytes, in6->sin6_addr.s6_addr + 12, 4);
        } else {
            a.size = 16;
            std::memcpy(a.bytes, in6->sin6_addr.s6_addr, 16);
        }
    }
    return a;
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

std::string PeerAddress::text() const
{
    char buf[INET6_ADDRSTRLEN] = {};
    if (size == 4) ::inet_ntop(AF_INET, bytes, buf, sizeof buf);
    else if (size == 16) ::inet_ntop(AF_INET6, bytes, buf, sizeof buf);
    return buf;
}

bool PeerAddress::parse(const char *text, PeerAddress *out)
{
    PeerAddress a;
    if (::inet_pton(AF_INET, text, a.bytes) == 1) {
        a.size = 4;
    } else if (::inet_pton(AF_INET6, text, a.bytes) == 1) {
        a.size = 16;
        static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(a.bytes, mapped, 12) == 0) {
            std::memmove(a.bytes, a.bytes + 12, 4);
            std::memset(a.bytes + 4, 0, 12);
            a.size = 4;
        }
    } else {
        return false;
    }
    *out = a;
    return true;
}

socket_t socket_open(const Address &addr)
{
    int fd = ::socket(addr.family, addr.socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, addr.protocol);
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

void set_nodelay(socket_t s)
{
    int one = 1;
    ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void set_keepalive(socket_t s, int idle_s, int interval_s, int count)
{
    int one = 1;
    ::setsockopt(fd_of(s), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
    ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
    ::setsockopt(fd_of(s), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void set_send_buffer(socket_t s, int bytes)
{
    ::setsockopt(fd_of(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool set_blocking(socket_t s) { return set_flag(fd_of(s), O_NONBLOCK, false); }

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

int poll_many(PollEntry *entries, std::size_t n, int timeout_ms)
{
    // Small waits (the common case) need no allocation.
    pollfd local[8];
    std::vector<pollfd> large;
    pollfd *p = local;
    if (n > 8) {
        large.resize(n);
        p = large.data();
    }
    for (std::size_t i = 0; i < n; ++i) {
        p[i].fd = fd_of(entries[i].s);
        p[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) | (entries[i].want_write ? POLLOUT : 0));
        p[i].revents = 0;
    }
    int r;
    do {
        r = ::poll(p, static_cast<nfds_t>(n), timeout_ms);
    } while (r < 0 && errno == EINTR);
    for (std::size_t i = 0; i < n; ++i) {
        short ev = r > 0 ? p[i].revents : 0;
        entries[i].readable = (ev & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0 && entries[i].want_read;
        entries[i].writable = (ev & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0 && entries[i].want_write;
    }
    return r;
}

long send_now(socket_t s, const void *data, std::size_t len, IoError *err)
{
    for (;;) {
        ssize_t n = ::send(fd_of(s), data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *err = IoError::none;
            return static_cast<long>(n);
        }
        if (n < 0 && errno == EINTR) continue;
        *err = n == 0 ? IoError::failed : classify(errno);
        return -1;
    }
}

long recv_now(socket_t s, void *data, std::size_t len, IoError *err)
{
    for (;;) {
        ssize_t n = ::recv(fd_of(s), data, len, MSG_DONTWAIT);
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

ListenStatus listen_tcp(std::uint16_t port, int backlog, socket_t *out)
{
    *out = kNoSocket;
    int one = 1, zero = 0;
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool v6 = fd >= 0 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) == 0;
    if (!v6) {
        // No IPv6 here, or no dual-stack sockets: IPv4 alone.
        if (fd >= 0) ::close(fd);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    if (fd < 0) return ListenStatus::socket_failed;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int bound;
    if (v6) {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_any;
        sa.sin6_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        sa.sin_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    if (bound != 0) {
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

AcceptStatus accept(socket_t listener, socket_t *out, PeerAddress *peer)
{
    *out = kNoSocket;
    for (;;) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = ::accept4(fd_of(listener), reinterpret_cast<sockaddr *>(&ss), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            *out = fd;
            *peer = peer_of(ss);
            return AcceptStatus::accepted;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:  // the peer gave up while queued: take the next one
            continue;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return AcceptStatus::none_pending;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptStatus::no_descriptors;
        default:
            return AcceptStatus::failed;
        }
    }
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

namespace {

// The handle that keeps this module mapped while pins are held.
std::mutex &pin_mutex()
{
    static std::mutex *m = new std::mutex;  // never destroyed: used until the last moment
    return *m;
}
int g_pins = 0;
void *g_pin_handle = nullptr;

}  // namespace

void pin_module()
{
    std::lock_guard<std::mutex> lock(pin_mutex());
    if (g_pins++ > 0) return;
    Dl_info info{};
    // Opening the already loaded module again raises its reference count.
    if (::dladdr(reinterpret_cast<void *>(&pin_module), &info) != 0 && info.dli_fname != nullptr)
        g_pin_handle = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void unpin_module()
{
    std::lock_guard<std::mutex> lock(pin_mutex());
    if (g_pins == 0 || --g_pins > 0) return;
    if (g_pin_handle != nullptr) ::dlclose(g_pin_handle);
    g_pin_handle = nullptr;
}

#ifdef __linux__

struct Poller::Impl {
    int epfd = -1;
    std::vector<epoll_event> events;
};

Poller::Poller() : impl_(std::make_unique<Impl>()) {}

Poller::~Poller()
{
    if (impl_->epfd >= 0) ::close(impl_->epfd);
}

bool Poller::open()
{
    impl_->epfd = ::epoll_create1(EPOLL_CLOEXEC);
    return impl_->epfd >= 0;
}

bool Poller::add(socket_t s, std::uintptr_t key)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = key;
    return ::epoll_ctl(impl_->epfd, EPOLL_CTL_ADD, fd_of(s), &ev) == 0;
}

void Poller::remove(socket_t s) { ::epoll_ctl(impl_->epfd, EPOLL_CTL_DEL, fd_of(s), nullptr); }

int Poller::wait(std::vector<std::uintptr_t> &ready, std::size_t max, int timeout_ms)
{
    ready.clear();
    impl_->events.resize(max);
    int n;
    do {
        n = ::epoll_wait(impl_->epfd, impl_->events.data(), static_cast<int>(max), timeout_ms);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) ready.push_back(static_cast<std::uintptr_t>(impl_->events[static_cast<std::size_t>(i)].data.u64));
    return n;
}

#else

// Other POSIX systems: one poll() over everything watched.
struct Poller::Impl {
    std::vector<PollEntry> entries;
    std::vector<std::uintptr_t> keys;
};

Poller::Poller() : impl_(std::make_unique<Impl>()) {}
Poller::~Poller() = default;
bool Poller::open() { return true; }

bool Poller::add(socket_t s, std::uintptr_t key)
{
    PollEntry e;
    e.s = s;
    e.want_read = true;
    impl_->entries.push_back(e);
    impl_->keys.push_back(key);
    return true;
}

void Poller::remove(socket_t s)
{
    for (std::size_t i = 0; i < impl_->entries.size(); ++i) {
        if (impl_->entries[i].s == s) {
            impl_->entries.erase(impl_->entries.begin() + static_cast<std::ptrdiff_t>(i));
            impl_->keys.erase(impl_->keys.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

int Poller::wait(std::vector<std::uintptr_t> &ready, std::size_t max, int timeout_ms)
{
    ready.clear();
    int n = poll_many(impl_->entries.data(), impl_->entries.size(), timeout_ms);
    for (std::size_t i = 0; n > 0 && i < impl_->entries.size() && ready.size() < max; ++i)
        if (impl_->entries[i].readable) ready.push_back(impl_->keys[i]);
    return n < 0 ? -1 : static_cast<int>(ready.size());
}

#endif

Waker::~Waker() = default;

bool Waker::open()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return false;
    read_.reset(fds[0]);
    write_.reset(fds[1]);
    return true;
}

}  // namespace plat
