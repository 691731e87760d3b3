// Events for the host: one bounded queue of JSON objects, filled by the
// library's threads and read by the host's.
#include "usbip_events.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "halvoren_usbip.h"
#include "platform/platform.h"
#include "usbip_device.h"
#include "usbip_frame.h"

namespace {

constexpr std::size_t kDefaultCapacity = 4096;

// Everything the queue keeps, in one place. Allocated once and never
// destroyed: library threads may post while a host that exits without
// cleanup tears its statics down.
struct EventQueue {
    // Guards events, open and epoch. Posters hold it only to append a
    // formatted text; nothing inside it waits but the reader's condition.
    std::mutex mutex;
    std::condition_variable ready;  // an event came, or the queue closed
    std::deque<std::string> events;
    bool open = false;         // between usbip_init and usbip_cleanup
    std::uint64_t epoch = 0;   // raised by every close: waiters leave
    std::atomic<std::size_t> capacity{kDefaultCapacity};
    // Set while the queue holds its capacity, so that an event that would be
    // dropped is not formatted first. Read without the lock.
    std::atomic<bool> full{false};
    // Events dropped since the last report of drops; the report goes into
    // the queue before the next event that finds room, or is handed to a
    // reader that finds the queue empty.
    std::atomic<std::uint64_t> dropped{0};
};

EventQueue &queue()
{
    static EventQueue *q = new EventQueue();
    return *q;
}

thread_local std::string tls_event_json;

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void civil_from_days(std::int64_t z, std::int64_t *y, unsigned *m, unsigned *d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

void append_time(std::string &out, std::int64_t wall_ms)
{
    out += '"';
    out += usbip_utc_text(wall_ms);
    out += '"';
}

std::string dropped_report(std::uint64_t count)
{
    // Built by hand: the builder would count itself as dropped while the
    // queue is full, which is exactly when a report is due.
    std::string json = "{\"time\":";
    append_time(json, plat::wall_ms());
    json += ",\"level\":\"warning\",\"kind\":\"events_dropped\",\"count\":";
    json += std::to_string(count);
    json += '}';
    return json;
}

// Posts a finished text; under no lock.
void enqueue(std::string &&json)
{
    EventQueue &q = queue();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        const std::size_t capacity = q.capacity;
        if (q.events.size() >= capacity) {
            q.full = true;
            ++q.dropped;
            return;
        }
        // The drops happened before this event: their report goes first, in
        // the one place beyond the capacity that a report may take.
        if (std::uint64_t lost = q.dropped.exchange(0); lost > 0) q.events.push_back(dropped_report(lost));
        q.events.push_back(std::move(json));
        q.full = q.events.size() >= capacity;
    }
    // Woken after the unlock, the reader finds the lock free instead of
    // waking only to wait for it. The queue outlives every poster.
    q.ready.notify_one();
}

}  // namespace

const char *usbip_level_name(usbip_level level)
{
    switch (level) {
    case usbip_level::error: return "error";
    case usbip_level::warning: return "warning";
    case usbip_level::info: return "info";
    case usbip_level::debug: return "debug";
    }
    return "info";
}

std::string usbip_utc_text(std::int64_t wall_ms)
{
    std::int64_t days = wall_ms / 86400000, ms_of_day = wall_ms % 86400000;
    if (ms_of_day < 0) {
        ms_of_day += 86400000;
        --days;
    }
    std::int64_t y;
    unsigned m, d;
    civil_from_days(days, &y, &m, &d);
    const auto s = static_cast<unsigned>(ms_of_day / 1000);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", static_cast<long long>(y), m, d,
                  s / 3600, s / 60 % 60, s % 60, static_cast<unsigned>(ms_of_day % 1000));
    return text;
}

usbip_event::usbip_event(usbip_level level, const char *kind) noexcept
{
    if (queue().full.load(std::memory_order_relaxed)) {
        dropped_ = true;
        return;
    }
    try {
        json_.reserve(256);
        json_ = "{\"time\":";
        append_time(json_, plat::wall_ms());
        json_ += ",\"level\":\"";
        json_ += usbip_level_name(level);
        json_ += "\",\"kind\":\"";
        json_ += kind;  // the library's own names: nothing to escape
        json_ += '"';
    } catch (...) {
        dropped_ = true;
    }
}

template <typename Append>
usbip_event &usbip_event::member(const char *key, Append append) noexcept
{
    if (dropped_) return *this;
    try {
        json_ += ",\"";
        json_ += key;
        json_ += "\":";
        append(json_);
    } catch (...) {
        dropped_ = true;
    }
    return *this;
}

usbip_event &usbip_event::text(const char *key, const char *value) noexcept
{
    return member(key, [value](std::string &out) {
        out += '"';
        // Text from peers (bus ids, relay lines) is escaped like every result.
        usbip_json_escape(out, value != nullptr ? value : "", 1024);
        out += '"';
    });
}

usbip_event &usbip_event::number(const char *key, std::int64_t value) noexcept
{
    return member(key, [value](std::string &out) { out += std::to_string(value); });
}

usbip_event &usbip_event::flag(const char *key, bool value) noexcept
{
    return member(key, [value](std::string &out) { out += value ? "true" : "false"; });
}

usbip_event &usbip_event::time(const char *key, std::int64_t wall_ms) noexcept
{
    return member(key, [wall_ms](std::string &out) { append_time(out, wall_ms); });
}

void usbip_event::post() noexcept
{
    if (dropped_) {
        ++queue().dropped;
        return;
    }
    try {
        json_ += '}';
        enqueue(std::move(json_));
    } catch (...) {
        ++queue().dropped;
    }
    dropped_ = true;  // posted once
}

void usbip_events_open()
{
    EventQueue &q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.open = true;
}

void usbip_events_close()
{
    EventQueue &q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.open = false;
    ++q.epoch;
    q.ready.notify_all();
}

void usbip_events_set_capacity(std::size_t events)
{
    EventQueue &q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.capacity = events > 0 ? events : kDefaultCapacity;
    q.full = q.events.size() >= q.capacity;
}

void usbip_events_clear()
{
    EventQueue &q = queue();
    std::lock_guard<std::mutex> lock(q.mutex);
    q.events.clear();
    q.dropped = 0;
    q.full = false;
}

extern "C" {

USBIP_API const char *usbip_next_event(int timeout_ms)
{
    return usbip_guard<const char *>(nullptr, [timeout_ms]() -> const char * {
        EventQueue &q = queue();
        std::unique_lock<std::mutex> lock(q.mutex);
        const std::uint64_t epoch = q.epoch;
        auto arrived = [&q, epoch] { return !q.events.empty() || q.dropped > 0 || q.epoch != epoch || !q.open; };
        // Only a started library posts events: waiting for one otherwise
        // would wait for good.
        if (timeout_ms < 0 && q.open)
            q.ready.wait(lock, arrived);
        else if (timeout_ms > 0 && q.open)
            q.ready.wait_for(lock, std::chrono::milliseconds(timeout_ms), arrived);
        if (q.events.empty()) {
            // Drops after the last queued event are reported when the reader
            // has taken everything before them.
            std::uint64_t lost = q.dropped.exchange(0);
            if (lost == 0) return nullptr;
            tls_event_json = dropped_report(lost);
            return tls_event_json.c_str();
        }
        tls_event_json.swap(q.events.front());
        q.events.pop_front();
        q.full = q.events.size() >= q.capacity;
        return tls_event_json.c_str();
    });
}

}  // extern "C"
