// The forwarded device of exit_host on Windows: the URB device of the
// stand-in libusb-1.0.dll that lies beside exit_host, loaded here before
// the library so that the library's import of libusb finds it.
#include <windows.h>

#include "exit_host_forward.h"
#include "fake_libusb.h"

namespace {

class StandInForwarded final : public ForwardedDevice {
public:
    const char *busid() const override { return "1-4"; }
    int waiting_interrupts() override
    {
        return fake_libusb<int (*)(unsigned, unsigned, int)>("fake_libusb_count")(1, 4, 0);
    }
};

}  // namespace

ForwardedDevice *ForwardedDevice::add()
{
    HMODULE usb = LoadLibraryA("libusb-1.0.dll");
    if (usb == nullptr || GetProcAddress(usb, "fake_libusb_add_urb_device") == nullptr) return nullptr;
    if (!fake_libusb<int (*)(unsigned, unsigned, unsigned)>("fake_libusb_add_urb_device")(1, 4, 4)) return nullptr;
    return new StandInForwarded();
}
