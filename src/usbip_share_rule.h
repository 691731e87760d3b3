// Rules that name devices to share as they are plugged in: a bus id
// ("1-3.2"), vendor and product ids ("046d:c31c"), or the ids and a serial
// number ("046d:c31c:A1B2"). Pure: no I/O, no lock. usbip_share_rule.cpp.
#ifndef HALVOREN_USBIP_SHARE_RULE_H
#define HALVOREN_USBIP_SHARE_RULE_H

#include <cstdint>
#include <string>

#include "usbip_device.h"

struct usbip_share_rule {
    enum class Kind { busid, ids, ids_and_serial };
    Kind kind = Kind::busid;
    // The rule as the library keeps and reports it: a bus id as given, ids
    // in lower case with four digits each ("046d:c31c"), a serial as given.
    std::string text;
    std::string busid;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string serial;

    bool operator==(const usbip_share_rule &o) const { return text == o.text; }
};

// The longest rule text: "vvvv:pppp:" and a serial of 255 characters.
inline constexpr std::size_t USBIP_SHARE_RULE_MAX = 265;

// False for text that is none of the three forms: a bus id is a bus number,
// a hyphen and one to seven port numbers joined by dots (decimal, 1 to 255,
// no leading zeros); ids are one to four hexadecimal digits each, in any
// case; a serial is any text of 1 to 255 characters behind the second colon.
bool usbip_share_rule_parse(const char *text, usbip_share_rule *out);
// Whether the rule names a local device record.
bool usbip_share_rule_matches(const usbip_share_rule &rule, const usbip_device &dev);

#endif
