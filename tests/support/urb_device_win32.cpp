// The URB device of the Windows tests: served by the stand-in
// libusb-1.0.dll (fake_libusb_win32.c), which this program's folder holds
// in place of libusb. As Windows' libusb sees a WinUSB device, it has no
// kernel drivers and no hot-plug events.
#include <stdexcept>

#include "fake_libusb.h"
#include "urb_device.h"

bool UrbDevice::has_kernel_drivers() { return false; }

UrbDevice::UrbDevice(Testbed &testbed, unsigned port) : UrbDevice(testbed, std::to_string(port), port) {}

UrbDevice::UrbDevice(Testbed &testbed, const std::string &ports, unsigned address)
    : testbed_(testbed), ports_(ports), address_(address)
{
    if (ports.find('.') != std::string::npos) throw std::runtime_error("stand-in libusb: no hubs");
    using Add = int (*)(unsigned, unsigned, unsigned);
    if (!fake_libusb<Add>("fake_libusb_add_urb_device")(kBus, static_cast<unsigned>(std::stoul(ports)), address))
        throw std::runtime_error("stand-in libusb: too many devices");
}

// The testbed's reset removes it.
UrbDevice::~UrbDevice() = default;

namespace {

unsigned port_of(const std::string &ports) { return static_cast<unsigned>(std::stoul(ports)); }

int count(const std::string &ports, int what)
{
    return fake_libusb<int (*)(unsigned, unsigned, int)>("fake_libusb_count")(UrbDevice::kBus, port_of(ports), what);
}

}  // namespace

bool UrbDevice::complete_interrupt(const std::vector<std::uint8_t> &data)
{
    using Complete = int (*)(unsigned, unsigned, const unsigned char *, int);
    return fake_libusb<Complete>("fake_libusb_complete_interrupt")(kBus, port_of(ports_), data.data(),
                                                                   static_cast<int>(data.size())) != 0;
}

int UrbDevice::waiting_interrupts() { return count(ports_, 0); }

int UrbDevice::urbs_in_flight() { return count(ports_, 1); }

std::vector<std::string> UrbDevice::events()
{
    using Events = int (*)(unsigned, unsigned, char *, int);
    auto get = fake_libusb<Events>("fake_libusb_events");
    std::string text(1024, '\0');
    int need = get(kBus, port_of(ports_), &text[0], static_cast<int>(text.size()));
    if (need > static_cast<int>(text.size())) {
        text.assign(static_cast<std::size_t>(need), '\0');
        get(kBus, port_of(ports_), &text[0], need);
    }
    text.resize(text.find('\0'));
    std::vector<std::string> out;
    for (std::size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        out.push_back(text.substr(pos, nl - pos));
    return out;
}

void UrbDevice::clear_events()
{
    fake_libusb<void (*)(unsigned, unsigned)>("fake_libusb_clear_events")(kBus, port_of(ports_));
}

bool UrbDevice::claimed(unsigned interface) { return interface < 2 && count(ports_, 2 + static_cast<int>(interface)) != 0; }

// No kernel drivers here.
bool UrbDevice::driver_bound(unsigned) { return false; }

std::vector<std::uint8_t> UrbDevice::iso_out_data()
{
    std::vector<std::uint8_t> out(16384);
    int n = fake_libusb<int (*)(unsigned, unsigned, unsigned char *, int)>("fake_libusb_iso_out")(
        kBus, port_of(ports_), out.data(), static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}
