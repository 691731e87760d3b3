// Small fixtures around the library's own exports, shared by the tests that
// link the library.
#ifndef HALVOREN_LIBRARY_FIXTURES_H
#define HALVOREN_LIBRARY_FIXTURES_H

#include <gtest/gtest.h>

#include "halvoren_usbip.h"
#include "test_support.h"

// Sets the client time-out for a test; the default comes back after it.
struct ClientTimeout {
    explicit ClientTimeout(int ms) { usbip_client_set_timeout(ms); }
    ~ClientTimeout() { usbip_client_set_timeout(0); }
};

// The library's relay on a free port (or the given one) for the life of the
// object.
class LibraryRelay {
public:
    LibraryRelay()
    {
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int p = free_port();
            if (usbip_relay_start(p) == 0) port_ = p;
        }
        EXPECT_NE(port_, 0) << usbip_last_error();
    }
    explicit LibraryRelay(int port) : port_(port) { EXPECT_EQ(usbip_relay_start(port), 0) << usbip_last_error(); }
    ~LibraryRelay() { usbip_relay_stop(); }
    LibraryRelay(const LibraryRelay &) = delete;
    LibraryRelay &operator=(const LibraryRelay &) = delete;
    int port() const { return port_; }

protected:
    int port_ = 0;
};

#endif
