// The forwarded device of exit_host on Linux: the URB device of the tests
// (support/urb_device.h) on a umockdev testbed.
#include <string>

#include "exit_host_forward.h"
#include "testbed.h"
#include "urb_device.h"

namespace {

class UmockdevForwarded final : public ForwardedDevice {
public:
    const char *busid() const override { return busid_.c_str(); }
    int waiting_interrupts() override { return device_.waiting_interrupts(); }

private:
    Testbed testbed_;
    UrbDevice device_{testbed_, 4};
    std::string busid_ = device_.busid();
};

}  // namespace

ForwardedDevice *ForwardedDevice::add()
{
    if (!Testbed::preloaded()) return nullptr;
    return new UmockdevForwarded();
}
