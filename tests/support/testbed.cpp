#include "testbed.h"

#include <umockdev.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

std::string hex(const unsigned char *bytes, std::size_t n)
{
    std::string out;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        out += b;
    }
    return out;
}

}  // namespace

bool Testbed::preloaded()
{
    const char *preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() { g_object_unref(testbed_); }

std::string Testbed::add_device(unsigned bus, unsigned port, unsigned vid, unsigned pid, unsigned dev_class,
                                unsigned iface_class)
{
    return add_device_at(bus, port == 0 ? "" : std::to_string(port), vid, pid, dev_class, iface_class);
}

std::string Testbed::add_device_at(unsigned bus, const std::string &ports, unsigned vid, unsigned pid,
                                   unsigned dev_class, unsigned iface_class)
{
    const unsigned char d[] = {
        18, 1, 0x00, 0x02, static_cast<unsigned char>(dev_class), 0, 0, 64,
        static_cast<unsigned char>(vid), static_cast<unsigned char>(vid >> 8),
        static_cast<unsigned char>(pid), static_cast<unsigned char>(pid >> 8), 0x00, 0x01, 0, 0, 0, 1,
        9, 2, 18, 0, 1, 1, 0, 0x80, 50,                                        // configuration 1
        9, 4, 0, 0, 0, static_cast<unsigned char>(iface_class), 0, 0, 0,  // interface 0
    };
    const std::string desc = hex(d, sizeof d);
    unsigned devnum = ports.empty() ? 1 : next_devnum_++;
    char node[16], ids[96], nums[64];
    std::snprintf(node, sizeof node, "%03u/%03u", bus, devnum);
    const std::string path = sys_path(bus, ports);
    std::snprintf(ids, sizeof ids, "A: idVendor=%04x\nA: idProduct=%04x\n", vid, pid);
    std::snprintf(nums, sizeof nums, "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\n", bus, devnum,
                  bus, devnum);
    std::string record = "P: " + path.substr(4) + "\nN: bus/usb/" + node + "=" + desc +
                         "\nE: DEVNAME=/dev/bus/usb/" + node +
                         "\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n" + nums +
                         "A: speed=12\nA: bConfigurationValue=1\n" + ids + "H: descriptors=" + desc + "\n";
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::string msg = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("umockdev: " + msg);
    }
    return path;
}

void Testbed::announce_removal(const std::string &syspath)
{
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
}

void Testbed::remove_device(const std::string &syspath) { umockdev_testbed_remove_device(testbed_, syspath.c_str()); }
