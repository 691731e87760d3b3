// Device records rendered as JSON: exact format for plain text, and valid
// JSON whatever bytes a device or a remote peer puts into the text fields.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "usbip_device.h"

namespace {

usbip_device make_device(const char *busid, std::uint16_t vid, std::uint16_t pid, const char *vendor,
                         const char *product, const char *speed, const char *cls)
{
    usbip_device d;
    std::memset(&d, 0, sizeof d);
    usbip_copy_text(d.busid, sizeof d.busid, busid);
    d.idVendor = vid;
    d.idProduct = pid;
    usbip_copy_text(d.vendor, sizeof d.vendor, vendor);
    usbip_copy_text(d.product, sizeof d.product, product);
    usbip_copy_text(d.speed_name, sizeof d.speed_name, speed);
    usbip_copy_text(d.class_name, sizeof d.class_name, cls);
    return d;
}

// Every text field at its greatest length.
usbip_device longest_device(char fill)
{
    usbip_device d = make_device("", 0xffff, 0xffff, "", "", "", "");
    std::memset(d.busid, fill, sizeof d.busid - 1);
    std::memset(d.vendor, fill, sizeof d.vendor - 1);
    std::memset(d.product, fill, sizeof d.product - 1);
    std::memset(d.speed_name, fill, sizeof d.speed_name - 1);
    std::memset(d.class_name, fill, sizeof d.class_name - 1);
    return d;
}

std::string to_json(const usbip_device &d)
{
    std::string s;
    usbip_dev_to_json(s, d);
    return s;
}

}  // namespace

TEST(DeviceJson, PlainTextFollowsTheObjectFormat)
{
    struct Case {
        usbip_device dev;
        const char *json;
    } cases[] = {
        {make_device("1-1", 0x1d6b, 0x0002, "Linux Foundation", "USB Root Hub", "high", "hub"),
         R"({"busid":"1-1","vid":"0x1d6b","pid":"0x0002","vendor":"Linux Foundation",)"
         R"("product":"USB Root Hub","speed":"high","class":"hub"})"},
        {make_device("3-12", 0, 0xABCD, "Vendor_0x0000", "Product_0xabcd", "unknown", "other"),
         R"({"busid":"3-12","vid":"0x0000","pid":"0xabcd","vendor":"Vendor_0x0000",)"
         R"("product":"Product_0xabcd","speed":"unknown","class":"other"})"},
        {make_device("", 0xFFFF, 1, "", "", "", ""),
         R"({"busid":"","vid":"0xffff","pid":"0x0001","vendor":"","product":"","speed":"","class":""})"},
    };
    for (const auto &c : cases) EXPECT_EQ(to_json(c.dev), c.json);
}

TEST(DeviceJson, ArrayOfNoneAndOfOne)
{
    std::string buf;
    EXPECT_STREQ(usbip_devices_to_json(buf, nullptr, 0), "[]");
    usbip_device d = make_device("1-2", 0x046d, 0xc31c, "Logitech", "Keyboard", "full", "hid");
    EXPECT_EQ(std::string(usbip_devices_to_json(buf, &d, 1)), "[" + to_json(d) + "]");
}

TEST(DeviceJson, FullTableOfLongestPlainRecordsIs43329Characters)
{
    std::vector<usbip_device> devs(64, longest_device('a'));
    EXPECT_EQ(to_json(devs[0]).size(), 676u);
    std::string buf;
    std::string text = usbip_devices_to_json(buf, devs.data(), 64);
    EXPECT_EQ(text.size(), 43329u);
    auto parsed = nlohmann::json::parse(text);
    ASSERT_EQ(parsed.size(), 64u);
    EXPECT_EQ(parsed[63]["product"].get<std::string>(), std::string(255, 'a'));
}

TEST(DeviceJson, HostileTextIsEscapedAndParsesBack)
{
    struct Case {
        const char *raw;      // bytes in the record
        const char *escaped;  // as they appear between the quotes
        const char *decoded;  // as a JSON parser reads them back (UTF-8)
    } cases[] = {
        {"say \"hi\"", R"(say \"hi\")", "say \"hi\""},
        {"C:\\dev", R"(C:\\dev)", "C:\\dev"},
        {"tab\there\nnl", R"(tab\u0009here\u000anl)", "tab\there\nnl"},
        {"\x01\x1f", R"(\u0001\u001f)", "\x01\x1f"},
        {"\",\"injected\":\"1", R"(\",\"injected\":\"1)", "\",\"injected\":\"1"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c"},
        {"bad\xff", "bad\xef\xbf\xbd", "bad\xef\xbf\xbd"},
        {"\xc3", "\xef\xbf\xbd", "\xef\xbf\xbd"},                           // cut sequence
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd", "\xef\xbf\xbd\xef\xbf\xbd"},  // overlong
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd",
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // surrogate
        {"\x7f~", "\x7f~", "\x7f~"},
    };
    for (const auto &c : cases) {
        usbip_device d = make_device(c.raw, 1, 2, c.raw, c.raw, "full", c.raw);
        std::string json = to_json(d);
        EXPECT_NE(json.find(std::string("\"product\":\"") + c.escaped + "\""), std::string::npos)
            << json;
        nlohmann::json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::json::parse(json)) << json;
        EXPECT_EQ(parsed.size(), 7u);
        EXPECT_EQ(parsed["vendor"].get<std::string>(), c.decoded);
        EXPECT_EQ(parsed["busid"].get<std::string>(), std::string(c.decoded).substr(0, 31 * 3));
    }
}

TEST(DeviceJson, SixtyFourWorstCaseRecordsStayWholeAndValid)
{
    // Control characters grow six-fold: far past the 65,536 bytes that plain
    // text would ever need.
    std::vector<usbip_device> devs(64, longest_device('\x01'));
    std::string buf;
    std::string text = usbip_devices_to_json(buf, devs.data(), 64);
    EXPECT_GT(text.size(), 65536u);
    auto parsed = nlohmann::json::parse(text);
    ASSERT_EQ(parsed.size(), 64u);
    EXPECT_EQ(parsed[63]["vendor"].get<std::string>(), std::string(255, '\x01'));
}

TEST(DeviceJson, SharedMarkIsNotRendered)
{
    usbip_device d = make_device("1-1", 1, 2, "v", "p", "low", "hid");
    usbip_device copy = d;
    copy.shared = 1;
    EXPECT_EQ(to_json(d), to_json(copy));
}
