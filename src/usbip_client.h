// Client queries, for the modules and tools that pair by code. usbip_client.cpp.
#ifndef HALVOREN_USBIP_CLIENT_H
#define HALVOREN_USBIP_CLIENT_H

#include "usbip_conn.h"

// Lists a server by code on a connection to a relay: the CONNECT line, the
// relay's answer, then the handshake and the list through the bridge.
const char *usbip_client_list_by_code_on(usbip_conn *conn, const char *code, const char *password);
// The first half of that: the CONNECT line and the relay's answer. 0 when
// the connection now leads to the server (its handshake comes next), -1
// with the thread's message set.
int usbip_client_pair_by_code(usbip_conn *conn, const char *code);

#endif
