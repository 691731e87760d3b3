// Library frame: the per-thread last error, the guard of every export, the
// protocol version. usbip.cpp.
#ifndef HALVOREN_USBIP_FRAME_H
#define HALVOREN_USBIP_FRAME_H

#include <cstddef>

#if defined(__GNUC__)
#define USBIP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define USBIP_PRINTF(fmt, args)
#endif

inline constexpr int USBIP_VERSION = 0x0111;
inline constexpr std::size_t USBIP_ERROR_SIZE = 1024;

// Formats the calling thread's last-error message (cut to 1,023 characters).
int usbip_set_last_error(const char *fmt, ...) USBIP_PRINTF(1, 2);

// Runs an export's body; an exception (only std::bad_alloc is expected)
// becomes a failure with a message instead of crossing the C boundary.
template <typename R, typename F>
R usbip_guard(R on_failure, F &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        usbip_set_last_error("Out of memory");
        return on_failure;
    }
}

#endif
