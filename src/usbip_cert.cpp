#include "usbip_cert.h"

#include <cstring>

#include "usbip_frame.h"

namespace {

const char kSubject[] = "CN=halvoren-usbip,O=Halvoren,C=NZ";

}  // namespace

usbip_cert::usbip_cert()
{
    mbedtls_pk_init(&key_);
    mbedtls_x509_crt_init(&crt_);
}

usbip_cert::~usbip_cert()
{
    mbedtls_x509_crt_free(&crt_);
    mbedtls_pk_free(&key_);
}

int usbip_cert::make(usbip_rng &rng)
{
    int r = mbedtls_pk_setup(&key_, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (r != 0) {
        usbip_set_last_error("mbedtls_pk_setup failed: %d", r);
        return -1;
    }
    r = mbedtls_rsa_gen_key(mbedtls_pk_rsa(key_), usbip_rng_random, &rng, 2048, 65537);
    if (r != 0) {
        usbip_set_last_error("mbedtls_rsa_gen_key failed: %d", r);
        return -1;
    }

    mbedtls_x509write_cert writer;
    mbedtls_x509write_crt_init(&writer);
    tls_compat::set_serial_one(&writer);
    mbedtls_x509write_crt_set_subject_key(&writer, &key_);
    mbedtls_x509write_crt_set_issuer_key(&writer, &key_);
    mbedtls_x509write_crt_set_subject_name(&writer, kSubject);
    mbedtls_x509write_crt_set_issuer_name(&writer, kSubject);
    mbedtls_x509write_crt_set_validity(&writer, "20260101000000", "20360101000000");
    mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
    unsigned char pem[4096] = {};
    r = mbedtls_x509write_crt_pem(&writer, pem, sizeof pem, usbip_rng_random, &rng);
    mbedtls_x509write_crt_free(&writer);
    if (r != 0) {
        usbip_set_last_error("mbedtls_x509write_crt_pem failed: %d", r);
        return -1;
    }
    r = mbedtls_x509_crt_parse(&crt_, pem, std::strlen(reinterpret_cast<char *>(pem)) + 1);
    if (r != 0) {
        usbip_set_last_error("mbedtls_x509_crt_parse failed: %d", r);
        return -1;
    }
    return 0;
}
