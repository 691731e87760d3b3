// USB descriptors as a person reads them: the device descriptor's fields,
// then each configuration with its interfaces and endpoints. Pure code over
// the bytes a device (through a server) sent, so it takes any bytes: a
// descriptor cut short or malformed is shown as far as it goes.
#ifndef HALVOREN_USB_DESCRIPTORS_H
#define HALVOREN_USB_DESCRIPTORS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cli {

struct UsbDescriptors {
    std::vector<std::uint8_t> device;                       // as read (18 bytes when whole)
    std::vector<std::vector<std::uint8_t>> configurations;  // each whole, as its wTotalLength says
    std::map<unsigned, std::string> strings;                // by index, as UTF-8
};

// The text of a string descriptor (UTF-16LE) as UTF-8; characters outside
// the basic plane and unpaired halves become U+FFFD. Empty when the bytes
// are not a string descriptor.
std::string string_descriptor_text(const std::vector<std::uint8_t> &descriptor);

// The string indexes that the device descriptor names (manufacturer,
// product, serial number), without 0.
std::vector<unsigned> device_string_indexes(const std::vector<std::uint8_t> &device);

// The dump. Text that came from the device is made safe for a terminal.
std::string describe_descriptors(const UsbDescriptors &d);

}  // namespace cli

#endif
