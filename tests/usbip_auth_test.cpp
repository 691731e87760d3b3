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

Outcome run_handshake(const char *server_password, const char *client_password)
{
    Listener l;
    Outcome out{};
    std::thread server([&] {
        int fd = l.accept_one();
        usbip_conn conn(fd);
        usbip_conn_set_deadline(&conn, 5000);
        out.server_rc = usbip_auth_handshake_server(&conn, server_password);
        out.server_error = usbip_last_error();
    });
    {
        usbip_conn conn;
        EXPECT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
        out.client_rc = usbip_auth_handshake_client(&conn, client_password);
        out.client_error = usbip_last_error();
    }  // closing lets a server that still waits fail at once
    server.join();
    return out;
}

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
        {7, 0, "pw", 0, "", 32},  // any non-zero flag demands the password
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
        usbip_set_last_error("%s", "");
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
