// Events for the host: what the server and the relay do, as JSON objects in
// one bounded queue that the host reads with usbip_next_event. Posting never
// waits and never fails the caller: an event that finds the queue full is
// dropped and counted, and the host reads the count where the gap is.
// usbip_events.cpp.
#ifndef HALVOREN_USBIP_EVENTS_H
#define HALVOREN_USBIP_EVENTS_H

#include <cstddef>
#include <cstdint>
#include <string>

enum class usbip_level { error, warning, info, debug };

const char *usbip_level_name(usbip_level level);

// One event, built member by member and then posted:
//
//   usbip_event(usbip_level::info, "import").text("peer", peer).text("busid", id).post();
//
// When the queue has no room the builder formats nothing, and post() only
// counts the drop. Never throws: an event that runs out of memory is
// dropped and counted.
class usbip_event {
public:
    usbip_event(usbip_level level, const char *kind) noexcept;
    usbip_event(const usbip_event &) = delete;
    usbip_event &operator=(const usbip_event &) = delete;

    usbip_event &text(const char *key, const char *value) noexcept;
    usbip_event &text(const char *key, const std::string &value) noexcept { return text(key, value.c_str()); }
    usbip_event &number(const char *key, std::int64_t value) noexcept;
    usbip_event &flag(const char *key, bool value) noexcept;
    // A wall-clock time, milliseconds since 1970, as the "time" member shows it.
    usbip_event &time(const char *key, std::int64_t wall_ms) noexcept;
    void post() noexcept;

private:
    // Appends ,"key": and what `append` writes, unless the event is dropped.
    template <typename Append>
    usbip_event &member(const char *key, Append append) noexcept;

    std::string json_;
    bool dropped_ = false;
};

// "2026-01-31T12:00:00.123Z" for milliseconds since 1970 (UTC).
std::string usbip_utc_text(std::int64_t wall_ms);

// The library frame opens the queue at usbip_init and closes it at
// usbip_cleanup; closing wakes every host thread that waits for an event.
// Events already queued stay readable.
void usbip_events_open();
void usbip_events_close();

// The room of the queue (4,096 events unless a test changes it); events
// queued beyond a smaller room stay.
void usbip_events_set_capacity(std::size_t events);
// Forgets every queued event and every count of drops (tests).
void usbip_events_clear();

#endif
