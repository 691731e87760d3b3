// The relay's line protocol as pure functions: the parsers take a line as
// the line reader stored it (no CR, no LF), and codes and tickets are made
// from the secure random source.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "usbip_relay_lines.h"

namespace {

bool starts_with(const char *line, const char *prefix)
{
    return std::strncmp(line, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

std::string usbip_relay_word(const char *line, std::size_t skip, std::size_t max)
{
    std::size_t len = std::strlen(line);
    const char *p = line + (skip < len ? skip : len);
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    std::size_t n = 0;
    while (n < max && p[n] != '\0' && !std::isspace(static_cast<unsigned char>(p[n]))) ++n;
    return std::string(p, n);
}

relay_first_line usbip_relay_parse_first_line(const char *line)
{
    relay_first_line out;
    if (starts_with(line, "REGISTER")) {
        out.kind = relay_request::register_server;
        out.argument = usbip_relay_word(line, 8, 64);
    } else if (starts_with(line, "CONNECT ")) {
        out.kind = relay_request::connect_client;
        out.argument = usbip_relay_word(line, 7, 15);
    } else if (starts_with(line, "ATTACH ")) {
        out.kind = relay_request::attach_server;
        out.argument = usbip_relay_word(line, 6, 31);
    }
    return out;
}

bool usbip_relay_is_heartbeat(const char *line) { return starts_with(line, "HEARTBEAT"); }

bool usbip_relay_parse_code(const char *line, std::string *code)
{
    if (!starts_with(line, "CODE ")) return false;
    *code = usbip_relay_word(line, 4, 15);
    return true;
}

bool usbip_relay_parse_dispatch(const char *line, std::string *ticket, std::string *client)
{
    if (!starts_with(line, "DISPATCH ")) return false;
    *ticket = usbip_relay_word(line, 8, 63);
    if (client != nullptr) {
        // The word after the ticket, if any: where the ticket's word ends.
        const char *p = line + 8;
        while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
        while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
        *client = usbip_relay_word(p, 0, 63);
    }
    return true;
}

bool usbip_relay_is_ok(const char *line) { return starts_with(line, "OK"); }

bool usbip_relay_parse_proven(const char *line, std::string *client)
{
    if (!starts_with(line, "PROVEN ")) return false;
    *client = usbip_relay_word(line, 6, 63);
    return true;
}

bool usbip_relay_key_valid(const char *key)
{
    std::size_t n = 0;
    for (; key[n] != '\0'; ++n)
        if (n >= USBIP_RELAY_KEY_MAX || key[n] < 0x21 || key[n] > 0x7e) return false;
    return n > 0;
}

std::string usbip_relay_make_code()
{
    unsigned char bytes[USBIP_RELAY_CODE_LEN];
    if (!plat::random_bytes(bytes, sizeof bytes)) return std::string();
    std::string code;
    for (unsigned char b : bytes) code += USBIP_RELAY_CHARSET[b & 31];  // 32 characters: no bias
    return code;
}

std::string usbip_relay_make_ticket(int counter)
{
    // 64 random bits: a ticket cannot be guessed within its pairing's wait.
    std::uint64_t r;
    if (!plat::random_bytes(&r, sizeof r)) return std::string();
    char ticket[USBIP_RELAY_TICKET_SIZE];
    std::snprintf(ticket, sizeof ticket, "TK%d_%" PRIu64, counter, r);
    return ticket;
}

int usbip_relay_next_ticket_counter(int counter)
{
    // Eight digits at most, so that the whole ticket keeps within the 31
    // characters that the relay reads back.
    return counter >= 99999999 ? 1000 : counter + 1;
}

usbip_error_code usbip_relay_refusal_code(const char *line)
{
    static const struct {
        const char *line;
        usbip_error_code code;
    } kRefusals[] = {
        {"ERROR Code not found", USBIP_ERROR_CODE_NOT_FOUND},
        {"ERROR Server failed to attach", USBIP_ERROR_ATTACH_FAILED},
        {"ERROR Relay capacity reached", USBIP_ERROR_RELAY_FULL},
        {"ERROR Too many requests", USBIP_ERROR_RATE_LIMITED},
    };
    for (const auto &r : kRefusals)
        if (std::strcmp(line, r.line) == 0) return r.code;
    return USBIP_ERROR_RELAY_REFUSED;
}
