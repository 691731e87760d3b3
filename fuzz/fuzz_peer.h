// The far end of a conversation that has already said everything: a
// connected socket pair whose other end holds the fuzzer's bytes and is
// closed for writing, so that reads end with the input instead of waiting.
#ifndef HALVOREN_FUZZ_PEER_H
#define HALVOREN_FUZZ_PEER_H

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

struct FuzzPeer {
    int near = -1;  // the library's end (non-blocking, as its sockets are)
    int far = -1;

    // Inputs that do not fit the socket buffers are skipped (ok() false).
    FuzzPeer(const std::uint8_t *data, std::size_t size)
    {
        if (size > 60000) return;
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return;
        int big = 1 << 20;
        for (int fd : sv) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        }
        if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
            close(sv[0]);
            close(sv[1]);
            return;
        }
        shutdown(sv[1], SHUT_WR);
        near = sv[0];
        far = sv[1];
    }
    ~FuzzPeer()
    {
        if (far >= 0) close(far);
    }
    FuzzPeer(const FuzzPeer &) = delete;
    FuzzPeer &operator=(const FuzzPeer &) = delete;
    bool ok() const { return near >= 0; }
};

#endif
