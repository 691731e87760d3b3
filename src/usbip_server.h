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
// The server's budget for wrong passwords from sources that have not proved
// the password recently: room for `burst`, then one more every refill_ms
// (60 and 2000 unless changed; tests shorten them). Full again.
void usbip_server_set_guess_budget(int burst, int refill_ms);
// TLS handshakes of sources that have not proved the password recently: per
// source a burst, then one every per_source_refill_ms (10 and 200), and for
// all of them together a burst, then one every refill_ms (100 and 20).
// Only while the server is stopped.
void usbip_server_set_tls_limits(int per_source_burst, int per_source_refill_ms, int burst, int refill_ms);

#endif
