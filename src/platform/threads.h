// Tracked library threads. Every thread the library starts belongs to one
// ThreadSet, so that stopping a service can wake its threads (by shutting
// down the sockets they block on) and wait for all of them: after a stop no
// thread of that service runs any code of the library.
#ifndef HALVOREN_THREADS_H
#define HALVOREN_THREADS_H

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/platform.h"

namespace plat {

class ThreadSet {
public:
    ThreadSet() = default;
    ThreadSet(const ThreadSet &) = delete;
    ThreadSet &operator=(const ThreadSet &) = delete;
    ~ThreadSet() { join_all(); }

    // Runs fn on a new thread. False when no thread could be started.
    bool spawn(std::function<void()> fn);

    // Shuts down every watched socket, so that blocked I/O on it ends.
    void wake_all();
    // Waits for every thread of the set, including threads that threads of
    // the set start meanwhile. Never call it from a thread of the set.
    void join_all();
    // Threads started and not yet joined (finished ones included).
    std::size_t size();

    // Keeps a socket known to wake_all() for as long as it lives. The owner
    // destroys the Watch before it closes the socket, so wake_all() never
    // touches a descriptor number that has been reused.
    class Watch {
    public:
        Watch(ThreadSet &set, socket_t s);
        ~Watch();
        Watch(const Watch &) = delete;
        Watch &operator=(const Watch &) = delete;

    private:
        ThreadSet &set_;
        socket_t s_;
    };

private:
    struct Entry {
        std::thread thread;
        bool done = false;
    };

    void thread_trampoline(Entry *self, const std::function<void()> &fn);
    void reap_locked();

    std::mutex mutex_;  // guards everything below
    std::condition_variable started_;  // starting_ fell to 0
    int starting_ = 0;                 // spawns whose handle is not stored yet
    std::list<Entry> threads_;
    std::unordered_map<socket_t, int> watched_;  // socket -> watch count
};

}  // namespace plat

#endif
