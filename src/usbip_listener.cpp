#include "usbip_listener.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "usbip_frame.h"

namespace {

// Large enough that a burst of connections waits in the system's queue,
// not in the peers' retries.
constexpr int kBacklog = 1024;
// Connections taken from the system's queue in one pass, so that waiting
// connections are looked at between bursts.
constexpr int kAcceptsPerPass = 256;
// Keys of the poller that are not connection records.
constexpr std::uintptr_t kWakerKey = 1;
constexpr std::uintptr_t kListenKey = 2;
constexpr std::size_t kReadyPerPass = 256;
// Out of descriptors with nothing to push out: accepting waits this long.
constexpr int kAcceptPauseMs = 100;
// The room never takes more than half of the process's descriptors (the
// rest serve sessions, their devices and the service's own sockets), nor
// fewer than this many connections.
constexpr std::size_t kDescriptorsKept = 64;
constexpr std::size_t kSmallestRoom = 64;

}  // namespace

bool usbip_listener::start(int port, const char *who, const char *spawn_failed, const usbip_listener_limits &limits,
                           plat::WorkerPool &pool, usbip_listener_hooks hooks)
{
    const std::size_t descriptors = plat::raise_descriptor_limit();
    plat::socket_t fd = plat::kNoSocket;
    switch (plat::listen_tcp(static_cast<std::uint16_t>(port), kBacklog, &fd)) {
    case plat::ListenStatus::ok:
        break;
    case plat::ListenStatus::socket_failed:
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "%s: socket() failed", who);
        return false;
    case plat::ListenStatus::bind_failed:
        usbip_set_last_error(USBIP_ERROR_PORT_IN_USE, "%s: bind() failed on port %d", who, port);
        return false;
    case plat::ListenStatus::listen_failed:
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "%s: listen() failed", who);
        return false;
    }
    listen_.reset(fd);
    if (!waker_.open() || !poller_.open() || !poller_.add(waker_.wait_socket(), kWakerKey) ||
        !poller_.add(listen_.get(), kListenKey)) {
        listen_.reset();
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "%s", spawn_failed);
        return false;
    }
    port_ = plat::local_port(listen_.get());
    limits_ = limits;
    const std::size_t by_descriptors = descriptors > kDescriptorsKept ? (descriptors - kDescriptorsKept) / 2 : 0;
    room_ = std::min(limits.waiting, std::max(kSmallestRoom, by_descriptors));
    reserve_.take();
    hooks_ = std::move(hooks);
    pool_ = &pool;
    accept_paused_until_ = 0;
    accepting_ = true;
    next_due_ = 0;
    running_ = true;
    plat::pin_module();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        running_ = false;
        plat::unpin_module();
        listen_.reset();
        reserve_.give_up();
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "%s", spawn_failed);
        return false;
    }
    port_ = plat::local_port(listen_.get());
    return true;
}

void usbip_listener::stop()
{
    if (!thread_.joinable()) return;
    running_ = false;
    port_ = 0;
    waker_.signal();
    thread_.join();
    poller_.remove(waker_.wait_socket());
    if (accepting_) poller_.remove(listen_.get());
    listen_.reset();
    reserve_.give_up();
    // Tasks of the pool that end later see running_ cleared under this
    // lock and leave the waker alone.
    std::lock_guard<std::mutex> lock(threads_mutex_);
    waker_.close();
    plat::unpin_module();
}

std::size_t usbip_listener::waiting() { return waiting_count_; }

int usbip_listener::port() const { return port_ > 0 ? port_.load() : 0; }

// ---------------------------------------------------------------------------
// The room (accept thread only)

std::size_t usbip_listener::held_in_room(const usbip_source &source) const
{
    auto h = held_.find(source);
    return h == held_.end() ? 0 : h->second.places.size();
}

void usbip_listener::unweigh(const usbip_source &source, const Held &held)
{
    if (!held.places.empty()) by_held_.erase(Weight{held.places.size(), held.places.begin()->first, source});
}

void usbip_listener::weigh(const usbip_source &source, const Held &held)
{
    if (!held.places.empty()) by_held_.insert(Weight{held.places.size(), held.places.begin()->first, source});
}

void usbip_listener::enter_room(std::unique_ptr<usbip_pending> p)
{
    // One count for every listener of the process (a server's and a
    // relay's accept threads run side by side).
    static std::atomic<std::uint64_t> next_seq{0};
    waiting_.push_back(Entry{});
    Place it = std::prev(waiting_.end());
    it->p = std::move(p);
    it->seq = ++next_seq;
    Held &h = held_[it->p->source];
    unweigh(it->p->source, h);
    h.places.emplace(it->seq, it);
    weigh(it->p->source, h);
    ++waiting_count_;
    watch(it);
}

// The one way out of the room: the entry leaves its list and its source's
// share (which goes when it holds nothing more), and its socket closes
// unless its connection was moved out first.
usbip_listener::Place usbip_listener::remove_from_room(Place it, const usbip_source &source)
{
    auto key = reinterpret_cast<std::uintptr_t>(it->p.get());
    if (watched_.erase(key) != 0) poller_.remove(it->p->socket.get());
    auto h = held_.find(source);
    if (h != held_.end()) {
        unweigh(source, h->second);
        h->second.places.erase(it->seq);
        weigh(source, h->second);
        if (h->second.places.empty()) held_.erase(h);
    }
    --waiting_count_;
    return (it->ready ? ready_ : waiting_).erase(it);
}

usbip_listener::Place usbip_listener::drop(Place it)
{
    const usbip_source source = it->p->source;
    return remove_from_room(it, source);
}

// Starts watching a connection that waits for its peer's first bytes.
void usbip_listener::watch(Place it)
{
    auto key = reinterpret_cast<std::uintptr_t>(it->p.get());
    if (!poller_.add(it->p->socket.get(), key)) {
        drop(it);
        return;
    }
    watched_.emplace(key, it);
    std::int64_t due = it->p->deadline_ms;
    if (it->p->timer_ms != 0 && it->p->timer_ms < due) due = it->p->timer_ms;
    if (next_due_ == 0 || due < next_due_) next_due_ = due;
}

// Closes one connection of the room for `newcomer`: the oldest of the
// source that holds the most, or the newcomer's own oldest when no source
// holds more than it does. False when the room is empty.
bool usbip_listener::make_room_for(const usbip_source &newcomer)
{
    if (by_held_.empty()) return false;
    const Weight &heaviest = *std::prev(by_held_.end());
    const usbip_source victim = heaviest.count > held_in_room(newcomer) ? heaviest.source : newcomer;
    drop(held_[victim].places.begin()->second);
    return true;
}

// ---------------------------------------------------------------------------
// Accepting

// The process holds as many descriptors as it may. accept() says so even
// when no connection waits, right after a successful accept; the reserve
// tells the two apart. A connection that does wait is kept when a waiting
// connection can make room for it (never the new one itself); otherwise it
// is closed at once, and an unauthenticated session of a heavier source is
// ended so that a descriptor comes free.
plat::AcceptStatus usbip_listener::accept_at_limit(plat::socket_t *s, plat::PeerAddress *peer)
{
    if (!reserve_.give_up()) return plat::AcceptStatus::no_descriptors;
    plat::AcceptStatus status = plat::accept(listen_.get(), s, peer);
    if (status == plat::AcceptStatus::accepted) {
        usbip_source source = usbip_source_of(*peer, limits_.ipv6_prefix);
        if (!make_room_for(source)) {
            pool_->evict_heaviest(source.key(), threads_of(source));
            plat::close(*s);
            *s = plat::kNoSocket;
            status = plat::AcceptStatus::no_descriptors;
        }
    }
    reserve_.take();  // the descriptor that was freed, or the one just closed
    return status;
}

void usbip_listener::accept_burst(std::int64_t now)
{
    for (int n = 0; n < kAcceptsPerPass; ++n) {
        plat::socket_t s;
        plat::PeerAddress peer;
        plat::AcceptStatus status = plat::accept(listen_.get(), &s, &peer);
        if (status == plat::AcceptStatus::no_descriptors) status = accept_at_limit(&s, &peer);
        switch (status) {
        case plat::AcceptStatus::accepted:
            break;
        case plat::AcceptStatus::none_pending:
            return;
        case plat::AcceptStatus::no_descriptors:
            // Nothing could make room: the queue waits a moment instead of
            // waking this thread at once.
            accept_paused_until_ = now + kAcceptPauseMs;
            poller_.remove(listen_.get());
            accepting_ = false;
            return;
        case plat::AcceptStatus::failed:
            return;
        }
        auto p = std::make_unique<usbip_pending>();
        p->socket.reset(s);
        p->peer = peer;
        p->source = usbip_source_of(peer, limits_.ipv6_prefix);
        p->accepted_ms = now;
        p->deadline_ms = now + limits_.wait_ms;
        plat::set_nodelay(s);
        admit_new(std::move(p));
    }
}

// A new connection: it takes a place in the room (pushing out another when
// the room is full), or a parked thread at once, if the service admits it.
// Closed when refused.
void usbip_listener::admit_new(std::unique_ptr<usbip_pending> p)
{
    if (waiting_count_ >= room_ && !make_room_for(p->source)) return;
    if (!hooks_.admit(*p)) return;
    if (serve_at_once(p)) return;
    enter_room(std::move(p));
}

void usbip_listener::expire(std::int64_t now)
{
    if (!reserve_.held()) reserve_.take();
    if (accept_paused_until_ != 0 && now >= accept_paused_until_) {
        accept_paused_until_ = 0;
        accepting_ = poller_.add(listen_.get(), kListenKey);
    }
    // Nothing waiting is due before next_due_: most passes end here.
    if (next_due_ != 0 && now >= next_due_) {
        next_due_ = 0;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            usbip_pending &p = *it->p;
            if (p.timer_ms != 0 && now >= p.timer_ms) {
                p.timer_ms = 0;
                if (!hooks_.on_timer || !hooks_.on_timer(p)) {
                    it = drop(it);
                    continue;
                }
            }
            if (now >= p.deadline_ms) {
                it = drop(it);
                continue;
            }
            std::int64_t due = p.timer_ms != 0 && p.timer_ms < p.deadline_ms ? p.timer_ms : p.deadline_ms;
            if (next_due_ == 0 || due < next_due_) next_due_ = due;
            ++it;
        }
    }
    // A connection that spoke but found no free thread before its time ran
    // out is not served any more either.
    for (auto it = ready_.begin(); it != ready_.end();) it = now >= it->p->deadline_ms ? drop(it) : std::next(it);
}

// ---------------------------------------------------------------------------
// Threads

std::size_t usbip_listener::threads_of(const usbip_source &source)
{
    std::lock_guard<std::mutex> lock(threads_mutex_);
    auto it = threads_.find(source);
    return it == threads_.end() ? 0 : it->second;
}

// A source may take one more thread while it holds fewer than the pool has
// free: alone it can take half of the pool, and k sources together at most
// k/(k+1) of it, so that a newcomer always finds threads unless many
// sources are busy at once.
bool usbip_listener::take_thread(const usbip_source &source)
{
    const std::size_t busy = pool_->busy_count();
    const std::size_t free = pool_->ceiling() > busy ? pool_->ceiling() - busy : 0;
    std::lock_guard<std::mutex> lock(threads_mutex_);
    auto it = threads_.find(source);
    std::size_t held = it == threads_.end() ? 0 : it->second;
    if (held >= free) return false;
    if (it == threads_.end()) threads_.emplace(source, 1);
    else ++it->second;
    return true;
}

// The one release of a source's thread: the count goes when it reaches
// zero. A thread came free: the accept thread needs to know only when
// connections wait for one (stop closes the waker under this lock).
void usbip_listener::give_back_thread(const usbip_source &source)
{
    std::lock_guard<std::mutex> lock(threads_mutex_);
    auto it = threads_.find(source);
    if (it != threads_.end() && --it->second == 0) threads_.erase(it);
    if (running_ && ready_count_ != 0) waker_.signal();
}

// The task that serves one connection on a thread of the pool, and gives
// its source's thread back.
std::function<void()> usbip_listener::session(std::shared_ptr<usbip_pending> p)
{
    return [this, p] {
        try {
            hooks_.serve(*p);
        } catch (...) {
            // the connection closes below; the next one is served
        }
        p->socket.reset();
        give_back_thread(p->source);
    };
}

// A new connection goes straight to a thread when one is parked (idle) and
// its source may take one: that thread waits for the peer's first bytes
// itself, within the connection's deadline, and its wake-up is not on the
// path of the first reply. No thread is started for it: a connection that
// finds none parked waits in the room without one.
bool usbip_listener::serve_at_once(std::unique_ptr<usbip_pending> &p)
{
    if (p->timer_ms != 0) return false;  // the timer is this thread's
    const usbip_source source = p->source;
    if (!take_thread(source)) return false;
    std::shared_ptr<usbip_pending> shared(std::move(p));
    if (pool_->try_run_parked(session(shared))) return true;
    give_back_thread(source);
    p = std::make_unique<usbip_pending>(std::move(*shared));
    return false;
}

// Hands connections whose peer has spoken to the pool, oldest first, each
// as its source may take a thread. While the pool is full, each waiting
// connection once ends an unauthenticated session of a source that holds
// more threads than its own, and takes the thread that comes free.
void usbip_listener::dispatch()
{
    // Published before any thread count is looked at: a thread that comes
    // free after this pass looked sees the count and wakes the accept thread.
    ready_count_ = ready_.size();
    for (auto it = ready_.begin(); it != ready_.end();) {
        const usbip_source source = it->p->source;
        bool taken = take_thread(source);
        if (taken) {
            std::shared_ptr<usbip_pending> p = std::make_shared<usbip_pending>(std::move(*it->p));
            taken = pool_->try_run(session(p));
            if (!taken) {
                give_back_thread(source);
                *it->p = std::move(*p);
            }
        }
        if (taken) {
            it = remove_from_room(it, source);
            continue;
        }
        if (!it->preempting && pool_->busy_count() >= pool_->ceiling() &&
            pool_->evict_heaviest(source.key(), threads_of(source)))
            it->preempting = true;
        ++it;
    }
    ready_count_ = ready_.size();
}

int usbip_listener::poll_timeout(std::int64_t now) const
{
    std::int64_t next = now + 1000;
    if (next_due_ != 0 && next_due_ < next) next = next_due_;
    if (!ready_.empty()) next = std::min(next, now + 50);  // a thread may come free unsignalled
    if (accept_paused_until_ != 0) next = std::min(next, accept_paused_until_);
    return next <= now ? 0 : static_cast<int>(next - now);
}

void usbip_listener::run()
{
    while (running_) {
        try {
            run_passes();
        } catch (...) {
            // Out of memory in a pass: the connections it touched may be
            // lost, but the listener goes on.
            plat::sleep_ms(10);
        }
    }
    while (!waiting_.empty()) drop(waiting_.begin());
    while (!ready_.empty()) drop(ready_.begin());
}

void usbip_listener::run_passes()
{
    std::vector<std::uintptr_t> keys;
    while (running_) {
        std::int64_t now = plat::monotonic_ms();
        expire(now);
        dispatch();
        if (poller_.wait(keys, kReadyPerPass, poll_timeout(now)) < 0) {
            plat::sleep_ms(10);  // not expected; do not spin
            continue;
        }
        if (!running_) break;
        now = plat::monotonic_ms();
        bool accept_now = false;
        for (std::uintptr_t key : keys) {
            if (key == kWakerKey) {
                waker_.clear();
            } else if (key == kListenKey) {
                accept_now = true;
            } else {
                // Its peer spoke: to the back of the ready queue, in the
                // order the connections became ready.
                auto w = watched_.find(key);
                if (w == watched_.end()) continue;
                Place it = w->second;
                poller_.remove(it->p->socket.get());
                watched_.erase(w);
                it->ready = true;
                ready_.splice(ready_.end(), waiting_, it);
            }
        }
        if (accept_now) accept_burst(now);
    }
}
