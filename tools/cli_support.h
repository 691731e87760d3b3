// Pieces of the command-line host that do not call the library: reading
// its JSON, making peer text safe for a terminal, and USB names from the
// usb.ids database. Kept apart so that the tests can call them directly.
#ifndef HALVOREN_CLI_SUPPORT_H
#define HALVOREN_CLI_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// ---------------------------------------------------------------------------
// The library's JSON: an array of flat objects (or one object) whose values
// are strings or integers.

struct Object {
    std::vector<std::pair<std::string, std::string>> members;
    // Offset of the object's closing '}' in the text it was read from.
    std::size_t end = 0;
    std::string get(const char *key) const;
};

// False when the text is not such an array (or object).
bool parse_array(const char *json, std::vector<Object> *out);
bool parse_object(const char *json, Object *out);

// `text` as the body of a JSON string (without the quotes).
std::string json_escape(const std::string &text);

// The JSON text with extra members added to the objects read from it: each
// object's members in `extra` (same order as `objects`) go in before its
// closing '}'. Everything else of the text stays as it was.
std::string add_members(const std::string &json, const std::vector<Object> &objects,
                        const std::vector<std::vector<std::pair<std::string, std::string>>> &extra);

// ---------------------------------------------------------------------------
// Text that came from a peer or a device, made safe for a terminal: C0 and
// C1 control characters and DEL (which start escape sequences) and bytes
// that are not UTF-8 are shown as \xNN or \uNNNN; the rest is kept.
std::string terminal_text(const std::string &s);

// ---------------------------------------------------------------------------
// USB names from the usb.ids database.

struct UsbNames {
    std::string vendor;   // empty when the database does not know the vendor
    std::string product;  // empty when it does not know the product
};

// The key of a (vendor id, product id) pair.
constexpr std::uint32_t usb_id(std::uint16_t vid, std::uint16_t pid)
{
    return static_cast<std::uint32_t>(vid) << 16 | pid;
}

// The names of the given ids, found in one pass over the database text.
std::map<std::uint32_t, UsbNames> usb_ids_lookup(std::istream &db, const std::set<std::uint32_t> &ids);

// Where the database is: $HALVOREN_USBIP_USB_IDS, else the first of the
// usual places that exists; empty when there is none.
std::string usb_ids_path();

// The ids of a device object ("vid":"0x046d"); false when they do not read.
bool device_ids(const Object &device, std::uint16_t *vid, std::uint16_t *pid);

// True when `text` is the library's stand-in for a name it could not read
// ("Vendor_0x046d" for vendor 0x046d, "Product_0xc31c" for product 0xc31c).
bool is_stand_in_name(const std::string &text, const char *prefix, std::uint16_t id);

}  // namespace cli

#endif
