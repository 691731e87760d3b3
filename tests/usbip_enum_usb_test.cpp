// The local inventory against real libusb, on devices emulated by umockdev.
// Each suite expects its own device file and runs in a process of its own
// under umockdev-run (tests/enum.cmake):
//   EnumMixed     data/mixed.umockdev      every speed and class, name fallbacks,
//                                          a device behind a hub
//   EnumNoConfig  data/no-config.umockdev  configurations that cannot be read
//   EnumMany      data/many.umockdev       70 devices, more than the inventory keeps
//   EnumDemo      data/demo.umockdev       the README's demo
//   EnumEmpty     (no device file)         a machine without USB devices
#include <gtest/gtest.h>
#include <libusb.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "usbip_device.h"
#include "usbip_enum.h"

namespace {

// One device as the inventory should show it. bus and address identify it in
// libusb's own list, independently of the bus id under test.
struct Row {
    unsigned bus;
    unsigned address;
    std::string busid;
    unsigned vid;
    unsigned pid;
    std::string vendor;
    std::string product;
    std::string speed;
    std::string cls;
};

std::string object_text(const Row &r)
{
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  R"({"busid":"%s","vid":"0x%04x","pid":"0x%04x","vendor":"%s","product":"%s",)"
                  R"("speed":"%s","class":"%s"})",
                  r.busid.c_str(), r.vid, r.pid, r.vendor.c_str(), r.product.c_str(), r.speed.c_str(),
                  r.cls.c_str());
    return buf;
}

std::string array_text(const std::vector<Row> &rows)
{
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) out += (i ? "," : "") + object_text(rows[i]);
    return out + "]";
}

struct BusAddress {
    unsigned bus;
    unsigned address;
};

// The devices in the order a fresh libusb context lists them.
std::vector<BusAddress> libusb_order()
{
    std::vector<BusAddress> order;
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) return order;
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i)
        order.push_back({libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])});
    if (list != nullptr) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return order;
}

// The rows of `table` in libusb's order; a device libusb lists that the
// table lacks is a test failure.
std::vector<Row> in_libusb_order(const std::vector<Row> &table)
{
    std::vector<Row> out;
    for (const BusAddress &d : libusb_order()) {
        const Row *match = nullptr;
        for (const Row &r : table)
            if (r.bus == d.bus && r.address == d.address) match = &r;
        if (match == nullptr)
            ADD_FAILURE() << "libusb lists bus " << d.bus << " address " << d.address
                          << ", which the table lacks";
        else
            out.push_back(*match);
    }
    return out;
}

nlohmann::json parse_list()
{
    const char *text = usbip_list_local_devices();
    EXPECT_NE(text, nullptr);
    nlohmann::json parsed = nlohmann::json::parse(text ? text : "", nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << text;
    EXPECT_TRUE(parsed.is_array()) << text;
    return parsed;
}

// The library initialised over the emulated devices. Outside umockdev the
// suites would read the machine's own USB devices, so they refuse to run.
class Inventory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("UMOCKDEV_DIR"), nullptr)
            << "run under umockdev-run with the suite's device file (see tests/enum.cmake)";
        ASSERT_EQ(usbip_init(), 0) << usbip_last_error();
    }
    void TearDown() override { usbip_cleanup(); }
};

// Checks everything the exports say about `table`'s devices: the list in
// libusb's order, the count, each index, and parsing.
void expect_inventory(const std::vector<Row> &table)
{
    std::vector<Row> expected = in_libusb_order(table);
    ASSERT_EQ(expected.size(), table.size()) << "libusb does not list every device of the file";

    EXPECT_EQ(usbip_local_device_count(), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(usbip_list_local_devices()), array_text(expected));
    nlohmann::json parsed = parse_list();
    EXPECT_EQ(parsed.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char *info = usbip_local_device_info(static_cast<int>(i));
        ASSERT_NE(info, nullptr) << "index " << i;
        EXPECT_EQ(std::string(info), object_text(expected[i])) << "index " << i;
    }
}

// ---------------------------------------------------------------------------
// data/mixed.umockdev

const std::vector<Row> kMixed = {
    // bus 1, a USB 2 root hub: the address stands in for the port
    {1, 1, "1-1", 0x1d6b, 0x0002, "Linux Foundation", "USB Root Hub", "high", "hub"},
    {1, 3, "1-2", 0x046d, 0xc31c, "Vendor_0x046d", "Product_0xc31c", "full", "hid"},  // class 0, HID interface
    {1, 4, "1-3", 0x05e3, 0x0610, "Vendor_0x05e3", "Product_0x0610", "high", "hub"},  // external hub
    {1, 6, "1-3.2", 0x03f0, 0x0c17, "Vendor_0x03f0", "Product_0x0c17", "high", "printer"},  // port 2 of the hub
    {1, 9, "1-4", 0x1234, 0x0003, "Vendor_0x1234", "USB Root Hub", "low", "other"},    // class 0xdc
    {1, 10, "1-5", 0x1d6b, 0x0104, "Linux Foundation", "Product_0x0104", "high", "other"},  // no interfaces
    // class 0: interface 0 alternate 0 is audio; alternate 1 vendor, interface 1 HID
    {1, 11, "1-6", 0x0d8c, 0x0014, "Vendor_0x0d8c", "Product_0x0014", "full", "audio"},
    {1, 12, "1-7", 0x1546, 0x01a8, "Vendor_0x1546", "Product_0x01a8", "full", "comm"},
    {1, 13, "1-8", 0x0483, 0xdf11, "Vendor_0x0483", "Product_0xdf11", "unknown", "vendor-specific"},  // 2500 Mbit/s
    {1, 14, "1-9", 0x1234, 0x0001, "Vendor_0x1234", "USB Root Hub", "high", "video"},
    {1, 5, "1-10", 0x8087, 0x0a2b, "Vendor_0x8087", "Product_0x0a2b", "full", "wireless"},  // no string indexes
    {1, 7, "1-11", 0x04a9, 0x31ea, "Vendor_0x04a9", "Product_0x31ea", "high", "still-image"},
    {1, 8, "1-12", 0x046d, 0x0825, "Vendor_0x046d", "Product_0x0825", "high", "other"},  // class 0xef
    // bus 2, a USB 3 root hub
    {2, 1, "2-1", 0x1d6b, 0x0003, "Linux Foundation", "USB Root Hub", "super", "hub"},
    {2, 2, "2-2", 0x0781, 0x5583, "Vendor_0x0781", "Product_0x5583", "super", "mass-storage"},
    {2, 3, "2-3", 0x0bda, 0x8156, "Vendor_0x0bda", "Product_0x8156", "unknown", "vendor-specific"},  // 10 Gbit/s
};

using EnumMixed = Inventory;

TEST_F(EnumMixed, ListsEveryDeviceInLibusbOrderWithItsNamesSpeedAndClass)
{
    expect_inventory(kMixed);
}

TEST_F(EnumMixed, IndexesOutsideTheInventoryGiveNull)
{
    const int count = usbip_local_device_count();
    ASSERT_EQ(count, static_cast<int>(kMixed.size()));
    for (int index : {-1, count, count + 1, USBIP_MAX_DEVICES, INT_MIN, INT_MAX})
        EXPECT_EQ(usbip_local_device_info(index), nullptr) << "index " << index;
}

TEST_F(EnumMixed, RepeatedListReturnsTheSameBuffer)
{
    const char *first = usbip_list_local_devices();
    std::string text = first;
    const char *second = usbip_list_local_devices();
    EXPECT_EQ(first, second);
    EXPECT_EQ(text, second);
}

// Port 2 of the hub on port 3 is not root port 2: every device has a bus id
// of its own, its sysfs name, and the lookup finds that very device.
TEST_F(EnumMixed, EveryDeviceHasABusIdOfItsOwn)
{
    nlohmann::json list = parse_list();
    ASSERT_EQ(list.size(), kMixed.size());
    for (const Row &row : kMixed) {
        int named = 0;
        for (const auto &entry : list) named += entry["busid"] == row.busid;
        EXPECT_EQ(named, 1) << row.busid;
        usbip_device dev{};
        ASSERT_TRUE(usbip_enum_find_by_busid(row.busid.c_str(), &dev)) << row.busid;
        EXPECT_EQ(std::string(dev.path), "/sys/bus/usb/devices/" + row.busid);
        EXPECT_EQ(dev.idVendor, row.vid) << row.busid;
        EXPECT_EQ(dev.idProduct, row.pid) << row.busid;
        EXPECT_EQ(dev.bus_number, row.bus) << row.busid;
        EXPECT_EQ(dev.address, row.address) << row.busid;
    }
}

// The interfaces of the active configuration, each by its first alternate
// setting, as the device list sends them.
TEST_F(EnumMixed, RecordsKeepEachInterfacesCodes)
{
    struct Case {
        const char *busid;
        std::vector<usbip_interface_codes> interfaces;
    } cases[] = {
        {"1-2", {{0x03, 0x01, 0x01}}},                     // the keyboard: boot interface
        {"1-6", {{0x01, 0x01, 0x00}, {0x03, 0x00, 0x00}}},  // alternate 1 (vendor) is not the first
        {"1-7", {{0x02, 0x02, 0x01}, {0x0a, 0x00, 0x00}}},
        {"1-5", {}},                                         // a configuration without interfaces
    };
    for (const Case &c : cases) {
        usbip_device dev{};
        ASSERT_TRUE(usbip_enum_find_by_busid(c.busid, &dev)) << c.busid;
        EXPECT_EQ(dev.bNumInterfaces, c.interfaces.size()) << c.busid;
        ASSERT_EQ(dev.interface_count, c.interfaces.size()) << c.busid;
        for (std::size_t i = 0; i < c.interfaces.size(); ++i) {
            EXPECT_EQ(dev.interfaces[i].bInterfaceClass, c.interfaces[i].bInterfaceClass) << c.busid << " " << i;
            EXPECT_EQ(dev.interfaces[i].bInterfaceSubClass, c.interfaces[i].bInterfaceSubClass) << c.busid << " " << i;
            EXPECT_EQ(dev.interfaces[i].bInterfaceProtocol, c.interfaces[i].bInterfaceProtocol) << c.busid << " " << i;
        }
    }
}

TEST_F(EnumMixed, LookupOfAnIdNoDeviceHasFails)
{
    for (const char *busid : {"1-13", "3-1", "1-2.2", "1-3.3", "1-3.2.1", "1-3.", "1-0", "0-0", "1-", "-1", "1-2 ", " 1-2", "01-2", ""}) {
        usbip_device dev{};
        EXPECT_FALSE(usbip_enum_find_by_busid(busid, &dev)) << '"' << busid << '"';
    }
    usbip_device dev{};
    EXPECT_FALSE(usbip_enum_find_by_busid(nullptr, &dev));
}

// ---------------------------------------------------------------------------
// data/no-config.umockdev: all devices vendor 0x2001; the product id is the port.

const std::vector<Row> kNoConfig = {
    {1, 1, "1-1", 0x1d6b, 0x0002, "Linux Foundation", "USB Root Hub", "high", "hub"},
    {1, 2, "1-2", 0x2001, 0x0002, "Vendor_0x2001", "USB Root Hub", "full", "other"},
    {1, 3, "1-3", 0x2001, 0x0003, "Vendor_0x2001", "USB Root Hub", "high", "mass-storage"},
    {1, 4, "1-4", 0x2001, 0x0004, "Vendor_0x2001", "Product_0x0004", "full", "other"},
    {1, 5, "1-5", 0x2001, 0x0005, "Vendor_0x2001", "Product_0x0005", "full", "other"},
    // 1-6 announces a configuration it does not carry: libusb leaves it out
    {1, 7, "1-7", 0x2001, 0x0007, "Vendor_0x2001", "Product_0x0007", "full", "hid"},
};

using EnumNoConfig = Inventory;

TEST_F(EnumNoConfig, ListsTheDevicesWhateverTheirConfiguration)
{
    expect_inventory(kNoConfig);
}

TEST_F(EnumNoConfig, ClassComesFromTheDeviceWhenTheConfigurationCannotBeRead)
{
    // 1-4, 1-5 and 1-7 carry the same HID configuration; only 1-7 has it active.
    struct Case {
        const char *busid;
        const char *why;
        std::uint8_t device_class;
        const char *cls;
        std::uint8_t config_value;
        std::uint8_t interfaces;
    } cases[] = {
        {"1-2", "no configuration at all", 0x00, "other", 0, 0},
        {"1-3", "no configuration, mass-storage device class", 0x08, "mass-storage", 0, 0},
        {"1-4", "unconfigured (bConfigurationValue empty)", 0x00, "other", 0, 0},
        {"1-5", "active value 2 names no configuration", 0x00, "other", 0, 0},
        {"1-7", "configured: the interface decides", 0x00, "hid", 1, 1},
    };
    for (const Case &c : cases) {
        usbip_device dev{};
        ASSERT_TRUE(usbip_enum_find_by_busid(c.busid, &dev)) << c.busid;
        EXPECT_EQ(dev.bDeviceClass, c.device_class) << c.why;
        EXPECT_STREQ(dev.class_name, c.cls) << c.why;
        EXPECT_EQ(dev.bConfigurationValue, c.config_value) << c.why;
        EXPECT_EQ(dev.bNumInterfaces, c.interfaces) << c.why;
    }
}

TEST_F(EnumNoConfig, DeviceLibusbCannotDescribeIsInNoLookup)
{
    usbip_device dev{};
    EXPECT_FALSE(usbip_enum_find_by_busid("1-6", &dev));
}

// ---------------------------------------------------------------------------
// data/many.umockdev (make_many.py): buses 1 to 5, each a root hub and 13
// devices on ports 2 to 14 (address = port), products 0x0100 upwards.

std::vector<Row> many_table()
{
    std::vector<Row> rows;
    unsigned pid = 0x0100;
    for (unsigned bus = 1; bus <= 5; ++bus) {
        rows.push_back({bus, 1, std::to_string(bus) + "-1", 0x1d6b, 0x0002, "Linux Foundation",
                        "USB Root Hub", "high", "hub"});
        for (unsigned port = 2; port <= 14; ++port, ++pid) {
            char product[32];
            std::snprintf(product, sizeof product, "Product_0x%04x", pid);
            rows.push_back({bus, port, std::to_string(bus) + "-" + std::to_string(port), 0x16c0, pid,
                            "Vendor_0x16c0", product, "full", "vendor-specific"});
        }
    }
    return rows;
}

using EnumMany = Inventory;

TEST_F(EnumMany, KeepsTheFirst64DevicesInLibusbOrder)
{
    std::vector<Row> all = in_libusb_order(many_table());
    ASSERT_EQ(all.size(), 70u);
    std::vector<Row> kept(all.begin(), all.begin() + USBIP_MAX_DEVICES);

    EXPECT_EQ(usbip_local_device_count(), 64);
    EXPECT_EQ(std::string(usbip_list_local_devices()), array_text(kept));
    EXPECT_EQ(parse_list().size(), 64u);
    ASSERT_NE(usbip_local_device_info(63), nullptr);
    EXPECT_EQ(std::string(usbip_local_device_info(63)), object_text(kept[63]));
    EXPECT_EQ(usbip_local_device_info(64), nullptr);
}

TEST_F(EnumMany, DevicesPastTheCapAreInNoLookup)
{
    std::vector<Row> all = in_libusb_order(many_table());
    ASSERT_EQ(all.size(), 70u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        usbip_device dev{};
        bool kept = i < static_cast<std::size_t>(USBIP_MAX_DEVICES);
        EXPECT_EQ(usbip_enum_find_by_busid(all[i].busid.c_str(), &dev), kept) << all[i].busid;
        if (kept) {
            EXPECT_EQ(dev.idProduct, all[i].pid) << all[i].busid;
        }
    }
}

TEST_F(EnumMany, RepeatedListOfAFullInventoryReturnsTheSameBuffer)
{
    const char *first = usbip_list_local_devices();
    std::string text = first;
    for (int i = 0; i < 3; ++i) {
        const char *again = usbip_list_local_devices();
        EXPECT_EQ(again, first);
        EXPECT_EQ(text, again);
    }
}

// ---------------------------------------------------------------------------
// data/demo.umockdev

const std::vector<Row> kDemo = {
    {1, 1, "1-1", 0x1d6b, 0x0002, "Linux Foundation", "USB Root Hub", "high", "hub"},
    {1, 3, "1-2", 0x046d, 0xc31c, "Vendor_0x046d", "Product_0xc31c", "full", "hid"},
    {1, 4, "1-3", 0x046d, 0xc077, "Vendor_0x046d", "Product_0xc077", "low", "hid"},
    {1, 5, "1-4", 0x0781, 0x5567, "Vendor_0x0781", "Product_0x5567", "high", "mass-storage"},
    {2, 1, "2-1", 0x1d6b, 0x0003, "Linux Foundation", "USB Root Hub", "super", "hub"},
    {2, 2, "2-2", 0x0781, 0x5583, "Vendor_0x0781", "Product_0x5583", "super", "mass-storage"},
};

using EnumDemo = Inventory;

TEST_F(EnumDemo, ListsTheDemoDevices) { expect_inventory(kDemo); }

// ---------------------------------------------------------------------------
// No device file: the testbed has no USB devices.

using EnumEmpty = Inventory;

TEST_F(EnumEmpty, EverythingIsEmpty)
{
    EXPECT_EQ(usbip_local_device_count(), 0);
    EXPECT_STREQ(usbip_list_local_devices(), "[]");
    EXPECT_EQ(usbip_local_device_info(0), nullptr);
    usbip_device dev{};
    EXPECT_FALSE(usbip_enum_find_by_busid("1-1", &dev));
}

}  // namespace
