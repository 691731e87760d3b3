// The Testbed of the Windows tests: devices of the stand-in libusb-1.0.dll
// (fake_libusb_win32.c) that the program's folder holds in place of libusb.
#include "testbed.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>

namespace {

template <typename F>
F fake(const char *name)
{
    HMODULE usb = GetModuleHandleA("libusb-1.0.dll");
    FARPROC p = usb != nullptr ? GetProcAddress(usb, name) : nullptr;
    if (p == nullptr) throw std::runtime_error(std::string("no stand-in libusb here: ") + name);
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

// The sysfs path the Linux testbed gives the same device.
std::string syspath_of(unsigned bus, unsigned port)
{
    char path[160];
    if (port == 0)
        std::snprintf(path, sizeof path, "/sys/devices/pci0000:00/0000:00:14.0/usb%u", bus);
    else
        std::snprintf(path, sizeof path, "/sys/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", bus, bus, port);
    return path;
}

}  // namespace

Testbed::Testbed() : testbed_(nullptr) { fake<void (*)()>("fake_libusb_reset")(); }

Testbed::~Testbed() { fake<void (*)()>("fake_libusb_reset")(); }

std::string Testbed::add_device(unsigned bus, unsigned port, unsigned vid, unsigned pid, unsigned dev_class,
                                unsigned iface_class)
{
    using Add = int (*)(unsigned, unsigned, unsigned, unsigned, unsigned, unsigned);
    if (!fake<Add>("fake_libusb_add")(bus, port, vid, pid, dev_class, iface_class))
        throw std::runtime_error("stand-in libusb: too many devices");
    return syspath_of(bus, port);
}

// The stand-in has no hot-plug events: the device goes at once.
void Testbed::announce_removal(const std::string &syspath)
{
    unsigned bus = 0, port = 0;
    std::size_t last = syspath.rfind('/');
    if (std::sscanf(syspath.c_str() + last + 1, "%u-%u", &bus, &port) == 2)
        fake<void (*)(unsigned, unsigned)>("fake_libusb_remove")(bus, port);
}

void Testbed::remove_device(const std::string &syspath) { announce_removal(syspath); }
