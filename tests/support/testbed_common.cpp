// What the testbeds of both platforms share: where a device's files lie.
#include "testbed.h"

std::string Testbed::sys_path(unsigned bus, const std::string &ports)
{
    std::string path = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus);
    // Each hub on the way is a directory: usb1/1-3/1-3.2.
    if (ports.empty()) return path;
    for (std::size_t dot = ports.find('.');; dot = ports.find('.', dot + 1)) {
        path += "/" + std::to_string(bus) + "-" + ports.substr(0, dot);
        if (dot == std::string::npos) break;
    }
    return path;
}
