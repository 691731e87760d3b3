#include "tunnel_mux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tunnel {

namespace {

constexpr int kPollMs = 200;
constexpr std::size_t kReadChunk = 16 * 1024;

long long monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Drops the sent front of a queue once it is most of it.
void compact(std::string &buf, std::size_t &pos)
{
    if (pos == buf.size()) {
        buf.clear();
        pos = 0;
    } else if (pos > (1u << 16) && pos > buf.size() / 2) {
        buf.erase(0, pos);
        pos = 0;
    }
}

}  // namespace

Mux::~Mux()
{
    for (auto &entry : conns_) ::close(entry.second.fd);
    for (const Listener &l : listeners_) ::close(l.fd);
}

void Mux::add_listener(int fd, std::uint16_t port) { listeners_.push_back({fd, port}); }

void Mux::drop(std::uint32_t id, bool tell)
{
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    ::close(it->second.fd);
    conns_.erase(it);
    if (tell) encode_frame(out_, FrameType::close, id);
}

void Mux::accept_from(const Listener &l)
{
    int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::uint32_t id = next_id_++;
    conns_[id].fd = fd;
    encode_open(out_, id, l.port);
}

bool Mux::on_frame(const Frame &f)
{
    auto it = conns_.find(f.id);
    switch (f.type) {
    case FrameType::open: {
        if (it != conns_.end()) return false;  // an id in use: the ends disagree
        int fd = connect_ ? connect_(open_port(f)) : -1;
        if (fd < 0) {
            encode_frame(out_, FrameType::close, f.id);
            return true;
        }
        Conn &c = conns_[f.id];
        c.fd = fd;
        c.connecting = true;
        c.connect_until = monotonic_ms() + kConnectMs;
        return true;
    }
    case FrameType::data:
        // Bytes for a connection dropped here already: its close frame is
        // on its way to the other end.
        if (it == conns_.end() || it->second.peer_eof) return true;
        it->second.out += f.payload;
        if (it->second.out.size() - it->second.out_pos > kConnectionCap) drop(f.id, true);
        return true;
    case FrameType::eof:
        if (it != conns_.end()) it->second.peer_eof = true;
        return true;
    case FrameType::close:
        if (it != conns_.end()) drop(f.id, false);
        return true;
    }
    return false;
}

bool Mux::service(std::uint32_t id, Conn &c, short revents)
{
    if (c.connecting) {
        if (revents & (POLLOUT | POLLERR | POLLHUP)) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
            c.connecting = false;
        } else {
            return monotonic_ms() < c.connect_until;
        }
    }
    if (c.reading && (revents & (POLLIN | POLLHUP | POLLERR)) && out_.size() - out_pos_ < kPortHighWater) {
        char buf[kReadChunk];
        ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            encode_frame(out_, FrameType::data, id, buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            c.reading = false;
            encode_frame(out_, FrameType::eof, id);
        } else if (!would_block(errno)) {
            return false;
        }
    }
    if (c.out_pos < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
        if (n > 0) c.out_pos += static_cast<std::size_t>(n);
        else if (n < 0 && !would_block(errno)) return false;
        compact(c.out, c.out_pos);
    } else if (!c.reading && (revents & (POLLHUP | POLLERR)) && !c.peer_eof) {
        return false;  // gone both ways here while the other side still writes
    }
    if (c.peer_eof && c.out_pos == c.out.size() && !c.shut) {
        ::shutdown(c.fd, SHUT_WR);
        c.shut = true;
    }
    return true;
}

bool Mux::read_port(std::string *why)
{
    char buf[64 * 1024];
    ssize_t n = ::read(port_, buf, sizeof buf);
    if (n == 0) {
        *why = "the serial port ended";
        return false;
    }
    if (n < 0) {
        if (would_block(errno)) return true;
        *why = std::string("reading the serial port failed: ") + std::strerror(errno);
        return false;
    }
    in_.append(buf, static_cast<std::size_t>(n));
    Frame f;
    for (;;) {
        Decoded d = decode_frame(in_, &in_pos_, &f);
        if (d == Decoded::need_more) break;
        if (d == Decoded::error || !on_frame(f)) {
            *why = "the other end sent a frame that makes no sense";
            return false;
        }
    }
    compact(in_, in_pos_);
    return true;
}

bool Mux::write_port(std::string *why)
{
    ssize_t n = ::write(port_, out_.data() + out_pos_, out_.size() - out_pos_);
    if (n < 0 && !would_block(errno)) {
        *why = std::string("writing the serial port failed: ") + std::strerror(errno);
        return false;
    }
    if (n > 0) out_pos_ += static_cast<std::size_t>(n);
    compact(out_, out_pos_);
    return true;
}

std::string Mux::run(const std::atomic<bool> *stop)
{
    std::string why;
    std::vector<pollfd> fds;
    std::vector<std::uint32_t> ids;
    while (stop == nullptr || !*stop) {
        fds.clear();
        ids.clear();
        fds.push_back({port_, static_cast<short>(POLLIN | (out_pos_ < out_.size() ? POLLOUT : 0)), 0});
        for (const Listener &l : listeners_) fds.push_back({l.fd, POLLIN, 0});
        const bool port_has_room = out_.size() - out_pos_ < kPortHighWater;
        for (auto &entry : conns_) {
            const Conn &c = entry.second;
            short events = 0;
            if (c.connecting || c.out_pos < c.out.size()) events |= POLLOUT;
            if (!c.connecting && c.reading && port_has_room) events |= POLLIN;
            fds.push_back({c.fd, events, 0});
            ids.push_back(entry.first);
        }
        if (::poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR)
            return std::string("poll failed: ") + std::strerror(errno);

        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !read_port(&why)) return why;
        for (std::size_t i = 0; i < listeners_.size(); ++i)
            if (fds[1 + i].revents & POLLIN) accept_from(listeners_[i]);
        const std::size_t first = 1 + listeners_.size();
        for (std::size_t i = 0; i < ids.size(); ++i) {
            auto it = conns_.find(ids[i]);  // a frame may have dropped it since the poll
            if (it == conns_.end() || it->second.fd != fds[first + i].fd) continue;
            Conn &c = it->second;
            if (!service(ids[i], c, fds[first + i].revents)) drop(ids[i], true);
            else if (!c.reading && c.shut) drop(ids[i], false);  // ended both ways, on both sides
        }
        if (out_pos_ < out_.size() && !write_port(&why)) return why;
        open_ = conns_.size();
    }
    return "stopped";
}

}  // namespace tunnel
