// The local inventory on an in-process umockdev testbed, where the tests play
// the devices' part: an ioctl handler answers the control transfers that read
// string descriptors, and devices come and go while the library runs.
// The program runs under umockdev-wrapper (tests/enum.cmake).
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "usbip_device.h"
#include "usbip_enum.h"

namespace {

constexpr const char *kSysPrefix = "/devices/pci0000:00/0000:00:14.0/";

// A device descriptor (18 bytes) and one configuration with one interface.
std::string descriptors_hex(unsigned vid, unsigned pid, unsigned dev_class, unsigned iface_class,
                            unsigned i_manufacturer, unsigned i_product)
{
    const unsigned char bytes[] = {
        18, 1, 0x00, 0x02, static_cast<unsigned char>(dev_class), 0, 0, 64,
        static_cast<unsigned char>(vid & 0xff), static_cast<unsigned char>(vid >> 8),
        static_cast<unsigned char>(pid & 0xff), static_cast<unsigned char>(pid >> 8), 0x00, 0x01,
        static_cast<unsigned char>(i_manufacturer), static_cast<unsigned char>(i_product), 0, 1,
        9, 2, 18, 0, 1, 1, 0, 0x80, 50,                                         // configuration 1
        9, 4, 0, 0, 0, static_cast<unsigned char>(iface_class), 0, 0, 0,  // interface 0
    };
    std::string hex;
    char byte[3];
    for (unsigned char b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", b);
        hex += byte;
    }
    return hex;
}

// The sysfs path of the device on `port` of bus 1; port 0 is the root hub.
std::string sys_path(unsigned port)
{
    return std::string(kSysPrefix) + (port == 0 ? "usb1" : "usb1/1-" + std::to_string(port));
}

// The umockdev record of a full-speed device on bus 1, its address equal to
// its port (1 for the root hub). With `named`, string 1 names the vendor and
// string 2 the product.
std::string device_record(unsigned port, unsigned vid, unsigned pid, unsigned dev_class, unsigned iface_class,
                          bool named)
{
    const std::string hex = descriptors_hex(vid, pid, dev_class, iface_class, named ? 1 : 0, named ? 2 : 0);
    const unsigned devnum = port == 0 ? 1 : port;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "P: %s\nN: bus/usb/001/%03u=%s\nE: DEVNAME=/dev/bus/usb/001/%03u\n"
                  "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nE: DEVNUM=%03u\n"
                  "A: busnum=1\nA: devnum=%u\nA: speed=12\nA: bConfigurationValue=1\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nH: descriptors=%s\n",
                  sys_path(port).c_str(), devnum, hex.c_str(), devnum, devnum, devnum, vid, pid, hex.c_str());
    return text;
}

// Answers usbfs requests for one device node: GET_DESCRIPTOR(STRING) control
// transfers from a table of strings, and a stall for anything else, as a
// device without that string does.
class StringServer {
public:
    explicit StringServer(std::map<int, std::u16string> strings) : strings_(std::move(strings))
    {
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&StringServer::on_ioctl), this);
    }
    ~StringServer()
    {
        for (UMockdevIoctlData *urb : completed_) umockdev_ioctl_data_unref(urb);
        g_object_unref(handler_);
    }
    StringServer(const StringServer &) = delete;
    StringServer &operator=(const StringServer &) = delete;

    UMockdevIoctlBase *handler() const { return handler_; }

    // With the gate closed, each control transfer waits in the device until
    // the gate opens: the device stands still in the middle of its I/O.
    void close_gate()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gated_ = true;
    }
    void open_gate()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gated_ = false;
        gate_.notify_all();
    }
    // True once a transfer waits at the closed gate, within `ms`.
    bool wait_held(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return gate_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return held_; });
    }

private:
    static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        return static_cast<StringServer *>(self)->handle(client);
    }

    gboolean handle(UMockdevIoctlClient *client)
    {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        switch (umockdev_ioctl_client_get_request(client)) {
        case USBDEVFS_GET_CAPABILITIES: {  // libusb asks on open: no optional features
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
            std::uint32_t value = 0;
            std::memcpy(caps->data, &value, sizeof value);
            umockdev_ioctl_data_unref(caps);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData *urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
            auto *urb = reinterpret_cast<usbdevfs_urb *>(urb_data->data);
            if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
                umockdev_ioctl_data_unref(urb_data);
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return TRUE;
            }
            {
                std::unique_lock<std::mutex> lock(mutex_);
                held_ = gated_;
                gate_.notify_all();
                gate_.wait(lock, [this] { return !gated_; });
                held_ = false;
            }
            UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
                urb_data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
            answer(*urb, buffer->data);
            umockdev_ioctl_data_unref(buffer);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                completed_.push_back(urb_data);  // handed back by the next reap
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: {
            UMockdevIoctlData *urb_data = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!completed_.empty()) {
                    urb_data = completed_.front();
                    completed_.pop_front();
                }
            }
            if (urb_data == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return TRUE;
            }
            UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
            umockdev_ioctl_data_set_ptr(slot, 0, urb_data);
            umockdev_ioctl_client_complete(client, 0, 0);
            umockdev_ioctl_data_unref(slot);
            umockdev_ioctl_data_unref(urb_data);
            return TRUE;
        }
        default:
            return FALSE;  // umockdev fails the ioctl
        }
    }

    // Fills the data stage after the 8-byte setup packet.
    void answer(usbdevfs_urb &urb, unsigned char *buf) const
    {
        const unsigned request_type = buf[0], request = buf[1];
        const unsigned value = buf[2] | buf[3] << 8;
        const unsigned length = buf[6] | buf[7] << 8;
        urb.actual_length = 0;
        urb.status = -EPIPE;
        if (request_type != 0x80 || request != 6 || (value >> 8) != 3) return;
        std::vector<unsigned char> desc;
        if ((value & 0xff) == 0) {
            desc = {4, 3, 0x09, 0x04};  // English (US) only
        } else {
            auto it = strings_.find(static_cast<int>(value & 0xff));
            if (it == strings_.end()) return;
            desc = {static_cast<unsigned char>(2 + 2 * it->second.size()), 3};
            for (char16_t c : it->second) {
                desc.push_back(static_cast<unsigned char>(c & 0xff));
                desc.push_back(static_cast<unsigned char>(c >> 8));
            }
        }
        std::size_t n = desc.size();
        if (n > length) n = length;
        if (n > static_cast<std::size_t>(urb.buffer_length) - 8) n = urb.buffer_length - 8;
        std::memcpy(buf + 8, desc.data(), n);
        urb.actual_length = static_cast<int>(n);
        urb.status = 0;
    }

    std::map<int, std::u16string> strings_;
    UMockdevIoctlBase *handler_ = nullptr;
    // Requests are answered on the testbed's thread, not the test's.
    std::mutex mutex_;
    std::deque<UMockdevIoctlData *> completed_;  // submitted, not yet reaped
    std::condition_variable gate_;
    bool gated_ = false;
    bool held_ = false;  // a transfer waits at the gate
};

class LiveTestbed : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr)
            << "run under umockdev-wrapper (see tests/enum.cmake)";
        testbed_ = umockdev_testbed_new();
        ASSERT_NE(testbed_, nullptr);
    }
    void TearDown() override
    {
        usbip_cleanup();
        if (testbed_ != nullptr) g_object_unref(testbed_);
    }

    void add(const std::string &record)
    {
        GError *error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, record.c_str(), &error))
            << (error ? error->message : "");
    }
    void serve(const char *devnode, StringServer &server)
    {
        GError *error = nullptr;
        ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed_, devnode, server.handler(), &error))
            << (error ? error->message : "");
    }

    UMockdevTestbed *testbed_ = nullptr;
};

std::string list_text()
{
    const char *text = usbip_list_local_devices();
    return text ? text : "";
}

using EnumStrings = LiveTestbed;

TEST_F(EnumStrings, StringsReadFromTheDeviceReachTheJsonEscaped)
{
    struct Case {
        unsigned port;  // 0: the root hub
        unsigned vid, pid;
        std::map<int, std::u16string> strings;  // by descriptor index; 1 names the vendor, 2 the product
        const char *vendor_json;                // as the list shows them, between the quotes
        const char *product_json;
        const char *vendor;                     // as a JSON parser reads them back
        const char *product;
    } cases[] = {
        {2, 0x1234, 0x5678, {{1, u"Acme \"Quoted\" Devices"}, {2, u"Widget\\Pro"}},
         R"(Acme \"Quoted\" Devices)", R"(Widget\\Pro)", "Acme \"Quoted\" Devices", "Widget\\Pro"},
        {3, 0x1234, 0x5679, {{1, u"Tab\there"}, {2, u"Line1\nLine2"}},
         R"(Tab\u0009here)", R"(Line1\u000aLine2)", "Tab\there", "Line1\nLine2"},
        // read strings take the place of the root hub's fallback names
        {0, 0x1d6b, 0x0002, {{1, u"Linux 6.1.0 xhci-hcd"}, {2, u"xHCI Host Controller"}},
         "Linux 6.1.0 xhci-hcd", "xHCI Host Controller", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller"},
        // the device stalls the product string: its fallback name stays
        {4, 0x1234, 0x567a, {{1, u"Only A Vendor"}}, "Only A Vendor", "Product_0x567a", "Only A Vendor",
         "Product_0x567a"},
        // an empty manufacturer string counts as none
        {5, 0x1234, 0x0002, {{1, u""}, {2, u"Gadget"}}, "Vendor_0x1234", "Gadget", "Vendor_0x1234", "Gadget"},
        // the longest string a descriptor holds (126 characters)
        {6, 0x1234, 0x567b, {{1, std::u16string(126, u'v')}, {2, u"Long"}}, nullptr, "Long", nullptr, "Long"},
    };
    std::vector<std::unique_ptr<StringServer>> servers;
    for (const Case &c : cases) {
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", c.port == 0 ? 1 : c.port);
        servers.push_back(std::make_unique<StringServer>(c.strings));
        serve(node, *servers.back());  // before the device exists, so that no open misses it
        add(device_record(c.port, c.vid, c.pid, c.port == 0 ? 9 : 0, c.port == 0 ? 9 : 3, true));
    }
    ASSERT_EQ(usbip_init(), 0) << usbip_last_error();

    const std::string text = list_text();
    const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(list.is_discarded()) << text;
    ASSERT_EQ(list.size(), std::size(cases)) << text;
    for (const Case &c : cases) {
        char vid[8], pid[8];
        std::snprintf(vid, sizeof vid, "0x%04x", c.vid);
        std::snprintf(pid, sizeof pid, "0x%04x", c.pid);
        const nlohmann::json *entry = nullptr;
        for (const auto &e : list)
            if (e["vid"] == vid && e["pid"] == pid) entry = &e;
        ASSERT_NE(entry, nullptr) << vid << ":" << pid;
        const std::string vendor = c.vendor ? c.vendor : std::string(126, 'v');
        EXPECT_EQ((*entry)["vendor"], vendor) << vid << ":" << pid;
        EXPECT_EQ((*entry)["product"], c.product) << vid << ":" << pid;
        const std::string vendor_json = c.vendor_json ? c.vendor_json : vendor;
        const std::string pair = std::string("\"pid\":\"") + pid + "\",\"vendor\":\"" + vendor_json +
                                 "\",\"product\":\"" + c.product_json + "\"";
        EXPECT_NE(text.find(pair), std::string::npos) << pair;
    }
}

using EnumRefresh = LiveTestbed;

// The count and the objects by index show the last refresh; only the list
// refreshes. Devices arrive and leave through uevents, which libusb takes in
// before it hands out its device list.
TEST_F(EnumRefresh, CountAndIndexesShowTheLastRefresh)
{
    add(device_record(2, 0x1234, 0x0101, 0, 3, false));
    ASSERT_EQ(usbip_init(), 0) << usbip_last_error();
    ASSERT_EQ(usbip_local_device_count(), 1);
    const std::string first = usbip_local_device_info(0);
    EXPECT_NE(first.find("\"pid\":\"0x0101\""), std::string::npos) << first;

    add(device_record(3, 0x1234, 0x0102, 0, 8, false));
    EXPECT_EQ(usbip_local_device_count(), 1);
    EXPECT_EQ(usbip_local_device_info(1), nullptr);
    usbip_device dev{};
    EXPECT_FALSE(usbip_enum_find_by_busid("1-3", &dev));

    ASSERT_EQ(nlohmann::json::parse(list_text()).size(), 2u);
    EXPECT_EQ(usbip_local_device_count(), 2);
    ASSERT_NE(usbip_local_device_info(1), nullptr);
    EXPECT_TRUE(usbip_enum_find_by_busid("1-3", &dev));

    const std::string gone = "/sys" + sys_path(2);
    // The uevent first; the files go only after libusb has handled it, as it
    // reads the device's details while it does.
    umockdev_testbed_uevent(testbed_, gone.c_str(), "remove");
    EXPECT_EQ(usbip_local_device_count(), 2);
    ASSERT_NE(usbip_local_device_info(1), nullptr);
    EXPECT_TRUE(usbip_enum_find_by_busid("1-2", &dev));

    const nlohmann::json after = nlohmann::json::parse(list_text());
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0]["pid"], "0x0102");
    EXPECT_EQ(usbip_local_device_count(), 1);
    EXPECT_EQ(usbip_local_device_info(1), nullptr);
    EXPECT_FALSE(usbip_enum_find_by_busid("1-2", &dev));
    umockdev_testbed_remove_device(testbed_, gone.c_str());
}

// A refresh reads the devices without the inventory lock: while a device
// stands still in the middle of it, the inventory, the shared table and a
// share all answer, and the refresh's result then replaces the inventory.
TEST_F(EnumRefresh, DevicesAreReadOutsideTheInventoryLock)
{
    StringServer device({{1, u"Slow"}, {2, u"Gadget"}});
    serve("/dev/bus/usb/001/002", device);
    add(device_record(2, 0x1234, 0x0201, 0, 3, true));
    ASSERT_EQ(usbip_init(), 0) << usbip_last_error();
    ASSERT_EQ(usbip_server_share("1-2"), 0) << usbip_last_error();

    device.close_gate();
    std::thread refresh([] { usbip_list_local_devices(); });
    ASSERT_TRUE(device.wait_held(10000));
    auto answers = std::async(std::launch::async, [] {
        usbip_device dev{};
        const char *info = usbip_local_device_info(0);
        return usbip_enum_find_by_busid("1-2", &dev) && info != nullptr &&
               std::string(info).find("\"vendor\":\"Slow\"") != std::string::npos &&
               usbip_server_share("1-2") == 0 &&
               std::string(usbip_server_list_shared()).find("\"1-2\"") != std::string::npos;
    });
    const bool answered = answers.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    device.open_gate();
    refresh.join();
    ASSERT_TRUE(answered) << "a reader waited for the device";
    EXPECT_TRUE(answers.get());
    EXPECT_EQ(usbip_local_device_count(), 1);
    EXPECT_EQ(usbip_server_unshare("1-2"), 0);
}

}  // namespace
