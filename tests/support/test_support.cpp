#include "test_support.h"

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <random>
#include <cstdlib>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <signal.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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

std::string run_command(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
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

int free_port()
{
    // Below the system's range for outgoing connections, so that no
    // connection of a test running beside this one takes the port between
    // this check and the bind that follows. Random, so that tests running
    // at once rarely pick the same one; checked free on every address.
    static std::mt19937 rng(static_cast<unsigned>(getpid()) * 2654435761u ^
                            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        int port = 20000 + static_cast<int>(rng() % 12000);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        close(fd);
        if (ok) return port;
    }
    Listener l;
    return l.port();
}

void set_socket_timeouts(int fd, int timeout_ms)
{
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int raw_connect(int port, int timeout_ms) { return raw_connect_from(nullptr, port, timeout_ms); }

int raw_connect_from(const char *source, int port, int timeout_ms) { return raw_connect_with(source, 0, port, timeout_ms); }

int raw_connect_small_window(int port, int receive_buffer) { return raw_connect_with(nullptr, receive_buffer, port, 5000); }

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

bool raw_send(int fd, const std::string &bytes) { return raw_send(fd, bytes.data(), bytes.size()); }

bool raw_recv(int fd, void *data, std::size_t len)
{
    char *p = static_cast<char *>(data);
    while (len > 0) {
        ssize_t n = recv(fd, p, len, 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string raw_recv_n(int fd, std::size_t len)
{
    std::string s(len, '\0');
    if (!raw_recv(fd, &s[0], len)) return std::string();
    return s;
}

std::string raw_recv_all(int fd, std::size_t limit)
{
    std::string out;
    char buf[16384];
    while (out.size() < limit) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string raw_recv_line(int fd, std::size_t limit)
{
    std::string line;
    char c;
    while (line.size() < limit && recv(fd, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

bool raw_wait_closed(int fd, int timeout_ms)
{
    char buf[4096];
    for (int spent = 0; spent <= timeout_ms; spent += 100) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
        }
    }
    return false;
}

void raw_close(int fd)
{
    if (fd >= 0) close(fd);
}

bool raw_server_handshake(int fd, std::uint32_t flag, std::uint32_t result)
{
    std::string hello = be32(flag) + std::string(32, '\x5a');
    if (!raw_send(fd, hello)) return false;
    std::string reply = raw_recv_n(fd, flag ? 32 : 4);
    if (reply.empty()) return false;
    return raw_send(fd, be32(result));
}

bool raw_client_handshake(int fd)
{
    if (raw_recv_n(fd, 36).size() != 36) return false;
    if (!raw_send(fd, be32(0))) return false;
    std::string result = raw_recv_n(fd, 4);
    return result.size() == 4 && be32_at(result, 0) == 0;
}

std::string usbip_tool()
{
    for (const char *p : {"/usr/sbin/usbip", "/usr/bin/usbip", "/sbin/usbip"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

ChildProcess::ChildProcess(const std::vector<std::string> &args)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        std::vector<char *> argv;
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    out_ = out[0];
}

ChildProcess::~ChildProcess()
{
    stop();
    if (out_ >= 0) close(out_);
}

std::string ChildProcess::wait_for(const std::string &pattern, int ms)
{
    std::regex re(pattern);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::size_t nl;
        while ((nl = buffer_.find('\n')) != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            output_ += line + "\n";
            std::smatch m;
            if (std::regex_search(line, m, re)) return m.size() > 1 ? m[1].str() : m[0].str();
        }
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[1024];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) break;
        buffer_.append(buf, static_cast<std::size_t>(n));
    }
    ADD_FAILURE() << "no line matching '" << pattern << "' in:\n" << output_ << buffer_;
    return std::string();
}

int ChildProcess::stop(int signal)
{
    if (pid_ <= 0) return status_;
    kill(pid_, signal);
    int st = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &st, 0);
    pid_ = -1;
    status_ = -1;
    return status_;
}

std::string reply_header(std::uint16_t code, std::uint32_t status, std::uint16_t version)
{
    return be16(version) + be16(code) + be32(status);
}

std::string raw_block(const std::string &busid, std::uint32_t speed, std::uint8_t cls, std::uint8_t nif,
                      std::uint16_t vid, std::uint16_t pid)
{
    std::string b(312, '\0');
    std::memcpy(&b[0], "/sys/remote", 11);
    std::memcpy(&b[256], busid.data(), std::min<std::size_t>(busid.size(), 32));
    b.replace(288, 4, be32(7));
    b.replace(292, 4, be32(9));
    b.replace(296, 4, be32(speed));
    b.replace(300, 2, be16(vid));
    b.replace(302, 2, be16(pid));
    b[306] = static_cast<char>(cls);
    b[311] = static_cast<char>(nif);
    return b;
}

std::string hex_of(const std::string &bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::uint32_t be32_at(const std::string &s, std::size_t off)
{
    auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(s[off + i])); };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

std::uint16_t be16_at(const std::string &s, std::size_t off)
{
    return static_cast<std::uint16_t>((static_cast<unsigned char>(s[off]) << 8) |
                                      static_cast<unsigned char>(s[off + 1]));
}

std::string be32(std::uint32_t v)
{
    std::string s(4, '\0');
    s[0] = static_cast<char>(v >> 24);
    s[1] = static_cast<char>(v >> 16);
    s[2] = static_cast<char>(v >> 8);
    s[3] = static_cast<char>(v);
    return s;
}

std::string be16(std::uint16_t v)
{
    std::string s(2, '\0');
    s[0] = static_cast<char>(v >> 8);
    s[1] = static_cast<char>(v);
    return s;
}
