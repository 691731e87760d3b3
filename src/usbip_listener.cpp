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

}  // namespace

bool usbip_listener::start(int port, const char *who, const char *spawn_failed, const usbip_listener_limits &limits,
                           plat::WorkerPool &pool, usbip_listener_hooks hooks)
{
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
    // Tasks of the pool that end later see running_ cleared under this
    // lock and leave the waker alone.
    std::lock_guard<std::mutex> lock(shares_mutex_);
    waker_.close();
    plat::unpin_module();
}

std::size_t usbip_listener::waiting() { return waiting_count_; }

int usbip_listener::port() const { return port_ > 0 ? port_.load() : 0; }

// Starts watching a connection that waits for its peer's first bytes.
void usbip_listener::watch(Place it)
{
    auto key = reinterpret_cast<std::uintptr_t>(it->get());
    if (!poller_.add((*it)->socket.get(), key)) {
        drop(it, waiting_);
        return;
    }
    watched_.emplace(key, it);
    std::int64_t due = (*it)->deadline_ms;
    if ((*it)->timer_ms != 0 && (*it)->timer_ms < due) due = (*it)->timer_ms;
    if (next_due_ == 0 || due < next_due_) next_due_ = due;
}

void usbip_listener::drop(Place it, std::list<Entry> &from)
{
    auto key = reinterpret_cast<std::uintptr_t>(it->get());
    if (watched_.erase(key) != 0) poller_.remove((*it)->socket.get());
    {
        std::lock_guard<std::mutex> lock(shares_mutex_);
        auto share = shares_.find((*it)->peer);
        if (share != shares_.end() && --share->second.waiting == 0 && share->second.served == 0) shares_.erase(share);
    }
    from.erase(it);  // closes the socket
    --waiting_count_;
}

// Closes the connection that has waited longest for its peer's first bytes
// (of one address, or of all): it makes room for a new one.
bool usbip_listener::evict_oldest(const plat::PeerAddress *of)
{
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if (of == nullptr || (*it)->peer == *of) {
            drop(it, waiting_);
            return true;
        }
    }
    return false;
}

void usbip_listener::accept_burst(std::int64_t now)
{
    for (int n = 0; n < kAcceptsPerPass; ++n) {
        plat::socket_t s;
        plat::PeerAddress peer;
        switch (plat::accept(listen_.get(), &s, &peer)) {
        case plat::AcceptStatus::accepted:
            break;
        case plat::AcceptStatus::none_pending:
            return;
        case plat::AcceptStatus::no_descriptors:
            // Out of descriptors: an idle connection makes room, or the
            // queue waits a moment instead of waking this thread at once.
            if (evict_oldest(nullptr)) continue;
            accept_paused_until_ = now + 100;
            poller_.remove(listen_.get());
            accepting_ = false;
            return;
        case plat::AcceptStatus::failed:
            return;
        }
        auto p = std::make_unique<usbip_pending>();
        p->socket.reset(s);
        p->peer = peer;
        p->source = usbip_source_of(peer);
        p->accepted_ms = now;
        p->deadline_ms = now + limits_.wait_ms;
        plat::set_nodelay(s);
        std::size_t of_peer;
        {
            std::lock_guard<std::mutex> lock(shares_mutex_);
            auto share = shares_.find(peer);
            of_peer = share == shares_.end() ? 0 : share->second.waiting;
        }
        // A new connection pushes out the one that has waited longest: of
        // its own address when that has its share, else of all when the
        // room is full. One that has spoken and waits for a thread stays.
        if (of_peer >= limits_.waiting_per_address && !evict_oldest(&peer)) continue;  // refused: closed
        if (waiting_count_ >= limits_.waiting && !evict_oldest(nullptr)) continue;
        if (!hooks_.admit(*p)) continue;
        if (serve_at_once(p)) continue;
        {
            std::lock_guard<std::mutex> lock(shares_mutex_);
            ++shares_[peer].waiting;
        }
        waiting_.push_back(std::move(p));
        ++waiting_count_;
        watch(std::prev(waiting_.end()));
    }
}

void usbip_listener::expire(std::int64_t now)
{
    if (accept_paused_until_ != 0 && now >= accept_paused_until_) {
        accept_paused_until_ = 0;
        accepting_ = poller_.add(listen_.get(), kListenKey);
    }
    // Nothing waiting is due before next_due_: most passes end here.
    if (next_due_ != 0 && now >= next_due_) {
        next_due_ = 0;
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            auto next = std::next(it);
            usbip_pending &p = **it;
            if (p.timer_ms != 0 && now >= p.timer_ms) {
                p.timer_ms = 0;
                if (!hooks_.on_timer || !hooks_.on_timer(p)) {
                    drop(it, waiting_);
                    it = next;
                    continue;
                }
            }
            if (now >= p.deadline_ms) {
                drop(it, waiting_);
            } else {
                std::int64_t due = p.timer_ms != 0 && p.timer_ms < p.deadline_ms ? p.timer_ms : p.deadline_ms;
                if (next_due_ == 0 || due < next_due_) next_due_ = due;
            }
            it = next;
        }
    }
    // A connection that spoke but found no free thread before its time ran
    // out is not served any more either.
    for (auto it = ready_.begin(); it != ready_.end();) {
        auto next = std::next(it);
        if (now >= (*it)->deadline_ms) drop(it, ready_);
        it = next;
    }
}

// An address's connection no longer holds a thread (shares_mutex_ held).
void usbip_listener::give_back_served(const plat::PeerAddress &peer)
{
    auto share = shares_.find(peer);
    if (share != shares_.end() && --share->second.served == 0 && share->second.waiting == 0) shares_.erase(share);
}

// The task that serves one connection on a thread of the pool, and gives
// its address's share back.
std::function<void()> usbip_listener::session(std::shared_ptr<usbip_pending> p)
{
    return [this, p] {
        try {
            hooks_.serve(*p);
        } catch (...) {
            // the connection closes below; the next one is served
        }
        p->socket.reset();
        std::lock_guard<std::mutex> lock(shares_mutex_);
        give_back_served(p->peer);
        // A thread came free: the accept thread needs to know only when
        // connections wait for one (stop closes the waker under this lock).
        if (running_ && ready_count_ != 0) waker_.signal();
    };
}

// A new connection goes straight to a thread when one is parked (idle) and
// its address has a share free: that thread waits for the peer's first bytes
// itself, within the connection's deadline, and its wake-up is not on the
// path of the first reply. No thread is started for it: a connection finds
// none parked waits in the room without one.
bool usbip_listener::serve_at_once(std::unique_ptr<usbip_pending> &p)
{
    if (p->timer_ms != 0) return false;  // the timer is this thread's
    {
        std::lock_guard<std::mutex> lock(shares_mutex_);
        Share &share = shares_[p->peer];
        if (share.served >= limits_.served_per_address) return false;
        ++share.served;
    }
    std::shared_ptr<usbip_pending> shared(std::move(p));
    if (pool_->try_run_parked(session(shared))) return true;
    {
        std::lock_guard<std::mutex> lock(shares_mutex_);
        give_back_served(shared->peer);
    }
    p = std::make_unique<usbip_pending>(std::move(*shared));
    return false;
}

// Hands connections whose peer has spoken to the pool, oldest first, as
// long as it has room; an address that has its share of threads waits for
// one of them to end.
void usbip_listener::dispatch()
{
    // Published before any share is looked at: a thread that frees a share
    // after this pass looked at it sees the count and wakes the accept thread.
    ready_count_ = ready_.size();
    for (auto it = ready_.begin(); it != ready_.end();) {
        const plat::PeerAddress peer = (*it)->peer;
        {
            std::lock_guard<std::mutex> lock(shares_mutex_);
            Share &share = shares_[peer];
            if (share.served >= limits_.served_per_address) {
                ++it;
                continue;
            }
            ++share.served;  // taken back below if no thread takes it
        }
        std::shared_ptr<usbip_pending> p(std::move(*it));
        bool taken = pool_->try_run(session(p));
        std::lock_guard<std::mutex> lock(shares_mutex_);
        Share &share = shares_[peer];
        if (!taken) {
            --share.served;
            *it = std::make_unique<usbip_pending>(std::move(*p));
            return;  // the pool is full: nothing else can go either
        }
        --share.waiting;
        it = ready_.erase(it);
        --waiting_count_;
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
    while (!waiting_.empty()) drop(waiting_.begin(), waiting_);
    while (!ready_.empty()) drop(ready_.begin(), ready_);
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
                poller_.remove((*it)->socket.get());
                watched_.erase(w);
                ready_.splice(ready_.end(), waiting_, it);
            }
        }
        if (accept_now) accept_burst(now);
    }
}
