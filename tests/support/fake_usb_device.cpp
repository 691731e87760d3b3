#include "fake_usb_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::string format(const char *fmt, unsigned a, unsigned b = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

const std::uint8_t kDeviceDescriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00,
                                            0x00, 0x01, 1, 2, 3, 1};

}  // namespace

void FakeUsbDevice::reset_endpoints(bool configured, int alt1)
{
    std::fill(std::begin(types), std::end(types), -1);
    if (!configured) return;
    types[index(0x01)] = static_cast<int>(usbip_transfer_type::bulk);
    types[index(0x81)] = static_cast<int>(usbip_transfer_type::bulk);
    types[index(0x82)] = static_cast<int>(usbip_transfer_type::interrupt);
    if (alt1 == 1) {
        types[index(0x83)] = static_cast<int>(usbip_transfer_type::isochronous);
        types[index(0x03)] = static_cast<int>(usbip_transfer_type::isochronous);
    }
}

int FakeUsbDevice::endpoint_type(std::uint8_t address) const
{
    return types[index(address)];
}

std::int32_t FakeUsbDevice::submit(usbip_usb_transfer &t)
{
    events.push_back(format("submit 0x%02x", t.endpoint) + (t.zero_packet ? " zlp" : ""));
    if (refuse != 0) return refuse;
    waiting_.push_back(&t);
    max_held = std::max(max_held, held());
    if (!echo_) return 0;
    if (t.type == usbip_transfer_type::control) {
        const std::uint8_t *s = t.buffer.data();
        if (s[0] == 0x80 && s[1] == 6 && s[3] == 1)
            finish(t, 0, std::vector<std::uint8_t>(std::begin(kDeviceDescriptor), std::end(kDeviceDescriptor)));
        else
            finish(t, -USBIP_EPIPE);
    } else if (t.type == usbip_transfer_type::isochronous) {
        std::size_t at = 0;
        for (usbip_iso_packet &p : t.packets) {
            for (std::uint32_t j = 0; (t.endpoint & 0x80) && j < p.length; ++j)
                t.buffer[at + j] = static_cast<std::uint8_t>(at + j);
            p.actual_length = p.length;
            p.status = 0;
            at += p.length;
        }
        waiting_.pop_back();
        done(t, 0, static_cast<std::int32_t>(at));
    } else if (t.endpoint == 0x01) {
        echo_bytes_.append(t.buffer.begin(), t.buffer.end());
        waiting_.pop_back();
        done(t, 0, static_cast<std::int32_t>(t.buffer.size()));
    }
    serve_echo();
    return 0;
}

void FakeUsbDevice::serve_echo()
{
    for (auto it = waiting_.begin(); it != waiting_.end() && !echo_bytes_.empty();) {
        usbip_usb_transfer &t = **it;
        if (t.endpoint != 0x81) {
            ++it;
            continue;
        }
        std::size_t n = std::min(echo_bytes_.size(), t.buffer.size());
        std::memcpy(t.buffer.data(), echo_bytes_.data(), n);
        echo_bytes_.erase(0, n);
        it = waiting_.erase(it);
        done(t, 0, static_cast<std::int32_t>(n));
    }
}

void FakeUsbDevice::done(usbip_usb_transfer &t, std::int32_t status, std::int32_t actual)
{
    t.status = status;
    t.actual_length = actual;
    finished_.push_back(&t);
}

void FakeUsbDevice::cancel(usbip_usb_transfer &t)
{
    events.push_back(format("cancel 0x%02x", t.endpoint));
    auto it = std::find(waiting_.begin(), waiting_.end(), &t);
    if (it == waiting_.end()) return;  // finished already: it comes back with its result
    waiting_.erase(it);
    for (usbip_iso_packet &p : t.packets) {
        p.actual_length = 0;
        p.status = -USBIP_ECONNRESET;
    }
    done(t, -USBIP_ECONNRESET, 0);
}

void FakeUsbDevice::finish(usbip_usb_transfer &t, std::int32_t status, const std::vector<std::uint8_t> &data)
{
    auto it = std::find(waiting_.begin(), waiting_.end(), &t);
    if (it != waiting_.end()) waiting_.erase(it);
    const std::size_t skip = t.type == usbip_transfer_type::control ? 8 : 0;
    std::size_t n = 0;
    if (t.type == usbip_transfer_type::isochronous) {
        std::size_t at = 0;
        for (usbip_iso_packet &p : t.packets) {
            std::size_t k = std::min<std::size_t>(p.length, data.size() > at ? data.size() - at : 0);
            if (k > 0) std::memcpy(t.buffer.data() + at, data.data() + at, k);
            p.actual_length = static_cast<std::uint32_t>(k);
            p.status = status;
            n += k;
            at += p.length;
        }
    } else if (t.endpoint & 0x80 || (t.type == usbip_transfer_type::control && (t.buffer[0] & 0x80))) {
        n = std::min(data.size(), t.buffer.size() - skip);
        if (n > 0) std::memcpy(t.buffer.data() + skip, data.data(), n);
    } else {
        n = status == 0 ? t.buffer.size() - skip : 0;  // OUT: all of it went
    }
    done(t, status, static_cast<std::int32_t>(n));
}

usbip_usb_transfer *FakeUsbDevice::waiting_on(std::uint8_t endpoint) const
{
    for (usbip_usb_transfer *t : waiting_)
        if (t->endpoint == endpoint) return t;
    return nullptr;
}

int FakeUsbDevice::deliver(usbip_forward_engine &engine)
{
    int n = 0;
    while (!finished_.empty()) {
        usbip_usb_transfer *t = finished_.front();
        finished_.pop_front();
        engine.complete(*t);
        ++n;
    }
    return n;
}

std::int32_t FakeUsbDevice::set_configuration(int value)
{
    events.push_back(value == 0 ? std::string("set_configuration none") : format("set_configuration %u", unsigned(value)));
    if (refuse != 0) return refuse;
    if (value != 0 && value != 1) return -USBIP_EINVAL;
    reset_endpoints(value == 1, 0);
    return 0;
}

std::int32_t FakeUsbDevice::set_interface(int interface, int alt)
{
    events.push_back(format("set_interface %u %u", unsigned(interface), unsigned(alt)));
    if (refuse != 0) return refuse;
    if (interface < 0 || interface > 1 || alt < 0 || alt > interface) return -USBIP_EINVAL;
    if (interface == 1) reset_endpoints(true, alt);
    return 0;
}

std::int32_t FakeUsbDevice::clear_halt(std::uint8_t endpoint)
{
    events.push_back(format("clear_halt 0x%02x", endpoint));
    return refuse;
}
