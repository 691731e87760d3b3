// halvoren-usbip: command-line host of the library, built on its public
// header only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "halvoren_usbip.h"

namespace {

// ---------------------------------------------------------------------------
// A minimal reader for the library's JSON: an array of flat objects whose
// values are strings or integers.

using Object = std::vector<std::pair<std::string, std::string>>;

struct JsonReader {
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
        if (eat('}')) return true;
        do {
            std::string k, v;
            if (!string(k) || !eat(':') || !value(v)) return false;
            obj.emplace_back(std::move(k), std::move(v));
        } while (eat(','));
        return eat('}');
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
};

std::string field(const Object &o, const char *key)
{
    for (const auto &kv : o)
        if (kv.first == key) return kv.second;
    return "";
}

// Shortens text to `width` display columns for the table.
std::string cell(std::string s, std::size_t width)
{
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    if (s.size() > width) s = s.substr(0, width - 1) + "~";
    return s;
}

void print_device_table(const std::vector<Object> &devices)
{
    std::printf("%-10s %-9s  %-24s %-28s %-8s %s\n", "BUSID", "VID:PID", "VENDOR", "PRODUCT",
                "SPEED", "CLASS");
    for (const auto &d : devices) {
        std::string vid = field(d, "vid"), pid = field(d, "pid");
        std::string ids = vid.substr(vid.size() > 2 ? 2 : 0) + ":" + pid.substr(pid.size() > 2 ? 2 : 0);
        std::printf("%-10s %-9s  %-24s %-28s %-8s %s\n", cell(field(d, "busid"), 10).c_str(),
                    ids.c_str(), cell(field(d, "vendor"), 24).c_str(),
                    cell(field(d, "product"), 28).c_str(), field(d, "speed").c_str(),
                    field(d, "class").c_str());
    }
    if (devices.empty()) std::printf("(no devices)\n");
}

int fail(const char *what)
{
    std::fprintf(stderr, "halvoren-usbip: %s: %s\n", what, usbip_last_error());
    return 1;
}

int show_devices(const char *json, bool as_json)
{
    if (as_json) {
        std::printf("%s\n", json);
        return 0;
    }
    std::vector<Object> devices;
    JsonReader reader{json};
    if (!reader.array(devices)) {
        std::fprintf(stderr, "halvoren-usbip: unreadable reply: %s\n", json);
        return 1;
    }
    print_device_table(devices);
    return 0;
}

// ---------------------------------------------------------------------------
// Commands

struct Args {
    std::vector<std::string> words;
    size_t i = 0;
    bool more() const { return i < words.size(); }
    const std::string &peek() const { return words[i]; }
    std::string take() { return words[i++]; }
};

void usage()
{
    std::fprintf(stderr,
                 "usage:\n"
                 "  halvoren-usbip list [--json]\n");
}

int cmd_list(Args &a)
{
    bool as_json = false;
    while (a.more()) {
        std::string w = a.take();
        if (w == "--json") {
            as_json = true;
        } else {
            usage();
            return 2;
        }
    }
    if (usbip_init() != 0) return fail("init");
    int rc = show_devices(usbip_list_local_devices(), as_json);
    usbip_cleanup();
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    Args a;
    for (int i = 1; i < argc; ++i) a.words.emplace_back(argv[i]);
    if (!a.more()) {
        usage();
        return 2;
    }
    std::string cmd = a.take();
    if (cmd == "list") return cmd_list(a);
    usage();
    return 2;
}
