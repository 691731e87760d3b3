// The watch of USB arrivals and departures (usbip_usb_watch.h).
#include "usbip_usb_watch.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <system_error>

#include "platform/platform.h"

namespace {

// How long one wait for hotplug events lasts: a stop is noticed at least this
// often even when another thread handles the context's events meanwhile.
constexpr int kEventSliceMs = 200;

int LIBUSB_CALL hotplug_event(libusb_context *, libusb_device *, libusb_hotplug_event, void *self)
{
    static_cast<usbip_usb_watch *>(self)->note_event();
    return 0;  // stay registered
}

}  // namespace

bool usbip_usb_watch::start(libusb_context *ctx, std::function<void()> changed, const usbip_usb_watch_options &options)
{
    stop();
    ctx_ = ctx;
    changed_ = std::move(changed);
    options_ = options;
    options_.poll_ms = std::max(options_.poll_ms, 10);
    stop_ = false;
    pending_ = false;
    last_list_.clear();
    hotplug_ = false;
    if (!options_.poll_only && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        libusb_hotplug_callback_handle handle = 0;
        const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
        if (libusb_hotplug_register_callback(ctx_, static_cast<libusb_hotplug_event>(events),
                                             static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY,
                                             LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, hotplug_event, this,
                                             &handle) == LIBUSB_SUCCESS) {
            callback_handle_ = handle;
            hotplug_ = true;
        }
    }
    plat::pin_module();
    try {
        thread_ = std::thread([this] {
            try {
                run();
            } catch (...) {
                // Out of memory: the watch ends; what is shared stays.
            }
        });
    } catch (const std::system_error &) {
        plat::unpin_module();
        if (hotplug_) libusb_hotplug_deregister_callback(ctx_, callback_handle_);
        hotplug_ = false;
        return false;
    }
    return true;
}

void usbip_usb_watch::stop()
{
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(wait_mutex_);
        stop_ = true;
        wait_.notify_all();
    }
    if (hotplug_) libusb_interrupt_event_handler(ctx_);
    thread_.join();
    plat::unpin_module();
    // Deregistered only now: until the thread has ended, a callback may still
    // be on its way on another thread that handles the context's events.
    if (hotplug_) libusb_hotplug_deregister_callback(ctx_, callback_handle_);
    hotplug_ = false;
    changed_ = nullptr;
}

bool usbip_usb_watch::list_changed()
{
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    std::vector<std::uint32_t> now;
    for (ssize_t i = 0; i < n; ++i)
        now.push_back(static_cast<std::uint32_t>(libusb_get_bus_number(list[i])) << 8 |
                      libusb_get_device_address(list[i]));
    if (list != nullptr) libusb_free_device_list(list, 1);
    std::sort(now.begin(), now.end());
    if (now == last_list_) return false;
    last_list_ = std::move(now);
    return true;
}

void usbip_usb_watch::run()
{
    if (!hotplug_) list_changed();  // the list the first call sees
    changed_();
    while (!stop_) {
        if (hotplug_) {
            timeval tv{0, kEventSliceMs * 1000};
            if (libusb_handle_events_timeout_completed(ctx_, &tv, nullptr) < 0 && !stop_) {
                // A failing wait returns at once: pace it rather than spin.
                std::unique_lock<std::mutex> lock(wait_mutex_);
                wait_.wait_for(lock, std::chrono::milliseconds(kEventSliceMs), [this] { return stop_.load(); });
            }
            if (pending_.exchange(false) && !stop_) changed_();
        } else {
            {
                std::unique_lock<std::mutex> lock(wait_mutex_);
                wait_.wait_for(lock, std::chrono::milliseconds(options_.poll_ms), [this] { return stop_.load(); });
            }
            if (!stop_ && list_changed()) changed_();
        }
    }
}
