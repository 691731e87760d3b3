// The library's random generator: CTR_DRBG seeded from Mbed TLS's entropy
// source, shared by key generation and every TLS session. usbip_rng.cpp.
#ifndef HALVOREN_USBIP_RNG_H
#define HALVOREN_USBIP_RNG_H

#include <cstddef>

#include "tls_compat.h"

class usbip_rng {
public:
    usbip_rng();
    ~usbip_rng();
    usbip_rng(const usbip_rng &) = delete;
    usbip_rng &operator=(const usbip_rng &) = delete;

    // Seeds the generator; 0, or -1 with the thread's message set.
    int seed();
    mbedtls_ctr_drbg_context *drbg() { return &drbg_; }

private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;  // locks itself (MBEDTLS_THREADING_C)
};

// Mbed TLS's random callback over a usbip_rng.
int usbip_rng_random(void *rng, unsigned char *out, std::size_t len);

#endif
