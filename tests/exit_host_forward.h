// A device forwarded by the library that exit_host loads: an emulated
// device (Linux: umockdev, so exit_host runs under umockdev-wrapper), and
// a client that imports it and leaves a URB waiting in it.
#ifndef HALVOREN_EXIT_HOST_FORWARD_H
#define HALVOREN_EXIT_HOST_FORWARD_H

class ForwardedDevice {
public:
    // Adds the device; it must exist before the library's first inventory.
    static ForwardedDevice *add();
    virtual ~ForwardedDevice() = default;
    // The bus id to share.
    virtual const char *busid() const = 0;
    // Imports it from the server at `port` (no password) and submits an
    // interrupt URB that stays in flight; true once the device holds it.
    virtual bool import_and_wait(int port) = 0;
};

#endif
