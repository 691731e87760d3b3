// Password challenge handshake. The server sends a flag (password required
// or not) and a 32-byte challenge; the client answers with
// SHA-256(challenge || hex SHA-256(password)), or with four zero bytes when
// no password is required; the server answers 0 (accepted) or 1.
//
// A server with a password also offers the secure exchange in its flag
// (usbip_secure_auth.h); a client that takes it up sends the upgrade marker
// instead of the proof, and both ends then run SPAKE2 and confirm the key.
// Outside TLS that key then keys a TLS session with a pre-shared key, which
// carries everything that follows.
#include <atomic>
#include <cstdio>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "halvoren_usbip.h"
#include "tls_compat.h"
#include "usbip_auth.h"
#include "usbip_bytes.h"
#include "usbip_conn.h"
#include "usbip_frame.h"
#include "usbip_secure_auth.h"
#include "usbip_tls.h"

namespace {

// Whether a client with a password refuses servers that do not offer the
// secure exchange. Read and written without a lock.
std::atomic<bool> g_require_secure{false};

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
    usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Password too long: at most %d bytes", static_cast<int>(USBIP_MAX_PASSWORD));
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
    usbip_put_be32(out, usbip_greeting_flag(has_password(password), true));
    return plat::random_bytes(out + 4, USBIP_CHALLENGE_SIZE);
}

namespace {

// What the exchange on `c` binds itself to: the greeting's challenge, and
// the TLS session underneath when there is one. False with the message set.
bool secure_context(usbip_conn *c, const std::uint8_t challenge[USBIP_CHALLENGE_SIZE], usbip_secure_context *out)
{
    std::memcpy(out->challenge, challenge, USBIP_CHALLENGE_SIZE);
    out->bound = c->is_tls();
    return !out->bound || usbip_tls_binding(c, out->binding) == 0;
}

// Once both ends proved the password: outside TLS, the session that
// carries the rest; inside TLS, nothing more.
template <typename End>
int secure_session(usbip_conn *c, const End &end, int (*wrap)(usbip_conn *, const std::uint8_t *))
{
    if (c->is_tls()) return 0;
    std::uint8_t psk[USBIP_SESSION_PSK_SIZE];
    int r = end.session_psk(psk) ? wrap(c, psk) : -1;
    mbedtls_platform_zeroize(psk, sizeof psk);
    return r;
}

// The server's side after the marker: pA in, pB out, cA in, the result
// (with cB) out.
int server_secure(usbip_conn *c, const char *password, const std::uint8_t challenge[USBIP_CHALLENGE_SIZE],
                  const std::function<void()> &on_rejected)
{
    usbip_secure_context context;
    if (!secure_context(c, challenge, &context)) return -1;
    std::shared_ptr<usbip_rng> rng = usbip_tls_rng();
    if (!rng) return -1;
    std::uint8_t client_share[USBIP_SPAKE2_SHARE_SIZE];
    if (usbip_conn_recv_all(c, client_share, sizeof client_share) != 0) return -1;
    usbip_secure_server server(context);
    std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE];
    if (!server.answer(password, usbip_rng_random, rng.get(), client_share, share)) {
        usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Client sent an invalid key exchange message");
        return -1;
    }
    if (usbip_conn_send_all(c, share, sizeof share) != 0) return -1;
    std::uint8_t confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
    if (usbip_conn_recv_all(c, confirmation, sizeof confirmation) != 0) return -1;
    std::uint8_t answer[USBIP_SECURE_ACCEPT_SIZE];
    if (!server.client_proved(confirmation, answer)) {
        // As for a wrong proof: counted before the answer goes out.
        if (on_rejected) on_rejected();
        usbip_conn_send_all(c, answer, 4);
        usbip_set_last_error(USBIP_ERROR_PASSWORD_REJECTED, "Client password authentication failed");
        return -1;
    }
    if (usbip_conn_send_all(c, answer, sizeof answer) != 0) return -1;
    return secure_session(c, server, usbip_tls_wrap_psk_server);
}

// The client's side once the server offered the exchange.
int client_secure(usbip_conn *c, const char *password, const std::uint8_t challenge[USBIP_CHALLENGE_SIZE])
{
    usbip_secure_context context;
    if (!secure_context(c, challenge, &context)) return -1;
    std::shared_ptr<usbip_rng> rng = usbip_tls_rng();
    if (!rng) return -1;
    usbip_secure_client client(context);
    std::uint8_t open[USBIP_SECURE_OPEN_SIZE];
    if (!client.open(password, usbip_rng_random, rng.get(), open)) {
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "Failed to start the password exchange");
        return -1;
    }
    if (usbip_conn_send_all(c, open, sizeof open) != 0) return -1;
    std::uint8_t server_share[USBIP_SPAKE2_SHARE_SIZE];
    if (usbip_conn_recv_all(c, server_share, sizeof server_share) != 0) {
        usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Failed to receive key exchange from server");
        return -1;
    }
    std::uint8_t confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
    if (!client.confirm(server_share, confirmation)) {
        usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Server sent an invalid key exchange message");
        return -1;
    }
    if (usbip_conn_send_all(c, confirmation, sizeof confirmation) != 0) return -1;
    std::uint8_t answer[USBIP_SECURE_ACCEPT_SIZE];
    if (usbip_conn_recv_all(c, answer, 4) != 0) {
        usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Failed to receive authentication result from server");
        return -1;
    }
    if (usbip_get_be32(answer) != 0) {
        usbip_set_last_error(USBIP_ERROR_PASSWORD_REJECTED, "Authentication rejected by server (invalid password)");
        return -1;
    }
    if (usbip_conn_recv_all(c, answer + 4, USBIP_SPAKE2_CONFIRM_SIZE) != 0) {
        usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Failed to receive authentication result from server");
        return -1;
    }
    if (!client.server_proved(answer + 4)) {
        usbip_set_last_error(USBIP_ERROR_SERVER_NOT_PROVEN, "Server could not prove that it knows the password");
        return -1;
    }
    return secure_session(c, client, usbip_tls_wrap_psk_client);
}

}  // namespace

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
    if (usbip_is_upgrade_marker(proof)) return server_secure(c, password, challenge, on_rejected);
    std::uint8_t expected[USBIP_DIGEST_SIZE];
    if (usbip_auth_proof(challenge, password, expected) != 0) return -1;
    if (equal_digests(proof, expected)) return send_result(c, 0);
    // Before the answer: a client that hears it and tries again at once
    // must find the failure counted.
    if (on_rejected) on_rejected();
    send_result(c, 1);
    usbip_set_last_error(USBIP_ERROR_PASSWORD_REJECTED, "Client password authentication failed");
    return -1;
}

int usbip_auth_handshake_server(usbip_conn *c, const char *password, const std::function<void()> &on_rejected)
{
    // Flag and challenge leave in one segment; readers take them in any split.
    std::uint8_t greeting[USBIP_GREETING_SIZE];
    if (!usbip_auth_make_greeting(password, greeting)) {
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "Failed to draw authentication challenge");
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
        usbip_set_last_error(USBIP_ERROR_REFUSED, "Server refuses this address for %u s after too many failed passwords",
                             static_cast<unsigned>(usbip_get_be32(seconds)));
        return -1;
    }
    if (!flag_read || usbip_conn_recv_all(c, hello + 4, USBIP_CHALLENGE_SIZE) != 0) {
        usbip_set_last_error(USBIP_ERROR_NOT_A_SERVER, "Failed to receive authentication challenge from server");
        return -1;
    }
    std::uint32_t flag = usbip_get_be32(hello);
    // A client that holds a password and requires the secure exchange
    // sends nothing to a server that does not offer it: whatever it would
    // send could be tested offline, or reach a server that never proves
    // anything.
    bool insecure = !usbip_flag_offers_secure(flag);
    if (insecure && has_password(password) && g_require_secure) {
        usbip_set_last_error(USBIP_ERROR_INSECURE_SERVER, "Server does not offer the secure password exchange");
        return -1;
    }
    std::uint8_t result[4];
    if (flag == 0) {
        std::uint8_t zero[4] = {};
        if (usbip_conn_send_all(c, zero, sizeof zero) != 0) return -1;
        if (usbip_conn_recv_all(c, result, sizeof result) != 0 || usbip_get_be32(result) != 0) {
            usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Server handshake rejected");
            return -1;
        }
        return 0;
    }
    if (!has_password(password)) {
        usbip_set_last_error(USBIP_ERROR_PASSWORD_REQUIRED, "Server requires password authentication but none was provided");
        return -1;
    }
    if (!insecure) return client_secure(c, password, hello + 4);
    std::uint8_t proof[USBIP_DIGEST_SIZE];
    if (usbip_auth_proof(hello + 4, password, proof) != 0) return -1;
    if (usbip_conn_send_all(c, proof, sizeof proof) != 0) return -1;
    if (usbip_conn_recv_all(c, result, sizeof result) != 0) {
        usbip_set_last_error(USBIP_ERROR_HANDSHAKE, "Failed to receive authentication result from server");
        return -1;
    }
    if (usbip_get_be32(result) != 0) {
        usbip_set_last_error(USBIP_ERROR_PASSWORD_REJECTED, "Authentication rejected by server (invalid password)");
        return -1;
    }
    return 0;
}

extern "C" USBIP_API int usbip_client_set_require_secure(int required)
{
    if (required >= 0) g_require_secure.store(required != 0, std::memory_order_relaxed);
    return g_require_secure.load(std::memory_order_relaxed) ? 1 : 0;
}
