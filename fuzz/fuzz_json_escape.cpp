// Escaping arbitrary bytes always yields the body of a valid JSON string:
// valid UTF-8, no control character, every quote and backslash escaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "usbip_device.h"

namespace {

bool valid_json_string_body(const std::string &s)
{
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == '"') return false;
        if (c == '\\') {
            if (i + 1 >= s.size()) return false;
            char e = s[i + 1];
            if (e == 'u') {
                if (i + 6 > s.size()) return false;
                i += 6;
            } else if (e == '"' || e == '\\') {
                i += 2;
            } else {
                return false;
            }
            continue;
        }
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
        i += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string out;
    usbip_json_escape(out, text.c_str(), text.size());
    if (!valid_json_string_body(out)) std::abort();
    return 0;
}
