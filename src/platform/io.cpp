// The parts of the platform layer that need no OS header: timed transfers
// built on the one-attempt primitives and the waits, the count of module
// pins, and small helpers.
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace plat {

namespace {

// The wait before the next attempt: what is left of the deadline (at least
// 1 ms, so that a deadline in the past still gets one look), or no limit.
// Long waits are cut into hours, which poll() takes as an int.
int wait_ms_until(std::int64_t deadline_ms)
{
    if (deadline_ms == 0) return -1;
    std::int64_t left = deadline_ms - monotonic_ms();
    if (left < 1) return 1;
    return left > 3600000 ? 3600000 : static_cast<int>(left);
}

bool passed(std::int64_t deadline_ms) { return deadline_ms != 0 && monotonic_ms() >= deadline_ms; }

template <typename Attempt, typename Wait>
long transfer_until(Attempt attempt, Wait wait, std::int64_t deadline_ms, IoError *err)
{
    for (;;) {
        long n = attempt(err);
        if (n >= 0 || *err != IoError::would_block) return n;
        if (passed(deadline_ms)) {
            *err = IoError::timed_out;
            return -1;
        }
        if (wait(wait_ms_until(deadline_ms)) < 0) {
            *err = IoError::failed;
            return -1;
        }
    }
}

}  // namespace

long recv_until(socket_t s, void *data, std::size_t len, std::int64_t deadline_ms, IoError *err)
{
    return transfer_until([&](IoError *e) { return recv_now(s, data, len, e); },
                          [s](int ms) { return wait_readable(s, ms); }, deadline_ms, err);
}

long send_until(socket_t s, const void *data, std::size_t len, std::int64_t deadline_ms, IoError *err)
{
    return transfer_until([&](IoError *e) { return send_now(s, data, len, e); },
                          [s](int ms) { return wait_writable(s, ms); }, deadline_ms, err);
}

bool send_all_until(socket_t s, const void *data, std::size_t len, std::int64_t deadline_ms)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        IoError err;
        long n = send_until(s, p, len, deadline_ms, &err);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool PeerAddress::operator==(const PeerAddress &o) const
{
    return size == o.size && std::memcmp(bytes, o.bytes, size) == 0;
}

std::size_t PeerAddressHash::operator()(const PeerAddress &a) const
{
    // FNV-1a over the address bytes.
    std::size_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < a.size; ++i) h = (h ^ a.bytes[i]) * 1099511628211ull;
    return h ^ a.size;
}

namespace {

// The reference that keeps this module loaded while pins are held.
std::mutex &pin_mutex()
{
    static std::mutex *m = new std::mutex;  // never destroyed: used until the last moment
    return *m;
}
int g_pins = 0;
void *g_pin_reference = nullptr;

}  // namespace

void pin_module()
{
    std::lock_guard<std::mutex> lock(pin_mutex());
    if (g_pins++ == 0) g_pin_reference = module_reference_take();
}

void unpin_module()
{
    std::lock_guard<std::mutex> lock(pin_mutex());
    if (g_pins == 0 || --g_pins > 0) return;
    module_reference_drop(g_pin_reference);
    g_pin_reference = nullptr;
}

#if !defined(__linux__)

// Where the system has no epoll: one poll over everything watched.
struct Poller::Impl {
    std::vector<PollEntry> entries;
    std::vector<std::uintptr_t> keys;
};

Poller::Poller() : impl_(std::make_unique<Impl>()) {}
Poller::~Poller() = default;
bool Poller::open() { return true; }

bool Poller::add(socket_t s, std::uintptr_t key)
{
    PollEntry e;
    e.s = s;
    e.want_read = true;
    impl_->entries.push_back(e);
    impl_->keys.push_back(key);
    return true;
}

void Poller::remove(socket_t s)
{
    for (std::size_t i = 0; i < impl_->entries.size(); ++i) {
        if (impl_->entries[i].s == s) {
            impl_->entries.erase(impl_->entries.begin() + static_cast<std::ptrdiff_t>(i));
            impl_->keys.erase(impl_->keys.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

int Poller::wait(std::vector<std::uintptr_t> &ready, std::size_t max, int timeout_ms)
{
    ready.clear();
    int n = poll_many(impl_->entries.data(), impl_->entries.size(), timeout_ms);
    for (std::size_t i = 0; n > 0 && i < impl_->entries.size() && ready.size() < max; ++i)
        if (impl_->entries[i].readable) ready.push_back(impl_->keys[i]);
    return n < 0 ? -1 : static_cast<int>(ready.size());
}

#endif

void Waker::close()
{
    read_.reset();
    write_.reset();
}

void Waker::signal()
{
    char b = 1;
    IoError err;
    send_now(write_.get(), &b, 1, &err);  // a full pipe is signalled already
}

void Waker::clear()
{
    char buf[64];
    IoError err;
    while (recv_now(read_.get(), buf, sizeof buf, &err) > 0) {
    }
}

}  // namespace plat
