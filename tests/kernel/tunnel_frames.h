// The frames that carry TCP streams over one virtio-serial port between the
// kernel test's guest and its host. A serial port is a single byte stream
// that cannot show where a connection begins or ends, so every stream's
// bytes travel in frames that name it:
//
//   type (1 byte)  connection id (4, big-endian)  length (4, big-endian)  payload
//
// open   the guest accepted a connection on its loopback; the payload is the
//        port (2 bytes, big-endian) it was made to, and the host connects to
//        the same port on its own loopback
// data   bytes of the stream, from whichever side sent the frame
// eof    the sender's side will send no more (its peer shut down writing)
// close  the sender's side is gone (refused, reset or failed): drop it
//
// Pure codec over byte buffers; tunnel_mux.h moves the bytes.
#ifndef HALVOREN_TUNNEL_FRAMES_H
#define HALVOREN_TUNNEL_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tunnel {

enum class FrameType : std::uint8_t { open = 1, data = 2, eof = 3, close = 4 };

inline constexpr std::size_t kFrameHeader = 9;
// A data frame carries at most this much; a longer length is an error.
inline constexpr std::size_t kMaxPayload = 64 * 1024;

struct Frame {
    FrameType type = FrameType::data;
    std::uint32_t id = 0;
    std::string payload;
};

// Appends one frame to `out`.
void encode_frame(std::string &out, FrameType type, std::uint32_t id, const char *data = nullptr,
                  std::size_t len = 0);
void encode_open(std::string &out, std::uint32_t id, std::uint16_t port);

enum class Decoded { frame, need_more, error };

// Takes one frame from the front of `in` (from `*pos` on), advancing `*pos`
// past it; need_more until a whole frame is there; error for an unknown
// type, an oversized length or an open frame without its port.
Decoded decode_frame(const std::string &in, std::size_t *pos, Frame *out);

// The port an open frame names.
std::uint16_t open_port(const Frame &f);

}  // namespace tunnel

#endif
