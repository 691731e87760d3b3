// Helpers shared by the benchmarks: loopback servers written without the
// library, to measure it against.
#ifndef HALVOREN_BENCH_SUPPORT_H
#define HALVOREN_BENCH_SUPPORT_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/platform.h"

// A port that was free a moment ago.
int bench_free_port();

// Starts a service on a port below the range that outgoing connections take
// their ports from (benchmarks that open thousands of connections churn
// through that range), trying a few: start(port) returns 0 on success.
// The port, or 0 when every try failed.
int bench_start_on_free_port(const std::function<int(int)> &start);

// A connection to 127.0.0.1:port from another loopback address (127.0.0.2,
// 127.0.1.7, ...), which stands in for another host; time-outs of
// timeout_s on both directions. -1 when it does not connect.
int bench_connect_from(const char *from, int port, int timeout_s);

// A loopback server on a system-chosen port. Every accepted socket goes to
// `handler`, which owns it: on the accept thread, or on a thread of its own
// per connection (as the library's server does).
class BenchServer {
public:
    explicit BenchServer(std::function<void(plat::socket_t)> handler, bool thread_per_connection = false);
    ~BenchServer();
    int port() const { return port_; }

private:
    std::function<void(plat::socket_t)> handler_;
    bool thread_per_connection_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> live_{0};  // connection threads still running
    std::thread thread_;
};

// Exact-count I/O over a plain socket or a TLS session.
class BenchIo {
public:
    virtual ~BenchIo() = default;
    virtual bool send(const void *data, std::size_t len) = 0;
    virtual bool recv(void *data, std::size_t len) = 0;
};

class PlainIo : public BenchIo {
public:
    explicit PlainIo(plat::socket_t fd) : fd_(fd) {}
    ~PlainIo() override { plat::close(fd_); }
    bool send(const void *data, std::size_t len) override;
    bool recv(void *data, std::size_t len) override;

private:
    plat::socket_t fd_;
};

// Mbed TLS alone as a server: its own RSA-2048 key and self-signed
// certificate, TLS 1.2 with x25519 first, its own socket callbacks.
class BareTls {
public:
    BareTls();
    ~BareTls();
    BareTls(const BareTls &) = delete;
    BareTls &operator=(const BareTls &) = delete;
    // Runs the TLS handshake on fd, then `exchange`; closes fd.
    void serve(plat::socket_t fd, const std::function<void(BenchIo &)> &exchange);

private:
    struct State;
    std::unique_ptr<State> state_;
};

#endif
