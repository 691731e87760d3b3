// The relay: settings that tests and benchmarks change. usbip_relay.cpp.
#ifndef HALVOREN_USBIP_RELAY_H
#define HALVOREN_USBIP_RELAY_H

// Pairings one client address may start with one code: a burst, then one
// every refill_ms (30 and 1000 unless changed; benchmarks that pair
// thousands of times from one address raise it). Only while the relay is
// stopped.
void usbip_relay_set_pairing_limit(int burst, int refill_ms);

#endif
