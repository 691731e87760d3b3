// Pieces of the command-line host that do not call the library.
#include "cli_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace cli {

namespace {

struct JsonReader {
    const char *start;
    const char *p;

    void ws()
    {
        while (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t') ++p;
    }
    bool eat(char c)
    {
        ws();
        if (*p != c) return false;
        ++p;
        return true;
    }
    static void put_utf8(std::string &out, unsigned cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    bool string(std::string &out)
    {
        if (!eat('"')) return false;
        while (*p != '"') {
            if (*p == '\0') return false;
            if (*p != '\\') {
                out += *p++;
                continue;
            }
            ++p;
            char e = *p++;
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                unsigned cp = 0;
                for (int i = 0; i < 4; ++i) {
                    char h = *p++;
                    cp <<= 4;
                    if (h >= '0' && h <= '9') cp |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f') cp |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F') cp |= static_cast<unsigned>(h - 'A' + 10);
                    else return false;
                }
                put_utf8(out, cp);
                break;
            }
            case '\0': return false;
            default: out += e;
            }
        }
        ++p;
        return true;
    }
    bool value(std::string &out)
    {
        ws();
        if (*p == '"') return string(out);
        while (*p == '-' || (*p >= '0' && *p <= '9')) out += *p++;
        return !out.empty();
    }
    bool object(Object &obj)
    {
        if (!eat('{')) return false;
        if (!eat('}')) {
            do {
                std::string k, v;
                if (!string(k) || !eat(':') || !value(v)) return false;
                obj.members.emplace_back(std::move(k), std::move(v));
            } while (eat(','));
            if (!eat('}')) return false;
        }
        obj.end = static_cast<std::size_t>(p - 1 - start);
        return true;
    }
    bool array(std::vector<Object> &items)
    {
        if (!eat('[')) return false;
        if (eat(']')) return true;
        do {
            Object o;
            if (!object(o)) return false;
            items.push_back(std::move(o));
        } while (eat(','));
        return eat(']');
    }
    bool at_end()
    {
        ws();
        return *p == '\0';
    }
};

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A four-digit hexadecimal id at the start of `s`.
bool read_id(const std::string &s, std::size_t at, std::uint16_t *id)
{
    if (s.size() < at + 4) return false;
    for (std::size_t i = at; i < at + 4; ++i)
        if (!hex_digit(s[i])) return false;
    *id = static_cast<std::uint16_t>(std::strtoul(s.substr(at, 4).c_str(), nullptr, 16));
    return true;
}

// "0x046d" -> 0x046d.
bool read_hex_member(const std::string &text, std::uint16_t *id)
{
    return text.size() == 6 && text[0] == '0' && text[1] == 'x' && read_id(text, 2, id);
}

}  // namespace

std::string Object::get(const char *key) const
{
    for (const auto &kv : members)
        if (kv.first == key) return kv.second;
    return "";
}

bool parse_array(const char *json, std::vector<Object> *out)
{
    JsonReader reader{json, json};
    return reader.array(*out) && reader.at_end();
}

bool parse_object(const char *json, Object *out)
{
    JsonReader reader{json, json};
    return reader.object(*out) && reader.at_end();
}

std::string json_escape(const std::string &text)
{
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string add_members(const std::string &json, const std::vector<Object> &objects,
                        const std::vector<std::vector<std::pair<std::string, std::string>>> &extra)
{
    std::string out;
    std::size_t copied = 0;
    for (std::size_t i = 0; i < objects.size() && i < extra.size(); ++i) {
        std::size_t end = objects[i].end;
        out.append(json, copied, end - copied);
        bool first = objects[i].members.empty();
        for (const auto &kv : extra[i]) {
            if (!first) out += ',';
            first = false;
            out += '"' + json_escape(kv.first) + "\":\"" + json_escape(kv.second) + '"';
        }
        copied = end;
    }
    out.append(json, copied, std::string::npos);
    return out;
}

std::string terminal_text(const std::string &s)
{
    std::string out;
    char esc[8];
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b >= 0x20 && b < 0x7f) {
            out += s[i++];
            continue;
        }
        // The length of a well-formed UTF-8 sequence starting here, or 0.
        std::size_t len = b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
        unsigned cp = len == 2 ? b & 0x1fu : len == 3 ? b & 0x0fu : b & 0x07u;
        for (std::size_t k = 1; k < len; ++k) {
            auto c = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
            if ((c & 0xc0) != 0x80) {
                len = 0;
                break;
            }
            cp = (cp << 6) | (c & 0x3fu);
        }
        bool well_formed = len != 0 && !(len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) &&
                           !(len == 4 && (cp < 0x10000 || cp > 0x10ffff));
        if (well_formed && cp >= 0xa0) {
            out.append(s, i, len);
            i += len;
        } else if (well_formed) {  // U+0080..U+009F: C1 controls
            std::snprintf(esc, sizeof esc, "\\u%04x", cp);
            out += esc;
            i += len;
        } else {
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            out += esc;
            ++i;
        }
    }
    return out;
}

std::map<std::uint32_t, UsbNames> usb_ids_lookup(std::istream &db, const std::set<std::uint32_t> &ids)
{
    std::set<std::uint16_t> vendors;
    for (auto id : ids) vendors.insert(static_cast<std::uint16_t>(id >> 16));
    std::map<std::uint32_t, UsbNames> found;
    std::string line;
    std::uint16_t vendor = 0;
    bool in_wanted_vendor = false;
    std::string vendor_name;
    while (std::getline(db, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // "vvvv  Vendor name", then "\tpppp  Product name" lines; the lists
        // after the vendors (classes, languages, ...) begin with a word.
        std::uint16_t id;
        if (read_id(line, 0, &id) && line.compare(4, 2, "  ") == 0) {
            vendor = id;
            in_wanted_vendor = vendors.count(vendor) != 0;
            if (!in_wanted_vendor) continue;
            vendor_name = line.substr(6);
            for (auto want : ids)
                if (want >> 16 == vendor) found[want].vendor = vendor_name;
        } else if (in_wanted_vendor && line.size() > 7 && line[0] == '\t' && line[1] != '\t' &&
                   read_id(line, 1, &id) && line.compare(5, 2, "  ") == 0) {
            auto it = ids.find(usb_id(vendor, id));
            if (it != ids.end()) found[*it].product = line.substr(7);
        } else if (!line.empty() && line[0] != '#' && line[0] != '\t') {
            break;
        }
    }
    return found;
}

std::string usb_ids_path()
{
    if (const char *env = std::getenv("HALVOREN_USBIP_USB_IDS")) return env;
    for (const char *candidate : {"/usr/share/misc/usb.ids", "/usr/share/hwdata/usb.ids", "/usr/share/usb.ids",
                                  "/var/lib/usbutils/usb.ids"}) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec)) return candidate;
    }
    return "";
}

bool device_ids(const Object &device, std::uint16_t *vid, std::uint16_t *pid)
{
    return read_hex_member(device.get("vid"), vid) && read_hex_member(device.get("pid"), pid);
}

bool is_stand_in_name(const std::string &text, const char *prefix, std::uint16_t id)
{
    char expected[32];
    std::snprintf(expected, sizeof expected, "%s_0x%04x", prefix, id);
    return text == expected;
}

}  // namespace cli
