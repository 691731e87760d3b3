#include "usbip_cert.h"

#include <cctype>
#include <cstring>
#include <vector>

#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

#include "platform/platform.h"
#include "usbip_frame.h"

namespace {

const char kSubject[] = "CN=halvoren-usbip,O=Halvoren,C=NZ";
constexpr std::size_t kKeyFileLimit = 64 * 1024;

// A fresh RSA-2048 key in `key`.
int generate_key(mbedtls_pk_context *key, usbip_rng &rng)
{
    int r = mbedtls_pk_setup(key, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_pk_setup failed: %d", r);
        return -1;
    }
    r = mbedtls_rsa_gen_key(mbedtls_pk_rsa(*key), usbip_rng_random, &rng, 2048, 65537);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_rsa_gen_key failed: %d", r);
        return -1;
    }
    return 0;
}

// Parses a PEM key; the Mbed TLS error, or 0.
int parse_pem(mbedtls_pk_context *key, const std::string &pem, usbip_rng &rng)
{
    // Mbed TLS recognises PEM by its terminating NUL, which c_str() has.
    return tls_compat::parse_key(key, reinterpret_cast<const unsigned char *>(pem.c_str()), pem.size() + 1,
                                 usbip_rng_random, &rng);
}

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

int usbip_cert::load_key(const std::string &key_pem, usbip_rng &rng)
{
    int r = parse_pem(&key_, key_pem, rng);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_pk_parse_key failed: %d", r);
        return -1;
    }
    return 0;
}

int usbip_cert::make(usbip_rng &rng, const std::string &key_pem)
{
    if ((key_pem.empty() ? generate_key(&key_, rng) : load_key(key_pem, rng)) != 0) return -1;
    int r;
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
        usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_x509write_crt_pem failed: %d", r);
        return -1;
    }
    r = mbedtls_x509_crt_parse(&crt_, pem, std::strlen(reinterpret_cast<char *>(pem)) + 1);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_x509_crt_parse failed: %d", r);
        return -1;
    }
    return 0;
}

int usbip_key_fingerprint(const mbedtls_pk_context *key, char out[USBIP_FINGERPRINT_SIZE])
{
    unsigned char der[2048];
    int len = tls_compat::public_key_der(key, der, sizeof der);
    unsigned char digest[32];
    if (len <= 0 ||
        mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), der + sizeof der - len, static_cast<std::size_t>(len),
                   digest) != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS, "Failed to compute the key's fingerprint");
        return -1;
    }
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < sizeof digest; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[64] = '\0';
    return 0;
}

bool usbip_parse_fingerprint(const char *text, std::string *out)
{
    std::string digits;
    for (const char *p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        // Separators only between pairs: "ab:cd", never "a:b" or "abc:".
        if (c == ':' && digits.size() % 2 == 0 && !digits.empty() && p[1] != '\0' && p[1] != ':') continue;
        if (!std::isxdigit(c) || digits.size() == 64) return false;
        digits.push_back(static_cast<char>(std::tolower(c)));
    }
    if (digits.size() != 64) return false;
    *out = digits;
    return true;
}

int usbip_cert_key_file(const char *path, usbip_rng &rng, std::string *pem)
{
    // Two tries: another process may create the file between our read and
    // our exclusive create.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string data;
        plat::FileRead read = plat::read_file(path, kKeyFileLimit, &data);
        if (read == plat::FileRead::failed) {
            usbip_set_last_error(USBIP_ERROR_KEY_FILE, "Failed to read key file %s", path);
            return -1;
        }
        if (read == plat::FileRead::ok) {
            usbip_cert check;
            int r = parse_pem(check.key(), data, rng);
            if (r != 0 || mbedtls_pk_get_type(check.key()) != MBEDTLS_PK_RSA) {
                mbedtls_platform_zeroize(&data[0], data.size());
                usbip_set_last_error(USBIP_ERROR_KEY_FILE, "Key file %s holds no RSA private key in PEM form", path);
                return -1;
            }
            *pem = std::move(data);
            return 0;
        }
        usbip_cert fresh;
        if (generate_key(fresh.key(), rng) != 0) return -1;
        std::vector<unsigned char> buf(16000);
        int r = mbedtls_pk_write_key_pem(fresh.key(), buf.data(), buf.size());
        if (r != 0) {
            usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_pk_write_key_pem failed: %d", r);
            return -1;
        }
        std::string text(reinterpret_cast<const char *>(buf.data()));
        mbedtls_platform_zeroize(buf.data(), buf.size());
        if (plat::create_private_file(path, text)) {
            *pem = std::move(text);
            return 0;
        }
        mbedtls_platform_zeroize(&text[0], text.size());
        if (!plat::file_exists(path)) break;
    }
    usbip_set_last_error(USBIP_ERROR_KEY_FILE, "Failed to create key file %s", path);
    return -1;
}
