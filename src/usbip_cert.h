// The server's RSA-2048 key and self-signed certificate, made in memory.
// usbip_cert.cpp.
#ifndef HALVOREN_USBIP_CERT_H
#define HALVOREN_USBIP_CERT_H

#include "tls_compat.h"
#include "usbip_rng.h"

class usbip_cert {
public:
    usbip_cert();
    ~usbip_cert();
    usbip_cert(const usbip_cert &) = delete;
    usbip_cert &operator=(const usbip_cert &) = delete;

    // Makes a fresh key and certificate with `rng`; 0, or -1 with the
    // thread's message set.
    int make(usbip_rng &rng);
    mbedtls_pk_context *key() { return &key_; }
    mbedtls_x509_crt *crt() { return &crt_; }

private:
    mbedtls_pk_context key_;
    mbedtls_x509_crt crt_;
};

#endif
