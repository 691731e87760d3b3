/* A stand-in libusb-1.0.dll for tests under Wine, where umockdev (the Linux
 * tests' emulated devices) does not exist. It exports the libusb functions
 * the library calls and serves the devices a test adds through
 * fake_libusb_add(): bus, port, address, full speed, the device descriptor
 * and one configuration with one interface. Opening a device fails, as
 * reading strings does under umockdev, so names come from the ids.
 *
 * Programs that use it live in a folder of their own beside this DLL: the
 * real libusb-1.0.dll stays beside the other programs. */
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <libusb.h>

#define FAKE_EXPORT __declspec(dllexport)
#define MAX_DEVICES 128

struct libusb_context {
    int unused;
};

struct libusb_device {
    unsigned bus, port, address;
    unsigned vid, pid, dev_class, iface_class;
};

/* The devices plugged in now; guarded by g_lock (the library enumerates on
 * its own threads while a test adds devices). */
static CRITICAL_SECTION g_lock;
static INIT_ONCE g_lock_once = INIT_ONCE_STATIC_INIT;
static struct libusb_device g_devices[MAX_DEVICES];
static int g_count;
static unsigned g_next_address = 2;

static BOOL CALLBACK init_lock(PINIT_ONCE once, PVOID param, PVOID *context)
{
    (void)once, (void)param, (void)context;
    InitializeCriticalSection(&g_lock);
    return TRUE;
}

static void lock(void)
{
    InitOnceExecuteOnce(&g_lock_once, init_lock, NULL, NULL);
    EnterCriticalSection(&g_lock);
}

static void unlock(void) { LeaveCriticalSection(&g_lock); }

/* ---- For the tests ---- */

FAKE_EXPORT void fake_libusb_reset(void)
{
    lock();
    g_count = 0;
    g_next_address = 2;
    unlock();
}

/* Port 0 is the bus's root hub (address 1); other devices take addresses
 * from 2 on, as they are added. */
FAKE_EXPORT int fake_libusb_add(unsigned bus, unsigned port, unsigned vid, unsigned pid, unsigned dev_class,
                                unsigned iface_class)
{
    int ok = 0;
    lock();
    if (g_count < MAX_DEVICES) {
        struct libusb_device d = {bus, port, port == 0 ? 1 : g_next_address++, vid, pid, dev_class, iface_class};
        g_devices[g_count++] = d;
        ok = 1;
    }
    unlock();
    return ok;
}

FAKE_EXPORT void fake_libusb_remove(unsigned bus, unsigned port)
{
    lock();
    for (int i = 0; i < g_count; ++i) {
        if (g_devices[i].bus == bus && g_devices[i].port == port) {
            memmove(&g_devices[i], &g_devices[i + 1], (size_t)(g_count - i - 1) * sizeof g_devices[0]);
            --g_count;
            break;
        }
    }
    unlock();
}

/* ---- libusb ---- */

FAKE_EXPORT int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    *ctx = calloc(1, sizeof **ctx);
    return *ctx != NULL ? 0 : LIBUSB_ERROR_NO_MEM;
}

FAKE_EXPORT void LIBUSB_CALL libusb_exit(libusb_context *ctx) { free(ctx); }

/* A snapshot, newest device first (as libusb lists umockdev's devices, so
 * that a device added to a full inventory still shows): every listed
 * device is a copy, freed with the list. */
FAKE_EXPORT ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    (void)ctx;
    lock();
    int n = g_count;
    libusb_device **out = calloc((size_t)n + 1, sizeof *out);
    for (int i = 0; out != NULL && i < n; ++i) {
        out[i] = malloc(sizeof **out);
        if (out[i] != NULL) *out[i] = g_devices[n - 1 - i];
    }
    unlock();
    if (out == NULL) return LIBUSB_ERROR_NO_MEM;
    *list = out;
    return n;
}

FAKE_EXPORT void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices)
{
    (void)unref_devices;
    if (list == NULL) return;
    for (libusb_device **d = list; *d != NULL; ++d) free(*d);
    free(list);
}

FAKE_EXPORT int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = (uint8_t)dev->dev_class;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = (uint16_t)dev->vid;
    desc->idProduct = (uint16_t)dev->pid;
    desc->bcdDevice = 0x0100;
    desc->bNumConfigurations = 1;
    return 0;
}

FAKE_EXPORT uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev) { return (uint8_t)dev->bus; }
FAKE_EXPORT uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *dev) { return (uint8_t)dev->port; }
FAKE_EXPORT uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev) { return (uint8_t)dev->address; }
/* No hot-plug events, as libusb on Windows: the library polls. */
FAKE_EXPORT int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    (void)capability;
    return 0;
}

/* Every device sits on a root port (the root hubs on none). */
FAKE_EXPORT int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int port_numbers_len)
{
    if (dev->port == 0) return 0;
    if (port_numbers_len < 1) return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = (uint8_t)dev->port;
    return 1;
}
FAKE_EXPORT int LIBUSB_CALL libusb_get_device_speed(libusb_device *dev)
{
    (void)dev;
    return LIBUSB_SPEED_FULL;
}

/* One allocation: the configuration, its interface and its one setting. */
struct fake_config {
    struct libusb_config_descriptor config;
    struct libusb_interface iface;
    struct libusb_interface_descriptor setting;
};

FAKE_EXPORT int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev,
                                                               struct libusb_config_descriptor **config)
{
    struct fake_config *c = calloc(1, sizeof *c);
    if (c == NULL) return LIBUSB_ERROR_NO_MEM;
    c->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    c->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    c->setting.bInterfaceClass = (uint8_t)dev->iface_class;
    c->iface.altsetting = &c->setting;
    c->iface.num_altsetting = 1;
    c->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    c->config.bDescriptorType = LIBUSB_DT_CONFIG;
    c->config.bNumInterfaces = 1;
    c->config.bConfigurationValue = 1;
    c->config.interface = &c->iface;
    *config = &c->config;
    return 0;
}

FAKE_EXPORT void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    free(config);  /* the first member of its fake_config */
}

FAKE_EXPORT int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    (void)dev;
    *handle = NULL;
    return LIBUSB_ERROR_ACCESS;
}

FAKE_EXPORT void LIBUSB_CALL libusb_close(libusb_device_handle *handle) { (void)handle; }

FAKE_EXPORT int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index,
                                                              unsigned char *data, int length)
{
    (void)handle, (void)index, (void)data, (void)length;
    return LIBUSB_ERROR_IO;
}
