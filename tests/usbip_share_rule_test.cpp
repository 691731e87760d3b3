// Sharing by rule as devices come and go: the rules' forms and what they
// name, and the server on an in-process umockdev testbed where devices are
// plugged in and out while it serves, with libusb's hot-plug events and with
// the periodic comparison that platforms without them use. Runs under
// umockdev-wrapper.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "halvoren_usbip.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"
#include "usbip_conn.h"
#include "usbip_enum.h"
#include "usbip_protocol.h"
#include "usbip_share_rule.h"

namespace {

// ---------------------------------------------------------------------------
// Forms and matching

TEST(ShareRuleForm, TheThreeFormsAndWhatIsRefused)
{
    using Kind = usbip_share_rule::Kind;
    struct Case {
        const char *text;
        bool valid;
        Kind kind;
        const char *kept;  // as the library writes it
    } cases[] = {
        {"1-2", true, Kind::busid, "1-2"},
        {"1-3.2", true, Kind::busid, "1-3.2"},
        {"255-1.2.3.4.5.6.7", true, Kind::busid, "255-1.2.3.4.5.6.7"},
        {"046d:c31c", true, Kind::ids, "046d:c31c"},
        {"46D:C31C", true, Kind::ids, "046d:c31c"},
        {"1:2", true, Kind::ids, "0001:0002"},
        {"046d:c31c:A1b2:C3", true, Kind::ids_and_serial, "046d:c31c:A1b2:C3"},  // a serial may hold colons
        {"046d:c31c: ", true, Kind::ids_and_serial, "046d:c31c: "},
        {"", false, Kind::busid, ""},
        {"1", false, Kind::busid, ""},
        {"1-", false, Kind::busid, ""},
        {"-2", false, Kind::busid, ""},
        {"01-2", false, Kind::busid, ""},            // no bus id has leading zeros
        {"1-0", false, Kind::busid, ""},
        {"1-256", false, Kind::busid, ""},
        {"1-3.", false, Kind::busid, ""},
        {"1-3..2", false, Kind::busid, ""},
        {"1-1.2.3.4.5.6.7.8", false, Kind::busid, ""},  // deeper than USB goes
        {"1-2 ", false, Kind::busid, ""},
        {"usb1", false, Kind::busid, ""},
        {"046d", false, Kind::busid, ""},
        {"046d:", false, Kind::ids, ""},
        {":c31c", false, Kind::ids, ""},
        {"0046d:c31c", false, Kind::ids, ""},
        {"046g:c31c", false, Kind::ids, ""},
        {"046d:c31c:", false, Kind::ids_and_serial, ""},  // an empty serial
        {"1-1:2", false, Kind::ids, ""},
    };
    for (const Case &c : cases) {
        usbip_share_rule rule;
        EXPECT_EQ(usbip_share_rule_parse(c.text, &rule), c.valid) << '"' << c.text << '"';
        if (!c.valid) continue;
        EXPECT_EQ(rule.kind, c.kind) << c.text;
        EXPECT_EQ(rule.text, c.kept) << c.text;
    }
    usbip_share_rule rule;
    EXPECT_FALSE(usbip_share_rule_parse(nullptr, &rule));
    EXPECT_TRUE(usbip_share_rule_parse(("1:2:" + std::string(255, 's')).c_str(), &rule));
    EXPECT_FALSE(usbip_share_rule_parse(("1:2:" + std::string(256, 's')).c_str(), &rule));
}

TEST(ShareRuleForm, WhatEachFormNames)
{
    usbip_device mouse{};
    usbip_copy_text(mouse.busid, sizeof mouse.busid, "1-3.2");
    mouse.idVendor = 0x046d;
    mouse.idProduct = 0xc077;
    usbip_copy_text(mouse.serial, sizeof mouse.serial, "SN-7");
    struct Case {
        const char *rule;
        bool names;
    } cases[] = {
        {"1-3.2", true},          {"1-3", false},       {"1-2", false},         {"1-3.2.1", false},
        {"046d:c077", true},      {"46d:C077", true},   {"046d:c078", false},   {"046e:c077", false},
        {"046d:c077:SN-7", true}, {"046d:c077:sn-7", false},  // serials are compared exactly
        {"046d:c077:SN-", false}, {"046d:c078:SN-7", false},
    };
    for (const Case &c : cases) {
        usbip_share_rule rule;
        ASSERT_TRUE(usbip_share_rule_parse(c.rule, &rule)) << c.rule;
        EXPECT_EQ(usbip_share_rule_matches(rule, mouse), c.names) << c.rule;
    }
    usbip_device nameless = mouse;
    nameless.serial[0] = '\0';
    usbip_share_rule rule;
    ASSERT_TRUE(usbip_share_rule_parse("046d:c077:SN-7", &rule));
    EXPECT_FALSE(usbip_share_rule_matches(rule, nameless));
}

// ---------------------------------------------------------------------------
// The server while devices come and go

constexpr int kPlugWaitMs = 10000;  // a busy machine still hears of a plug well within this

std::vector<std::string> busids_of(const char *json)
{
    std::vector<std::string> out;
    if (json == nullptr) return out;
    for (const auto &d : nlohmann::json::parse(json)) out.push_back(d["busid"]);
    return out;
}

std::vector<std::string> shared() { return busids_of(usbip_server_list_shared()); }

bool is_shared(const std::string &busid)
{
    for (const std::string &b : shared())
        if (b == busid) return true;
    return false;
}

enum class Watch { hotplug, polling };

void PrintTo(Watch w, std::ostream *os) { *os << (w == Watch::hotplug ? "hot-plug events" : "polling"); }

class ShareByRule : public ::testing::TestWithParam<Watch> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
        bed_.add_device(1, 0, 0x1d6b, 0x0002, 9, 9);
        bed_.add_device(1, 2, 0x046d, 0xc31c, 0, 3);
        // Polling at a test's pace; where hot-plug events exist they are
        // used unless the test asks for polling.
        usbip_enum_set_watch_options(GetParam() == Watch::polling, 100);
        threads_before_ = unnamed_thread_ids();
        ASSERT_EQ(usbip_init(), 0) << usbip_last_error();
    }
    void TearDown() override
    {
        usbip_cleanup();
        usbip_enum_set_watch_options(false, 1000);
        EXPECT_FALSE(usbip_enum_watching());
        // The watch's thread is gone with libusb's own.
        EXPECT_TRUE(wait_until(
            [this] {
                for (int tid : unnamed_thread_ids())
                    if (threads_before_.count(tid) == 0) return false;
                return true;
            },
            2000))
            << thread_names();
    }

    // Plugs a device in at `port` of bus 1; returns its sysfs path.
    std::string plug(unsigned port, unsigned vid, unsigned pid)
    {
        return bed_.add_device(1, port, vid, pid, 0xff, 0xff);
    }
    void unplug(const std::string &syspath)
    {
        bed_.announce_removal(syspath);
        // The files go once libusb has let go of the device.
        const std::string busid = "\"" + syspath.substr(syspath.rfind('/') + 1) + "\"";
        wait_until([&] { return std::string(usbip_list_local_devices()).find(busid) == std::string::npos; },
                   kPlugWaitMs);
        bed_.remove_device(syspath);
    }

    Testbed bed_;
    std::set<int> threads_before_;
};

// A device that a rule names is listable soon after it is plugged in, to
// the host and to clients; once unplugged it is listed nowhere and an
// import of it is "not shared". A device no rule names stays unshared.
TEST_P(ShareByRule, PluggedDeviceThatARuleNamesIsListedAndUnpluggedItIsGone)
{
    const int port = free_port();
    ASSERT_EQ(usbip_server_share_rule("1-5"), 0) << usbip_last_error();
    ASSERT_EQ(usbip_server_share_rule("16C0:5DC"), 0) << usbip_last_error();
    EXPECT_TRUE(usbip_enum_watching());
    // libusb has hot-plug events on Linux: the watch uses them unless told not to.
    EXPECT_EQ(usbip_enum_watch_uses_hotplug(), GetParam() == Watch::hotplug);
    ASSERT_EQ(usbip_server_start(port, nullptr, 0), 0) << usbip_last_error();
    EXPECT_EQ(shared(), std::vector<std::string>{});

    const std::string at_5 = plug(5, 0x1234, 0x0005);
    const std::string named_by_ids = plug(6, 0x16c0, 0x05dc);
    const std::string unnamed = plug(7, 0x16c0, 0x05dd);
    ASSERT_TRUE(wait_until([] { return shared().size() == 2; }, kPlugWaitMs)) << usbip_server_list_shared();
    EXPECT_TRUE(is_shared("1-5"));
    EXPECT_TRUE(is_shared("1-6"));
    const std::vector<std::string> remote = busids_of(usbip_client_list_remote("127.0.0.1", port, nullptr, 0));
    EXPECT_EQ(remote.size(), 2u) << usbip_last_error();

    unplug(at_5);
    ASSERT_TRUE(wait_until([] { return !is_shared("1-5"); }, kPlugWaitMs)) << usbip_server_list_shared();
    EXPECT_EQ(shared(), std::vector<std::string>{"1-6"});
    // Hosts and operators heard of both: each share with its rule, the
    // unplugged device's leaving with its reason.
    std::vector<std::string> heard;
    while (const char *e = usbip_next_event(0)) {
        const auto event = nlohmann::json::parse(e);
        const std::string kind = event["kind"];
        if (kind == "device_shared")
            heard.push_back("shared " + event["busid"].get<std::string>() + " " + event["ids"].get<std::string>() +
                            " by " + event["rule"].get<std::string>());
        else if (kind == "device_unshared")
            heard.push_back("unshared " + event["busid"].get<std::string>() + " " +
                            event["reason"].get<std::string>());
    }
    std::sort(heard.begin(), heard.begin() + std::min<std::size_t>(2, heard.size()));  // the two plugs in any order
    EXPECT_EQ(heard, (std::vector<std::string>{"shared 1-5 1234:0005 by 1-5", "shared 1-6 16c0:05dc by 16c0:05dc",
                                               "unshared 1-5 unplugged"}));
    EXPECT_EQ(busids_of(usbip_client_list_remote("127.0.0.1", port, nullptr, 0)), std::vector<std::string>{"1-6"});
    usbip_conn conn;
    ASSERT_TRUE(connect_by(conn, ServerRoute::to(port, false), nullptr));
    usbip_imported reply;
    EXPECT_EQ(usbip_request_import(&conn, "1-5", &reply), -1);
    EXPECT_STREQ(usbip_last_error(), "Import of '1-5' refused (status 1): the server does not share it");
    usbip_conn_close(&conn);

    // Plugged in again (a new address): shared again.
    plug(5, 0x1234, 0x0005);
    ASSERT_TRUE(wait_until([] { return is_shared("1-5"); }, kPlugWaitMs)) << usbip_server_list_shared();
    unplug(unnamed);
    unplug(named_by_ids);
    ASSERT_TRUE(wait_until([] { return shared() == std::vector<std::string>{"1-5"}; }, kPlugWaitMs))
        << usbip_server_list_shared();

    // A stop takes the rules out of force and ends the watch.
    usbip_server_stop();
    EXPECT_FALSE(usbip_enum_watching());
    EXPECT_EQ(usbip_server_unshare_rule("1-5"), -1);
    EXPECT_STREQ(usbip_last_error(), "Share rule '1-5' is not in force");
}

// What is plugged in when a rule comes is shared at once; a rule withdrawn
// takes its devices with it unless another rule names them; a device the
// host unshares stays unshared until it is plugged in again.
TEST_P(ShareByRule, RulesComeAndGoWithTheirDevices)
{
    const std::string keyboard = "1-2";
    ASSERT_EQ(usbip_server_share_rule("046d:c31c"), 0) << usbip_last_error();
    EXPECT_EQ(shared(), std::vector<std::string>{keyboard});  // before the call returns
    ASSERT_EQ(usbip_server_share_rule("1-2"), 0);
    ASSERT_EQ(usbip_server_share_rule("46D:C31C"), 0);  // in force already
    EXPECT_EQ(usbip_server_unshare_rule("046D:c31c"), 0);
    EXPECT_EQ(shared(), std::vector<std::string>{keyboard}) << "1-2 still names it";
    EXPECT_EQ(usbip_server_unshare_rule("1-2"), 0);
    EXPECT_EQ(shared(), std::vector<std::string>{});
    EXPECT_FALSE(usbip_enum_watching()) << "no rule left";

    // The host's own unshare holds while the device stays plugged in.
    ASSERT_EQ(usbip_server_share_rule("1-2"), 0);
    ASSERT_EQ(usbip_server_share_rule("1-8"), 0);
    ASSERT_EQ(usbip_server_unshare("1-2"), 0);
    plug(8, 0x1234, 0x0008);  // a pass of the watch
    ASSERT_TRUE(wait_until([] { return is_shared("1-8"); }, kPlugWaitMs)) << usbip_server_list_shared();
    EXPECT_EQ(shared(), std::vector<std::string>{"1-8"});

    // The host's share by bus id is not the rules' to undo.
    ASSERT_EQ(usbip_server_share("1-2"), 0);
    EXPECT_EQ(usbip_server_unshare_rule("1-2"), 0);
    EXPECT_EQ(shared(), (std::vector<std::string>{"1-8", "1-2"}));

    struct Refusal {
        const char *rule;
        const char *message;
    } refusals[] = {
        {"1-02", "Invalid share rule '1-02'"},
        {"keyboard", "Invalid share rule 'keyboard'"},
        {nullptr, "Invalid share rule ''"},
    };
    for (const Refusal &r : refusals) {
        EXPECT_EQ(usbip_server_share_rule(r.rule), -1);
        EXPECT_STREQ(usbip_last_error(), r.message);
        EXPECT_EQ(usbip_server_unshare_rule(r.rule), -1);
        EXPECT_STREQ(usbip_last_error(), r.message);
    }
    for (int i = 1; i <= 64 - 1; ++i)  // "1-8" is in force
        ASSERT_EQ(usbip_server_share_rule(("2-" + std::to_string(i)).c_str()), 0) << i;
    EXPECT_EQ(usbip_server_share_rule("3-1"), -1);
    EXPECT_STREQ(usbip_last_error(), "Maximum share rules reached");
}

INSTANTIATE_TEST_SUITE_P(Watch, ShareByRule, ::testing::Values(Watch::hotplug, Watch::polling),
                         [](const ::testing::TestParamInfo<Watch> &info) {
                             return info.param == Watch::hotplug ? "HotplugEvents" : "Polling";
                         });

// A rule with a serial number names only the device with that serial.
TEST(ShareBySerial, TheRuleNamesTheDeviceWithThatSerialOnly)
{
    ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
    Testbed bed;
    UrbDevice named(bed, 4);  // serial "0001"
    ASSERT_EQ(usbip_init(), 0) << usbip_last_error();
    EXPECT_EQ(usbip_server_share_rule("1209:0001:0002"), 0);
    EXPECT_EQ(shared(), std::vector<std::string>{});
    EXPECT_EQ(usbip_server_share_rule("1209:0001:0001"), 0);
    EXPECT_EQ(shared(), std::vector<std::string>{"1-4"});
    usbip_cleanup();
}

}  // namespace
