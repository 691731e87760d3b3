// USB/IP device-list and import messages. usbip_protocol.cpp.
#ifndef HALVOREN_USBIP_PROTOCOL_H
#define HALVOREN_USBIP_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "usbip_conn.h"
#include "usbip_device.h"

inline constexpr std::uint16_t OP_REQ_DEVLIST = 0x8005;
inline constexpr std::uint16_t OP_REP_DEVLIST = 0x0005;
inline constexpr std::uint16_t OP_REQ_IMPORT = 0x8003;
inline constexpr std::uint16_t OP_REP_IMPORT = 0x0003;
inline constexpr std::size_t USBIP_HEADER_SIZE = 8;
inline constexpr std::size_t USBIP_BUSID_SIZE = 32;
inline constexpr std::size_t USBIP_DEVICE_BLOCK_SIZE = 312;
inline constexpr std::size_t USBIP_INTERFACE_SIZE = 4;

struct usbip_op_header {
    std::uint16_t version;
    std::uint16_t code;
    std::uint32_t status;
};

// "low", "full", "high", "wireless", "super" for a USB/IP speed code;
// "unknown" for the rest.
const char *usbip_speed_name(std::uint32_t speed);
void usbip_encode_header(std::uint8_t out[USBIP_HEADER_SIZE], std::uint16_t code, std::uint32_t status);
usbip_op_header usbip_decode_header(const std::uint8_t in[USBIP_HEADER_SIZE]);
void usbip_encode_device_block(std::uint8_t out[USBIP_DEVICE_BLOCK_SIZE], const usbip_device &dev,
                               std::uint32_t devnum);
// A received block as a record, named by the remote decoding tables (the
// list reader then names a device of class 0 by its first interface).
void usbip_decode_device_block(const std::uint8_t in[USBIP_DEVICE_BLOCK_SIZE], usbip_device *out);
// Appends a whole OP_REP_DEVLIST for `count` records.
void usbip_encode_devlist_reply(std::string &out, const usbip_device *devs, int count);
// OP_REP_IMPORT statuses, as the Linux tools number them. A server that
// does not forward devices only ever refuses with "not shared".
inline constexpr std::uint32_t USBIP_IMPORT_OK = 0;
inline constexpr std::uint32_t USBIP_IMPORT_NOT_SHARED = 1;
inline constexpr std::uint32_t USBIP_IMPORT_BUSY = 2;          // another client forwards it
inline constexpr std::uint32_t USBIP_IMPORT_DEVICE_ERROR = 3;  // it cannot be opened or claimed
inline constexpr std::size_t USBIP_IMPORT_REQUEST_SIZE = USBIP_HEADER_SIZE + USBIP_BUSID_SIZE;

// Appends OP_REP_IMPORT: the device (status 0), or, when `dev` is null, the
// header alone with the refusal's status.
void usbip_encode_import_reply(std::string &out, const usbip_device *dev,
                               std::uint32_t refusal = USBIP_IMPORT_NOT_SHARED);
// OP_REQ_IMPORT for `busid` (cut to 31 characters, zero-filled).
void usbip_encode_import_request(std::uint8_t out[USBIP_IMPORT_REQUEST_SIZE], const char *busid);

// What a client learns from a successful OP_REP_IMPORT: the device, and the
// bus and device numbers that name it in the URB phase (devid).
struct usbip_imported {
    usbip_device device{};
    std::uint32_t busnum = 0;
    std::uint32_t devnum = 0;
    std::uint32_t devid() const { return busnum << 16 | (devnum & 0xffff); }
};
void usbip_decode_import_block(const std::uint8_t in[USBIP_DEVICE_BLOCK_SIZE], usbip_imported *out);

// Reads an OP_REP_DEVLIST from a byte stream without touching any I/O: the
// caller asks need() how many bytes come next and hands exactly those to
// feed() until done().
class usbip_devlist_decoder {
public:
    usbip_devlist_decoder(usbip_device *records, int capacity) : records_(records), capacity_(capacity) {}
    std::size_t need() const { return need_; }
    bool done() const { return stage_ == Stage::done; }
    // False when the header is not a successful OP_REP_DEVLIST; header() tells.
    bool feed(const std::uint8_t *data, std::size_t len);
    const usbip_op_header &header() const { return header_; }
    int stored() const { return stored_; }

private:
    enum class Stage { header, count, block, interfaces, done };
    usbip_device *records_;
    int capacity_;
    Stage stage_ = Stage::header;
    std::size_t need_ = USBIP_HEADER_SIZE;
    usbip_op_header header_{};
    std::uint32_t remaining_ = 0;  // device entries still to come
    int stored_ = 0;
    bool last_stored_ = false;  // the last block became records_[stored_ - 1]
};

int usbip_send_op_req_devlist(usbip_conn *c);
int usbip_recv_op_req_devlist(usbip_conn *c);
int usbip_send_op_rep_devlist(usbip_conn *c, const usbip_device *devs, int count);
int usbip_recv_op_rep_devlist(usbip_conn *c, usbip_device *devs, int capacity, int *stored);
// Asks for `busid` and reads the reply; 0 when the server granted it (the
// URB phase follows on the connection), -1 with the thread's message set.
int usbip_request_import(usbip_conn *c, const char *busid, usbip_imported *out);

#endif
