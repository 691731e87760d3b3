// A device that the library exit_host loads can forward: an emulated URB
// device (Linux: umockdev, so exit_host runs under umockdev-wrapper;
// Windows: the stand-in libusb-1.0.dll beside exit_host).
#ifndef HALVOREN_EXIT_HOST_FORWARD_H
#define HALVOREN_EXIT_HOST_FORWARD_H

class ForwardedDevice {
public:
    // Adds the device; it must exist before the library's first inventory.
    // Null when this process has no emulated USB.
    static ForwardedDevice *add();
    virtual ~ForwardedDevice() = default;
    // The bus id to share.
    virtual const char *busid() const = 0;
    // Interrupt IN transfers waiting in the device.
    virtual int waiting_interrupts() = 0;
};

#endif
