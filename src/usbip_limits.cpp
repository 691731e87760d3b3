#include "usbip_limits.h"

#include <algorithm>
#include <cstring>

// ---------------------------------------------------------------------------
// Sources

usbip_source usbip_source_of(const plat::PeerAddress &peer, int ipv6_prefix, std::uint32_t route)
{
    usbip_source s;
    s.route = route;
    s.net = peer;
    if (peer.size == 4) {
        s.prefix = 32;
    } else if (peer.size == 16) {
        int bits = std::clamp(ipv6_prefix, 0, 128);
        s.prefix = static_cast<std::uint8_t>(bits);
        for (int i = 0; i < 16; ++i) {
            int keep = std::clamp(bits - 8 * i, 0, 8);
            s.net.bytes[i] = static_cast<std::uint8_t>(s.net.bytes[i] & (0xff00 >> keep));
        }
    }
    return s;
}

bool usbip_source::operator<(const usbip_source &o) const
{
    if (route != o.route) return route < o.route;
    if (net.size != o.net.size) return net.size < o.net.size;
    if (prefix != o.prefix) return prefix < o.prefix;
    return std::memcmp(net.bytes, o.net.bytes, sizeof net.bytes) < 0;
}

std::string usbip_source::text() const
{
    std::string t = net.size == 0 ? "unknown" : net.text();
    if (net.size == 16 && prefix < 128) t += "/" + std::to_string(prefix);
    if (route != 0) t += " via relay " + std::to_string(route);
    return t;
}

std::uint64_t usbip_source::key() const
{
    // FNV-1a over everything that tells sources apart.
    std::uint64_t h = 1469598103934665603ull;
    auto mix = [&h](std::uint8_t b) { h = (h ^ b) * 1099511628211ull; };
    for (int i = 0; i < 4; ++i) mix(static_cast<std::uint8_t>(route >> (8 * i)));
    mix(prefix);
    mix(net.size);
    for (std::size_t i = 0; i < net.size; ++i) mix(net.bytes[i]);
    return h;
}

std::size_t usbip_source_hash::operator()(const usbip_source &s) const { return static_cast<std::size_t>(s.key()); }

// ---------------------------------------------------------------------------
// Back-off per source

// Quiet for a whole window since the last failure and the refusal it
// brought: the source starts afresh.
bool usbip_failure_backoff::stale(const Record &r, std::int64_t now) const
{
    return now - std::max(r.last_failure, r.refused_until) >= policy_.window_ms;
}

std::int64_t usbip_failure_backoff::refused_for(const usbip_source &source, std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(source);
    if (it == records_.end()) return now < overflow_until_ ? overflow_until_ - now : 0;
    if (now >= it->second.refused_until) return 0;
    return it->second.refused_until - now;
}

// Keeps the table bounded: only sources that have been quiet for a window
// make room. Forgetting any other would hand it its free failures again,
// and a guesser with one address more than the table holds would never be
// refused. False when none has been quiet that long: the table overflows
// until the first of them has.
bool usbip_failure_backoff::make_room(std::int64_t now)
{
    if (records_.size() < policy_.capacity) return true;
    std::int64_t first_stale = 0;
    for (auto it = records_.begin(); it != records_.end();) {
        if (stale(it->second, now)) {
            it = records_.erase(it);
            continue;
        }
        std::int64_t at = std::max(it->second.last_failure, it->second.refused_until) + policy_.window_ms;
        if (first_stale == 0 || at < first_stale) first_stale = at;
        ++it;
    }
    if (records_.size() < policy_.capacity) return true;
    overflow_until_ = first_stale;
    return false;
}

void usbip_failure_backoff::failed(const usbip_source &source, std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(source);
    if (it == records_.end()) {
        if (!make_room(now)) return;  // refused anyway while the table overflows
        it = records_.emplace(source, Record{}).first;
    }
    Record &r = it->second;
    if (r.failures > 0 && stale(r, now)) r = Record{};
    // Until the first refusal the free failures are counted per window;
    // after it, every failure doubles the period.
    if (r.period == 0 && (r.failures == 0 || now - r.window_start >= policy_.window_ms)) {
        r.window_start = now;
        r.failures = 0;
    }
    r.last_failure = now;
    if (++r.failures < policy_.free_failures) return;
    r.period = r.period == 0 ? policy_.first_ms : std::min(r.period * 2, policy_.max_ms);
    r.refused_until = now + r.period;
}

void usbip_failure_backoff::succeeded(const usbip_source &source)
{
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(source);
}

void usbip_failure_backoff::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
    overflow_until_ = 0;
}

std::size_t usbip_failure_backoff::size()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

// ---------------------------------------------------------------------------
// The service's budget

void usbip_failure_budget::refill_locked(std::int64_t now)
{
    if (room_ >= policy_.burst) {
        stamp_ = now;
        return;
    }
    if (policy_.refill_ms <= 0) {
        room_ = policy_.burst;
        return;
    }
    std::int64_t earned = (now - stamp_) / policy_.refill_ms;
    if (earned <= 0) return;
    room_ = static_cast<int>(std::min<std::int64_t>(policy_.burst, room_ + earned));
    // The part of a period that has not earned room yet is kept.
    stamp_ = room_ >= policy_.burst ? now : stamp_ + earned * policy_.refill_ms;
}

bool usbip_failure_budget::take(std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refill_locked(now);
    if (room_ <= 0) return false;
    --room_;
    return true;
}

void usbip_failure_budget::give_back()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A full budget earns nothing: room given back to one is not kept
    // beyond the burst.
    if (room_ < policy_.burst) ++room_;
}

int usbip_failure_budget::room(std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refill_locked(now);
    return room_;
}

std::int64_t usbip_failure_budget::until_room(std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refill_locked(now);
    if (room_ > 0) return 0;
    if (policy_.refill_ms <= 0) return 0;
    return std::max<std::int64_t>(1, stamp_ + policy_.refill_ms - now);
}

void usbip_failure_budget::reset(const Policy &policy)
{
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = policy;
    room_ = policy.burst;
    stamp_ = 0;
}

// ---------------------------------------------------------------------------
// Guesses of one service

std::int64_t usbip_guess_limits::refused_for(const usbip_source &source, bool trusted, std::int64_t now)
{
    if (trusted) return 0;
    if (std::int64_t backoff = backoff_.refused_for(source, now); backoff > 0) return backoff;
    return budget_.until_room(now);
}

bool usbip_guess_limits::begin(bool trusted, std::int64_t now, usbip_budget_hold *hold)
{
    if (trusted) {
        *hold = usbip_budget_hold();
        return true;
    }
    *hold = usbip_budget_hold(budget_, now);
    return hold->held();
}

void usbip_guess_limits::failed(const usbip_source &source, std::int64_t now, usbip_budget_hold &hold)
{
    hold.spend();
    recent_.forget(source);
    backoff_.failed(source, now);
}

void usbip_guess_limits::succeeded(const usbip_source &source, std::int64_t now)
{
    backoff_.succeeded(source);
    recent_.add(source, now);
}

void usbip_guess_limits::clear()
{
    backoff_.clear();
    budget_.reset();
    recent_.clear();
}

// ---------------------------------------------------------------------------
// Rate per key

bool usbip_rate_limit::take(const std::string &key, std::int64_t now, bool *full)
{
    if (full != nullptr) *full = false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= capacity_) {
            // A bucket that has refilled is as good as none: forget those.
            // A key that finds every bucket in use is refused, as one
            // without tokens: forgetting a busy key would hand it a fresh
            // burst.
            // A sweep that found nothing is not repeated within a period,
            // so that a flood of new keys costs no sweep each.
            if (now - swept_ >= refill_ms_) {
                swept_ = now;
                for (auto b = buckets_.begin(); b != buckets_.end();)
                    b = b->second.tokens + (now - b->second.stamp) / refill_ms_ >= burst_ ? buckets_.erase(b)
                                                                                          : std::next(b);
            }
            if (buckets_.size() >= capacity_) {
                if (full != nullptr) *full = true;
                return false;
            }
        }
        it = buckets_.emplace(key, Bucket{now, burst_}).first;
    }
    Bucket &b = it->second;
    std::int64_t earned = (now - b.stamp) / refill_ms_;
    if (earned > 0) {
        b.tokens = static_cast<int>(std::min<std::int64_t>(burst_, b.tokens + earned));
        // A full bucket earns nothing more; otherwise the part of a period
        // that has not earned a token yet is kept.
        b.stamp = b.tokens == burst_ ? now : b.stamp + earned * refill_ms_;
    }
    if (b.tokens == 0) return false;
    --b.tokens;
    return true;
}

void usbip_rate_limit::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    buckets_.clear();
    swept_ = INT64_MIN / 2;
}
