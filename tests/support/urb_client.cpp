#include "urb_client.h"

#include <set>

#include "halvoren_usbip.h"

#include "urb_device.h"
#include "usbip_auth.h"
#include "usbip_bytes.h"
#include "usbip_client.h"
#include "usbip_protocol.h"
#include "usbip_tls.h"

namespace {

Bytes first_bytes(const Bytes &b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// Reads descriptors through control transfers: device, configuration (its
// head, then whole), every string; a stall for a string the device lacks
// and for a vendor request with OUT data, which still reaches the device.

}  // namespace

void check_descriptors(UrbClient &c)
{
    struct Case {
        Bytes setup;
        Bytes expected;
    } cases[] = {
        {setup(0x80, 6, 0x0100, 0, 18), UrbDevice::device_descriptor()},
        {setup(0x80, 6, 0x0100, 0, 64), UrbDevice::device_descriptor()},  // a longer buffer: 18 bytes come
        {setup(0x80, 6, 0x0200, 0, 9), first_bytes(UrbDevice::config_descriptor(), 9)},
        {setup(0x80, 6, 0x0200, 0, 71), UrbDevice::config_descriptor()},
        {setup(0x80, 6, 0x0300, 0, 255), UrbDevice::string_descriptor(0)},
        {setup(0x80, 6, 0x0301, 0x0409, 255), UrbDevice::string_descriptor(1)},
        {setup(0x80, 6, 0x0302, 0x0409, 255), UrbDevice::string_descriptor(2)},
        {setup(0x80, 6, 0x0303, 0x0409, 255), UrbDevice::string_descriptor(3)},
    };
    for (const Case &k : cases) {
        usbip_urb_message m = c.control(k.setup);
        EXPECT_EQ(m.ret_submit.status, 0) << hex(k.setup);
        EXPECT_EQ(m.ret_submit.actual_length, static_cast<std::int32_t>(k.expected.size())) << hex(k.setup);
        EXPECT_EQ(hex(m.data), hex(k.expected)) << hex(k.setup);
    }
    usbip_urb_message missing = c.control(setup(0x80, 6, 0x0309, 0x0409, 255));
    EXPECT_EQ(missing.ret_submit.status, -USBIP_EPIPE);
    EXPECT_TRUE(missing.data.empty());
    usbip_urb_message vendor = c.control(setup(0x40, 0x33, 0x1234, 0x0002, 3), {1, 2, 3});
    EXPECT_EQ(vendor.ret_submit.status, -USBIP_EPIPE);
}

void check_bulk_echo(UrbClient &c, std::size_t total, int in_flight)
{
    Bytes sent(total);
    for (std::size_t i = 0; i < total; ++i) sent[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    const std::size_t sizes[] = {16384, 512, 65536, 3000, 1, 40000};
    Bytes got;
    std::size_t queued_out = 0, asked_in = 0;  // OUT bytes submitted; IN bytes asked for and not answered
    std::map<std::uint32_t, std::size_t> outstanding;  // seqnum -> OUT bytes (or 0 for IN)
    std::set<std::uint32_t> ins;
    int turn = 0;
    const std::int64_t until = plat::monotonic_ms() + 60000;
    while (got.size() < total && plat::monotonic_ms() < until) {
        while (static_cast<int>(outstanding.size()) < in_flight) {
            const std::size_t size = sizes[turn++ % 6];
            const bool out_turn = queued_out < total && (turn % 2 == 1 || asked_in + got.size() >= queued_out);
            UrbClient::Submit s;
            s.ep = 1;
            if (out_turn) {
                const std::size_t n = std::min(size, total - queued_out);
                s.direction = USBIP_DIR_OUT;
                s.data.assign(sent.begin() + static_cast<std::ptrdiff_t>(queued_out),
                              sent.begin() + static_cast<std::ptrdiff_t>(queued_out + n));
                queued_out += n;
                outstanding[c.submit(s)] = n;
            } else {
                // Never ask for more than will come: an IN URB waits for bytes.
                const std::size_t n = std::min(size, total - got.size() - asked_in);
                if (n == 0) break;
                s.direction = USBIP_DIR_IN;
                s.length = static_cast<std::int32_t>(n);
                asked_in += n;
                std::uint32_t seqnum = c.submit(s);
                outstanding[seqnum] = n;
                ins.insert(seqnum);
            }
        }
        usbip_urb_message m;
        ASSERT_TRUE(c.next(&m)) << "after " << got.size() << " bytes";
        ASSERT_EQ(m.command, USBIP_RET_SUBMIT);
        auto it = outstanding.find(m.seqnum());
        ASSERT_NE(it, outstanding.end()) << m.seqnum();
        ASSERT_EQ(m.ret_submit.status, 0);
        if (ins.count(m.seqnum()) != 0) {
            ASSERT_GE(it->second, m.data.size());
            ASSERT_GT(m.data.size(), 0u);
            got.insert(got.end(), m.data.begin(), m.data.end());
            asked_in -= it->second;
        } else {
            EXPECT_EQ(m.ret_submit.actual_length, static_cast<std::int32_t>(it->second));
            EXPECT_TRUE(m.data.empty());
        }
        outstanding.erase(it);
    }
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == sent) << "echoed bytes differ";
}

void check_unlink_pending(UrbClient &c, UrbDevice &dev)
{
    UrbClient::Submit s;
    s.ep = 2;
    s.length = 64;
    std::uint32_t victim = c.submit(s);
    ASSERT_TRUE(wait_until([&] { return dev.waiting_interrupts() == 1; }, kUrbWaitMs));
    std::uint32_t unlink = c.unlink(victim);
    usbip_urb_message m = c.reply();
    EXPECT_EQ(m.command, USBIP_RET_UNLINK);
    EXPECT_EQ(m.seqnum(), unlink);
    EXPECT_EQ(m.ret_unlink.status, -USBIP_ECONNRESET);
    EXPECT_EQ(dev.waiting_interrupts(), 0);
    usbip_urb_message next = c.control(setup(0x80, 6, 0x0100, 0, 18));
    EXPECT_EQ(next.ret_submit.status, 0);
}

void check_late_unlinks(UrbClient &c, UrbDevice &dev)
{
    for (bool read_first : {true, false}) {
        SCOPED_TRACE(read_first ? "after the reply was read" : "right behind the completion");
        UrbClient::Submit s;
        s.ep = 2;
        s.length = 8;
        std::uint32_t victim = c.submit(s);
        ASSERT_TRUE(wait_until([&] { return dev.waiting_interrupts() == 1; }, kUrbWaitMs));
        ASSERT_TRUE(dev.complete_interrupt({1, 2}));
        usbip_urb_message first;
        if (read_first) first = c.reply();
        std::uint32_t unlink = c.unlink(victim);
        if (!read_first) first = c.reply();
        EXPECT_EQ(first.command, USBIP_RET_SUBMIT);
        EXPECT_EQ(first.seqnum(), victim);
        EXPECT_EQ(hex(first.data), "0102");
        usbip_urb_message m = c.reply();
        EXPECT_EQ(m.command, USBIP_RET_UNLINK);
        EXPECT_EQ(m.seqnum(), unlink);
        EXPECT_EQ(m.ret_unlink.status, 0);
    }
    std::uint32_t unlink = c.unlink(999);
    usbip_urb_message m = c.reply();
    EXPECT_EQ(m.seqnum(), unlink);
    EXPECT_EQ(m.ret_unlink.status, 0);
}

Bytes urb_header(std::uint32_t command, std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep)
{
    Bytes b(USBIP_URB_HEADER_SIZE, 0);
    usbip_put_be32(b.data(), command);
    usbip_put_be32(b.data() + 4, seqnum);
    usbip_put_be32(b.data() + 8, kImportedDevid);
    usbip_put_be32(b.data() + 12, direction);
    usbip_put_be32(b.data() + 16, ep);
    return b;
}

Bytes submit_header(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep, std::int32_t length,
                    std::uint32_t packets)
{
    Bytes b = urb_header(USBIP_CMD_SUBMIT, seqnum, direction, ep);
    usbip_put_be32(b.data() + 24, static_cast<std::uint32_t>(length));
    usbip_put_be32(b.data() + 32, packets);
    return b;
}

Bytes unlink_of(std::uint32_t seqnum, std::uint32_t victim)
{
    Bytes b = urb_header(USBIP_CMD_UNLINK, seqnum, 0, 0);
    usbip_put_be32(b.data() + 20, victim);
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

void expect_released(UrbDevice &dev)
{
    EXPECT_TRUE(wait_until([&] { return dev.urbs_in_flight() == 0 && !dev.claimed(0) && !dev.claimed(1); }, 5000))
        << dev.urbs_in_flight() << " URBs in flight";
    EXPECT_TRUE(wait_until([&] { return dev.driver_bound(0); }, 5000));
    EXPECT_FALSE(dev.driver_bound(1));
}

bool connect_by(usbip_conn &conn, const ServerRoute &route, const char *password)
{
    if (!route.code.empty()) {
        EXPECT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", route.relay_port), 0) << usbip_last_error();
        EXPECT_EQ(usbip_client_pair_by_code(&conn, route.code.c_str()), 0) << usbip_last_error();
    } else {
        EXPECT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", route.port), 0) << usbip_last_error();
        if (route.tls) {
            EXPECT_EQ(usbip_tls_wrap_client(&conn), 0) << usbip_last_error();
        }
    }
    EXPECT_EQ(usbip_auth_handshake_client(&conn, password), 0) << usbip_last_error();
    return !::testing::Test::HasFailure();
}
