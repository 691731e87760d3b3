// Share rules: parsing and matching (usbip_share_rule.h).
#include "usbip_share_rule.h"

#include <cstdio>
#include <cstring>

namespace {

// A decimal number from 1 to 255 without leading zeros, at s[*pos]; moves
// *pos past it.
bool number(const std::string &s, std::size_t *pos)
{
    std::size_t i = *pos;
    unsigned value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - *pos < 4) value = value * 10 + unsigned(s[i++] - '0');
    if (i == *pos || s[*pos] == '0' || value > 255) return false;
    *pos = i;
    return true;
}

bool busid_form(const std::string &s)
{
    if (s.size() >= 32) return false;
    std::size_t pos = 0;
    if (!number(s, &pos) || pos >= s.size() || s[pos++] != '-') return false;
    for (int ports = 1;; ++ports) {
        if (ports > 7 || !number(s, &pos)) return false;
        if (pos == s.size()) return true;
        if (s[pos++] != '.') return false;
    }
}

// One to four hexadecimal digits, the whole of `s`.
bool hex16(const std::string &s, std::uint16_t *out)
{
    if (s.empty() || s.size() > 4) return false;
    unsigned value = 0;
    for (char c : s) {
        unsigned d;
        if (c >= '0' && c <= '9') d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
        else return false;
        value = value << 4 | d;
    }
    *out = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

bool usbip_share_rule_parse(const char *text, usbip_share_rule *out)
{
    if (text == nullptr) return false;
    const std::string s(text, strnlen(text, USBIP_SHARE_RULE_MAX + 1));
    if (s.size() > USBIP_SHARE_RULE_MAX) return false;
    usbip_share_rule rule;
    const std::size_t colon = s.find(':');
    if (colon == std::string::npos) {
        if (!busid_form(s)) return false;
        rule.kind = usbip_share_rule::Kind::busid;
        rule.busid = s;
        rule.text = s;
        *out = rule;
        return true;
    }
    const std::size_t second = s.find(':', colon + 1);
    if (!hex16(s.substr(0, colon), &rule.vid) ||
        !hex16(s.substr(colon + 1, second == std::string::npos ? std::string::npos : second - colon - 1), &rule.pid))
        return false;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", rule.vid, rule.pid);
    rule.text = ids;
    rule.kind = usbip_share_rule::Kind::ids;
    if (second != std::string::npos) {
        rule.serial = s.substr(second + 1);
        if (rule.serial.empty() || rule.serial.size() > 255) return false;
        rule.kind = usbip_share_rule::Kind::ids_and_serial;
        rule.text += ":" + rule.serial;
    }
    *out = rule;
    return true;
}

bool usbip_share_rule_matches(const usbip_share_rule &rule, const usbip_device &dev)
{
    switch (rule.kind) {
    case usbip_share_rule::Kind::busid: return rule.busid == dev.busid;
    case usbip_share_rule::Kind::ids: return rule.vid == dev.idVendor && rule.pid == dev.idProduct;
    case usbip_share_rule::Kind::ids_and_serial:
        return rule.vid == dev.idVendor && rule.pid == dev.idProduct && rule.serial == dev.serial;
    }
    return false;
}
