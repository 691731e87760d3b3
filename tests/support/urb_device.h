// An emulated high-speed USB device that answers real libusb transfers, on
// libumockdev's ioctl API: its usbfs requests (URBs, claims, drivers,
// configuration) are answered here, on the testbed's own thread. Programs
// that use it run under umockdev-wrapper. On Windows the same device is
// served by the stand-in libusb-1.0.dll (fake_libusb_win32.c, through
// urb_device_win32.cpp), as Windows' libusb sees a device: no kernel
// drivers to detach, no hot-plug events.
//
// The device (1209:0001, one configuration):
//   interface 0: bulk OUT 0x01 and bulk IN 0x81 that echo (bytes written to
//     0x01 come back, in order, from 0x81: an IN URB waits until there are
//     some and takes at most its length), and interrupt IN 0x82, whose URBs
//     complete only when the test calls complete_interrupt(). A kernel
//     driver ("usbtest") is bound to it until it is detached.
//   interface 1: no endpoints in alternate setting 0; isochronous IN 0x83
//     and OUT 0x03 (1024 bytes) in alternate setting 1. IN packets come back
//     full, byte j of packet i being iso_in_byte(i, j); OUT packets are kept.
// Control requests: the device, configuration and string descriptors
// (strings 1-3); every other request stalls. Everything that reaches the
// device is recorded as an event.
#ifndef HALVOREN_URB_DEVICE_H
#define HALVOREN_URB_DEVICE_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "testbed.h"
#include "usbip_device.h"

struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;
struct _UMockdevIoctlData;

class UrbDevice {
public:
    static constexpr unsigned kVendor = 0x1209;
    static constexpr unsigned kProduct = 0x0001;
    static constexpr const char *kDriver = "usbtest";
    static constexpr unsigned kBus = 1;
    // Whether the platform's libusb detaches and re-attaches kernel drivers
    // (Linux: yes; Windows: there are none to detach).
    static bool has_kernel_drivers();

    // Adds the device at `port` of bus 1 (bus id "1-<port>", address `port`),
    // its handler attached first so that no open can miss it.
    UrbDevice(Testbed &testbed, unsigned port);
    // The same behind hubs: at port path `ports` of bus 1 ("3.2", bus id
    // "1-3.2"), with `address`; the hubs must be in the testbed already.
    UrbDevice(Testbed &testbed, const std::string &ports, unsigned address);
    ~UrbDevice();
    UrbDevice(const UrbDevice &) = delete;
    UrbDevice &operator=(const UrbDevice &) = delete;

    std::string busid() const;
    std::string syspath() const;
    // The inventory's record of the device, as far as a claim reads it: bus
    // id, bus number and address.
    usbip_device record() const;

    static std::vector<std::uint8_t> device_descriptor();
    static std::vector<std::uint8_t> config_descriptor();
    // String descriptor `index` (0: the language list); empty when none.
    static std::vector<std::uint8_t> string_descriptor(unsigned index);
    static std::uint8_t iso_in_byte(unsigned packet, unsigned offset);

    // Completes the oldest waiting interrupt IN URB with `data` (cut to its
    // length); false when none waits.
    bool complete_interrupt(const std::vector<std::uint8_t> &data);
    int waiting_interrupts();
    // URBs submitted and not yet reaped.
    int urbs_in_flight();
    // What reached the device, in order: "claim 0", "release 0",
    // "detach 0", "attach 0", "set_configuration 1", "set_interface 1 1",
    // "clear_halt 0x81", "control 80 06 0100 0000 0012" (request type,
    // request, value, index, length in hex), ...
    std::vector<std::string> events();
    void clear_events();
    bool claimed(unsigned interface);
    bool driver_bound(unsigned interface);
    std::vector<std::uint8_t> iso_out_data();

private:
    struct Urb {
        _UMockdevIoctlData *urb = nullptr;     // the usbdevfs_urb, packet descriptors included
        _UMockdevIoctlData *buffer = nullptr;  // its buffer (null when empty)
        unsigned long client_addr = 0;
        _UMockdevIoctlClient *owner = nullptr;  // the open file that submitted it
    };

    static int on_ioctl(_UMockdevIoctlBase *, _UMockdevIoctlClient *client, void *self);
    int handle(_UMockdevIoctlClient *client);
    void submit(_UMockdevIoctlClient *client);
    void reap(_UMockdevIoctlClient *client);
    void discard(_UMockdevIoctlClient *client);
    void answer_control(Urb &u);
    void serve_bulk_in();
    void finish(Urb &u, int status, int actual);
    static void release(Urb &u);
    static unsigned interface_of(unsigned char ep);
    void record(const std::string &event) { events_.push_back(event); }

    Testbed &testbed_;
    std::string ports_;
    unsigned address_;
    _UMockdevIoctlBase *handler_ = nullptr;

    // Requests are answered on the testbed's thread, the test asks from its
    // own: the lock guards everything below.
    std::mutex mutex_;
    std::vector<std::string> events_;
    bool bound_[2] = {true, false};
    _UMockdevIoctlClient *claimed_by_[2] = {nullptr, nullptr};  // each open file is a client
    unsigned alt_[2] = {0, 0};
    std::string echo_;                 // bytes written to 0x01, not yet read from 0x81
    std::vector<std::uint8_t> iso_out_;
    std::deque<Urb> bulk_in_;          // waiting for echo bytes
    std::deque<Urb> interrupt_in_;     // waiting for complete_interrupt()
    std::deque<Urb> completed_;        // to be reaped
    std::deque<Urb> discarded_;        // to be reaped as cancelled
};

#endif
