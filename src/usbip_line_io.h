// Lines on plain sockets, for the relay's conversations. usbip_line_io.cpp.
#ifndef HALVOREN_USBIP_LINE_IO_H
#define HALVOREN_USBIP_LINE_IO_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Reads one line, one byte per receive so that nothing after its LF is
// taken from the socket, waiting at most wait_ms for each byte and never
// beyond deadline_ms (0: none). Stores at most size-1 characters (the rest
// stays on the socket). Returns the count stored, or -1 on time-out, error
// or close.
int usbip_read_line(plat::socket_t s, char *buf, std::size_t size, int wait_ms, std::int64_t deadline_ms = 0);
// Sends the whole line within limit_ms.
bool usbip_send_line(plat::socket_t s, const std::string &line, int limit_ms = 5000);
// Sends the whole line in one attempt that never waits; false when the
// connection did not take all of it (its stream is then broken).
bool usbip_send_line_now(plat::socket_t s, const std::string &line);

#endif
