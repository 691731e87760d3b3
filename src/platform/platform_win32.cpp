// Windows side of the platform layer: Winsock 2.2, WSAPoll for every wait,
// the tick count, BCrypt's random source.
//
// Three things that POSIX gives for free are built here:
//
// - Waking a wait by shutting its socket down. Winsock does not wake a
//   WSAPoll blocked on a socket that another thread shuts down, and does not
//   report such a socket readable afterwards either (checked under Wine: the
//   poll runs to its time-out). Every wait therefore also polls a wake socket
//   of its own, and registers the sockets it waits on; shutdown_both() marks
//   the socket as shut and signals the wake socket of every wait on it. A
//   socket marked shut is ready at once for every later wait, until it is
//   closed.
// - Winsock's lifetime. The last WSACleanup destroys every socket still
//   open, and Windows hands the numbers out again: a socket the library
//   still owns (a stopped listener keeps its waker until the next start)
//   would later close somebody else's socket. So the library's last
//   WSACleanup waits until the last socket it opened is closed.
// - A refused connect. Windows versions before 10 (2004) never report a
//   failed connect through WSAPoll; a wait for writability therefore looks at
//   SO_ERROR every quarter second and reports the socket ready on an error,
//   keeping the error for connect_result() (reading SO_ERROR may clear it).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace plat {

namespace {

SOCKET sock_of(socket_t s) { return static_cast<SOCKET>(s); }
socket_t handle_of(SOCKET s) { return s == INVALID_SOCKET ? kNoSocket : static_cast<socket_t>(s); }

// How often a wait for writability looks at SO_ERROR (a failed connect that
// WSAPoll does not report).
constexpr int kConnectCheckMs = 250;

IoError classify(int e)
{
    if (e == WSAEWOULDBLOCK) return IoError::would_block;
    return IoError::failed;
}

bool set_nonblocking(SOCKET s, bool on)
{
    u_long mode = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

SOCKET counted(SOCKET s);

// A socket that child processes do not inherit (WSA_FLAG_NO_HANDLE_INHERIT
// needs Windows 7 SP1; without it the socket is made without the flag).
SOCKET new_socket(int family, int type, int protocol)
{
    SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL)
        s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET && !set_nonblocking(s, true)) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return counted(s);
}

int socket_error(SOCKET s)
{
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0) return ::WSAGetLastError();
    return err;
}

// One WSAPoll over `fds`, bounded; the poll itself never takes the lock.
int poll_raw(WSAPOLLFD *fds, std::size_t n, int timeout_ms)
{
    return ::WSAPoll(fds, static_cast<ULONG>(n), timeout_ms);
}

// ---------------------------------------------------------------------------
// Waits and their wake-ups (see the top of the file).

// The wake socket pair of one wait in progress; pooled, so that a wait
// costs no socket creation once the pool has warmed up.
struct WaitSlot {
    Waker waker;
};

// What the platform knows about its sockets.
struct WaitRegistry {
    std::mutex mutex;  // guards everything below
    // Sockets shut down by shutdown_both() and not closed yet.
    std::unordered_set<SOCKET> shut;
    // The waits in progress on each socket.
    std::unordered_multimap<SOCKET, WaitSlot *> waiting;
    // Connect errors found by a wait, for connect_result().
    std::unordered_map<SOCKET, int> connect_errors;
    std::vector<std::unique_ptr<WaitSlot>> idle;
    // Sockets the platform opened and has not closed, and the WSACleanup
    // calls that wait for them.
    long open_sockets = 0;
    int deferred_cleanups = 0;
};

// Never destroyed: a host may unload the library without usbip_cleanup, and
// nothing here may run under the loader lock then.
WaitRegistry &registry()
{
    static WaitRegistry *r = new WaitRegistry;
    return *r;
}

SOCKET counted(SOCKET s)
{
    if (s != INVALID_SOCKET) {
        WaitRegistry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        ++reg.open_sockets;
    }
    return s;
}

std::unique_ptr<WaitSlot> take_slot()
{
    WaitRegistry &reg = registry();
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (!reg.idle.empty()) {
            std::unique_ptr<WaitSlot> slot = std::move(reg.idle.back());
            reg.idle.pop_back();
            return slot;
        }
    }
    auto slot = std::make_unique<WaitSlot>();
    if (!slot->waker.open()) return nullptr;
    return slot;
}

void give_back(std::unique_ptr<WaitSlot> slot)
{
    WaitRegistry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.idle.push_back(std::move(slot));
}

std::int64_t now_ms() { return static_cast<std::int64_t>(::GetTickCount64()); }

// The wait behind wait_readable, wait_writable and poll_many.
int wait_many(PollEntry *entries, std::size_t n, int timeout_ms)
{
    WaitRegistry &reg = registry();
    const std::int64_t deadline = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
    bool any_write = false;
    for (std::size_t i = 0; i < n; ++i) {
        entries[i].readable = entries[i].writable = false;
        any_write = any_write || entries[i].want_write;
    }

    // Small waits (the common case) need no allocation; the wake socket
    // takes the last place.
    WSAPOLLFD local[9];
    std::vector<WSAPOLLFD> large;
    WSAPOLLFD *fds = local;
    if (n + 1 > 9) {
        large.resize(n + 1);
        fds = large.data();
    }

    for (;;) {
        std::unique_ptr<WaitSlot> slot = take_slot();
        int shut_ready = 0;
        {
            std::lock_guard<std::mutex> lock(reg.mutex);
            for (std::size_t i = 0; i < n; ++i) {
                if (reg.shut.count(sock_of(entries[i].s)) != 0) {
                    entries[i].readable = entries[i].want_read;
                    entries[i].writable = entries[i].want_write;
                    shut_ready += (entries[i].want_read || entries[i].want_write) ? 1 : 0;
                }
            }
            // Registered under the same lock as the check: a shutdown either
            // came before (and is seen above) or finds this wait.
            if (shut_ready == 0 && slot)
                for (std::size_t i = 0; i < n; ++i) reg.waiting.emplace(sock_of(entries[i].s), slot.get());
        }

        int slice = -1;
        if (shut_ready > 0) {
            slice = 0;  // report the other entries as they are now
        } else if (deadline != 0) {
            std::int64_t left = deadline - now_ms();
            slice = left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left));
        }
        // Without a wake socket (none could be made) shut sockets are found
        // by looking again every 100 ms.
        if (shut_ready == 0 && !slot && (slice < 0 || slice > 100)) slice = 100;
        if (shut_ready == 0 && any_write && (slice < 0 || slice > kConnectCheckMs)) slice = kConnectCheckMs;

        std::size_t count = n;
        for (std::size_t i = 0; i < n; ++i) {
            fds[i].fd = sock_of(entries[i].s);
            fds[i].events = static_cast<SHORT>((entries[i].want_read ? POLLRDNORM : 0) |
                                               (entries[i].want_write ? POLLWRNORM : 0));
            fds[i].revents = 0;
        }
        if (slot && shut_ready == 0) {
            fds[n].fd = sock_of(slot->waker.wait_socket());
            fds[n].events = POLLRDNORM;
            fds[n].revents = 0;
            count = n + 1;
        }
        int r = poll_raw(fds, count, slice);
        int poll_error = r < 0 ? ::WSAGetLastError() : 0;

        if (slot) {
            std::lock_guard<std::mutex> lock(reg.mutex);
            if (shut_ready == 0) {
                for (std::size_t i = 0; i < n; ++i) {
                    auto range = reg.waiting.equal_range(sock_of(entries[i].s));
                    for (auto it = range.first; it != range.second; ++it)
                        if (it->second == slot.get()) {
                            reg.waiting.erase(it);
                            break;
                        }
                    if (reg.shut.count(sock_of(entries[i].s)) != 0) {
                        entries[i].readable = entries[i].want_read;
                        entries[i].writable = entries[i].want_write;
                    }
                }
            }
        }
        if (slot) {
            if (count == n + 1 && fds[n].revents != 0) slot->waker.clear();
            give_back(std::move(slot));
        }
        if (r < 0 && poll_error != WSAEINTR) return -1;

        int ready = 0;
        for (std::size_t i = 0; i < n; ++i) {
            SHORT ev = r > 0 ? fds[i].revents : 0;
            if (entries[i].want_read && (ev & (POLLRDNORM | POLLRDBAND | POLLERR | POLLHUP | POLLNVAL)) != 0)
                entries[i].readable = true;
            if (entries[i].want_write && (ev & (POLLWRNORM | POLLERR | POLLHUP | POLLNVAL)) != 0)
                entries[i].writable = true;
            if (entries[i].want_write && !entries[i].writable) {
                // A connect that failed without WSAPoll saying so.
                int err = socket_error(sock_of(entries[i].s));
                if (err != 0) {
                    std::lock_guard<std::mutex> lock(reg.mutex);
                    reg.connect_errors[sock_of(entries[i].s)] = err;
                    entries[i].writable = true;
                }
            }
            if (entries[i].readable || entries[i].writable) ++ready;
        }
        if (ready > 0) return ready;
        if (deadline != 0 && now_ms() >= deadline) return 0;
        // A wake-up meant for an earlier user of the wake socket, or the end
        // of a slice: wait on.
    }
}

int wait_one(socket_t s, bool read, int timeout_ms)
{
    PollEntry e;
    e.s = s;
    e.want_read = read;
    e.want_write = !read;
    int r = wait_many(&e, 1, timeout_ms);
    return r < 0 ? -1 : (r == 0 ? 0 : 1);
}

}  // namespace

bool sock_startup()
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        ::WSACleanup();
        return false;
    }
    return true;
}

void sock_cleanup()
{
    WaitRegistry &reg = registry();
    std::vector<std::unique_ptr<WaitSlot>> idle;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        idle.swap(reg.idle);
    }
    idle.clear();  // the pooled wake sockets
    {
        // Sockets still open: the last close does this cleanup.
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.open_sockets > 0) {
            ++reg.deferred_cleanups;
            return;
        }
    }
    ::WSACleanup();
}

socket_t socket_open(const Address &addr)
{
    return handle_of(new_socket(addr.family, addr.socktype, addr.protocol));
}

void close(socket_t s)
{
    if (s == kNoSocket) return;
    int cleanups = 0;
    {
        // The number may be handed out again once closed.
        WaitRegistry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.shut.erase(sock_of(s));
        reg.connect_errors.erase(sock_of(s));
        if (reg.open_sockets > 0 && --reg.open_sockets == 0) std::swap(cleanups, reg.deferred_cleanups);
    }
    ::closesocket(sock_of(s));
    while (cleanups-- > 0) ::WSACleanup();
}

void shutdown_both(socket_t s)
{
    if (s == kNoSocket) return;
    ::shutdown(sock_of(s), SD_BOTH);
    WaitRegistry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.shut.insert(sock_of(s));
    auto range = reg.waiting.equal_range(sock_of(s));
    for (auto it = range.first; it != range.second; ++it) it->second->waker.signal();
}

void shutdown_send(socket_t s)
{
    if (s != kNoSocket) ::shutdown(sock_of(s), SD_SEND);
}

void set_nodelay(socket_t s)
{
    BOOL one = TRUE;
    ::setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
}

void set_keepalive(socket_t s, int idle_s, int interval_s, int count)
{
    // Idle time and interval in one call (every Windows version); the probe
    // count is settable from Windows 10 (1703) on and fixed at 10 before.
    tcp_keepalive ka{};
    ka.onoff = 1;
    ka.keepalivetime = static_cast<ULONG>(idle_s) * 1000;
    ka.keepaliveinterval = static_cast<ULONG>(interval_s) * 1000;
    DWORD returned = 0;
    ::WSAIoctl(sock_of(s), SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr);
    constexpr int kTcpKeepCnt = 16;  // TCP_KEEPCNT, missing from older headers
    DWORD probes = static_cast<DWORD>(count);
    ::setsockopt(sock_of(s), IPPROTO_TCP, kTcpKeepCnt, reinterpret_cast<const char *>(&probes), sizeof probes);
}

void set_send_buffer(socket_t s, int bytes)
{
    ::setsockopt(sock_of(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes);
}

bool set_blocking(socket_t s) { return set_nonblocking(sock_of(s), false); }

ConnectStart connect_start(socket_t s, const Address &addr)
{
    if (::connect(sock_of(s), reinterpret_cast<const sockaddr *>(addr.bytes), static_cast<int>(addr.length)) == 0)
        return ConnectStart::done;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::in_progress : ConnectStart::failed;
}

int connect_result(socket_t s)
{
    {
        WaitRegistry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.connect_errors.find(sock_of(s));
        if (it != reg.connect_errors.end()) return it->second;
    }
    return socket_error(sock_of(s));
}

int wait_readable(socket_t s, int timeout_ms) { return wait_one(s, true, timeout_ms); }
int wait_writable(socket_t s, int timeout_ms) { return wait_one(s, false, timeout_ms); }

int poll_many(PollEntry *entries, std::size_t n, int timeout_ms) { return wait_many(entries, n, timeout_ms); }

long send_now(socket_t s, const void *data, std::size_t len, IoError *err)
{
    int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    int n = ::send(sock_of(s), static_cast<const char *>(data), chunk, 0);  // no SIGPIPE on Windows
    if (n > 0) {
        *err = IoError::none;
        return n;
    }
    *err = n == 0 ? IoError::failed : classify(::WSAGetLastError());
    return -1;
}

long recv_now(socket_t s, void *data, std::size_t len, IoError *err)
{
    int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    int n = ::recv(sock_of(s), static_cast<char *>(data), chunk, 0);
    if (n > 0) {
        *err = IoError::none;
        return n;
    }
    if (n == 0) {
        *err = IoError::closed;
        return 0;
    }
    int e = ::WSAGetLastError();
    if (e == WSAESHUTDOWN) {
        // Shut down here (a stop woke this thread): the end, as on POSIX.
        *err = IoError::closed;
        return 0;
    }
    *err = classify(e);
    return -1;
}

bool peer_gone(socket_t s)
{
    char c;
    int n = ::recv(sock_of(s), &c, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && classify(::WSAGetLastError()) != IoError::would_block);
}

ListenStatus listen_tcp(std::uint16_t port, int backlog, socket_t *out)
{
    *out = kNoSocket;
    SOCKET s = new_socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    DWORD off = 0;
    bool v6 = s != INVALID_SOCKET &&
              ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&off), sizeof off) == 0;
    if (!v6) {
        // No IPv6 here, or no dual-stack sockets: IPv4 alone.
        close(handle_of(s));
        s = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
    if (s == INVALID_SOCKET) return ListenStatus::socket_failed;
    // SO_REUSEADDR on Windows would let another socket bind the same port
    // and take connections meant for this one. Exclusive use keeps the port
    // to this listener; Microsoft documents its price: a new listener may
    // have to wait until the old listener's accepted connections are gone.
    BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one), sizeof one);
    ListenStatus status = bind_and_listen(handle_of(s), v6, port, backlog);
    if (status != ListenStatus::ok) {
        close(handle_of(s));
        return status;
    }
    *out = handle_of(s);
    return status;
}

AcceptStatus accept(socket_t listener, socket_t *out, PeerAddress *peer)
{
    *out = kNoSocket;
    for (;;) {
        sockaddr_storage ss{};
        int len = sizeof ss;
        // An accepted socket takes over the listener's properties: it is
        // non-blocking and not inherited already; FIONBIO makes sure.
        SOCKET s = counted(::accept(sock_of(listener), reinterpret_cast<sockaddr *>(&ss), &len));
        if (s != INVALID_SOCKET) {
            if (!set_nonblocking(s, true)) {
                close(handle_of(s));
                continue;
            }
            *out = handle_of(s);
            *peer = peer_from_sockaddr(&ss);
            return AcceptStatus::accepted;
        }
        switch (::WSAGetLastError()) {
        case WSAEINTR:
        case WSAECONNRESET:  // the peer gave up while queued: take the next one
            continue;
        case WSAEWOULDBLOCK:
            return AcceptStatus::none_pending;
        case WSAEMFILE:
        case WSAENOBUFS:
            return AcceptStatus::no_descriptors;
        default:
            return AcceptStatus::failed;
        }
    }
}

// Winsock counts no sockets against a per-process limit of the kind POSIX
// has: nothing to raise, nothing to hold in reserve.
std::size_t raise_descriptor_limit() { return INT_MAX; }
bool DescriptorReserve::take() { return false; }
bool DescriptorReserve::give_up() { return false; }

std::int64_t monotonic_ms() { return now_ms(); }

std::int64_t wall_seconds() { return static_cast<std::int64_t>(::_time64(nullptr)); }

std::int64_t wall_ms()
{
    // 100 ns ticks since 1601-01-01; 11,644,473,600 s lie between 1601 and 1970.
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return static_cast<std::int64_t>(t.QuadPart / 10000) - INT64_C(11644473600000);
}

void sleep_ms(int ms) { ::Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

bool random_bytes(void *out, std::size_t len)
{
    auto *p = static_cast<unsigned char *>(out);
    while (len > 0) {
        ULONG chunk = len > 0x10000000u ? 0x10000000u : static_cast<ULONG>(len);
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        p += chunk;
        len -= chunk;
    }
    return true;
}

namespace {

// A UTF-8 path as Windows' wide-character calls take it; empty on failure.
std::wstring wide_path(const char *path)
{
    int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &w[0], n) != n) return std::wstring();
    w.resize(static_cast<std::size_t>(n - 1));
    return w;
}

}  // namespace

FileRead read_file(const char *path, std::size_t max_bytes, std::string *out)
{
    std::wstring w = wide_path(path);
    if (w.empty()) return FileRead::failed;
    HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = ::GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FileRead::missing : FileRead::failed;
    }
    out->clear();
    char buf[4096];
    FileRead result = FileRead::failed;
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(h, buf, sizeof buf, &n, nullptr)) break;
        if (n == 0) {
            result = FileRead::ok;
            break;
        }
        if (out->size() + n > max_bytes) break;
        out->append(buf, n);
    }
    ::CloseHandle(h);
    return result;
}

bool create_private_file(const char *path, const std::string &data)
{
    std::wstring w = wide_path(path);
    if (w.empty()) return false;
    // CREATE_NEW: never over a file that exists. The new file takes its
    // folder's permissions, which in a user's profile are the user's own.
    HANDLE h = ::CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD n = 0;
        DWORD chunk = data.size() - done > 0x100000 ? 0x100000 : static_cast<DWORD>(data.size() - done);
        if (!::WriteFile(h, data.data() + done, chunk, &n, nullptr) || n == 0) break;
        done += n;
    }
    bool ok = done == data.size() && ::FlushFileBuffers(h);
    if (!::CloseHandle(h)) ok = false;
    if (!ok) ::DeleteFileW(w.c_str());
    return ok;
}

bool file_exists(const char *path)
{
    std::wstring w = wide_path(path);
    return !w.empty() && ::GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void *module_reference_take()
{
    // Asking for the module that holds this function raises its count, as
    // a LoadLibrary would.
    HMODULE h = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(reinterpret_cast<void *>(&module_reference_take)), &h))
        return nullptr;
    return reinterpret_cast<void *>(h);
}

void module_reference_drop(void *reference)
{
    // The last unpin comes from a call of the host (a stop, after joining
    // the library's threads), and the host holds its own reference: the
    // module stays loaded until that call has returned.
    if (reference != nullptr) ::FreeLibrary(static_cast<HMODULE>(reference));
}

Waker::~Waker() = default;

// Windows has no socketpair(): two ends of a loopback TCP connection. The
// accepted end is checked to be the one this thread connected, so that no
// other local program can slip its connection in.
bool Waker::open()
{
    SOCKET l = new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (l == INVALID_SOCKET) return false;
    Socket listener(handle_of(l));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (::bind(l, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(l, 4) != 0 ||
        ::getsockname(l, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return false;

    Socket writer(handle_of(new_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!writer.valid()) return false;
    if (::connect(sock_of(writer.get()), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK)
        return false;
    WSAPOLLFD w{};
    w.fd = sock_of(writer.get());
    w.events = POLLWRNORM;
    if (poll_raw(&w, 1, 2000) != 1 || (w.revents & POLLWRNORM) == 0 || socket_error(w.fd) != 0) return false;
    sockaddr_in mine{};
    len = sizeof mine;
    if (::getsockname(w.fd, reinterpret_cast<sockaddr *>(&mine), &len) != 0) return false;

    for (int attempt = 0; attempt < 8; ++attempt) {
        WSAPOLLFD p{};
        p.fd = l;
        p.events = POLLRDNORM;
        if (poll_raw(&p, 1, 2000) != 1) return false;
        sockaddr_in from{};
        len = sizeof from;
        SOCKET r = counted(::accept(l, reinterpret_cast<sockaddr *>(&from), &len));
        if (r == INVALID_SOCKET) continue;
        Socket reader(handle_of(r));
        if (from.sin_port != mine.sin_port || from.sin_addr.s_addr != mine.sin_addr.s_addr) continue;
        if (!set_nonblocking(r, true)) return false;
        set_nodelay(writer.get());
        read_ = std::move(reader);
        write_ = std::move(writer);
        return true;
    }
    return false;
}

}  // namespace plat
