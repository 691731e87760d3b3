// The helpers that need no OS header (run_command aside), built on the
// primitives of test_support_posix.cpp and test_support_win32.cpp.
#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#ifdef _WIN32
#define popen _popen  // cmd.exe runs the command
#define pclose _pclose
#else
#include <sys/wait.h>
#endif

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
#ifdef _WIN32
    if (status) *status = st;  // the exit code itself
#else
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
#endif
    return out;
}

int free_port()
{
    // Below the system's range for outgoing connections, so that no
    // connection of a test running beside this one takes the port between
    // this check and the bind that follows. Random, so that tests running
    // at once rarely pick the same one; checked free on every address.
    static std::mt19937 rng(static_cast<unsigned>(std::random_device{}()) * 2654435761u ^
                            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        int port = 20000 + static_cast<int>(rng() % 12000);
        if (port_is_free(port)) return port;
    }
    Listener l;
    return l.port();
}

int raw_connect(int port, int timeout_ms) { return raw_connect_with(nullptr, 0, port, timeout_ms); }

int raw_connect_from(const char *source, int port, int timeout_ms)
{
    return raw_connect_with(source, 0, port, timeout_ms);
}

int raw_connect_small_window(int port, int receive_buffer) { return raw_connect_with(nullptr, receive_buffer, port, 5000); }

bool raw_send(int fd, const std::string &bytes) { return raw_send(fd, bytes.data(), bytes.size()); }

bool raw_recv(int fd, void *data, std::size_t len)
{
    char *p = static_cast<char *>(data);
    while (len > 0) {
        long n = raw_recv_once(fd, p, len);
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
        long n = raw_recv_once(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string raw_recv_line(int fd, std::size_t limit)
{
    std::string line;
    char c;
    while (line.size() < limit && raw_recv_once(fd, &c, 1) == 1) {
        line += c;
        if (c == '\n') break;
    }
    return line;
}

bool raw_wait_closed(int fd, int timeout_ms)
{
    char buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (raw_recv_some(fd, buf, sizeof buf, 100) == 0) return true;
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
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
            if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows consoles end lines so
            output_ += line + "\n";
            std::smatch m;
            if (std::regex_search(line, m, re)) return m.size() > 1 ? m[1].str() : m[0].str();
        }
        if (!read_output(100)) break;
    }
    ADD_FAILURE() << "no line matching '" << pattern << "' in:\n" << output_ << buffer_;
    return std::string();
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

std::string hex_of(const std::uint8_t *bytes, std::size_t len)
{
    return hex_of(std::string(reinterpret_cast<const char *>(bytes), len));
}

int counter_rng(void *state, unsigned char *out, std::size_t len)
{
    auto *n = static_cast<std::uint64_t *>(state);
    for (std::size_t i = 0; i < len; ++i) {
        *n = *n * 6364136223846793005ULL + 1442695040888963407ULL;
        out[i] = static_cast<unsigned char>(*n >> 56);
    }
    return 0;
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
