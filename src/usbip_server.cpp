// Sharing server.
#include "usbip_internal.h"

extern "C" void usbip_server_stop(void) {}
