// The secure password exchange's byte layouts, and both ends' steps run
// against each other without a connection.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "test_support.h"
#include "usbip_secure_auth.h"

namespace {

usbip_secure_context context_of(std::uint8_t challenge_fill, int binding_fill = -1)
{
    usbip_secure_context c;
    std::memset(c.challenge, challenge_fill, sizeof c.challenge);
    if (binding_fill >= 0) {
        std::memset(c.binding, binding_fill, sizeof c.binding);
        c.bound = true;
    }
    return c;
}

// Runs the whole exchange: the client's bytes through the server and back.
struct Exchange {
    bool server_answered = false;
    bool client_confirmed = false;
    bool server_accepts = false;
    bool client_accepts = false;
    std::uint8_t open[USBIP_SECURE_OPEN_SIZE] = {};
    std::uint8_t server_share[USBIP_SPAKE2_SHARE_SIZE] = {};
    std::uint8_t client_confirmation[USBIP_SPAKE2_CONFIRM_SIZE] = {};
    std::uint8_t answer[USBIP_SECURE_ACCEPT_SIZE] = {};
    std::string client_psk, server_psk;
};

Exchange run(const char *client_pw, const usbip_secure_context &client_ctx, const char *server_pw,
        const usbip_secure_context &server_ctx)
{
    Exchange r;
    std::uint64_t seed_c = 11, seed_s = 12;
    usbip_secure_client client(client_ctx);
    usbip_secure_server server(server_ctx);
    EXPECT_TRUE(client.open(client_pw, counter_rng, &seed_c, r.open));
    r.server_answered = server.answer(server_pw, counter_rng, &seed_s, r.open + USBIP_MARKER_SIZE, r.server_share);
    if (!r.server_answered) return r;
    r.client_confirmed = client.confirm(r.server_share, r.client_confirmation);
    if (!r.client_confirmed) return r;
    r.server_accepts = server.client_proved(r.client_confirmation, r.answer);
    r.client_accepts = client.server_proved(r.answer + 4);
    std::uint8_t psk[USBIP_SESSION_PSK_SIZE];
    if (client.session_psk(psk)) r.client_psk = hex_of(psk, sizeof psk);
    if (server.session_psk(psk)) r.server_psk = hex_of(psk, sizeof psk);
    return r;
}

}  // namespace

TEST(SecureAuthWire, FlagBitsAndTheMarker)
{
    EXPECT_EQ(usbip_greeting_flag(false, false), 0u);
    EXPECT_EQ(usbip_greeting_flag(false, true), 0u);  // nothing to exchange without a password
    EXPECT_EQ(usbip_greeting_flag(true, false), 1u);  // what every older server sends
    EXPECT_EQ(usbip_greeting_flag(true, true), 3u);
    struct Case {
        std::uint32_t flag;
        bool demands, offers;
    } cases[] = {{0, false, false}, {1, true, false}, {2, true, false}, {3, true, true},
                 {7, true, true},   {0x80000000u, true, false}, {0xffffffffu, true, true}};
    for (const Case &c : cases) {
        EXPECT_EQ(usbip_flag_demands_password(c.flag), c.demands) << c.flag;
        EXPECT_EQ(usbip_flag_offers_secure(c.flag), c.offers) << c.flag;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(usbip_upgrade_marker), USBIP_MARKER_SIZE),
              "halvoren-usbip secure upgrade v1");
    std::uint8_t other[USBIP_MARKER_SIZE];
    std::memcpy(other, usbip_upgrade_marker, sizeof other);
    EXPECT_TRUE(usbip_is_upgrade_marker(other));
    other[31] ^= 1;
    EXPECT_FALSE(usbip_is_upgrade_marker(other));
}

TEST(SecureAuthWire, SamePasswordBothEndsProveItAndShareTheSessionKey)
{
    for (int binding : {-1, 0x5a}) {
        SCOPED_TRACE(binding < 0 ? "plain" : "inside TLS");
        Exchange r = run("s3cret", context_of(0x11, binding), "s3cret", context_of(0x11, binding));
        EXPECT_EQ(hex_of(r.open, USBIP_MARKER_SIZE), hex_of(usbip_upgrade_marker, USBIP_MARKER_SIZE));
        EXPECT_EQ(r.open[USBIP_MARKER_SIZE], 0x04) << "pA is an uncompressed point";
        EXPECT_EQ(r.server_share[0], 0x04);
        ASSERT_TRUE(r.server_accepts);
        EXPECT_EQ(hex_of(r.answer, 4), "00000000");
        EXPECT_TRUE(r.client_accepts);
        EXPECT_EQ(r.client_psk.size(), 64u);
        EXPECT_EQ(r.client_psk, r.server_psk);
    }
}

TEST(SecureAuthWire, AnythingThatDiffersFailsBothConfirmations)
{
    struct Case {
        const char *what;
        const char *client_pw;
        usbip_secure_context client_ctx;
        const char *server_pw;
        usbip_secure_context server_ctx;
    } cases[] = {
        {"password", "s3cret", context_of(0x11), "s3cre7", context_of(0x11)},
        {"challenge", "s3cret", context_of(0x11), "s3cret", context_of(0x12)},
        // A party in the middle of TLS has a different session on each side.
        {"TLS session", "s3cret", context_of(0x11, 1), "s3cret", context_of(0x11, 2)},
        {"TLS on one side only", "s3cret", context_of(0x11), "s3cret", context_of(0x11, 0)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Exchange r = run(c.client_pw, c.client_ctx, c.server_pw, c.server_ctx);
        ASSERT_TRUE(r.client_confirmed);
        EXPECT_FALSE(r.server_accepts);
        EXPECT_EQ(hex_of(r.answer, 4), "00000001");
        EXPECT_EQ(hex_of(r.answer + 4, 32), std::string(64, '0')) << "no cB after a refusal";
        EXPECT_FALSE(r.client_accepts);
        EXPECT_EQ(r.client_psk, "");
        EXPECT_EQ(r.server_psk, "");
    }
}

TEST(SecureAuthWire, AServerWithoutThePasswordCannotProveIt)
{
    // The impostor answers with a share of its own and then claims success
    // with a confirmation it had to make up.
    std::uint64_t seed = 21;
    usbip_secure_client client(context_of(0x33));
    std::uint8_t open[USBIP_SECURE_OPEN_SIZE];
    ASSERT_TRUE(client.open("s3cret", counter_rng, &seed, open));
    usbip_secure_server impostor(context_of(0x33));
    std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE];
    ASSERT_TRUE(impostor.answer("guess", counter_rng, &seed, open + USBIP_MARKER_SIZE, share));
    std::uint8_t confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
    ASSERT_TRUE(client.confirm(share, confirmation));
    std::uint8_t made_up[USBIP_SPAKE2_CONFIRM_SIZE];
    std::memset(made_up, 0x42, sizeof made_up);
    EXPECT_FALSE(client.server_proved(made_up));
    std::uint8_t psk[USBIP_SESSION_PSK_SIZE];
    EXPECT_FALSE(client.session_psk(psk));
}

TEST(SecureAuthWire, InvalidSharesAreRefusedByEitherEnd)
{
    std::uint8_t garbage[USBIP_SPAKE2_SHARE_SIZE];
    std::memset(garbage, 0xff, sizeof garbage);
    garbage[0] = 0x04;
    std::uint64_t seed = 31;
    usbip_secure_server server(context_of(1));
    std::uint8_t out[USBIP_SPAKE2_SHARE_SIZE];
    EXPECT_FALSE(server.answer("pw", counter_rng, &seed, garbage, out));
    std::uint8_t accept[USBIP_SECURE_ACCEPT_SIZE];
    std::uint8_t confirmation[USBIP_SPAKE2_CONFIRM_SIZE] = {};
    EXPECT_FALSE(server.client_proved(confirmation, accept)) << "no confirmation without an answer";

    usbip_secure_client client(context_of(1));
    std::uint8_t open[USBIP_SECURE_OPEN_SIZE];
    ASSERT_TRUE(client.open("pw", counter_rng, &seed, open));
    EXPECT_FALSE(client.confirm(garbage, confirmation));
    // Neither end runs the exchange without a password.
    usbip_secure_client nobody(context_of(1));
    EXPECT_FALSE(nobody.open("", counter_rng, &seed, open));
    EXPECT_FALSE(nobody.open(nullptr, counter_rng, &seed, open));
}
