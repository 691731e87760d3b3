// The password challenge handshake. usbip_auth.cpp.
#ifndef HALVOREN_USBIP_AUTH_H
#define HALVOREN_USBIP_AUTH_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "usbip_conn.h"

inline constexpr std::size_t USBIP_CHALLENGE_SIZE = 32;
inline constexpr std::size_t USBIP_DIGEST_SIZE = 32;
inline constexpr std::size_t USBIP_HASH_TEXT_SIZE = 65;  // 64 hex digits and a NUL

// The longest password the library takes, in bytes: a server keeps it
// whole. A longer one is refused, never cut (a cut one could never match
// what a client proves).
inline constexpr std::size_t USBIP_MAX_PASSWORD = 127;
// False, with "Password too long: at most 127 bytes", for a longer one.
bool usbip_password_fits(const char *password);

int usbip_calc_sha256(const void *data, std::size_t len, std::uint8_t out[USBIP_DIGEST_SIZE]);
// 64 lower-case hex digits of the password's SHA-256; empty for no password.
int usbip_hash_password(const char *password, char out[USBIP_HASH_TEXT_SIZE]);
// SHA-256 over the challenge followed by the password's hash text.
int usbip_auth_proof(const std::uint8_t challenge[USBIP_CHALLENGE_SIZE], const char *password,
                     std::uint8_t out[USBIP_DIGEST_SIZE]);
// The server half; `on_rejected` (when given) runs when the client's proof
// is wrong (not when the connection fails), before the refusal is sent.
int usbip_auth_handshake_server(usbip_conn *c, const char *password, const std::function<void()> &on_rejected = {});
// The server half in two steps, for a server that greets a connection and
// waits for its answer elsewhere: the greeting (flag and a fresh challenge
// from the secure random source; false without one), then the check of the
// client's reply against that challenge, with the result sent back.
inline constexpr std::size_t USBIP_GREETING_SIZE = 4 + USBIP_CHALLENGE_SIZE;
// In place of a greeting, a server that refuses the client's address for a
// while (after too many wrong passwords from it) sends this flag and the
// seconds the refusal lasts, both 32-bit big-endian, and closes. A client
// that does not know the flag reads a greeting cut short.
inline constexpr std::uint32_t USBIP_GREETING_REFUSED = 0xffffffffu;
inline constexpr std::size_t USBIP_REFUSAL_SIZE = 8;
void usbip_auth_make_refusal(std::int64_t refused_ms, std::uint8_t out[USBIP_REFUSAL_SIZE]);
bool usbip_auth_make_greeting(const char *password, std::uint8_t out[USBIP_GREETING_SIZE]);
int usbip_auth_server_verify(usbip_conn *c, const char *password, const std::uint8_t challenge[USBIP_CHALLENGE_SIZE],
                             const std::function<void()> &on_rejected = {});
int usbip_auth_handshake_client(usbip_conn *c, const char *password);

#endif
