/* A stand-in libusb-1.0.dll for tests under Wine, where umockdev (the Linux
 * tests' emulated devices) does not exist. It exports the libusb functions
 * the library calls and serves the devices a test adds:
 *
 * - fake_libusb_add(): bus, port, address, full speed, the device
 *   descriptor and one configuration with one interface. Opening one fails,
 *   as reading strings does under umockdev, so names come from the ids.
 * - fake_libusb_add_urb_device(): the URB echo device of the tests
 *   (urb_device.h), which opens and answers asynchronous transfers as
 *   Windows' libusb gives them: a device bound to WinUSB, with no kernel
 *   drivers to detach, only its default configuration, and no hot-plug
 *   events (an unplugged device fails its transfers instead).
 *
 * Completed transfers are handed back by libusb_handle_events_timeout_completed
 * of the device's context, on the thread that calls it, as libusb does.
 *
 * Programs that use it live in a folder of their own beside this DLL: the
 * real libusb-1.0.dll stays beside the other programs. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <libusb.h>

#include "urb_device_descriptors.h"

#define FAKE_EXPORT __declspec(dllexport)
#define MAX_DEVICES 128
#define MAX_EVENTS 512

/* A transfer: libusb's struct last, its isochronous descriptors behind it. */
struct fake_transfer {
    struct fake_transfer *next; /* in a device queue or a context's done queue */
    int queued;                 /* waiting in a device queue */
    struct libusb_transfer t;
};
#define FAKE_OF(x) ((struct fake_transfer *)((char *)(x) - offsetof(struct fake_transfer, t)))

struct queue {
    struct fake_transfer *head, *tail;
};

struct libusb_context {
    struct queue done; /* finished, not yet handed back */
    int interrupted;
};

/* The URB echo device, shared by every libusb_device that shows it. */
struct echo_state {
    int refs;
    int gone;
    unsigned bus, port;
    libusb_device_handle *claimed_by[2];
    int alt1;
    unsigned char *echo; /* written to 0x01, not yet read from 0x81 */
    size_t echo_len, echo_cap;
    unsigned char iso_out[16384];
    size_t iso_out_len;
    struct queue bulk_in, interrupt_in;
    int in_flight; /* submitted and not yet handed back */
    char events[MAX_EVENTS][48];
    int event_count;
};

/* A plugged device. */
struct slot {
    unsigned bus, port, address;
    unsigned vid, pid, dev_class, iface_class;
    struct echo_state *echo; /* null: a device that cannot be opened */
};

struct libusb_device {
    int refs;
    libusb_context *ctx;
    struct slot s;
};

struct libusb_device_handle {
    libusb_device *dev;
};

/* Everything above is guarded by g_lock: the library enumerates and its
 * event threads run while a test adds devices and finishes transfers. */
static CRITICAL_SECTION g_lock;
static CONDITION_VARIABLE g_done; /* a context's done queue grew, or it was interrupted */
static INIT_ONCE g_lock_once = INIT_ONCE_STATIC_INIT;
static struct slot g_slots[MAX_DEVICES];
static int g_count;
static unsigned g_next_address = 2;
/* Every URB device added since the last reset, unplugged ones too: the
 * test still asks them what happened. */
static struct echo_state *g_echoes[MAX_DEVICES];
static int g_echo_count;

static BOOL CALLBACK init_lock(PINIT_ONCE once, PVOID param, PVOID *context)
{
    (void)once, (void)param, (void)context;
    InitializeCriticalSection(&g_lock);
    InitializeConditionVariable(&g_done);
    return TRUE;
}

static void lock(void)
{
    InitOnceExecuteOnce(&g_lock_once, init_lock, NULL, NULL);
    EnterCriticalSection(&g_lock);
}

static void unlock(void) { LeaveCriticalSection(&g_lock); }

static void push(struct queue *q, struct fake_transfer *f)
{
    f->next = NULL;
    if (q->tail != NULL) q->tail->next = f;
    else q->head = f;
    q->tail = f;
}

static struct fake_transfer *pop(struct queue *q)
{
    struct fake_transfer *f = q->head;
    if (f != NULL) {
        q->head = f->next;
        if (q->head == NULL) q->tail = NULL;
        f->next = NULL;
    }
    return f;
}

static int unlink_from(struct queue *q, struct fake_transfer *f)
{
    struct fake_transfer **p = &q->head, *prev = NULL;
    for (; *p != NULL; prev = *p, p = &(*p)->next) {
        if (*p != f) continue;
        *p = f->next;
        if (q->tail == f) q->tail = prev;
        f->next = NULL;
        return 1;
    }
    return 0;
}

/* Caller holds the lock (as for everything below that takes an echo). */
static void record(struct echo_state *e, const char *fmt, unsigned a, unsigned b)
{
    if (e->event_count < MAX_EVENTS) snprintf(e->events[e->event_count++], sizeof e->events[0], fmt, a, b);
}

static void echo_unref(struct echo_state *e)
{
    if (e == NULL || --e->refs > 0) return;
    free(e->echo);
    free(e);
}

static struct slot *find_slot(unsigned bus, unsigned port)
{
    for (int i = 0; i < g_count; ++i)
        if (g_slots[i].bus == bus && g_slots[i].port == port) return &g_slots[i];
    return NULL;
}

static struct echo_state *find_echo(unsigned bus, unsigned port)
{
    for (int i = g_echo_count - 1; i >= 0; --i)
        if (g_echoes[i]->bus == bus && g_echoes[i]->port == port) return g_echoes[i];
    return NULL;
}

/* Hands a transfer back to its context's next libusb_handle_events. */
static void finish(struct fake_transfer *f, enum libusb_transfer_status status, int actual)
{
    f->queued = 0;
    f->t.status = status;
    f->t.actual_length = actual;
    push(&f->t.dev_handle->dev->ctx->done, f);
    WakeAllConditionVariable(&g_done);
}

static void serve_bulk_in(struct echo_state *e)
{
    while (e->bulk_in.head != NULL && e->echo_len > 0) {
        struct fake_transfer *f = pop(&e->bulk_in);
        size_t n = e->echo_len < (size_t)f->t.length ? e->echo_len : (size_t)f->t.length;
        memcpy(f->t.buffer, e->echo, n);
        memmove(e->echo, e->echo + n, e->echo_len - n);
        e->echo_len -= n;
        finish(f, LIBUSB_TRANSFER_COMPLETED, (int)n);
    }
}

/* ---- For the tests ---- */

FAKE_EXPORT void fake_libusb_reset(void)
{
    lock();
    for (int i = 0; i < g_count; ++i) echo_unref(g_slots[i].echo);
    for (int i = 0; i < g_echo_count; ++i) echo_unref(g_echoes[i]);
    g_count = g_echo_count = 0;
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
        struct slot s = {bus, port, port == 0 ? 1 : g_next_address++, vid, pid, dev_class, iface_class, NULL};
        g_slots[g_count++] = s;
        ok = 1;
    }
    unlock();
    return ok;
}

/* The URB echo device at `port` of `bus`, with `address`. */
FAKE_EXPORT int fake_libusb_add_urb_device(unsigned bus, unsigned port, unsigned address)
{
    int ok = 0;
    lock();
    struct echo_state *e = g_count < MAX_DEVICES && g_echo_count < MAX_DEVICES ? calloc(1, sizeof *e) : NULL;
    if (e != NULL) {
        e->refs = 2; /* the slot's and the list's */
        g_echoes[g_echo_count++] = e;
        e->bus = bus;
        e->port = port;
        struct slot s = {bus, port, address, URB_DEVICE_VENDOR, URB_DEVICE_PRODUCT, 0, 0xff, e};
        g_slots[g_count++] = s;
        ok = 1;
    }
    unlock();
    return ok;
}

/* An unplug: the device leaves the list, and what waits in it fails. */
FAKE_EXPORT void fake_libusb_remove(unsigned bus, unsigned port)
{
    lock();
    struct slot *s = find_slot(bus, port);
    if (s != NULL) {
        struct echo_state *e = s->echo;
        memmove(s, s + 1, (size_t)(g_slots + g_count - s - 1) * sizeof *s);
        --g_count;
        if (e != NULL) {
            struct fake_transfer *f;
            e->gone = 1;
            while ((f = pop(&e->bulk_in)) != NULL) finish(f, LIBUSB_TRANSFER_NO_DEVICE, 0);
            while ((f = pop(&e->interrupt_in)) != NULL) finish(f, LIBUSB_TRANSFER_NO_DEVICE, 0);
            echo_unref(e);
        }
    }
    unlock();
}

/* Completes the oldest waiting interrupt IN transfer of the URB device with
 * `data` (cut to its length); 0 when none waits. */
FAKE_EXPORT int fake_libusb_complete_interrupt(unsigned bus, unsigned port, const unsigned char *data, int len)
{
    int ok = 0;
    lock();
    struct echo_state *e = find_echo(bus, port);
    struct fake_transfer *f = e != NULL ? pop(&e->interrupt_in) : NULL;
    if (f != NULL) {
        int n = len < f->t.length ? len : f->t.length;
        if (n > 0) memcpy(f->t.buffer, data, (size_t)n);
        finish(f, LIBUSB_TRANSFER_COMPLETED, n);
        ok = 1;
    }
    unlock();
    return ok;
}

/* What the URB device holds: 0 interrupt transfers waiting, 1 transfers
 * not yet handed back, 2 and 3 whether interface 0 or 1 is claimed. */
FAKE_EXPORT int fake_libusb_count(unsigned bus, unsigned port, int what)
{
    int n = 0;
    lock();
    struct echo_state *e = find_echo(bus, port);
    if (e != NULL) {
        if (what == 0)
            for (struct fake_transfer *f = e->interrupt_in.head; f != NULL; f = f->next) ++n;
        else if (what == 1)
            n = e->in_flight;
        else if (what == 2 || what == 3)
            n = e->claimed_by[what - 2] != NULL;
    }
    unlock();
    return n;
}

/* The URB device's events, one per line, into `out`; how many bytes the
 * whole text needs. */
FAKE_EXPORT int fake_libusb_events(unsigned bus, unsigned port, char *out, int size)
{
    int need = 0;
    lock();
    struct echo_state *e = find_echo(bus, port);
    if (size > 0) out[0] = '\0';
    for (int i = 0; e != NULL && i < e->event_count; ++i) {
        int n = (int)strlen(e->events[i]) + 1;
        if (need + n < size) {
            memcpy(out + need, e->events[i], (size_t)n - 1);
            out[need + n - 1] = '\n';
            out[need + n] = '\0';
        }
        need += n;
    }
    unlock();
    return need + 1;
}

FAKE_EXPORT void fake_libusb_clear_events(unsigned bus, unsigned port)
{
    lock();
    struct echo_state *e = find_echo(bus, port);
    if (e != NULL) e->event_count = 0;
    unlock();
}

/* The bytes isochronous OUT transfers have brought, into `out`; how many. */
FAKE_EXPORT int fake_libusb_iso_out(unsigned bus, unsigned port, unsigned char *out, int size)
{
    int n = 0;
    lock();
    struct echo_state *e = find_echo(bus, port);
    if (e != NULL) {
        n = (int)e->iso_out_len < size ? (int)e->iso_out_len : size;
        memcpy(out, e->iso_out, (size_t)n);
    }
    unlock();
    return n;
}

/* ---- libusb: contexts and devices ---- */

FAKE_EXPORT int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    *ctx = calloc(1, sizeof **ctx);
    return *ctx != NULL ? 0 : LIBUSB_ERROR_NO_MEM;
}

FAKE_EXPORT void LIBUSB_CALL libusb_exit(libusb_context *ctx) { free(ctx); }

FAKE_EXPORT libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev)
{
    lock();
    ++dev->refs;
    unlock();
    return dev;
}

FAKE_EXPORT void LIBUSB_CALL libusb_unref_device(libusb_device *dev)
{
    if (dev == NULL) return;
    lock();
    int last = --dev->refs == 0;
    if (last) echo_unref(dev->s.echo);
    unlock();
    if (last) free(dev);
}

/* A snapshot, newest device first (as libusb lists umockdev's devices, so
 * that a device added to a full inventory still shows). */
FAKE_EXPORT ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    lock();
    int n = g_count;
    libusb_device **out = calloc((size_t)n + 1, sizeof *out);
    for (int i = 0; out != NULL && i < n; ++i) {
        out[i] = calloc(1, sizeof **out);
        if (out[i] == NULL) continue;
        out[i]->refs = 1;
        out[i]->ctx = ctx;
        out[i]->s = g_slots[n - 1 - i];
        if (out[i]->s.echo != NULL) ++out[i]->s.echo->refs;
    }
    unlock();
    if (out == NULL) return LIBUSB_ERROR_NO_MEM;
    *list = out;
    return n;
}

FAKE_EXPORT void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (list == NULL) return;
    for (libusb_device **d = list; unref_devices && *d != NULL; ++d) libusb_unref_device(*d);
    free(list);
}

FAKE_EXPORT int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc)
{
    memset(desc, 0, sizeof *desc);
    if (dev->s.echo != NULL) {
        const unsigned char *d = urb_device_descriptor_bytes;
        desc->bLength = d[0];
        desc->bDescriptorType = d[1];
        desc->bcdUSB = (uint16_t)(d[2] | d[3] << 8);
        desc->bMaxPacketSize0 = d[7];
        desc->idVendor = (uint16_t)(d[8] | d[9] << 8);
        desc->idProduct = (uint16_t)(d[10] | d[11] << 8);
        desc->bcdDevice = (uint16_t)(d[12] | d[13] << 8);
        desc->iManufacturer = d[14];
        desc->iProduct = d[15];
        desc->iSerialNumber = d[16];
        desc->bNumConfigurations = d[17];
        return 0;
    }
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bDeviceClass = (uint8_t)dev->s.dev_class;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = (uint16_t)dev->s.vid;
    desc->idProduct = (uint16_t)dev->s.pid;
    desc->bcdDevice = 0x0100;
    desc->bNumConfigurations = 1;
    return 0;
}

FAKE_EXPORT uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev) { return (uint8_t)dev->s.bus; }
FAKE_EXPORT uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *dev) { return (uint8_t)dev->s.port; }
FAKE_EXPORT uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev) { return (uint8_t)dev->s.address; }

/* Every device sits on a root port (the root hubs on none). */
FAKE_EXPORT int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int port_numbers_len)
{
    if (dev->s.port == 0) return 0;
    if (port_numbers_len < 1) return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = (uint8_t)dev->s.port;
    return 1;
}
FAKE_EXPORT int LIBUSB_CALL libusb_get_device_speed(libusb_device *dev)
{
    return dev->s.echo != NULL ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
}

/* One allocation: the configuration, its interfaces, their settings and
 * their endpoints. */
struct fake_config {
    struct libusb_config_descriptor config;
    struct libusb_interface ifaces[2];
    struct libusb_interface_descriptor settings[4];
    struct libusb_endpoint_descriptor endpoints[8];
};

/* The URB device's configuration, read from its bytes. */
static void parse_urb_config(struct fake_config *c)
{
    const unsigned char *p = urb_config_descriptor_bytes, *end = p + sizeof urb_config_descriptor_bytes;
    int settings = 0, endpoints = 0;
    struct libusb_interface_descriptor *setting = NULL;
    for (; p + 2 <= end && p[0] >= 2 && p + p[0] <= end; p += p[0]) {
        if (p[1] == LIBUSB_DT_CONFIG) {
            c->config.bLength = p[0];
            c->config.bDescriptorType = p[1];
            c->config.wTotalLength = (uint16_t)(p[2] | p[3] << 8);
            c->config.bNumInterfaces = p[4];
            c->config.bConfigurationValue = p[5];
            c->config.bmAttributes = p[7];
            c->config.MaxPower = p[8];
            c->config.interface = c->ifaces;
        } else if (p[1] == LIBUSB_DT_INTERFACE && settings < 4 && p[2] < 2) {
            setting = &c->settings[settings++];
            setting->bLength = p[0];
            setting->bDescriptorType = p[1];
            setting->bInterfaceNumber = p[2];
            setting->bAlternateSetting = p[3];
            setting->bNumEndpoints = 0;
            setting->bInterfaceClass = p[5];
            setting->endpoint = &c->endpoints[endpoints];
            struct libusb_interface *iface = &c->ifaces[p[2]];
            if (iface->num_altsetting++ == 0) iface->altsetting = setting;
        } else if (p[1] == LIBUSB_DT_ENDPOINT && setting != NULL && endpoints < 8) {
            struct libusb_endpoint_descriptor *ep = &c->endpoints[endpoints++];
            ep->bLength = p[0];
            ep->bDescriptorType = p[1];
            ep->bEndpointAddress = p[2];
            ep->bmAttributes = p[3];
            ep->wMaxPacketSize = (uint16_t)(p[4] | p[5] << 8);
            ep->bInterval = p[6];
            ++setting->bNumEndpoints;
        }
    }
}

FAKE_EXPORT int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev,
                                                               struct libusb_config_descriptor **config)
{
    struct fake_config *c = calloc(1, sizeof *c);
    if (c == NULL) return LIBUSB_ERROR_NO_MEM;
    if (dev->s.echo != NULL) {
        parse_urb_config(c);
    } else {
        c->settings[0].bLength = LIBUSB_DT_INTERFACE_SIZE;
        c->settings[0].bDescriptorType = LIBUSB_DT_INTERFACE;
        c->settings[0].bInterfaceClass = (uint8_t)dev->s.iface_class;
        c->ifaces[0].altsetting = &c->settings[0];
        c->ifaces[0].num_altsetting = 1;
        c->config.bLength = LIBUSB_DT_CONFIG_SIZE;
        c->config.bDescriptorType = LIBUSB_DT_CONFIG;
        c->config.bNumInterfaces = 1;
        c->config.bConfigurationValue = 1;
        c->config.interface = c->ifaces;
    }
    *config = &c->config;
    return 0;
}

FAKE_EXPORT void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    free(config); /* the first member of its fake_config */
}

/* ---- libusb: handles ---- */

FAKE_EXPORT int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    *handle = NULL;
    if (dev->s.echo == NULL) return LIBUSB_ERROR_ACCESS;
    libusb_device_handle *h = calloc(1, sizeof *h);
    if (h == NULL) return LIBUSB_ERROR_NO_MEM;
    lock();
    int gone = dev->s.echo->gone;
    unlock();
    if (gone) {
        free(h);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    h->dev = libusb_ref_device(dev);
    *handle = h;
    return 0;
}

FAKE_EXPORT void LIBUSB_CALL libusb_close(libusb_device_handle *h)
{
    if (h == NULL) return;
    lock();
    struct echo_state *e = h->dev->s.echo;
    for (int i = 0; i < 2; ++i)
        if (e->claimed_by[i] == h) e->claimed_by[i] = NULL;
    unlock();
    libusb_unref_device(h->dev);
    free(h);
}

FAKE_EXPORT libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *h) { return h->dev; }

FAKE_EXPORT int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *h, uint8_t index,
                                                              unsigned char *data, int length)
{
    if (h == NULL || h->dev->s.echo == NULL || index == 0 || index > 3 || length < 1) return LIBUSB_ERROR_IO;
    const char *s = urb_device_strings[index];
    int n = (int)strlen(s) < length - 1 ? (int)strlen(s) : length - 1;
    memcpy(data, s, (size_t)n);
    data[n] = '\0';
    return n;
}

/* Windows has no kernel drivers for libusb to detach or attach. */
FAKE_EXPORT int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *h, int interface_number)
{
    (void)h, (void)interface_number;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
FAKE_EXPORT int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *h, int interface_number)
{
    (void)h, (void)interface_number;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
FAKE_EXPORT int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *h, int interface_number)
{
    (void)h, (void)interface_number;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

FAKE_EXPORT int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *h, int i)
{
    int r = 0;
    lock();
    struct echo_state *e = h->dev->s.echo;
    if (e->gone) r = LIBUSB_ERROR_NO_DEVICE;
    else if (i < 0 || i > 1) r = LIBUSB_ERROR_NOT_FOUND;
    else if (e->claimed_by[i] != NULL && e->claimed_by[i] != h) r = LIBUSB_ERROR_BUSY;
    if (r == 0) {
        e->claimed_by[i] = h;
        record(e, "claim %u", (unsigned)i, 0);
    }
    unlock();
    return r;
}

FAKE_EXPORT int LIBUSB_CALL libusb_release_interface(libusb_device_handle *h, int i)
{
    int r = LIBUSB_ERROR_NOT_FOUND;
    lock();
    struct echo_state *e = h->dev->s.echo;
    if (i >= 0 && i < 2 && e->claimed_by[i] == h) {
        e->claimed_by[i] = NULL;
        record(e, "release %u", (unsigned)i, 0);
        r = e->gone ? LIBUSB_ERROR_NO_DEVICE : 0;
    }
    unlock();
    return r;
}

/* WinUSB keeps the default configuration: nothing else can be set. */
FAKE_EXPORT int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *h, int configuration)
{
    lock();
    struct echo_state *e = h->dev->s.echo;
    int r = e->gone ? LIBUSB_ERROR_NO_DEVICE : configuration == 1 ? 0 : LIBUSB_ERROR_NOT_SUPPORTED;
    if (r == 0) record(e, "set_configuration %u", 1, 0);
    unlock();
    return r;
}

FAKE_EXPORT int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *h, int i, int alt)
{
    int r = 0;
    lock();
    struct echo_state *e = h->dev->s.echo;
    if (e->gone) r = LIBUSB_ERROR_NO_DEVICE;
    else if (i < 0 || i > 1 || e->claimed_by[i] != h) r = LIBUSB_ERROR_NOT_FOUND;
    else if (alt < 0 || alt > i) r = LIBUSB_ERROR_INVALID_PARAM;
    if (r == 0) {
        if (i == 1) e->alt1 = alt;
        record(e, "set_interface %u %u", (unsigned)i, (unsigned)alt);
    }
    unlock();
    return r;
}

FAKE_EXPORT int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *h, unsigned char endpoint)
{
    lock();
    struct echo_state *e = h->dev->s.echo;
    int r = e->gone ? LIBUSB_ERROR_NO_DEVICE : 0;
    if (r == 0) record(e, "clear_halt 0x%02x", endpoint, 0);
    unlock();
    return r;
}

/* ---- libusb: transfers and events ---- */

FAKE_EXPORT struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int iso_packets)
{
    if (iso_packets < 0) return NULL;
    struct fake_transfer *f =
        calloc(1, sizeof *f + (size_t)iso_packets * sizeof(struct libusb_iso_packet_descriptor));
    if (f == NULL) return NULL;
    f->t.num_iso_packets = iso_packets;
    return &f->t;
}

FAKE_EXPORT void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *t)
{
    if (t != NULL) free(FAKE_OF(t));
}

/* A control transfer: the descriptors answered, everything else stalls.
 * Caller holds the lock. */
static void control(struct echo_state *e, struct fake_transfer *f)
{
    const unsigned char *s = f->t.buffer;
    const unsigned type = s[0], request = s[1], value = s[2] | s[3] << 8, index = s[4] | s[5] << 8;
    const unsigned length = s[6] | s[7] << 8;
    if (e->event_count < MAX_EVENTS)
        snprintf(e->events[e->event_count++], sizeof e->events[0], "control %02x %02x %04x %04x %04x", type, request,
                 value, index, length);
    const unsigned char *reply = NULL;
    unsigned char text[64];
    size_t n = 0;
    if (type == 0x80 && request == 6) {
        unsigned which = value >> 8, i = value & 0xff;
        if (which == 1) {
            reply = urb_device_descriptor_bytes;
            n = sizeof urb_device_descriptor_bytes;
        } else if (which == 2 && i == 0) {
            reply = urb_config_descriptor_bytes;
            n = sizeof urb_config_descriptor_bytes;
        } else if (which == 3 && i == 0) {
            static const unsigned char languages[4] = {4, 3, 0x09, 0x04};
            reply = languages;
            n = sizeof languages;
        } else if (which == 3 && i < 4) {
            const char *c = urb_device_strings[i];
            text[1] = 3;
            for (n = 2; *c != '\0' && n + 2 <= sizeof text; ++c) {
                text[n++] = (unsigned char)*c;
                text[n++] = 0;
            }
            text[0] = (unsigned char)n;
            reply = text;
        }
    }
    if (reply == NULL) {
        finish(f, LIBUSB_TRANSFER_STALL, 0);
        return;
    }
    size_t room = (size_t)f->t.length - 8;
    if (n > length) n = length;
    if (n > room) n = room;
    memcpy(f->t.buffer + 8, reply, n);
    finish(f, LIBUSB_TRANSFER_COMPLETED, (int)n);
}

FAKE_EXPORT int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *t)
{
    struct fake_transfer *f = FAKE_OF(t);
    int r = 0;
    lock();
    struct echo_state *e = t->dev_handle->dev->s.echo;
    const unsigned char ep = t->endpoint;
    const int iface = (ep & 0x0f) == 3 ? 1 : 0;
    if (e->gone) {
        r = LIBUSB_ERROR_NO_DEVICE;
    } else if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        if (t->length < 8) r = LIBUSB_ERROR_INVALID_PARAM;
        else control(e, f);
    } else if (e->claimed_by[iface] != t->dev_handle) {
        r = LIBUSB_ERROR_NOT_FOUND;  /* WinUSB: no pipe of an interface that is not claimed */
    } else if (t->type == LIBUSB_TRANSFER_TYPE_BULK && ep == 0x01) {
        size_t need = e->echo_len + (size_t)t->length;
        if (need > e->echo_cap) {
            unsigned char *grown = realloc(e->echo, need);
            if (grown == NULL) {
                r = LIBUSB_ERROR_NO_MEM;
            } else {
                e->echo = grown;
                e->echo_cap = need;
            }
        }
        if (r == 0) {
            memcpy(e->echo + e->echo_len, t->buffer, (size_t)t->length);
            e->echo_len += (size_t)t->length;
            finish(f, LIBUSB_TRANSFER_COMPLETED, t->length);
            serve_bulk_in(e);
        }
    } else if (t->type == LIBUSB_TRANSFER_TYPE_BULK && ep == 0x81) {
        f->queued = 1;
        push(&e->bulk_in, f);
        serve_bulk_in(e);
    } else if (t->type == LIBUSB_TRANSFER_TYPE_INTERRUPT && ep == 0x82) {
        f->queued = 1;
        push(&e->interrupt_in, f);
    } else if (t->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS && (ep == 0x83 || ep == 0x03) && e->alt1 == 1) {
        int offset = 0;
        for (int i = 0; i < t->num_iso_packets; ++i) {
            struct libusb_iso_packet_descriptor *p = &t->iso_packet_desc[i];
            for (unsigned j = 0; j < p->length && offset + (int)j < t->length; ++j) {
                if (ep == 0x83) t->buffer[offset + (int)j] = urb_device_iso_in_byte((unsigned)i, j);
                else if (e->iso_out_len < sizeof e->iso_out) e->iso_out[e->iso_out_len++] = t->buffer[offset + (int)j];
            }
            p->actual_length = p->length;
            p->status = LIBUSB_TRANSFER_COMPLETED;
            offset += (int)p->length;
        }
        finish(f, LIBUSB_TRANSFER_COMPLETED, offset);
    } else {
        r = LIBUSB_ERROR_NOT_FOUND;
    }
    if (r == 0) ++e->in_flight;
    unlock();
    return r;
}

/* One that waits in the device ends as cancelled; one that has finished
 * already is not found, and comes back with its result. */
FAKE_EXPORT int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *t)
{
    struct fake_transfer *f = FAKE_OF(t);
    int r = LIBUSB_ERROR_NOT_FOUND;
    lock();
    struct echo_state *e = t->dev_handle->dev->s.echo;
    if (f->queued && (unlink_from(&e->bulk_in, f) || unlink_from(&e->interrupt_in, f))) {
        for (int i = 0; i < t->num_iso_packets; ++i) t->iso_packet_desc[i].status = LIBUSB_TRANSFER_CANCELLED;
        finish(f, LIBUSB_TRANSFER_CANCELLED, 0);
        r = 0;
    }
    unlock();
    return r;
}

/* Waits (at most `tv`) until transfers of `ctx` have finished or the wait is
 * interrupted, then runs their callbacks on this thread. */
FAKE_EXPORT int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv,
                                                                  int *completed)
{
    (void)completed;
    DWORD ms = tv != NULL ? (DWORD)(tv->tv_sec * 1000 + tv->tv_usec / 1000) : INFINITE;
    lock();
    if (ctx->done.head == NULL && !ctx->interrupted) SleepConditionVariableCS(&g_done, &g_lock, ms);
    struct queue batch = ctx->done;
    ctx->done.head = ctx->done.tail = NULL;
    ctx->interrupted = 0;
    for (struct fake_transfer *f = batch.head; f != NULL; f = f->next) --f->t.dev_handle->dev->s.echo->in_flight;
    unlock();
    struct fake_transfer *f;
    while ((f = pop(&batch)) != NULL) f->t.callback(&f->t);
    return 0;
}

FAKE_EXPORT void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context *ctx)
{
    lock();
    ctx->interrupted = 1;
    WakeAllConditionVariable(&g_done);
    unlock();
}

/* No hot-plug events on Windows. */
FAKE_EXPORT int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY;
}

FAKE_EXPORT int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context *ctx, int events, int flags,
                                                            int vendor_id, int product_id, int dev_class,
                                                            libusb_hotplug_callback_fn cb_fn, void *user_data,
                                                            libusb_hotplug_callback_handle *callback_handle)
{
    (void)ctx, (void)events, (void)flags, (void)vendor_id, (void)product_id, (void)dev_class, (void)cb_fn;
    (void)user_data, (void)callback_handle;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

FAKE_EXPORT void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context *ctx,
                                                               libusb_hotplug_callback_handle callback_handle)
{
    (void)ctx, (void)callback_handle;
}

FAKE_EXPORT const char *LIBUSB_CALL libusb_error_name(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}
