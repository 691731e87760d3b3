// POSIX side of the platform layer.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace plat {

namespace {

int fd_of(socket_t s) { return static_cast<int>(s); }

IoError classify(int e)
{
    if (e == EAGAIN || e == EWOULDBLOCK) return IoError::would_block;
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

}  // namespace

bool sock_startup() { return true; }
void sock_cleanup() {}

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

void shutdown_send(socket_t s)
{
    if (s != kNoSocket) ::shutdown(fd_of(s), SHUT_WR);
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

bool peer_gone(socket_t s)
{
    char c;
    ssize_t n;
    do {
        n = ::recv(fd_of(s), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == 0 || (n < 0 && classify(errno) != IoError::would_block);
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
    ListenStatus status = bind_and_listen(fd, v6, port, backlog);
    if (status != ListenStatus::ok) {
        ::close(fd);
        return status;
    }
    *out = fd;
    return status;
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
            *peer = peer_from_sockaddr(&ss);
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

std::size_t raise_descriptor_limit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur > static_cast<rlim_t>(INT_MAX)) return INT_MAX;
    return static_cast<std::size_t>(lim.rlim_cur);
}

bool DescriptorReserve::take()
{
    if (fd_ < 0) fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

bool DescriptorReserve::give_up()
{
    if (fd_ < 0) return false;
    ::close(fd_);
    fd_ = -1;
    return true;
}

std::int64_t monotonic_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t wall_seconds() { return static_cast<std::int64_t>(::time(nullptr)); }

std::int64_t wall_ms()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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

FileRead read_file(const char *path, std::size_t max_bytes, std::string *out)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? FileRead::missing : FileRead::failed;
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || out->size() + static_cast<std::size_t>(n) > max_bytes) {
            ::close(fd);
            return n == 0 ? FileRead::ok : FileRead::failed;
        }
        out->append(buf, static_cast<std::size_t>(n));
    }
}

bool create_private_file(const char *path, const std::string &data)
{
    // O_EXCL: never through a link, never over a file somebody else made.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == data.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (!ok) ::unlink(path);
    return ok;
}

bool file_exists(const char *path)
{
    struct stat st {};
    return ::stat(path, &st) == 0;
}

void *module_reference_take()
{
    // Opening the already loaded module again raises its reference count.
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&module_reference_take), &info) == 0 || info.dli_fname == nullptr)
        return nullptr;
    return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void module_reference_drop(void *reference)
{
    if (reference != nullptr) ::dlclose(reference);
}

#ifdef __linux__

// epoll: a wait costs what is ready. (Elsewhere the generic Poller of io.cpp
// serves.)
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
