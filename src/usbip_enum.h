// The inventory of local USB devices (libusb). usbip_enum.cpp.
#ifndef HALVOREN_USBIP_ENUM_H
#define HALVOREN_USBIP_ENUM_H

#include <cstddef>
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

#endif
