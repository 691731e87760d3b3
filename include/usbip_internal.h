// Internal interfaces shared between the modules of the library: the device
// record, the connection object, and the functions modules call across each
// other. Not installed, not part of the ABI.
#ifndef HALVOREN_USBIP_INTERNAL_H
#define HALVOREN_USBIP_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

// ---------------------------------------------------------------------------
// Library frame (usbip.cpp)

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

// ---------------------------------------------------------------------------
// Device record and JSON (usbip_enum.cpp)

inline constexpr int USBIP_MAX_DEVICES = 64;

struct usbip_device {
    char busid[32];
    char path[256];
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bConfigurationValue;
    std::uint8_t bNumConfigurations;
    std::uint8_t bNumInterfaces;
    std::uint32_t speed;
    char vendor[256];
    char product[256];
    char speed_name[16];
    char class_name[32];
    std::int32_t shared;
};

// Copies text into a fixed-width field, cut to fit and NUL-terminated.
void usbip_copy_text(char *dst, std::size_t size, const char *src);

// Appends `text` as the body of a JSON string: quotes, backslashes and
// control characters escaped, bytes that are not valid UTF-8 replaced by
// U+FFFD. Plain printable ASCII is appended unchanged.
void usbip_json_escape(std::string &out, const char *text, std::size_t max_len);
// Appends the device JSON object of `dev`.
void usbip_dev_to_json(std::string &out, const usbip_device &dev);

// Builds a JSON array, one object at a time, into a caller's buffer.
class json_array_builder {
public:
    explicit json_array_builder(std::string &out) : out_(out)
    {
        out_.reserve(65536);  // a list call keeps returning the same address
        out_.clear();
        out_.push_back('[');
    }
    // Begins the next item: writes the separator; the caller appends the object.
    std::string &next()
    {
        if (items_++ > 0) out_.push_back(',');
        return out_;
    }
    const char *finish()
    {
        out_.push_back(']');
        return out_.c_str();
    }

private:
    std::string &out_;
    int items_ = 0;
};

// Renders records as a JSON array into `out` and returns out.c_str().
const char *usbip_devices_to_json(std::string &out, const usbip_device *devs, int count);

// ---------------------------------------------------------------------------
// Local device inventory (usbip_enum.cpp)

int usbip_enum_init();
void usbip_enum_cleanup();
int usbip_enum_refresh();
int usbip_enum_get_count();
// Copies the inventory record with exactly this bus id into `out`, under the
// inventory lock. False when there is none.
bool usbip_enum_find_by_busid(const char *busid, usbip_device *out);

// ---------------------------------------------------------------------------
// TLS layer (usbip_tls.cpp)

int usbip_tls_init();
void usbip_tls_cleanup();

// ---------------------------------------------------------------------------
// Stopped by usbip_cleanup; no-ops until the server and relay exist.

extern "C" void usbip_server_stop(void);
extern "C" void usbip_relay_stop(void);

#endif
