// USB descriptors as a person reads them.
#include "usb_descriptors.h"

#include <cstdio>

#include "cli_support.h"

namespace cli {

namespace {

constexpr std::uint8_t kDeviceType = 1;
constexpr std::uint8_t kConfigurationType = 2;
constexpr std::uint8_t kStringType = 3;
constexpr std::uint8_t kInterfaceType = 4;
constexpr std::uint8_t kEndpointType = 5;
constexpr std::size_t kDeviceSize = 18;
constexpr std::size_t kConfigurationSize = 9;
constexpr std::size_t kInterfaceSize = 9;
constexpr std::size_t kEndpointSize = 7;

unsigned le16(const std::uint8_t *p) { return p[0] | p[1] << 8; }

std::string format(const char *fmt, unsigned a = 0, unsigned b = 0, unsigned c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b, c);
    return text;
}

// "2.00" for 0x0200: binary-coded decimal, as bcdUSB and bcdDevice are.
std::string bcd(unsigned v)
{
    return format("%x.%02x", v >> 8, v & 0xff);
}

const char *class_name(unsigned code, bool device)
{
    switch (code) {
    case 0x00: return device ? "each interface names its class" : "none";
    case 0x01: return "audio";
    case 0x02: return "communications";
    case 0x03: return "hid";
    case 0x05: return "physical";
    case 0x06: return "still image";
    case 0x07: return "printer";
    case 0x08: return "mass storage";
    case 0x09: return "hub";
    case 0x0a: return "cdc data";
    case 0x0b: return "smart card";
    case 0x0d: return "content security";
    case 0x0e: return "video";
    case 0x0f: return "personal healthcare";
    case 0x10: return "audio/video";
    case 0x11: return "billboard";
    case 0xdc: return "diagnostic";
    case 0xe0: return "wireless controller";
    case 0xef: return "miscellaneous";
    case 0xfe: return "application specific";
    case 0xff: return "vendor specific";
    default: return "unknown";
    }
}

void field(std::string &out, const char *name, const std::string &value)
{
    char head[64];
    std::snprintf(head, sizeof head, "  %-20s ", name);
    out += head;
    out += value;
    out += '\n';
}

// A string index with its text, where the device gave one.
std::string string_field(unsigned index, const std::map<unsigned, std::string> &strings)
{
    std::string v = format("%u", index);
    auto it = strings.find(index);
    if (index != 0 && it != strings.end()) v += " " + terminal_text(it->second);
    return v;
}

// The bytes, 16 to a line.
void bytes_field(std::string &out, const std::vector<std::uint8_t> &b)
{
    for (std::size_t i = 0; i < b.size(); i += 16) {
        std::string line;
        for (std::size_t j = i; j < i + 16 && j < b.size(); ++j) line += format(j == i ? "%02x" : " %02x", b[j]);
        field(out, i == 0 ? "bytes" : "", line);
    }
}

void describe_device(std::string &out, const std::vector<std::uint8_t> &d, const std::map<unsigned, std::string> &s)
{
    out += format("Device descriptor (%u bytes)\n", static_cast<unsigned>(d.size()));
    if (d.size() < kDeviceSize || d[1] != kDeviceType) {
        out += "  (not a whole device descriptor)\n";
    } else {
        field(out, "bcdUSB", bcd(le16(&d[2])));
        field(out, "bDeviceClass", format("0x%02x ", d[4]) + "(" + class_name(d[4], true) + ")");
        field(out, "bDeviceSubClass", format("0x%02x", d[5]));
        field(out, "bDeviceProtocol", format("0x%02x", d[6]));
        field(out, "bMaxPacketSize0", format("%u", d[7]));
        field(out, "idVendor", format("0x%04x", le16(&d[8])));
        field(out, "idProduct", format("0x%04x", le16(&d[10])));
        field(out, "bcdDevice", bcd(le16(&d[12])));
        field(out, "iManufacturer", string_field(d[14], s));
        field(out, "iProduct", string_field(d[15], s));
        field(out, "iSerialNumber", string_field(d[16], s));
        field(out, "bNumConfigurations", format("%u", d[17]));
    }
    bytes_field(out, d);
}

const char *transfer_type(unsigned attributes)
{
    static const char *const names[] = {"control", "isochronous", "bulk", "interrupt"};
    return names[attributes & 3];
}

void describe_configuration(std::string &out, const std::vector<std::uint8_t> &c,
                            const std::map<unsigned, std::string> &s)
{
    if (c.size() < kConfigurationSize || c[1] != kConfigurationType) {
        out += format("Configuration (%u bytes)\n  (not a configuration descriptor)\n", static_cast<unsigned>(c.size()));
        bytes_field(out, c);
        return;
    }
    out += format("Configuration %u (%u bytes)\n", c[5], static_cast<unsigned>(c.size()));
    field(out, "bNumInterfaces", format("%u", c[4]));
    field(out, "bConfigurationValue", format("%u", c[5]));
    field(out, "iConfiguration", string_field(c[6], s));
    field(out, "bmAttributes", format("0x%02x", c[7]) + ((c[7] & 0x40) ? " (self-powered)" : " (bus-powered)") +
                                   ((c[7] & 0x20) ? " (remote wake-up)" : ""));
    field(out, "bMaxPower", format("%u mA", c[8] * 2u));
    // The descriptors that follow, one after the other; each says its length.
    for (std::size_t at = c[0]; at + 2 <= c.size();) {
        const std::uint8_t len = c[at], type = c[at + 1];
        if (len < 2 || at + len > c.size()) {
            out += format("  (the descriptor at byte %u says it has %u bytes: the rest is not read)\n",
                          static_cast<unsigned>(at), len);
            break;
        }
        const std::uint8_t *p = &c[at];
        if (type == kInterfaceType && len >= kInterfaceSize) {
            out += format("  Interface %u, alternate setting %u: ", p[2], p[3]) +
                   format("class 0x%02x (", p[5]) + class_name(p[5], false) +
                   format("), subclass 0x%02x, protocol 0x%02x, %u endpoint(s)", p[6], p[7], p[4]);
            if (p[8] != 0) out += ", iInterface " + string_field(p[8], s);
            out += '\n';
        } else if (type == kEndpointType && len >= kEndpointSize) {
            out += format("    Endpoint 0x%02x ", p[2]) + ((p[2] & 0x80) ? "IN " : "OUT ") +
                   transfer_type(p[3]) + format(", max packet %u, interval %u\n", le16(&p[4]) & 0x7ff, p[6]);
        } else {
            out += format("    Descriptor type 0x%02x, %u bytes\n", type, len);
        }
        at += len;
    }
    bytes_field(out, c);
}

}  // namespace

std::string string_descriptor_text(const std::vector<std::uint8_t> &d)
{
    if (d.size() < 2 || d[1] != kStringType) return "";
    std::size_t end = d[0] <= d.size() ? d[0] : d.size();
    std::string out;
    for (std::size_t i = 2; i + 1 < end; i += 2) {
        unsigned cp = d[i] | d[i + 1] << 8;
        if (cp >= 0xd800 && cp <= 0xdfff) cp = 0xfffd;
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | cp >> 12);
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return out;
}

std::vector<unsigned> device_string_indexes(const std::vector<std::uint8_t> &device)
{
    std::vector<unsigned> out;
    if (device.size() < kDeviceSize || device[1] != kDeviceType) return out;
    for (std::size_t i : {14, 15, 16})
        if (device[i] != 0) out.push_back(device[i]);
    return out;
}

std::string describe_descriptors(const UsbDescriptors &d)
{
    std::string out;
    describe_device(out, d.device, d.strings);
    for (const auto &c : d.configurations) describe_configuration(out, c, d.strings);
    return out;
}

}  // namespace cli
