#include "usbip_rng.h"

#include "usbip_frame.h"

namespace {

const char kPersonalisation[] = "halvoren_usbip_tls";

}  // namespace

usbip_rng::usbip_rng()
{
    mbedtls_entropy_init(&entropy_);
    mbedtls_ctr_drbg_init(&drbg_);
}

usbip_rng::~usbip_rng()
{
    mbedtls_ctr_drbg_free(&drbg_);
    mbedtls_entropy_free(&entropy_);
}

int usbip_rng::seed()
{
    int r = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_,
                                  reinterpret_cast<const unsigned char *>(kPersonalisation),
                                  sizeof kPersonalisation - 1);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_ctr_drbg_seed failed: %d", r);
        return -1;
    }
    return 0;
}

int usbip_rng_random(void *rng, unsigned char *out, std::size_t len)
{
    return mbedtls_ctr_drbg_random(static_cast<usbip_rng *>(rng)->drbg(), out, len);
}
