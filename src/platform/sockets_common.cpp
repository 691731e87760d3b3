// The parts of the platform layer that POSIX sockets and Winsock 2 spell
// alike: resolving names, addresses as text, the port a socket is bound to.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstring>

#include "platform/platform_internal.h"

namespace plat {

namespace {

#ifdef _WIN32
SOCKET native(socket_t s) { return static_cast<SOCKET>(s); }
#else
int native(socket_t s) { return static_cast<int>(s); }
#endif

}  // namespace

bool resolve(const char *host, int port, std::vector<Address> &out)
{
    out.clear();
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) return false;
    for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(Address::bytes)) continue;
        Address a;
        a.family = ai->ai_family;
        a.socktype = ai->ai_socktype;
        a.protocol = ai->ai_protocol;
        a.length = static_cast<std::uint32_t>(ai->ai_addrlen);
        std::memcpy(a.bytes, ai->ai_addr, ai->ai_addrlen);
        out.push_back(a);
    }
    ::freeaddrinfo(list);
    return true;
}

PeerAddress peer_from_sockaddr(const void *storage)
{
    const auto &ss = *static_cast<const sockaddr_storage *>(storage);
    PeerAddress a;
    if (ss.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
        a.size = 4;
        std::memcpy(a.bytes, &in->sin_addr, 4);
    } else if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            a.size = 4;
            std::memcpy(a.bytes, in6->sin6_addr.s6_addr + 12, 4);
        } else {
            a.size = 16;
            std::memcpy(a.bytes, in6->sin6_addr.s6_addr, 16);
        }
    }
    return a;
}

std::string PeerAddress::text() const
{
    char buf[INET6_ADDRSTRLEN] = {};
    if (size == 4) ::inet_ntop(AF_INET, bytes, buf, sizeof buf);
    else if (size == 16) ::inet_ntop(AF_INET6, bytes, buf, sizeof buf);
    return buf;
}

bool PeerAddress::parse(const char *text, PeerAddress *out)
{
    PeerAddress a;
    if (::inet_pton(AF_INET, text, a.bytes) == 1) {
        a.size = 4;
    } else if (::inet_pton(AF_INET6, text, a.bytes) == 1) {
        a.size = 16;
        static const std::uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(a.bytes, mapped, 12) == 0) {
            std::memmove(a.bytes, a.bytes + 12, 4);
            std::memset(a.bytes + 4, 0, 12);
            a.size = 4;
        }
    } else {
        return false;
    }
    *out = a;
    return true;
}

ListenStatus bind_and_listen(socket_t s, bool v6, std::uint16_t port, int backlog)
{
    int bound;
    if (v6) {
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_any;
        sa.sin6_port = htons(port);
        bound = ::bind(native(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    } else {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        sa.sin_port = htons(port);
        bound = ::bind(native(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    if (bound != 0) return ListenStatus::bind_failed;
    return ::listen(native(s), backlog) == 0 ? ListenStatus::ok : ListenStatus::listen_failed;
}

int local_port(socket_t s)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(native(s), reinterpret_cast<sockaddr *>(&ss), &len) != 0) return -1;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    return -1;
}

}  // namespace plat
