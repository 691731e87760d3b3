// A device for the forwarding engine without any USB underneath: it keeps
// the transfers it is given until the test (or the fuzzer) finishes them,
// and hands them back only when asked, as an event thread would. Used by
// the engine's unit tests and its fuzz target; the umockdev device
// (urb_device.h) covers the real libusb path.
//
// Endpoints (of the current settings), as the echo device of urb_device.h
// has them: bulk OUT 0x01 and bulk IN 0x81, interrupt IN 0x82; isochronous
// IN 0x83 and OUT 0x03 once interface 1 is in alternate setting 1. With
// `echo` on, bulk OUT finishes at once and its bytes come back from bulk
// IN, the device descriptor is answered, other control requests stall and
// isochronous packets come back full; everything else waits for finish().
#ifndef HALVOREN_FAKE_USB_DEVICE_H
#define HALVOREN_FAKE_USB_DEVICE_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "usbip_forward_engine.h"

class FakeUsbDevice final : public usbip_usb_device {
public:
    explicit FakeUsbDevice(bool echo = true) : echo_(echo) { reset_endpoints(true, 0); }

    std::int32_t submit(usbip_usb_transfer &t) override;
    void cancel(usbip_usb_transfer &t) override;
    std::int32_t set_configuration(int value) override;
    std::int32_t set_interface(int interface, int alt) override;
    std::int32_t clear_halt(std::uint8_t endpoint) override;
    int endpoint_type(std::uint8_t address) const override;

    // Finishes a waiting transfer with `status` and (IN) `data`, cut to its
    // length; for an isochronous one every packet gets the status and as
    // many bytes as it has room for.
    void finish(usbip_usb_transfer &t, std::int32_t status, const std::vector<std::uint8_t> &data = {});
    // Hands the finished transfers back to `engine`, oldest first; how many.
    int deliver(usbip_forward_engine &engine);
    // Every transfer at the device: waiting, and finished but not yet back.
    std::size_t held() const { return waiting_.size() + finished_.size(); }
    std::deque<usbip_usb_transfer *> &waiting() { return waiting_; }
    // The oldest waiting transfer on `endpoint`; null when none.
    usbip_usb_transfer *waiting_on(std::uint8_t endpoint) const;

    // What reached the device: "submit 0x82", "submit 0x01 zlp" (a zero-
    // length packet asked for), "cancel 0x82",
    // "set_configuration 1", "set_interface 1 1", "clear_halt 0x81".
    std::vector<std::string> events;
    // Submits and requests fail with this status while it is not 0.
    std::int32_t refuse = 0;
    // Endpoint types by endpoint_index(); -1: none.
    int types[32];
    std::size_t max_held = 0;  // the most transfers held at once

    FakeUsbDevice(const FakeUsbDevice &) = delete;
    FakeUsbDevice &operator=(const FakeUsbDevice &) = delete;

private:
    static std::size_t index(std::uint8_t address) { return (address & 0x0f) | ((address & 0x80) ? 16 : 0); }
    void reset_endpoints(bool configured, int alt1);
    void serve_echo();
    void done(usbip_usb_transfer &t, std::int32_t status, std::int32_t actual);

    bool echo_;
    std::deque<usbip_usb_transfer *> waiting_;
    std::deque<usbip_usb_transfer *> finished_;
    std::string echo_bytes_;
};

#endif
