// The TLS layer: the random generator and the server certificate that
// sessions share, and TLS sessions installed as the stream of a
// connection. usbip_tls.cpp.
#ifndef HALVOREN_USBIP_TLS_H
#define HALVOREN_USBIP_TLS_H

#include <cstdint>
#include <memory>
#include <string>

#include "usbip_cert.h"
#include "usbip_conn.h"
#include "usbip_rng.h"
#include "usbip_secure_auth.h"

// Starts the layer (the crypto layer under TLS and the random generator);
// 0 also when started. usbip_tls_cleanup releases what no session uses.
int usbip_tls_init();
void usbip_tls_cleanup();
// Runs the TLS handshake on a connected socket within the connection's
// deadline and installs the session as its stream. 0, or -1 with the
// thread's message set.
int usbip_tls_wrap_server(usbip_conn *c);
// The client also checks the key the server presented against the
// fingerprint that usbip_tls_pin set on this thread, if any.
int usbip_tls_wrap_client(usbip_conn *c);
// The same for a session keyed by the password exchange on a connection
// without TLS: TLS with a pre-shared key and ECDHE.
int usbip_tls_wrap_psk_server(usbip_conn *c, const std::uint8_t psk[USBIP_SESSION_PSK_SIZE]);
int usbip_tls_wrap_psk_client(usbip_conn *c, const std::uint8_t psk[USBIP_SESSION_PSK_SIZE]);
// The secret of the TLS session on `c` that the password exchange binds
// itself to (an exporter secret, equal at both ends of one session only).
// 0, or -1 with the thread's message set.
int usbip_tls_binding(usbip_conn *c, std::uint8_t out[USBIP_SECURE_BINDING_SIZE]);
// The version and suite of the session on `c` ("TLSv1.2
// TLS-ECDHE-PSK-WITH-CHACHA20-POLY1305-SHA256"); "" without one.
std::string usbip_tls_describe(usbip_conn *c);
// The fingerprint of the key the server presented on `c`.
int usbip_tls_peer_fingerprint(usbip_conn *c, char out[USBIP_FINGERPRINT_SIZE]);
// Sets the fingerprint this thread's TLS clients require (null or empty:
// none). -1 with the thread's message set when it is no fingerprint.
int usbip_tls_pin(const char *fingerprint);
// The fingerprint pinned on this thread, empty for none.
std::string usbip_tls_pinned();
// The library's generator, starting the layer when needed; null with the
// thread's message set.
std::shared_ptr<usbip_rng> usbip_tls_rng();

#endif
