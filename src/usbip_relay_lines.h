// The relay's line protocol: parsing and making its lines, codes and
// tickets. usbip_relay_lines.cpp.
#ifndef HALVOREN_USBIP_RELAY_LINES_H
#define HALVOREN_USBIP_RELAY_LINES_H

#include <cstddef>
#include <string>

#include "halvoren_usbip.h"

// Single lines of ASCII ended by LF; receivers drop every CR. The parsers
// below take a line as usbip_read_line stored it (no CR, no LF).

inline constexpr char USBIP_RELAY_CHARSET[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
inline constexpr std::size_t USBIP_RELAY_CODE_LEN = 6;
inline constexpr std::size_t USBIP_RELAY_TICKET_SIZE = 32;  // the relay reads back at most 31 characters

enum class relay_request { none, register_server, connect_client, attach_server };

struct relay_first_line {
    relay_request kind = relay_request::none;
    std::string argument;  // the hash (<= 64), code (<= 15) or ticket (<= 31)
};

// The first line of a connection to the relay: REGISTER (no space needed),
// "CONNECT " or "ATTACH ", tested in that order, case-sensitively.
relay_first_line usbip_relay_parse_first_line(const char *line);
// The first word after `skip` characters, cut to `max` characters, the
// way "%<max>s" reads it (leading white space skipped).
std::string usbip_relay_word(const char *line, std::size_t skip, std::size_t max);
bool usbip_relay_is_heartbeat(const char *line);
// "CODE <code>" (code cut to 15), "DISPATCH <ticket> [<client>]" (each cut
// to 63; the client's address, which relays of this library add so that the
// server can count a client's guesses as its own), "OK...".
bool usbip_relay_parse_code(const char *line, std::string *code);
bool usbip_relay_parse_dispatch(const char *line, std::string *ticket, std::string *client = nullptr);
bool usbip_relay_is_ok(const char *line);
// "PROVEN <client>": a server tells its relay that the client the relay
// named in a DISPATCH proved the server's password (the relay then lets that
// client's pairings with this code through however busy the code is).
bool usbip_relay_parse_proven(const char *line, std::string *client);
// A registration key: 1 to 64 printable ASCII characters without spaces
// (it travels as REGISTER's one word, which the relay reads up to 64).
inline constexpr std::size_t USBIP_RELAY_KEY_MAX = 64;
bool usbip_relay_key_valid(const char *key);
// The error code of a relay's refusal line ("ERROR Code not found", ...).
usbip_error_code usbip_relay_refusal_code(const char *line);
// A six-character pairing code drawn from the secure random source.
std::string usbip_relay_make_code();
// "TK<counter>_<64 random bits in decimal>"; empty without a random source.
std::string usbip_relay_make_ticket(int counter);
// The ticket counter after `counter` (at most eight digits).
int usbip_relay_next_ticket_counter(int counter);

#endif
