// Every relay line parser on an arbitrary line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "usbip_relay_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    line = line.substr(0, line.find('\0'));
    relay_first_line first = usbip_relay_parse_first_line(line.c_str());
    std::size_t limit = first.kind == relay_request::register_server  ? 64
                        : first.kind == relay_request::connect_client ? 15
                                                                      : 31;
    if (first.argument.size() > limit) std::abort();
    std::string word;
    if (usbip_relay_parse_code(line.c_str(), &word) && word.size() > 15) std::abort();
    if (usbip_relay_parse_dispatch(line.c_str(), &word) && word.size() > 63) std::abort();
    (void)usbip_relay_is_ok(line.c_str());
    (void)usbip_relay_is_heartbeat(line.c_str());
    return 0;
}
