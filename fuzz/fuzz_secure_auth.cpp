// The secure password exchange's steps on arbitrary peer bytes: the server
// given a share and a confirmation from the input, and the client given the
// server's share, result and confirmation from the input.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "usbip_secure_auth.h"

namespace {

int counter_rng(void *state, unsigned char *out, std::size_t len)
{
    auto *n = static_cast<std::uint64_t *>(state);
    for (std::size_t i = 0; i < len; ++i) {
        *n = *n * 6364136223846793005ULL + 1442695040888963407ULL;
        out[i] = static_cast<unsigned char>(*n >> 56);
    }
    return 0;
}

// Takes the next `len` bytes of the input, zero-filled past its end.
void take(const std::uint8_t *&data, std::size_t &size, std::uint8_t *out, std::size_t len)
{
    std::size_t n = size < len ? size : len;
    if (n != 0)
        std::memcpy(out, data, n);
    std::memset(out + n, 0, len - n);
    data += n;
    size -= n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    usbip_secure_context context;
    context.challenge[0] = 1;
    std::uint64_t seed = size;

    std::uint8_t client_share[USBIP_SPAKE2_SHARE_SIZE], client_confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
    take(data, size, client_share, sizeof client_share);
    take(data, size, client_confirmation, sizeof client_confirmation);
    usbip_secure_server server(context);
    std::uint8_t share[USBIP_SPAKE2_SHARE_SIZE], accept[USBIP_SECURE_ACCEPT_SIZE], psk[USBIP_SESSION_PSK_SIZE];
    if (server.answer("pw", counter_rng, &seed, client_share, share) &&
        server.client_proved(client_confirmation, accept))
        server.session_psk(psk);

    std::uint8_t server_share[USBIP_SPAKE2_SHARE_SIZE], server_answer[USBIP_SECURE_ACCEPT_SIZE];
    take(data, size, server_share, sizeof server_share);
    take(data, size, server_answer, sizeof server_answer);
    usbip_secure_client client(context);
    std::uint8_t open[USBIP_SECURE_OPEN_SIZE], confirmation[USBIP_SPAKE2_CONFIRM_SIZE];
    if (client.open("pw", counter_rng, &seed, open) && client.confirm(server_share, confirmation) &&
        client.server_proved(server_answer + 4))
        client.session_psk(psk);
    return 0;
}
