// SPAKE2 over P-256: RFC 9382's test vectors, and the refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "usbip_spake2.h"

namespace {

std::vector<std::uint8_t> unhex(const std::string &hex)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// RFC 9382, Appendix B (SPAKE2-P256-SHA256-HKDF-HMAC, no AAD).
struct Vector {
    const char *id_a, *id_b, *w, *x, *y, *pa, *pb, *k, *ke, *ka, *kca, *kcb, *ca, *cb;
};

const Vector kVectors[] = {
    {"server", "client", "2ee57912099d31560b3a44b1184b9b4866e904c49d12ac5042c97dca461b1a5f",
     "43dd0fd7215bdcb482879fca3220c6a968e66d70b1356cac18bb26c84a78d729",
     "dcb60106f276b02606d8ef0a328c02e4b629f84f89786af5befb0bc75b6e66be",
     "04a56fa807caaa53a4d28dbb9853b9815c61a411118a6fe516a8798434751470f9010153ac33d0d5f2047ffdb1a3e42c9b4e6be662766e1eeb4116988ede5f912c",
     "0406557e482bd03097ad0cbaa5df82115460d951e3451962f1eaf4367a420676d09857ccbc522686c83d1852abfa8ed6e4a1155cf8f1543ceca528afb591a1e0b7",
     "0412af7e89717850671913e6b469ace67bd90a4df8ce45c2af19010175e37eed69f75897996d539356e2fa6a406d528501f907e04d97515fbe83db277b715d3325",
     "0e0672dc86f8e45565d338b0540abe69", "15bdf72e2b35b5c9e5663168e960a91b", "00c12546835755c86d8c0db7851ae86f",
     "a9fa3406c3b781b93d804485430ca27a", "58ad4aa88e0b60d5061eb6b5dd93e80d9c4f00d127c65b3b35b1b5281fee38f0",
     "d3e2e547f1ae04f2dbdbf0fc4b79f8ecff2dff314b5d32fe9fcef2fb26dc459b"},
    {"", "client", "0548d8729f730589e579b0475a582c1608138ddf7054b73b5381c7e883e2efae",
     "403abbe3b1b4b9ba17e3032849759d723939a27a27b9d921c500edde18ed654b",
     "903023b6598908936ea7c929bd761af6039577a9c3f9581064187c3049d87065",
     "04a897b769e681c62ac1c2357319a3d363f610839c4477720d24cbe32f5fd85f44fb92ba966578c1b712be6962498834078262caa5b441ecfa9d4a9485720e918a",
     "04e0f816fd1c35e22065d5556215c097e799390d16661c386e0ecc84593974a61b881a8c82327687d0501862970c64565560cb5671f696048050ca66ca5f8cc7fc",
     "048f83ec9f6e4f87cc6f9dc740bdc2769725f923364f01c84148c049a39a735ebda82eac03e00112fd6a5710682767cff5361f7e819e53d8d3c3a2922e0d837aa6",
     "642f05c473c2cd79909f9a841e2f30a7", "0bf89b18180af97353ba198789c2b963", "c6be376fc7cd1301fd0a13adf3e7bffd",
     "b7243f4ae60440a49b3f8cab3c1fba07", "47d29e6666af1b7dd450d571233085d7a9866e4d49d2645e2df975489521232b",
     "3313c5cefc361d27fb16847a91c2a73b766ffa90a4839122a9b70a2f6bd1d6df"},
    {"server", "", "626e0cdc7b14c9db3e52a0b1b3a768c98e37852d5db30febe0497b14eae8c254",
     "07adb3db6bc623d3399726bfdbfd3d15a58ea776ab8a308b00392621291f9633",
     "b6a4fc8dbb629d4ba51d6f91ed1532cf87adec98f25dd153a75accafafedec16",
     "04f88fb71c99bfffaea370966b7eb99cd4be0ff1a7d335caac4211c4afd855e2e15a873b298503ad8ba1d9cbb9a392d2ba309b48bfd7879aefd0f2cea6009763b0",
     "040c269d6be017dccb15182ac6bfcd9e2a14de019dd587eaf4bdfd353f031101e7cca177f8eb362a6e83e7d5e729c0732e1b528879c086f39ba0f31a9661bd34db",
     "0445ee233b8ecb51ebd6e7da3f307e88a1616bae2166121221fdc0dadb986afaf3ec8a988dc9c626fa3b99f58a7ca7c9b844bb3e8dd9554aafc5b53813504c1cbe",
     "005184ff460da2ce59062c87733c299c", "3521297d736598fc0a1127600efa1afb", "f3da53604f0aeecea5a33be7bddf6edf",
     "9e3f86848736f159bd92b6e107ec6799", "bc9f9bbe99f26d0b2260e6456e05a86196a3307ec6663a18bf6ac825736533b2",
     "c2370e1bf813b086dff0d834e74425a06e6390f48f5411900276dcccc5a297ec"},
    {"", "", "7bf46c454b4c1b25799527d896508afd5fc62ef4ec59db1efb49113063d70cca",
     "8cef65df64bb2d0f83540c53632de911b5b24b3eab6cc74a97609fd659e95473",
     "d7a66f64074a84652d8d623a92e20c9675c61cb5b4f6a0063e4648a2fdc02d53",
     "04a65b367a3f613cf9f0654b1b28a1e3a8a40387956c8ba6063e8658563890f46ca1ef6a676598889fc28de2950ab8120b79a5ef1ea4c9f44bc98f585634b46d66",
     "04589f13218822710d98d8b2123a079041052d9941b9cf88c6617ddb2fcc0494662eea8ba6b64692dc318250030c6af045cb738bc81ba35b043c3dcb46adf6f58d",
     "041a3c03d51b452537ca2a1fea6110353c6d5ed483c4f0f86f4492ca3f378d40a994b4477f93c64d928edbbcd3e85a7c709b7ea73ee97986ce3d1438e135543772",
     "fc6374762ba5cf11f4b2caa08b2cd1b9", "907ae0e26e8d6234318d91583cd74c86", "5dbd2f477166b7fb6d61febbd77a5563",
     "7689b4654407a5faeffdc8f18359d8a3", "dfb4db8d48ae5a675963ea5e6c19d98d4ea028d8e898dad96ea19a80ade95dca",
     "d0f0609d1613138d354f7e95f19fb556bf52d751947241e8c7118df5ef0ae175"},
};

// The RFC's first transcript, byte for byte.
const char kFirstTranscript[] =
    "06000000000000007365727665720600000000000000636c69656e74410000000000000004a56fa807caaa53a4d28dbb9853b9815c61a4"
    "11118a6fe516a8798434751470f9010153ac33d0d5f2047ffdb1a3e42c9b4e6be662766e1eeb4116988ede5f912c41000000000000000406"
    "557e482bd03097ad0cbaa5df82115460d951e3451962f1eaf4367a420676d09857ccbc522686c83d1852abfa8ed6e4a1155cf8f1543ceca5"
    "28afb591a1e0b741000000000000000412af7e89717850671913e6b469ace67bd90a4df8ce45c2af19010175e37eed69f75897996d539356"
    "e2fa6a406d528501f907e04d97515fbe83db277b715d332520000000000000002ee57912099d31560b3a44b1184b9b4866e904c49d12ac50"
    "42c97dca461b1a5f";

// Two parties that ran start() with the scalars of their passwords.
struct Pair {
    usbip_spake2 a{usbip_spake2::role::a};
    usbip_spake2 b{usbip_spake2::role::b};
    std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE];
    std::uint8_t pb[USBIP_SPAKE2_SHARE_SIZE];
    std::uint64_t rng_a = 1, rng_b = 2;

    Pair(const char *password_a, const char *password_b)
    {
        std::uint8_t wa[32], wb[32];
        EXPECT_TRUE(usbip_spake2_password_scalar(password_a, std::strlen(password_a), wa));
        EXPECT_TRUE(usbip_spake2_password_scalar(password_b, std::strlen(password_b), wb));
        EXPECT_TRUE(a.start(wa, counter_rng, &rng_a, pa));
        EXPECT_TRUE(b.start(wb, counter_rng, &rng_b, pb));
    }
    bool finish(const std::string &aad_a = "", const std::string &aad_b = "")
    {
        bool ok_a = a.finish(pb, "A", 1, "B", 1, aad_a.data(), aad_a.size());
        bool ok_b = b.finish(pa, "A", 1, "B", 1, aad_b.data(), aad_b.size());
        return ok_a && ok_b;
    }
};

}  // namespace

TEST(Spake2, Rfc9382TestVectors)
{
    for (const Vector &v : kVectors) {
        SCOPED_TRACE(std::string("A='") + v.id_a + "', B='" + v.id_b + "'");
        std::vector<std::uint8_t> w = unhex(v.w), x = unhex(v.x), y = unhex(v.y);
        std::uint64_t seed = 7;
        usbip_spake2 a(usbip_spake2::role::a), b(usbip_spake2::role::b);
        std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE], pb[USBIP_SPAKE2_SHARE_SIZE];
        ASSERT_TRUE(a.start_with_scalar(w.data(), x.data(), counter_rng, &seed, pa));
        ASSERT_TRUE(b.start_with_scalar(w.data(), y.data(), counter_rng, &seed, pb));
        EXPECT_EQ(hex_of(pa, sizeof pa), v.pa);
        EXPECT_EQ(hex_of(pb, sizeof pb), v.pb);
        ASSERT_TRUE(a.finish(pb, v.id_a, std::strlen(v.id_a), v.id_b, std::strlen(v.id_b), nullptr, 0));
        ASSERT_TRUE(b.finish(pa, v.id_a, std::strlen(v.id_a), v.id_b, std::strlen(v.id_b), nullptr, 0));
        for (const usbip_spake2 *side : {&a, &b}) {
            const usbip_spake2::trace &t = side->values();
            EXPECT_EQ(hex_of(t.k, sizeof t.k), v.k);
            EXPECT_EQ(hex_of(t.hash_tt, 16), v.ke);
            EXPECT_EQ(hex_of(t.hash_tt + 16, 16), v.ka);
            EXPECT_EQ(hex_of(t.kc_a, 16), v.kca);
            EXPECT_EQ(hex_of(t.kc_b, 16), v.kcb);
            EXPECT_EQ(hex_of(t.c_a, 32), v.ca);
            EXPECT_EQ(hex_of(t.c_b, 32), v.cb);
        }
        EXPECT_EQ(hex_of(a.own_confirmation(), 32), v.ca);
        EXPECT_EQ(hex_of(b.own_confirmation(), 32), v.cb);
        EXPECT_TRUE(a.peer_confirmation_ok(b.own_confirmation()));
        EXPECT_TRUE(b.peer_confirmation_ok(a.own_confirmation()));
        ASSERT_NE(a.shared_key(), nullptr);
        EXPECT_EQ(hex_of(a.shared_key(), USBIP_SPAKE2_KEY_SIZE), v.ke);
        EXPECT_EQ(hex_of(b.shared_key(), USBIP_SPAKE2_KEY_SIZE), v.ke);
    }
    usbip_spake2 a(usbip_spake2::role::a);
    std::vector<std::uint8_t> w = unhex(kVectors[0].w), x = unhex(kVectors[0].x), pb = unhex(kVectors[0].pb);
    std::uint64_t seed = 9;
    std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE];
    ASSERT_TRUE(a.start_with_scalar(w.data(), x.data(), counter_rng, &seed, pa));
    ASSERT_TRUE(a.finish(pb.data(), "server", 6, "client", 6, nullptr, 0));
    const auto &tt = a.values().tt;
    EXPECT_EQ(hex_of(tt.data(), tt.size()), kFirstTranscript);
}

TEST(Spake2, SamePasswordAgreesAndBothConfirmationsHold)
{
    Pair p("correct horse", "correct horse");
    ASSERT_TRUE(p.finish("context", "context"));
    EXPECT_TRUE(p.a.peer_confirmation_ok(p.b.own_confirmation()));
    EXPECT_TRUE(p.b.peer_confirmation_ok(p.a.own_confirmation()));
    EXPECT_EQ(hex_of(p.a.shared_key(), 16), hex_of(p.b.shared_key(), 16));
}

TEST(Spake2, WrongPasswordOrContextFailsConfirmationBothWays)
{
    struct Case {
        const char *pw_a, *pw_b, *aad_a, *aad_b;
    } cases[] = {
        {"correct horse", "correct hose", "", ""},
        {"correct horse", "correct horse", "session one", "session two"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.pw_b) + " / " + c.aad_b);
        Pair p(c.pw_a, c.pw_b);
        ASSERT_TRUE(p.finish(c.aad_a, c.aad_b));
        EXPECT_FALSE(p.a.peer_confirmation_ok(p.b.own_confirmation()));
        EXPECT_FALSE(p.b.peer_confirmation_ok(p.a.own_confirmation()));
    }
}

TEST(Spake2, RefusesSharesThatAreNoPointOrCancelTheMask)
{
    const std::uint8_t w[32] = {1};  // any scalar below the order
    std::vector<std::uint8_t> off_curve(USBIP_SPAKE2_SHARE_SIZE, 0xff);
    off_curve[0] = 0x04;
    std::vector<std::uint8_t> zeros(USBIP_SPAKE2_SHARE_SIZE, 0);
    std::vector<std::uint8_t> compressed_prefix = unhex(kVectors[0].pb);
    compressed_prefix[0] = 0x02;
    // N itself: with w = 1, A takes N away from it and is left with the identity.
    std::vector<std::uint8_t> n_point = unhex(
        "04d8bbd6c639c62937b04d997f38c3770719c629d7014d49a24b4f98baa1292b4907d60aa6bfade45008a636337f5168c64d9bd36034808cd"
        "564490b1e656edbe7");
    std::uint8_t w_one[32] = {};
    w_one[31] = 1;
    const std::vector<std::uint8_t> *bad[] = {&off_curve, &zeros, &compressed_prefix};
    EXPECT_TRUE(usbip_spake2_valid_share(unhex(kVectors[0].pb).data()));
    EXPECT_TRUE(usbip_spake2_valid_share(n_point.data()));
    for (const auto *share : bad) {
        EXPECT_FALSE(usbip_spake2_valid_share(share->data()));
        std::uint64_t seed = 3;
        usbip_spake2 a(usbip_spake2::role::a);
        std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE];
        ASSERT_TRUE(a.start(w, counter_rng, &seed, pa));
        EXPECT_FALSE(a.finish(share->data(), "", 0, "", 0, nullptr, 0));
        EXPECT_EQ(a.own_confirmation(), nullptr);
        EXPECT_EQ(a.shared_key(), nullptr);
    }
    std::uint64_t seed = 4;
    usbip_spake2 a(usbip_spake2::role::a);
    std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE];
    ASSERT_TRUE(a.start(w_one, counter_rng, &seed, pa));
    EXPECT_FALSE(a.finish(n_point.data(), "", 0, "", 0, nullptr, 0));
    EXPECT_FALSE(a.peer_confirmation_ok(pa));
}

TEST(Spake2, EachStepRunsOnce)
{
    std::uint8_t w[32];
    ASSERT_TRUE(usbip_spake2_password_scalar("pw", 2, w));
    std::uint64_t seed = 5;
    usbip_spake2 a(usbip_spake2::role::a), b(usbip_spake2::role::b);
    std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE], pb[USBIP_SPAKE2_SHARE_SIZE];
    EXPECT_FALSE(a.finish(pa, "", 0, "", 0, nullptr, 0)) << "finish before start";
    ASSERT_TRUE(a.start(w, counter_rng, &seed, pa));
    EXPECT_FALSE(a.start(w, counter_rng, &seed, pa));
    ASSERT_TRUE(b.start(w, counter_rng, &seed, pb));
    ASSERT_TRUE(a.finish(pb, "", 0, "", 0, nullptr, 0));
    EXPECT_FALSE(a.finish(pb, "", 0, "", 0, nullptr, 0));
}

TEST(Spake2, PasswordScalarIsBelowTheOrderAndDependsOnEveryByte)
{
    std::uint8_t w1[32], w2[32], w3[32];
    ASSERT_TRUE(usbip_spake2_password_scalar("secret", 6, w1));
    ASSERT_TRUE(usbip_spake2_password_scalar("secres", 6, w2));
    ASSERT_TRUE(usbip_spake2_password_scalar("secret", 6, w3));
    EXPECT_NE(hex_of(w1, 32), hex_of(w2, 32));
    EXPECT_EQ(hex_of(w1, 32), hex_of(w3, 32));
    // The order of P-256; a scalar at or above it would be refused by start().
    EXPECT_LT(hex_of(w1, 32), "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    std::uint8_t order[32];
    std::vector<std::uint8_t> n = unhex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    std::memcpy(order, n.data(), 32);
    std::uint64_t seed = 6;
    usbip_spake2 a(usbip_spake2::role::a);
    std::uint8_t pa[USBIP_SPAKE2_SHARE_SIZE];
    EXPECT_FALSE(a.start(order, counter_rng, &seed, pa));
}
