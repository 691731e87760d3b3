// USB/IP URB phase messages: byte layouts (checked against the examples in
// the Linux kernel's USB/IP documentation), round trips through the reader
// in pieces of every size, and every rejection of the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "usbip_urb.h"

namespace {

std::vector<std::uint8_t> from_hex(const std::string &text)
{
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex(const std::uint8_t *p, std::size_t n) { return hex_of(std::string(reinterpret_cast<const char *>(p), n)); }
std::string hex(const std::vector<std::uint8_t> &v) { return hex(v.data(), v.size()); }

usbip_urb_basic basic(std::uint32_t seqnum, std::uint32_t devid, std::uint32_t direction, std::uint32_t ep)
{
    usbip_urb_basic b;
    b.seqnum = seqnum;
    b.devid = devid;
    b.direction = direction;
    b.ep = ep;
    return b;
}

// The reader's verdict on a whole byte stream.
struct ReadResult {
    std::vector<usbip_urb_message> messages;
    usbip_urb_error error = usbip_urb_error::none;
    std::size_t used = 0;             // bytes taken in all
    bool ended_between_messages = false;
};

// Feeds `bytes` in pieces of `piece` bytes (0: all at once).
ReadResult read_all(usbip_urb_reader reader, const std::vector<std::uint8_t> &bytes, std::size_t piece = 0)
{
    ReadResult r;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t len = piece == 0 ? bytes.size() - pos : std::min(piece, bytes.size() - pos);
        std::size_t used = 0;
        auto res = reader.feed(bytes.data() + pos, len, &used);
        pos += used;
        if (res == usbip_urb_reader::result::error) {
            r.error = reader.error();
            break;
        }
        if (res == usbip_urb_reader::result::message) r.messages.push_back(reader.message());
    }
    r.used = pos;
    r.ended_between_messages = reader.between_messages();
    return r;
}

usbip_urb_reader server_reader(usbip_urb_limits limits = {}) { return usbip_urb_reader::for_server(limits); }

// A client that sent IN URBs with odd sequence numbers and OUT ones with
// even numbers, and nothing above 1000.
usbip_urb_reader client_reader(usbip_urb_limits limits = {})
{
    return usbip_urb_reader::for_client(limits, [](std::uint32_t seqnum) {
        if (seqnum > 1000) return -1;
        return static_cast<int>(seqnum % 2 == 1 ? USBIP_DIR_IN : USBIP_DIR_OUT);
    });
}

void expect_same(const usbip_urb_message &a, const usbip_urb_message &b)
{
    std::vector<std::uint8_t> ea, eb;
    usbip_encode_urb_message(ea, a);
    usbip_encode_urb_message(eb, b);
    EXPECT_EQ(hex(ea), hex(eb));
    EXPECT_EQ(a.command, b.command);
    EXPECT_EQ(a.data, b.data);
    EXPECT_EQ(a.packets, b.packets);
}

}  // namespace

// ---------------------------------------------------------------------------
// Layouts

// The interrupt exchange printed in the kernel's documentation, field by
// field in both directions.
TEST(UrbLayout, KernelDocumentationExample)
{
    const auto cmd_in = from_hex("00000001 00000d05 0001000f 00000001 00000001 00000200 00000040 ffffffff "
                                 "00000000 00000004 00000000 00000000");
    usbip_cmd_submit c = usbip_decode_cmd_submit(cmd_in.data());
    EXPECT_EQ(c.base.command, USBIP_CMD_SUBMIT);
    EXPECT_EQ(c.base.seqnum, 0xd05u);
    EXPECT_EQ(c.base.devid, 0x1000fu);
    EXPECT_EQ(c.base.direction, USBIP_DIR_IN);
    EXPECT_EQ(c.base.ep, 1u);
    EXPECT_EQ(c.transfer_flags, USBIP_URB_DIR_IN);
    EXPECT_EQ(c.transfer_buffer_length, 64);
    EXPECT_EQ(c.start_frame, -1);
    EXPECT_EQ(c.number_of_packets, 0u);
    EXPECT_EQ(c.interval, 4);
    std::uint8_t again[USBIP_URB_HEADER_SIZE];
    usbip_encode_cmd_submit(again, c);
    EXPECT_EQ(hex(again, sizeof again), hex(cmd_in));

    const auto ret_in = from_hex("00000003 00000d05 00000000 00000000 00000000 00000000 00000040 ffffffff "
                                 "00000000 00000000 00000000 00000000");
    usbip_ret_submit r = usbip_decode_ret_submit(ret_in.data());
    EXPECT_EQ(r.base.command, USBIP_RET_SUBMIT);
    EXPECT_EQ(r.base.seqnum, 0xd05u);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.actual_length, 64);
    EXPECT_EQ(r.start_frame, -1);
    EXPECT_EQ(r.number_of_packets, 0u);
    EXPECT_EQ(r.error_count, 0);
    usbip_encode_ret_submit(again, r);
    EXPECT_EQ(hex(again, sizeof again), hex(ret_in));
}

TEST(UrbLayout, EveryHeaderFieldAtItsOffset)
{
    std::uint8_t out[USBIP_URB_HEADER_SIZE];

    usbip_cmd_submit cs;
    cs.base = basic(0x01020304, 0x00010002, USBIP_DIR_OUT, 0x0f);
    cs.transfer_flags = 0x11223344;
    cs.transfer_buffer_length = 0x55667788;
    cs.start_frame = -2;
    cs.number_of_packets = 0x99aabbcc;
    cs.interval = 0x0ddeeff0;
    const std::uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    std::memcpy(cs.setup, setup, 8);
    usbip_encode_cmd_submit(out, cs);
    EXPECT_EQ(hex(out, sizeof out), "00000001" "01020304" "00010002" "00000000" "0000000f"
                                    "11223344" "55667788" "fffffffe" "99aabbcc" "0ddeeff0" "8006000100001200");

    usbip_ret_submit rs;
    rs.base = basic(7, 0, 0, 0);
    rs.status = -USBIP_EPIPE;
    rs.actual_length = 0x1234;
    rs.start_frame = 9;
    rs.number_of_packets = 3;
    rs.error_count = 1;
    usbip_encode_ret_submit(out, rs);
    EXPECT_EQ(hex(out, sizeof out), "00000003" "00000007" "00000000" "00000000" "00000000"
                                    "ffffffe0" "00001234" "00000009" "00000003" "00000001" "0000000000000000");

    usbip_cmd_unlink cu;
    cu.base = basic(8, 0x00010002, USBIP_DIR_OUT, 0);
    cu.unlink_seqnum = 7;
    usbip_encode_cmd_unlink(out, cu);
    EXPECT_EQ(hex(out, sizeof out), "00000002" "00000008" "00010002" "00000000" "00000000"
                                    "00000007" + std::string(48, '0'));

    usbip_ret_unlink ru;
    ru.base = basic(8, 0, 0, 0);
    ru.status = -USBIP_ECONNRESET;
    usbip_encode_ret_unlink(out, ru);
    EXPECT_EQ(hex(out, sizeof out), "00000004" "00000008" "00000000" "00000000" "00000000"
                                    "ffffff98" + std::string(48, '0'));

    std::uint8_t desc[USBIP_ISO_DESC_SIZE];
    usbip_iso_packet p{0x400, 0x3ff, 0x10, -USBIP_EXDEV};
    usbip_encode_iso_packet(desc, p);
    EXPECT_EQ(hex(desc, sizeof desc), "00000400" "000003ff" "00000010" "ffffffee");
    EXPECT_EQ(usbip_decode_iso_packet(desc), p);
}

// Padding carries nothing: a peer that fills it is read the same.
TEST(UrbLayout, DecodersIgnorePadding)
{
    std::uint8_t out[USBIP_URB_HEADER_SIZE];
    usbip_cmd_unlink cu;
    cu.base = basic(8, 1, 0, 0);
    cu.unlink_seqnum = 5;
    usbip_encode_cmd_unlink(out, cu);
    std::memset(out + 24, 0xaa, 24);
    usbip_cmd_unlink back = usbip_decode_cmd_unlink(out);
    EXPECT_EQ(back.base.seqnum, 8u);
    EXPECT_EQ(back.unlink_seqnum, 5u);
}

// ---------------------------------------------------------------------------
// Round trips through the reader

namespace {

usbip_urb_message control_in()
{
    usbip_urb_message m;
    m.command = USBIP_CMD_SUBMIT;
    m.cmd_submit.base = basic(1, 0x10002, USBIP_DIR_IN, 0);
    m.cmd_submit.transfer_flags = USBIP_URB_DIR_IN;
    m.cmd_submit.transfer_buffer_length = 18;
    const std::uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    std::memcpy(m.cmd_submit.setup, setup, 8);
    return m;
}

usbip_urb_message bulk_out(std::uint32_t seqnum, std::size_t len)
{
    usbip_urb_message m;
    m.command = USBIP_CMD_SUBMIT;
    m.cmd_submit.base = basic(seqnum, 0x10002, USBIP_DIR_OUT, 1);
    m.cmd_submit.transfer_buffer_length = static_cast<std::int32_t>(len);
    for (std::size_t i = 0; i < len; ++i) m.data.push_back(static_cast<std::uint8_t>(i * 7 + seqnum));
    return m;
}

usbip_urb_message iso_out()
{
    usbip_urb_message m;
    m.command = USBIP_CMD_SUBMIT;
    m.cmd_submit.base = basic(4, 0x10002, USBIP_DIR_OUT, 3);
    m.cmd_submit.transfer_flags = USBIP_URB_ISO_ASAP;
    m.cmd_submit.transfer_buffer_length = 64;
    m.cmd_submit.number_of_packets = 3;
    m.cmd_submit.interval = 1;
    m.data.assign(64, 0x5a);
    m.packets = {{0, 16, 0, 0}, {32, 16, 0, 0}, {48, 16, 0, 0}};  // a gap at 16..31
    return m;
}

usbip_urb_message unlink(std::uint32_t seqnum, std::uint32_t victim)
{
    usbip_urb_message m;
    m.command = USBIP_CMD_UNLINK;
    m.cmd_unlink.base = basic(seqnum, 0x10002, USBIP_DIR_OUT, 0);
    m.cmd_unlink.unlink_seqnum = victim;
    return m;
}

usbip_urb_message ret_in(std::uint32_t seqnum, std::size_t len)  // seqnum odd: an IN URB
{
    usbip_urb_message m;
    m.command = USBIP_RET_SUBMIT;
    m.ret_submit.base = basic(seqnum, 0, 0, 0);
    m.ret_submit.actual_length = static_cast<std::int32_t>(len);
    for (std::size_t i = 0; i < len; ++i) m.data.push_back(static_cast<std::uint8_t>(i ^ 0x3c));
    return m;
}

usbip_urb_message ret_iso_in()
{
    usbip_urb_message m;
    m.command = USBIP_RET_SUBMIT;
    m.ret_submit.base = basic(5, 0, 0, 0);
    m.ret_submit.actual_length = 24;
    m.ret_submit.number_of_packets = 3;
    m.ret_submit.error_count = 1;
    m.data.assign(24, 0xc3);
    m.packets = {{0, 16, 16, 0}, {16, 16, 8, 0}, {32, 16, 0, -USBIP_EPROTO}};
    return m;
}

usbip_urb_message ret_unlink(std::uint32_t seqnum, std::int32_t status)
{
    usbip_urb_message m;
    m.command = USBIP_RET_UNLINK;
    m.ret_unlink.base = basic(seqnum, 0, 0, 0);
    m.ret_unlink.status = status;
    return m;
}

}  // namespace

TEST(UrbReader, MessagesSurviveEveryPieceSize)
{
    struct Stream {
        const char *name;
        bool server;
        std::vector<usbip_urb_message> messages;
    } streams[] = {
        {"commands", true, {control_in(), bulk_out(2, 100), bulk_out(6, 0), iso_out(), unlink(8, 2)}},
        {"replies", false, {ret_in(1, 18), ret_in(3, 0), ret_iso_in(), ret_unlink(9, -USBIP_ECONNRESET),
                            ret_in(2, 0)}},
    };
    for (const Stream &s : streams) {
        std::vector<std::uint8_t> bytes;
        for (const auto &m : s.messages) usbip_encode_urb_message(bytes, m, m.seqnum() % 2 == 1);
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{16}, std::size_t{48},
                                  std::size_t{49}, std::size_t{1000}}) {
            SCOPED_TRACE(std::string(s.name) + " in pieces of " + std::to_string(piece));
            ReadResult r = read_all(s.server ? server_reader() : client_reader(), bytes, piece);
            EXPECT_EQ(r.error, usbip_urb_error::none);
            EXPECT_EQ(r.used, bytes.size());
            EXPECT_TRUE(r.ended_between_messages);
            ASSERT_EQ(r.messages.size(), s.messages.size());
            for (std::size_t i = 0; i < s.messages.size(); ++i) expect_same(r.messages[i], s.messages[i]);
        }
    }
}

// A reply to an OUT URB carries no data even when actual_length counts the
// bytes the device took.
TEST(UrbReader, ReplyToOutUrbCarriesNoData)
{
    usbip_urb_message m;
    m.command = USBIP_RET_SUBMIT;
    m.ret_submit.base = basic(2, 0, 0, 0);
    m.ret_submit.actual_length = 512;
    std::vector<std::uint8_t> bytes;
    usbip_encode_urb_message(bytes, m, false);
    ASSERT_EQ(bytes.size(), USBIP_URB_HEADER_SIZE);
    ReadResult r = read_all(client_reader(), bytes);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].ret_submit.actual_length, 512);
    EXPECT_TRUE(r.messages[0].data.empty());
}

// The reader returns after each message, so that a caller can stop taking
// commands when it has enough in flight.
TEST(UrbReader, StopsAfterEachMessage)
{
    std::vector<std::uint8_t> bytes;
    usbip_encode_urb_message(bytes, bulk_out(2, 10));
    usbip_encode_urb_message(bytes, unlink(4, 2));
    usbip_urb_reader reader = server_reader();
    EXPECT_TRUE(reader.between_messages());
    std::size_t used = 0;
    ASSERT_EQ(reader.feed(bytes.data(), 20, &used), usbip_urb_reader::result::more);
    EXPECT_EQ(used, 20u);
    EXPECT_FALSE(reader.between_messages());
    ASSERT_EQ(reader.feed(bytes.data() + 20, bytes.size() - 20, &used), usbip_urb_reader::result::message);
    EXPECT_EQ(used, 48u + 10 - 20);
    EXPECT_TRUE(reader.between_messages());
    EXPECT_EQ(reader.message().cmd_submit.base.seqnum, 2u);
    std::size_t pos = 58;
    ASSERT_EQ(reader.feed(bytes.data() + pos, bytes.size() - pos, &used), usbip_urb_reader::result::message);
    EXPECT_EQ(reader.message().command, USBIP_CMD_UNLINK);
    EXPECT_EQ(reader.message().cmd_unlink.unlink_seqnum, 2u);
}

// Lengths and counts up to the caps pass; the packet descriptors may leave
// gaps but never reach beyond the buffer.
TEST(UrbReader, LimitsAreInclusive)
{
    usbip_urb_limits limits;
    limits.max_transfer = 64;
    limits.max_packets = 4;
    usbip_urb_message m = bulk_out(2, 64);
    std::vector<std::uint8_t> bytes;
    usbip_encode_urb_message(bytes, m);
    EXPECT_EQ(read_all(server_reader(limits), bytes).messages.size(), 1u);

    m = iso_out();
    m.cmd_submit.number_of_packets = 4;
    m.packets = {{0, 16, 0, 0}, {16, 16, 0, 0}, {32, 16, 0, 0}, {48, 16, 0, 0}};
    bytes.clear();
    usbip_encode_urb_message(bytes, m);
    EXPECT_EQ(read_all(server_reader(limits), bytes).messages.size(), 1u);

    // number_of_packets 0 (as Linux's client sends it) and 0xffffffff both
    // mean "not isochronous".
    for (std::uint32_t none : {0u, USBIP_NO_PACKETS}) {
        m = bulk_out(2, 8);
        m.cmd_submit.number_of_packets = none;
        bytes.clear();
        usbip_encode_urb_message(bytes, m);
        ReadResult r = read_all(server_reader(limits), bytes);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_TRUE(r.messages[0].packets.empty());
        EXPECT_EQ(r.used, bytes.size());
    }
}

// Every rejection, and what the reader took before it: never more than the
// header of the message that broke a rule (its data never arrives).
TEST(UrbReader, Rejections)
{
    usbip_urb_limits limits;
    limits.max_transfer = 1024;
    limits.max_packets = 8;
    auto with = [](usbip_urb_message m, auto change) {
        change(m);
        return m;
    };
    struct Case {
        const char *name;
        bool server;
        usbip_urb_message message;
        usbip_urb_error error;
        std::size_t used;
        long command = -1;  // written over the message's command when not -1
    } cases[] = {
        {"reply sent to a server", true, ret_in(1, 4), usbip_urb_error::unknown_command, 48},
        {"unknown command 5", true, unlink(4, 2), usbip_urb_error::unknown_command, 48, 5},
        {"command 0", true, unlink(4, 2), usbip_urb_error::unknown_command, 48, 0},
        {"direction 2", true, with(control_in(), [](auto &m) { m.cmd_submit.base.direction = 2; }),
         usbip_urb_error::bad_direction, 48},
        {"endpoint 16", true, with(bulk_out(2, 4), [](auto &m) { m.cmd_submit.base.ep = 16; }),
         usbip_urb_error::bad_endpoint, 48},
        {"negative length", true, with(control_in(), [](auto &m) { m.cmd_submit.transfer_buffer_length = -1; }),
         usbip_urb_error::too_long, 48},
        {"length above the cap", true, with(bulk_out(2, 1025), [](auto &) {}), usbip_urb_error::too_long, 48},
        {"absurd length", true, with(control_in(), [](auto &m) { m.cmd_submit.transfer_buffer_length = 0x7fffffff; }),
         usbip_urb_error::too_long, 48},
        {"packets above the cap", true, with(iso_out(), [](auto &m) { m.cmd_submit.number_of_packets = 9; }),
         usbip_urb_error::too_many_packets, 48},
        {"negative packet count", true,
         with(iso_out(), [](auto &m) { m.cmd_submit.number_of_packets = 0x80000000u; }),
         usbip_urb_error::too_many_packets, 48},
        {"packet beyond the buffer", true,
         with(iso_out(), [](auto &m) { m.packets[2] = {56, 16, 0, 0}; }), usbip_urb_error::bad_packets,
         48 + 64 + 3 * 16},
        {"offset wraps around", true,
         with(iso_out(), [](auto &m) { m.packets[1] = {0xfffffff0u, 32, 0, 0}; }), usbip_urb_error::bad_packets,
         48 + 64 + 3 * 16},
        {"overlapping packets longer than the buffer", true,
         with(iso_out(), [](auto &m) { m.packets = {{0, 64, 0, 0}, {0, 64, 0, 0}, {0, 64, 0, 0}}; }),
         usbip_urb_error::bad_packets, 48 + 64 + 3 * 16},
        {"command sent to a client", false, control_in(), usbip_urb_error::unknown_command, 48},
        {"reply to an unknown seqnum", false, ret_in(1001, 4), usbip_urb_error::unknown_seqnum, 48},
        {"reply longer than the cap", false, ret_in(1, 1025), usbip_urb_error::too_long, 48},
        {"negative actual length", false, with(ret_in(1, 0), [](auto &m) { m.ret_submit.actual_length = -5; }),
         usbip_urb_error::too_long, 48},
        {"reply with too many packets", false,
         with(ret_iso_in(), [](auto &m) { m.ret_submit.number_of_packets = 100; }),
         usbip_urb_error::too_many_packets, 48},
        {"packet longer in use than in size", false,
         with(ret_iso_in(), [](auto &m) { m.packets[2].actual_length = 17; m.packets[1].actual_length = 0; }),
         usbip_urb_error::bad_packets, 48 + 24 + 3 * 16},
        {"packed data not what the packets say", false,
         with(ret_iso_in(), [](auto &m) { m.packets[1].actual_length = 7; }), usbip_urb_error::bad_packets,
         48 + 24 + 3 * 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> bytes;
        usbip_encode_urb_message(bytes, c.message, c.message.seqnum() % 2 == 1);
        if (c.command >= 0) {
            bytes[2] = static_cast<std::uint8_t>(c.command >> 8);
            bytes[3] = static_cast<std::uint8_t>(c.command);
        }
        bytes.resize(bytes.size() + 100, 0);  // whatever follows is never taken
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
            usbip_urb_reader reader = c.server ? server_reader(limits) : client_reader(limits);
            ReadResult r = read_all(std::move(reader), bytes, piece);
            EXPECT_EQ(r.error, c.error) << usbip_urb_error_text(r.error);
            EXPECT_TRUE(r.messages.empty());
            EXPECT_EQ(r.used, c.used);
        }
    }
}

TEST(UrbReader, StaysFailedAfterAnError)
{
    std::vector<std::uint8_t> bytes;
    usbip_encode_urb_message(bytes, ret_in(1, 4));
    usbip_urb_reader reader = server_reader();
    std::size_t used = 0;
    ASSERT_EQ(reader.feed(bytes.data(), bytes.size(), &used), usbip_urb_reader::result::error);
    bytes.clear();
    usbip_encode_urb_message(bytes, unlink(2, 1));
    EXPECT_EQ(reader.feed(bytes.data(), bytes.size(), &used), usbip_urb_reader::result::error);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(reader.error(), usbip_urb_error::unknown_command);
}

// ---------------------------------------------------------------------------
// Isochronous IN data

TEST(UrbIso, UnpackSpreadsPackedDataToEachOffset)
{
    const std::vector<usbip_iso_packet> packets = {{0, 4, 4, 0}, {8, 4, 2, 0}, {16, 4, 0, -USBIP_EPROTO},
                                                   {20, 4, 3, 0}};
    const std::uint8_t packed[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<std::uint8_t> buffer(24, 0xee);
    ASSERT_TRUE(usbip_iso_unpack(buffer.data(), buffer.size(), packed, sizeof packed, packets));
    EXPECT_EQ(hex(buffer), "01020304eeeeeeee0506eeeeeeeeeeeeeeeeeeee070809ee");

    // Data the packets do not account for, or a packet outside the buffer.
    EXPECT_FALSE(usbip_iso_unpack(buffer.data(), buffer.size(), packed, sizeof packed - 1, packets));
    EXPECT_FALSE(usbip_iso_unpack(buffer.data(), 22, packed, sizeof packed, packets));
}
