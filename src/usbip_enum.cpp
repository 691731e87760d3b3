// The inventory of local USB devices: enumeration through libusb into a
// table of records, and the exports that list it.
#include "usbip_enum.h"

#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "halvoren_usbip.h"
#include "usbip_frame.h"

namespace {

std::mutex g_enum_mutex;  // the inventory lock: guards everything below
libusb_context *g_usb_ctx = nullptr;
usbip_device g_devices[USBIP_MAX_DEVICES];
std::atomic<int> g_device_count{0};  // also read without the lock

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

const char *local_class_name(unsigned code)
{
    if (const char *name = usbip_common_class_name(code)) return name;
    switch (code) {
    case 0xe0: return "wireless";
    case 0xff: return "vendor-specific";
    default: return "other";
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
    unsigned bus = libusb_get_bus_number(dev);
    unsigned port = libusb_get_port_number(dev);
    if (port == 0) port = libusb_get_device_address(dev);
    std::snprintf(out, size, "%u-%u", bus, port);
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
    const char *class_name = local_class_name(desc.bDeviceClass);
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) == 0 && config != nullptr) {
        rec.bConfigurationValue = config->bConfigurationValue;
        rec.bNumInterfaces = config->bNumInterfaces;
        if (desc.bDeviceClass == 0) {
            if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0)
                class_name = local_class_name(config->interface[0].altsetting[0].bInterfaceClass);
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

int refresh_locked()
{
    if (g_usb_ctx == nullptr) return 0;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(g_usb_ctx, &list);
    int count = 0;
    for (ssize_t i = 0; i < n && count < USBIP_MAX_DEVICES; ++i)
        if (fill_record(list[i], g_devices[count])) ++count;
    if (list != nullptr) libusb_free_device_list(list, 1);
    g_device_count = count;
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
                usbip_set_last_error("libusb_init failed: %d", r);
                return -1;
            }
        }
    }
    usbip_enum_refresh();
    return 0;
}

void usbip_enum_cleanup()
{
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    if (g_usb_ctx != nullptr) {
        libusb_exit(g_usb_ctx);
        g_usb_ctx = nullptr;
    }
    g_device_count = 0;
}

int usbip_enum_refresh()
{
    std::lock_guard<std::mutex> lock(g_enum_mutex);
    return refresh_locked();
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
