// Library frame: the per-thread last error, the guard of every export, the
// protocol version. usbip.cpp.
#ifndef HALVOREN_USBIP_FRAME_H
#define HALVOREN_USBIP_FRAME_H

#include <cstddef>

#include "halvoren_usbip.h"

#if defined(__GNUC__)
#define USBIP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define USBIP_PRINTF(fmt, args)
#endif

inline constexpr int USBIP_VERSION = 0x0111;
inline constexpr std::size_t USBIP_ERROR_SIZE = 1024;

// Formats the calling thread's last-error message (cut to 1,023 characters)
// and sets its code: every message has one (docs/reference.md lists them).
int usbip_set_last_error(usbip_error_code code, const char *fmt, ...) USBIP_PRINTF(2, 3);

// Runs an export's body; an exception (only std::bad_alloc is expected)
// becomes a failure with a message instead of crossing the C boundary.
template <typename R, typename F>
R usbip_guard(R on_failure, F &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        usbip_set_last_error(USBIP_ERROR_OUT_OF_MEMORY, "Out of memory");
        return on_failure;
    }
}

#endif
