// The listening socket of the server and of the relay, and the thread that
// accepts its connections. A new connection costs no thread while it waits
// for its peer's first bytes: the accept thread holds it in a waiting room
// and watches it, and only a connection whose peer has spoken (or hung up)
// is handed to a thread of the service's pool, unless a thread of the pool
// is idle when it comes: that one takes it at once and waits for it.
//
// Shares shrink with load. No source has a fixed share of the room or of
// the threads: when the room is full, a newcomer pushes out the oldest
// waiting connection of the source that holds the most (its own, when it
// is that source); a source may take a thread only while it holds fewer
// than the pool has free, so that a handful of sources cannot take them
// all; and when the pool is full, a connection that waits for a thread
// ends an unauthenticated session of a source that holds more (the
// services mark their sessions evictable until they authenticate).
#ifndef HALVOREN_USBIP_LISTENER_H
#define HALVOREN_USBIP_LISTENER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/platform.h"
#include "platform/threads.h"
#include "usbip_auth.h"
#include "usbip_limits.h"

// A connection that the listener has accepted.
struct usbip_pending {
    plat::Socket socket;
    plat::PeerAddress peer;
    usbip_source source;           // the peer as the limits count it
    std::int64_t accepted_ms = 0;  // monotonic
    std::int64_t deadline_ms = 0;  // closed unheard at this moment
    std::int64_t timer_ms = 0;     // on_timer runs then, unless bytes came first; 0: none
    bool greeted = false;          // the service has sent its greeting
    bool trusted = false;          // the service knows its source (set by admit)
    std::uint8_t challenge[USBIP_CHALLENGE_SIZE] = {};  // the greeting's challenge
};

struct usbip_listener_hooks {
    // On the accept thread, for every new connection before it waits: may
    // send a greeting (without waiting) and set the timer. False closes it.
    std::function<bool(usbip_pending &)> admit;
    // On the accept thread, when a connection's timer comes before its
    // peer's bytes. False closes it. May be empty when no timer is set.
    std::function<bool(usbip_pending &)> on_timer;
    // On a thread of the pool once the peer has sent bytes or hung up, or
    // at once when a thread was idle (its reads then wait, within the
    // connection's deadline). The connection's socket is closed when it
    // returns, unless it took it.
    std::function<void(usbip_pending &)> serve;
};

struct usbip_listener_limits {
    int wait_ms = 5000;          // how long a connection may wait for its peer's first bytes
    std::size_t waiting = 4096;  // connections waiting at once, at most
    int ipv6_prefix = USBIP_DEFAULT_IPV6_PREFIX;  // IPv6 peers count by this network
};

class usbip_listener {
public:
    // Raises the process's descriptor limit to its hard limit, listens on
    // every address (IPv6 and IPv4 where the system has both) and the low
    // 16 bits of `port`, and starts the accept thread. On failure the
    // message names the step: "<who>: socket() failed", "<who>: bind()
    // failed on port <port>", "<who>: listen() failed", or `spawn_failed`
    // when no thread starts.
    bool start(int port, const char *who, const char *spawn_failed, const usbip_listener_limits &limits,
               plat::WorkerPool &pool, usbip_listener_hooks hooks);
    // Ends the accept thread and closes the connections still waiting.
    // Connections already handed to the pool are the pool's.
    void stop();

    // Connections waiting for their peer's first bytes or for a thread.
    std::size_t waiting();
    // How many may wait at once: the limit asked for, or fewer when the
    // process cannot hold that many descriptors besides its others (half of
    // its descriptors, at least 64).
    std::size_t room() const { return room_; }
    // The port it listens on (the system's choice when started with 0);
    // 0 when it does not listen.
    int port() const;

private:
    struct Entry {
        std::unique_ptr<usbip_pending> p;
        std::uint64_t seq = 0;    // order of arrival
        bool ready = false;       // its peer spoke: it is in ready_
        bool preempting = false;  // a session was ended to free a thread for it
    };
    using Place = std::list<Entry>::iterator;
    // A source's connections in the room, oldest first.
    struct Held {
        std::map<std::uint64_t, Place> places;
    };

    void run();
    void run_passes();
    void accept_burst(std::int64_t now);
    plat::AcceptStatus accept_at_limit(plat::socket_t *s, plat::PeerAddress *peer);
    void admit_new(std::unique_ptr<usbip_pending> p);
    void expire(std::int64_t now);
    void dispatch();
    std::function<void()> session(std::shared_ptr<usbip_pending> p);
    bool serve_at_once(std::unique_ptr<usbip_pending> &p);
    void watch(Place it);
    void enter_room(std::unique_ptr<usbip_pending> p);
    Place remove_from_room(Place it, const usbip_source &source);
    Place drop(Place it);
    std::size_t held_in_room(const usbip_source &source) const;
    bool make_room_for(const usbip_source &newcomer);
    bool take_thread(const usbip_source &source);
    void give_back_thread(const usbip_source &source);
    std::size_t threads_of(const usbip_source &source);
    int poll_timeout(std::int64_t now) const;

    plat::Socket listen_;
    plat::Waker waker_;  // stop, and a thread of the pool coming free
    plat::DescriptorReserve reserve_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> port_{0};
    usbip_listener_limits limits_;
    std::size_t room_ = 0;
    usbip_listener_hooks hooks_;
    plat::WorkerPool *pool_ = nullptr;

    // The accept thread's own: the room's connections, waiting for bytes
    // (watched by the poller, keyed by their entry's address) or spoken and
    // waiting for a thread (in the order they spoke); each source's of
    // them, and the sources ordered by how many they hold.
    plat::Poller poller_;
    std::list<Entry> waiting_, ready_;
    std::unordered_map<std::uintptr_t, Place> watched_;
    std::unordered_map<usbip_source, Held, usbip_source_hash> held_;
    // Sources by how many connections they hold, the largest last; of those
    // that hold as many, the one whose oldest came first is last.
    struct Weight {
        std::size_t count;
        std::uint64_t first_seq;
        usbip_source source;
        bool operator<(const Weight &o) const
        {
            if (count != o.count) return count < o.count;
            if (first_seq != o.first_seq) return first_seq > o.first_seq;
            return source < o.source;
        }
    };
    std::set<Weight> by_held_;
    // Take a source out of by_held_ before its places change, and put it
    // back after.
    void unweigh(const usbip_source &source, const Held &held);
    void weigh(const usbip_source &source, const Held &held);
    std::int64_t next_due_ = 0;  // no deadline or timer of a waiting connection comes before
    std::int64_t accept_paused_until_ = 0;
    bool accepting_ = true;  // the listening socket is watched
    std::atomic<std::size_t> waiting_count_{0};
    // How many spoke and wait for a thread, as dispatch() last saw them: a
    // thread that ends wakes the accept thread only when some do.
    std::atomic<std::size_t> ready_count_{0};

    // Guards threads_ (served connections end on threads of the pool), and
    // the waker's closing against their signals.
    std::mutex threads_mutex_;
    std::unordered_map<usbip_source, std::size_t, usbip_source_hash> threads_;  // threads each source holds; no zeros
};

#endif
