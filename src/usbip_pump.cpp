#include "usbip_pump.h"

#include <algorithm>
#include <vector>

namespace {

// What one direction's last attempt on an end waits for.
enum class Wait { none, readable, writable };

Wait wait_of(const usbip_pump_end &e) { return e.wants_write() ? Wait::writable : Wait::readable; }

// One direction: bytes read from `from`, not yet taken by `to`.
struct Direction {
    usbip_pump_end *from;
    usbip_pump_end *to;
    std::vector<unsigned char> buf;
    std::size_t head = 0, tail = 0;  // buf[head, tail) waits for `to`
    bool eof = false;                // `from` ended its stream
    bool shut = false;               // the end was passed on to `to`
    Wait read_wait = Wait::none;     // a read of `from` would block
    Wait write_wait = Wait::none;    // a write to `to` would block (or its half-close)
    std::int64_t waiting_since = 0;  // bytes have waited for `to` since; 0: none wait
    std::uint64_t moved = 0;

    bool done() const { return shut; }
    std::size_t held() const { return tail - head; }
    std::size_t room() const { return buf.size() - tail + head; }
};

enum class Step { ok, failed_from, failed_to };

// Moves what can move now in one direction without waiting. Sets
// `progress` when any byte moved.
Step step(Direction &d, std::int64_t now, bool *progress)
{
    // Read while there is room; compact first so that room is contiguous.
    while (!d.eof && d.room() > 0) {
        if (d.head > 0) {
            std::copy(d.buf.begin() + static_cast<std::ptrdiff_t>(d.head),
                      d.buf.begin() + static_cast<std::ptrdiff_t>(d.tail), d.buf.begin());
            d.tail -= d.head;
            d.head = 0;
        }
        plat::IoError err = plat::IoError::none;
        long n = d.from->recv_some(d.buf.data() + d.tail, d.buf.size() - d.tail, &err);
        if (n > 0) {
            d.tail += static_cast<std::size_t>(n);
            d.read_wait = Wait::none;
            *progress = true;
            continue;
        }
        if (n == 0 || err == plat::IoError::closed) {
            d.eof = true;
            d.read_wait = Wait::none;
            *progress = true;
            break;
        }
        if (err == plat::IoError::would_block) {
            d.read_wait = wait_of(*d.from);
            break;
        }
        return Step::failed_from;
    }
    if (d.room() == 0) d.read_wait = Wait::none;  // not reading: wait for room, not for bytes
    // Write what is held.
    while (d.held() > 0) {
        plat::IoError err = plat::IoError::none;
        long n = d.to->send_some(d.buf.data() + d.head, d.held(), &err);
        if (n > 0) {
            d.head += static_cast<std::size_t>(n);
            d.moved += static_cast<std::uint64_t>(n);
            d.write_wait = Wait::none;
            *progress = true;
            if (d.head == d.tail) d.head = d.tail = 0;
            d.waiting_since = d.held() > 0 ? now : 0;
            continue;
        }
        if (err == plat::IoError::would_block) {
            d.write_wait = wait_of(*d.to);
            if (d.waiting_since == 0) d.waiting_since = now;
            break;
        }
        return Step::failed_to;
    }
    // The end of the stream follows the last byte.
    if (d.eof && d.held() == 0 && !d.shut) {
        plat::IoError err = plat::IoError::none;
        if (d.to->shutdown_send(&err)) {
            d.shut = true;
            d.write_wait = Wait::none;
            *progress = true;
        } else if (err == plat::IoError::would_block) {
            d.write_wait = wait_of(*d.to);
        } else {
            return Step::failed_to;
        }
    }
    return Step::ok;
}

// One poll entry per socket, asking for what any blocked attempt on it
// waits for.
void want(std::vector<plat::PollEntry> &entries, plat::socket_t s, Wait w)
{
    if (w == Wait::none || s == plat::kNoSocket) return;
    auto it = std::find_if(entries.begin(), entries.end(), [s](const plat::PollEntry &e) { return e.s == s; });
    if (it == entries.end()) {
        entries.emplace_back();
        it = std::prev(entries.end());
        it->s = s;
    }
    if (w == Wait::readable) it->want_read = true;
    else it->want_write = true;
}

}  // namespace

const char *usbip_pump_end_text(usbip_pump_end_reason r)
{
    switch (r) {
    case usbip_pump_end_reason::closed: return "closed";
    case usbip_pump_end_reason::failed_a: return "first side failed";
    case usbip_pump_end_reason::failed_b: return "second side failed";
    case usbip_pump_end_reason::idle: return "idle";
    case usbip_pump_end_reason::stalled: return "stalled";
    case usbip_pump_end_reason::stopped: return "stopped";
    }
    return "unknown";
}

usbip_pump_result usbip_pump_run(usbip_pump_end &a, usbip_pump_end &b, const usbip_pump_options &options)
{
    const std::size_t size = std::max<std::size_t>(options.buffer, 1);
    Direction dirs[2];
    dirs[0].from = &a;
    dirs[0].to = &b;
    dirs[1].from = &b;
    dirs[1].to = &a;
    for (Direction &d : dirs) d.buf.resize(size);

    usbip_pump_result result;
    auto note_first_end = [&] {
        if (result.first_to_end != usbip_pump_side::none) return;
        if (dirs[0].eof) result.first_to_end = usbip_pump_side::a;
        else if (dirs[1].eof) result.first_to_end = usbip_pump_side::b;
    };
    auto finish = [&](usbip_pump_end_reason why) {
        result.reason = why;
        result.a_to_b = dirs[0].moved;
        result.b_to_a = dirs[1].moved;
        return result;
    };
    std::int64_t last_byte = plat::monotonic_ms();
    std::vector<plat::PollEntry> entries;
    entries.reserve(3);
    for (;;) {
        if (options.keep_running != nullptr && !options.keep_running->load()) return finish(usbip_pump_end_reason::stopped);
        std::int64_t now = plat::monotonic_ms();
        bool progress = false;
        for (Direction &d : dirs) {
            Step s = step(d, now, &progress);
            if (s == Step::ok) continue;
            const usbip_pump_end *side = s == Step::failed_from ? d.from : d.to;
            return finish(side == &a ? usbip_pump_end_reason::failed_a : usbip_pump_end_reason::failed_b);
        }
        note_first_end();
        if (dirs[0].done() && dirs[1].done()) return finish(usbip_pump_end_reason::closed);
        if (progress) {
            last_byte = now;
            continue;  // try again before waiting: more may move at once
        }

        // Nothing moves now: wait for what the blocked attempts wait for,
        // or for bytes an end already holds, within the limits.
        int timeout = options.slice_ms > 0 ? options.slice_ms : 250;
        if (options.idle_ms > 0) {
            std::int64_t left = last_byte + options.idle_ms - now;
            if (left <= 0) return finish(usbip_pump_end_reason::idle);
            timeout = static_cast<int>(std::min<std::int64_t>(timeout, left));
        }
        for (const Direction &d : dirs) {
            if (options.stall_ms <= 0 || d.waiting_since == 0) continue;
            std::int64_t left = d.waiting_since + options.stall_ms - now;
            if (left <= 0) return finish(usbip_pump_end_reason::stalled);
            timeout = static_cast<int>(std::min<std::int64_t>(timeout, left));
        }
        for (const Direction &d : dirs)
            if (!d.eof && d.room() > 0 && d.from->pending() > 0) timeout = 0;

        entries.clear();
        for (const Direction &d : dirs) {
            if (!d.eof && d.room() > 0) want(entries, d.from->wait_socket(), d.read_wait);
            if (d.held() > 0 || (d.eof && !d.shut)) want(entries, d.to->wait_socket(), d.write_wait);
        }
        if (options.wake_socket != plat::kNoSocket) want(entries, options.wake_socket, Wait::readable);
        if (plat::poll_many(entries.data(), entries.size(), timeout) < 0 && entries.empty()) plat::sleep_ms(timeout);
    }
}
