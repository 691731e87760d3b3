// Connection object (connect, deadlines, exact-count I/O, time-out
// messages) and the TLS layer (certificate, both wraps, independent peers).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_frame.h"
#include "usbip_tls.h"
#include "tls_compat.h"

namespace {

const char kNoAnswer[] =
    "no answer to the TCP connection attempt - check the address and that the server is running";
const char kSilent[] =
    "server accepted the connection but sent no response - check the port and that the server is running";

std::string timeout_message(int seconds, const std::string &target, const char *reason)
{
    return "Timed out after " + std::to_string(seconds) + "s connecting to " + target + " (" + reason + ")";
}

std::string target(int port) { return "127.0.0.1:" + std::to_string(port); }


// A library connection and the raw socket of the other end.
struct ConnPair {
    Listener listener;
    usbip_conn client;
    int peer = -1;

    explicit ConnPair(bool deadline = true)
    {
        int r = deadline ? usbip_conn_connect_deadline(&client, "127.0.0.1", listener.port())
                         : usbip_conn_connect(&client, "127.0.0.1", listener.port());
        EXPECT_EQ(r, 0) << usbip_last_error();
        peer = listener.accept_one();
    }
    ~ConnPair() { raw_close(peer); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Connecting

TEST(Connect, FailuresCarryTheirMessages)
{
    int closed_port = free_port();
    struct Case {
        const char *host;
        int port;
        std::string message;
    } cases[] = {
        {"no-such-host.invalid", 3240, "Failed to resolve host: no-such-host.invalid"},
        {"127.0.0.1", closed_port, "Could not connect to 127.0.0.1:" + std::to_string(closed_port)},
    };
    for (const auto &c : cases) {
        for (bool deadline : {false, true}) {
            usbip_conn conn;
            int r = deadline ? usbip_conn_connect_deadline(&conn, c.host, c.port)
                             : usbip_conn_connect(&conn, c.host, c.port);
            EXPECT_EQ(r, -1);
            EXPECT_EQ(usbip_last_error(), c.message);
            EXPECT_EQ(conn.fd, plat::kNoSocket);
            usbip_conn_close(&conn);  // nothing to release; harmless
        }
    }
}

TEST(Connect, AddressThatNeverAnswersTimesOutWithConnectReason)
{
    // A listener with a full backlog drops further SYNs: the connect hangs.
    Listener full(0);
    int first = raw_connect(full.port());
    ASSERT_GE(first, 0);
    ClientTimeout timeout(1500);
    usbip_conn conn;
    auto start = plat::monotonic_ms();
    EXPECT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", full.port()), -1);
    auto spent = plat::monotonic_ms() - start;
    EXPECT_EQ(usbip_last_error(), timeout_message(1, target(full.port()), kNoAnswer));
    EXPECT_EQ(conn.timed_out, 1);
    EXPECT_GE(spent, 1400);
    EXPECT_LT(spent, 5000);
    raw_close(first);
}

TEST(Connect, SuccessSetsLabelsAndNoDelay)
{
    Listener l;
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
    EXPECT_EQ(std::string(conn.target_label), target(l.port()));
    EXPECT_STREQ(conn.phase_label, "connect");
    EXPECT_GT(conn.deadline_ms, plat::monotonic_ms());
    usbip_conn plain;
    ASSERT_EQ(usbip_conn_connect(&plain, "127.0.0.1", l.port()), 0);
    EXPECT_EQ(plain.deadline_ms, 0);
}

// ---------------------------------------------------------------------------
// Time-outs and their message

TEST(TimeoutMessage, SecondsStateTheClientTimeoutSetting)
{
    struct Case {
        int setting_ms;
        int seconds;
    } cases[] = {{999, 1}, {1500, 1}, {10000, 10}, {2999, 2}};
    ConnPair pair;
    for (const auto &c : cases) {
        ClientTimeout timeout(c.setting_ms);
        usbip_conn_set_deadline(&pair.client, -1);  // already passed
        usbip_conn_set_phase(&pair.client, "device list reply");
        char byte;
        EXPECT_EQ(usbip_conn_recv_all(&pair.client, &byte, 1), -1);
        EXPECT_EQ(usbip_last_error(), timeout_message(c.seconds, target(pair.listener.port()), kSilent));
    }
}

TEST(TimeoutMessage, ClientTimeoutSettingRule)
{
    struct Case {
        int ms;
        int stored;
    } cases[] = {{0, 10000}, {-5, 10000}, {1, 1}, {2500, 2500}};
    for (const auto &c : cases) {
        EXPECT_EQ(usbip_client_set_timeout(c.ms), c.stored);
        EXPECT_EQ(usbip_client_timeout_ms(), c.stored);
    }
    usbip_client_set_timeout(0);
}

TEST(TimeoutMessage, SilentPeerTimesOutWithAcceptedReason)
{
    ClientTimeout timeout(1000);
    ConnPair pair;
    usbip_conn_set_phase(&pair.client, "authentication handshake");
    char buf[4];
    auto start = plat::monotonic_ms();
    EXPECT_EQ(usbip_conn_recv_all(&pair.client, buf, sizeof buf), -1);
    EXPECT_GE(plat::monotonic_ms() - start, 900);
    EXPECT_EQ(usbip_last_error(), timeout_message(1, target(pair.listener.port()), kSilent));

    // A later step may overwrite the message; restoring brings it back.
    usbip_set_last_error(USBIP_ERROR_INTERNAL, "Failed to receive authentication challenge from server");
    usbip_conn_close(&pair.client);
    usbip_conn_restore_error(&pair.client);
    EXPECT_EQ(usbip_last_error(), timeout_message(1, target(pair.listener.port()), kSilent));
}

TEST(TimeoutMessage, LongLabelsAreCut)
{
    std::string host(70, 'h');
    usbip_conn conn;
    EXPECT_EQ(usbip_conn_connect(&conn, host.c_str(), 3240), -1);
    EXPECT_EQ(usbip_last_error(), "Failed to resolve host: " + host);  // the whole name
    EXPECT_EQ(std::string(conn.target_label), (host + ":3240").substr(0, 63));

    conn.timed_out = 1;
    usbip_conn_restore_error(&conn);
    EXPECT_EQ(usbip_last_error(), timeout_message(10, (host + ":3240").substr(0, 63), kNoAnswer));

    std::string phase(40, 'p');
    usbip_conn_set_phase(&conn, phase.c_str());
    EXPECT_EQ(std::string(conn.phase_label), phase.substr(0, 31));
    usbip_conn_set_phase(&conn, nullptr);
    EXPECT_STREQ(conn.phase_label, "");
}

// ---------------------------------------------------------------------------
// Exact-count I/O

TEST(ExactIo, BytesArriveInOrderAcrossSplitsAndBothWays)
{
    ConnPair pair;
    std::string payload(200000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    std::thread peer([&] {
        std::string got = raw_recv_n(pair.peer, payload.size());
        raw_send(pair.peer, got);  // echo
    });
    ASSERT_EQ(usbip_conn_send_all(&pair.client, payload.data(), payload.size()), 0);
    std::string back(payload.size(), '\0');
    ASSERT_EQ(usbip_conn_recv_all(&pair.client, &back[0], back.size()), 0);
    peer.join();
    EXPECT_EQ(back, payload);
}

TEST(ExactIo, PeerClosingMidReceiveFails)
{
    ConnPair pair;
    raw_send(pair.peer, "abc", 3);
    raw_close(pair.peer);
    pair.peer = -1;
    char buf[8] = {};
    EXPECT_EQ(usbip_conn_recv_all(&pair.client, buf, sizeof buf), -1);
    EXPECT_STREQ(usbip_last_error(), "recv() failed or connection closed");
    EXPECT_EQ(std::string(buf, 3), "abc");  // what arrived stays
}

TEST(ExactIo, ZeroCountAndClosedRecords)
{
    ConnPair pair;
    usbip_conn_set_deadline(&pair.client, -1);
    char byte = 0;
    EXPECT_EQ(usbip_conn_send_all(&pair.client, &byte, 0), 0);  // passed deadline, nothing to do
    EXPECT_EQ(usbip_conn_recv_all(&pair.client, &byte, 0), 0);

    usbip_set_last_error(USBIP_ERROR_INTERNAL, "unchanged");
    usbip_conn_close(&pair.client);
    usbip_conn_close(&pair.client);
    usbip_conn_close(nullptr);
    EXPECT_EQ(usbip_conn_send_all(&pair.client, &byte, 1), -1);
    EXPECT_EQ(usbip_conn_recv_all(&pair.client, &byte, 0), -1);
    usbip_conn_restore_error(&pair.client);  // never timed out
    usbip_conn_restore_error(nullptr);
    EXPECT_STREQ(usbip_last_error(), "unchanged");
}

// ---------------------------------------------------------------------------
// TLS

namespace {

// Serves one TLS connection on a thread: wrap, echo `n` bytes, close.
struct TlsEchoServer {
    Listener listener;
    std::thread thread;
    std::atomic<int> wrap_result{1};
    std::string wrap_error;

    explicit TlsEchoServer(std::size_t n = 5)
    {
        thread = std::thread([this, n] {
            int fd = listener.accept_one(10000);
            if (fd < 0) return;
            usbip_conn conn(fd);
            usbip_conn_set_deadline(&conn, 10000);
            wrap_result = usbip_tls_wrap_server(&conn);
            if (wrap_result != 0) {
                wrap_error = usbip_last_error();
                return;
            }
            std::string buf(n, '\0');
            if (usbip_conn_recv_all(&conn, &buf[0], n) == 0) usbip_conn_send_all(&conn, buf.data(), n);
        });
    }
    ~TlsEchoServer()
    {
        if (thread.joinable()) thread.join();
    }
};

struct TlsLayer {
    TlsLayer() { EXPECT_EQ(usbip_init(), 0); }
    ~TlsLayer() { usbip_cleanup(); }
};

}  // namespace

TEST(Tls, LibraryClientAndServerExchangeBytes)
{
    TlsLayer layer;
    TlsEchoServer server(5);
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", server.listener.port()), 0);
    ASSERT_EQ(usbip_tls_wrap_client(&conn), 0) << usbip_last_error();
    EXPECT_TRUE(conn.is_tls());
    EXPECT_STREQ(conn.phase_label, "TLS handshake");
    ASSERT_EQ(usbip_conn_send_all(&conn, "hello", 5), 0);
    char back[5];
    ASSERT_EQ(usbip_conn_recv_all(&conn, back, 5), 0);
    EXPECT_EQ(std::string(back, 5), "hello");
    usbip_conn_close(&conn);
    server.thread.join();
    EXPECT_EQ(server.wrap_result, 0) << server.wrap_error;
}

TEST(Tls, OpenSslSeesTheCertificateAndTheNewestVersionWithX25519)
{
    TlsLayer layer;
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    TlsEchoServer server(1);
    std::string cmd = "echo x | timeout 10 openssl s_client -connect 127.0.0.1:" +
                      std::to_string(server.listener.port()) + " -showcerts 2>&1";
    std::string session = run_command(cmd);
    server.thread.join();
    EXPECT_EQ(server.wrap_result, 0) << server.wrap_error << "\n" << session;
    // TLS 1.3 where Mbed TLS has it (the 3.x line), else 1.2.
    EXPECT_NE(session.find(tls_compat::has_tls13 ? "New, TLSv1.3, Cipher is " : "New, TLSv1.2, Cipher is ECDHE-RSA-"),
              std::string::npos)
        << session;
    EXPECT_NE(session.find("Server Temp Key: X25519"), std::string::npos) << session;

    auto begin = session.find("-----BEGIN CERTIFICATE-----");
    auto end = session.find("-----END CERTIFICATE-----");
    ASSERT_NE(begin, std::string::npos);
    std::string pem = session.substr(begin, end + 25 - begin);
    std::string text = run_command("echo '" + pem + "' | openssl x509 -noout -text -nameopt RFC2253");
    for (const char *want : {"Serial Number: 1 (0x1)", "Issuer: C=NZ,O=Halvoren,CN=halvoren-usbip",
                             "Subject: C=NZ,O=Halvoren,CN=halvoren-usbip",
                             "Not Before: Jan  1 00:00:00 2026 GMT", "Not After : Jan  1 00:00:00 2036 GMT",
                             "Public-Key: (2048 bit)", "Exponent: 65537 (0x10001)",
                             "Signature Algorithm: sha256WithRSAEncryption"})
        EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
    EXPECT_EQ(text.find("X509v3 extensions"), std::string::npos) << text;
}

// Only ECDHE key exchange with an AEAD cipher: static RSA key exchange and
// CBC are refused, whatever the client offers.
TEST(Tls, OpenSslIsRefusedStaticRsaAndCbc)
{
    TlsLayer layer;
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    struct Case {
        const char *cipher;
        bool accepted;
    } cases[] = {
        {"AES256-SHA", false},                   // static RSA, CBC
        {"AES128-GCM-SHA256", false},            // static RSA
        {"ECDHE-RSA-AES256-SHA", false},         // CBC
        {"ECDHE-RSA-AES128-GCM-SHA256", true},
        {"ECDHE-RSA-AES256-GCM-SHA384", true},
        {"ECDHE-RSA-CHACHA20-POLY1305", true},
    };
    for (const Case &c : cases) {
        TlsEchoServer server(1);
        std::string session = run_command("echo x | timeout 10 openssl s_client -tls1_2 -cipher " +
                                          std::string(c.cipher) + " -connect 127.0.0.1:" +
                                          std::to_string(server.listener.port()) + " 2>&1");
        server.thread.join();
        EXPECT_EQ(server.wrap_result == 0, c.accepted) << c.cipher << "\n" << session;
    }
}

// The fingerprint is SHA-256 over the public key as OpenSSL writes it too.
TEST(Tls, OpenSslAgreesOnTheKeyFingerprint)
{
    TlsLayer layer;
    std::string dir = make_temp_dir();
    std::string path = dir + "/server.key";
    ASSERT_EQ(usbip_tls_set_key_file(path.c_str()), 0) << usbip_last_error();
    const char *fingerprint = usbip_tls_key_fingerprint();
    ASSERT_NE(fingerprint, nullptr) << usbip_last_error();
    std::string theirs =
        run_command("openssl pkey -in " + path + " -pubout -outform DER 2>/dev/null | sha256sum | cut -c1-64");
    EXPECT_EQ(theirs, std::string(fingerprint) + "\n");
    usbip_tls_set_key_file(nullptr);
}

TEST(Tls, EachGenerationMakesANewCertificateAndStartsTheLayerAlone)
{
    // Before usbip_init: the layer starts on first use.
    ASSERT_EQ(usbip_tls_generate_cert(), 0) << usbip_last_error();
    std::vector<std::string> certs;
    for (int i = 0; i < 2; ++i) {
        if (i > 0) {
            ASSERT_EQ(usbip_tls_generate_cert(), 0);
        }
        TlsEchoServer server(1);
        std::string session = run_command("echo x | timeout 10 openssl s_client -connect 127.0.0.1:" +
                                          std::to_string(server.listener.port()) + " 2>/dev/null");
        server.thread.join();
        auto begin = session.find("-----BEGIN CERTIFICATE-----");
        ASSERT_NE(begin, std::string::npos);
        certs.push_back(session.substr(begin, session.find("-----END") - begin));
    }
    EXPECT_NE(certs[0], certs[1]);
    usbip_tls_cleanup();
}

TEST(Tls, ClientAgainstPlainServerFailsInHandshake)
{
    TlsLayer layer;
    Listener l;
    std::thread peer([&] {
        int fd = l.accept_one();
        raw_server_handshake(fd, 0);  // the flag is no TLS record
        raw_close(fd);
    });
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
    EXPECT_EQ(usbip_tls_wrap_client(&conn), -1);
    peer.join();
    EXPECT_TRUE(std::regex_match(usbip_last_error(), std::regex("TLS client handshake failed: -0x[0-9a-f]{4,}")))
        << usbip_last_error();
    EXPECT_FALSE(conn.is_tls());
}

TEST(Tls, PlainClientAgainstTlsServerTimesOutWaitingForTheFlag)
{
    TlsLayer layer;
    ClientTimeout timeout(1000);
    TlsEchoServer server;
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", server.listener.port()), 0);
    usbip_conn_set_phase(&conn, "authentication handshake");
    EXPECT_EQ(usbip_auth_handshake_client(&conn, nullptr), -1);
    usbip_conn_close(&conn);
    usbip_conn_restore_error(&conn);
    EXPECT_EQ(usbip_last_error(), timeout_message(1, target(server.listener.port()), kSilent));
    server.thread.join();
    EXPECT_NE(server.wrap_result, 0);  // the server's handshake ends when the client leaves
    EXPECT_EQ(server.wrap_error.rfind("TLS server handshake failed: -0x", 0), 0u) << server.wrap_error;
}

TEST(Tls, SessionOutlivesNewCertificateAndLayerRelease)
{
    usbip_init();
    TlsEchoServer server(4);
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", server.listener.port()), 0);
    ASSERT_EQ(usbip_tls_wrap_client(&conn), 0) << usbip_last_error();
    // Both ends have running sessions; replace and release everything.
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    usbip_cleanup();
    ASSERT_EQ(usbip_conn_send_all(&conn, "ping", 4), 0);
    char back[4];
    ASSERT_EQ(usbip_conn_recv_all(&conn, back, 4), 0);
    EXPECT_EQ(std::string(back, 4), "ping");
    usbip_conn_close(&conn);
}

TEST(Tls, ConcurrentHandshakesShareTheGenerator)
{
    TlsLayer layer;
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    constexpr int kPairs = 6;
    std::vector<std::unique_ptr<TlsEchoServer>> servers;
    for (int i = 0; i < kPairs; ++i) servers.push_back(std::make_unique<TlsEchoServer>(3));
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kPairs; ++i) {
        clients.emplace_back([&, i] {
            usbip_conn conn;
            char back[3];
            if (usbip_conn_connect_deadline(&conn, "127.0.0.1", servers[i]->listener.port()) == 0 &&
                usbip_tls_wrap_client(&conn) == 0 && usbip_conn_send_all(&conn, "abc", 3) == 0 &&
                usbip_conn_recv_all(&conn, back, 3) == 0)
                ++ok;
        });
    }
    // A generation in the middle of the handshakes.
    EXPECT_EQ(usbip_tls_generate_cert(), 0);
    for (auto &t : clients) t.join();
    servers.clear();
    EXPECT_EQ(ok, kPairs);
}

// A peer that drips its bytes one at a time keeps a TLS handshake going for
// as long as it likes unless every read keeps to the connection's deadline.
TEST(Tls, ClientAgainstADrippingServerReturnsAtItsTimeout)
{
    TlsLayer layer;
    ClientTimeout timeout(1500);
    Listener listener;
    std::atomic<bool> done{false};
    std::thread server([&] {
        Fd fd(listener.accept_one());
        // The start of a handshake record that announces 16 KB, then a byte
        // every 200 ms: never a whole record.
        std::string record = std::string("\x16\x03\x03\x40\x00", 5) + std::string(16384, '\x02');
        for (std::size_t i = 0; i < record.size() && !done && i < 100; ++i) {
            raw_send(fd, record.substr(i, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    auto t0 = plat::monotonic_ms();
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", listener.port(), nullptr, 1), nullptr);
    auto spent = plat::monotonic_ms() - t0;
    done = true;
    server.join();
    EXPECT_EQ(usbip_last_error(), timeout_message(1, target(listener.port()), kSilent));
    EXPECT_GE(spent, 1400);
    EXPECT_LT(spent, 3000);
}

// ---------------------------------------------------------------------------
// One-attempt transfers, for loops that wait on the socket themselves

namespace {

// Both ends of one TLS connection, in the test's thread once wrapped.
struct TlsPair {
    Listener listener;
    usbip_conn client;
    std::unique_ptr<usbip_conn> server;

    TlsPair()
    {
        std::thread accept([this] {
            int fd = listener.accept_one(10000);
            if (fd < 0) return;
            auto conn = std::make_unique<usbip_conn>(fd);
            usbip_conn_set_deadline(conn.get(), 10000);
            if (usbip_tls_wrap_server(conn.get()) == 0) server = std::move(conn);
        });
        EXPECT_EQ(usbip_conn_connect_deadline(&client, "127.0.0.1", listener.port()), 0);
        EXPECT_EQ(usbip_tls_wrap_client(&client), 0) << usbip_last_error();
        accept.join();
        EXPECT_TRUE(server != nullptr);
    }
};


}  // namespace

// A TLS write that would block keeps its record: repeated, it neither loses
// nor repeats bytes, whatever the caller appended behind them meanwhile.
TEST(OneAttempt, TlsWritesThatWouldBlockKeepTheStreamExact)
{
    TlsLayer layer;
    TlsPair pair;
    ASSERT_TRUE(pair.server);
    set_socket_buffers(pair.client.fd, 65536);
    set_socket_buffers(pair.server->fd, 65536);
    std::vector<std::uint8_t> sent(1 << 20);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> buf(70000);
    std::size_t pos = 0, offer = 100;
    const std::size_t offers[] = {100, 3000, 16384, 700, 50000};
    int would_block = 0, sends = 0;
    const std::int64_t until = plat::monotonic_ms() + 10000;
    while ((pos < sent.size() || got.size() < sent.size()) && plat::monotonic_ms() < until) {
        plat::IoError err;
        // The writer runs ahead until the connection is full.
        for (int i = 0; i < 1000 && pos < sent.size(); ++i) {
            long n = usbip_conn_send_some(&pair.client, sent.data() + pos, std::min(offer, sent.size() - pos), &err);
            if (n > 0) {
                pos += static_cast<std::size_t>(n);
                offer = offers[++sends % 5];
            } else if (err == plat::IoError::would_block) {
                ++would_block;
                offer += 777;  // a queue grows while its front waits
                break;
            } else {
                FAIL() << "send failed";
            }
        }
        // Then the reader takes everything there is.
        for (;;) {
            long n = usbip_conn_recv_some(pair.server.get(), buf.data(), buf.size(), &err);
            if (n <= 0) {
                ASSERT_EQ(err, plat::IoError::would_block);
                break;
            }
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
    }
    EXPECT_GT(would_block, 0);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

// Decrypted bytes wait inside TLS, where a wait on the socket cannot see
// them; the end of the stream reads as closed.
TEST(OneAttempt, BufferedTlsBytesAndTheEnd)
{
    TlsLayer layer;
    TlsPair pair;
    ASSERT_TRUE(pair.server);
    std::string record(1000, 'r');
    ASSERT_EQ(usbip_conn_send_all(&pair.client, record.data(), record.size()), 0);
    ASSERT_EQ(plat::wait_readable(pair.server->fd, 5000), 1);
    char buf[1000];
    plat::IoError err;
    long n = -1;
    for (int i = 0; i < 100 && n < 0; ++i) {  // the record may arrive in pieces
        n = usbip_conn_recv_some(pair.server.get(), buf, 10, &err);
        if (n < 0) plat::wait_readable(pair.server->fd, 100);
    }
    ASSERT_EQ(n, 10);
    EXPECT_EQ(usbip_conn_buffered(pair.server.get()), 990u);
    EXPECT_EQ(plat::wait_readable(pair.server->fd, 0), 0);
    EXPECT_EQ(usbip_conn_recv_some(pair.server.get(), buf, sizeof buf, &err), 990);
    EXPECT_EQ(usbip_conn_buffered(pair.server.get()), 0u);
    EXPECT_EQ(usbip_conn_recv_some(pair.server.get(), buf, sizeof buf, &err), -1);
    EXPECT_EQ(err, plat::IoError::would_block);

    usbip_conn_close(&pair.client);
    ASSERT_EQ(plat::wait_readable(pair.server->fd, 5000), 1);
    EXPECT_EQ(usbip_conn_recv_some(pair.server.get(), buf, sizeof buf, &err), 0);
    EXPECT_EQ(err, plat::IoError::closed);
}

// ---------------------------------------------------------------------------
// The server's key: kept in a file, fingerprinted, pinned by clients

TEST(TlsKey, KeyFileKeepsTheKeyAcrossCertificatesAndIsTheOwnersAlone)
{
    TlsLayer layer;
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/server.key";
    ASSERT_EQ(usbip_tls_set_key_file(path.c_str()), 0) << usbip_last_error();
    EXPECT_TRUE(file_is_private(path));
    const char *fp = usbip_tls_key_fingerprint();
    ASSERT_NE(fp, nullptr) << usbip_last_error();
    const std::string first = fp;
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9a-f]{64}"))) << first;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(usbip_tls_generate_cert(), 0) << usbip_last_error();
        EXPECT_EQ(usbip_tls_key_fingerprint(), first);
    }
    // Without the file every certificate has a key of its own; with it
    // again (as after a restart) the key comes back from the file.
    ASSERT_EQ(usbip_tls_set_key_file(""), 0);
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    EXPECT_NE(usbip_tls_key_fingerprint(), first);
    ASSERT_EQ(usbip_tls_set_key_file(path.c_str()), 0) << usbip_last_error();
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    EXPECT_EQ(usbip_tls_key_fingerprint(), first);
    usbip_tls_set_key_file(nullptr);
}

TEST(TlsKey, UnusableKeyFilesAndNoKeyAreRefusedWithTheirMessages)
{
    TlsLayer layer;
    EXPECT_EQ(usbip_tls_key_fingerprint(), nullptr);
    EXPECT_STREQ(usbip_last_error(), "No TLS server key yet: start a server with TLS or set a key file");
    std::string dir = make_temp_dir();
    std::string garbage = dir + "/garbage.key";
    ASSERT_TRUE(plat::create_private_file(garbage.c_str(), "not a key\n"));
    struct Case {
        std::string path;
        std::string error;
    } cases[] = {
        {garbage, "Key file " + garbage + " holds no RSA private key in PEM form"},
        {dir + "/missing/server.key", "Failed to create key file " + dir + "/missing/server.key"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(usbip_tls_set_key_file(c.path.c_str()), -1);
        EXPECT_EQ(usbip_last_error(), c.error);
    }
    EXPECT_EQ(usbip_tls_key_fingerprint(), nullptr) << "a refused file sets no key";
}

TEST(TlsKey, PinnedClientRefusesAChangedKey)
{
    TlsLayer layer;
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    const std::string key = usbip_tls_key_fingerprint();
    {
        TlsEchoServer server(1);
        const char *seen = usbip_client_server_fingerprint("127.0.0.1", server.listener.port());
        ASSERT_NE(seen, nullptr) << usbip_last_error();
        EXPECT_EQ(seen, key);
    }
    // As a person may write it: upper case, pairs separated by colons.
    std::string written;
    for (std::size_t i = 0; i < key.size(); i += 2) written += (i ? ":" : "") + key.substr(i, 2);
    for (char &ch : written) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    ASSERT_EQ(usbip_client_pin_fingerprint(written.c_str()), 0) << usbip_last_error();

    auto wrap = [](int port) {
        usbip_conn conn;
        EXPECT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", port), 0);
        return usbip_tls_wrap_client(&conn);
    };
    {
        TlsEchoServer server(1);
        EXPECT_EQ(wrap(server.listener.port()), 0) << usbip_last_error();
    }
    ASSERT_EQ(usbip_tls_generate_cert(), 0);  // the server's key changes
    const std::string changed = usbip_tls_key_fingerprint();
    {
        TlsEchoServer server(1);
        EXPECT_EQ(wrap(server.listener.port()), -1);
        EXPECT_EQ(usbip_last_error(), "Server key " + changed + " does not match the pinned fingerprint " + key);
        // The pin is this thread's: another thread is not held to it.
        std::thread other([&] {
            TlsEchoServer again(1);
            EXPECT_EQ(wrap(again.listener.port()), 0) << usbip_last_error();
        });
        other.join();
    }
    for (const char *bad : {"abc", "zz", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef00",
                            "01:23", ":0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"}) {
        EXPECT_EQ(usbip_client_pin_fingerprint(bad), -1) << bad;
        EXPECT_EQ(usbip_last_error(),
                  std::string("Invalid fingerprint '") + bad + "': expected 64 hexadecimal digits");
    }
    ASSERT_EQ(usbip_client_pin_fingerprint(nullptr), 0);
    {
        TlsEchoServer server(1);
        EXPECT_EQ(wrap(server.listener.port()), 0) << usbip_last_error();
    }
}
