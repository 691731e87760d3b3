// A recording TCP relay for tests: every connection to port() is joined to
// 127.0.0.1:target, and every byte that passes, either way, is kept: what a
// party on the path would see.
#ifndef HALVOREN_TCP_TAP_H
#define HALVOREN_TCP_TAP_H

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"

class TcpTap {
public:
    explicit TcpTap(int target_port);
    ~TcpTap();
    TcpTap(const TcpTap &) = delete;
    TcpTap &operator=(const TcpTap &) = delete;

    int port() const { return port_; }
    // Every byte seen so far, both directions of every connection.
    std::string seen();
    // Waits (at most wait_ms) until every connection so far has ended.
    bool idle(int wait_ms);

private:
    void accept_loop();
    void carry(plat::socket_t client);

    int target_;
    int port_ = 0;
    plat::Socket listen_;
    std::atomic<bool> running_{true};
    std::atomic<int> active_{0};
    std::thread acceptor_;
    std::mutex mutex_;  // guards seen_ and carriers_
    std::string seen_;
    std::list<std::thread> carriers_;
};

#endif
