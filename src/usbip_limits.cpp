#include "usbip_limits.h"

#include <algorithm>

// Quiet for a whole window since the last failure and the refusal it
// brought: the address starts afresh.
bool usbip_failure_backoff::stale(const Record &r, std::int64_t now) const
{
    return now - std::max(r.last_failure, r.refused_until) >= policy_.window_ms;
}

std::int64_t usbip_failure_backoff::refused_for(const plat::PeerAddress &peer, std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(peer);
    if (it == records_.end() || now >= it->second.refused_until) return 0;
    return it->second.refused_until - now;
}

// Keeps the table bounded: addresses that have been quiet for a window go
// first; if every one is recent, the one whose last failure is oldest.
void usbip_failure_backoff::make_room(std::int64_t now)
{
    if (records_.size() < policy_.capacity) return;
    for (auto it = records_.begin(); it != records_.end();)
        it = stale(it->second, now) ? records_.erase(it) : std::next(it);
    if (records_.size() < policy_.capacity) return;
    auto oldest = std::min_element(records_.begin(), records_.end(), [](const auto &a, const auto &b) {
        return a.second.last_failure < b.second.last_failure;
    });
    records_.erase(oldest);
}

void usbip_failure_backoff::failed(const plat::PeerAddress &peer, std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(peer);
    if (it == records_.end()) {
        make_room(now);
        it = records_.emplace(peer, Record{}).first;
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

void usbip_failure_backoff::succeeded(const plat::PeerAddress &peer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(peer);
}

void usbip_failure_backoff::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

bool usbip_rate_limit::take(const std::string &key, std::int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= capacity_) {
            // A bucket that has refilled is as good as none: forget those
            // first, then any.
            for (auto b = buckets_.begin(); b != buckets_.end();)
                b = b->second.tokens + (now - b->second.stamp) / refill_ms_ >= burst_ ? buckets_.erase(b) : std::next(b);
            if (buckets_.size() >= capacity_) buckets_.erase(buckets_.begin());
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
}
