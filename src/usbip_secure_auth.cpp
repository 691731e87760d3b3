// The secure password exchange's byte layouts and steps.
#include "usbip_secure_auth.h"

#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include <mbedtls/hkdf.h>
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

#include "usbip_bytes.h"

namespace {

const char kMarker[] = "halvoren-usbip secure upgrade v1";
static_assert(sizeof kMarker - 1 == USBIP_MARKER_SIZE, "the marker fills its 32 bytes");

// SPAKE2's identities: the two roles, named so that neither end can be
// made to play the other's part.
const char kClientIdentity[] = "halvoren-usbip client";
const char kServerIdentity[] = "halvoren-usbip server";
const char kPskInfo[] = "halvoren-usbip TLS-PSK";

// The confirmations' associated data: the challenge, then the TLS secret
// when there is one (fixed sizes, so the two forms never collide).
std::vector<std::uint8_t> associated_data(const usbip_secure_context &c)
{
    std::vector<std::uint8_t> aad(c.challenge, c.challenge + sizeof c.challenge);
    if (c.bound) aad.insert(aad.end(), c.binding, c.binding + sizeof c.binding);
    return aad;
}

bool finish(usbip_spake2 &pake, const usbip_secure_context &context, const std::uint8_t *peer_share)
{
    std::vector<std::uint8_t> aad = associated_data(context);
    return pake.finish(peer_share, kClientIdentity, sizeof kClientIdentity - 1, kServerIdentity,
                       sizeof kServerIdentity - 1, aad.data(), aad.size());
}

bool password_scalar(const char *password, std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE])
{
    return password != nullptr && password[0] != '\0' &&
        usbip_spake2_password_scalar(password, std::strlen(password), w);
}

// The points of the last few passwords, by role: a server makes its
// password's once rather than on every connection, and a host that lists
// again and again does the same. Kept as shared, immutable objects; the
// mutex guards the list only.
class SecretCache {
public:
    std::shared_ptr<const usbip_spake2_secret> get(usbip_spake2::role r, const char *password, usbip_rng_fn rng,
                                                   void *rng_state)
    {
        std::uint8_t w[USBIP_SPAKE2_SCALAR_SIZE];
        if (!password_scalar(password, w)) return nullptr;
        std::shared_ptr<const usbip_spake2_secret> found;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (!(*it)->is(r, w)) continue;
                found = *it;
                entries_.erase(it);
                entries_.push_front(found);  // the most recent first
                break;
            }
        }
        if (!found) {
            found = usbip_spake2_secret::make(r, w, rng, rng_state);
            if (found) {
                std::lock_guard<std::mutex> lock(mutex_);
                entries_.push_front(found);
                if (entries_.size() > kEntries) entries_.pop_back();
            }
        }
        mbedtls_platform_zeroize(w, sizeof w);
        return found;
    }

private:
    static constexpr std::size_t kEntries = 4;
    std::mutex mutex_;
    std::list<std::shared_ptr<const usbip_spake2_secret>> entries_;
};

SecretCache &secrets()
{
    static SecretCache *cache = new SecretCache();  // threads may outlive a host that exits without cleanup
    return *cache;
}

// The pre-shared key of the TLS session that follows: Ke, expanded for
// this one use.
bool derive_psk(const usbip_spake2 &pake, std::uint8_t out[USBIP_SESSION_PSK_SIZE])
{
    const std::uint8_t *ke = pake.shared_key();
    return ke != nullptr &&
        mbedtls_hkdf(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), nullptr, 0, ke, USBIP_SPAKE2_KEY_SIZE,
                     reinterpret_cast<const unsigned char *>(kPskInfo), sizeof kPskInfo - 1, out,
                     USBIP_SESSION_PSK_SIZE) == 0;
}

}  // namespace

const std::uint8_t usbip_upgrade_marker[USBIP_MARKER_SIZE] = {
    'h', 'a', 'l', 'v', 'o', 'r', 'e', 'n', '-', 'u', 's', 'b', 'i', 'p', ' ', 's',
    'e', 'c', 'u', 'r', 'e', ' ', 'u', 'p', 'g', 'r', 'a', 'd', 'e', ' ', 'v', '1',
};

std::uint32_t usbip_greeting_flag(bool has_password, bool offers_secure)
{
    if (!has_password) return 0;
    return offers_secure ? USBIP_FLAG_PASSWORD | USBIP_FLAG_SECURE : USBIP_FLAG_PASSWORD;
}

bool usbip_is_upgrade_marker(const std::uint8_t reply[USBIP_MARKER_SIZE])
{
    // Not secret: an ordinary comparison.
    return std::memcmp(reply, usbip_upgrade_marker, USBIP_MARKER_SIZE) == 0;
}

bool usbip_secure_client::open(const char *password, usbip_rng_fn rng, void *rng_state,
                               std::uint8_t out[USBIP_SECURE_OPEN_SIZE])
{
    auto secret = secrets().get(usbip_spake2::role::a, password, rng, rng_state);
    bool ok = secret && pake_.start(std::move(secret), rng, rng_state, out + USBIP_MARKER_SIZE);
    if (ok) std::memcpy(out, usbip_upgrade_marker, USBIP_MARKER_SIZE);
    return ok;
}

bool usbip_secure_client::confirm(const std::uint8_t server_share[USBIP_SPAKE2_SHARE_SIZE],
                                  std::uint8_t out[USBIP_SPAKE2_CONFIRM_SIZE])
{
    if (!finish(pake_, context_, server_share)) return false;
    std::memcpy(out, pake_.own_confirmation(), USBIP_SPAKE2_CONFIRM_SIZE);
    return true;
}

bool usbip_secure_client::server_proved(const std::uint8_t server_confirmation[USBIP_SPAKE2_CONFIRM_SIZE])
{
    proved_ = pake_.peer_confirmation_ok(server_confirmation);
    return proved_;
}

bool usbip_secure_client::session_psk(std::uint8_t out[USBIP_SESSION_PSK_SIZE]) const
{
    return proved_ && derive_psk(pake_, out);
}

bool usbip_secure_server::answer(const char *password, usbip_rng_fn rng, void *rng_state,
                                 const std::uint8_t client_share[USBIP_SPAKE2_SHARE_SIZE],
                                 std::uint8_t out[USBIP_SPAKE2_SHARE_SIZE])
{
    // Garbage costs no multiplication.
    if (!usbip_spake2_valid_share(client_share)) return false;
    auto secret = secrets().get(usbip_spake2::role::b, password, rng, rng_state);
    bool ok = secret && pake_.start(std::move(secret), rng, rng_state, out) && finish(pake_, context_, client_share);
    answered_ = ok;
    return ok;
}

bool usbip_secure_server::client_proved(const std::uint8_t client_confirmation[USBIP_SPAKE2_CONFIRM_SIZE],
                                        std::uint8_t out[USBIP_SECURE_ACCEPT_SIZE])
{
    proved_ = answered_ && pake_.peer_confirmation_ok(client_confirmation);
    usbip_put_be32(out, proved_ ? 0 : 1);
    if (proved_)
        std::memcpy(out + 4, pake_.own_confirmation(), USBIP_SPAKE2_CONFIRM_SIZE);
    else
        std::memset(out + 4, 0, USBIP_SPAKE2_CONFIRM_SIZE);
    return proved_;
}

bool usbip_secure_server::session_psk(std::uint8_t out[USBIP_SESSION_PSK_SIZE]) const
{
    return proved_ && derive_psk(pake_, out);
}
