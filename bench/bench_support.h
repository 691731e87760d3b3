// Helpers shared by the benchmarks.
#ifndef HALVOREN_BENCH_SUPPORT_H
#define HALVOREN_BENCH_SUPPORT_H

#include <atomic>
#include <functional>
#include <thread>

#include "platform/platform.h"

// A loopback server on a system-chosen port that hands every accepted
// socket to `handler` on its accept thread; the handler owns the socket.
class BenchServer {
public:
    explicit BenchServer(std::function<void(plat::socket_t)> handler);
    ~BenchServer();
    int port() const { return port_; }

private:
    std::function<void(plat::socket_t)> handler_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

#endif
