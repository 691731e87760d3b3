// The device record, its JSON object and the JSON arrays of the list
// exports. usbip_device.cpp.
#ifndef HALVOREN_USBIP_DEVICE_H
#define HALVOREN_USBIP_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr int USBIP_MAX_DEVICES = 64;
// A configuration has at most 32 interfaces.
inline constexpr int USBIP_MAX_INTERFACES = 32;

struct usbip_interface_codes {
    std::uint8_t bInterfaceClass;
    std::uint8_t bInterfaceSubClass;
    std::uint8_t bInterfaceProtocol;
};

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
    // Local records: where the device is plugged in, as libusb numbers it.
    // The bus id holds the bus and the ports; the address tells this
    // plugging from an earlier one at the same ports (the bus gives each
    // new plugging a new address). 0 in decoded records.
    std::uint8_t bus_number;
    std::uint8_t address;
    // The interfaces of the active configuration (each one's first alternate
    // setting) in descriptor order; in decoded records, the interface entries
    // that the device list carried. Neither part of the JSON.
    std::uint8_t interface_count;
    usbip_interface_codes interfaces[USBIP_MAX_INTERFACES];
    // The serial number string; empty when the device has none or it cannot
    // be read. Local records only; not part of the JSON.
    char serial[256];
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

// The name of a USB class code that local and remote devices share
// ("audio", "hid", "hub", ...); null for the codes whose name depends on
// where the device is.
const char *usbip_common_class_name(unsigned code);
// The name of a class code by the table of local devices: the common names,
// "wireless", "vendor-specific", and "other" for the rest.
const char *usbip_local_class_name(unsigned code);

// Renders records as a JSON array into `out` and returns out.c_str().
const char *usbip_devices_to_json(std::string &out, const usbip_device *devs, int count);

#endif
