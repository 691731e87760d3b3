// The command line's dump of USB descriptors (remote --descriptors) over
// whatever a device, through a server, sent. The input is cut as the
// command reads it: byte 0 says how many of the next bytes are the device
// descriptor (as a device may answer short); the rest are configurations,
// each as long as its own wTotalLength says (cut at the end). Every
// configuration is also read as a string descriptor.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "usb_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) return 0;
    cli::UsbDescriptors d;
    std::size_t at = 1;
    const std::size_t device = data[0] < size - at ? data[0] : size - at;
    d.device.assign(data + at, data + at + device);
    at += device;
    while (at < size && d.configurations.size() < 16) {
        std::size_t total = size - at >= 4 ? static_cast<std::size_t>(data[at + 2] | data[at + 3] << 8) : size - at;
        if (total == 0 || total > size - at) total = size - at;
        d.configurations.emplace_back(data + at, data + at + total);
        at += total;
    }
    for (unsigned index : cli::device_string_indexes(d.device))
        if (index - 1 < d.configurations.size())
            d.strings[index] = cli::string_descriptor_text(d.configurations[index - 1]);
    volatile std::size_t n = cli::describe_descriptors(d).size();
    (void)n;
    return 0;
}
