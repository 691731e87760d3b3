#include "platform/threads.h"

#include <chrono>
#include <system_error>

namespace plat {

WorkerPool::WorkerPool(std::size_t ceiling, int park_ms) : ceiling_(ceiling), park_ms_(park_ms) {}

bool WorkerPool::run_parked_locked(std::function<void()> &task)
{
    if (parked_.empty()) return false;
    Worker *w = parked_.back();  // the most recently parked one is warmest
    parked_.pop_back();
    w->task = std::move(task);
    w->has_task = true;
    ++busy_;
    w->wake.notify_one();
    return true;
}

bool WorkerPool::try_run_parked(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return run_parked_locked(task);
}

bool WorkerPool::try_run(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    reap_locked();
    if (run_parked_locked(task)) return true;
    if (workers_.size() >= ceiling_) return false;
    workers_.emplace_back();
    Worker *w = &workers_.back();
    w->task = std::move(task);
    w->has_task = true;
    if (!pinned_) {
        pin_module();
        pinned_ = true;
    }
    try {
        // The new thread waits for this lock before it looks at its task.
        w->thread = std::thread([this, w] { worker_loop(w); });
    } catch (const std::system_error &) {
        workers_.pop_back();
        return false;
    }
    ++busy_;
    return true;
}

void WorkerPool::worker_loop(Worker *w)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!w->has_task) {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(park_ms_);
            w->wake.wait_until(lock, until, [&] { return w->has_task || stopping_; });
            if (!w->has_task) {
                // Parked too long, or the pool stops: end.
                for (auto it = parked_.begin(); it != parked_.end(); ++it)
                    if (*it == w) {
                        parked_.erase(it);
                        break;
                    }
                w->exited = true;
                return;
            }
        }
        std::function<void()> task = std::move(w->task);
        w->has_task = false;
        lock.unlock();
        try {
            task();
        } catch (...) {
            // A thread of the library has nobody to report to.
        }
        task = nullptr;  // what the task captured goes before the next one
        lock.lock();
        --busy_;
        idle_.notify_all();
        if (stopping_) {
            w->exited = true;
            return;
        }
        parked_.push_back(w);
    }
}

// Joins threads that have ended; that takes no time.
void WorkerPool::reap_locked()
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->exited) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void WorkerPool::wake_all(bool spare_finishing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &w : watched_)
        if (!(spare_finishing && w.second.finishing > 0)) shutdown_both(w.first);
}

bool WorkerPool::evict_heaviest(std::uint64_t sparing, std::size_t held)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto heaviest = evictable_.end();
    for (auto it = evictable_.begin(); it != evictable_.end(); ++it)
        if (it->first != sparing && (heaviest == evictable_.end() || it->second.size() > heaviest->second.size()))
            heaviest = it;
    if (heaviest == evictable_.end() || heaviest->second.size() <= held) return false;
    // The oldest goes: its socket is shut down, which ends its task's waits.
    // It stays watched (its owner ends the watch before closing) but is
    // evictable no more.
    auto oldest = heaviest->second.begin();
    shutdown_both(oldest->second);
    heaviest->second.erase(oldest);
    if (heaviest->second.empty()) evictable_.erase(heaviest);
    return true;
}

std::size_t WorkerPool::evictable_count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto &g : evictable_) n += g.second.size();
    return n;
}

bool WorkerPool::wait_idle(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return busy_ == 0; });
}

void WorkerPool::join_all()
{
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    for (;;) {
        // Tasks end first (a task may still hand new ones to the pool)...
        idle_.wait(lock, [this] { return busy_ == 0; });
        for (Worker &w : workers_) w.wake.notify_one();
        if (workers_.empty()) break;
        // ... then every thread, parked ones included, has ended or ends now.
        std::list<Worker> ending;
        ending.splice(ending.end(), workers_);
        parked_.clear();
        lock.unlock();
        for (Worker &w : ending) w.thread.join();
        lock.lock();
    }
    stopping_ = false;
    if (pinned_) {
        pinned_ = false;
        unpin_module();
    }
}

std::size_t WorkerPool::thread_count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    reap_locked();
    return workers_.size();
}

std::size_t WorkerPool::busy_count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return busy_;
}

SocketWatch::SocketWatch(WorkerPool &pool, socket_t s) : pool_(pool), s_(s)
{
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    ++pool_.watched_[s_].count;
}

SocketWatch::SocketWatch(WorkerPool &pool, socket_t s, std::uint64_t group) : pool_(pool), s_(s), group_(group)
{
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    ++pool_.watched_[s_].count;
    seq_ = pool_.next_seq_++;
    pool_.evictable_[group_].emplace(seq_, s_);
}

void SocketWatch::settle_locked()
{
    if (seq_ == 0) return;
    auto g = pool_.evictable_.find(group_);
    if (g != pool_.evictable_.end()) {
        g->second.erase(seq_);  // gone already when it was evicted
        if (g->second.empty()) pool_.evictable_.erase(g);
    }
    seq_ = 0;
}

void SocketWatch::settle()
{
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    settle_locked();
}

SocketWatch::~SocketWatch()
{
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    settle_locked();
    auto it = pool_.watched_.find(s_);
    if (it == pool_.watched_.end()) return;
    if (finishing_) --it->second.finishing;
    if (--it->second.count == 0) pool_.watched_.erase(it);
}

void SocketWatch::set_finishing()
{
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    if (finishing_) return;
    finishing_ = true;
    ++pool_.watched_[s_].finishing;
}

}  // namespace plat
