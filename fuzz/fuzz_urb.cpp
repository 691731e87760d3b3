// The URB phase reader on arbitrary bytes, as a server (commands) or a
// client (replies) reads them, fed in pieces of varying size. Every message
// it accepts must encode back to bytes that read as the same message.
//
// Input: byte 0 chooses the side (bit 0: client) and byte 1 the piece
// sizes; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "usbip_urb.h"

namespace {

// The client sent IN URBs with odd sequence numbers, OUT ones with even
// numbers, and nothing at or above 0x10000.
int direction_of(std::uint32_t seqnum)
{
    if (seqnum >= 0x10000) return -1;
    return static_cast<int>(seqnum % 2 == 1 ? USBIP_DIR_IN : USBIP_DIR_OUT);
}

usbip_urb_reader make_reader(bool client)
{
    usbip_urb_limits limits;
    limits.max_transfer = 1 << 16;
    limits.max_packets = 64;
    return client ? usbip_urb_reader::for_client(limits, direction_of) : usbip_urb_reader::for_server(limits);
}

void check_round_trip(bool client, const usbip_urb_message &m)
{
    std::vector<std::uint8_t> bytes;
    usbip_encode_urb_message(bytes, m, direction_of(m.seqnum()) == static_cast<int>(USBIP_DIR_IN));
    usbip_urb_reader again = make_reader(client);
    std::size_t used = 0;
    if (again.feed(bytes.data(), bytes.size(), &used) != usbip_urb_reader::result::message) std::abort();
    if (used != bytes.size()) std::abort();
    const usbip_urb_message &b = again.message();
    std::vector<std::uint8_t> twice;
    usbip_encode_urb_message(twice, b, direction_of(b.seqnum()) == static_cast<int>(USBIP_DIR_IN));
    if (twice != bytes || b.data != m.data || !(b.packets == m.packets)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) return 0;
    const bool client = (data[0] & 1) != 0;
    const std::size_t piece = data[1] == 0 ? size : data[1];
    data += 2;
    size -= 2;
    usbip_urb_reader reader = make_reader(client);
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t len = size - pos < piece ? size - pos : piece;
        std::size_t used = 0;
        auto r = reader.feed(data + pos, len, &used);
        if (used > len) std::abort();
        pos += used;
        if (r == usbip_urb_reader::result::error) break;
        if (r == usbip_urb_reader::result::message) check_round_trip(client, reader.message());
    }
    return 0;
}
