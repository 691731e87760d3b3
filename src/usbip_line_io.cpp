// Lines and bytes on plain sockets, for the relay's line protocol on the
// server, the relay and the client.
#include "usbip_line_io.h"

int usbip_read_line(plat::socket_t s, char *buf, std::size_t size, int wait_ms, std::int64_t deadline_ms)
{
    std::size_t n = 0;
    while (n + 1 < size) {
        // Take a byte that is already there without waiting; wait only when
        // none is, and never beyond the whole line's deadline.
        char c;
        plat::IoError err;
        long got = plat::recv_now(s, &c, 1, &err);
        if (got != 1) {
            if (got == 0 || err != plat::IoError::would_block) return -1;
            std::int64_t byte_deadline = plat::monotonic_ms() + wait_ms;
            if (deadline_ms != 0 && deadline_ms < byte_deadline) byte_deadline = deadline_ms;
            if (plat::recv_until(s, &c, 1, byte_deadline, &err) != 1) return -1;
        }
        if (c == '\r') continue;
        if (c == '\n') break;
        buf[n++] = c;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}

bool usbip_send_line(plat::socket_t s, const std::string &line, int limit_ms)
{
    return plat::send_all_until(s, line.data(), line.size(), plat::monotonic_ms() + limit_ms);
}

bool usbip_send_line_now(plat::socket_t s, const std::string &line)
{
    plat::IoError err;
    return plat::send_now(s, line.data(), line.size(), &err) == static_cast<long>(line.size());
}
