// The server's RSA-2048 key and self-signed certificate, made in memory,
// and the key file that keeps one key across restarts. usbip_cert.cpp.
#ifndef HALVOREN_USBIP_CERT_H
#define HALVOREN_USBIP_CERT_H

#include <string>

#include "tls_compat.h"
#include "usbip_rng.h"

class usbip_cert {
public:
    usbip_cert();
    ~usbip_cert();
    usbip_cert(const usbip_cert &) = delete;
    usbip_cert &operator=(const usbip_cert &) = delete;

    // Makes the certificate for the key in `key_pem`, or for a fresh key
    // when that is empty; 0, or -1 with the thread's message set.
    int make(usbip_rng &rng, const std::string &key_pem = std::string());
    // Takes the key alone (no certificate).
    int load_key(const std::string &key_pem, usbip_rng &rng);
    mbedtls_pk_context *key() { return &key_; }
    mbedtls_x509_crt *crt() { return &crt_; }

private:
    mbedtls_pk_context key_;
    mbedtls_x509_crt crt_;
};

// 64 lower-case hex digits and a NUL.
inline constexpr std::size_t USBIP_FINGERPRINT_SIZE = 65;

// A key's fingerprint: SHA-256 over its public half (SubjectPublicKeyInfo,
// DER), as 64 lower-case hex digits. 0, or -1 with the message set.
int usbip_key_fingerprint(const mbedtls_pk_context *key, char out[USBIP_FINGERPRINT_SIZE]);
// Reads a fingerprint as a person may write it: 64 hex digits in either
// case, optionally in pairs separated by ':'. False for anything else.
bool usbip_parse_fingerprint(const char *text, std::string *out);

// The RSA key in the PEM file at `path`, or a fresh one written there
// (readable by its owner only) when the file does not exist. 0 with the
// key's PEM in `pem`, or -1 with the thread's message set.
int usbip_cert_key_file(const char *path, usbip_rng &rng, std::string *pem);

#endif
