// The Testbed of the Windows tests: devices of the stand-in libusb-1.0.dll
// (fake_libusb_win32.c) that the program's folder holds in place of libusb.
#include "testbed.h"

#include <cstdio>
#include <string>

#include "fake_libusb.h"

// The stand-in is what this program's folder gives it in place of libusb.
bool Testbed::preloaded()
{
    HMODULE usb = GetModuleHandleA("libusb-1.0.dll");
    return usb != nullptr && GetProcAddress(usb, "fake_libusb_reset") != nullptr;
}

Testbed::Testbed() : testbed_(nullptr) { fake_libusb<void (*)()>("fake_libusb_reset")(); }

Testbed::~Testbed() { fake_libusb<void (*)()>("fake_libusb_reset")(); }

std::string Testbed::add_device(unsigned bus, unsigned port, unsigned vid, unsigned pid, unsigned dev_class,
                                unsigned iface_class)
{
    using Add = int (*)(unsigned, unsigned, unsigned, unsigned, unsigned, unsigned);
    if (!fake_libusb<Add>("fake_libusb_add")(bus, port, vid, pid, dev_class, iface_class))
        throw std::runtime_error("stand-in libusb: too many devices");
    return sys_path(bus, port == 0 ? std::string() : std::to_string(port));
}

// The stand-in's devices sit on root ports only.
std::string Testbed::add_device_at(unsigned bus, const std::string &ports, unsigned vid, unsigned pid,
                                   unsigned dev_class, unsigned iface_class)
{
    if (ports.find('.') != std::string::npos) throw std::runtime_error("stand-in libusb: no hubs");
    return add_device(bus, static_cast<unsigned>(std::stoul(ports)), vid, pid, dev_class, iface_class);
}

// The stand-in has no hot-plug events: the device goes at once.
void Testbed::announce_removal(const std::string &syspath)
{
    unsigned bus = 0, port = 0;
    std::size_t last = syspath.rfind('/');
    if (std::sscanf(syspath.c_str() + last + 1, "%u-%u", &bus, &port) == 2)
        fake_libusb<void (*)(unsigned, unsigned)>("fake_libusb_remove")(bus, port);
}

void Testbed::remove_device(const std::string &syspath) { announce_removal(syspath); }
