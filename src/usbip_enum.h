// The inventory of local USB devices (libusb). usbip_enum.cpp.
#ifndef HALVOREN_USBIP_ENUM_H
#define HALVOREN_USBIP_ENUM_H

#include <cstddef>
#include <functional>
#include <vector>

#include "usbip_device.h"

int usbip_enum_init();
void usbip_enum_cleanup();
// Enumerates afresh: the devices are read without any lock of the library
// held, and the new inventory then replaces the old one at once.
int usbip_enum_refresh();
int usbip_enum_get_count();
// Copies the inventory record with exactly this bus id into `out`, under the
// inventory lock. False when there is none.
bool usbip_enum_find_by_busid(const char *busid, usbip_device *out);
// The inventory's libusb context, null without USB. It lives until
// usbip_enum_cleanup, which runs only after every server session has ended:
// the sessions that forward devices use it without the inventory lock.
struct libusb_context;
libusb_context *usbip_enum_context();
// The bus id of a libusb device, as the inventory names it: "<bus>-<port>"
// for a device on a root port, "<bus>-<port>.<port>..." for one behind hubs
// (as /sys/bus/usb/devices/ names it), "<bus>-<address>" for a root hub.
struct libusb_device;
void usbip_enum_busid(libusb_device *dev, char *out, std::size_t size);
// A copy of the inventory, in table order.
std::vector<usbip_device> usbip_enum_snapshot();

// While a watch is on, each arrival or departure of a device refreshes the
// inventory and then calls `changed`, on the watch's thread, with no lock of
// the library held; so does the start of the watch. libusb's hotplug events
// tell of changes where the platform has them; elsewhere the device list is
// compared with the last one every poll period. True when the watch runs
// (already, or now); false without USB or when its thread cannot start.
bool usbip_enum_watch(std::function<void()> changed);
// Ends the watch and waits for its thread. Never call it from `changed`.
void usbip_enum_unwatch();
bool usbip_enum_watching();
// True while the watch learns of changes from hotplug events (not polling).
bool usbip_enum_watch_uses_hotplug();
// Test settings for the next watch: poll even where hotplug events exist,
// and the poll period (1000 ms unless set).
void usbip_enum_set_watch_options(bool poll_only, int poll_ms);

#endif
