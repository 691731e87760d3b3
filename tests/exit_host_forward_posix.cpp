// The forwarded device of exit_host on Linux: the URB device of the tests
// (support/urb_device.h) and a raw client on the server's port.
#include <cstring>
#include <string>

#include "exit_host_forward.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_device.h"

namespace {

class UmockdevForwarded final : public ForwardedDevice {
public:
    const char *busid() const override { return busid_.c_str(); }

    bool import_and_wait(int port) override
    {
        int fd = raw_connect(port);
        if (fd < 0 || !raw_client_handshake(fd)) return false;
        std::string request = be16(0x0111) + be16(0x8003) + be32(0) + busid_;
        request.resize(8 + 32, '\0');
        if (!raw_send(fd, request)) return false;
        std::string reply = raw_recv_n(fd, 8 + 312);
        if (reply.size() != 320 || be32_at(reply, 4) != 0) return false;
        // An interrupt IN on endpoint 2 of bus 1, device 1: it waits until
        // the device answers, which it never does here.
        std::string submit = be32(1) + be32(1) + be32(0x00010001) + be32(1) + be32(2) + be32(0x200) + be32(64) +
                             be32(0) + be32(0) + be32(0) + std::string(8, '\0');
        if (!raw_send(fd, submit)) return false;
        return wait_until([this] { return device_.waiting_interrupts() == 1; }, 5000);
        // The connection stays open for the rest of the process.
    }

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
