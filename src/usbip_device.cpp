// Device records and their JSON form: the one way every list export renders
// devices.
#include "usbip_device.h"

#include <cstdio>
#include <cstring>

void usbip_copy_text(char *dst, std::size_t size, const char *src)
{
    if (size == 0) return;
    std::size_t n = 0;
    if (src != nullptr)
        while (n + 1 < size && src[n] != '\0') ++n;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

namespace {

// Length of the valid UTF-8 sequence starting at s (at most `left` bytes),
// or 0 when the bytes there are not valid UTF-8.
std::size_t utf8_sequence_length(const unsigned char *s, std::size_t left)
{
    unsigned char c = s[0];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xbf;  // bounds of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0) lo = 0xa0;       // no overlong forms
        else if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0) lo = 0x90;
        else if (c == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (left < len || s[1] < lo || s[1] > hi) return 0;
    for (std::size_t i = 2; i < len; ++i)
        if ((s[i] & 0xc0) != 0x80) return 0;
    return len;
}

}  // namespace

void usbip_json_escape(std::string &out, const char *text, std::size_t max_len)
{
    static const char hex[] = "0123456789abcdef";
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    std::size_t n = 0;
    while (n < max_len && s[n] != '\0') ++n;
    for (std::size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (c < 0x20) {
            out.append("\\u00");
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
            ++i;
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (std::size_t len = utf8_sequence_length(s + i, n - i)) {
            out.append(reinterpret_cast<const char *>(s + i), len);
            i += len;
        } else {
            out.append("\xef\xbf\xbd");  // U+FFFD for each byte that is not UTF-8
            ++i;
        }
    }
}

void usbip_dev_to_json(std::string &out, const usbip_device &dev)
{
    char ids[48];
    std::snprintf(ids, sizeof ids, "\",\"vid\":\"0x%04x\",\"pid\":\"0x%04x\",\"vendor\":\"",
                  dev.idVendor, dev.idProduct);
    out.append("{\"busid\":\"");
    usbip_json_escape(out, dev.busid, sizeof dev.busid);
    out.append(ids);
    usbip_json_escape(out, dev.vendor, sizeof dev.vendor);
    out.append("\",\"product\":\"");
    usbip_json_escape(out, dev.product, sizeof dev.product);
    out.append("\",\"speed\":\"");
    usbip_json_escape(out, dev.speed_name, sizeof dev.speed_name);
    out.append("\",\"class\":\"");
    usbip_json_escape(out, dev.class_name, sizeof dev.class_name);
    out.append("\"}");
}

const char *usbip_common_class_name(unsigned code)
{
    switch (code) {
    case 0x01: return "audio";
    case 0x02: return "comm";
    case 0x03: return "hid";
    case 0x06: return "still-image";
    case 0x07: return "printer";
    case 0x08: return "mass-storage";
    case 0x09: return "hub";
    case 0x0e: return "video";
    default: return nullptr;
    }
}

const char *usbip_local_class_name(unsigned code)
{
    if (const char *name = usbip_common_class_name(code)) return name;
    switch (code) {
    case 0xe0: return "wireless";
    case 0xff: return "vendor-specific";
    default: return "other";
    }
}

const char *usbip_devices_to_json(std::string &out, const usbip_device *devs, int count)
{
    json_array_builder array(out);
    for (int i = 0; i < count; ++i) usbip_dev_to_json(array.next(), devs[i]);
    return array.finish();
}
