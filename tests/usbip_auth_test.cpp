// Password challenge handshake and its digests.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "halvoren_usbip.h"
#include "test_support.h"
#include "usbip_auth.h"
#include "usbip_conn.h"
#include "usbip_frame.h"
#include "usbip_pump.h"
#include "usbip_secure_auth.h"
#include "usbip_tls.h"
#include "tls_compat.h"

namespace {

std::string sha256_hex(const std::string &data)
{
    std::uint8_t digest[32];
    EXPECT_EQ(usbip_calc_sha256(data.data(), data.size(), digest), 0);
    return hex_of(std::string(reinterpret_cast<char *>(digest), 32));
}

// Both halves of the handshake over a loopback connection: the client half
// on this thread with a deadline, the server half on another thread.
struct Outcome {
    int client_rc;
    std::string client_error;
    int server_rc;
    std::string server_error;
};

// With `tls`, both ends run TLS first. After a success one message goes
// each way on the connection, as the USB/IP request and reply would.
Outcome run_handshake(const char *server_password, const char *client_password, bool tls = false,
                      std::string *session = nullptr)
{
    Listener l;
    Outcome out{};
    std::thread server([&] {
        int fd = l.accept_one();
        usbip_conn conn(fd);
        usbip_conn_set_deadline(&conn, 10000);
        if (tls && usbip_tls_wrap_server(&conn) != 0) return;
        out.server_rc = usbip_auth_handshake_server(&conn, server_password);
        out.server_error = usbip_last_error();
        char ping[4];
        if (out.server_rc == 0 && (usbip_conn_recv_all(&conn, ping, 4) != 0 || usbip_conn_send_all(&conn, "pong", 4) != 0))
            out.server_rc = -2;
    });
    {
        usbip_conn conn;
        EXPECT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
        if (tls) {
            EXPECT_EQ(usbip_tls_wrap_client(&conn), 0) << usbip_last_error();
        }
        out.client_rc = usbip_auth_handshake_client(&conn, client_password);
        out.client_error = usbip_last_error();
        if (session) *session = usbip_tls_describe(&conn);
        char pong[5] = {};
        if (out.client_rc == 0 && (usbip_conn_send_all(&conn, "ping", 4) != 0 || usbip_conn_recv_all(&conn, pong, 4) != 0 ||
                                   std::string(pong) != "pong"))
            out.client_rc = -2;
    }  // closing lets a server that still waits fail at once
    server.join();
    return out;
}

// The old proof a client would send for `challenge`, as bytes.
std::string old_proof(const std::string &challenge, const char *password)
{
    std::uint8_t proof[32];
    usbip_auth_proof(reinterpret_cast<const std::uint8_t *>(challenge.data()), password, proof);
    return std::string(reinterpret_cast<char *>(proof), 32);
}

// Sets whether the client requires the secure exchange for one test.
struct RequireSecure {
    explicit RequireSecure(int on) { usbip_client_set_require_secure(on); }
    ~RequireSecure() { usbip_client_set_require_secure(0); }
};

}  // namespace

TEST(Sha256, PublishedTestVectors)
{
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(PasswordHash, LowerCaseHexOfTheDigestEmptyForNone)
{
    char text[USBIP_HASH_TEXT_SIZE];
    memset(text, 'x', sizeof text);
    ASSERT_EQ(usbip_hash_password(nullptr, text), 0);
    EXPECT_STREQ(text, "");
    ASSERT_EQ(usbip_hash_password("", text), 0);
    EXPECT_STREQ(text, "");
    ASSERT_EQ(usbip_hash_password("abc", text), 0);
    EXPECT_STREQ(text, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(PasswordHash, ProofIsDigestOfChallengeAndHashText)
{
    std::uint8_t challenge[32];
    for (int i = 0; i < 32; ++i) challenge[i] = static_cast<std::uint8_t>(i);
    std::uint8_t proof[32];
    ASSERT_EQ(usbip_auth_proof(challenge, "abc", proof), 0);
    std::string input(reinterpret_cast<char *>(challenge), 32);
    input += "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(hex_of(std::string(reinterpret_cast<char *>(proof), 32)), sha256_hex(input));
}

TEST(Handshake, OutcomesByTheTwoPasswords)
{
    struct Case {
        const char *server_pw;
        const char *client_pw;
        int client_rc;
        const char *client_error;  // nullptr: not checked
        int server_rc;
        const char *server_error;
    } cases[] = {
        {nullptr, nullptr, 0, nullptr, 0, nullptr},
        {"", "", 0, nullptr, 0, nullptr},
        {nullptr, "unused", 0, nullptr, 0, nullptr},
        {"s3cret", "s3cret", 0, nullptr, 0, nullptr},
        {"s3cret", nullptr, -1, "Server requires password authentication but none was provided", -1,
         "recv() failed or connection closed"},
        {"s3cret", "", -1, "Server requires password authentication but none was provided", -1,
         "recv() failed or connection closed"},
        {"s3cret", "wrong", -1, "Authentication rejected by server (invalid password)", -1,
         "Client password authentication failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.server_pw ? c.server_pw : "(null)") + " / " + (c.client_pw ? c.client_pw : "(null)"));
        Outcome o = run_handshake(c.server_pw, c.client_pw);
        EXPECT_EQ(o.client_rc, c.client_rc);
        EXPECT_EQ(o.server_rc, c.server_rc);
        if (c.client_error) {
            EXPECT_EQ(o.client_error, c.client_error);
        }
        if (c.server_error) {
            EXPECT_EQ(o.server_error, c.server_error);
        }
    }
}

TEST(Handshake, ClientAgainstRawServerFlagsAndResults)
{
    struct Case {
        std::uint32_t flag;
        std::uint32_t result;
        const char *password;
        int rc;
        const char *error;
        std::size_t reply_size;  // what the client sent back
    } cases[] = {
        {0, 0, "ignored", 0, "", 4},
        {0, 9, nullptr, -1, "Server handshake rejected", 4},
        {5, 0, "pw", 0, "", 32},  // any non-zero flag demands the password
        {1, 5, "pw", -1, "Authentication rejected by server (invalid password)", 32},
    };
    for (const auto &c : cases) {
        Listener l;
        std::string reply;
        std::thread server([&] {
            int fd = l.accept_one();
            raw_send(fd, be32(c.flag));
            raw_send(fd, std::string(32, '\x11'));  // the challenge as a separate segment
            reply = raw_recv_n(fd, c.flag ? 32 : 4);
            raw_send(fd, be32(c.result));
            raw_close(fd);
        });
        usbip_conn conn;
        ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
        usbip_set_last_error(USBIP_ERROR_INTERNAL, "%s", "");
        EXPECT_EQ(usbip_auth_handshake_client(&conn, c.password), c.rc);
        EXPECT_STREQ(usbip_last_error(), c.error);
        server.join();
        ASSERT_EQ(reply.size(), c.reply_size);
        if (c.flag == 0) {
            EXPECT_EQ(reply, std::string(4, '\0'));  // no proof without a demand
        } else {
            std::uint8_t challenge[32], proof[32];
            memset(challenge, 0x11, sizeof challenge);
            usbip_auth_proof(challenge, c.password, proof);
            EXPECT_EQ(reply, std::string(reinterpret_cast<char *>(proof), 32));
        }
    }
}

TEST(Handshake, ClientFailsWhenChallengeOrResultIsMissing)
{
    struct Case {
        std::string sent;  // then the server closes
        const char *password;
        const char *error;
    } cases[] = {
        {"", nullptr, "Failed to receive authentication challenge from server"},
        {be32(1) + std::string(10, 'c'), "pw", "Failed to receive authentication challenge from server"},
        {be32(1) + std::string(32, 'c'), "pw", "Failed to receive authentication result from server"},
        {be32(0) + std::string(32, 'c'), nullptr, "Server handshake rejected"},
    };
    for (const auto &c : cases) {
        Listener l;
        std::thread server([&] {
            int fd = l.accept_one();
            raw_send(fd, c.sent);
            raw_recv_n(fd, c.sent.size() == 36 ? (be32_at(c.sent, 0) ? 32 : 4) : 0);
            raw_close(fd);
        });
        usbip_conn conn;
        ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
        EXPECT_EQ(usbip_auth_handshake_client(&conn, c.password), -1);
        EXPECT_STREQ(usbip_last_error(), c.error);
        server.join();
    }
}

TEST(Handshake, ServerWithoutPasswordAnswersAnyReplyWithZero)
{
    Listener l;
    int result = -1;
    std::thread server([&] {
        usbip_conn conn(l.accept_one());
        usbip_conn_set_deadline(&conn, 5000);
        result = usbip_auth_handshake_server(&conn, nullptr);
    });
    int fd = raw_connect(l.port());
    std::string hello = raw_recv_n(fd, 36);
    ASSERT_EQ(hello.size(), 36u);
    EXPECT_EQ(be32_at(hello, 0), 0u);
    raw_send(fd, std::string("\xde\xad\xbe\xef", 4));
    EXPECT_EQ(raw_recv_n(fd, 4), be32(0));
    raw_close(fd);
    server.join();
    EXPECT_EQ(result, 0);
}

// The challenge a server half sends in a child process: two children start
// from the same process state, as two starts of one program would.
std::string challenge_of_child()
{
    return in_child_process([] {
        int sv[2];
        if (!raw_socket_pair(sv)) return std::string();
        raw_send(sv[1], std::string(32, 'p'));  // a wrong proof, queued in advance
        usbip_conn conn(sv[0]);
        usbip_auth_handshake_server(&conn, "pw");
        std::string hello = raw_recv_n(sv[1], 36);
        raw_close(sv[1]);
        return hello.size() == 36 ? hello.substr(4) : std::string();
    });
}

TEST(Handshake, ChallengesDifferBetweenProcesses)
{
    // A proof recorded on the wire must not replay against a restarted server.
    std::string a = challenge_of_child(), b = challenge_of_child();
    ASSERT_EQ(a.size(), 32u);
    ASSERT_EQ(b.size(), 32u);
    EXPECT_NE(a, b);
}

// ---------------------------------------------------------------------------
// The secure exchange

TEST(SecureExchange, BothPasswordOutcomesPlainAndInsideTls)
{
    ASSERT_EQ(usbip_init(), 0);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "inside TLS" : "plain");
        std::string session;
        Outcome right = run_handshake("s3cret", "s3cret", tls, &session);
        EXPECT_EQ(right.client_rc, 0) << right.client_error;
        EXPECT_EQ(right.server_rc, 0) << right.server_error;
        // Plain: the exchange's key keys a TLS session with a pre-shared key
        // and ECDHE, TLS 1.3 where Mbed TLS has it. Inside TLS: that session
        // goes on (no second one).
        if (!tls) {
            EXPECT_EQ(session, tls_compat::has_tls13 ? "TLSv1.3 TLS1-3-CHACHA20-POLY1305-SHA256"
                                                     : "TLSv1.2 TLS-ECDHE-PSK-WITH-CHACHA20-POLY1305-SHA256");
        } else {
            EXPECT_EQ(session.rfind(tls_compat::has_tls13 ? "TLSv1.3 " : "TLSv1.2 TLS-ECDHE-RSA-", 0), 0u) << session;
        }
        Outcome wrong = run_handshake("s3cret", "wrong", tls);
        EXPECT_EQ(wrong.client_rc, -1);
        EXPECT_EQ(wrong.client_error, "Authentication rejected by server (invalid password)");
        EXPECT_EQ(wrong.server_rc, -1);
        EXPECT_EQ(wrong.server_error, "Client password authentication failed");
    }
    usbip_cleanup();
}

// Every wrong password through the exchange reaches the hook the server's
// back-off counts with, once; a right one never does; a client that leaves
// before it confirms has tested nothing and is not counted.
TEST(SecureExchange, OnlyAWrongConfirmationCallsTheRejectionHook)
{
    ASSERT_EQ(usbip_init(), 0);
    struct Case {
        const char *client_password;
        bool leave_early;
        int calls;
    } cases[] = {{"s3cret", false, 0}, {"wrong", false, 1}, {"wrong", true, 0}};
    for (const Case &c : cases) {
        Listener l;
        int calls = 0;
        std::thread server([&] {
            usbip_conn conn(l.accept_one());
            usbip_conn_set_deadline(&conn, 10000);
            usbip_auth_handshake_server(&conn, "s3cret", [&] { ++calls; });
        });
        int fd = raw_connect(l.port());
        std::string greeting = raw_recv_n(fd, 36);
        ASSERT_EQ(greeting.size(), 36u);
        usbip_secure_context context;
        std::memcpy(context.challenge, greeting.data() + 4, 32);
        usbip_secure_client client(context);
        std::uint64_t seed = 41;
        std::uint8_t open[USBIP_SECURE_OPEN_SIZE], confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
        ASSERT_TRUE(client.open(c.client_password, counter_rng, &seed, open));
        raw_send(fd, open, sizeof open);
        std::string share = raw_recv_n(fd, USBIP_SPAKE2_SHARE_SIZE);
        ASSERT_EQ(share.size(), USBIP_SPAKE2_SHARE_SIZE);
        ASSERT_TRUE(client.confirm(reinterpret_cast<const std::uint8_t *>(share.data()), confirmation));
        if (!c.leave_early) {
            raw_send(fd, confirmation, sizeof confirmation);
            std::string result = raw_recv_n(fd, 4);
            EXPECT_EQ(result, be32(c.calls == 0 ? 0 : 1));
        }
        raw_close(fd);
        server.join();
        EXPECT_EQ(calls, c.calls) << c.client_password << (c.leave_early ? ", left early" : "");
    }
    usbip_cleanup();
}

// A server that offers the exchange without knowing the password: whatever
// it answers, the client refuses it, and nothing the client sent is the old
// proof for the server's challenge (or anything else to test passwords
// against offline).
TEST(SecureExchange, FakeServerThatSetsTheBitIsRefused)
{
    ASSERT_EQ(usbip_init(), 0);
    const std::string challenge(32, '\x5a');
    // A valid point of the curve that the fake sends as its share: RFC
    // 9382's first pB.
    const std::string point = [] {
        std::string hex = "0406557e482bd03097ad0cbaa5df82115460d951e3451962f1eaf4367a420676d09857ccbc522686c83d18"
                          "52abfa8ed6e4a1155cf8f1543ceca528afb591a1e0b7";
        std::string out;
        for (std::size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return out;
    }();
    struct Case {
        std::string share;   // what the fake sends after the client's opening
        std::string answer;  // then after the client's confirmation
        const char *error;
        std::size_t client_bytes;
    } cases[] = {
        {point, be32(0) + std::string(32, '\x42'), "Server could not prove that it knows the password", 97 + 32},
        {point, be32(1), "Authentication rejected by server (invalid password)", 97 + 32},
        {"\x04" + std::string(64, '\xff'), "", "Server sent an invalid key exchange message", 97},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        Listener l;
        std::string from_client;
        std::thread fake([&] {
            int fd = l.accept_one();
            raw_send(fd, be32(3) + challenge);
            from_client = raw_recv_n(fd, 97);
            raw_send(fd, c.share);
            if (!c.answer.empty()) {
                from_client += raw_recv_n(fd, 32);
                raw_send(fd, c.answer);
            }
            from_client += raw_recv_all(fd);  // until the client closes
            raw_close(fd);
        });
        {
            usbip_conn conn;
            ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
            EXPECT_EQ(usbip_auth_handshake_client(&conn, "s3cret"), -1);
            EXPECT_STREQ(usbip_last_error(), c.error);
        }
        fake.join();
        EXPECT_EQ(from_client.size(), c.client_bytes);
        EXPECT_EQ(from_client.compare(0, 32, "halvoren-usbip secure upgrade v1"), 0);
        EXPECT_EQ(from_client.find(old_proof(challenge, "s3cret")), std::string::npos);
        char hash_text[USBIP_HASH_TEXT_SIZE];
        usbip_hash_password("s3cret", hash_text);
        EXPECT_EQ(from_client.find(std::string(hash_text, 64)), std::string::npos);
    }
    usbip_cleanup();
}

// A party that terminates TLS on both sides and passes the bytes between
// its two sessions (with the server's own certificate, so that pinning
// would not notice) cannot pass the confirmations: each end binds the
// exchange to its own TLS session.
TEST(SecureExchange, ManInTheMiddleOfTlsFailsOnBothEnds)
{
    ASSERT_EQ(usbip_init(), 0);
    ASSERT_EQ(usbip_tls_generate_cert(), 0);
    Listener server_listener, mitm_listener;
    int server_rc = 1, calls = 0;
    std::string server_error;
    std::thread server([&] {
        usbip_conn conn(server_listener.accept_one());
        usbip_conn_set_deadline(&conn, 10000);
        if (usbip_tls_wrap_server(&conn) != 0) return;
        server_rc = usbip_auth_handshake_server(&conn, "s3cret", [&] { ++calls; });
        server_error = usbip_last_error();
    });
    std::thread mitm([&] {
        usbip_conn client_side(mitm_listener.accept_one());
        usbip_conn_set_deadline(&client_side, 10000);
        usbip_conn server_side;
        if (usbip_tls_wrap_server(&client_side) != 0 ||
            usbip_conn_connect_deadline(&server_side, "127.0.0.1", server_listener.port()) != 0 ||
            usbip_tls_wrap_client(&server_side) != 0)
            return;
        usbip_conn_end a(client_side), b(server_side);
        usbip_pump_options options;
        options.idle_ms = 5000;
        usbip_pump_run(a, b, options);
    });
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", mitm_listener.port()), 0);
    ASSERT_EQ(usbip_tls_wrap_client(&conn), 0) << usbip_last_error();
    EXPECT_EQ(usbip_auth_handshake_client(&conn, "s3cret"), -1);
    EXPECT_STREQ(usbip_last_error(), "Authentication rejected by server (invalid password)");
    usbip_conn_close(&conn);
    server.join();
    mitm.join();
    EXPECT_EQ(server_rc, -1);
    EXPECT_EQ(server_error, "Client password authentication failed");
    EXPECT_EQ(calls, 1);
    usbip_cleanup();
}

// Older peers: a client that speaks today's handshake is served by the new
// server with its bytes unchanged (the flag carries the offer, which such a
// client reads as "password required"); the new client speaks today's
// handshake, byte for byte, to a server that makes no offer, unless the
// host requires the secure exchange.
TEST(SecureExchange, OlderClientIsServedAsBefore)
{
    ASSERT_EQ(usbip_init(), 0);
    for (const char *password : {"s3cret", "wrong"}) {
        Listener l;
        int rc = 1;
        std::thread server([&] {
            usbip_conn conn(l.accept_one());
            usbip_conn_set_deadline(&conn, 10000);
            rc = usbip_auth_handshake_server(&conn, "s3cret");
            char request[4];
            if (rc == 0 && usbip_conn_recv_all(&conn, request, 4) == 0) usbip_conn_send_all(&conn, request, 4);
        });
        int fd = raw_connect(l.port());
        std::string greeting = raw_recv_n(fd, 36);
        ASSERT_EQ(greeting.size(), 36u);
        EXPECT_EQ(be32_at(greeting, 0), 3u);
        raw_send(fd, old_proof(greeting.substr(4), password));
        bool right = std::string(password) == "s3cret";
        EXPECT_EQ(raw_recv_n(fd, 4), be32(right ? 0 : 1));
        if (right) {
            // The USB/IP bytes follow in clear, as before.
            raw_send(fd, std::string("\x01\x11\x80\x05", 4));
            EXPECT_EQ(raw_recv_n(fd, 4), std::string("\x01\x11\x80\x05", 4));
        }
        raw_close(fd);
        server.join();
        EXPECT_EQ(rc, right ? 0 : -1);
    }
    usbip_cleanup();
}

TEST(SecureExchange, ServerWithoutTheOfferGetsTodaysBytesOnlyWhenAllowed)
{
    ASSERT_EQ(usbip_init(), 0);
    const std::string challenge(32, '\x5a');
    struct Case {
        std::uint32_t flag;
        const char *password;
        int require;
        std::string sent;  // what the client sends after the greeting
        int rc;
        const char *error;
    } cases[] = {
        {1, "s3cret", 0, old_proof(challenge, "s3cret"), 0, ""},
        {0, "s3cret", 0, std::string(4, '\0'), 0, ""},
        {0, nullptr, 1, std::string(4, '\0'), 0, ""},  // nothing to protect without a password
        {1, "s3cret", 1, "", -1, "Server does not offer the secure password exchange"},
        {0, "s3cret", 1, "", -1, "Server does not offer the secure password exchange"},
        {2, "s3cret", 1, "", -1, "Server does not offer the secure password exchange"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("flag " + std::to_string(c.flag) + ", required " + std::to_string(c.require));
        RequireSecure required(c.require);
        Listener l;
        std::string sent;
        std::thread old_server([&] {
            int fd = l.accept_one();
            raw_send(fd, be32(c.flag) + challenge);
            sent = raw_recv_n(fd, c.flag != 0 ? 32 : 4);
            if (!sent.empty()) raw_send(fd, be32(0));
            raw_recv_all(fd);
            raw_close(fd);
        });
        {
            usbip_conn conn;
            ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
            usbip_set_last_error(USBIP_ERROR_NONE, "%s", "");
            EXPECT_EQ(usbip_auth_handshake_client(&conn, c.password), c.rc);
            EXPECT_STREQ(usbip_last_error(), c.error);
            EXPECT_FALSE(conn.is_tls()) << "no session without the exchange";
        }
        old_server.join();
        EXPECT_EQ(hex_of(sent), hex_of(c.sent));
    }
    EXPECT_EQ(usbip_client_set_require_secure(-1), 0);
    EXPECT_EQ(usbip_client_set_require_secure(5), 1);
    EXPECT_EQ(usbip_client_set_require_secure(-1), 1);
    EXPECT_EQ(usbip_client_set_require_secure(0), 0);
    usbip_cleanup();
}
