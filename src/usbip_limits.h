// Limits that keep peers from costing others their service: failures of one
// kind from one source cost that source time, failures from all sources
// together draw on one budget per service, sources that proved themselves
// recently keep being served, and requests of one source for one code come
// at a bounded rate. Pure bookkeeping: the caller gives the clock, so that
// the rules are tested without waiting.
#ifndef HALVOREN_USBIP_LIMITS_H
#define HALVOREN_USBIP_LIMITS_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

// Where attempts come from, as the limits count them. An IPv4 address
// stands for itself (/32); an IPv6 address for its network, its first
// `ipv6_prefix` bits (64 unless told otherwise), because one host is
// commonly handed a whole /64 and could otherwise change address at every
// try. A session that reached a server through a relay is counted apart
// from direct ones: `route` names the relay registration it came through
// (0: it came directly) and `net` is the address the relay reported for it
// (none when the relay reported none, so that all of them count as one).
struct usbip_source {
    plat::PeerAddress net;
    std::uint8_t prefix = 0;  // bits of `net` that count
    std::uint32_t route = 0;

    bool operator==(const usbip_source &o) const { return net == o.net && prefix == o.prefix && route == o.route; }
    bool operator!=(const usbip_source &o) const { return !(*this == o); }
    bool operator<(const usbip_source &o) const;
    // "127.0.0.2", "2001:db8:1:2::/64", "127.0.0.2 via relay 3".
    std::string text() const;
    // 64 bits that tell sources apart, for tables that take a number.
    std::uint64_t key() const;
};
struct usbip_source_hash {
    std::size_t operator()(const usbip_source &s) const;
};

inline constexpr int USBIP_DEFAULT_IPV6_PREFIX = 64;
usbip_source usbip_source_of(const plat::PeerAddress &peer, int ipv6_prefix = USBIP_DEFAULT_IPV6_PREFIX,
                             std::uint32_t route = 0);

// The first `free_failures` failures of a source within `window_ms` are
// answered as usual; then the source is refused for a period that starts
// at `first_ms` and doubles with every further failure up to `max_ms`. A
// success clears the source, and so does a quiet window.
//
// The table holds `capacity` sources. Only a source that has been quiet for
// a window makes room for a new one: a source with failures in its window,
// refused or not, is never forgotten in favour of a new one, since
// forgetting it would hand it its free failures again. When no place can
// be freed, the table overflows: every source it does not hold is refused,
// until the first source in it has been quiet for a window. So guessers
// with more addresses than the table holds meet refusals sooner, not later.
class usbip_failure_backoff {
public:
    struct Policy {
        int free_failures = 5;
        std::int64_t window_ms = 60000;
        std::int64_t first_ms = 1000;
        std::int64_t max_ms = 60000;
        std::size_t capacity = 4096;  // sources remembered at once
    };
    usbip_failure_backoff() : usbip_failure_backoff(Policy{}) {}
    explicit usbip_failure_backoff(const Policy &policy) : policy_(policy) {}

    // How long the source stays refused from `now`; 0 when it is not.
    std::int64_t refused_for(const usbip_source &source, std::int64_t now);
    bool refused(const usbip_source &source, std::int64_t now) { return refused_for(source, now) > 0; }
    void failed(const usbip_source &source, std::int64_t now);
    void succeeded(const usbip_source &source);
    // Forgets every source (a restart of the service).
    void clear();
    std::size_t size();

private:
    struct Record {
        std::int64_t window_start = 0;
        std::int64_t last_failure = 0;
        std::int64_t refused_until = 0;
        std::int64_t period = 0;  // the last refusal's length; 0 before the first
        int failures = 0;         // in the current window
    };
    bool stale(const Record &r, std::int64_t now) const;
    bool make_room(std::int64_t now);

    const Policy policy_;
    std::mutex mutex_;  // guards records_ and overflow_until_
    std::unordered_map<usbip_source, Record, usbip_source_hash> records_;
    std::int64_t overflow_until_ = 0;  // sources outside the table are refused until then
};

// The failures that all sources of one service may cost it together: room
// for `burst` failures, and room for one more every `refill_ms`. An attempt
// takes its room before its guess is checked and gives it back unless the
// guess was wrong, so that attempts in flight cannot overshoot the budget.
// While no room is left the service refuses new attempts of sources that
// have not proved themselves recently; they are served again as the budget
// recovers.
class usbip_failure_budget {
public:
    struct Policy {
        int burst = 60;
        std::int64_t refill_ms = 2000;
    };
    usbip_failure_budget() : usbip_failure_budget(Policy{}) {}
    explicit usbip_failure_budget(const Policy &policy) : policy_(policy), room_(policy.burst) {}

    // Takes room for one failure; false when none is left.
    bool take(std::int64_t now);
    // Gives back room that an attempt took and did not use.
    void give_back();
    // Room left now.
    int room(std::int64_t now);
    // How long from `now` until there is room again; 0 when there is.
    std::int64_t until_room(std::int64_t now);
    // A new policy, full again (a restart of the service, or a test's periods).
    void reset(const Policy &policy);
    void reset() { reset(policy_); }

private:
    void refill_locked(std::int64_t now);

    std::mutex mutex_;  // guards everything below
    Policy policy_;
    int room_;
    std::int64_t stamp_ = 0;  // room was room_ at this moment (when not full)
};

// The room one attempt took in a budget, for as long as the attempt is not
// settled: given back when the holder goes without spend() (the guess was
// right, or none came), kept when it was spent on a wrong guess. An empty
// hold takes nothing (a trusted source, or no budget).
class usbip_budget_hold {
public:
    usbip_budget_hold() = default;
    // Takes room in `budget`; the hold is empty when there was none.
    usbip_budget_hold(usbip_failure_budget &budget, std::int64_t now)
        : budget_(budget.take(now) ? &budget : nullptr)
    {
    }
    ~usbip_budget_hold()
    {
        if (budget_ != nullptr) budget_->give_back();
    }
    usbip_budget_hold(usbip_budget_hold &&o) noexcept : budget_(o.budget_) { o.budget_ = nullptr; }
    usbip_budget_hold &operator=(usbip_budget_hold &&o) noexcept
    {
        if (this != &o) {
            if (budget_ != nullptr) budget_->give_back();
            budget_ = o.budget_;
            o.budget_ = nullptr;
        }
        return *this;
    }
    usbip_budget_hold(const usbip_budget_hold &) = delete;
    usbip_budget_hold &operator=(const usbip_budget_hold &) = delete;

    bool held() const { return budget_ != nullptr; }
    void spend() { budget_ = nullptr; }

private:
    usbip_failure_budget *budget_ = nullptr;
};

// Keys that succeeded recently (a source that proved a password, a source
// and the code it found): each is remembered for `keep_ms` after its last
// success. When the table is full, the key whose last success is oldest
// goes: a guesser cannot fill it, as only successes enter it.
template <typename Key, typename Hash = std::hash<Key>>
class usbip_recent_successes {
public:
    struct Policy {
        std::int64_t keep_ms = 3600000;
        std::size_t capacity = 4096;
    };
    usbip_recent_successes() : usbip_recent_successes(Policy{}) {}
    explicit usbip_recent_successes(const Policy &policy) : policy_(policy) {}

    void add(const Key &key, std::int64_t now)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = last_.find(key);
        if (it != last_.end()) {
            it->second = now;
            return;
        }
        if (policy_.capacity == 0) return;
        if (last_.size() >= policy_.capacity) {
            auto oldest = last_.begin();
            for (auto i = last_.begin(); i != last_.end(); ++i)
                if (i->second < oldest->second) oldest = i;
            last_.erase(oldest);
        }
        last_.emplace(key, now);
    }
    bool contains(const Key &key, std::int64_t now)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = last_.find(key);
        if (it == last_.end()) return false;
        if (now - it->second < policy_.keep_ms) return true;
        last_.erase(it);
        return false;
    }
    void forget(const Key &key)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_.erase(key);
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_.clear();
    }

private:
    const Policy policy_;
    std::mutex mutex_;  // guards last_
    std::unordered_map<Key, std::int64_t, Hash> last_;
};

// What a service that checks guesses (passwords, keys) keeps about them:
// each source's back-off, the service's budget, and the sources that
// succeeded recently, which neither the budget nor the table's overflow
// refuses. A source that fails is no longer one that succeeded recently.
class usbip_guess_limits {
public:
    usbip_guess_limits() = default;
    usbip_guess_limits(const usbip_failure_backoff::Policy &backoff, const usbip_failure_budget::Policy &budget)
        : backoff_(backoff), budget_(budget)
    {
    }

    bool trusted(const usbip_source &source, std::int64_t now) { return recent_.contains(source, now); }
    // At a new attempt: how long the source is refused from `now`, 0 when it
    // is not. A trusted source never is; any other is refused during its
    // back-off, while the table overflows and while the budget has no room.
    std::int64_t refused_for(const usbip_source &source, bool trusted, std::int64_t now);
    // Just before a guess is checked: room in the budget for an untrusted
    // source (an empty hold for a trusted one). False when there is none:
    // the guess must then get no answer at all, right or wrong.
    bool begin(bool trusted, std::int64_t now, usbip_budget_hold *hold);
    void failed(const usbip_source &source, std::int64_t now, usbip_budget_hold &hold);
    void succeeded(const usbip_source &source, std::int64_t now);
    void clear();
    // The budget's periods (tests shorten them); full again.
    void set_budget(const usbip_failure_budget::Policy &policy) { budget_.reset(policy); }
    usbip_failure_budget &budget() { return budget_; }

private:
    usbip_failure_backoff backoff_;
    usbip_failure_budget budget_;
    usbip_recent_successes<usbip_source, usbip_source_hash> recent_;
};

// A token bucket per key: `burst` requests at once, then one more for every
// `refill_ms` that passes. When the table is full, buckets that have filled
// up again make room (they are as good as none); a new key that finds none
// is refused until one does.
class usbip_rate_limit {
public:
    usbip_rate_limit(int burst, std::int64_t refill_ms, std::size_t capacity = 4096)
        : burst_(burst), refill_ms_(refill_ms), capacity_(capacity)
    {
    }
    // Takes one token; false when the key has none left, or when the table
    // has no room for a new key (then *full, when given, is set).
    bool take(const std::string &key, std::int64_t now, bool *full = nullptr);
    void clear();

private:
    struct Bucket {
        std::int64_t stamp = 0;  // tokens were `tokens` at this moment
        int tokens = 0;
    };
    const int burst_;
    const std::int64_t refill_ms_;
    const std::size_t capacity_;
    std::mutex mutex_;  // guards buckets_ and swept_
    std::unordered_map<std::string, Bucket> buckets_;
    std::int64_t swept_ = INT64_MIN / 2;  // the last sweep of a full table
};

#endif
