// The POSIX side of the test helpers: sockets, threads (from /proc),
// processes.
#include "test_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string read_comm(const std::string &path)
{
    char name[64] = {};
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        if (!std::fgets(name, sizeof name, f)) name[0] = 0;
        std::fclose(f);
    }
    return name;
}

}  // namespace

int process_thread_count() { return static_cast<int>(unnamed_thread_ids().size()); }

std::set<int> unnamed_thread_ids()
{
    // ThreadSanitizer starts a thread of its own with the process's first
    // thread: start one here first, so that every count sees it.
    static bool warmed_up = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed_up;
    const std::string own = read_comm("/proc/self/comm");
    std::set<int> ids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' && read_comm(std::string("/proc/self/task/") + e->d_name + "/comm") == own)
                ids.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

std::string thread_names()
{
    std::string out;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            out += std::string(e->d_name) + ":" + read_comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        }
        closedir(d);
    }
    return out;
}

void *load_library(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void *library_symbol(void *lib, const char *name) { return dlsym(lib, name); }

bool unload_library(void *lib) { return dlclose(lib) == 0; }

std::string library_error()
{
    const char *e = dlerror();
    return e ? e : "";
}

std::string make_temp_dir()
{
    char dir[] = "/tmp/usbip-test-XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : "";
}

bool file_is_private(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600;
}

double process_cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string in_child_process(const std::function<std::string()> &body)
{
    int pipefd[2];  // [0] read by the parent, [1] written by the child
    if (!raw_socket_pair(pipefd)) return std::string();
    pid_t pid = fork();
    if (pid == 0) {
        raw_send(pipefd[1], body());
        _exit(0);
    }
    close(pipefd[1]);
    std::string result = raw_recv_all(pipefd[0]);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return result;
}

Listener::Listener(int backlog)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd_, backlog) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
}

Listener::~Listener()
{
    if (fd_ >= 0) close(fd_);
}

int Listener::accept_one(int timeout_ms)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) set_socket_timeouts(fd, 10000);
    return fd;
}

bool port_is_free(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}

void set_socket_buffers(std::intptr_t fd, int bytes)
{
    setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void set_socket_timeouts(int fd, int timeout_ms)
{
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int raw_connect_with(const char *source, int receive_buffer, int port, int timeout_ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    set_socket_timeouts(fd, timeout_ms);
    // Before the connect, so that the window it announces is small too.
    if (receive_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool ipv6_loopback()
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

int raw_connect6(int port, int timeout_ms)
{
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    set_socket_timeouts(fd, timeout_ms);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long raw_send_now(int fd, const void *data, std::size_t len)
{
    return static_cast<long>(send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT));
}

bool raw_send(int fd, const void *data, std::size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

long raw_recv_once(int fd, void *data, std::size_t len)
{
    ssize_t n = recv(fd, data, len, 0);
    return n < 0 ? -1 : static_cast<long>(n);
}

long raw_recv_some(int fd, void *data, std::size_t len, int wait_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return -1;
    ssize_t n = recv(fd, data, len, MSG_DONTWAIT);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
    return 0;
}

bool raw_socket_pair(int sv[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    set_socket_timeouts(sv[0], 10000);
    set_socket_timeouts(sv[1], 10000);
    return true;
}

void raw_shutdown_send(int fd) { shutdown(fd, SHUT_WR); }

void raw_close(int fd)
{
    if (fd >= 0) close(fd);
}

void raw_reset(int fd)
{
    if (fd < 0) return;
    linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

ChildProcess::ChildProcess(const std::vector<std::string> &args)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        std::vector<char *> argv;
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    process_ = pid;
    close(out[1]);
    out_ = out[0];
}

ChildProcess::~ChildProcess()
{
    stop();
    if (out_ >= 0) close(static_cast<int>(out_));
}

bool ChildProcess::read_output(int ms)
{
    pollfd p{static_cast<int>(out_), POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return true;
    char buf[1024];
    ssize_t n = read(static_cast<int>(out_), buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
    return true;
}

long ChildProcess::pid() const { return static_cast<long>(process_); }

std::string usbip_tool()
{
    for (const char *p : {"/usr/sbin/usbip", "/usr/bin/usbip", "/sbin/usbip"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

int ChildProcess::stop(int signal)
{
    if (process_ <= 0) return status_;
    pid_t pid = static_cast<pid_t>(process_);
    kill(pid, signal);
    int st = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            process_ = -1;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    process_ = -1;
    status_ = -1;
    return status_;
}

