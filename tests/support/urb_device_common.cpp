// What both faces of the URB device (umockdev on Linux, the stand-in
// libusb-1.0.dll on Windows) have in common: its names and descriptors.
#include "urb_device.h"
#include "urb_device_descriptors.h"

std::string UrbDevice::busid() const { return std::to_string(kBus) + "-" + ports_; }

std::string UrbDevice::syspath() const { return Testbed::sys_path(kBus, ports_); }

usbip_device UrbDevice::record() const
{
    usbip_device r{};
    usbip_copy_text(r.busid, sizeof r.busid, busid().c_str());
    r.bus_number = kBus;
    r.address = static_cast<std::uint8_t>(address_);
    return r;
}

std::vector<std::uint8_t> UrbDevice::device_descriptor()
{
    return {std::begin(urb_device_descriptor_bytes), std::end(urb_device_descriptor_bytes)};
}

std::vector<std::uint8_t> UrbDevice::config_descriptor()
{
    return {std::begin(urb_config_descriptor_bytes), std::end(urb_config_descriptor_bytes)};
}

std::vector<std::uint8_t> UrbDevice::string_descriptor(unsigned index)
{
    if (index == 0) return {4, 3, 0x09, 0x04};
    if (index >= 4) return {};
    std::vector<std::uint8_t> d = {0, 3};
    for (const char *c = urb_device_strings[index]; *c; ++c) {
        d.push_back(static_cast<std::uint8_t>(*c));
        d.push_back(0);
    }
    d[0] = static_cast<std::uint8_t>(d.size());
    return d;
}

std::uint8_t UrbDevice::iso_in_byte(unsigned packet, unsigned offset)
{
    return urb_device_iso_in_byte(packet, offset);
}
