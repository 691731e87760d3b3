// Forwarding through the relay under load both ways at once: a client
// that keeps bulk OUT and bulk IN URBs of an emulated echo device
// (support/urb_device.h) going, sending and reading at the same time, must
// get its replies steadily: the relay's bridge may slow a direction that
// its reader does not take, never stop both. Runs under umockdev-wrapper.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"
#include "usbip_conn.h"
#include "usbip_protocol.h"
#include "usbip_urb.h"

namespace {

constexpr std::int32_t kChunk = 64 * 1024;

Bytes pattern(std::size_t n, unsigned seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 29 + seed * 101 + i / 509);
    return b;
}

// The commands of one OUT and one IN URB of kChunk bytes each.
Bytes out_and_in(std::uint32_t devid, std::uint32_t seqnum, const Bytes &data)
{
    Bytes bytes;
    for (int k = 0; k < 2; ++k) {
        usbip_urb_message m;
        m.command = USBIP_CMD_SUBMIT;
        usbip_cmd_submit &c = m.cmd_submit;
        c.base.seqnum = seqnum + static_cast<std::uint32_t>(k);
        c.base.devid = devid;
        c.base.direction = k == 0 ? USBIP_DIR_OUT : USBIP_DIR_IN;
        c.base.ep = 1;
        c.transfer_flags = k == 0 ? 0 : USBIP_URB_DIR_IN;
        c.transfer_buffer_length = kChunk;
        if (k == 0) m.data = data;
        usbip_encode_urb_message(bytes, m);
    }
    return bytes;
}

}  // namespace

TEST(RelayLoad, FullDuplexForwardingNeverStalls)
{
    ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
    Testbed bed;
    UrbDevice dev(bed, 4);
    ASSERT_EQ(usbip_init(), 0);
    usbip_server_set_forwarding(1);
    ASSERT_EQ(usbip_server_share("1-4"), 0) << usbip_last_error();
    const int port = free_port();
    ASSERT_EQ(usbip_server_start(port, nullptr, 0), 0) << usbip_last_error();
    {
        LibraryRelay relay;
        const char *code = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
        ASSERT_NE(code, nullptr) << usbip_last_error();

        usbip_conn conn;
        ASSERT_TRUE(connect_by(conn, ServerRoute::to(port, false, relay.port(), code), nullptr));
        usbip_imported imported;
        ASSERT_EQ(usbip_request_import(&conn, "1-4", &imported), 0) << usbip_last_error();
        // Through the relay without TLS: the socket itself, sent on by one
        // thread and read by another.
        const plat::socket_t fd = conn.release_socket();
        plat::Socket owner(fd);

        const int pairs = 192;  // 12 MiB each way
        std::vector<Bytes> sent(static_cast<std::size_t>(pairs));
        std::atomic<bool> sending_ok{true};
        std::thread sender([&] {
            for (int i = 0; i < pairs && sending_ok; ++i) {
                sent[static_cast<std::size_t>(i)] = pattern(kChunk, static_cast<unsigned>(i));
                Bytes bytes = out_and_in(imported.devid(), static_cast<std::uint32_t>(2 * i + 1),
                                         sent[static_cast<std::size_t>(i)]);
                if (!plat::send_all_until(fd, bytes.data(), bytes.size(), plat::monotonic_ms() + 30000))
                    sending_ok = false;
            }
        });

        // The reader takes replies as they come and notes the longest wait
        // between two of them.
        usbip_urb_reader reader = usbip_urb_reader::for_client({}, [](std::uint32_t seqnum) {
            return static_cast<int>(seqnum % 2 == 1 ? USBIP_DIR_OUT : USBIP_DIR_IN);
        });
        Bytes echoed;
        int replies = 0, failures = 0;
        std::int64_t longest_gap = 0, last = plat::monotonic_ms();
        const std::int64_t until = last + 120000;
        std::vector<std::uint8_t> buf(256 * 1024);
        while (replies < 2 * pairs && plat::monotonic_ms() < until) {
            plat::IoError err;
            long n = plat::recv_until(fd, buf.data(), buf.size(), plat::monotonic_ms() + 5000, &err);
            if (n <= 0) break;
            std::size_t at = 0;
            while (at < static_cast<std::size_t>(n)) {
                std::size_t used = 0;
                auto r = reader.feed(buf.data() + at, static_cast<std::size_t>(n) - at, &used);
                at += used;
                ASSERT_NE(r, usbip_urb_reader::result::error);
                if (r != usbip_urb_reader::result::message) continue;
                const usbip_urb_message &m = reader.message();
                const std::int64_t now = plat::monotonic_ms();
                longest_gap = std::max(longest_gap, now - last);
                last = now;
                ++replies;
                if (m.ret_submit.status != 0) ++failures;
                if (m.seqnum() % 2 == 0) echoed.insert(echoed.end(), m.data.begin(), m.data.end());
            }
        }
        sending_ok = sending_ok && replies == 2 * pairs;
        plat::shutdown_both(fd);
        sender.join();
        EXPECT_EQ(replies, 2 * pairs);
        EXPECT_EQ(failures, 0);
        EXPECT_LE(longest_gap, 1000) << "ms between two replies";
        Bytes all;
        for (const Bytes &b : sent) all.insert(all.end(), b.begin(), b.end());
        EXPECT_TRUE(echoed == all) << echoed.size() << " of " << all.size() << " bytes echoed";
        RecordProperty("longest_gap_ms", static_cast<int>(longest_gap));
    }
    usbip_server_set_forwarding(0);
    usbip_cleanup();
}
