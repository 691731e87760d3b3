// SPAKE2 over P-256 (RFC 9382, suite SPAKE2-P256-SHA256-HKDF-HMAC).
//
// Every multiplication by a secret scalar (w, x, y) goes through
// mbedtls_ecp_mul, which runs in constant time and is blinded by the
// random source. Points are added with mbedtls_ecp_muladd and unit
// scalars only, as Mbed TLS's own EC J-PAKE adds them: no secret scalar
// ever reaches the variable-time double multiplication.
#include "usbip_spake2.h"

#include <cstring>

#include <mbedtls/bignum.h>
#include <mbedtls/ecp.h>
#include <mbedtls/hkdf.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

namespace {

// RFC 9382's M and N for P-256 (compressed there as 02886e2f... and
// 03d8bbd6...), in the uncompressed form that Mbed TLS reads on both of
// its lines.
const std::uint8_t kPointM[USBIP_SPAKE2_SHARE_SIZE] = {
    0x04, 0x88, 0x6e, 0x2f, 0x97, 0xac, 0xe4, 0x6e, 0x55, 0xba, 0x9d, 0xd7, 0x24, 0x25, 0x79, 0xf2, 0x99,
    0x3b, 0x64, 0xe1, 0x6e, 0xf3, 0xdc, 0xab, 0x95, 0xaf, 0xd4, 0x97, 0x33, 0x3d, 0x8f, 0xa1, 0x2f,
    0x5f, 0xf3, 0x55, 0x16, 0x3e, 0x43, 0xce, 0x22, 0x4e, 0x0b, 0x0e, 0x65, 0xff, 0x02, 0xac, 0x8e,
    0x5c, 0x7b, 0xe0, 0x94, 0x19, 0xc7, 0x85, 0xe0, 0xca, 0x54, 0x7d, 0x55, 0xa1, 0x2e, 0x2d, 0x20,
};
const std::uint8_t kPointN[USBIP_SPAKE2_SHARE_SIZE] = {
    0x04, 0xd8, 0xbb, 0xd6, 0xc6, 0x39, 0xc6, 0x29, 0x37, 0xb0, 0x4d, 0x99, 0x7f, 0x38, 0xc3, 0x77, 0x07,
    0x19, 0xc6, 0x29, 0xd7, 0x01, 0x4d, 0x49, 0xa2, 0x4b, 0x4f, 0x98, 0xba, 0xa1, 0x29, 0x2b, 0x49,
    0x07, 0xd6, 0x0a, 0xa6, 0xbf, 0xad, 0xe4, 0x50, 0x08, 0xa6, 0x36, 0x33, 0x7f, 0x51, 0x68, 0xc6,
    0x4d, 0x9b, 0xd3, 0x60, 0x34, 0x80, 0x8c, 0xd5, 0x64, 0x49, 0x0b, 0x1e, 0x65, 0x6e, 0xdb, 0xe7,
};

const char kPasswordSalt[] = "halvoren-usbip SPAKE2 P-256 w";
const char kConfirmationInfo[] = "ConfirmationKeys";

const mbedtls_md_info_t *sha256() { return mbedtls_md_info_from_type(MBEDTLS_MD_SHA256); }

// RAII owners of the Mbed TLS values used here.
struct Mpi {
    mbedtls_mpi v;
    Mpi() { mbedtls_mpi_init(&v); }
    ~Mpi() { mbedtls_mpi_free(&v); }
    Mpi(const Mpi &) = delete;
    Mpi &operator=(const Mpi &) = delete;
};

struct Point {
    mbedtls_ecp_point v;
    Point() { mbedtls_ecp_point_init(&v); }
    ~Point() { mbedtls_ecp_point_free(&v); }
    Point(const Point &) = delete;
    Point &operator=(const Point &) = delete;
};

struct Group {
    mbedtls_ecp_group v;
    Group() { mbedtls_ecp_group_init(&v); }
    ~Group() { mbedtls_ecp_group_free(&v); }
    Group(const Group &) = delete;
    Group &operator=(const Group &) = delete;
    bool load() { return mbedtls_ecp_group_load(&v, MBEDTLS_ECP_DP_SECP256R1) == 0; }
};

// Reads an uncompressed point and checks that it lies on the curve (and
// so is not the identity).
bool read_point(const mbedtls_ecp_group &grp, mbedtls_ecp_point *out, const std::uint8_t in[USBIP_SPAKE2_SHARE_SIZE])
{
    if (in[0] != 0x04) return false;
    return mbedtls_ecp_point_read_binary(&grp, out, in, USBIP_SPAKE2_SHARE_SIZE) == 0 &&
        mbedtls_ecp_check_pubkey(&grp, out) == 0;
}

bool write_point(const mbedtls_ecp_group &grp, const mbedtls_ecp_point &p, std::uint8_t out[USBIP_SPAKE2_SHARE_SIZE])
{
    std::size_t len = 0;
    return mbedtls_ecp_point_write_binary(&grp, &p, MBEDTLS_ECP_PF_UNCOMPRESSED, &len, out, USBIP_SPAKE2_SHARE_SIZE) ==
        0 &&
        len == USBIP_SPAKE2_SHARE_SIZE;
}

// R = A + B. The unit scalars are public: no secret goes through the
// double multiplication's variable-time path.
bool add_points(mbedtls_ecp_group &grp, mbedtls_ecp_point *r, const mbedtls_ecp_point &a, const mbedtls_ecp_point &b)
{
    Mpi one;
    return mbedtls_mpi_lset(&one.v, 1) == 0 && mbedtls_ecp_muladd(&grp, r, &one.v, &a, &one.v, &b) == 0;
}

// The transcript's length prefix: 8 bytes, little-endian.
void append_field(std::vector<std::uint8_t> &tt, const void *data, std::size_t len)
{
    std::uint64_t n = len;
    for (int i = 0; i < 8; ++i) tt.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    const auto *p = static_cast<const std::uint8_t *>(data);
    tt.insert(tt.end(), p, p + len);
}

bool equal_in_constant_time(const std::uint8_t *a, const std::uint8_t *b, std::size_t len)
{
    volatile std::uint8_t diff = 0;
    for (std::size_t i = 0; i < len; ++i) diff = static_cast<std::uint8_t>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

// A fixed "random" source for the one multiplication below: its scalar is
// public (1), so its blinding needs no secret.
int warm_up_rng(void *, unsigned char *out, std::size_t len)
{
    std::memset(out, 0x5a, len);
    return 0;
}

// The group, with its table for multiples of the generator, made once for
// the process and shared by every thread. Mbed TLS 2.28 builds that table
// on the first multiplication by the generator and keeps it in the group:
// done here, before any thread can see the group, every later
// multiplication only reads it (3.x has it built in). Never freed: threads
// may still run an exchange while a host exits without cleanup. (A
// thread_local group per thread corrupted the heap of the Windows build as
// the threads that had used it ended.)
const mbedtls_ecp_group *shared_group()
{
    static const mbedtls_ecp_group *const shared = []() -> const mbedtls_ecp_group * {
        auto *grp = new Group();
        Mpi one;
        Point p;
        if (!grp->load() || mbedtls_mpi_lset(&one.v, 1) != 0 ||
            mbedtls_ecp_mul(&grp->v, &p.v, &one.v, &grp->v.G, warm_up_rng, nullptr) != 0) {
            delete grp;
            return nullptr;
        }
        return &grp->v;
    }();
    return shared;
}

// mbedtls_ecp_mul takes the group as writable for that table, which it
// only reads once it exists.
mbedtls_ecp_group *writable(const mbedtls_ecp_group *g) { return const_cast<mbedtls_ecp_group *>(g); }

}  // namespace

bool usbip_spake2_password_scalar(const void *password, std::size_t len, std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE])
{
    const mbedtls_ecp_group *grp = shared_group();
    if (grp == nullptr) return false;
    std::uint8_t wide[48];
    bool ok = mbedtls_hkdf(sha256(), reinterpret_cast<const unsigned char *>(kPasswordSalt), sizeof kPasswordSalt - 1,
                           static_cast<const unsigned char *>(password), len, nullptr, 0, wide, sizeof wide) == 0;
    Mpi wide_value, reduced;
    ok = ok && mbedtls_mpi_read_binary(&wide_value.v, wide, sizeof wide) == 0 &&
        mbedtls_mpi_mod_mpi(&reduced.v, &wide_value.v, &grp->N) == 0 &&
        mbedtls_mpi_write_binary(&reduced.v, w, USBIP_SPAKE2_SCALAR_SIZE) == 0;
    mbedtls_platform_zeroize(wide, sizeof wide);
    return ok;
}

bool usbip_spake2_valid_share(const std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE])
{
    const mbedtls_ecp_group *grp = shared_group();
    Point p;
    return grp != nullptr && read_point(*grp, &p.v, share);
}

// ---------------------------------------------------------------------------
// The password's points

struct usbip_spake2_secret::data {
    usbip_spake2::role role = usbip_spake2::role::a;
    std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE] = {};
    Point mask;    // w times this role's constant; the identity (zero) for w = 0
    Point unmask;  // -w times the peer's constant; likewise
    bool w_is_zero = false;

    ~data() { mbedtls_platform_zeroize(w, sizeof w); }
};

usbip_spake2_secret::usbip_spake2_secret() : d_(std::make_unique<data>()) {}

usbip_spake2_secret::~usbip_spake2_secret() = default;

usbip_spake2::role usbip_spake2_secret::role() const { return d_->role; }

bool usbip_spake2_secret::is(usbip_spake2::role r, const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE]) const
{
    return r == d_->role && equal_in_constant_time(d_->w, w, USBIP_SPAKE2_SCALAR_SIZE);
}

std::shared_ptr<const usbip_spake2_secret> usbip_spake2_secret::make(usbip_spake2::role r,
                                                                     const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE],
                                                                     usbip_rng_fn rng, void *rng_state)
{
    const mbedtls_ecp_group *grp = shared_group();
    if (grp == nullptr) return nullptr;
    std::shared_ptr<usbip_spake2_secret> secret(new usbip_spake2_secret());
    data &d = *secret->d_;
    d.role = r;
    std::memcpy(d.w, w, USBIP_SPAKE2_SCALAR_SIZE);
    Mpi value, minus;
    // w may be 0 (a password scalar is reduced modulo the order); it must
    // lie below the order.
    if (mbedtls_mpi_read_binary(&value.v, w, USBIP_SPAKE2_SCALAR_SIZE) != 0 ||
        mbedtls_mpi_cmp_mpi(&value.v, &grp->N) >= 0)
        return nullptr;
    d.w_is_zero = mbedtls_mpi_cmp_int(&value.v, 0) == 0;
    if (d.w_is_zero) return secret;  // nothing to mask
    Point own, peer;
    if (!read_point(*grp, &own.v, r == usbip_spake2::role::a ? kPointM : kPointN) ||
        !read_point(*grp, &peer.v, r == usbip_spake2::role::a ? kPointN : kPointM) ||
        mbedtls_mpi_sub_mpi(&minus.v, &grp->N, &value.v) != 0 ||
        mbedtls_ecp_mul(writable(grp), &d.mask.v, &value.v, &own.v, rng, rng_state) != 0 ||
        mbedtls_ecp_mul(writable(grp), &d.unmask.v, &minus.v, &peer.v, rng, rng_state) != 0)
        return nullptr;
    return secret;
}

// ---------------------------------------------------------------------------
// One exchange

struct usbip_spake2::state {
    const mbedtls_ecp_group *grp = nullptr;
    std::shared_ptr<const usbip_spake2_secret> secret;
    Mpi x;  // this party's ephemeral scalar
    std::uint8_t own_share[USBIP_SPAKE2_SHARE_SIZE] = {};
    usbip_rng_fn rng = nullptr;
    void *rng_state = nullptr;
    bool started = false;
    bool ready = false;  // started successfully: finish() may run
    bool finished = false;
    std::uint8_t ke[USBIP_SPAKE2_KEY_SIZE] = {};
    const std::uint8_t *own_confirm = nullptr;
    const std::uint8_t *peer_confirm = nullptr;
    trace t{};

    ~state()
    {
        mbedtls_platform_zeroize(ke, sizeof ke);
        mbedtls_platform_zeroize(t.k, sizeof t.k);
        mbedtls_platform_zeroize(t.hash_tt, sizeof t.hash_tt);
        mbedtls_platform_zeroize(t.kc_a, sizeof t.kc_a);
        mbedtls_platform_zeroize(t.kc_b, sizeof t.kc_b);
        if (!t.tt.empty()) mbedtls_platform_zeroize(t.tt.data(), t.tt.size());
    }
};

usbip_spake2::usbip_spake2(role r) : role_(r), s_(std::make_unique<state>()) {}

usbip_spake2::~usbip_spake2() = default;

bool usbip_spake2::start(const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE], usbip_rng_fn rng, void *rng_state,
                         std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE])
{
    if (s_->started) return false;
    return start(usbip_spake2_secret::make(role_, w, rng, rng_state), rng, rng_state, share);
}

bool usbip_spake2::start(std::shared_ptr<const usbip_spake2_secret> secret, usbip_rng_fn rng, void *rng_state,
                         std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE])
{
    return begin(std::move(secret), nullptr, rng, rng_state, share);
}

bool usbip_spake2::start_with_scalar(const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE],
                                     const std::uint8_t scalar[USBIP_SPAKE2_SCALAR_SIZE], usbip_rng_fn rng,
                                     void *rng_state, std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE])
{
    if (s_->started) return false;
    return begin(usbip_spake2_secret::make(role_, w, rng, rng_state), scalar, rng, rng_state, share);
}

bool usbip_spake2::begin(std::shared_ptr<const usbip_spake2_secret> secret, const std::uint8_t *scalar,
                         usbip_rng_fn rng, void *rng_state, std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE])
{
    state &s = *s_;
    if (s.started) return false;
    s.started = true;
    s.grp = shared_group();
    if (s.grp == nullptr || !secret || secret->role() != role_) return false;
    s.secret = std::move(secret);
    s.rng = rng;
    s.rng_state = rng_state;
    // x lies in [1, n-1]: drawn so, or checked when given.
    if (scalar == nullptr) {
        if (mbedtls_ecp_gen_privkey(s.grp, &s.x.v, rng, rng_state) != 0) return false;
    } else if (mbedtls_mpi_read_binary(&s.x.v, scalar, USBIP_SPAKE2_SCALAR_SIZE) != 0 ||
               mbedtls_ecp_check_privkey(s.grp, &s.x.v) != 0) {
        return false;
    }
    Point ephemeral, sum;
    if (mbedtls_ecp_mul(writable(s.grp), &ephemeral.v, &s.x.v, &s.grp->G, rng, rng_state) != 0) return false;
    if (s.secret->d_->w_is_zero) {
        if (mbedtls_ecp_copy(&sum.v, &ephemeral.v) != 0) return false;
    } else if (!add_points(*writable(s.grp), &sum.v, ephemeral.v, s.secret->d_->mask.v)) {
        return false;
    }
    if (mbedtls_ecp_is_zero(&sum.v) || !write_point(*s.grp, sum.v, s.own_share)) return false;
    std::memcpy(share, s.own_share, USBIP_SPAKE2_SHARE_SIZE);
    s.ready = true;
    return true;
}

bool usbip_spake2::finish(const std::uint8_t peer_share[USBIP_SPAKE2_SHARE_SIZE], const void *id_a,
                          std::size_t id_a_len, const void *id_b, std::size_t id_b_len, const void *aad,
                          std::size_t aad_len)
{
    state &s = *s_;
    if (!s.ready || s.finished) return false;
    s.finished = true;
    Point peer, base, k;
    if (!read_point(*s.grp, &peer.v, peer_share)) return false;
    // base = peer - w * (the peer's constant).
    if (s.secret->d_->w_is_zero) {
        if (mbedtls_ecp_copy(&base.v, &peer.v) != 0) return false;
    } else if (!add_points(*writable(s.grp), &base.v, peer.v, s.secret->d_->unmask.v)) {
        return false;
    }
    // A share that cancels the mask exactly would make K the identity.
    if (mbedtls_ecp_is_zero(&base.v)) return false;
    if (mbedtls_ecp_mul(writable(s.grp), &k.v, &s.x.v, &base.v, s.rng, s.rng_state) != 0 || mbedtls_ecp_is_zero(&k.v) ||
        !write_point(*s.grp, k.v, s.t.k))
        return false;

    const std::uint8_t *share_a = role_ == role::a ? s.own_share : peer_share;
    const std::uint8_t *share_b = role_ == role::a ? peer_share : s.own_share;
    std::vector<std::uint8_t> &tt = s.t.tt;
    tt.clear();
    append_field(tt, id_a, id_a_len);
    append_field(tt, id_b, id_b_len);
    append_field(tt, share_a, USBIP_SPAKE2_SHARE_SIZE);
    append_field(tt, share_b, USBIP_SPAKE2_SHARE_SIZE);
    append_field(tt, s.t.k, USBIP_SPAKE2_SHARE_SIZE);
    append_field(tt, s.secret->d_->w, USBIP_SPAKE2_SCALAR_SIZE);

    if (mbedtls_md(sha256(), tt.data(), tt.size(), s.t.hash_tt) != 0) return false;
    std::memcpy(s.ke, s.t.hash_tt, USBIP_SPAKE2_KEY_SIZE);
    const std::uint8_t *ka = s.t.hash_tt + USBIP_SPAKE2_KEY_SIZE;

    std::vector<std::uint8_t> info(kConfirmationInfo, kConfirmationInfo + sizeof kConfirmationInfo - 1);
    const auto *aad_bytes = static_cast<const std::uint8_t *>(aad);
    if (aad_len > 0) info.insert(info.end(), aad_bytes, aad_bytes + aad_len);
    std::uint8_t kc[32];
    if (mbedtls_hkdf(sha256(), nullptr, 0, ka, USBIP_SPAKE2_KEY_SIZE, info.data(), info.size(), kc, sizeof kc) != 0)
        return false;
    std::memcpy(s.t.kc_a, kc, 16);
    std::memcpy(s.t.kc_b, kc + 16, 16);
    mbedtls_platform_zeroize(kc, sizeof kc);
    if (mbedtls_md_hmac(sha256(), s.t.kc_a, 16, tt.data(), tt.size(), s.t.c_a) != 0 ||
        mbedtls_md_hmac(sha256(), s.t.kc_b, 16, tt.data(), tt.size(), s.t.c_b) != 0)
        return false;
    s.own_confirm = role_ == role::a ? s.t.c_a : s.t.c_b;
    s.peer_confirm = role_ == role::a ? s.t.c_b : s.t.c_a;
    return true;
}

const std::uint8_t *usbip_spake2::own_confirmation() const { return s_->own_confirm; }

bool usbip_spake2::peer_confirmation_ok(const std::uint8_t confirmation[USBIP_SPAKE2_CONFIRM_SIZE]) const
{
    if (s_->peer_confirm == nullptr) return false;
    return equal_in_constant_time(s_->peer_confirm, confirmation, USBIP_SPAKE2_CONFIRM_SIZE);
}

const std::uint8_t *usbip_spake2::shared_key() const { return s_->peer_confirm != nullptr ? s_->ke : nullptr; }

const usbip_spake2::trace &usbip_spake2::values() const { return s_->t; }
