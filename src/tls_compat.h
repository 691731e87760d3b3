// Everything that differs between the Mbed TLS 2.28 and 3.6 lines.
#ifndef HALVOREN_TLS_COMPAT_H
#define HALVOREN_TLS_COMPAT_H

#include <mbedtls/version.h>

#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#if MBEDTLS_VERSION_NUMBER >= 0x03000000
#include <psa/crypto.h>
#else
#include <mbedtls/bignum.h>
#endif

// Sessions run on many threads at once and share the random generator, the
// server's key (its RSA blinding state) and, on 3.x, PSA's global state:
// Mbed TLS must lock them itself. Its own default configuration (and that of
// most Windows builds) has threading off; that build would fail handshakes
// under load or corrupt shared state, so it is refused here.
#if !defined(MBEDTLS_THREADING_C) || !defined(MBEDTLS_THREADING_PTHREAD)
#error "halvoren-usbip needs Mbed TLS built with MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD (on Windows: winpthreads, with the -posix mingw-w64 compilers); enable both in Mbed TLS's configuration header and rebuild it"
#endif

namespace tls_compat {

// Starts the crypto layer underneath TLS (PSA on 3.x).
inline bool crypto_init()
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return psa_crypto_init() == PSA_SUCCESS;
#else
    return true;
#endif
}

// Whether sessions may run TLS 1.3 (the 3.x line built with it).
#if MBEDTLS_VERSION_NUMBER >= 0x03000000 && defined(MBEDTLS_SSL_PROTO_TLS1_3)
inline constexpr bool has_tls13 = true;
#else
inline constexpr bool has_tls13 = false;
#endif

// What a session authenticates with: the server's certificate, or a key
// both ends derived from the password exchange.
enum class session_kind { certificate, psk };

// Versions, suites and groups. Only ECDHE key exchange with AEAD ciphers:
// no static RSA key exchange, no CBC. TLS 1.2 everywhere, and TLS 1.3 on
// the 3.x line (a 3.x end falls back to 1.2 for a 2.28 peer). The groups
// follow the 3.x line's default order (x25519 first): 2.28 puts secp521r1
// first, which halves the handshake rate.
inline void conf_protocol(mbedtls_ssl_config *conf, session_kind kind)
{
    static const int certificate_suites[] = {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000 && defined(MBEDTLS_SSL_PROTO_TLS1_3)
        MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
        MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
        MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
#endif
        MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
        MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
        MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
        0,
    };
    // TLS 1.2 defines no ECDHE-PSK suite with AES-GCM that Mbed TLS has.
    // Both ends are this library's, so its order decides: ChaCha20 first,
    // which Mbed TLS runs faster than its block-at-a-time AES-GCM (measured
    // in bench/secure_bench.cpp).
    static const int psk_suites[] = {
#if MBEDTLS_VERSION_NUMBER >= 0x03000000 && defined(MBEDTLS_SSL_PROTO_TLS1_3)
        MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
        MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
        MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
#endif
        MBEDTLS_TLS_ECDHE_PSK_WITH_CHACHA20_POLY1305_SHA256,
        0,
    };
    mbedtls_ssl_conf_ciphersuites(conf, kind == session_kind::psk ? psk_suites : certificate_suites);
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#if defined(MBEDTLS_SSL_PROTO_TLS1_3)
    mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_3);
    // Forward secrecy in TLS 1.3 too: a pre-shared key only with (EC)DHE.
    mbedtls_ssl_conf_tls13_key_exchange_modes(conf, kind == session_kind::psk
                                                        ? MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_PSK_EPHEMERAL
                                                        : MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL);
#else
    mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
#endif
    // 3.x already prefers x25519, secp256r1, secp384r1, ...
#else
    mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_max_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    static const mbedtls_ecp_group_id groups[] = {
#if defined(MBEDTLS_ECP_DP_CURVE25519_ENABLED)
        MBEDTLS_ECP_DP_CURVE25519,
#endif
#if defined(MBEDTLS_ECP_DP_SECP256R1_ENABLED)
        MBEDTLS_ECP_DP_SECP256R1,
#endif
#if defined(MBEDTLS_ECP_DP_SECP384R1_ENABLED)
        MBEDTLS_ECP_DP_SECP384R1,
#endif
#if defined(MBEDTLS_ECP_DP_CURVE448_ENABLED)
        MBEDTLS_ECP_DP_CURVE448,
#endif
#if defined(MBEDTLS_ECP_DP_SECP521R1_ENABLED)
        MBEDTLS_ECP_DP_SECP521R1,
#endif
#if defined(MBEDTLS_ECP_DP_BP256R1_ENABLED)
        MBEDTLS_ECP_DP_BP256R1,
#endif
#if defined(MBEDTLS_ECP_DP_BP384R1_ENABLED)
        MBEDTLS_ECP_DP_BP384R1,
#endif
#if defined(MBEDTLS_ECP_DP_BP512R1_ENABLED)
        MBEDTLS_ECP_DP_BP512R1,
#endif
        MBEDTLS_ECP_DP_NONE,
    };
    mbedtls_ssl_conf_curves(conf, groups);
#endif
}

// A secret of one TLS session that both of its ends, and nobody else,
// compute: RFC 5705's exporter (no context) under `label`. On the 3.x line
// Mbed TLS exports it; on 2.28 it is derived from the master secret, which
// the session hands to a callback during the handshake.
struct exporter_secret {
#if MBEDTLS_VERSION_NUMBER < 0x03000000
    unsigned char master[48] = {};
    unsigned char randoms[64] = {};  // client random, server random
    mbedtls_tls_prf_types prf = MBEDTLS_SSL_TLS_PRF_NONE;
    bool captured = false;
#endif
};

#if MBEDTLS_VERSION_NUMBER < 0x03000000
inline int capture_master_secret(void *p, const unsigned char *ms, const unsigned char *, size_t, size_t, size_t,
                                 const unsigned char client_random[32], const unsigned char server_random[32],
                                 mbedtls_tls_prf_types prf)
{
    auto *e = static_cast<exporter_secret *>(p);
    std::memcpy(e->master, ms, sizeof e->master);
    std::memcpy(e->randoms, client_random, 32);
    std::memcpy(e->randoms + 32, server_random, 32);
    e->prf = prf;
    e->captured = true;
    return 0;
}
#endif

// Before the handshake: arranges for the exporter to be available after it.
inline void conf_exporter(mbedtls_ssl_config *conf, exporter_secret *e)
{
#if MBEDTLS_VERSION_NUMBER < 0x03000000
    mbedtls_ssl_conf_export_keys_ext_cb(conf, capture_master_secret, e);
#else
    (void)conf;
    (void)e;
#endif
}

inline int export_secret(mbedtls_ssl_context *ssl, const exporter_secret &e, const char *label, unsigned char *out,
                         size_t len)
{
#if MBEDTLS_VERSION_NUMBER < 0x03000000
    (void)ssl;
    if (!e.captured) return MBEDTLS_ERR_SSL_BAD_INPUT_DATA;
    return mbedtls_ssl_tls_prf(e.prf, e.master, sizeof e.master, label, e.randoms, sizeof e.randoms, out, len);
#else
    (void)e;
    return mbedtls_ssl_export_keying_material(ssl, out, len, label, std::strlen(label), nullptr, 0, 0);
#endif
}

inline int parse_key(mbedtls_pk_context *pk, const unsigned char *key, size_t len, int (*rng)(void *, unsigned char *, size_t),
                     void *rng_state)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return mbedtls_pk_parse_key(pk, key, len, nullptr, 0, rng, rng_state);
#else
    (void)rng;
    (void)rng_state;
    return mbedtls_pk_parse_key(pk, key, len, nullptr, 0);
#endif
}

// The public key as DER (SubjectPublicKeyInfo), written at the end of
// `buf`: its length, or an Mbed TLS error.
inline int public_key_der(const mbedtls_pk_context *pk, unsigned char *buf, size_t size)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return mbedtls_pk_write_pubkey_der(pk, buf, size);
#else
    return mbedtls_pk_write_pubkey_der(const_cast<mbedtls_pk_context *>(pk), buf, size);
#endif
}

// Serial number 1 on the certificate writer.
inline int set_serial_one(mbedtls_x509write_cert *crt)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03040000
    unsigned char one = 1;
    return mbedtls_x509write_crt_set_serial_raw(crt, &one, 1);
#else
    mbedtls_mpi serial;
    mbedtls_mpi_init(&serial);
    int r = mbedtls_mpi_read_string(&serial, 10, "1");
    if (r == 0) r = mbedtls_x509write_crt_set_serial(crt, &serial);
    mbedtls_mpi_free(&serial);
    return r;
#endif
}

inline int sha256_starts(mbedtls_sha256_context *ctx)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return mbedtls_sha256_starts(ctx, 0);
#else
    return mbedtls_sha256_starts_ret(ctx, 0);
#endif
}

inline int sha256_update(mbedtls_sha256_context *ctx, const unsigned char *data, size_t len)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return mbedtls_sha256_update(ctx, data, len);
#else
    return mbedtls_sha256_update_ret(ctx, data, len);
#endif
}

inline int sha256_finish(mbedtls_sha256_context *ctx, unsigned char out[32])
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    return mbedtls_sha256_finish(ctx, out);
#else
    return mbedtls_sha256_finish_ret(ctx, out);
#endif
}

}  // namespace tls_compat

#endif
