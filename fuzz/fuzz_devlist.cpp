// The OP_REP_DEVLIST decoder on arbitrary bytes, fed in the pieces it asks
// for, and the JSON of whatever it stored.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usbip_device.h"
#include "usbip_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<usbip_device> devs(USBIP_MAX_DEVICES);
    usbip_devlist_decoder decoder(devs.data(), USBIP_MAX_DEVICES);
    std::size_t pos = 0;
    while (!decoder.done() && pos + decoder.need() <= size) {
        std::size_t n = decoder.need();
        if (!decoder.feed(data + pos, n)) break;
        pos += n;
    }
    std::string json;
    usbip_devices_to_json(json, devs.data(), decoder.stored());
    return 0;
}
