// The forwarding engine against a fake device, driven by the input: command
// bytes fed in pieces, transfers finished in any order with any status,
// replies taken in pieces, the device gone, the input ended. Whatever
// happens, the replies must read as a client reads them and answer only
// what was asked, each URB at most once (never both by a RET_SUBMIT and a
// cancelling RET_UNLINK), the device must never hold more than the limit,
// and at the end every transfer comes back.
//
// Input: byte 0 sets the limits (bits 0-1: URBs in flight 1-4; bits 2-3:
// URBs waiting 1-4; bit 4: a small reply limit); then operations, each a
// byte and its arguments:
//   0-2  feed: length byte, then that many command bytes (what the engine
//        does not take is offered again at the next feed)
//   3    finish the oldest waiting transfer: status byte, data length byte
//   4    finish the newest waiting transfer: status byte, data length byte
//   5    hand the finished transfers back
//   6    take replies: byte count / 4 of them
//   7    an event byte: 0 the device goes, 1 the input ends, 2 the device
//        refuses from now on, 3 it accepts again, other: nothing
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <vector>

#include "fake_usb_device.h"
#include "usbip_forward_engine.h"
#include "usbip_urb.h"

namespace {

const std::int32_t kStatuses[] = {0, -USBIP_EPIPE, -USBIP_ECONNRESET, -USBIP_ESHUTDOWN, -USBIP_EOVERFLOW,
                                  -USBIP_EPROTO, -USBIP_ETIMEDOUT, -USBIP_ENOENT};

#define check(x)                                                                         \
    do {                                                                                 \
        if (!(x)) {                                                                      \
            std::fprintf(stderr, "fuzz_forward_engine: %s fails (line %d)\n", #x, __LINE__); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

usbip_urb_limits limits()
{
    usbip_urb_limits l;
    l.max_transfer = 1 << 16;
    l.max_packets = 64;
    return l;
}

// FUZZ_FORWARD_TRACE=1 prints the conversation, for reading a finding.
bool tracing()
{
    static const bool on = std::getenv("FUZZ_FORWARD_TRACE") != nullptr;
    return on;
}

// What the client asked for, read from the bytes the engine took, and the
// replies checked against it. Sequence numbers may be reused once
// answered, so submits are counted per number: every reply (a RET_SUBMIT,
// or a RET_UNLINK that cancelled) answers one of those sent before it.
struct Client {
    struct Unlink {
        std::uint32_t victim;
        std::uint32_t sent_before;  // submits of the victim's number sent before the unlink
    };
    usbip_urb_reader commands = usbip_urb_reader::for_server(limits());
    // Directions of the submits of each number not yet answered, oldest
    // first: replies come in the order the engine took the submits.
    std::map<std::uint32_t, std::deque<std::uint32_t>> directions;
    std::map<std::uint32_t, std::uint32_t> sent;       // submits per seqnum
    std::map<std::uint32_t, std::uint32_t> answered;   // of them answered
    std::multimap<std::uint32_t, Unlink> unlinks;      // by the unlink's seqnum, oldest first
    std::map<std::uint32_t, std::uint32_t> unlink_numbers;  // unlinks sent per seqnum
    usbip_urb_reader replies = usbip_urb_reader::for_client(limits(), [this](std::uint32_t s) {
        auto it = directions.find(s);
        return it == directions.end() || it->second.empty() ? -1 : static_cast<int>(it->second.front());
    });

    void took(const std::uint8_t *p, std::size_t n)
    {
        while (n > 0) {
            std::size_t used = 0;
            auto r = commands.feed(p, n, &used);
            p += used;
            n -= used;
            if (r == usbip_urb_reader::result::error) return;
            if (r != usbip_urb_reader::result::message) continue;
            const usbip_urb_message &m = commands.message();
            if (tracing())
                std::fprintf(stderr, "-> %s %u (%u)\n", m.command == USBIP_CMD_SUBMIT ? "submit" : "unlink",
                             m.seqnum(), m.command == USBIP_CMD_SUBMIT ? m.cmd_submit.base.ep : m.cmd_unlink.unlink_seqnum);
            if (m.command == USBIP_CMD_SUBMIT) {
                directions[m.seqnum()].push_back(m.cmd_submit.base.direction);
                ++sent[m.seqnum()];
            } else {
                const std::uint32_t victim = m.cmd_unlink.unlink_seqnum;
                unlinks.emplace(m.seqnum(), Unlink{victim, sent[victim]});
                ++unlink_numbers[m.seqnum()];
            }
        }
    }

    bool lost = false;

    void received(const usbip_urb_message &m)
    {
        if (lost) return;
        if (tracing())
            std::fprintf(stderr, "<- %s %u status %d\n", m.command == USBIP_RET_SUBMIT ? "ret_submit" : "ret_unlink",
                         m.seqnum(), m.command == USBIP_RET_SUBMIT ? m.ret_submit.status : m.ret_unlink.status);
        if (m.command == USBIP_RET_SUBMIT) {
            check(answered[m.seqnum()] < sent[m.seqnum()]);
            ++answered[m.seqnum()];
            directions[m.seqnum()].pop_front();
            return;
        }
        check(m.command == USBIP_RET_UNLINK);
        auto it = unlinks.find(m.seqnum());
        check(it != unlinks.end());
        const Unlink u = it->second;
        unlinks.erase(it);
        // Two unlinks with one number may be answered in either order: the
        // replies cannot be matched any more, and checking stops.
        if (unlink_numbers[m.seqnum()] > 1) lost = true;
        if (lost) return;
        if (m.ret_unlink.status == -USBIP_ECONNRESET) {
            // Cancelled: that URB gets no RET_SUBMIT, before or after.
            check(answered[u.victim] < u.sent_before);
            ++answered[u.victim];
            directions[u.victim].pop_front();
        } else {
            // Answered already: every URB of that number sent before it has
            // had its reply.
            check(m.ret_unlink.status == 0);
            check(answered[u.victim] >= u.sent_before);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 65536) return 0;
    usbip_forward_engine_options o;
    o.limits = limits();
    o.max_in_flight = 1 + (data[0] & 3);
    o.max_queued = 1 + ((data[0] >> 2) & 3);
    o.max_unsent = (data[0] & 0x10) ? 256 : o.max_unsent;
    o.name = "1-1";
    FakeUsbDevice dev(false);
    usbip_forward_engine engine(dev, o);
    Client client;
    std::vector<std::uint8_t> unsent;  // command bytes the engine has not taken yet

    std::size_t pos = 1;
    auto next = [&]() -> std::uint8_t { return pos < size ? data[pos++] : 0; };
    auto take_replies = [&](std::size_t limit) {
        std::size_t taken = 0;
        while (engine.output_size() > 0 && taken < limit) {
            std::size_t used = 0;
            std::size_t n = std::min(engine.output_size(), limit - taken);
            auto r = client.lost ? usbip_urb_reader::result::more
                                 : client.replies.feed(engine.output(), n, &used);
            check(r != usbip_urb_reader::result::error);
            if (client.lost) used = n;
            engine.consume(used);
            taken += used;
            if (r == usbip_urb_reader::result::message) client.received(client.replies.message());
            if (used == 0) break;
        }
    };
    auto finish_one = [&](bool oldest) {
        std::int32_t status = kStatuses[next() % (sizeof kStatuses / sizeof kStatuses[0])];
        std::vector<std::uint8_t> bytes(next(), 0xa5);
        if (dev.waiting().empty()) return;
        dev.finish(oldest ? *dev.waiting().front() : *dev.waiting().back(), status, bytes);
    };

    while (pos < size) {
        const std::uint8_t op = next() % 8;
        switch (op) {
        case 0:
        case 1:
        case 2: {
            std::size_t n = next();
            for (; n > 0 && pos < size; --n) unsent.push_back(data[pos++]);
            std::size_t took = engine.receive(unsent.data(), unsent.size());
            check(took <= unsent.size());
            client.took(unsent.data(), took);
            unsent.erase(unsent.begin(), unsent.begin() + static_cast<std::ptrdiff_t>(took));
            break;
        }
        case 3: finish_one(true); break;
        case 4: finish_one(false); break;
        case 5: dev.deliver(engine); break;
        case 6: take_replies(std::size_t{next()} * 4); break;
        default:
            switch (next()) {
            case 0: engine.device_gone(); break;
            case 1: engine.end_input(); break;
            case 2: dev.refuse = -USBIP_EBUSY; break;
            case 3: dev.refuse = 0; break;
            default: break;
            }
        }
        check(engine.in_flight() <= static_cast<std::size_t>(o.max_in_flight));
        check(dev.held() == engine.in_flight());
        check(engine.queued() <= o.max_queued);
    }
    // The end: every transfer comes back, and what was answered reads whole.
    dev.deliver(engine);
    take_replies(SIZE_MAX);
    engine.cancel_all();
    dev.deliver(engine);
    check(engine.in_flight() == 0 && dev.held() == 0);
    take_replies(SIZE_MAX);
    return 0;
}
