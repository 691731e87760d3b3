// The listening socket of the server and of the relay, and the thread that
// accepts its connections. A new connection costs no thread while it waits
// for its peer's first bytes: the accept thread holds it in a waiting room
// and watches it, and only a connection whose peer has spoken (or hung up)
// is handed to a thread of the service's pool, unless a thread of the pool
// is idle when it comes: that one takes it at once and waits for it.
#ifndef HALVOREN_USBIP_LISTENER_H
#define HALVOREN_USBIP_LISTENER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

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
    int wait_ms = 5000;                    // how long a connection may wait for its peer's first bytes
    std::size_t waiting = 4096;            // connections waiting at once
    std::size_t waiting_per_address = 128;  // of those, from one peer address
    std::size_t served_per_address = 32;   // connections of one address on threads at once
};

class usbip_listener {
public:
    // Listens on every address (IPv6 and IPv4 where the system has both)
    // and the low 16 bits of `port`, and starts the accept thread. On
    // failure the message names the step: "<who>: socket() failed",
    // "<who>: bind() failed on port <port>", "<who>: listen() failed", or
    // `spawn_failed` when no thread starts.
    bool start(int port, const char *who, const char *spawn_failed, const usbip_listener_limits &limits,
               plat::WorkerPool &pool, usbip_listener_hooks hooks);
    // Ends the accept thread and closes the connections still waiting.
    // Connections already handed to the pool are the pool's.
    void stop();

    // Connections waiting for their peer's first bytes or for a thread.
    std::size_t waiting();
    // The port it listens on (the system's choice when started with 0);
    // 0 when it does not listen.
    int port() const;

private:
    using Entry = std::unique_ptr<usbip_pending>;
    using Place = std::list<Entry>::iterator;

    void run();
    void run_passes();
    void accept_burst(std::int64_t now);
    void expire(std::int64_t now);
    void dispatch();
    std::function<void()> session(std::shared_ptr<usbip_pending> p);
    bool serve_at_once(std::unique_ptr<usbip_pending> &p);
    void give_back_served(const plat::PeerAddress &peer);
    void watch(Place it);
    void drop(Place it, std::list<Entry> &from);
    bool evict_oldest(const plat::PeerAddress *of);
    int poll_timeout(std::int64_t now) const;

    plat::Socket listen_;
    plat::Waker waker_;  // stop, and a thread of the pool coming free
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> port_{0};
    usbip_listener_limits limits_;
    usbip_listener_hooks hooks_;
    plat::WorkerPool *pool_ = nullptr;

    // How many connections of one address wait, and how many are served.
    struct Share {
        std::size_t waiting = 0;
        std::size_t served = 0;
    };

    // The accept thread's own: connections waiting for bytes (watched by
    // the poller, keyed by their record's address), and those whose peer has
    // spoken, in the order they are to be served.
    plat::Poller poller_;
    std::list<Entry> waiting_, ready_;
    std::unordered_map<std::uintptr_t, Place> watched_;
    std::int64_t next_due_ = 0;  // no deadline or timer of a waiting connection comes before
    std::int64_t accept_paused_until_ = 0;
    bool accepting_ = true;  // the listening socket is watched
    std::atomic<std::size_t> waiting_count_{0};
    // How many spoke and wait for a thread, as dispatch() last saw them: a
    // thread that ends wakes the accept thread only when some do.
    std::atomic<std::size_t> ready_count_{0};

    // Guards shares_ (served ones end on threads of the pool), and the
    // waker's closing against their signals.
    std::mutex shares_mutex_;
    std::unordered_map<plat::PeerAddress, Share, plat::PeerAddressHash> shares_;
};

#endif
