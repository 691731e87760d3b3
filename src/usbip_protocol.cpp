// USB/IP discovery messages: OP_REQ_DEVLIST, OP_REP_DEVLIST, OP_REQ_IMPORT
// and OP_REP_IMPORT. The codecs work on byte buffers only; the functions at
// the end move those bytes over a connection.
#include <cstdio>
#include <cstring>

#include "usbip_bytes.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_frame.h"
#include "usbip_protocol.h"

namespace {

// Offsets within a 312-byte device block.
enum : std::size_t {
    kPath = 0,
    kBusid = 256,
    kBusnum = 288,
    kDevnum = 292,
    kSpeed = 296,
    kIdVendor = 300,
    kIdProduct = 302,
    kBcdDevice = 304,
    kDeviceClass = 306,
    kDeviceSubClass = 307,
    kDeviceProtocol = 308,
    kConfigurationValue = 309,
    kNumConfigurations = 310,
    kNumInterfaces = 311,
};

// Remote devices are named from the device class alone; every code
// without a common name is "vendor-specific".
const char *remote_class_name(std::uint8_t cls)
{
    const char *name = usbip_common_class_name(cls);
    return name ? name : "vendor-specific";
}

// Text from a fixed-width field that need not be terminated.
void copy_field(char *dst, std::size_t dst_size, const std::uint8_t *src, std::size_t src_size)
{
    std::size_t n = 0;
    while (n < src_size && n + 1 < dst_size && src[n] != 0) ++n;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

std::uint8_t at_least_one(std::uint8_t v) { return v == 0 ? 1 : v; }

void append(std::string &out, const std::uint8_t *data, std::size_t len)
{
    out.append(reinterpret_cast<const char *>(data), len);
}

}  // namespace

const char *usbip_speed_name(std::uint32_t speed)
{
    switch (speed) {
    case 1: return "low";
    case 2: return "full";
    case 3: return "high";
    case 4: return "wireless";
    case 5: return "super";
    default: return "unknown";
    }
}

void usbip_encode_header(std::uint8_t out[USBIP_HEADER_SIZE], std::uint16_t code, std::uint32_t status)
{
    usbip_put_be16(out, USBIP_VERSION);
    usbip_put_be16(out + 2, code);
    usbip_put_be32(out + 4, status);
}

usbip_op_header usbip_decode_header(const std::uint8_t in[USBIP_HEADER_SIZE])
{
    return {usbip_get_be16(in), usbip_get_be16(in + 2), usbip_get_be32(in + 4)};
}

void usbip_encode_device_block(std::uint8_t out[USBIP_DEVICE_BLOCK_SIZE], const usbip_device &dev,
                               std::uint32_t devnum)
{
    std::memset(out, 0, USBIP_DEVICE_BLOCK_SIZE);
    const char *path = dev.path[0] != '\0' ? dev.path : "/sys/devices/usb/0";
    std::memcpy(out + kPath, path, strnlen(path, 255));
    std::memcpy(out + kBusid, dev.busid, strnlen(dev.busid, 31));
    usbip_put_be32(out + kBusnum, 1);
    usbip_put_be32(out + kDevnum, devnum);
    usbip_put_be32(out + kSpeed, dev.speed);
    usbip_put_be16(out + kIdVendor, dev.idVendor);
    usbip_put_be16(out + kIdProduct, dev.idProduct);
    usbip_put_be16(out + kBcdDevice, dev.bcdDevice);
    out[kDeviceClass] = dev.bDeviceClass;
    out[kDeviceSubClass] = dev.bDeviceSubClass;
    out[kDeviceProtocol] = dev.bDeviceProtocol;
    out[kConfigurationValue] = at_least_one(dev.bConfigurationValue);
    out[kNumConfigurations] = at_least_one(dev.bNumConfigurations);
    out[kNumInterfaces] = at_least_one(dev.bNumInterfaces);
}

void usbip_decode_device_block(const std::uint8_t in[USBIP_DEVICE_BLOCK_SIZE], usbip_device *out)
{
    std::memset(out, 0, sizeof *out);
    copy_field(out->busid, sizeof out->busid, in + kBusid, 32);
    copy_field(out->path, sizeof out->path, in + kPath, 256);
    out->idVendor = usbip_get_be16(in + kIdVendor);
    out->idProduct = usbip_get_be16(in + kIdProduct);
    out->bcdDevice = usbip_get_be16(in + kBcdDevice);
    out->speed = usbip_get_be32(in + kSpeed);
    out->bDeviceClass = in[kDeviceClass];
    out->bDeviceSubClass = in[kDeviceSubClass];
    out->bDeviceProtocol = in[kDeviceProtocol];
    out->bConfigurationValue = in[kConfigurationValue];
    out->bNumConfigurations = in[kNumConfigurations];
    out->bNumInterfaces = in[kNumInterfaces];
    usbip_copy_text(out->speed_name, sizeof out->speed_name, usbip_speed_name(out->speed));
    usbip_copy_text(out->class_name, sizeof out->class_name, remote_class_name(out->bDeviceClass));
    std::snprintf(out->vendor, sizeof out->vendor, "Vendor_0x%04x", out->idVendor);
    std::snprintf(out->product, sizeof out->product, "Product_0x%04x", out->idProduct);
}

void usbip_encode_devlist_reply(std::string &out, const usbip_device *devs, int count)
{
    if (count < 0) count = 0;
    std::uint8_t head[USBIP_HEADER_SIZE + 4];
    usbip_encode_header(head, OP_REP_DEVLIST, 0);
    usbip_put_be32(head + USBIP_HEADER_SIZE, static_cast<std::uint32_t>(count));
    append(out, head, sizeof head);
    for (int i = 0; i < count; ++i) {
        std::uint8_t block[USBIP_DEVICE_BLOCK_SIZE];
        usbip_encode_device_block(block, devs[i], static_cast<std::uint32_t>(i + 1));
        append(out, block, sizeof block);
        // Each interface's own codes where the record knows them; where it
        // does not (no readable configuration), the device's.
        const usbip_device &d = devs[i];
        for (int n = 0; n < block[kNumInterfaces]; ++n) {
            const std::uint8_t iface[USBIP_INTERFACE_SIZE] = {
                n < d.interface_count ? d.interfaces[n].bInterfaceClass : d.bDeviceClass,
                n < d.interface_count ? d.interfaces[n].bInterfaceSubClass : d.bDeviceSubClass,
                n < d.interface_count ? d.interfaces[n].bInterfaceProtocol : d.bDeviceProtocol, 0};
            append(out, iface, sizeof iface);
        }
    }
}

void usbip_encode_import_reply(std::string &out, const usbip_device *dev, std::uint32_t refusal)
{
    std::uint8_t head[USBIP_HEADER_SIZE];
    usbip_encode_header(head, OP_REP_IMPORT, dev != nullptr ? USBIP_IMPORT_OK : refusal);
    append(out, head, sizeof head);
    if (dev != nullptr) {
        std::uint8_t block[USBIP_DEVICE_BLOCK_SIZE];
        usbip_encode_device_block(block, *dev, 1);
        append(out, block, sizeof block);
    }
}

void usbip_encode_import_request(std::uint8_t out[USBIP_IMPORT_REQUEST_SIZE], const char *busid)
{
    usbip_encode_header(out, OP_REQ_IMPORT, 0);
    std::memset(out + USBIP_HEADER_SIZE, 0, USBIP_BUSID_SIZE);
    std::memcpy(out + USBIP_HEADER_SIZE, busid, strnlen(busid, USBIP_BUSID_SIZE - 1));
}

void usbip_decode_import_block(const std::uint8_t in[USBIP_DEVICE_BLOCK_SIZE], usbip_imported *out)
{
    usbip_decode_device_block(in, &out->device);
    out->busnum = usbip_get_be32(in + kBusnum);
    out->devnum = usbip_get_be32(in + kDevnum);
}

namespace {

// A device of class 0 says "see the interfaces": it is named by its first
// interface's class, with the table of local devices, as the server names
// it. Every entry is kept in the record.
void keep_interfaces(usbip_device &dev, const std::uint8_t *entries, std::size_t count)
{
    for (std::size_t i = 0; i < count && dev.interface_count < USBIP_MAX_INTERFACES; ++i) {
        const std::uint8_t *e = entries + i * USBIP_INTERFACE_SIZE;
        dev.interfaces[dev.interface_count++] = {e[0], e[1], e[2]};
    }
    if (dev.bDeviceClass == 0 && count > 0)
        usbip_copy_text(dev.class_name, sizeof dev.class_name, usbip_local_class_name(entries[0]));
}

}  // namespace

bool usbip_devlist_decoder::feed(const std::uint8_t *data, std::size_t len)
{
    if (len != need_) return false;
    switch (stage_) {
    case Stage::header:
        header_ = usbip_decode_header(data);
        if (header_.code != OP_REP_DEVLIST || header_.status != 0) return false;
        stage_ = Stage::count;
        need_ = 4;
        return true;
    case Stage::count:
        remaining_ = usbip_get_be32(data);
        break;
    case Stage::block:
        last_stored_ = stored_ < capacity_;
        if (last_stored_) {
            usbip_decode_device_block(data, &records_[stored_]);
            ++stored_;
        }
        --remaining_;
        if (data[kNumInterfaces] != 0) {
            stage_ = Stage::interfaces;
            need_ = data[kNumInterfaces] * USBIP_INTERFACE_SIZE;
            return true;
        }
        break;
    case Stage::interfaces:
        if (last_stored_) keep_interfaces(records_[stored_ - 1], data, len / USBIP_INTERFACE_SIZE);
        break;
    case Stage::done:
        return false;
    }
    if (remaining_ > 0) {
        stage_ = Stage::block;
        need_ = USBIP_DEVICE_BLOCK_SIZE;
    } else {
        stage_ = Stage::done;
        need_ = 0;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Over a connection

int usbip_send_op_req_devlist(usbip_conn *c)
{
    std::uint8_t head[USBIP_HEADER_SIZE];
    usbip_encode_header(head, OP_REQ_DEVLIST, 0);
    return usbip_conn_send_all(c, head, sizeof head);
}

int usbip_recv_op_req_devlist(usbip_conn *c)
{
    std::uint8_t head[USBIP_HEADER_SIZE];
    if (usbip_conn_recv_all(c, head, sizeof head) != 0) return -1;
    usbip_op_header h = usbip_decode_header(head);
    if (h.code != OP_REQ_DEVLIST) {
        usbip_set_last_error(USBIP_ERROR_PROTOCOL, "Unexpected command opcode: 0x%04x (expected 0x%04x)", h.code, OP_REQ_DEVLIST);
        return -1;
    }
    return 0;
}

int usbip_send_op_rep_devlist(usbip_conn *c, const usbip_device *devs, int count)
{
    std::string bytes;
    usbip_encode_devlist_reply(bytes, devs, count);
    return usbip_conn_send_all(c, bytes.data(), bytes.size());
}

int usbip_recv_op_rep_devlist(usbip_conn *c, usbip_device *devs, int capacity, int *stored)
{
    usbip_devlist_decoder decoder(devs, capacity);
    std::uint8_t buf[255 * USBIP_INTERFACE_SIZE];
    *stored = 0;
    while (!decoder.done()) {
        std::size_t n = decoder.need();
        if (usbip_conn_recv_all(c, buf, n) != 0) return -1;
        bool ok = decoder.feed(buf, n);
        *stored = decoder.stored();
        if (!ok) {
            usbip_set_last_error(USBIP_ERROR_PROTOCOL, "DEVLIST reply error code: 0x%04x status: %u", decoder.header().code,
                                 decoder.header().status);
            return -1;
        }
    }
    return 0;
}

namespace {

usbip_error_code import_refusal_code(std::uint32_t status)
{
    switch (status) {
    case USBIP_IMPORT_NOT_SHARED: return USBIP_ERROR_NOT_SHARED;
    case USBIP_IMPORT_BUSY: return USBIP_ERROR_BUSY;
    case USBIP_IMPORT_DEVICE_ERROR: return USBIP_ERROR_DEVICE;
    default: return USBIP_ERROR_PROTOCOL;
    }
}

const char *import_refusal_text(std::uint32_t status)
{
    switch (status) {
    case USBIP_IMPORT_NOT_SHARED: return "the server does not share it";
    case USBIP_IMPORT_BUSY: return "another client uses it";
    case USBIP_IMPORT_DEVICE_ERROR: return "the server cannot open it";
    default: return "unknown status";
    }
}

}  // namespace

int usbip_request_import(usbip_conn *c, const char *busid, usbip_imported *out)
{
    std::uint8_t request[USBIP_IMPORT_REQUEST_SIZE];
    usbip_encode_import_request(request, busid);
    if (usbip_conn_send_all(c, request, sizeof request) != 0) return -1;
    std::uint8_t head[USBIP_HEADER_SIZE];
    if (usbip_conn_recv_all(c, head, sizeof head) != 0) return -1;
    usbip_op_header h = usbip_decode_header(head);
    if (h.code != OP_REP_IMPORT) {
        usbip_set_last_error(USBIP_ERROR_PROTOCOL, "Unexpected reply opcode: 0x%04x (expected 0x%04x)", h.code, OP_REP_IMPORT);
        return -1;
    }
    if (h.status != USBIP_IMPORT_OK) {
        usbip_set_last_error(import_refusal_code(h.status), "Import of '%s' refused (status %u): %s", busid, h.status,
                             import_refusal_text(h.status));
        return -1;
    }
    std::uint8_t block[USBIP_DEVICE_BLOCK_SIZE];
    if (usbip_conn_recv_all(c, block, sizeof block) != 0) return -1;
    usbip_decode_import_block(block, out);
    return 0;
}
