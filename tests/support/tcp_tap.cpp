#include "tcp_tap.h"

#include "test_support.h"
#include "usbip_conn.h"
#include "usbip_pump.h"

namespace {

// A socket as an end of the pump that keeps what it receives.
class RecordingEnd final : public usbip_pump_end {
public:
    RecordingEnd(plat::socket_t s, std::mutex &mutex, std::string &seen) : end_(s), socket_(s), mutex_(mutex), seen_(seen)
    {
    }
    long recv_some(void *data, std::size_t len, plat::IoError *err) override
    {
        long n = end_.recv_some(data, len, err);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.append(static_cast<const char *>(data), static_cast<std::size_t>(n));
        }
        return n;
    }
    long send_some(const void *data, std::size_t len, plat::IoError *err) override
    {
        return end_.send_some(data, len, err);
    }
    bool shutdown_send(plat::IoError *err) override { return end_.shutdown_send(err); }
    plat::socket_t wait_socket() const override { return socket_; }
    bool wants_write() const override { return end_.wants_write(); }

private:
    usbip_socket_end end_;
    plat::socket_t socket_;
    std::mutex &mutex_;
    std::string &seen_;
};

}  // namespace

TcpTap::TcpTap(int target_port) : target_(target_port)
{
    plat::socket_t s = plat::kNoSocket;
    if (plat::listen_tcp(0, 16, &s) != plat::ListenStatus::ok) return;
    listen_.reset(s);
    port_ = plat::local_port(s);
    acceptor_ = std::thread([this] { accept_loop(); });
}

TcpTap::~TcpTap()
{
    running_ = false;
    if (acceptor_.joinable()) acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread &t : carriers_) t.join();
}

std::string TcpTap::seen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

bool TcpTap::idle(int wait_ms)
{
    return wait_until([this] { return active_ == 0; }, wait_ms);
}

void TcpTap::accept_loop()
{
    while (running_) {
        if (plat::wait_readable(listen_.get(), 100) != 1) continue;
        plat::socket_t client = plat::kNoSocket;
        plat::PeerAddress peer;
        if (plat::accept(listen_.get(), &client, &peer) != plat::AcceptStatus::accepted) continue;
        ++active_;
        std::lock_guard<std::mutex> lock(mutex_);
        carriers_.emplace_back([this, client] { carry(client); });
    }
}

void TcpTap::carry(plat::socket_t client)
{
    plat::Socket from(client);
    usbip_conn to;
    if (usbip_conn_connect_deadline(&to, "127.0.0.1", target_) == 0) {
        RecordingEnd a(from.get(), mutex_, seen_), b(to.fd, mutex_, seen_);
        usbip_pump_options options;
        options.idle_ms = 30000;
        options.keep_running = &running_;
        options.slice_ms = 100;
        usbip_pump_run(a, b, options);
    }
    --active_;
}
