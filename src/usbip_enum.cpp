// The inventory of local USB devices: enumeration through libusb into a
// table of records, and the exports that list it.
#include "usbip_enum.h"

#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "halvoren_usbip.h"
#include "usbip_forward.h"
#include "usbip_frame.h"
#include "usbip_usb_watch.h"

namespace {

// Lock order: the refresh lock, then the inventory lock. The server lock may
// be held around the inventory lock (a share copies a record), never around
// the refresh lock; the inventory lock is never held across USB I/O, so a
// server that reads the inventory never waits on a device.
std::mutex g_refresh_mutex;  // serialises refreshes and the context's end; held across one enumeration
std::mutex g_enum_mutex;     // the inventory lock: guards the context, g_devices and the count
libusb_context *g_usb_ctx = nullptr;
// Two tables: a refresh fills the one that is not current outside the
// inventory lock, then makes it current under the lock. g_devices is written
// under both locks, so either lock keeps it still.
usbip_device g_tables[2][USBIP_MAX_DEVICES];
usbip_device *g_devices = g_tables[0];
std::atomic<int> g_device_count{0};  // also read without the lock

std::mutex g_watch_mutex;  // guards the watch and its options; taken before the refresh lock
usbip_usb_watch g_watch;
usbip_usb_watch_options g_watch_options;

thread_local std::string tls_json_buf;
thread_local std::string tls_dev_buf;

struct SpeedName {
    const char *name;
    std::uint32_t code;
};

SpeedName local_speed(int libusb_speed)
{
    switch (libusb_speed) {
    case LIBUSB_SPEED_LOW: return {"low", 1};
    case LIBUSB_SPEED_FULL: return {"full", 2};
    case LIBUSB_SPEED_HIGH: return {"high", 3};
    case LIBUSB_SPEED_SUPER: return {"super", 5};
    default: return {"unknown", 0};
    }
}

void read_string(libusb_device_handle *h, std::uint8_t index, char *field, std::size_t size)
{
    if (index == 0) return;
    unsigned char text[256] = {};
    int n = libusb_get_string_descriptor_ascii(h, index, text, sizeof text);
    if (n > 0) {
        text[n < 256 ? n : 255] = '\0';
        usbip_copy_text(field, size, reinterpret_cast<const char *>(text));
    }
}

}  // namespace

void usbip_enum_busid(libusb_device *dev, char *out, std::size_t size)
{
    const unsigned bus = libusb_get_bus_number(dev);
    std::uint8_t ports[7];  // USB has at most seven tiers below the root hub
    const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (depth <= 0) {
        // A root hub has no port: its address stands in for one.
        unsigned port = libusb_get_port_number(dev);
        if (port == 0) port = libusb_get_device_address(dev);
        std::snprintf(out, size, "%u-%u", bus, port);
        return;
    }
    // "1-3.2": port 2 of the hub on port 3 of bus 1, as sysfs names it.
    char text[64];
    int n = std::snprintf(text, sizeof text, "%u-%u", bus, ports[0]);
    for (int i = 1; i < depth; ++i)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ".%u", ports[i]);
    usbip_copy_text(out, size, text);
}

namespace {

// Fills `rec` from one device; false when its descriptor cannot be read.
bool fill_record(libusb_device *dev, usbip_device &rec)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0) return false;
    std::memset(&rec, 0, sizeof rec);

    char busid[sizeof rec.busid];
    usbip_enum_busid(dev, busid, sizeof busid);
    usbip_copy_text(rec.busid, sizeof rec.busid, busid);
    std::snprintf(rec.path, sizeof rec.path, "/sys/bus/usb/devices/%s", busid);
    rec.bus_number = libusb_get_bus_number(dev);
    rec.address = libusb_get_device_address(dev);

    rec.idVendor = desc.idVendor;
    rec.idProduct = desc.idProduct;
    rec.bcdDevice = desc.bcdDevice;
    rec.bDeviceClass = desc.bDeviceClass;
    rec.bDeviceSubClass = desc.bDeviceSubClass;
    rec.bDeviceProtocol = desc.bDeviceProtocol;
    rec.bNumConfigurations = desc.bNumConfigurations;
    SpeedName speed = local_speed(libusb_get_device_speed(dev));
    rec.speed = speed.code;
    usbip_copy_text(rec.speed_name, sizeof rec.speed_name, speed.name);

    // A class of 0 means "see the interfaces": name the first interface's.
    const char *class_name = usbip_local_class_name(desc.bDeviceClass);
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) == 0 && config != nullptr) {
        rec.bConfigurationValue = config->bConfigurationValue;
        rec.bNumInterfaces = config->bNumInterfaces;
        for (int i = 0; i < config->bNumInterfaces && i < USBIP_MAX_INTERFACES; ++i) {
            usbip_interface_codes &codes = rec.interfaces[rec.interface_count++];
            if (config->interface[i].num_altsetting > 0) {
                const libusb_interface_descriptor &alt = config->interface[i].altsetting[0];
                codes = {alt.bInterfaceClass, alt.bInterfaceSubClass, alt.bInterfaceProtocol};
            }
        }
        if (desc.bDeviceClass == 0) {
            if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0)
                class_name = usbip_local_class_name(config->interface[0].altsetting[0].bInterfaceClass);
            else
                class_name = "other";
        }
        libusb_free_config_descriptor(config);
    }
    usbip_copy_text(rec.class_name, sizeof rec.class_name, class_name);

    libusb_device_handle *handle = nullptr;
    if (libusb_open(dev, &handle) == 0) {
        read_string(handle, desc.iManufacturer, rec.vendor, sizeof rec.vendor);
        read_string(handle, desc.iProduct, rec.product, sizeof rec.product);
        read_string(handle, desc.iSerialNumber, rec.serial, sizeof rec.serial);
        libusb_close(handle);
    }
    if (rec.vendor[0] == '\0') {
        if (rec.idVendor == 0x1d6b)
            usbip_copy_text(rec.vendor, sizeof rec.vendor, "Linux Foundation");
        else
            std::snprintf(rec.vendor, sizeof rec.vendor, "Vendor_0x%04x", rec.idVendor);
    }
    if (rec.product[0] == '\0') {
        if (rec.idProduct >= 1 && rec.idProduct <= 3)
            usbip_copy_text(rec.product, sizeof rec.product, "USB Root Hub");
        else
            std::snprintf(rec.product, sizeof rec.product, "Product_0x%04x", rec.idProduct);
    }
    return true;
}

// Reads every device into `table` (at most USBIP_MAX_DEVICES); returns the
// count. No lock of the library is held: this is where USB I/O happens.
int enumerate(libusb_context *ctx, usbip_device *table)
{
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int count = 0;
    for (ssize_t i = 0; i < n && count < USBIP_MAX_DEVICES; ++i)
        if (fill_record(list[i], table[count])) ++count;
    if (list != nullptr) libusb_free_device_list(list, 1);
    return count;
}

}  // namespace

int usbip_enum_init()
{
    {
        std::lock_guard<std::mutex> lock(g_enum_mutex);
        if (g_usb_ctx == nullptr) {
            int r = libusb_init(&g_usb_ctx);
            if (r < 0) {
                g_usb_ctx = nullptr;
                usbip_set_last_error(USBIP_ERROR_DEVICE, "libusb_init failed: %d", r);
                return -1;
            }
        }
    }
    usbip_enum_refresh();
    return 0;
}

void usbip_enum_cleanup()
{
    usbip_enum_unwatch();  // its thread uses the context
    std::lock_guard<std::mutex> refresh(g_refresh_mutex);
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    if (g_usb_ctx != nullptr) {
        // Never under a live event thread: a forwarded device whose
        // transfers never came back keeps its context, which is left as it
        // is rather than freed under the thread.
        if (usbip_forward_context_idle(g_usb_ctx)) libusb_exit(g_usb_ctx);
        g_usb_ctx = nullptr;
    }
    g_device_count = 0;
}

int usbip_enum_refresh()
{
    std::lock_guard<std::mutex> refresh(g_refresh_mutex);
    libusb_context *ctx = usbip_enum_context();
    if (ctx == nullptr) return 0;
    usbip_device *fresh = g_devices == g_tables[0] ? g_tables[1] : g_tables[0];
    const int count = enumerate(ctx, fresh);
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    g_devices = fresh;
    g_device_count = count;
    return count;
}

int usbip_enum_get_count() { return g_device_count; }

libusb_context *usbip_enum_context()
{
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    return g_usb_ctx;
}

bool usbip_enum_find_by_busid(const char *busid, usbip_device *out)
{
    if (busid == nullptr) return false;
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    for (int i = 0; i < g_device_count; ++i) {
        if (std::strcmp(g_devices[i].busid, busid) == 0) {
            *out = g_devices[i];
            return true;
        }
    }
    return false;
}

std::vector<usbip_device> usbip_enum_snapshot()
{
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    return std::vector<usbip_device>(g_devices, g_devices + g_device_count);
}

bool usbip_enum_watch(std::function<void()> changed)
{
    std::lock_guard<std::mutex> watch(g_watch_mutex);
    if (g_watch.running()) return true;
    libusb_context *ctx = usbip_enum_context();
    if (ctx == nullptr) return false;
    return g_watch.start(
        ctx,
        [changed = std::move(changed)] {
            usbip_enum_refresh();
            changed();
        },
        g_watch_options);
}

void usbip_enum_unwatch()
{
    std::lock_guard<std::mutex> watch(g_watch_mutex);
    g_watch.stop();
}

bool usbip_enum_watching()
{
    std::lock_guard<std::mutex> watch(g_watch_mutex);
    return g_watch.running();
}

bool usbip_enum_watch_uses_hotplug()
{
    std::lock_guard<std::mutex> watch(g_watch_mutex);
    return g_watch.running() && g_watch.uses_hotplug();
}

void usbip_enum_set_watch_options(bool poll_only, int poll_ms)
{
    std::lock_guard<std::mutex> watch(g_watch_mutex);
    g_watch_options.poll_only = poll_only;
    g_watch_options.poll_ms = poll_ms;
}

extern "C" {

USBIP_API const char *usbip_list_local_devices(void)
{
    return usbip_guard<const char *>("[]", [] {
        usbip_enum_refresh();
        std::lock_guard<std::mutex> lock(g_enum_mutex);
        return usbip_devices_to_json(tls_json_buf, g_devices, g_device_count);
    });
}

USBIP_API int usbip_local_device_count(void) { return g_device_count; }

USBIP_API const char *usbip_local_device_info(int index)
{
    return usbip_guard<const char *>(nullptr, [index]() -> const char * {
        std::lock_guard<std::mutex> lock(g_enum_mutex);
        if (index < 0 || index >= g_device_count) return nullptr;
        tls_dev_buf.clear();
        usbip_dev_to_json(tls_dev_buf, g_devices[index]);
        return tls_dev_buf.c_str();
    });
}

}  // extern "C"
