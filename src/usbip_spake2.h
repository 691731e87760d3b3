// SPAKE2 (RFC 9382) over P-256 with SHA-256, HKDF-SHA256 and HMAC-SHA256:
// two parties that share a password agree on a key, and each can prove to
// the other that it holds the same key, without the password or anything
// that tests it offline travelling. Pure computation over byte buffers: the
// caller moves the messages and supplies the random source.
#ifndef HALVOREN_USBIP_SPAKE2_H
#define HALVOREN_USBIP_SPAKE2_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

inline constexpr std::size_t USBIP_SPAKE2_SCALAR_SIZE = 32;  // w, x, y: big-endian, below the group order
inline constexpr std::size_t USBIP_SPAKE2_SHARE_SIZE = 65;   // pA, pB: uncompressed SEC1 points
inline constexpr std::size_t USBIP_SPAKE2_KEY_SIZE = 16;     // Ke, the shared key
inline constexpr std::size_t USBIP_SPAKE2_CONFIRM_SIZE = 32;  // cA, cB: HMAC-SHA256 tags

// The random source: Mbed TLS's convention (0 on success).
using usbip_rng_fn = int (*)(void *state, unsigned char *out, std::size_t len);

// The password scalar w: HKDF-SHA256 of the password's bytes stretched to
// 48 bytes and reduced modulo the group order (so the bias is below 2^-128).
// False only when a primitive fails.
bool usbip_spake2_password_scalar(const void *password, std::size_t len,
                                  std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE]);

// Whether `share` is a point of the curve in uncompressed form: a cheap
// check before an exchange spends its multiplications on it.
bool usbip_spake2_valid_share(const std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE]);

class usbip_spake2_secret;

// One party's side of one exchange. A uses M and sends pA = x*P + w*M; B
// uses N and sends pB = y*P + w*N. Each step fails (false) at most once and
// leaves the object spent: start() once, finish() once, then the results.
// An exchange runs on one thread.
class usbip_spake2 {
public:
    enum class role { a, b };
    explicit usbip_spake2(role r);
    ~usbip_spake2();
    usbip_spake2(const usbip_spake2 &) = delete;
    usbip_spake2 &operator=(const usbip_spake2 &) = delete;

    // Draws the ephemeral scalar from `rng` and writes this party's share.
    // `rng` also blinds every multiplication.
    bool start(const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE], usbip_rng_fn rng, void *rng_state,
               std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE]);
    // The same with the password's points made beforehand (of this role).
    bool start(std::shared_ptr<const usbip_spake2_secret> secret, usbip_rng_fn rng, void *rng_state,
               std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE]);
    // The same with a given ephemeral scalar (the RFC's test vectors).
    bool start_with_scalar(const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE],
                           const std::uint8_t scalar[USBIP_SPAKE2_SCALAR_SIZE], usbip_rng_fn rng,
                           void *rng_state, std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE]);

    // Takes the peer's share and derives every key: K, the transcript TT,
    // Ke || Ka = SHA-256(TT), KcA || KcB = HKDF(Ka, "ConfirmationKeys" ||
    // aad), cA = HMAC(KcA, TT) and cB = HMAC(KcB, TT). False for a share
    // that is not a point of the curve in uncompressed form, or one that
    // cancels the password's mask (K would be the identity).
    bool finish(const std::uint8_t peer_share[USBIP_SPAKE2_SHARE_SIZE], const void *id_a, std::size_t id_a_len,
                const void *id_b, std::size_t id_b_len, const void *aad, std::size_t aad_len);

    // After finish(): this party's confirmation, to send.
    const std::uint8_t *own_confirmation() const;
    // After finish(): whether the peer's confirmation is right, compared in
    // constant time. False before finish().
    bool peer_confirmation_ok(const std::uint8_t confirmation[USBIP_SPAKE2_CONFIRM_SIZE]) const;
    // After finish(): Ke. Only to be used once the peer's confirmation was
    // right.
    const std::uint8_t *shared_key() const;

    // The values in between, for the RFC's test vectors.
    struct trace {
        std::uint8_t k[USBIP_SPAKE2_SHARE_SIZE];
        std::uint8_t hash_tt[32];
        std::uint8_t kc_a[16];
        std::uint8_t kc_b[16];
        std::uint8_t c_a[USBIP_SPAKE2_CONFIRM_SIZE];
        std::uint8_t c_b[USBIP_SPAKE2_CONFIRM_SIZE];
        std::vector<std::uint8_t> tt;
    };
    const trace &values() const;

private:
    struct state;
    bool begin(std::shared_ptr<const usbip_spake2_secret> secret, const std::uint8_t *scalar, usbip_rng_fn rng,
               void *rng_state, std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE]);

    role role_;
    std::unique_ptr<state> s_;
};

// What one password costs before any exchange, for one role: w, and the
// points that mask it in this party's share (w*M for A, w*N for B) and take
// it out of the peer's (-w*N for A, -w*M for B): two of an exchange's four
// multiplications. Immutable once made, so that a party that runs many
// exchanges with one password (a server) makes it once and shares it
// between threads.
class usbip_spake2_secret {
public:
    // Null when a primitive fails or w is not below the group order.
    static std::shared_ptr<const usbip_spake2_secret> make(usbip_spake2::role r,
                                                           const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE],
                                                           usbip_rng_fn rng, void *rng_state);
    ~usbip_spake2_secret();
    usbip_spake2_secret(const usbip_spake2_secret &) = delete;
    usbip_spake2_secret &operator=(const usbip_spake2_secret &) = delete;

    usbip_spake2::role role() const;
    // Whether this is the secret of w for role r (compared in constant time).
    bool is(usbip_spake2::role r, const std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE]) const;

private:
    friend class usbip_spake2;
    struct data;
    usbip_spake2_secret();
    std::unique_ptr<data> d_;
};

#endif
