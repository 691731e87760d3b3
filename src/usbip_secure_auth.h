// The secure password exchange, negotiated inside the password handshake:
// its byte layouts, and each end's steps as pure computation (the caller
// moves the bytes).
//
// A server with a password sets USBIP_FLAG_SECURE beside the password flag
// in its greeting; a client that knows the bit answers with the upgrade
// marker in place of the 32-byte proof, and both ends run SPAKE2 over P-256
// (the client is A, the server B) with key confirmation in both directions:
//
//   client                                   server
//     <-- flag (4) | challenge (32) ---------   flag = 3
//     --- marker (32) | pA (65) ----------->
//     <-- pB (65) --------------------------
//     --- cA (32) ------------------------->   wrong: result 1, close
//     <-- result 0 (4) | cB (32) -----------   the client checks cB
//
// Both confirmations cover the greeting's challenge and, inside TLS, a
// secret of that TLS session, so that a party that terminates TLS on both
// sides cannot pass them on. Outside TLS the confirmed key then keys a TLS
// session with a pre-shared key, which carries everything that follows.
#ifndef HALVOREN_USBIP_SECURE_AUTH_H
#define HALVOREN_USBIP_SECURE_AUTH_H

#include <cstddef>
#include <cstdint>

#include "usbip_spake2.h"

// The greeting's flag: bit 0 demands the password (a client treats any
// non-zero flag so), bit 1 offers the secure exchange.
inline constexpr std::uint32_t USBIP_FLAG_PASSWORD = 1;
inline constexpr std::uint32_t USBIP_FLAG_SECURE = 2;

inline constexpr std::size_t USBIP_SECURE_CHALLENGE_SIZE = 32;
inline constexpr std::size_t USBIP_SECURE_BINDING_SIZE = 32;
inline constexpr std::size_t USBIP_MARKER_SIZE = 32;
// marker | pA
inline constexpr std::size_t USBIP_SECURE_OPEN_SIZE = USBIP_MARKER_SIZE + USBIP_SPAKE2_SHARE_SIZE;
// result | cB, sent when the result is 0; a refusal is the result alone.
inline constexpr std::size_t USBIP_SECURE_ACCEPT_SIZE = 4 + USBIP_SPAKE2_CONFIRM_SIZE;
inline constexpr std::size_t USBIP_SESSION_PSK_SIZE = 32;

// The fixed bytes a client sends in place of the proof: the ASCII text
// "halvoren-usbip secure upgrade v1".
extern const std::uint8_t usbip_upgrade_marker[USBIP_MARKER_SIZE];

std::uint32_t usbip_greeting_flag(bool has_password, bool offers_secure);
inline bool usbip_flag_demands_password(std::uint32_t flag) { return flag != 0; }
// Only together with the password flag: a server without a password has
// nothing to exchange.
inline bool usbip_flag_offers_secure(std::uint32_t flag)
{
    return (flag & USBIP_FLAG_PASSWORD) != 0 && (flag & USBIP_FLAG_SECURE) != 0;
}
// Whether 32 bytes in the place of the proof are the upgrade marker.
bool usbip_is_upgrade_marker(const std::uint8_t reply[USBIP_MARKER_SIZE]);

// What both ends bind the exchange to.
struct usbip_secure_context {
    std::uint8_t challenge[USBIP_SECURE_CHALLENGE_SIZE] = {};  // the greeting's
    std::uint8_t binding[USBIP_SECURE_BINDING_SIZE] = {};      // a secret of the TLS session underneath
    bool bound = false;                                        // the exchange runs inside TLS
};

// The client's steps. Each returns false at most once, and the object is
// spent then.
class usbip_secure_client {
public:
    explicit usbip_secure_client(const usbip_secure_context &context) : context_(context) {}

    // marker | pA. False only when a primitive fails.
    bool open(const char *password, usbip_rng_fn rng, void *rng_state, std::uint8_t out[USBIP_SECURE_OPEN_SIZE]);
    // The server's pB; writes cA. False when pB is no valid share.
    bool confirm(const std::uint8_t server_share[USBIP_SPAKE2_SHARE_SIZE],
                 std::uint8_t out[USBIP_SPAKE2_CONFIRM_SIZE]);
    // The server's cB, after a result of 0: whether the server proved that
    // it holds the same password.
    bool server_proved(const std::uint8_t server_confirmation[USBIP_SPAKE2_CONFIRM_SIZE]);
    // The TLS session's pre-shared key, once the server proved the password.
    bool session_psk(std::uint8_t out[USBIP_SESSION_PSK_SIZE]) const;

private:
    usbip_secure_context context_;
    usbip_spake2 pake_{usbip_spake2::role::a};
    bool proved_ = false;
};

// The server's steps, after it found the marker in place of the proof.
class usbip_secure_server {
public:
    explicit usbip_secure_server(const usbip_secure_context &context) : context_(context) {}

    // The client's pA; writes pB. False when pA is no valid share (or a
    // primitive fails).
    bool answer(const char *password, usbip_rng_fn rng, void *rng_state,
                const std::uint8_t client_share[USBIP_SPAKE2_SHARE_SIZE],
                std::uint8_t out[USBIP_SPAKE2_SHARE_SIZE]);
    // The client's cA: whether the client proved the password. When it did,
    // `out` holds result 0 and cB; when not, result 1 in its first 4 bytes
    // (and the caller sends those only).
    bool client_proved(const std::uint8_t client_confirmation[USBIP_SPAKE2_CONFIRM_SIZE],
                       std::uint8_t out[USBIP_SECURE_ACCEPT_SIZE]);
    bool session_psk(std::uint8_t out[USBIP_SESSION_PSK_SIZE]) const;

private:
    usbip_secure_context context_;
    usbip_spake2 pake_{usbip_spake2::role::b};
    bool answered_ = false;
    bool proved_ = false;
};

#endif
