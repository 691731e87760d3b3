// Emulated USB devices for real libusb, held in-process (libumockdev).
// Programs that use it run under umockdev-wrapper.
#ifndef HALVOREN_TESTBED_H
#define HALVOREN_TESTBED_H

#include <string>

struct _UMockdevTestbed;

class Testbed {
public:
    // True when the process runs under umockdev-wrapper (its preload library
    // is what makes libusb see the emulated devices).
    static bool preloaded();

    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // A full-speed device at `port` of `bus` (port 0: the bus's root hub)
    // with one configuration whose only interface has `iface_class`.
    // Returns its sysfs path; its bus id is "<bus>-<port>".
    std::string add_device(unsigned bus, unsigned port, unsigned vid, unsigned pid, unsigned dev_class,
                           unsigned iface_class = 0);
    // The same behind hubs: `ports` is the port path below the root hub
    // ("3.2": port 2 of the hub on port 3), bus id "<bus>-<ports>". The hubs
    // on the way must be there first (a hub is a device of class 9).
    std::string add_device_at(unsigned bus, const std::string &ports, unsigned vid, unsigned pid,
                              unsigned dev_class, unsigned iface_class = 0);
    // The sysfs path of the device at `ports` of `bus` ("" for the root hub).
    static std::string sys_path(unsigned bus, const std::string &ports);
    // An unplug: the uevent first (libusb reads the device's details while it
    // handles it, so the files must still be there), then the files.
    void announce_removal(const std::string &syspath);
    void remove_device(const std::string &syspath);
    // For emulations that attach their own handlers (urb_device.h).
    _UMockdevTestbed *handle() const { return testbed_; }

private:
    _UMockdevTestbed *testbed_;
    unsigned next_devnum_ = 2;
};

#endif
