// Password challenge handshake. The server sends a flag (password required
// or not) and a 32-byte challenge; the client answers with
// SHA-256(challenge || hex SHA-256(password)), or with four zero bytes when
// no password is required; the server answers 0 (accepted) or 1.
#include <cstdio>
#include <cstring>

#include "tls_compat.h"
#include "usbip_auth.h"
#include "usbip_bytes.h"
#include "usbip_conn.h"
#include "usbip_frame.h"

namespace {

bool has_password(const char *password) { return password != nullptr && password[0] != '\0'; }

// Compares in time that does not depend on where the bytes differ.
bool equal_digests(const std::uint8_t *a, const std::uint8_t *b)
{
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < USBIP_DIGEST_SIZE; ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

int send_result(usbip_conn *c, std::uint32_t result)
{
    std::uint8_t buf[4];
    usbip_put_be32(buf, result);
    return usbip_conn_send_all(c, buf, sizeof buf);
}

}  // namespace

bool usbip_password_fits(const char *password)
{
    if (password == nullptr || strnlen(password, USBIP_MAX_PASSWORD + 1) <= USBIP_MAX_PASSWORD) return true;
    usbip_set_last_error("Password too long: at most %d bytes", static_cast<int>(USBIP_MAX_PASSWORD));
    return false;
}

int usbip_calc_sha256(const void *data, std::size_t len, std::uint8_t out[USBIP_DIGEST_SIZE])
{
    mbedtls_sha256_context ctx;
    mbedtls_sha256_init(&ctx);
    int r = tls_compat::sha256_starts(&ctx);
    if (r == 0) r = tls_compat::sha256_update(&ctx, static_cast<const unsigned char *>(data), len);
    if (r == 0) r = tls_compat::sha256_finish(&ctx, out);
    mbedtls_sha256_free(&ctx);
    return r == 0 ? 0 : -1;
}

int usbip_hash_password(const char *password, char out[USBIP_HASH_TEXT_SIZE])
{
    if (!has_password(password)) {
        out[0] = '\0';
        return 0;
    }
    std::uint8_t digest[USBIP_DIGEST_SIZE];
    if (usbip_calc_sha256(password, std::strlen(password), digest) != 0) return -1;
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < USBIP_DIGEST_SIZE; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[64] = '\0';
    return 0;
}

int usbip_auth_proof(const std::uint8_t challenge[USBIP_CHALLENGE_SIZE], const char *password,
                     std::uint8_t out[USBIP_DIGEST_SIZE])
{
    std::uint8_t input[USBIP_CHALLENGE_SIZE + 64];
    char hash_text[USBIP_HASH_TEXT_SIZE];
    if (usbip_hash_password(password, hash_text) != 0) return -1;
    std::memcpy(input, challenge, USBIP_CHALLENGE_SIZE);
    std::memcpy(input + USBIP_CHALLENGE_SIZE, hash_text, 64);
    return usbip_calc_sha256(input, sizeof input, out);
}

bool usbip_auth_make_greeting(const char *password, std::uint8_t out[USBIP_GREETING_SIZE])
{
    usbip_put_be32(out, has_password(password) ? 1 : 0);
    return plat::random_bytes(out + 4, USBIP_CHALLENGE_SIZE);
}

void usbip_auth_make_refusal(std::int64_t refused_ms, std::uint8_t out[USBIP_REFUSAL_SIZE])
{
    const std::int64_t seconds = (refused_ms + 999) / 1000;
    usbip_put_be32(out, USBIP_GREETING_REFUSED);
    usbip_put_be32(out + 4, static_cast<std::uint32_t>(seconds < 0 ? 0 : seconds > 0xffffffffLL ? 0xffffffffLL : seconds));
}

int usbip_auth_server_verify(usbip_conn *c, const char *password, const std::uint8_t challenge[USBIP_CHALLENGE_SIZE],
                             const std::function<void()> &on_rejected)
{
    if (!has_password(password)) {
        std::uint8_t reply[4];
        if (usbip_conn_recv_all(c, reply, sizeof reply) != 0) return -1;
        return send_result(c, 0);
    }
    std::uint8_t proof[USBIP_DIGEST_SIZE];
    if (usbip_conn_recv_all(c, proof, sizeof proof) != 0) return -1;
    std::uint8_t expected[USBIP_DIGEST_SIZE];
    if (usbip_auth_proof(challenge, password, expected) != 0) return -1;
    if (equal_digests(proof, expected)) return send_result(c, 0);
    // Before the answer: a client that hears it and tries again at once
    // must find the failure counted.
    if (on_rejected) on_rejected();
    send_result(c, 1);
    usbip_set_last_error("Client password authentication failed");
    return -1;
}

int usbip_auth_handshake_server(usbip_conn *c, const char *password, const std::function<void()> &on_rejected)
{
    // Flag and challenge leave in one segment; readers take them in any split.
    std::uint8_t greeting[USBIP_GREETING_SIZE];
    if (!usbip_auth_make_greeting(password, greeting)) {
        usbip_set_last_error("Failed to draw authentication challenge");
        return -1;
    }
    if (usbip_conn_send_all(c, greeting, sizeof greeting) != 0) return -1;
    return usbip_auth_server_verify(c, password, greeting + 4, on_rejected);
}

int usbip_auth_handshake_client(usbip_conn *c, const char *password)
{
    std::uint8_t hello[4 + USBIP_CHALLENGE_SIZE];
    const bool flag_read = usbip_conn_recv_all(c, hello, 4) == 0;
    if (flag_read && usbip_get_be32(hello) == USBIP_GREETING_REFUSED) {
        std::uint8_t seconds[4] = {};
        usbip_conn_recv_all(c, seconds, sizeof seconds);
        usbip_set_last_error("Server refuses this address for %u s after too many failed passwords",
                             static_cast<unsigned>(usbip_get_be32(seconds)));
        return -1;
    }
    if (!flag_read || usbip_conn_recv_all(c, hello + 4, USBIP_CHALLENGE_SIZE) != 0) {
        usbip_set_last_error("Failed to receive authentication challenge from server");
        return -1;
    }
    std::uint8_t result[4];
    if (usbip_get_be32(hello) == 0) {
        std::uint8_t zero[4] = {};
        if (usbip_conn_send_all(c, zero, sizeof zero) != 0) return -1;
        if (usbip_conn_recv_all(c, result, sizeof result) != 0 || usbip_get_be32(result) != 0) {
            usbip_set_last_error("Server handshake rejected");
            return -1;
        }
        return 0;
    }
    if (!has_password(password)) {
        usbip_set_last_error("Server requires password authentication but none was provided");
        return -1;
    }
    std::uint8_t proof[USBIP_DIGEST_SIZE];
    if (usbip_auth_proof(hello + 4, password, proof) != 0) return -1;
    if (usbip_conn_send_all(c, proof, sizeof proof) != 0) return -1;
    if (usbip_conn_recv_all(c, result, sizeof result) != 0) {
        usbip_set_last_error("Failed to receive authentication result from server");
        return -1;
    }
    if (usbip_get_be32(result) != 0) {
        usbip_set_last_error("Authentication rejected by server (invalid password)");
        return -1;
    }
    return 0;
}
