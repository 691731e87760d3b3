#include "urb_device.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

std::string hex(const std::vector<std::uint8_t> &bytes)
{
    std::string out;
    char b[3];
    for (std::uint8_t c : bytes) {
        std::snprintf(b, sizeof b, "%02X", c);
        out += b;
    }
    return out;
}

std::string format(const char *fmt, unsigned a, unsigned b = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// The argument of an ioctl that points to a struct of type T.
template <typename T>
struct Arg {
    explicit Arg(UMockdevIoctlClient *client)
        : data(umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(T), nullptr))
    {
    }
    ~Arg()
    {
        if (data != nullptr) umockdev_ioctl_data_unref(data);
    }
    Arg(const Arg &) = delete;
    Arg &operator=(const Arg &) = delete;
    T *operator->() const { return reinterpret_cast<T *>(data->data); }
    T &operator*() const { return *reinterpret_cast<T *>(data->data); }
    UMockdevIoctlData *data;
};

}  // namespace

bool UrbDevice::has_kernel_drivers() { return true; }

UrbDevice::UrbDevice(Testbed &testbed, unsigned port) : UrbDevice(testbed, std::to_string(port), port) {}

UrbDevice::UrbDevice(Testbed &testbed, const std::string &ports, unsigned address)
    : testbed_(testbed), ports_(ports), address_(address)
{
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UrbDevice::on_ioctl), this);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", kBus, address);
    GError *error = nullptr;
    // Attached before the device exists, so that no open misses it.
    if (!umockdev_testbed_attach_ioctl(testbed_.handle(), node, handler_, &error)) {
        std::string msg = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("umockdev attach: " + msg);
    }
    std::vector<std::uint8_t> all = device_descriptor();
    std::vector<std::uint8_t> config = config_descriptor();
    all.insert(all.end(), config.begin(), config.end());
    const std::string desc = hex(all);
    char record[2048];
    std::snprintf(record, sizeof record,
                  "P: %s\nN: bus/usb/%03u/%03u=%s\nE: DEVNAME=%s\n"
                  "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\nE: BUSNUM=%03u\nE: DEVNUM=%03u\n"
                  "A: busnum=%u\nA: devnum=%u\nA: speed=480\nA: bConfigurationValue=1\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nH: descriptors=%s\n",
                  syspath().substr(4).c_str(), kBus, address, desc.c_str(), node, kBus, address, kBus, address, kVendor,
                  kProduct, desc.c_str());
    if (!umockdev_testbed_add_from_string(testbed_.handle(), record, &error)) {
        std::string msg = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("umockdev add: " + msg);
    }
}

UrbDevice::~UrbDevice()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto *list : {&bulk_in_, &interrupt_in_, &completed_, &discarded_})
        for (Urb &u : *list) release(u);
    g_object_unref(handler_);
}

bool UrbDevice::complete_interrupt(const std::vector<std::uint8_t> &data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (interrupt_in_.empty()) return false;
    Urb u = interrupt_in_.front();
    interrupt_in_.pop_front();
    auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
    std::size_t n = std::min<std::size_t>(data.size(), static_cast<std::size_t>(urb->buffer_length));
    if (n > 0) std::memcpy(u.buffer->data, data.data(), n);
    finish(u, 0, static_cast<int>(n));
    return true;
}

int UrbDevice::waiting_interrupts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(interrupt_in_.size());
}

int UrbDevice::urbs_in_flight()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(bulk_in_.size() + interrupt_in_.size() + completed_.size() + discarded_.size());
}

std::vector<std::string> UrbDevice::events()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

void UrbDevice::clear_events()
{
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

bool UrbDevice::claimed(unsigned interface)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return interface < 2 && claimed_by_[interface] != nullptr;
}

bool UrbDevice::driver_bound(unsigned interface)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return interface < 2 && bound_[interface];
}

std::vector<std::uint8_t> UrbDevice::iso_out_data()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return iso_out_;
}

// ---------------------------------------------------------------------------
// The usbfs side

int UrbDevice::on_ioctl(_UMockdevIoctlBase *, _UMockdevIoctlClient *client, void *self)
{
    return static_cast<UrbDevice *>(self)->handle(client);
}

unsigned UrbDevice::interface_of(unsigned char ep) { return (ep & 0x0f) == 3 ? 1 : 0; }

void UrbDevice::release(Urb &u)
{
    if (u.buffer != nullptr) umockdev_ioctl_data_unref(u.buffer);
    if (u.urb != nullptr) umockdev_ioctl_data_unref(u.urb);
    u = Urb{};
}

// Caller holds the lock.
void UrbDevice::finish(Urb &u, int status, int actual)
{
    auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
    urb->status = status;
    urb->actual_length = actual;
    completed_.push_back(u);
}

int UrbDevice::handle(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::lock_guard<std::mutex> lock(mutex_);
    auto done = [client](int errno_value) {
        umockdev_ioctl_client_complete(client, errno_value == 0 ? 0 : -1, errno_value);
        return TRUE;
    };
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        Arg<std::uint32_t> caps(client);
        *caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return done(0);
    }
    case USBDEVFS_GETDRIVER: {
        Arg<usbdevfs_getdriver> get(client);
        if (get->interface >= 2 || !bound_[get->interface]) return done(ENODATA);
        std::snprintf(get->driver, sizeof get->driver, "%s", kDriver);
        return done(0);
    }
    case USBDEVFS_IOCTL: {
        Arg<usbdevfs_ioctl> io(client);
        if (io->ifno < 0 || io->ifno >= 2) return done(EINVAL);
        const unsigned i = static_cast<unsigned>(io->ifno);
        if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (!bound_[i]) return done(ENODATA);
            bound_[i] = false;
            record(format("detach %u", i));
            return done(0);
        }
        if (io->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
            // As the kernel: no driver binds to an interface that somebody holds.
            if (bound_[i] || claimed_by_[i] != nullptr) return done(EBUSY);
            bound_[i] = i == 0;  // only interface 0 has a driver that wants it
            record(format("attach %u", i));
            return done(0);
        }
        return done(ENOTTY);
    }
    case USBDEVFS_CLAIMINTERFACE: {
        Arg<unsigned> i(client);
        if (*i >= 2) return done(ENOENT);
        if (bound_[*i] || (claimed_by_[*i] != nullptr && claimed_by_[*i] != client)) return done(EBUSY);
        claimed_by_[*i] = client;
        record(format("claim %u", *i));
        return done(0);
    }
    case USBDEVFS_RELEASEINTERFACE: {
        Arg<unsigned> i(client);
        if (*i >= 2 || claimed_by_[*i] != client) return done(EINVAL);
        claimed_by_[*i] = nullptr;
        record(format("release %u", *i));
        return done(0);
    }
    case USBDEVFS_SETCONFIGURATION: {
        Arg<int> value(client);
        // As the kernel: not while any interface is held by anybody.
        for (unsigned i = 0; i < 2; ++i)
            if (claimed_by_[i] != nullptr || bound_[i]) return done(EBUSY);
        if (*value != 1 && *value != 0 && *value != -1) return done(EINVAL);
        const bool configured = *value == 1;
        record(configured ? "set_configuration 1" : "set_configuration none");
        // The kernel makes the interfaces anew and its drivers bind again;
        // sysfs, where libusb reads the active configuration, follows.
        bound_[0] = configured;
        alt_[0] = alt_[1] = 0;
        umockdev_testbed_set_attribute(testbed_.handle(), syspath().c_str(), "bConfigurationValue",
                                       configured ? "1" : "");
        return done(0);
    }
    case USBDEVFS_SETINTERFACE: {
        Arg<usbdevfs_setinterface> set(client);
        const unsigned i = set->interface, alt = set->altsetting;
        if (i >= 2 || alt > i) return done(EINVAL);
        alt_[i] = alt;
        record(format("set_interface %u %u", i, alt));
        return done(0);
    }
    case USBDEVFS_CLEAR_HALT: {
        Arg<unsigned> ep(client);
        record(format("clear_halt 0x%02x", *ep));
        return done(0);
    }
    case USBDEVFS_RESETEP:
        return done(0);
    case USBDEVFS_RESET:
        record("reset");
        return done(0);
    case USBDEVFS_SUBMITURB:
        submit(client);
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(client);
        return TRUE;
    case USBDEVFS_DISCARDURB:
        discard(client);
        return TRUE;
    default:
        return FALSE;  // umockdev fails the ioctl
    }
}

// Caller holds the lock (for this and the two below).
void UrbDevice::submit(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    unsigned long client_addr = 0;
    std::memcpy(&client_addr, arg->data, sizeof client_addr);
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    auto *urb = reinterpret_cast<usbdevfs_urb *>(data->data);
    if (urb->type == USBDEVFS_URB_TYPE_ISO && urb->number_of_packets > 0) {
        // The packet descriptors follow the struct: resolve it again with
        // them. (Resolving replaced the address in the argument: put it back.)
        const std::size_t size =
            sizeof(usbdevfs_urb) + static_cast<std::size_t>(urb->number_of_packets) * sizeof(usbdevfs_iso_packet_desc);
        umockdev_ioctl_data_unref(data);
        umockdev_ioctl_data_reload(arg, nullptr);
        std::memcpy(arg->data, &client_addr, sizeof client_addr);
        data = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
        urb = reinterpret_cast<usbdevfs_urb *>(data->data);
    }
    Urb u;
    u.urb = data;
    u.client_addr = client_addr;
    u.owner = client;
    if (urb->buffer_length > 0)
        u.buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                               static_cast<gsize>(urb->buffer_length), nullptr);
    const unsigned char ep = urb->endpoint;
    int refuse = 0;
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL) {
        const unsigned i = interface_of(ep);
        // As the kernel: an interface a driver holds takes no URBs from here,
        // and only endpoints of the current alternate setting exist.
        if (bound_[i]) refuse = EBUSY;
        if (i == 1 && alt_[1] != 1) refuse = ENOENT;
    }
    switch (refuse != 0 ? 0xff : urb->type) {
    case USBDEVFS_URB_TYPE_CONTROL:
        answer_control(u);
        break;
    case USBDEVFS_URB_TYPE_BULK:
        if (ep == 0x01) {
            if (u.buffer != nullptr) echo_.append(reinterpret_cast<const char *>(u.buffer->data), u.buffer->data_len);
            finish(u, 0, urb->buffer_length);
            serve_bulk_in();
        } else if (ep == 0x81) {
            bulk_in_.push_back(u);
            serve_bulk_in();
        } else {
            refuse = ENOENT;
        }
        break;
    case USBDEVFS_URB_TYPE_INTERRUPT:
        if (ep == 0x82) interrupt_in_.push_back(u);
        else refuse = ENOENT;
        break;
    case USBDEVFS_URB_TYPE_ISO: {
        if (ep != 0x83 && ep != 0x03) {
            refuse = ENOENT;
            break;
        }
        unsigned offset = 0, total = 0;
        for (int i = 0; i < urb->number_of_packets; ++i) {
            usbdevfs_iso_packet_desc &p = urb->iso_frame_desc[i];
            for (unsigned j = 0; j < p.length && offset + j < static_cast<unsigned>(urb->buffer_length); ++j) {
                if (ep == 0x83)
                    u.buffer->data[offset + j] = iso_in_byte(static_cast<unsigned>(i), j);
                else
                    iso_out_.push_back(u.buffer->data[offset + j]);
            }
            p.actual_length = p.length;
            p.status = 0;
            offset += p.length;
            total += p.length;
        }
        finish(u, 0, static_cast<int>(total));
        break;
    }
    default:
        break;
    }
    if (refuse != 0) {
        release(u);
        umockdev_ioctl_client_complete(client, -1, refuse);
        return;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UrbDevice::answer_control(Urb &u)
{
    auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
    if (u.buffer == nullptr || urb->buffer_length < 8) {
        finish(u, -EINVAL, 0);
        return;
    }
    unsigned char *setup = u.buffer->data;
    const unsigned type = setup[0], request = setup[1];
    const unsigned value = setup[2] | setup[3] << 8, index = setup[4] | setup[5] << 8;
    const unsigned length = setup[6] | setup[7] << 8;
    char event[64];
    std::snprintf(event, sizeof event, "control %02x %02x %04x %04x %04x", type, request, value, index, length);
    record(event);
    std::vector<std::uint8_t> reply;
    if (type == 0x80 && request == 6) {
        switch (value >> 8) {
        case 1: reply = device_descriptor(); break;
        case 2: if ((value & 0xff) == 0) reply = config_descriptor(); break;
        case 3: reply = string_descriptor(value & 0xff); break;
        default: break;
        }
    }
    if (reply.empty()) {
        finish(u, -EPIPE, 0);  // a stall, as a device answers what it does not know
        return;
    }
    std::size_t n = std::min<std::size_t>({reply.size(), length, static_cast<std::size_t>(urb->buffer_length) - 8});
    std::memcpy(setup + 8, reply.data(), n);
    finish(u, 0, static_cast<int>(n));  // the setup packet does not count
}

void UrbDevice::serve_bulk_in()
{
    while (!bulk_in_.empty() && !echo_.empty()) {
        Urb u = bulk_in_.front();
        bulk_in_.pop_front();
        auto *urb = reinterpret_cast<usbdevfs_urb *>(u.urb->data);
        std::size_t n = std::min<std::size_t>(echo_.size(), static_cast<std::size_t>(urb->buffer_length));
        if (n > 0) std::memcpy(u.buffer->data, echo_.data(), n);
        echo_.erase(0, n);
        finish(u, 0, static_cast<int>(n));
    }
}

void UrbDevice::reap(UMockdevIoctlClient *client)
{
    // As usbfs does, each open file reaps its own URBs only: the library may
    // read a device's strings while a session forwards it.
    std::deque<Urb> *from = nullptr;
    std::deque<Urb>::iterator it;
    for (std::deque<Urb> *list : {&discarded_, &completed_}) {
        it = std::find_if(list->begin(), list->end(), [client](const Urb &u) { return u.owner == client; });
        if (it != list->end()) {
            from = list;
            break;
        }
    }
    if (from == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    Urb u = *it;
    from->erase(it);
    if (from == &discarded_) reinterpret_cast<usbdevfs_urb *>(u.urb->data)->status = -ENOENT;
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void *),
                                                          nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(slot);
    release(u);
}

void UrbDevice::discard(UMockdevIoctlClient *client)
{
    unsigned long addr = 0;
    std::memcpy(&addr, umockdev_ioctl_client_get_arg(client)->data, sizeof addr);
    for (std::deque<Urb> *list : {&bulk_in_, &interrupt_in_}) {
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (it->client_addr != addr || it->owner != client) continue;
            discarded_.push_back(*it);
            list->erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);  // completed already: the reap will return it
}
