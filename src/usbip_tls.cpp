// The TLS layer: the random generator and certificate that sessions share,
// and TLS sessions as the stream of a connection. Mbed TLS talks to the
// socket only through the callbacks below, one attempt at a time: the
// connection's loops wait on the socket, within its deadline.
#include "usbip_tls.h"

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "halvoren_usbip.h"
#include "tls_compat.h"
#include "usbip_cert.h"
#include "usbip_frame.h"
#include "usbip_rng.h"
#include "usbip_secure_auth.h"

namespace {

// The PSK identity of sessions keyed by the password exchange: both ends
// know the key already, so the name only has to match.
const char kPskIdentity[] = "halvoren-usbip";
const char kBindingLabel[] = "EXPORTER-halvoren-usbip-password-binding";

// Sessions hold shared references to the generator and the certificate, so
// a new certificate or a release of the layer never frees what a running
// session still uses. The pointers themselves are read and replaced
// atomically; the mutex serialises start, release and generation. Allocated
// once and never destroyed: sessions may outlive a host that exits without
// cleanup.
struct TlsState {
    std::mutex mutex;
    std::shared_ptr<usbip_rng> rng;    // null while the layer is not started
    std::shared_ptr<usbip_cert> cert;  // null until a certificate is made
    std::string key_pem;  // the key file's key, used by every new certificate; empty: a fresh key each time
};

TlsState &tls_state()
{
    static TlsState *state = new TlsState();
    return *state;
}

std::shared_ptr<usbip_rng> current_rng() { return std::atomic_load(&tls_state().rng); }
std::shared_ptr<usbip_cert> current_cert() { return std::atomic_load(&tls_state().cert); }

// One TLS session over a connection's socket.
class TlsStream final : public usbip_stream {
public:
    TlsStream(const plat::socket_t *fd, std::shared_ptr<usbip_rng> rng, std::shared_ptr<usbip_cert> cert)
        : fd_(fd), rng_(std::move(rng)), cert_(std::move(cert))
    {
        mbedtls_ssl_config_init(&conf_);
        mbedtls_ssl_init(&ssl_);
    }
    ~TlsStream() override
    {
        mbedtls_ssl_free(&ssl_);
        mbedtls_ssl_config_free(&conf_);
    }
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    // Configures the session for one end, authenticated by the server's
    // certificate or, when `psk` is given, by that key; false with the
    // message set.
    bool setup(int endpoint, const std::uint8_t *psk = nullptr)
    {
        int r = mbedtls_ssl_config_defaults(&conf_, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                            MBEDTLS_SSL_PRESET_DEFAULT);
        if (r != 0) {
            usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_ssl_config_defaults failed: %d", r);
            return false;
        }
        tls_compat::conf_protocol(&conf_, psk != nullptr ? tls_compat::session_kind::psk
                                                         : tls_compat::session_kind::certificate);
        tls_compat::conf_exporter(&conf_, &exporter_);
        mbedtls_ssl_conf_rng(&conf_, usbip_rng_random, rng_.get());
        if (psk != nullptr) {
            r = mbedtls_ssl_conf_psk(&conf_, psk, USBIP_SESSION_PSK_SIZE,
                                     reinterpret_cast<const unsigned char *>(kPskIdentity), sizeof kPskIdentity - 1);
            if (r != 0) {
                usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_ssl_conf_psk failed: %d", r);
                return false;
            }
        } else if (endpoint == MBEDTLS_SSL_IS_SERVER) {
            mbedtls_ssl_conf_own_cert(&conf_, cert_->crt(), cert_->key());
        } else {
            // Servers present a self-signed certificate made at run time:
            // there is no chain to verify, only a key the host may pin.
            mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_NONE);
        }
        r = mbedtls_ssl_setup(&ssl_, &conf_);
        if (r != 0) {
            usbip_set_last_error(USBIP_ERROR_TLS, "mbedtls_ssl_setup failed: %d", r);
            return false;
        }
        mbedtls_ssl_set_bio(&ssl_, this, bio_send, bio_recv, nullptr);
        return true;
    }

    // One step of the handshake: 0 done, 1 to be repeated once the socket
    // is ready as wants_write() says, or the Mbed TLS error.
    int handshake_step()
    {
        int r = mbedtls_ssl_handshake(&ssl_);
        return blocked(r) ? 1 : r;
    }

    long recv_some(void *data, std::size_t len, plat::IoError *err) override
    {
        int r = mbedtls_ssl_read(&ssl_, static_cast<unsigned char *>(data), len);
        if (r > 0) {
            *err = plat::IoError::none;
            return r;
        }
        if (blocked(r)) {
            *err = plat::IoError::would_block;
            return -1;
        }
        last_code_ = r;
        if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
            *err = plat::IoError::closed;
            return 0;
        }
        *err = plat::IoError::failed;
        return -1;
    }

    long send_some(const void *data, std::size_t len, plat::IoError *err) override
    {
        // Mbed TLS holds the record of a write that would have blocked and
        // must be called again with the same length.
        if (pending_write_ != 0) len = pending_write_;
        int r = mbedtls_ssl_write(&ssl_, static_cast<const unsigned char *>(data), len);
        if (r > 0) {
            pending_write_ = 0;
            *err = plat::IoError::none;
            return r;
        }
        if (blocked(r)) {
            pending_write_ = len;
            *err = plat::IoError::would_block;
            return -1;
        }
        last_code_ = r;
        *err = plat::IoError::failed;
        return -1;
    }

    bool shutdown_send(plat::IoError *err) override
    {
        int r = mbedtls_ssl_close_notify(&ssl_);
        if (r == 0) {
            *err = plat::IoError::none;
            return true;
        }
        last_code_ = r;
        *err = blocked(r) ? plat::IoError::would_block : plat::IoError::failed;
        return false;
    }

    bool wants_write() const override { return wants_write_; }
    std::size_t pending() const override { return mbedtls_ssl_get_bytes_avail(&ssl_); }

    // The session's exporter secret (after the handshake).
    bool exporter(const char *label, std::uint8_t *out, std::size_t len)
    {
        return tls_compat::export_secret(&ssl_, exporter_, label, out, len) == 0;
    }
    // The certificate the server presented, or null.
    const mbedtls_x509_crt *peer_certificate() const { return mbedtls_ssl_get_peer_cert(&ssl_); }
    // "TLSv1.2", "TLSv1.3"; and the suite.
    const char *version() const { return mbedtls_ssl_get_version(&ssl_); }
    const char *suite() const { return mbedtls_ssl_get_ciphersuite(&ssl_); }

    void describe_failure(bool sending) const override
    {
        usbip_set_last_error(USBIP_ERROR_CONNECTION_LOST, sending ? "mbedtls_ssl_write failed: %d" : "mbedtls_ssl_read failed: %d",
                             last_code_);
    }

private:
    // Would block: remembers which way the socket must become ready.
    bool blocked(int r)
    {
        if (r == MBEDTLS_ERR_SSL_WANT_READ) wants_write_ = false;
        else if (r == MBEDTLS_ERR_SSL_WANT_WRITE) wants_write_ = true;
        else return false;
        return true;
    }

    static int bio_send(void *ctx, const unsigned char *buf, size_t len)
    {
        auto *s = static_cast<TlsStream *>(ctx);
        plat::IoError err;
        long n = plat::send_now(*s->fd_, buf, len, &err);
        if (n > 0) return static_cast<int>(n);
        return err == plat::IoError::would_block ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
    }

    static int bio_recv(void *ctx, unsigned char *buf, size_t len)
    {
        auto *s = static_cast<TlsStream *>(ctx);
        plat::IoError err;
        long n = plat::recv_now(*s->fd_, buf, len, &err);
        if (n > 0) return static_cast<int>(n);
        if (err == plat::IoError::closed) return 0;
        return err == plat::IoError::would_block ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
    }

    const plat::socket_t *fd_;
    mbedtls_ssl_config conf_;
    mbedtls_ssl_context ssl_;
    std::shared_ptr<usbip_rng> rng_;
    std::shared_ptr<usbip_cert> cert_;
    tls_compat::exporter_secret exporter_;
    bool wants_write_ = false;
    std::size_t pending_write_ = 0;
    int last_code_ = 0;
};

// Runs the handshake of `s` on `c` within the connection's deadline and
// installs it. Returns 0, or the Mbed TLS error (MBEDTLS_ERR_NET_RECV_FAILED
// when the deadline passed, timed_out then set).
int handshake(usbip_conn *c, std::unique_ptr<TlsStream> s, bool *timed_out)
{
    *timed_out = false;
    for (;;) {
        int r = s->handshake_step();
        if (r == 0) break;
        if (r != 1) return r;
        std::int64_t left = c->deadline_ms != 0 ? c->deadline_ms - plat::monotonic_ms() : 3600000;
        int ready = left <= 0 ? 0
            : s->wants_write() ? plat::wait_writable(c->fd, static_cast<int>(left))
                               : plat::wait_readable(c->fd, static_cast<int>(left));
        if (ready == 0 && c->deadline_ms != 0 && plat::monotonic_ms() >= c->deadline_ms) {
            *timed_out = true;
            return MBEDTLS_ERR_NET_RECV_FAILED;
        }
        if (ready < 0) return MBEDTLS_ERR_NET_RECV_FAILED;
    }
    c->tls = std::move(s);
    return 0;
}

// A session for `c`; null with the message set.
std::unique_ptr<TlsStream> new_session(usbip_conn *c, int endpoint, std::shared_ptr<usbip_rng> rng,
                                       std::shared_ptr<usbip_cert> cert, const std::uint8_t *psk = nullptr)
{
    std::unique_ptr<TlsStream> s(new (std::nothrow) TlsStream(&c->fd, std::move(rng), std::move(cert)));
    if (!s) {
        usbip_set_last_error(USBIP_ERROR_TLS, "Out of memory allocating SSL context");
        return nullptr;
    }
    if (!s->setup(endpoint, psk)) return nullptr;
    return s;
}

// The session installed on `c`, or null.
TlsStream *session_of(usbip_conn *c) { return dynamic_cast<TlsStream *>(c->tls.get()); }

// The generator, starting the layer when it is not started; null with the
// message set.
std::shared_ptr<usbip_rng> started_rng()
{
    if (!current_rng() && usbip_tls_init() != 0) return nullptr;
    std::shared_ptr<usbip_rng> rng = current_rng();
    if (!rng) usbip_set_last_error(USBIP_ERROR_TLS, "Failed to initialize TLS subsystem");
    return rng;
}

// The fingerprint this thread's client calls require of a TLS server's
// key (64 lower-case hex digits), empty for none.
thread_local std::string tls_pinned_fingerprint;

}  // namespace

int usbip_tls_init()
{
    std::lock_guard<std::mutex> lock(tls_state().mutex);
    if (current_rng()) return 0;
    if (!tls_compat::crypto_init()) {
        usbip_set_last_error(USBIP_ERROR_TLS, "psa_crypto_init failed");
        return -1;
    }
    auto rng = std::make_shared<usbip_rng>();
    if (rng->seed() != 0) return -1;
    std::atomic_store(&tls_state().rng, std::move(rng));
    return 0;
}

void usbip_tls_cleanup()
{
    std::lock_guard<std::mutex> lock(tls_state().mutex);
    // Sessions that still run keep what they use until they end.
    std::atomic_store(&tls_state().cert, std::shared_ptr<usbip_cert>());
    std::atomic_store(&tls_state().rng, std::shared_ptr<usbip_rng>());
}

extern "C" USBIP_API int usbip_tls_generate_cert(void)
{
    return usbip_guard(-1, []() -> int {
        if (!current_rng() && usbip_tls_init() != 0) return -1;
        std::lock_guard<std::mutex> lock(tls_state().mutex);
        std::shared_ptr<usbip_rng> rng = current_rng();
        if (!rng) {  // released meanwhile
            usbip_set_last_error(USBIP_ERROR_TLS, "Failed to initialize TLS subsystem");
            return -1;
        }
        auto cert = std::make_shared<usbip_cert>();
        if (cert->make(*rng, tls_state().key_pem) != 0) return -1;
        std::atomic_store(&tls_state().cert, std::move(cert));
        return 0;
    });
}

int usbip_tls_wrap_server(usbip_conn *c)
{
    std::shared_ptr<usbip_cert> cert = current_cert();
    if (!cert) {
        if (usbip_tls_generate_cert() != 0) return -1;
        cert = current_cert();
    }
    std::shared_ptr<usbip_rng> rng = current_rng();
    if (!cert || !rng) {
        usbip_set_last_error(USBIP_ERROR_TLS, "Failed to initialize TLS subsystem");
        return -1;
    }
    std::unique_ptr<TlsStream> s = new_session(c, MBEDTLS_SSL_IS_SERVER, std::move(rng), std::move(cert));
    if (!s) return -1;
    bool timed_out;
    int r = handshake(c, std::move(s), &timed_out);
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS_HANDSHAKE, "TLS server handshake failed: -0x%04x", static_cast<unsigned>(-r));
        return -1;
    }
    return 0;
}

int usbip_tls_wrap_client(usbip_conn *c)
{
    std::shared_ptr<usbip_rng> rng = started_rng();
    if (!rng) return -1;
    std::unique_ptr<TlsStream> s = new_session(c, MBEDTLS_SSL_IS_CLIENT, std::move(rng), nullptr);
    if (!s) return -1;
    usbip_conn_set_phase(c, "TLS handshake");
    bool timed_out;
    int r = handshake(c, std::move(s), &timed_out);
    if (timed_out) {
        usbip_conn_timeout_error(c);
        return -1;
    }
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS_HANDSHAKE, "TLS client handshake failed: -0x%04x", static_cast<unsigned>(-r));
        return -1;
    }
    if (tls_pinned_fingerprint.empty()) return 0;
    char seen[USBIP_FINGERPRINT_SIZE];
    if (usbip_tls_peer_fingerprint(c, seen) != 0) return -1;
    if (tls_pinned_fingerprint != seen) {
        usbip_set_last_error(USBIP_ERROR_KEY_MISMATCH, "Server key %s does not match the pinned fingerprint %s", seen,
                             tls_pinned_fingerprint.c_str());
        return -1;
    }
    return 0;
}

namespace {

// A session keyed by the password exchange on `c`; `who` names the end in
// the message.
int wrap_psk(usbip_conn *c, int endpoint, const std::uint8_t psk[USBIP_SESSION_PSK_SIZE], const char *who)
{
    std::shared_ptr<usbip_rng> rng = started_rng();
    if (!rng) return -1;
    std::unique_ptr<TlsStream> s = new_session(c, endpoint, std::move(rng), nullptr, psk);
    if (!s) return -1;
    bool timed_out;
    int r = handshake(c, std::move(s), &timed_out);
    if (timed_out && endpoint == MBEDTLS_SSL_IS_CLIENT) {
        usbip_conn_timeout_error(c);
        return -1;
    }
    if (r != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS_HANDSHAKE, "TLS-PSK %s handshake failed: -0x%04x", who, static_cast<unsigned>(-r));
        return -1;
    }
    return 0;
}

}  // namespace

int usbip_tls_wrap_psk_server(usbip_conn *c, const std::uint8_t psk[USBIP_SESSION_PSK_SIZE])
{
    return wrap_psk(c, MBEDTLS_SSL_IS_SERVER, psk, "server");
}

int usbip_tls_wrap_psk_client(usbip_conn *c, const std::uint8_t psk[USBIP_SESSION_PSK_SIZE])
{
    usbip_conn_set_phase(c, "TLS-PSK handshake");
    return wrap_psk(c, MBEDTLS_SSL_IS_CLIENT, psk, "client");
}

int usbip_tls_binding(usbip_conn *c, std::uint8_t out[USBIP_SECURE_BINDING_SIZE])
{
    TlsStream *s = session_of(c);
    if (s == nullptr || !s->exporter(kBindingLabel, out, USBIP_SECURE_BINDING_SIZE)) {
        usbip_set_last_error(USBIP_ERROR_TLS, "Failed to export the TLS session's secret");
        return -1;
    }
    return 0;
}

std::string usbip_tls_describe(usbip_conn *c)
{
    TlsStream *s = session_of(c);
    if (s == nullptr) return "";
    return std::string(s->version()) + " " + s->suite();
}

int usbip_tls_peer_fingerprint(usbip_conn *c, char out[USBIP_FINGERPRINT_SIZE])
{
    TlsStream *s = session_of(c);
    const mbedtls_x509_crt *crt = s != nullptr ? s->peer_certificate() : nullptr;
    if (crt == nullptr || usbip_key_fingerprint(&crt->pk, out) != 0) {
        usbip_set_last_error(USBIP_ERROR_TLS_HANDSHAKE, "Server presented no usable certificate");
        return -1;
    }
    return 0;
}

int usbip_tls_pin(const char *fingerprint)
{
    if (fingerprint == nullptr || fingerprint[0] == '\0') {
        tls_pinned_fingerprint.clear();
        return 0;
    }
    std::string pin;
    if (!usbip_parse_fingerprint(fingerprint, &pin)) {
        usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid fingerprint '%s': expected 64 hexadecimal digits", fingerprint);
        return -1;
    }
    tls_pinned_fingerprint = pin;
    return 0;
}

std::string usbip_tls_pinned() { return tls_pinned_fingerprint; }

std::shared_ptr<usbip_rng> usbip_tls_rng() { return started_rng(); }

extern "C" USBIP_API int usbip_tls_set_key_file(const char *path)
{
    return usbip_guard(-1, [&]() -> int {
        if (path == nullptr || path[0] == '\0') {
            std::lock_guard<std::mutex> lock(tls_state().mutex);
            tls_state().key_pem.clear();
            return 0;
        }
        std::shared_ptr<usbip_rng> rng = started_rng();
        if (!rng) return -1;
        std::string pem;
        if (usbip_cert_key_file(path, *rng, &pem) != 0) return -1;
        std::lock_guard<std::mutex> lock(tls_state().mutex);
        tls_state().key_pem = std::move(pem);
        return 0;
    });
}

extern "C" USBIP_API const char *usbip_tls_key_fingerprint(void)
{
    return usbip_guard<const char *>(nullptr, []() -> const char * {
        static thread_local char text[USBIP_FINGERPRINT_SIZE];
        if (std::shared_ptr<usbip_cert> cert = current_cert()) {
            if (usbip_key_fingerprint(cert->key(), text) != 0) return nullptr;
            return text;
        }
        std::string pem;
        {
            std::lock_guard<std::mutex> lock(tls_state().mutex);
            pem = tls_state().key_pem;
        }
        std::shared_ptr<usbip_rng> rng = pem.empty() ? nullptr : started_rng();
        if (!rng) {
            usbip_set_last_error(USBIP_ERROR_NO_KEY, "No TLS server key yet: start a server with TLS or set a key file");
            return nullptr;
        }
        usbip_cert key_only;
        if (key_only.load_key(pem, *rng) != 0 || usbip_key_fingerprint(key_only.key(), text) != 0) return nullptr;
        return text;
    });
}
