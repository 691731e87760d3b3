// Everything that differs between the Mbed TLS 2.28 and 3.6 lines.
#ifndef HALVOREN_TLS_COMPAT_H
#define HALVOREN_TLS_COMPAT_H

#include <mbedtls/version.h>

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

// Sessions run TLS 1.2 only. The groups follow the 3.6 line's default order
// (x25519 first): 2.28 puts secp521r1 first, which halves the handshake rate.
inline void conf_tls12_and_groups(mbedtls_ssl_config *conf)
{
#if MBEDTLS_VERSION_NUMBER >= 0x03000000
    mbedtls_ssl_conf_min_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_max_tls_version(conf, MBEDTLS_SSL_VERSION_TLS1_2);
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
