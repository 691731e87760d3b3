#include "tunnel_frames.h"

namespace tunnel {

namespace {

void put32(std::string &out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
}

std::uint32_t get32(const std::string &in, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<std::uint8_t>(in[at + i]);
    return v;
}

}  // namespace

void encode_frame(std::string &out, FrameType type, std::uint32_t id, const char *data, std::size_t len)
{
    out.push_back(static_cast<char>(type));
    put32(out, id);
    put32(out, static_cast<std::uint32_t>(len));
    if (len > 0) out.append(data, len);
}

void encode_open(std::string &out, std::uint32_t id, std::uint16_t port)
{
    const char bytes[2] = {static_cast<char>(port >> 8), static_cast<char>(port & 0xff)};
    encode_frame(out, FrameType::open, id, bytes, sizeof bytes);
}

Decoded decode_frame(const std::string &in, std::size_t *pos, Frame *out)
{
    const std::size_t at = *pos;
    if (in.size() - at < kFrameHeader) return Decoded::need_more;
    const auto type = static_cast<std::uint8_t>(in[at]);
    if (type < static_cast<std::uint8_t>(FrameType::open) || type > static_cast<std::uint8_t>(FrameType::close))
        return Decoded::error;
    const std::uint32_t len = get32(in, at + 5);
    if (len > kMaxPayload) return Decoded::error;
    if (static_cast<FrameType>(type) == FrameType::open && len != 2) return Decoded::error;
    if (in.size() - at - kFrameHeader < len) return Decoded::need_more;
    out->type = static_cast<FrameType>(type);
    out->id = get32(in, at + 1);
    out->payload.assign(in, at + kFrameHeader, len);
    *pos = at + kFrameHeader + len;
    return Decoded::frame;
}

std::uint16_t open_port(const Frame &f)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(f.payload[0]) << 8 |
                                      static_cast<std::uint8_t>(f.payload[1]));
}

}  // namespace tunnel
