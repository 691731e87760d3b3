// Limits that keep one peer from costing others their service: failures of
// one kind from one address cost time, and requests of one address for one
// code come at a bounded rate. Pure bookkeeping: the caller gives the clock,
// so that the rules are tested without waiting.
#ifndef HALVOREN_USBIP_LIMITS_H
#define HALVOREN_USBIP_LIMITS_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

// The first `free_failures` failures of an address within `window_ms` are
// answered as usual; then the address is refused for a period that starts
// at `first_ms` and doubles with every further failure up to `max_ms`. A
// success clears the address, and so does a quiet window.
class usbip_failure_backoff {
public:
    struct Policy {
        int free_failures = 5;
        std::int64_t window_ms = 60000;
        std::int64_t first_ms = 1000;
        std::int64_t max_ms = 60000;
        std::size_t capacity = 4096;  // addresses remembered at once
    };
    usbip_failure_backoff() : usbip_failure_backoff(Policy{}) {}
    explicit usbip_failure_backoff(const Policy &policy) : policy_(policy) {}

    // How long the address stays refused from `now`; 0 when it is not.
    std::int64_t refused_for(const plat::PeerAddress &peer, std::int64_t now);
    bool refused(const plat::PeerAddress &peer, std::int64_t now) { return refused_for(peer, now) > 0; }
    void failed(const plat::PeerAddress &peer, std::int64_t now);
    void succeeded(const plat::PeerAddress &peer);
    // Forgets every address (a restart of the service).
    void clear();

private:
    struct Record {
        std::int64_t window_start = 0;
        std::int64_t last_failure = 0;
        std::int64_t refused_until = 0;
        std::int64_t period = 0;  // the last refusal's length; 0 before the first
        int failures = 0;         // in the current window
    };
    bool stale(const Record &r, std::int64_t now) const;
    void make_room(std::int64_t now);

    const Policy policy_;
    std::mutex mutex_;  // guards records_
    std::unordered_map<plat::PeerAddress, Record, plat::PeerAddressHash> records_;
};

// A token bucket per key: `burst` requests at once, then one more for every
// `refill_ms` that passes.
class usbip_rate_limit {
public:
    usbip_rate_limit(int burst, std::int64_t refill_ms, std::size_t capacity = 4096)
        : burst_(burst), refill_ms_(refill_ms), capacity_(capacity)
    {
    }
    // Takes one token; false when the key has none left.
    bool take(const std::string &key, std::int64_t now);
    void clear();

private:
    struct Bucket {
        std::int64_t stamp = 0;  // tokens were `tokens` at this moment
        int tokens = 0;
    };
    const int burst_;
    const std::int64_t refill_ms_;
    const std::size_t capacity_;
    std::mutex mutex_;  // guards buckets_
    std::unordered_map<std::string, Bucket> buckets_;
};

#endif
