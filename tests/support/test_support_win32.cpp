// The Windows side of the test helpers: Winsock, Toolhelp, processes.
//
// Test sockets are non-blocking and not inherited by child processes; the
// helpers wait with WSAPoll for at most the socket's time-out (10 s unless
// set_socket_timeouts says otherwise), so that a socket handed to the library
// (usbip_conn) is what the library expects of every socket: non-blocking.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>

namespace {

// Winsock for the whole test program, before any test and independent of
// the library's own start and stop.
struct Winsock {
    Winsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
} g_winsock;

SOCKET sock(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }
int fd_of(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

// The time-out of each test socket, in milliseconds.
std::mutex g_timeouts_mutex;
std::map<int, int> g_timeouts;

int timeout_of(int fd)
{
    std::lock_guard<std::mutex> lock(g_timeouts_mutex);
    auto it = g_timeouts.find(fd);
    return it == g_timeouts.end() ? 10000 : it->second;
}

SOCKET new_socket(int family = AF_INET)
{
    SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return s;
    u_long one = 1;
    ioctlsocket(s, FIONBIO, &one);
    return s;
}

// Waits for `events` on the socket; true when it came (or an error did).
bool wait_for(SOCKET s, SHORT events, int ms)
{
    WSAPOLLFD p{};
    p.fd = s;
    p.events = events;
    return WSAPoll(&p, 1, ms) > 0;
}

sockaddr_in loopback(int port, const char *address = "127.0.0.1")
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address, &sa.sin_addr);
    sa.sin_port = htons(static_cast<u_short>(port));
    return sa;
}

std::wstring widen(const std::string &s)
{
    std::wstring w(s.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return w;
}

// One argument as CommandLineToArgvW reads it back.
std::wstring quoted(const std::wstring &arg)
{
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

const char kChildVariable[] = "HALVOREN_TEST_IN_CHILD";
const char kChildMarker[] = "@@child-result@@";

// Connects the non-blocking `s` within timeout_ms; closes it on failure.
bool connect_within(SOCKET s, const sockaddr *sa, int sa_len, int timeout_ms)
{
    int err = 0, len = sizeof err;
    if (connect(s, sa, sa_len) != 0 &&
        (WSAGetLastError() != WSAEWOULDBLOCK || !wait_for(s, POLLWRNORM, timeout_ms) ||
         getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0 || err != 0)) {
        closesocket(s);
        return false;
    }
    return true;
}

}  // namespace

int process_thread_count() { return static_cast<int>(unnamed_thread_ids().size()); }

std::set<int> unnamed_thread_ids()
{
    std::set<int> ids;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    DWORD me = GetCurrentProcessId();
    for (BOOL more = Thread32First(snap, &t); more; more = Thread32Next(snap, &t))
        if (t.th32OwnerProcessID == me) ids.insert(static_cast<int>(t.th32ThreadID));
    CloseHandle(snap);
    return ids;
}

// Each thread's id and the module its start routine lies in (Wine's own
// workers start in ntdll), to tell whose a thread is.
std::string thread_names()
{
    using Query = LONG(WINAPI *)(HANDLE, int, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    std::string out;
    for (int id : unnamed_thread_ids()) {
        out += std::to_string(id);
        HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(id));
        void *start = nullptr;
        HMODULE module = nullptr;
        char name[MAX_PATH] = "";
        if (h != nullptr && query != nullptr && query(h, 9 /* ThreadQuerySetWin32StartAddress */, &start,
                                                      sizeof start, nullptr) == 0 &&
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCSTR>(start), &module) &&
            GetModuleFileNameA(module, name, sizeof name) > 0) {
            const char *base = std::strrchr(name, '\\');
            char at[32];
            std::snprintf(at, sizeof at, "+0x%llx", static_cast<unsigned long long>(
                static_cast<const char *>(start) - reinterpret_cast<const char *>(module)));
            out += std::string("(") + (base != nullptr ? base + 1 : name) + at + ")";
        }
        if (h != nullptr) CloseHandle(h);
        out += " ";
    }
    return out;
}

void *load_library(const char *path) { return reinterpret_cast<void *>(LoadLibraryA(path)); }

void *library_symbol(void *lib, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

bool unload_library(void *lib) { return FreeLibrary(static_cast<HMODULE>(lib)) != 0; }

std::string library_error() { return "error " + std::to_string(GetLastError()); }

bool file_is_private(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string make_temp_dir()
{
    char base[MAX_PATH];
    if (GetTempPathA(sizeof base, base) == 0) return "";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string dir = std::string(base) + "usbip-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                          std::to_string(GetTickCount64() + static_cast<unsigned>(attempt));
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    }
    return "";
}

double process_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME &f) {
        return ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

std::string in_child_process(const std::function<std::string()> &body)
{
    char flag[4] = {};
    if (GetEnvironmentVariableA(kChildVariable, flag, sizeof flag) > 0) {
        // The child: report and end here, before anything else of the test.
        std::string result = hex_of(body());
        std::printf("\n%s%s\n", kChildMarker, result.c_str());
        std::fflush(stdout);
        std::_Exit(0);
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    SetEnvironmentVariableA(kChildVariable, "1");
    std::string hex;
    {
        ChildProcess child({self, filter});
        SetEnvironmentVariableA(kChildVariable, nullptr);
        hex = child.wait_for(std::string(kChildMarker) + "([0-9a-f]*)", 30000);
    }
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

Listener::Listener(int backlog)
{
    SOCKET s = new_socket();
    sockaddr_in sa = loopback(0);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, backlog) != 0) {
        closesocket(s);
        return;
    }
    int len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len);
    fd_ = fd_of(s);
    port_ = ntohs(sa.sin_port);
}

Listener::~Listener() { raw_close(fd_); }

int Listener::accept_one(int timeout_ms)
{
    if (!wait_for(sock(fd_), POLLRDNORM, timeout_ms)) return -1;
    SOCKET s = accept(sock(fd_), nullptr, nullptr);
    if (s == INVALID_SOCKET) return -1;
    u_long one = 1;
    ioctlsocket(s, FIONBIO, &one);
    return fd_of(s);
}

bool port_is_free(int port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<u_short>(port));
    bool ok = bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    closesocket(s);
    return ok;
}

void set_socket_buffers(std::intptr_t fd, int bytes)
{
    SOCKET s = static_cast<SOCKET>(fd);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes);
}

void set_socket_timeouts(int fd, int timeout_ms)
{
    std::lock_guard<std::mutex> lock(g_timeouts_mutex);
    g_timeouts[fd] = timeout_ms;
}

int raw_connect_with(const char *source, int receive_buffer, int port, int timeout_ms)
{
    SOCKET s = new_socket();
    if (s == INVALID_SOCKET) return -1;
    if (receive_buffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receive_buffer), sizeof receive_buffer);
    if (source != nullptr) {
        sockaddr_in from = loopback(0, source);
        if (bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            closesocket(s);
            return -1;
        }
    }
    sockaddr_in sa = loopback(port);
    if (!connect_within(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa, timeout_ms)) return -1;
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    set_socket_timeouts(fd_of(s), timeout_ms);
    return fd_of(s);
}

bool ipv6_loopback()
{
    SOCKET s = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    bool ok = s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    if (s != INVALID_SOCKET) closesocket(s);
    return ok;
}

int raw_connect6(int port, int timeout_ms)
{
    SOCKET s = new_socket(AF_INET6);
    if (s == INVALID_SOCKET) return -1;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(static_cast<u_short>(port));
    if (!connect_within(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa, timeout_ms)) return -1;
    set_socket_timeouts(fd_of(s), timeout_ms);
    return fd_of(s);
}

bool raw_socket_pair(int sv[2])
{
    Listener l(1);
    int a = raw_connect(l.port());
    int b = a < 0 ? -1 : l.accept_one();
    if (b < 0) {
        raw_close(a);
        return false;
    }
    sv[0] = a;
    sv[1] = b;
    return true;
}

void raw_shutdown_send(int fd) { shutdown(sock(fd), SD_SEND); }

// The test's sockets are non-blocking: one send is one attempt.
long raw_send_now(int fd, const void *data, std::size_t len)
{
    int n = ::send(sock(fd), static_cast<const char *>(data), static_cast<int>(len), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool raw_send(int fd, const void *data, std::size_t len)
{
    const char *p = static_cast<const char *>(data);
    int timeout = timeout_of(fd);
    while (len > 0) {
        int n = send(sock(fd), p, static_cast<int>(std::min<std::size_t>(len, 1 << 20)), 0);
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK && wait_for(sock(fd), POLLWRNORM, timeout)) continue;
        return false;
    }
    return true;
}

long raw_recv_once(int fd, void *data, std::size_t len)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        int n = recv(sock(fd), static_cast<char *>(data), static_cast<int>(std::min<std::size_t>(len, 1 << 20)), 0);
        if (n >= 0) return n;
        if (WSAGetLastError() != WSAEWOULDBLOCK || attempt > 0) return -1;
        if (!wait_for(sock(fd), POLLRDNORM, timeout_of(fd))) return -1;
    }
    return -1;
}

long raw_recv_some(int fd, void *data, std::size_t len, int wait_ms)
{
    if (!wait_for(sock(fd), POLLRDNORM, wait_ms)) return -1;
    int n = recv(sock(fd), static_cast<char *>(data), static_cast<int>(std::min<std::size_t>(len, 1 << 20)), 0);
    if (n > 0) return n;
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return -1;
    return 0;
}

void raw_reset(int fd)
{
    if (fd < 0) return;
    linger now{1, 0};
    setsockopt(sock(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now), sizeof now);
    raw_close(fd);
}

void raw_close(int fd)
{
    if (fd < 0) return;
    {
        std::lock_guard<std::mutex> lock(g_timeouts_mutex);
        g_timeouts.erase(fd);
    }
    closesocket(sock(fd));
}

// The child gets a console process group of its own, so that stop() can
// send it Ctrl-Break alone; its output goes to a pipe that only it
// inherits.
ChildProcess::ChildProcess(const std::vector<std::string> &args)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd;
    for (const auto &a : args) cmd += (cmd.empty() ? L"" : L" ") + quoted(widen(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    PROCESS_INFORMATION pi{};
    std::wstring exe = widen(args.at(0));
    if (CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr, nullptr,
                       &si, &pi)) {
        CloseHandle(pi.hThread);
        process_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
        child_id_ = pi.dwProcessId;
    }
    CloseHandle(write_end);
    out_ = reinterpret_cast<std::intptr_t>(read_end);
}

ChildProcess::~ChildProcess()
{
    stop();
    if (out_ != -1) CloseHandle(reinterpret_cast<HANDLE>(out_));
}

bool ChildProcess::read_output(int ms)
{
    HANDLE pipe = reinterpret_cast<HANDLE>(out_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;  // ended
        if (available > 0) {
            char buf[1024];
            DWORD n = 0;
            if (!ReadFile(pipe, buf, std::min<DWORD>(available, sizeof buf), &n, nullptr) || n == 0) return false;
            buffer_.append(buf, n);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return true;
        Sleep(10);
    }
}

long ChildProcess::pid() const { return static_cast<long>(child_id_); }

std::string usbip_tool() { return ""; }

int ChildProcess::stop(int signal)
{
    if (process_ == -1) return status_;
    HANDLE h = reinterpret_cast<HANDLE>(process_);
    if (signal != 0) GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child_id_);
    DWORD code = 0;
    if (WaitForSingleObject(h, 5000) == WAIT_OBJECT_0 && GetExitCodeProcess(h, &code)) {
        status_ = static_cast<int>(code);
    } else {
        TerminateProcess(h, 1);
        WaitForSingleObject(h, 5000);
        status_ = -1;
    }
    CloseHandle(h);
    process_ = -1;
    return status_;
}
