// Tells of USB devices that arrive and leave. usbip_usb_watch.cpp.
//
// libusb's hotplug events say when something changed where the platform has
// them (libusb_has_capability answers at run time, so no platform test is
// compiled in); elsewhere the watch compares libusb's device list with the
// previous one at a fixed period.
#ifndef HALVOREN_USBIP_USB_WATCH_H
#define HALVOREN_USBIP_USB_WATCH_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct libusb_context;

struct usbip_usb_watch_options {
    bool poll_only = false;  // compare device lists even where hotplug events exist
    int poll_ms = 1000;      // the period of that comparison
};

class usbip_usb_watch {
public:
    usbip_usb_watch() = default;
    ~usbip_usb_watch() { stop(); }
    usbip_usb_watch(const usbip_usb_watch &) = delete;
    usbip_usb_watch &operator=(const usbip_usb_watch &) = delete;

    // Watches `ctx` on a thread of its own: `changed` runs there once at the
    // start and after each arrival or departure (several close together may
    // make one call). False when the thread cannot start.
    bool start(libusb_context *ctx, std::function<void()> changed, const usbip_usb_watch_options &options);
    // Ends the thread and waits for it; a call of `changed` in progress
    // finishes first. Safe to repeat.
    void stop();
    bool running() const { return thread_.joinable(); }
    // True when hotplug events drive the watch, false when it polls.
    bool uses_hotplug() const { return hotplug_; }
    // From the hotplug callback, on whichever thread handles libusb's events.
    void note_event() { pending_ = true; }

private:
    void run();
    bool list_changed();

    libusb_context *ctx_ = nullptr;
    std::function<void()> changed_;
    usbip_usb_watch_options options_;
    bool hotplug_ = false;
    int callback_handle_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> pending_{false};  // a hotplug event came (set on whichever thread handles events)
    std::mutex wait_mutex_;
    std::condition_variable wait_;
    std::vector<std::uint32_t> last_list_;  // the polled list: bus and address of each device
};

#endif
