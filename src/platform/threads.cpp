#include "platform/threads.h"

#include <system_error>

namespace plat {

bool ThreadSet::spawn(std::function<void()> fn)
{
    Entry *entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reap_locked();
        threads_.emplace_back();
        entry = &threads_.back();
        ++starting_;
    }
    // The thread starts without the lock held: its first steps (a Watch)
    // take the lock, and would otherwise wait for this call to return.
    std::thread t;
    bool started = true;
    try {
        t = std::thread([this, entry, f = std::move(fn)] { thread_trampoline(entry, f); });
    } catch (const std::system_error &) {
        started = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (started) {
        entry->thread = std::move(t);
    } else {
        for (auto it = threads_.begin(); it != threads_.end(); ++it)
            if (&*it == entry) {
                threads_.erase(it);
                break;
            }
    }
    if (--starting_ == 0) started_.notify_all();
    return started;
}

void ThreadSet::thread_trampoline(Entry *self, const std::function<void()> &fn)
{
    try {
        fn();
    } catch (...) {
        // A thread of the library has nobody to report to.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    self->done = true;
}

// Joins threads that have finished; joining them takes no time. A thread
// whose handle its starter has not stored yet waits for the next pass.
void ThreadSet::reap_locked()
{
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->done && it->thread.joinable()) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

void ThreadSet::wake_all()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &w : watched_) shutdown_both(w.first);
}

void ThreadSet::join_all()
{
    for (;;) {
        std::list<Entry> batch;
        {
            // Every handle must be stored before its thread can be joined.
            std::unique_lock<std::mutex> lock(mutex_);
            started_.wait(lock, [this] { return starting_ == 0; });
            if (threads_.empty()) return;
            batch.splice(batch.end(), threads_);
        }
        for (auto &e : batch) e.thread.join();
    }
}

std::size_t ThreadSet::size()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_.size();
}

ThreadSet::Watch::Watch(ThreadSet &set, socket_t s) : set_(set), s_(s)
{
    std::lock_guard<std::mutex> lock(set_.mutex_);
    ++set_.watched_[s_];
}

ThreadSet::Watch::~Watch()
{
    std::lock_guard<std::mutex> lock(set_.mutex_);
    auto it = set_.watched_.find(s_);
    if (it != set_.watched_.end() && --it->second == 0) set_.watched_.erase(it);
}

}  // namespace plat
