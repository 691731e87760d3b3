// Library frame: start-up and shutdown of the whole library, the per-thread
// last-error text and the protocol version.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "halvoren_usbip.h"
#include "usbip_enum.h"
#include "usbip_events.h"
#include "usbip_server.h"
#include "usbip_frame.h"
#include "usbip_tls.h"

namespace {

// The calling thread's last error and its code; the empty text and
// USBIP_ERROR_NONE until a failure.
thread_local char tls_last_error[USBIP_ERROR_SIZE];
thread_local usbip_error_code tls_last_error_code = USBIP_ERROR_NONE;

// The init lock: the outermost lock of the library. Created on first use
// and never destroyed; no library thread ever takes it.
std::mutex &g_init_mutex()
{
    static std::mutex m;
    return m;
}

bool g_initialized = false;  // guarded by g_init_mutex

}  // namespace

int usbip_set_last_error(usbip_error_code code, const char *fmt, ...)
{
    tls_last_error_code = code;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(tls_last_error, sizeof tls_last_error, fmt, ap);
    va_end(ap);
    tls_last_error[sizeof tls_last_error - 1] = '\0';
    return n;
}

extern "C" {

USBIP_API int usbip_init(void)
{
    std::lock_guard<std::mutex> lock(g_init_mutex());
    if (g_initialized) return 0;
    if (!plat::sock_startup()) {
        usbip_set_last_error(USBIP_ERROR_SYSTEM, "Failed to initialize platform sockets");
        return -1;
    }
    if (usbip_tls_init() != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "Failed to initialize TLS subsystem");
        return -1;
    }
    // Without USB the library still works; the device exports are then empty.
    (void)usbip_enum_init();
    usbip_events_open();
    g_initialized = true;
    tls_last_error[0] = '\0';
    tls_last_error_code = USBIP_ERROR_NONE;
    return 0;
}

USBIP_API void usbip_cleanup(void)
{
    usbip_guard(0, [] {
        std::lock_guard<std::mutex> lock(g_init_mutex());
        if (!g_initialized) return 0;
        usbip_server_stop();
        usbip_server_forget_rules();
        usbip_relay_stop();
        // After the stops, whose last events stay readable: a host thread
        // that waits for an event is woken.
        usbip_events_close();
        usbip_enum_cleanup();
        usbip_tls_cleanup();
        plat::sock_cleanup();
        g_initialized = false;
        return 0;
    });
}

USBIP_API const char *usbip_last_error(void) { return tls_last_error; }

USBIP_API int usbip_last_error_code(void) { return tls_last_error_code; }

USBIP_API int usbip_protocol_version(void) { return USBIP_VERSION; }

}  // extern "C"
