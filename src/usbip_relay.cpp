// Relay service.
#include "usbip_internal.h"

extern "C" void usbip_relay_stop(void) {}
