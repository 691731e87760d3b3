// The sharing server, for the relay worker's sessions and the tests.
// usbip_server.cpp.
#ifndef HALVOREN_USBIP_SERVER_H
#define HALVOREN_USBIP_SERVER_H

#include "usbip_conn.h"

// Reads one request on a connection that passed the handshake and answers
// it from the shared table. With `forwarding`, a granted import goes on to
// carry the device's traffic on the same connection. `peer` names the
// client in the events.
void usbip_server_serve_request(usbip_conn &conn, bool forwarding = false, const char *peer = "");

// How long a session may take for everything before its reply, and again
// for writing the reply (tests shorten it).
void usbip_server_set_session_limit_ms(int ms);
// Takes every share rule out of force and ends the device watch; what the
// rules shared stays shared. For usbip_cleanup, before USB closes.
void usbip_server_forget_rules();
// Seconds between the relay worker's heartbeats (tests shorten it).
void usbip_server_set_heartbeat_period(int seconds);
// Pauses between attempts of a lost registration to register again: the
// first, doubled after each failure up to the longest (1,000 and 60,000 ms;
// <= 0 restores them).
void usbip_server_set_reregister_pauses(int first_ms, int max_ms);

#endif
