#include "bench_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "tls_compat.h"

int bench_free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

int bench_start_on_free_port(const std::function<int(int)> &start)
{
    static std::mt19937 rng(static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < 50; ++attempt) {
        int port = 20000 + static_cast<int>(rng() % 12000);
        if (start(port) == 0) return port;
    }
    return 0;
}

int bench_connect_from(const char *from, int port, int timeout_s)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    inet_pton(AF_INET, from, &src.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

BenchServer::BenchServer(std::function<void(plat::socket_t)> handler, bool thread_per_connection)
    : handler_(std::move(handler)), thread_per_connection_(thread_per_connection)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    listen(fd_, 128);
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            int on = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            if (!thread_per_connection_) {
                handler_(c);
                continue;
            }
            ++live_;
            std::thread([this, c] {
                handler_(c);
                --live_;
            }).detach();
        }
    });
}

BenchServer::~BenchServer()
{
    stop_ = true;
    thread_.join();
    close(fd_);
    for (int i = 0; i < 500 && live_ > 0; ++i) usleep(10000);  // let connection threads finish
}

bool PlainIo::send(const void *data, std::size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::send(static_cast<int>(fd_), p, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool PlainIo::recv(void *data, std::size_t len)
{
    char *p = static_cast<char *>(data);
    while (len > 0) {
        ssize_t n = ::recv(static_cast<int>(fd_), p, len, 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

struct BareTls::State {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_pk_context key;
    mbedtls_x509_crt crt;
    mbedtls_ssl_config conf;
};

namespace {

class TlsIo : public BenchIo {
public:
    explicit TlsIo(mbedtls_ssl_context *ssl) : ssl_(ssl) {}
    bool send(const void *data, std::size_t len) override
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        while (len > 0) {
            int n = mbedtls_ssl_write(ssl_, p, len);
            if (n <= 0) return false;
            p += n;
            len -= static_cast<std::size_t>(n);
        }
        return true;
    }
    bool recv(void *data, std::size_t len) override
    {
        unsigned char *p = static_cast<unsigned char *>(data);
        while (len > 0) {
            int n = mbedtls_ssl_read(ssl_, p, len);
            if (n <= 0) return false;
            p += n;
            len -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    mbedtls_ssl_context *ssl_;
};

}  // namespace

BareTls::BareTls() : state_(new State)
{
    State &s = *state_;
    mbedtls_entropy_init(&s.entropy);
    mbedtls_ctr_drbg_init(&s.drbg);
    mbedtls_pk_init(&s.key);
    mbedtls_x509_crt_init(&s.crt);
    mbedtls_ssl_config_init(&s.conf);
    tls_compat::crypto_init();
    mbedtls_ctr_drbg_seed(&s.drbg, mbedtls_entropy_func, &s.entropy, nullptr, 0);
    mbedtls_pk_setup(&s.key, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    mbedtls_rsa_gen_key(mbedtls_pk_rsa(s.key), mbedtls_ctr_drbg_random, &s.drbg, 2048, 65537);
    mbedtls_x509write_cert w;
    mbedtls_x509write_crt_init(&w);
    tls_compat::set_serial_one(&w);
    mbedtls_x509write_crt_set_subject_key(&w, &s.key);
    mbedtls_x509write_crt_set_issuer_key(&w, &s.key);
    mbedtls_x509write_crt_set_subject_name(&w, "CN=bare");
    mbedtls_x509write_crt_set_issuer_name(&w, "CN=bare");
    mbedtls_x509write_crt_set_validity(&w, "20260101000000", "20360101000000");
    mbedtls_x509write_crt_set_md_alg(&w, MBEDTLS_MD_SHA256);
    unsigned char pem[4096] = {};
    mbedtls_x509write_crt_pem(&w, pem, sizeof pem, mbedtls_ctr_drbg_random, &s.drbg);
    mbedtls_x509write_crt_free(&w);
    mbedtls_x509_crt_parse(&s.crt, pem, std::strlen(reinterpret_cast<char *>(pem)) + 1);
    mbedtls_ssl_config_defaults(&s.conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                MBEDTLS_SSL_PRESET_DEFAULT);
    tls_compat::conf_protocol(&s.conf, tls_compat::session_kind::certificate);
    mbedtls_ssl_conf_rng(&s.conf, mbedtls_ctr_drbg_random, &s.drbg);
    mbedtls_ssl_conf_own_cert(&s.conf, &s.crt, &s.key);
}

BareTls::~BareTls()
{
    State &s = *state_;
    mbedtls_ssl_config_free(&s.conf);
    mbedtls_x509_crt_free(&s.crt);
    mbedtls_pk_free(&s.key);
    mbedtls_ctr_drbg_free(&s.drbg);
    mbedtls_entropy_free(&s.entropy);
}

void BareTls::serve(plat::socket_t fd, const std::function<void(BenchIo &)> &exchange)
{
    mbedtls_net_context net;
    net.fd = static_cast<int>(fd);
    mbedtls_ssl_context ssl;
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_setup(&ssl, &state_->conf);
    mbedtls_ssl_set_bio(&ssl, &net, mbedtls_net_send, mbedtls_net_recv, nullptr);
    if (mbedtls_ssl_handshake(&ssl) == 0) {
        TlsIo io(&ssl);
        exchange(io);
        mbedtls_ssl_close_notify(&ssl);
    }
    mbedtls_ssl_free(&ssl);
    plat::close(fd);
}
