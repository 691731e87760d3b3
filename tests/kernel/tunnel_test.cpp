// The kernel test's stream tunnel on its own: two ends over a socket pair
// standing in for the virtio-serial port, on this machine's loopback.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "test_support.h"
#include "tunnel_mux.h"
#include "tunnel_sockets.h"

namespace {

constexpr std::uint16_t kAnnounced = 4000;  // the port the guest's end says a connection was made to
constexpr std::uint16_t kRefused = 4001;    // one the host's end does not carry

std::string random_bytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

// A guest's end and a host's end joined by a socket pair, each on a thread.
class TunnelPair {
public:
    explicit TunnelPair(int service_port)
    {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, serial_), 0);
        guest_ = std::make_unique<tunnel::Mux>(serial_[0]);
        host_ = std::make_unique<tunnel::Mux>(serial_[1]);
        for (std::uint16_t announced : {kAnnounced, kRefused}) {
            int port = 0;
            int fd = tunnel::listen_loopback(0, &port);
            EXPECT_GE(fd, 0);
            guest_->add_listener(fd, announced);
            (announced == kAnnounced ? carried_port_ : refused_port_) = port;
        }
        host_->set_connector([service_port](std::uint16_t to) {
            return to == kAnnounced ? tunnel::connect_loopback(static_cast<std::uint16_t>(service_port)) : -1;
        });
        threads_[0] = std::thread([this] { guest_->run(&stop_); });
        threads_[1] = std::thread([this] { host_->run(&stop_); });
    }
    ~TunnelPair()
    {
        stop();
        ::close(serial_[0]);
        ::close(serial_[1]);
    }
    void stop()
    {
        stop_ = true;
        for (std::thread &t : threads_)
            if (t.joinable()) t.join();
    }
    int carried_port() const { return carried_port_; }
    int refused_port() const { return refused_port_; }
    std::size_t open_connections() const { return guest_->connections() + host_->connections(); }

private:
    int serial_[2] = {-1, -1};
    std::unique_ptr<tunnel::Mux> guest_, host_;
    std::atomic<bool> stop_{false};
    std::thread threads_[2];
    int carried_port_ = 0, refused_port_ = 0;
};

}  // namespace

// Bytes both ways, in order and whole; a client's end of writing reaches
// the server as an end, and the server's answer after it still comes back;
// when both have closed, neither end keeps the connection.
TEST(Tunnel, CarriesStreamsWithTheirEnds)
{
    Listener service;
    TunnelPair tunnel(service.port());
    Fd client(raw_connect(tunnel.carried_port()));
    ASSERT_GE(client, 0);
    Fd server(service.accept_one(5000));
    ASSERT_GE(server, 0);
    set_socket_timeouts(server, 5000);

    const std::string up = random_bytes(3 << 20, 1), down = random_bytes(2 << 20, 2);
    std::thread sender([&] { EXPECT_TRUE(raw_send(client, up)); });
    EXPECT_EQ(raw_recv_n(server, up.size()) == up, true);
    sender.join();
    sender = std::thread([&] { EXPECT_TRUE(raw_send(server, down)); });
    EXPECT_EQ(raw_recv_n(client, down.size()) == down, true);
    sender.join();

    raw_shutdown_send(client);
    EXPECT_TRUE(raw_wait_closed(server, 5000)) << "the end of the client's writing did not arrive";
    EXPECT_TRUE(raw_send(server, std::string("after the end")));
    EXPECT_EQ(raw_recv_n(client, 13), "after the end");
    server.close();
    EXPECT_TRUE(raw_wait_closed(client, 5000));
    client.close();
    EXPECT_TRUE(wait_until([&] { return tunnel.open_connections() == 0; }, 5000)) << tunnel.open_connections();
}

// A connection the host's end does not carry is closed on the guest's side
// at once; the tunnel goes on carrying the others.
TEST(Tunnel, RefusedConnectionEndsAndOthersGoOn)
{
    Listener service;
    TunnelPair tunnel(service.port());
    Fd refused(raw_connect(tunnel.refused_port()));
    ASSERT_GE(refused, 0);
    EXPECT_TRUE(raw_wait_closed(refused, 5000));

    Fd client(raw_connect(tunnel.carried_port()));
    Fd server(service.accept_one(5000));
    ASSERT_GE(server, 0);
    set_socket_timeouts(server, 5000);
    EXPECT_TRUE(raw_send(client, std::string("still carried")));
    EXPECT_EQ(raw_recv_n(server, 13), "still carried");
}
