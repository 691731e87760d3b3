// USB/IP device-list messages: byte layouts, the stream decoder, the
// functions over a connection, and an independent decoder (tshark).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "test_support.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_protocol.h"

namespace {

usbip_device device(const char *busid, std::uint16_t vid, std::uint16_t pid, std::uint8_t cls,
                    std::uint8_t nif = 1, std::uint32_t speed = 2)
{
    usbip_device d;
    std::memset(&d, 0, sizeof d);
    usbip_copy_text(d.busid, sizeof d.busid, busid);
    std::snprintf(d.path, sizeof d.path, "/sys/bus/usb/devices/%s", busid);
    d.idVendor = vid;
    d.idProduct = pid;
    d.bcdDevice = 0x0110;
    d.bDeviceClass = cls;
    d.bDeviceSubClass = 1;
    d.bDeviceProtocol = 2;
    d.bConfigurationValue = 1;
    d.bNumConfigurations = 1;
    d.bNumInterfaces = nif;
    d.speed = speed;
    usbip_copy_text(d.vendor, sizeof d.vendor, "Known Vendor");
    usbip_copy_text(d.product, sizeof d.product, "Known Product");
    return d;
}

std::string devlist_bytes(const std::vector<usbip_device> &devs)
{
    std::string out;
    usbip_encode_devlist_reply(out, devs.data(), static_cast<int>(devs.size()));
    return out;
}

// Feeds a whole reply to the decoder the way the connection reader does.
bool decode_all(const std::string &bytes, usbip_device *devs, int capacity, int *stored, std::size_t *used)
{
    usbip_devlist_decoder d(devs, capacity);
    std::size_t pos = 0;
    while (!d.done()) {
        std::size_t n = d.need();
        if (pos + n > bytes.size()) break;
        if (!d.feed(reinterpret_cast<const std::uint8_t *>(bytes.data()) + pos, n)) return false;
        pos += n;
    }
    *stored = d.stored();
    *used = pos;
    return d.done();
}

}  // namespace

// ---------------------------------------------------------------------------
// Layouts

TEST(Layout, EmptyListIsTwelveBytes)
{
    EXPECT_EQ(hex_of(devlist_bytes({})), "011100050000000000000000");
}

TEST(Layout, DeviceBlockFieldsAndInterfaceEntries)
{
    usbip_device a = device("1-1", 0x1d6b, 0x0002, 9, 1, 3);
    usbip_device b = device("1-2", 0x046d, 0xc31c, 3, 2);
    usbip_device c = device("2-10", 0xabcd, 0x0001, 0, 0);
    c.bConfigurationValue = 0;
    c.bNumConfigurations = 0;
    c.path[0] = '\0';
    std::string bytes = devlist_bytes({a, b, c});
    ASSERT_EQ(bytes.size(), 12u + (312 + 4) + (312 + 8) + (312 + 4));
    EXPECT_EQ(be32_at(bytes, 8), 3u);

    struct Expect {
        std::size_t offset;
        const char *busid;
        const char *path;
        std::uint32_t devnum, speed;
        std::uint16_t vid, pid;
        std::uint8_t cls, cfg, ncfg, nif;
    } expect[] = {
        {12, "1-1", "/sys/bus/usb/devices/1-1", 1, 3, 0x1d6b, 0x0002, 9, 1, 1, 1},
        {12 + 316, "1-2", "/sys/bus/usb/devices/1-2", 2, 2, 0x046d, 0xc31c, 3, 1, 1, 2},
        {12 + 316 + 320, "2-10", "/sys/devices/usb/0", 3, 2, 0xabcd, 0x0001, 0, 1, 1, 1},  // 0 sent as 1
    };
    for (const auto &e : expect) {
        std::string blk = bytes.substr(e.offset, 312);
        EXPECT_EQ(std::string(blk.c_str()), e.path);
        EXPECT_EQ(blk.find_first_not_of('\0', std::strlen(e.path)), 256u);  // zero-filled behind
        EXPECT_EQ(std::string(blk.c_str() + 256), e.busid);
        EXPECT_EQ(be32_at(blk, 288), 1u);  // busnum
        EXPECT_EQ(be32_at(blk, 292), e.devnum);
        EXPECT_EQ(be32_at(blk, 296), e.speed);
        EXPECT_EQ(be16_at(blk, 300), e.vid);
        EXPECT_EQ(be16_at(blk, 302), e.pid);
        EXPECT_EQ(be16_at(blk, 304), 0x0110);
        EXPECT_EQ(static_cast<std::uint8_t>(blk[306]), e.cls);
        EXPECT_EQ(blk[307], 1);
        EXPECT_EQ(blk[308], 2);
        EXPECT_EQ(static_cast<std::uint8_t>(blk[309]), e.cfg);
        EXPECT_EQ(static_cast<std::uint8_t>(blk[310]), e.ncfg);
        EXPECT_EQ(static_cast<std::uint8_t>(blk[311]), e.nif);
        for (int i = 0; i < e.nif; ++i)
            EXPECT_EQ(hex_of(bytes.substr(e.offset + 312 + 4 * i, 4)), hex_of(std::string{char(e.cls), 1, 2, 0}));
    }
}

// A record that knows its interfaces sends each one's own codes; past the
// interfaces it knows, the device's codes fill in.
TEST(Layout, InterfaceEntriesCarryEachInterfacesCodes)
{
    usbip_device mouse = device("1-2", 0x046d, 0xc077, 0, 2);
    mouse.interface_count = 2;
    mouse.interfaces[0] = {0x03, 0x01, 0x02};
    mouse.interfaces[1] = {0xff, 0x00, 0x00};
    usbip_device partial = device("1-3", 0x1234, 0x0001, 0, 3);
    partial.interface_count = 1;
    partial.interfaces[0] = {0x08, 0x06, 0x50};
    std::string bytes = devlist_bytes({mouse, partial});
    ASSERT_EQ(bytes.size(), 12u + (312 + 8) + (312 + 12));
    EXPECT_EQ(hex_of(bytes.substr(12 + 312, 8)), "03010200ff000000");
    EXPECT_EQ(hex_of(bytes.substr(12 + 320 + 312, 12)), "080650000001020000010200");

    // Read back, each record keeps its entries and is named by the first.
    usbip_device got[2];
    int stored = 0;
    std::size_t used = 0;
    ASSERT_TRUE(decode_all(bytes, got, 2, &stored, &used));
    ASSERT_EQ(stored, 2);
    EXPECT_STREQ(got[0].class_name, "hid");
    ASSERT_EQ(got[0].interface_count, 2);
    EXPECT_EQ(got[0].interfaces[1].bInterfaceClass, 0xff);
    EXPECT_STREQ(got[1].class_name, "mass-storage");
    ASSERT_EQ(got[1].interface_count, 3);
    EXPECT_EQ(got[1].interfaces[2].bInterfaceProtocol, 0x02);
}

TEST(Layout, ImportReplyAndRefusal)
{
    usbip_device d = device("3-4", 0x0781, 0x5567, 8);
    std::string ok, refusal;
    usbip_encode_import_reply(ok, &d);
    usbip_encode_import_reply(refusal, nullptr);
    ASSERT_EQ(ok.size(), 320u);
    EXPECT_EQ(hex_of(ok.substr(0, 8)), "0111000300000000");
    EXPECT_EQ(std::string(ok.c_str() + 8 + 256), "3-4");
    EXPECT_EQ(be32_at(ok, 8 + 292), 1u);  // devnum
    EXPECT_EQ(hex_of(refusal), "0111000300000001");
    // Refusals of a server that forwards: busy, device error.
    for (std::uint32_t status : {USBIP_IMPORT_BUSY, USBIP_IMPORT_DEVICE_ERROR}) {
        std::string r;
        usbip_encode_import_reply(r, nullptr, status);
        EXPECT_EQ(hex_of(r), "01110003" + hex_of(be32(status)));
    }
}

// The client's side of an import: the request as the server reads it, and
// the granted reply's block with the numbers that name the device in the
// URB phase.
TEST(Layout, ImportRequestAndTheGrantedBlock)
{
    std::uint8_t req[USBIP_IMPORT_REQUEST_SIZE];
    usbip_encode_import_request(req, "1-4");
    std::string bytes(reinterpret_cast<char *>(req), sizeof req);
    EXPECT_EQ(hex_of(bytes.substr(0, 8)), "0111800300000000");
    EXPECT_EQ(bytes.substr(8), std::string("1-4") + std::string(29, '\0'));
    usbip_encode_import_request(req, std::string(40, 'x').c_str());  // cut to 31 and a NUL
    EXPECT_EQ(req[8 + 30], 'x');
    EXPECT_EQ(req[8 + 31], 0);

    std::string block = raw_block("3-1", 3, 0xff, 2);  // busnum 7, devnum 9
    usbip_imported got;
    usbip_decode_import_block(reinterpret_cast<const std::uint8_t *>(block.data()), &got);
    EXPECT_STREQ(got.device.busid, "3-1");
    EXPECT_EQ(got.busnum, 7u);
    EXPECT_EQ(got.devnum, 9u);
    EXPECT_EQ(got.devid(), 0x00070009u);
    EXPECT_EQ(got.device.speed, 3u);
}

TEST(Layout, LongTextFieldsAreCutAndBusidWithoutNulKeepsThirtyOneCharacters)
{
    usbip_device d = device("x", 1, 2, 3);
    std::memset(d.busid, 'b', sizeof d.busid - 1);
    std::memset(d.path, 'p', sizeof d.path - 1);
    std::uint8_t block[312];
    usbip_encode_device_block(block, d, 1);
    EXPECT_EQ(block[255], 0);
    EXPECT_EQ(block[287], 0);

    std::string raw = raw_block(std::string(32, 'z'), 2, 3, 1);
    usbip_device out;
    usbip_decode_device_block(reinterpret_cast<const std::uint8_t *>(raw.data()), &out);
    EXPECT_EQ(std::string(out.busid), std::string(31, 'z'));
}

// ---------------------------------------------------------------------------
// Decoding

TEST(Decode, NamingTablesForRemoteDevices)
{
    struct Case {
        std::uint32_t speed;
        const char *speed_name;
        std::uint8_t cls;
        const char *class_name;
    } cases[] = {
        {0, "unknown", 0x00, "vendor-specific"}, {1, "low", 0x01, "audio"},
        {2, "full", 0x02, "comm"},               {3, "high", 0x03, "hid"},
        {4, "wireless", 0x06, "still-image"},    {5, "super", 0x07, "printer"},
        {6, "unknown", 0x08, "mass-storage"},    {0xffffffff, "unknown", 0x09, "hub"},
        {2, "full", 0x0e, "video"},              {2, "full", 0xe0, "vendor-specific"},
        {2, "full", 0xff, "vendor-specific"},    {2, "full", 0xdc, "vendor-specific"},
    };
    for (const auto &c : cases) {
        std::string raw = raw_block("1-1", c.speed, c.cls, 1, 0x1D6B, 0xC31C);
        usbip_device d;
        usbip_decode_device_block(reinterpret_cast<const std::uint8_t *>(raw.data()), &d);
        EXPECT_STREQ(d.speed_name, c.speed_name) << c.speed;
        EXPECT_EQ(d.speed, c.speed);
        EXPECT_STREQ(d.class_name, c.class_name) << int(c.cls);
        EXPECT_STREQ(d.vendor, "Vendor_0x1d6b");
        EXPECT_STREQ(d.product, "Product_0xc31c");
        EXPECT_STREQ(d.path, "/sys/remote");
        EXPECT_EQ(d.shared, 0);
    }
}

TEST(Decode, SeventyAnnouncedDevicesFillSixtyFourAndConsumeAll)
{
    std::string bytes = reply_header(0x0005, 0) + be32(70);
    for (int i = 0; i < 70; ++i) bytes += raw_block("1-" + std::to_string(i), 2, 3, i % 3) + std::string(4 * (i % 3), 'i');
    bytes += "trailing";
    std::vector<usbip_device> devs(64);
    int stored = 0;
    std::size_t used = 0;
    ASSERT_TRUE(decode_all(bytes, devs.data(), 64, &stored, &used));
    EXPECT_EQ(stored, 64);
    EXPECT_EQ(used, bytes.size() - 8);  // everything but the trailing bytes
    EXPECT_STREQ(devs[63].busid, "1-63");
}

TEST(Decode, HeaderChecks)
{
    struct Case {
        std::string header;
        bool ok;
    } cases[] = {
        {reply_header(0x0005, 0), true},
        {reply_header(0x0005, 0, 0x0106), true},  // the version is not checked
        {reply_header(0x0003, 0), false},
        {reply_header(0x0005, 1), false},
    };
    for (const auto &c : cases) {
        std::vector<usbip_device> devs(1);
        int stored = -1;
        std::size_t used = 0;
        EXPECT_EQ(decode_all(c.header + be32(0), devs.data(), 1, &stored, &used), c.ok);
    }
}

// ---------------------------------------------------------------------------
// Over a connection

TEST(OverConnection, ReplyArrivingInOddPiecesIsRead)
{
    std::string bytes = reply_header(0x0005, 0) + be32(3);
    for (int i = 0; i < 3; ++i) bytes += raw_block("9-" + std::to_string(i), 3, 8, 2) + std::string(8, 'i');
    Listener l;
    std::thread peer([&] {
        int fd = l.accept_one();
        for (std::size_t pos = 0; pos < bytes.size(); pos += 7) {  // 7-byte pieces
            raw_send(fd, bytes.substr(pos, 7));
            if (pos % 140 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        raw_recv_all(fd);
        raw_close(fd);
    });
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
    std::vector<usbip_device> devs(64);
    int stored = 0;
    EXPECT_EQ(usbip_recv_op_rep_devlist(&conn, devs.data(), 64, &stored), 0) << usbip_last_error();
    EXPECT_EQ(stored, 3);
    EXPECT_STREQ(devs[2].busid, "9-2");
    EXPECT_STREQ(devs[2].class_name, "mass-storage");
    usbip_conn_close(&conn);
    peer.join();
}

TEST(OverConnection, Failures)
{
    struct Case {
        std::string sent;
        const char *error;
    } cases[] = {
        {reply_header(0x0003, 0), "DEVLIST reply error code: 0x0003 status: 0"},
        {reply_header(0x0005, 1), "DEVLIST reply error code: 0x0005 status: 1"},
        {reply_header(0x0005, 0) + be32(2) + raw_block("1-1", 2, 3, 1), "recv() failed or connection closed"},
    };
    for (const auto &c : cases) {
        Listener l;
        std::thread peer([&] {
            int fd = l.accept_one();
            raw_send(fd, c.sent);
            raw_close(fd);
        });
        usbip_conn conn;
        ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
        std::vector<usbip_device> devs(64);
        int stored = -1;
        EXPECT_EQ(usbip_recv_op_rep_devlist(&conn, devs.data(), 64, &stored), -1);
        EXPECT_STREQ(usbip_last_error(), c.error);
        peer.join();
    }
}

TEST(OverConnection, RequestBytesAndRequestCheck)
{
    Listener l;
    std::string seen;
    std::thread peer([&] {
        int fd = l.accept_one();
        seen = raw_recv_n(fd, 8);
        raw_send(fd, reply_header(0x8003, 0) + reply_header(0x8005, 5));
        raw_recv_all(fd);
        raw_close(fd);
    });
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
    ASSERT_EQ(usbip_send_op_req_devlist(&conn), 0);
    EXPECT_EQ(usbip_recv_op_req_devlist(&conn), -1);
    EXPECT_STREQ(usbip_last_error(), "Unexpected command opcode: 0x8003 (expected 0x8005)");
    EXPECT_EQ(usbip_recv_op_req_devlist(&conn), 0);  // the status of a request is ignored
    usbip_conn_close(&conn);
    peer.join();
    EXPECT_EQ(hex_of(seen), "0111800500000000");
}

TEST(OverConnection, WrittenListReadsBackTheSameRecords)
{
    std::vector<usbip_device> sent = {device("1-1", 0x1d6b, 2, 9, 1, 3), device("1-2", 0x046d, 0xc31c, 3, 2)};
    Listener l;
    std::thread peer([&] {
        usbip_conn conn(l.accept_one());
        usbip_send_op_rep_devlist(&conn, sent.data(), 2);
    });
    usbip_conn conn;
    ASSERT_EQ(usbip_conn_connect_deadline(&conn, "127.0.0.1", l.port()), 0);
    std::vector<usbip_device> got(64);
    int stored = 0;
    ASSERT_EQ(usbip_recv_op_rep_devlist(&conn, got.data(), 64, &stored), 0) << usbip_last_error();
    peer.join();
    ASSERT_EQ(stored, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_STREQ(got[i].busid, sent[i].busid);
        EXPECT_STREQ(got[i].path, sent[i].path);
        EXPECT_EQ(got[i].idVendor, sent[i].idVendor);
        EXPECT_EQ(got[i].bNumInterfaces, sent[i].bNumInterfaces);
        EXPECT_EQ(got[i].speed, sent[i].speed);
    }
}

// ---------------------------------------------------------------------------
// An independent decoder: Wireshark's USB/IP dissector

namespace {

// Decodes `bytes` as one TCP payload from src_port to dst_port with tshark
// and returns the requested fields (all occurrences, ";"-joined).
std::map<std::string, std::string> tshark_fields(const std::string &bytes, int src_port, int dst_port,
                                                 const std::vector<std::string> &fields)
{
    std::string dir = make_temp_dir();
    EXPECT_FALSE(dir.empty());
    std::string hex_path = dir + "/payload.txt", pcap_path = dir + "/payload.pcap";
    FILE *f = std::fopen(hex_path.c_str(), "w");
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        std::fprintf(f, "%06zx", i);
        for (std::size_t j = i; j < i + 16 && j < bytes.size(); ++j)
            std::fprintf(f, " %02x", static_cast<unsigned char>(bytes[j]));
        std::fprintf(f, "\n");
    }
    std::fclose(f);
    run_command("text2pcap -T " + std::to_string(src_port) + "," + std::to_string(dst_port) + " " + hex_path +
                " " + pcap_path + " 2>&1");
    std::string cmd = "tshark -r " + pcap_path +
                      " -d tcp.port==3240,usbip -T fields -E separator='|' -E occurrence=a -E aggregator=';'";
    for (const auto &name : fields) cmd += " -e " + name;
    std::string line = run_command(cmd + " 2>/dev/null");
    run_command("rm -rf " + dir);
    std::map<std::string, std::string> values;
    std::size_t pos = 0;
    for (const auto &name : fields) {
        std::size_t end = line.find_first_of("|\n", pos);
        values[name] = line.substr(pos, end - pos);
        pos = end + 1;
    }
    return values;
}

}  // namespace

TEST(Wireshark, DecodesRequestAndReplies)
{
    std::uint8_t req[8];
    usbip_encode_header(req, OP_REQ_DEVLIST, 0);
    auto r = tshark_fields(std::string(reinterpret_cast<char *>(req), 8), 40000, 3240,
                           {"usbip.version", "usbip.operation", "usbip.status"});
    EXPECT_EQ(r["usbip.version"], "0x0111");
    EXPECT_EQ(r["usbip.operation"], "0x8005");
    EXPECT_EQ(r["usbip.status"], "0");

    // A root hub, and a mouse of class 0 whose interfaces say what it is.
    std::vector<usbip_device> devs = {device("1-1", 0x1d6b, 0x0002, 9, 1, 3), device("1-2", 0x046d, 0xc31c, 0, 2)};
    devs[1].interface_count = 2;
    devs[1].interfaces[0] = {0x03, 0x01, 0x02};
    devs[1].interfaces[1] = {0xff, 0x5d, 0x01};
    const std::vector<std::string> fields = {
        "usbip.version",    "usbip.operation",       "usbip.status",      "usbip.number_of_devices",
        "usbip.system_path", "usbip.busid",          "usbip.bus_num",     "usbip.dev_num",
        "usbip.speed",      "usbip.idVendor",        "usbip.idProduct",   "usbip.bDeviceClass",
        "usbip.bNumInterfaces", "usbip.bInterfaceClass", "usbip.bInterfaceSubClass", "usbip.bInterfaceProtocol"};
    auto list = tshark_fields(devlist_bytes(devs), 3240, 40000, fields);
    EXPECT_EQ(list["usbip.version"], "0x0111");
    EXPECT_EQ(list["usbip.operation"], "0x0005");
    EXPECT_EQ(list["usbip.status"], "0");
    EXPECT_EQ(list["usbip.number_of_devices"], "2");
    EXPECT_EQ(list["usbip.system_path"], "/sys/bus/usb/devices/1-1;/sys/bus/usb/devices/1-2");
    EXPECT_EQ(list["usbip.busid"], "1-1;1-2");
    EXPECT_EQ(list["usbip.bus_num"], "0x00000001;0x00000001");
    EXPECT_EQ(list["usbip.dev_num"], "0x00000001;0x00000002");
    EXPECT_EQ(list["usbip.speed"], "3;2");
    EXPECT_EQ(list["usbip.idVendor"], "0x1d6b;0x046d");
    EXPECT_EQ(list["usbip.idProduct"], "0x0002;0xc31c");
    EXPECT_EQ(list["usbip.bDeviceClass"], "0x09;0x00");
    EXPECT_EQ(list["usbip.bNumInterfaces"], "1;2");
    EXPECT_EQ(list["usbip.bInterfaceClass"], "0x09;0x03;0xff");
    EXPECT_EQ(list["usbip.bInterfaceSubClass"], "0x01;0x01;0x5d");
    EXPECT_EQ(list["usbip.bInterfaceProtocol"], "0x02;0x02;0x01");

    std::string imp;
    usbip_encode_import_reply(imp, &devs[1]);
    auto import = tshark_fields(imp, 3240, 40000, fields);
    EXPECT_EQ(import["usbip.operation"], "0x0003");
    EXPECT_EQ(import["usbip.status"], "0");
    EXPECT_EQ(import["usbip.busid"], "1-2");
    EXPECT_EQ(import["usbip.dev_num"], "0x00000001");
    EXPECT_EQ(import["usbip.idProduct"], "0xc31c");
}
