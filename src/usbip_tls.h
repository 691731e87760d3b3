// The TLS layer: the random generator and the server certificate that
// sessions share, and TLS sessions installed as the stream of a
// connection. usbip_tls.cpp.
#ifndef HALVOREN_USBIP_TLS_H
#define HALVOREN_USBIP_TLS_H

#include "usbip_conn.h"

// Starts the layer (the crypto layer under TLS and the random generator);
// 0 also when started. usbip_tls_cleanup releases what no session uses.
int usbip_tls_init();
void usbip_tls_cleanup();
// Runs the TLS handshake on a connected socket within the connection's
// deadline and installs the session as its stream. 0, or -1 with the
// thread's message set.
int usbip_tls_wrap_server(usbip_conn *c);
int usbip_tls_wrap_client(usbip_conn *c);

#endif
