// Tracked library threads. Every thread the library starts for a service
// belongs to one WorkerPool, so that stopping the service can wake its
// threads (by shutting down the sockets they wait on) and wait for all of
// them: after a stop no thread of that service runs any code of the library.
#ifndef HALVOREN_THREADS_H
#define HALVOREN_THREADS_H

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace plat {

// At most `ceiling` threads that run tasks. A thread that finishes its task
// parks for `park_ms` and takes the next task handed to the pool, so that a
// burst of connections costs few thread starts; then it ends.
class WorkerPool {
public:
    explicit WorkerPool(std::size_t ceiling, int park_ms = 10000);
    ~WorkerPool() { join_all(); }
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Runs `task` on a parked thread or a new one. False when `ceiling` tasks
    // run already or no thread could be started; the task is then dropped.
    bool try_run(std::function<void()> task);
    // Runs `task` only on a thread that is parked now: never starts one.
    bool try_run_parked(std::function<void()> task);

    // Shuts down every watched socket, so that waits on them end. With
    // `spare_finishing`, sockets whose task finishes a reply are left alone.
    void wake_all(bool spare_finishing = false);
    // Frees a thread for a task of the group `sparing`, which holds
    // `held` tasks: shuts down the socket of the oldest evictable watch of
    // the group that has the most of them, when that is another group and
    // has more than `held`. True when a socket was shut down (its task ends
    // soon and its thread comes free).
    bool evict_heaviest(std::uint64_t sparing, std::size_t held);
    // Waits at most timeout_ms for every running task to end; true when none
    // runs.
    bool wait_idle(int timeout_ms);
    // Waits for every task, including tasks that tasks of the pool hand to it
    // meanwhile, and ends every thread. Never call it from a task.
    void join_all();

    std::size_t ceiling() const { return ceiling_; }
    std::size_t thread_count();  // threads alive, parked ones included
    std::size_t busy_count();    // tasks running
    std::size_t evictable_count();  // evictable watches

private:
    friend class SocketWatch;
    struct Worker {
        std::thread thread;
        std::function<void()> task;
        std::condition_variable wake;
        bool has_task = false;
        bool exited = false;
    };
    struct Watched {
        int count = 0;
        int finishing = 0;
    };

    void worker_loop(Worker *w);
    void reap_locked();
    bool run_parked_locked(std::function<void()> &task);

    const std::size_t ceiling_;
    const int park_ms_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable idle_;  // busy_ fell
    std::list<Worker> workers_;
    std::vector<Worker *> parked_;
    std::size_t busy_ = 0;
    bool stopping_ = false;  // join_all runs: threads end instead of parking
    bool pinned_ = false;    // the module stays mapped while threads exist
    std::unordered_map<socket_t, Watched> watched_;
    // Evictable watches by group, oldest first (by sequence number).
    std::unordered_map<std::uint64_t, std::map<std::uint64_t, socket_t>> evictable_;
    std::uint64_t next_seq_ = 1;
};

// Makes a socket known to a pool's wake_all() for as long as it lives. The
// owner of the socket ends the watch before it closes the socket (the
// socket owners below do it for it), so wake_all() never touches a
// descriptor number that has been reused.
//
// A watch may also be evictable, on behalf of a group (the source of an
// unauthenticated connection): while it is, the pool may shut its socket
// down to free the thread for a task of a group that holds fewer
// (evict_heaviest). Its task settles it once the connection has proved
// itself.
class SocketWatch {
public:
    SocketWatch(WorkerPool &pool, socket_t s);
    SocketWatch(WorkerPool &pool, socket_t s, std::uint64_t group);
    ~SocketWatch();
    SocketWatch(const SocketWatch &) = delete;
    SocketWatch &operator=(const SocketWatch &) = delete;

    // The task now finishes a reply: a stop lets it write for a short grace
    // before it is woken.
    void set_finishing();
    // No longer evictable.
    void settle();

private:
    void settle_locked();

    WorkerPool &pool_;
    socket_t s_;
    bool finishing_ = false;
    std::uint64_t group_ = 0;
    std::uint64_t seq_ = 0;  // 0: not evictable
};

// A socket owned by a task of a pool and watched by it: the watch ends
// before the socket closes, whatever the order of the owner's members.
class WatchedSocket {
public:
    WatchedSocket(WorkerPool &pool, socket_t s) : socket_(s), watch_(std::make_unique<SocketWatch>(pool, s)) {}
    // Evictable on behalf of `group` until settle().
    WatchedSocket(WorkerPool &pool, socket_t s, std::uint64_t group)
        : socket_(s), watch_(std::make_unique<SocketWatch>(pool, s, group))
    {
    }
    ~WatchedSocket() { reset(); }
    WatchedSocket(const WatchedSocket &) = delete;
    WatchedSocket &operator=(const WatchedSocket &) = delete;

    socket_t get() const { return socket_.get(); }
    bool valid() const { return socket_.valid(); }
    void settle()
    {
        if (watch_) watch_->settle();
    }
    // Ends the watch and hands the socket over.
    socket_t release()
    {
        unwatch();
        return socket_.release();
    }
    void reset()
    {
        unwatch();
        socket_.reset();
    }

private:
    void unwatch() { watch_.reset(); }
    Socket socket_;
    std::unique_ptr<SocketWatch> watch_;
};

}  // namespace plat

#endif
