// The relay: settings that tests and benchmarks change. usbip_relay.cpp.
#ifndef HALVOREN_USBIP_RELAY_H
#define HALVOREN_USBIP_RELAY_H

#include <cstddef>

// Pairings one client address may start with one code: a burst, then one
// every refill_ms (30 and 1000 unless changed; benchmarks that pair
// thousands of times from one address raise it). Only while the relay is
// stopped.
void usbip_relay_set_pairing_limit(int burst, int refill_ms);
// The relay's budget for wrong codes, tickets and registration keys from
// sources that have not proved themselves: room for `burst`, then one more
// every refill_ms (60 and 2000 unless changed; tests shorten them). Full
// again.
void usbip_relay_set_guess_budget(int burst, int refill_ms);
// How long a bridge may move nothing, or hold bytes for a side that takes
// none, before it ends (30,000 ms; <= 0 restores that). For bridges that
// start afterwards.
void usbip_relay_set_bridge_idle_ms(int ms);
// How long a pairing waits for its server's data connection before the
// client is told "ERROR Server failed to attach" (8,000 ms, the same as the
// client's own wait for an answer, so that either may come first; <= 0
// restores that). Tests shorten it to make the relay's answer the one seen.
void usbip_relay_set_attach_wait_ms(int ms);
// Relay threads that serve a connection now (handlers and bridges).
std::size_t usbip_relay_busy_threads();

#endif
