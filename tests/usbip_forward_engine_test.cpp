// The forwarding engine without sockets, threads or USB: command bytes in,
// reply bytes out, over a fake device whose transfers the test finishes
// (support/fake_usb_device.h). The umockdev suites (usbip_forward_test and
// usbip_server_forward_test) run the same engine over real libusb.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_usb_device.h"
#include "usbip_forward_engine.h"
#include "usbip_urb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kDevid = 0x00010001;

Bytes setup(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index, std::uint16_t length)
{
    return {type, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
}

struct Submit {
    std::uint32_t direction = USBIP_DIR_IN;
    std::uint32_t ep = 0;
    std::int32_t length = 0;  // IN: bytes asked for
    Bytes data;               // OUT: the bytes
    Bytes setup = Bytes(8, 0);
    std::uint32_t flags = 0;
    std::vector<usbip_iso_packet> packets;
    std::uint32_t devid = kDevid;
};

Submit control_in(const Bytes &s)
{
    Submit c;
    c.setup = s;
    c.length = s[6] | s[7] << 8;
    return c;
}

Submit on(std::uint32_t ep, std::uint32_t direction, std::int32_t length)
{
    Submit s;
    s.ep = ep;
    s.direction = direction;
    if (direction == USBIP_DIR_OUT) s.data.assign(static_cast<std::size_t>(length), 0x5a);
    else s.length = length;
    return s;
}

// The client: encodes commands as Linux's client does and reads the
// engine's replies back.
class Engine : public ::testing::Test {
protected:
    void SetUp() override { make(); }

    void make(usbip_forward_engine_options o = {})
    {
        o.name = "1-4";
        engine_.reset();
        engine_ = std::make_unique<usbip_forward_engine>(dev_, o);
    }

    Bytes encode(const Submit &s, std::uint32_t seqnum)
    {
        usbip_urb_message m;
        m.command = USBIP_CMD_SUBMIT;
        usbip_cmd_submit &c = m.cmd_submit;
        c.base.seqnum = seqnum;
        c.base.devid = s.devid;
        c.base.direction = s.direction;
        c.base.ep = s.ep;
        c.transfer_flags = s.flags | (s.direction == USBIP_DIR_IN ? USBIP_URB_DIR_IN : 0);
        c.transfer_buffer_length = s.direction == USBIP_DIR_OUT ? static_cast<std::int32_t>(s.data.size()) : s.length;
        c.number_of_packets = s.packets.empty() ? 0 : static_cast<std::uint32_t>(s.packets.size());
        std::memcpy(c.setup, s.setup.data(), 8);
        m.data = s.data;
        m.packets = s.packets;
        directions_[seqnum] = s.direction;
        Bytes bytes;
        usbip_encode_urb_message(bytes, m);
        return bytes;
    }
    Bytes encode_unlink(std::uint32_t victim, std::uint32_t seqnum)
    {
        usbip_urb_message m;
        m.command = USBIP_CMD_UNLINK;
        m.cmd_unlink.base.seqnum = seqnum;
        m.cmd_unlink.base.devid = kDevid;
        m.cmd_unlink.unlink_seqnum = victim;
        Bytes bytes;
        usbip_encode_urb_message(bytes, m);
        return bytes;
    }

    // Feeds bytes that the engine must take whole.
    void feed(const Bytes &bytes)
    {
        EXPECT_EQ(engine_->receive(bytes.data(), bytes.size()), bytes.size());
    }
    std::uint32_t submit(const Submit &s)
    {
        feed(encode(s, next_));
        return next_++;
    }
    std::uint32_t unlink(std::uint32_t victim)
    {
        feed(encode_unlink(victim, next_));
        return next_++;
    }

    // Hands the finished transfers back and reads every reply there is.
    std::vector<usbip_urb_message> replies()
    {
        dev_.deliver(*engine_);
        std::vector<usbip_urb_message> out;
        while (engine_->output_size() > 0) {
            std::size_t used = 0;
            auto r = reader_.feed(engine_->output(), engine_->output_size(), &used);
            engine_->consume(used);
            EXPECT_NE(r, usbip_urb_reader::result::error) << usbip_urb_error_text(reader_.error());
            if (r != usbip_urb_reader::result::message) break;
            out.push_back(reader_.message());
            dev_.deliver(*engine_);
        }
        return out;
    }
    usbip_urb_message reply()
    {
        std::vector<usbip_urb_message> r = replies();
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? usbip_urb_message{} : r[0];
    }

    // The engine's end: every transfer back, nothing held.
    void finish()
    {
        engine_->cancel_all();
        dev_.deliver(*engine_);
        EXPECT_EQ(engine_->in_flight(), 0u);
        EXPECT_EQ(dev_.held(), 0u);
    }

    FakeUsbDevice dev_;
    std::unique_ptr<usbip_forward_engine> engine_;
    std::map<std::uint32_t, std::uint32_t> directions_;
    usbip_urb_reader reader_ = usbip_urb_reader::for_client({}, [this](std::uint32_t seqnum) {
        auto it = directions_.find(seqnum);
        return it == directions_.end() ? -1 : static_cast<int>(it->second);
    });
    std::uint32_t next_ = 1;
};

std::string hex(const Bytes &b)
{
    std::string s;
    char x[3];
    for (std::uint8_t c : b) {
        std::snprintf(x, sizeof x, "%02x", c);
        s += x;
    }
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Traffic

TEST_F(Engine, ControlBulkEchoAndInterrupt)
{
    std::uint32_t s = submit(control_in(setup(0x80, 6, 0x0100, 0, 18)));
    usbip_urb_message m = reply();
    EXPECT_EQ(m.command, USBIP_RET_SUBMIT);
    EXPECT_EQ(m.seqnum(), s);
    EXPECT_EQ(m.ret_submit.status, 0);
    EXPECT_EQ(m.ret_submit.actual_length, 18);
    EXPECT_EQ(hex(m.data), "120100020000004009120100000101020301");
    // A stall comes back as -EPIPE, without data.
    m = (submit(control_in(setup(0x80, 6, 0x0300, 0, 255))), reply());
    EXPECT_EQ(m.ret_submit.status, -USBIP_EPIPE);
    EXPECT_TRUE(m.data.empty());

    // Bulk OUT then IN: the echo, an IN shorter than asked for.
    Submit out = on(1, USBIP_DIR_OUT, 0);
    out.data = {1, 2, 3, 4, 5};
    submit(out);
    EXPECT_EQ(reply().ret_submit.actual_length, 5);
    s = submit(on(1, USBIP_DIR_IN, 512));
    m = reply();
    EXPECT_EQ(m.seqnum(), s);
    EXPECT_EQ(hex(m.data), "0102030405");

    // An interrupt IN waits for its device; its data comes back with it.
    s = submit(on(2, USBIP_DIR_IN, 64));
    EXPECT_TRUE(replies().empty());
    ASSERT_NE(dev_.waiting_on(0x82), nullptr);
    dev_.finish(*dev_.waiting_on(0x82), 0, {0xa1, 0xb2});
    m = reply();
    EXPECT_EQ(m.seqnum(), s);
    EXPECT_EQ(hex(m.data), "a1b2");
    // Short where short is not allowed: -EREMOTEIO, with the data.
    Submit strict = on(2, USBIP_DIR_IN, 64);
    strict.flags = USBIP_URB_SHORT_NOT_OK;
    submit(strict);
    dev_.finish(*dev_.waiting_on(0x82), 0, {7});
    m = reply();
    EXPECT_EQ(m.ret_submit.status, -USBIP_EREMOTEIO);
    EXPECT_EQ(hex(m.data), "07");
    // A zero-length packet asked for reaches the device.
    out.flags = USBIP_URB_ZERO_PACKET;
    submit(out);
    EXPECT_EQ(dev_.events.back(), "submit 0x01 zlp");
    ASSERT_EQ(replies().size(), 1u);
    finish();
}

// Isochronous packets: IN data comes back packed with the client's offsets
// and each packet's own result; OUT packets leave the gaps behind.
TEST_F(Engine, IsochronousPacketsKeepTheClientsOffsets)
{
    Submit in;
    in.ep = 3;
    in.length = 3000;
    in.packets = {{0, 1000, 0, 0}, {1024, 1000, 0, 0}, {2048, 952, 0, 0}};
    // Only in alternate setting 1: refused before, with its packets echoed.
    submit(in);
    usbip_urb_message m = reply();
    EXPECT_EQ(m.ret_submit.status, -USBIP_EPIPE);
    EXPECT_EQ(m.ret_submit.number_of_packets, 3u);
    EXPECT_EQ(m.ret_submit.error_count, 3);
    ASSERT_EQ(m.packets.size(), 3u);
    EXPECT_EQ(m.packets[2].offset, 2048u);
    EXPECT_EQ(m.packets[2].status, -USBIP_EPIPE);

    submit(control_in(setup(0x01, 11, 1, 1, 0)));  // SET_INTERFACE 1, alternate 1
    EXPECT_EQ(reply().ret_submit.status, 0);
    submit(in);
    m = reply();
    EXPECT_EQ(m.ret_submit.status, 0);
    EXPECT_EQ(m.ret_submit.actual_length, 2952);
    ASSERT_EQ(m.packets.size(), 3u);
    Bytes spread(3000, 0);
    ASSERT_TRUE(usbip_iso_unpack(spread.data(), spread.size(), m.data.data(), m.data.size(), m.packets));
    // The fake numbers IN bytes by their place in the packed buffer.
    EXPECT_EQ(spread[1024], static_cast<std::uint8_t>(1000));
    EXPECT_EQ(spread[2048 + 951], static_cast<std::uint8_t>(2951));

    Submit out;
    out.direction = USBIP_DIR_OUT;
    out.ep = 3;
    out.data.resize(64);
    for (std::size_t i = 0; i < 64; ++i) out.data[i] = static_cast<std::uint8_t>(i);
    out.packets = {{0, 8, 0, 0}, {16, 8, 0, 0}, {40, 24, 0, 0}};
    submit(out);
    m = reply();
    EXPECT_EQ(m.ret_submit.actual_length, 40);
    EXPECT_TRUE(m.data.empty());
    finish();
}

// URBs the engine cannot start are answered at once, in order with the
// rest, with the status that says why; their packets come back.
TEST_F(Engine, RefusedUrbsAreAnsweredAtOnce)
{
    struct Case {
        const char *name;
        Submit submit;
        std::int32_t device_refuses;
        std::int32_t status;
    };
    Submit iso_on_bulk = on(1, USBIP_DIR_IN, 100);
    iso_on_bulk.packets = {{0, 50, 0, 0}, {50, 50, 0, 0}};
    Submit long_setup = control_in(setup(0x80, 6, 0x0100, 0, 18));
    long_setup.length = 64;
    Submit wrong_direction = control_in(setup(0x00, 0x42, 0, 0, 4));
    const Case cases[] = {
        {"an endpoint the device lacks", on(5, USBIP_DIR_IN, 8), 0, -USBIP_EPIPE},
        {"packets on a bulk endpoint", iso_on_bulk, 0, -USBIP_EINVAL},
        {"a setup length that is not the buffer's", long_setup, 0, -USBIP_EINVAL},
        {"a setup direction that is not the URB's", wrong_direction, 0, -USBIP_EINVAL},
        {"a device that refuses the transfer", on(1, USBIP_DIR_IN, 8), -USBIP_EBUSY, -USBIP_EBUSY},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        dev_.refuse = k.device_refuses;
        std::uint32_t s = submit(k.submit);
        usbip_urb_message m = reply();
        EXPECT_EQ(m.seqnum(), s);
        EXPECT_EQ(m.ret_submit.status, k.status);
        EXPECT_EQ(m.ret_submit.actual_length, 0);
        EXPECT_EQ(m.packets.size(), k.submit.packets.size());
        EXPECT_FALSE(engine_->failed());
    }
    dev_.refuse = 0;
    finish();
}

// The standard requests that change the device's state reach it through
// their own calls, never as control transfers; a new address never does.
TEST_F(Engine, StandardRequestsGoThroughTheirCalls)
{
    struct Case {
        Bytes setup;
        const char *event;  // null: nothing reaches the device
    } cases[] = {
        {setup(0x00, 5, 7, 0, 0), nullptr},
        {setup(0x00, 9, 1, 0, 0), "set_configuration 1"},
        {setup(0x01, 11, 1, 1, 0), "set_interface 1 1"},
        {setup(0x02, 1, 0, 0x81, 0), "clear_halt 0x81"},
    };
    for (const auto &k : cases) {
        dev_.events.clear();
        Submit s = control_in(k.setup);
        s.direction = USBIP_DIR_OUT;
        submit(s);
        EXPECT_EQ(reply().ret_submit.status, 0);
        EXPECT_EQ(dev_.events, k.event ? std::vector<std::string>{k.event} : std::vector<std::string>{});
    }
    // What the device answers is the reply's status.
    dev_.refuse = -USBIP_EPIPE;
    Submit s = control_in(setup(0x02, 1, 0, 0x81, 0));
    s.direction = USBIP_DIR_OUT;
    submit(s);
    EXPECT_EQ(reply().ret_submit.status, -USBIP_EPIPE);
    dev_.refuse = 0;
    // Unconfigured, only the control endpoint is left.
    s.setup = setup(0x00, 9, 0, 0, 0);
    submit(s);
    EXPECT_EQ(reply().ret_submit.status, 0);
    submit(on(1, USBIP_DIR_OUT, 4));
    EXPECT_EQ(reply().ret_submit.status, -USBIP_EPIPE);
    finish();
}

// ---------------------------------------------------------------------------
// Unlinks

TEST_F(Engine, UnlinksOfEveryKind)
{
    // Waiting at the device: cancelled; RET_UNLINK -ECONNRESET and never a
    // RET_SUBMIT.
    std::uint32_t victim = submit(on(2, USBIP_DIR_IN, 64));
    std::uint32_t u = unlink(victim);
    EXPECT_EQ(dev_.events.back(), "cancel 0x82");
    usbip_urb_message m = reply();
    EXPECT_EQ(m.command, USBIP_RET_UNLINK);
    EXPECT_EQ(m.seqnum(), u);
    EXPECT_EQ(m.ret_unlink.status, -USBIP_ECONNRESET);

    // Finished before the unlink came, but not yet handed back: its reply
    // first, then RET_UNLINK 0.
    victim = submit(on(2, USBIP_DIR_IN, 64));
    dev_.finish(*dev_.waiting_on(0x82), 0, {1});
    u = unlink(victim);
    std::vector<usbip_urb_message> r = replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].command, USBIP_RET_SUBMIT);
    EXPECT_EQ(r[0].seqnum(), victim);
    EXPECT_EQ(r[1].command, USBIP_RET_UNLINK);
    EXPECT_EQ(r[1].seqnum(), u);
    EXPECT_EQ(r[1].ret_unlink.status, 0);

    // Answered already, or never seen: RET_UNLINK 0 at once.
    for (std::uint32_t gone : {victim, 999u}) {
        u = unlink(gone);
        m = reply();
        EXPECT_EQ(m.command, USBIP_RET_UNLINK);
        EXPECT_EQ(m.seqnum(), u);
        EXPECT_EQ(m.ret_unlink.status, 0);
    }

    // Twice the same victim breaks the protocol.
    victim = submit(on(2, USBIP_DIR_IN, 64));
    dev_.waiting().clear();  // the device sits on the cancel
    unlink(victim);
    unlink(victim);
    EXPECT_TRUE(engine_->failed());
    EXPECT_EQ(engine_->error(),
              "USB/IP URB phase on device '1-4': URB " + std::to_string(victim) + " is being unlinked already");
}

// The limit of URBs at the device never stops the engine from reading:
// 32 interrupt URBs on an idle endpoint, more behind them, and then
// unlinks of all of them are read and answered at once, those that waited
// in the engine without ever reaching the device.
TEST_F(Engine, UnlinksAreAnsweredWhateverIsInFlight)
{
    std::vector<std::uint32_t> urbs;
    for (int i = 0; i < 40; ++i) urbs.push_back(submit(on(2, USBIP_DIR_IN, 8)));
    EXPECT_EQ(engine_->in_flight(), 32u);
    EXPECT_EQ(engine_->queued(), 8u);
    EXPECT_EQ(dev_.held(), 32u);
    EXPECT_TRUE(engine_->want_read());
    std::map<std::uint32_t, std::uint32_t> unlinks;  // unlink seqnum -> victim
    for (std::uint32_t v : urbs) unlinks[unlink(v)] = v;
    std::vector<usbip_urb_message> r = replies();
    ASSERT_EQ(r.size(), 40u);
    for (const usbip_urb_message &m : r) {
        EXPECT_EQ(m.command, USBIP_RET_UNLINK);
        EXPECT_EQ(m.ret_unlink.status, -USBIP_ECONNRESET);
        EXPECT_EQ(unlinks.erase(m.seqnum()), 1u);
    }
    EXPECT_EQ(engine_->in_flight(), 0u);
    EXPECT_EQ(dev_.max_held, 32u);  // the 8 behind never reached the device
    finish();
}

// ---------------------------------------------------------------------------
// Limits

TEST_F(Engine, UrbsWaitInOrderBehindTheLimits)
{
    usbip_forward_engine_options o;
    o.max_in_flight = 2;
    o.max_queued = 3;
    make(o);
    for (int i = 0; i < 5; ++i) submit(on(2, USBIP_DIR_IN, 8));
    EXPECT_EQ(dev_.held(), 2u);
    EXPECT_EQ(engine_->queued(), 3u);
    // The queue is full: the next command waits with the client.
    Bytes sixth = encode(on(2, USBIP_DIR_IN, 8), next_);
    EXPECT_FALSE(engine_->want_read());
    EXPECT_EQ(engine_->receive(sixth.data(), sixth.size()), 0u);
    // Each URB that finishes lets the next one start, in order.
    dev_.finish(*dev_.waiting_on(0x82), 0, {1});
    usbip_urb_message m = reply();
    EXPECT_EQ(m.seqnum(), 1u);
    EXPECT_TRUE(engine_->want_read());
    feed(sixth);
    ++next_;
    for (std::uint32_t expect = 2; expect <= 6; ++expect) {
        ASSERT_NE(dev_.waiting_on(0x82), nullptr) << expect;
        EXPECT_LE(dev_.held(), 2u);
        dev_.finish(*dev_.waiting_on(0x82), 0, {static_cast<std::uint8_t>(expect)});
        m = reply();
        EXPECT_EQ(m.seqnum(), expect);
        EXPECT_EQ(m.data, Bytes{static_cast<std::uint8_t>(expect)});
    }
    finish();
}

// Replies the client has not taken hold back new URBs and, above the
// limit, new commands; taking them lets both go on.
TEST_F(Engine, UntakenRepliesHoldBackNewUrbs)
{
    usbip_forward_engine_options o;
    o.max_unsent = 100;
    make(o);
    Submit out = on(1, USBIP_DIR_OUT, 10);
    submit(on(1, USBIP_DIR_IN, 200));  // reads back what the OUT writes
    Submit big = on(1, USBIP_DIR_OUT, 150);
    submit(big);
    dev_.deliver(*engine_);
    // 48 + 150 bytes of the IN's reply wait: nothing more starts or is read.
    EXPECT_GE(engine_->output_size(), 100u);
    EXPECT_FALSE(engine_->want_read());
    std::size_t before = dev_.events.size();
    Bytes next = encode(out, next_);
    EXPECT_EQ(engine_->receive(next.data(), next.size()), 0u);
    EXPECT_EQ(dev_.events.size(), before);
    std::vector<usbip_urb_message> r = replies();
    EXPECT_EQ(r.size(), 2u);
    EXPECT_TRUE(engine_->want_read());
    submit(out);
    EXPECT_EQ(replies().size(), 1u);
    finish();
}

// ---------------------------------------------------------------------------
// Bad input and the end

TEST_F(Engine, CommandsThatBreakTheProtocolFailTheEngine)
{
    struct Case {
        const char *name;
        Bytes bytes;
        const char *message;
    };
    Submit other_device = on(2, USBIP_DIR_IN, 8);
    other_device.devid = 0x00010004;
    Bytes absurd(48, 0);
    absurd[3] = 1;
    absurd[11] = 1;
    absurd[9] = 1;  // devid 0x00010001
    absurd[24] = 0x7f;  // transfer_buffer_length 0x7f000000
    Bytes unknown = absurd;
    unknown[3] = 9;
    const Case cases[] = {
        {"another device", encode(other_device, 1), "a command for device 0x00010004, not the imported 0x00010001"},
        {"a sequence number in flight", [&] {
             Bytes b = encode(on(2, USBIP_DIR_IN, 8), 7);
             Bytes again = encode(on(2, USBIP_DIR_IN, 8), 7);
             b.insert(b.end(), again.begin(), again.end());
             return b;
         }(),
         "sequence number 7 is in flight already"},
        {"an absurd length", absurd, "transfer length out of range"},
        {"an unknown command", unknown, "unknown command"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        make();
        engine_->receive(k.bytes.data(), k.bytes.size());
        EXPECT_TRUE(engine_->failed());
        EXPECT_EQ(engine_->failure(), usbip_forward_end::protocol_error);
        EXPECT_EQ(engine_->error(), std::string("USB/IP URB phase on device '1-4': ") + k.message);
        EXPECT_FALSE(engine_->want_read());
        EXPECT_EQ(engine_->output_size(), 0u);
        finish();
    }
}

// A device that goes (a transfer or a call says so, or its owner does)
// fails the engine, which answers nothing more.
TEST_F(Engine, DeviceThatGoesFailsTheEngine)
{
    enum class How { transfer, submit, call, owner };
    for (How how : {How::transfer, How::submit, How::call, How::owner}) {
        make();
        submit(on(2, USBIP_DIR_IN, 8));
        switch (how) {
        case How::transfer: dev_.finish(*dev_.waiting_on(0x82), -USBIP_ESHUTDOWN); break;
        case How::submit: dev_.refuse = -USBIP_ESHUTDOWN; submit(on(1, USBIP_DIR_IN, 8)); break;
        case How::call: dev_.refuse = -USBIP_ESHUTDOWN; submit(control_in(setup(0x02, 1, 0, 0x81, 0))); break;
        case How::owner: engine_->device_gone(); break;
        }
        dev_.refuse = 0;
        EXPECT_TRUE(replies().empty());
        EXPECT_TRUE(engine_->failed());
        EXPECT_EQ(engine_->failure(), usbip_forward_end::device_gone);
        EXPECT_EQ(engine_->error(), "Device '1-4' is gone");
        finish();
    }
}

// Once the client has stopped sending, nothing more is answered or
// started, and the output ends when what was ready has been taken.
TEST_F(Engine, EndOfInput)
{
    usbip_forward_engine_options o;
    o.max_in_flight = 1;
    make(o);
    submit(on(2, USBIP_DIR_IN, 8));
    submit(on(2, USBIP_DIR_IN, 8));  // waits in the engine
    submit(control_in(setup(0x80, 6, 0x0100, 0, 18)));
    dev_.finish(*dev_.waiting_on(0x82), 0, {1});
    dev_.deliver(*engine_);
    const std::size_t ready = engine_->output_size();
    EXPECT_GT(ready, 0u);
    engine_->end_input();
    EXPECT_FALSE(engine_->want_read());
    EXPECT_EQ(engine_->queued(), 0u);
    EXPECT_FALSE(engine_->output_ended());
    EXPECT_EQ(replies().size(), 1u);
    EXPECT_TRUE(engine_->output_ended());
    // The second had started; its result is no longer answered.
    ASSERT_NE(dev_.waiting_on(0x82), nullptr);
    dev_.finish(*dev_.waiting_on(0x82), 0, {2});
    EXPECT_TRUE(replies().empty());
    EXPECT_TRUE(engine_->output_ended());
    EXPECT_EQ(dev_.events.back(), "submit 0x82");  // the control transfer never started
    EXPECT_FALSE(engine_->failed());
    finish();
}

// The bytes of a command may come in any pieces: one byte at a time gives
// the same replies as all at once.
TEST_F(Engine, PiecesOfAnySize)
{
    Submit out = on(1, USBIP_DIR_OUT, 0);
    out.data = {9, 8, 7};
    Bytes stream = encode(control_in(setup(0x80, 6, 0x0100, 0, 18)), 1);
    for (const Bytes &b : {encode(out, 2), encode(on(1, USBIP_DIR_IN, 16), 3), encode(on(2, USBIP_DIR_IN, 8), 4),
                           encode_unlink(4, 5)})
        stream.insert(stream.end(), b.begin(), b.end());
    std::string whole;
    for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{47}}) {
        make();
        std::size_t fed = 0;
        while (fed < stream.size()) {
            std::size_t n = std::min(piece, stream.size() - fed);
            ASSERT_EQ(engine_->receive(stream.data() + fed, n), n);
            fed += n;
            dev_.deliver(*engine_);
        }
        std::string got(reinterpret_cast<const char *>(engine_->output()), engine_->output_size());
        engine_->consume(engine_->output_size());
        if (piece == stream.size()) whole = got;
        EXPECT_EQ(got, whole) << "pieces of " << piece;
        EXPECT_EQ(got.size(), 4 * 48u + 18 + 3);  // the unlinked URB has no RET_SUBMIT
        finish();
    }
}
