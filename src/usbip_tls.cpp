// Connection object with deadlines and timed I/O, and the TLS layer: the
// library's random generator, its self-signed server certificate, and TLS
// sessions installed on connections.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "halvoren_usbip.h"
#include "platform/threads.h"
#include "tls_compat.h"
#include "usbip_internal.h"

namespace {

// Client time-out in milliseconds, always > 0. Read and written without a
// lock: a reader sees the old or the new value.
std::atomic<int> g_client_timeout_ms{10000};

// The library's random generator: seeded once per start of the layer and
// shared by key generation and every TLS session.
struct TlsRng {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;  // locks itself (MBEDTLS_THREADING_C)

    TlsRng()
    {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
    }
    ~TlsRng()
    {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    TlsRng(const TlsRng &) = delete;
    TlsRng &operator=(const TlsRng &) = delete;
};

int tls_random(void *ctx, unsigned char *out, size_t len)
{
    auto *rng = static_cast<TlsRng *>(ctx);
    return mbedtls_ctr_drbg_random(&rng->drbg, out, len);
}

// The server's key and self-signed certificate.
struct TlsCert {
    mbedtls_pk_context key;
    mbedtls_x509_crt crt;

    TlsCert()
    {
        mbedtls_pk_init(&key);
        mbedtls_x509_crt_init(&crt);
    }
    ~TlsCert()
    {
        mbedtls_x509_crt_free(&crt);
        mbedtls_pk_free(&key);
    }
    TlsCert(const TlsCert &) = delete;
    TlsCert &operator=(const TlsCert &) = delete;
};

// Sessions hold shared references to the generator and the certificate, so
// a new certificate or a release of the layer never frees what a running
// session still uses. The pointers themselves are read and replaced
// atomically; the mutex serialises start, release and generation. Allocated
// once and never destroyed: sessions may outlive a host that exits without
// cleanup.
struct TlsState {
    std::mutex mutex;
    std::shared_ptr<TlsRng> rng;    // null while the layer is not started
    std::shared_ptr<TlsCert> cert;  // null until a certificate is made
};

TlsState &tls_state()
{
    static TlsState *state = new TlsState();
    return *state;
}

const char kSubject[] = "CN=halvoren-usbip,O=Halvoren,C=NZ";
const char kPersonalisation[] = "halvoren_usbip_tls";

// ---------------------------------------------------------------------------
// Connection helpers

int client_timeout() { return g_client_timeout_ms.load(std::memory_order_relaxed); }

bool deadline_reached(const usbip_conn *c)
{
    return c->deadline_ms != 0 && plat::monotonic_ms() >= c->deadline_ms;
}

void conn_timeout_error(usbip_conn *c)
{
    int ms = client_timeout();
    int seconds = ms >= 1000 ? ms / 1000 : 1;
    const char *reason = (c->phase_label[0] == '\0' || std::strcmp(c->phase_label, "connect") == 0)
        ? "no answer to the TCP connection attempt - check the address and that the server is running"
        : "server accepted the connection but sent no response - check the port and that the server is running";
    c->timed_out = 1;
    usbip_set_last_error("Timed out after %ds connecting to %s (%s)", seconds, c->target_label, reason);
}

// How long a connect may wait for one address to answer.
int connect_wait_ms(const usbip_conn *c, std::int64_t limit_ms)
{
    std::int64_t wait = c->deadline_ms != 0 ? c->deadline_ms - plat::monotonic_ms() : limit_ms;
    return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

// Waits for a connect to complete, in slices so that `keep_going` (when
// given) can end the wait early. 1 done, 0 the wait ran out, -1 failed.
int wait_connected(plat::socket_t s, int wait_ms, const std::atomic<bool> *keep_going)
{
    std::int64_t until = plat::monotonic_ms() + wait_ms;
    for (;;) {
        std::int64_t left = until - plat::monotonic_ms();
        if (left <= 0) return 0;
        if (keep_going != nullptr && !*keep_going) return -1;
        int slice = keep_going != nullptr && left > 50 ? 50 : static_cast<int>(left);
        int r = plat::wait_writable(s, slice);
        if (r != 0) return r;
    }
}

int conn_connect_impl(usbip_conn *c, const char *host, int port, bool use_deadline, std::int64_t limit_ms,
                      const std::atomic<bool> *keep_going)
{
    usbip_conn_close(c);
    c->tls_active = 0;
    c->timed_out = 0;
    std::snprintf(c->target_label, sizeof c->target_label, "%s:%d", host, port);
    usbip_copy_text(c->phase_label, sizeof c->phase_label, "connect");
    c->deadline_ms = use_deadline ? plat::monotonic_ms() + client_timeout() : 0;

    std::vector<plat::Address> addrs;
    if (!plat::resolve(host, port, addrs)) {
        usbip_set_last_error("Failed to resolve host: %s", host);
        return -1;
    }
    for (const plat::Address &addr : addrs) {
        if (deadline_reached(c)) {
            conn_timeout_error(c);
            return -1;
        }
        plat::Socket s(plat::socket_open(addr));
        if (!s.valid()) continue;
        plat::ConnectStart started = plat::connect_start(s.get(), addr);
        if (started == plat::ConnectStart::failed) continue;
        if (started == plat::ConnectStart::in_progress) {
            int wait = connect_wait_ms(c, limit_ms);
            if (wait <= 0) {
                conn_timeout_error(c);
                return -1;
            }
            int r = wait_connected(s.get(), wait, keep_going);
            if (r == 0 && plat::connect_result(s.get()) != 0) r = -1;  // a refusal that the wait missed
            if (r == 0) {
                conn_timeout_error(c);
                return -1;
            }
            if (r < 0 || plat::connect_result(s.get()) != 0) continue;
        }
        plat::set_nodelay(s.get());
        c->fd = s.release();
        return 0;
    }
    if (deadline_reached(c))
        conn_timeout_error(c);
    else
        usbip_set_last_error("Could not connect to %s:%d", host, port);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// TLS sessions

struct usbip_tls_session {
    mbedtls_ssl_config conf;
    mbedtls_ssl_context ssl;
    std::shared_ptr<TlsRng> rng;
    std::shared_ptr<TlsCert> cert;
    const usbip_conn *conn = nullptr;  // the connection that owns this session
    // Set while a one-attempt transfer runs: the socket callbacks then never
    // wait and report "would block" to Mbed TLS instead.
    bool nonblocking = false;
    // The length of a write that would have blocked: Mbed TLS holds its
    // record and must be called again with the same length.
    std::size_t pending_write = 0;

    usbip_tls_session()
    {
        mbedtls_ssl_config_init(&conf);
        mbedtls_ssl_init(&ssl);
    }
    ~usbip_tls_session()
    {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&conf);
    }
};

void usbip_tls_session_deleter::operator()(usbip_tls_session *s) const { delete s; }

namespace {

// TLS talks to the socket through the platform layer and keeps to the
// connection's deadline: Mbed TLS calls these until a record is complete, so
// a peer that drips bytes must not stretch a call beyond it.
int bio_send(void *ctx, const unsigned char *buf, size_t len)
{
    auto *s = static_cast<usbip_tls_session *>(ctx);
    plat::IoError err;
    long n = s->nonblocking ? plat::send_now(s->conn->fd, buf, len, &err)
                            : plat::send_until(s->conn->fd, buf, len, s->conn->deadline_ms, &err);
    if (n > 0) return static_cast<int>(n);
    return s->nonblocking && err == plat::IoError::timed_out ? MBEDTLS_ERR_SSL_WANT_WRITE : MBEDTLS_ERR_NET_SEND_FAILED;
}

int bio_recv(void *ctx, unsigned char *buf, size_t len)
{
    auto *s = static_cast<usbip_tls_session *>(ctx);
    plat::IoError err;
    long n = s->nonblocking ? plat::recv_now(s->conn->fd, buf, len, &err)
                            : plat::recv_until(s->conn->fd, buf, len, s->conn->deadline_ms, &err);
    if (n > 0) return static_cast<int>(n);
    if (err == plat::IoError::closed) return 0;
    return s->nonblocking && err == plat::IoError::timed_out ? MBEDTLS_ERR_SSL_WANT_READ : MBEDTLS_ERR_NET_RECV_FAILED;
}

std::shared_ptr<TlsRng> current_rng() { return std::atomic_load(&tls_state().rng); }
std::shared_ptr<TlsCert> current_cert() { return std::atomic_load(&tls_state().cert); }

// Prepares a session for `c`; null with the message set on failure.
usbip_tls_session *new_session(usbip_conn *c, int endpoint, std::shared_ptr<TlsRng> rng,
                               std::shared_ptr<TlsCert> cert)
{
    auto *s = new (std::nothrow) usbip_tls_session;
    if (s == nullptr) {
        usbip_set_last_error("Out of memory allocating SSL context");
        return nullptr;
    }
    std::unique_ptr<usbip_tls_session> owner(s);
    s->rng = std::move(rng);
    s->cert = std::move(cert);
    s->conn = c;
    int r = mbedtls_ssl_config_defaults(&s->conf, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT);
    if (r != 0) {
        usbip_set_last_error("mbedtls_ssl_config_defaults failed: %d", r);
        return nullptr;
    }
    tls_compat::conf_tls12_and_groups(&s->conf);
    mbedtls_ssl_conf_rng(&s->conf, tls_random, s->rng.get());
    if (endpoint == MBEDTLS_SSL_IS_SERVER) {
        mbedtls_ssl_conf_own_cert(&s->conf, &s->cert->crt, &s->cert->key);
    } else {
        // Servers present a self-signed certificate made at run time.
        mbedtls_ssl_conf_authmode(&s->conf, MBEDTLS_SSL_VERIFY_NONE);
    }
    r = mbedtls_ssl_setup(&s->ssl, &s->conf);
    if (r != 0) {
        usbip_set_last_error("mbedtls_ssl_setup failed: %d", r);
        return nullptr;
    }
    mbedtls_ssl_set_bio(&s->ssl, s, bio_send, bio_recv, nullptr);
    return owner.release();
}

void install_session(usbip_conn *c, usbip_tls_session *s)
{
    c->tls_session.reset(s);
    c->tls_active = 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection object

usbip_conn::~usbip_conn() { usbip_conn_close(this); }

plat::socket_t usbip_conn::release_socket()
{
    watch.reset();
    plat::socket_t s = fd;
    fd = plat::kNoSocket;
    return s;
}

int usbip_conn_connect(usbip_conn *c, const char *host, int port)
{
    return conn_connect_impl(c, host, port, false, client_timeout(), nullptr);
}

int usbip_conn_connect_deadline(usbip_conn *c, const char *host, int port)
{
    return conn_connect_impl(c, host, port, true, client_timeout(), nullptr);
}

int usbip_conn_connect_bounded(usbip_conn *c, const char *host, int port, int limit_ms,
                               const std::atomic<bool> &keep_going)
{
    int limit = client_timeout() < limit_ms ? client_timeout() : limit_ms;
    return conn_connect_impl(c, host, port, false, limit, &keep_going);
}

void usbip_conn_set_deadline(usbip_conn *c, std::int64_t ms) { c->deadline_ms = plat::monotonic_ms() + ms; }

namespace {

// One direction of exact-count I/O: the TLS call, the socket call and the
// messages of their failures.
struct Direction {
    int (*tls)(mbedtls_ssl_context *, unsigned char *, size_t);
    long (*plain)(plat::socket_t, unsigned char *, std::size_t, std::int64_t, plat::IoError *);
    const char *tls_failed;
    const char *plain_failed;
};

// Repeats the call until every byte has moved, the deadline has passed
// (time-out message) or the call fails. Each call waits at most until the
// deadline.
int conn_transfer(usbip_conn *c, unsigned char *p, std::size_t len, const Direction &d)
{
    if (c->fd == plat::kNoSocket) return -1;
    while (len > 0) {
        if (deadline_reached(c)) {
            conn_timeout_error(c);
            return -1;
        }
        long n;
        if (c->tls_active && c->tls_session) {
            int r = d.tls(&c->tls_session->ssl, p, len);
            if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
            if (r <= 0) {
                usbip_set_last_error(d.tls_failed, r);
                return -1;
            }
            n = r;
        } else {
            plat::IoError err;
            n = d.plain(c->fd, p, len, c->deadline_ms, &err);
            if (n <= 0) {
                if (err == plat::IoError::timed_out) continue;  // the deadline decides
                usbip_set_last_error("%s", d.plain_failed);
                return -1;
            }
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

const Direction kSend = {
    [](mbedtls_ssl_context *ssl, unsigned char *p, size_t n) { return mbedtls_ssl_write(ssl, p, n); },
    [](plat::socket_t s, unsigned char *p, std::size_t n, std::int64_t deadline, plat::IoError *e) {
        return plat::send_until(s, p, n, deadline, e);
    },
    "mbedtls_ssl_write failed: %d",
    "send() failed",
};

const Direction kRecv = {
    [](mbedtls_ssl_context *ssl, unsigned char *p, size_t n) { return mbedtls_ssl_read(ssl, p, n); },
    [](plat::socket_t s, unsigned char *p, std::size_t n, std::int64_t deadline, plat::IoError *e) {
        return plat::recv_until(s, p, n, deadline, e);
    },
    "mbedtls_ssl_read failed: %d",
    "recv() failed or connection closed",
};

}  // namespace

int usbip_conn_send_all(usbip_conn *c, const void *data, std::size_t len)
{
    // The buffer is only read: the shared signature takes it as writable.
    return conn_transfer(c, const_cast<unsigned char *>(static_cast<const unsigned char *>(data)), len, kSend);
}

int usbip_conn_recv_all(usbip_conn *c, void *data, std::size_t len)
{
    return conn_transfer(c, static_cast<unsigned char *>(data), len, kRecv);
}

// ---------------------------------------------------------------------------
// One-attempt transfers, for a loop that waits on the socket itself

namespace {

// Runs one Mbed TLS call whose socket callbacks never wait.
template <typename Call>
int tls_attempt(usbip_tls_session *s, Call call)
{
    s->nonblocking = true;
    int r = call(&s->ssl);
    s->nonblocking = false;
    return r;
}

}  // namespace

long usbip_conn_recv_some(usbip_conn *c, void *data, std::size_t len, plat::IoError *err)
{
    if (c->fd == plat::kNoSocket) {
        *err = plat::IoError::failed;
        return -1;
    }
    if (!c->tls_active || !c->tls_session) return plat::recv_now(c->fd, data, len, err);
    int r = tls_attempt(c->tls_session.get(), [&](mbedtls_ssl_context *ssl) {
        return mbedtls_ssl_read(ssl, static_cast<unsigned char *>(data), len);
    });
    if (r > 0) {
        *err = plat::IoError::none;
        return r;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
        *err = plat::IoError::timed_out;
        return -1;
    }
    if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
        *err = plat::IoError::closed;
        return 0;
    }
    *err = plat::IoError::failed;
    return -1;
}

long usbip_conn_send_some(usbip_conn *c, const void *data, std::size_t len, plat::IoError *err)
{
    if (c->fd == plat::kNoSocket) {
        *err = plat::IoError::failed;
        return -1;
    }
    if (!c->tls_active || !c->tls_session) return plat::send_now(c->fd, data, len, err);
    usbip_tls_session *s = c->tls_session.get();
    if (s->pending_write != 0) len = s->pending_write;
    int r = tls_attempt(s, [&](mbedtls_ssl_context *ssl) {
        return mbedtls_ssl_write(ssl, static_cast<const unsigned char *>(data), len);
    });
    if (r > 0) {
        s->pending_write = 0;
        *err = plat::IoError::none;
        return r;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_WRITE || r == MBEDTLS_ERR_SSL_WANT_READ) {
        s->pending_write = len;
        *err = plat::IoError::timed_out;
        return -1;
    }
    *err = plat::IoError::failed;
    return -1;
}

std::size_t usbip_conn_buffered(const usbip_conn *c)
{
    if (!c->tls_active || !c->tls_session) return 0;
    return mbedtls_ssl_get_bytes_avail(&c->tls_session->ssl);
}

void usbip_conn_close(usbip_conn *c)
{
    if (c == nullptr) return;
    if (c->tls_session) {
        if (c->tls_active) mbedtls_ssl_close_notify(&c->tls_session->ssl);
        c->tls_session.reset();
    }
    c->tls_active = 0;
    c->watch.reset();  // before the descriptor number can be reused
    if (c->fd != plat::kNoSocket) {
        plat::close(c->fd);
        c->fd = plat::kNoSocket;
    }
}

void usbip_conn_set_phase(usbip_conn *c, const char *label)
{
    if (c != nullptr) usbip_copy_text(c->phase_label, sizeof c->phase_label, label ? label : "");
}

void usbip_conn_restore_error(usbip_conn *c)
{
    if (c != nullptr && c->timed_out) conn_timeout_error(c);
}

int usbip_client_timeout_ms() { return client_timeout(); }

extern "C" USBIP_API int usbip_client_set_timeout(int ms)
{
    int value = ms > 0 ? ms : 10000;
    g_client_timeout_ms.store(value, std::memory_order_relaxed);
    return value;
}

// ---------------------------------------------------------------------------
// TLS layer

int usbip_tls_init()
{
    std::lock_guard<std::mutex> lock(tls_state().mutex);
    if (current_rng()) return 0;
    if (!tls_compat::crypto_init()) {
        usbip_set_last_error("psa_crypto_init failed");
        return -1;
    }
    auto rng = std::make_shared<TlsRng>();
    int r = mbedtls_ctr_drbg_seed(&rng->drbg, mbedtls_entropy_func, &rng->entropy,
                                  reinterpret_cast<const unsigned char *>(kPersonalisation),
                                  sizeof kPersonalisation - 1);
    if (r != 0) {
        usbip_set_last_error("mbedtls_ctr_drbg_seed failed: %d", r);
        return -1;
    }
    std::atomic_store(&tls_state().rng, std::move(rng));
    return 0;
}

void usbip_tls_cleanup()
{
    std::lock_guard<std::mutex> lock(tls_state().mutex);
    // Sessions that still run keep what they use until they end.
    std::atomic_store(&tls_state().cert, std::shared_ptr<TlsCert>());
    std::atomic_store(&tls_state().rng, std::shared_ptr<TlsRng>());
}

extern "C" USBIP_API int usbip_tls_generate_cert(void)
{
    return usbip_guard(-1, []() -> int {
        if (!current_rng() && usbip_tls_init() != 0) return -1;
        std::lock_guard<std::mutex> lock(tls_state().mutex);
        std::shared_ptr<TlsRng> rng = current_rng();
        if (!rng) {  // released meanwhile
            usbip_set_last_error("Failed to initialize TLS subsystem");
            return -1;
        }
        auto cert = std::make_shared<TlsCert>();
        int r = mbedtls_pk_setup(&cert->key, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
        if (r != 0) {
            usbip_set_last_error("mbedtls_pk_setup failed: %d", r);
            return -1;
        }
        r = mbedtls_rsa_gen_key(mbedtls_pk_rsa(cert->key), tls_random, rng.get(), 2048, 65537);
        if (r != 0) {
            usbip_set_last_error("mbedtls_rsa_gen_key failed: %d", r);
            return -1;
        }

        mbedtls_x509write_cert writer;
        mbedtls_x509write_crt_init(&writer);
        tls_compat::set_serial_one(&writer);
        mbedtls_x509write_crt_set_subject_key(&writer, &cert->key);
        mbedtls_x509write_crt_set_issuer_key(&writer, &cert->key);
        mbedtls_x509write_crt_set_subject_name(&writer, kSubject);
        mbedtls_x509write_crt_set_issuer_name(&writer, kSubject);
        mbedtls_x509write_crt_set_validity(&writer, "20260101000000", "20360101000000");
        mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
        unsigned char pem[4096] = {};
        r = mbedtls_x509write_crt_pem(&writer, pem, sizeof pem, tls_random, rng.get());
        mbedtls_x509write_crt_free(&writer);
        if (r != 0) {
            usbip_set_last_error("mbedtls_x509write_crt_pem failed: %d", r);
            return -1;
        }
        r = mbedtls_x509_crt_parse(&cert->crt, pem, std::strlen(reinterpret_cast<char *>(pem)) + 1);
        if (r != 0) {
            usbip_set_last_error("mbedtls_x509_crt_parse failed: %d", r);
            return -1;
        }
        std::atomic_store(&tls_state().cert, std::move(cert));
        return 0;
    });
}

int usbip_tls_wrap_server(usbip_conn *c)
{
    std::shared_ptr<TlsCert> cert = current_cert();
    if (!cert) {
        if (usbip_tls_generate_cert() != 0) return -1;
        cert = current_cert();
    }
    std::shared_ptr<TlsRng> rng = current_rng();
    if (!cert || !rng) {
        usbip_set_last_error("Failed to initialize TLS subsystem");
        return -1;
    }
    usbip_tls_session *s = new_session(c, MBEDTLS_SSL_IS_SERVER, std::move(rng), std::move(cert));
    if (s == nullptr) return -1;
    std::unique_ptr<usbip_tls_session> owner(s);
    int r;
    do {
        r = mbedtls_ssl_handshake(&s->ssl);
    } while (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE);
    if (r != 0) {
        usbip_set_last_error("TLS server handshake failed: -0x%04x", static_cast<unsigned>(-r));
        return -1;
    }
    install_session(c, owner.release());
    return 0;
}

int usbip_tls_wrap_client(usbip_conn *c)
{
    if (!current_rng() && usbip_tls_init() != 0) return -1;
    std::shared_ptr<TlsRng> rng = current_rng();
    if (!rng) {
        usbip_set_last_error("Failed to initialize TLS subsystem");
        return -1;
    }
    usbip_tls_session *s = new_session(c, MBEDTLS_SSL_IS_CLIENT, std::move(rng), nullptr);
    if (s == nullptr) return -1;
    std::unique_ptr<usbip_tls_session> owner(s);
    usbip_conn_set_phase(c, "TLS handshake");
    for (;;) {
        int r = mbedtls_ssl_handshake(&s->ssl);
        if (r == 0) break;
        if (deadline_reached(c)) {
            conn_timeout_error(c);
            return -1;
        }
        if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) continue;
        usbip_set_last_error("TLS client handshake failed: -0x%04x", static_cast<unsigned>(-r));
        return -1;
    }
    install_session(c, owner.release());
    return 0;
}
