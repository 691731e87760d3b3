// Internal interfaces shared between the modules of the library: the device
// record, the connection object, and the functions modules call across each
// other. Not installed, not part of the ABI.
#ifndef HALVOREN_USBIP_INTERNAL_H
#define HALVOREN_USBIP_INTERNAL_H

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/threads.h"

// ---------------------------------------------------------------------------
// Library frame (usbip.cpp)

#if defined(__GNUC__)
#define USBIP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define USBIP_PRINTF(fmt, args)
#endif

inline constexpr int USBIP_VERSION = 0x0111;
inline constexpr std::size_t USBIP_ERROR_SIZE = 1024;

// Formats the calling thread's last-error message (cut to 1,023 characters).
int usbip_set_last_error(const char *fmt, ...) USBIP_PRINTF(1, 2);

// Runs an export's body; an exception (only std::bad_alloc is expected)
// becomes a failure with a message instead of crossing the C boundary.
template <typename R, typename F>
R usbip_guard(R on_failure, F &&body) noexcept
{
    try {
        return body();
    } catch (...) {
        usbip_set_last_error("Out of memory");
        return on_failure;
    }
}

// Big-endian fields, read and written one byte at a time.
inline void usbip_put_be16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void usbip_put_be32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint16_t usbip_get_be16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t usbip_get_be32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// ---------------------------------------------------------------------------
// Device record and JSON (usbip_enum.cpp)

inline constexpr int USBIP_MAX_DEVICES = 64;

struct usbip_device {
    char busid[32];
    char path[256];
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bConfigurationValue;
    std::uint8_t bNumConfigurations;
    std::uint8_t bNumInterfaces;
    std::uint32_t speed;
    char vendor[256];
    char product[256];
    char speed_name[16];
    char class_name[32];
    std::int32_t shared;
};

// Copies text into a fixed-width field, cut to fit and NUL-terminated.
void usbip_copy_text(char *dst, std::size_t size, const char *src);

// Appends `text` as the body of a JSON string: quotes, backslashes and
// control characters escaped, bytes that are not valid UTF-8 replaced by
// U+FFFD. Plain printable ASCII is appended unchanged.
void usbip_json_escape(std::string &out, const char *text, std::size_t max_len);
// Appends the device JSON object of `dev`.
void usbip_dev_to_json(std::string &out, const usbip_device &dev);

// Builds a JSON array, one object at a time, into a caller's buffer.
class json_array_builder {
public:
    explicit json_array_builder(std::string &out) : out_(out)
    {
        out_.reserve(65536);  // a list call keeps returning the same address
        out_.clear();
        out_.push_back('[');
    }
    // Begins the next item: writes the separator; the caller appends the object.
    std::string &next()
    {
        if (items_++ > 0) out_.push_back(',');
        return out_;
    }
    const char *finish()
    {
        out_.push_back(']');
        return out_.c_str();
    }

private:
    std::string &out_;
    int items_ = 0;
};

// The name of a USB class code that local and remote devices share
// ("audio", "hid", "hub", ...); null for the codes whose name depends on
// where the device is.
const char *usbip_common_class_name(unsigned code);

// Renders records as a JSON array into `out` and returns out.c_str().
const char *usbip_devices_to_json(std::string &out, const usbip_device *devs, int count);

// ---------------------------------------------------------------------------
// Local device inventory (usbip_enum.cpp)

int usbip_enum_init();
void usbip_enum_cleanup();
int usbip_enum_refresh();
int usbip_enum_get_count();
// Copies the inventory record with exactly this bus id into `out`, under the
// inventory lock. False when there is none.
bool usbip_enum_find_by_busid(const char *busid, usbip_device *out);
// The inventory's libusb context, null without USB. It lives until
// usbip_enum_cleanup, which runs only after every server session has ended:
// the sessions that forward devices use it without the inventory lock.
struct libusb_context;
libusb_context *usbip_enum_context();
// The bus id of a libusb device, as the inventory names it: "<bus>-<port>"
// (the address for a root hub).
struct libusb_device;
void usbip_enum_busid(libusb_device *dev, char *out, std::size_t size);

// ---------------------------------------------------------------------------
// Connection object and timed I/O (usbip_tls.cpp)

struct usbip_tls_session;  // one TLS session with what it uses; usbip_tls.cpp
struct usbip_tls_session_deleter {
    void operator()(usbip_tls_session *s) const;
};

// One TCP conversation: socket, optional TLS session, deadline, and the
// labels of the time-out message. Owns its socket and session. The socket
// is non-blocking; every transfer waits at most until the deadline.
struct usbip_conn {
    plat::socket_t fd = plat::kNoSocket;
    int tls_active = 0;
    std::unique_ptr<usbip_tls_session, usbip_tls_session_deleter> tls_session;
    std::int64_t deadline_ms = 0;  // monotonic; 0 = none
    char target_label[64] = {};    // "host:port" of the connect
    char phase_label[32] = {};     // the step in progress
    int timed_out = 0;             // a time-out message was issued
    // Set when a pool's stop must be able to wake this connection; ended
    // before the socket closes.
    std::unique_ptr<plat::SocketWatch> watch;

    usbip_conn() = default;
    explicit usbip_conn(plat::socket_t s) : fd(s) {}
    ~usbip_conn();
    usbip_conn(const usbip_conn &) = delete;
    usbip_conn &operator=(const usbip_conn &) = delete;

    // Hands the socket over to the caller; only without TLS.
    plat::socket_t release_socket();
};

// Connects; with a deadline, the whole conversation must end within the
// client time-out from now. 0, or -1 with the thread's message set.
int usbip_conn_connect(usbip_conn *c, const char *host, int port);
int usbip_conn_connect_deadline(usbip_conn *c, const char *host, int port);
// Connects without a deadline on the connection, waiting at most limit_ms
// (and never longer than the client time-out) and giving up as soon as
// `keep_going` is cleared.
int usbip_conn_connect_bounded(usbip_conn *c, const char *host, int port, int limit_ms,
                               const std::atomic<bool> &keep_going);
// Sets a deadline `ms` from now on an accepted connection.
void usbip_conn_set_deadline(usbip_conn *c, std::int64_t ms);
int usbip_conn_send_all(usbip_conn *c, const void *data, std::size_t len);
int usbip_conn_recv_all(usbip_conn *c, void *data, std::size_t len);
void usbip_conn_close(usbip_conn *c);
// One attempt that never waits, for a loop that waits on the socket itself
// (as plat::recv_now and plat::send_now, through TLS when the connection
// carries it): > 0 bytes moved; -1 with IoError::timed_out when nothing can
// move now; a receive that finds the peer closed returns 0 with
// IoError::closed. With TLS, a send that could not move must be repeated
// with at least the same bytes at the front.
long usbip_conn_recv_some(usbip_conn *c, void *data, std::size_t len, plat::IoError *err);
long usbip_conn_send_some(usbip_conn *c, const void *data, std::size_t len, plat::IoError *err);
// Bytes that TLS has already taken from the socket and decrypted: a wait on
// the socket does not see them, so a reader takes them first.
std::size_t usbip_conn_buffered(const usbip_conn *c);
void usbip_conn_set_phase(usbip_conn *c, const char *label);
// Puts the time-out message back when this connection timed out.
void usbip_conn_restore_error(usbip_conn *c);
int usbip_client_timeout_ms();

// ---------------------------------------------------------------------------
// TLS layer (usbip_tls.cpp)

int usbip_tls_init();
void usbip_tls_cleanup();
int usbip_tls_wrap_server(usbip_conn *c);
int usbip_tls_wrap_client(usbip_conn *c);

// ---------------------------------------------------------------------------
// Password challenge handshake (usbip_auth.cpp)

inline constexpr std::size_t USBIP_CHALLENGE_SIZE = 32;
inline constexpr std::size_t USBIP_DIGEST_SIZE = 32;
inline constexpr std::size_t USBIP_HASH_TEXT_SIZE = 65;  // 64 hex digits and a NUL

int usbip_calc_sha256(const void *data, std::size_t len, std::uint8_t out[USBIP_DIGEST_SIZE]);
// 64 lower-case hex digits of the password's SHA-256; empty for no password.
int usbip_hash_password(const char *password, char out[USBIP_HASH_TEXT_SIZE]);
// SHA-256 over the challenge followed by the password's hash text.
int usbip_auth_proof(const std::uint8_t challenge[USBIP_CHALLENGE_SIZE], const char *password,
                     std::uint8_t out[USBIP_DIGEST_SIZE]);
// The server half; `on_rejected` (when given) runs when the client's proof
// is wrong (not when the connection fails), before the refusal is sent.
int usbip_auth_handshake_server(usbip_conn *c, const char *password, const std::function<void()> &on_rejected = {});
// The server half in two steps, for a server that greets a connection and
// waits for its answer elsewhere: the greeting (flag and a fresh challenge
// from the secure random source; false without one), then the check of the
// client's reply against that challenge, with the result sent back.
inline constexpr std::size_t USBIP_GREETING_SIZE = 4 + USBIP_CHALLENGE_SIZE;
bool usbip_auth_make_greeting(const char *password, std::uint8_t out[USBIP_GREETING_SIZE]);
int usbip_auth_server_verify(usbip_conn *c, const char *password, const std::uint8_t challenge[USBIP_CHALLENGE_SIZE],
                             const std::function<void()> &on_rejected = {});
int usbip_auth_handshake_client(usbip_conn *c, const char *password);

// ---------------------------------------------------------------------------
// USB/IP device-list messages (usbip_protocol.cpp)

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
// A received block as a record, named by the remote decoding tables.
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
};

int usbip_send_op_req_devlist(usbip_conn *c);
int usbip_recv_op_req_devlist(usbip_conn *c);
int usbip_send_op_rep_devlist(usbip_conn *c, const usbip_device *devs, int count);
int usbip_recv_op_rep_devlist(usbip_conn *c, usbip_device *devs, int capacity, int *stored);
// Asks for `busid` and reads the reply; 0 when the server granted it (the
// URB phase follows on the connection), -1 with the thread's message set.
int usbip_request_import(usbip_conn *c, const char *busid, usbip_imported *out);

// ---------------------------------------------------------------------------
// Client queries (usbip_client.cpp)

// Lists a server by code on a connection to a relay: the CONNECT line, the
// relay's answer, then the handshake and the list through the bridge.
const char *usbip_client_list_by_code_on(usbip_conn *conn, const char *code, const char *password);
// The first half of that: the CONNECT line and the relay's answer. 0 when
// the connection now leads to the server (its handshake comes next), -1
// with the thread's message set.
int usbip_client_pair_by_code(usbip_conn *conn, const char *code);

// ---------------------------------------------------------------------------
// Sharing server (usbip_server.cpp)

// Reads one request on a connection that passed the handshake and answers
// it from the shared table. With `forwarding`, a granted import goes on to
// carry the device's traffic on the same connection.
void usbip_server_serve_request(usbip_conn &conn, bool forwarding = false);

// How long a session may take for everything before its reply, and again
// for writing the reply (tests shorten it).
void usbip_server_set_session_limit_ms(int ms);
// Seconds between the relay worker's heartbeats (tests shorten it).
void usbip_server_set_heartbeat_period(int seconds);
// The server's budget for wrong passwords from sources that have not proved
// the password recently: room for `burst`, then one more every refill_ms
// (60 and 2000 unless changed; tests shorten them). Full again.
void usbip_server_set_guess_budget(int burst, int refill_ms);
// TLS handshakes of sources that have not proved the password recently: per
// source a burst, then one every per_source_refill_ms (10 and 200), and for
// all of them together a burst, then one every refill_ms (100 and 20).
// Only while the server is stopped.
void usbip_server_set_tls_limits(int per_source_burst, int per_source_refill_ms, int burst, int refill_ms);

// ---------------------------------------------------------------------------
// Relay (usbip_relay.cpp)

// Pairings one client address may start with one code: a burst, then one
// every refill_ms (30 and 1000 unless changed; benchmarks that pair
// thousands of times from one address raise it). Only while the relay is
// stopped.
void usbip_relay_set_pairing_limit(int burst, int refill_ms);
// The relay's budget for wrong codes, tickets and registration keys from
// sources that have not proved themselves: room for `burst`, then one more
// every refill_ms (60 and 2000 unless changed; tests shorten them). Full
// again.
void usbip_relay_set_guess_budget(int burst, int refill_ms);

// ---------------------------------------------------------------------------
// Relay line protocol (usbip_relay_lines.cpp)
//
// Single lines of ASCII ended by LF; receivers drop every CR. The parsers
// below take a line as usbip_read_line stored it (no CR, no LF).

inline constexpr char USBIP_RELAY_CHARSET[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
inline constexpr std::size_t USBIP_RELAY_CODE_LEN = 6;
inline constexpr std::size_t USBIP_RELAY_TICKET_SIZE = 32;  // the relay reads back at most 31 characters

enum class relay_request { none, register_server, connect_client, attach_server };

struct relay_first_line {
    relay_request kind = relay_request::none;
    std::string argument;  // the hash (<= 64), code (<= 15) or ticket (<= 31)
};

// The first line of a connection to the relay: REGISTER (no space needed),
// "CONNECT " or "ATTACH ", tested in that order, case-sensitively.
relay_first_line usbip_relay_parse_first_line(const char *line);
// The first word after `skip` characters, cut to `max` characters, the
// way "%<max>s" reads it (leading white space skipped).
std::string usbip_relay_word(const char *line, std::size_t skip, std::size_t max);
bool usbip_relay_is_heartbeat(const char *line);
// "CODE <code>" (code cut to 15), "DISPATCH <ticket> [<client>]" (each cut
// to 63; the client's address, which relays of this library add so that the
// server can count a client's guesses as its own), "OK...".
bool usbip_relay_parse_code(const char *line, std::string *code);
bool usbip_relay_parse_dispatch(const char *line, std::string *ticket, std::string *client = nullptr);
bool usbip_relay_is_ok(const char *line);
// "PROVEN <client>": a server tells its relay that the client the relay
// named in a DISPATCH proved the server's password (the relay then lets that
// client's pairings with this code through however busy the code is).
bool usbip_relay_parse_proven(const char *line, std::string *client);
// A registration key: 1 to 64 printable ASCII characters without spaces
// (it travels as REGISTER's one word, which the relay reads up to 64).
inline constexpr std::size_t USBIP_RELAY_KEY_MAX = 64;
bool usbip_relay_key_valid(const char *key);
// A six-character pairing code drawn from the secure random source.
std::string usbip_relay_make_code();
// "TK<counter>_<64 random bits in decimal>"; empty without a random source.
std::string usbip_relay_make_ticket(int counter);
// The ticket counter after `counter` (at most eight digits).
int usbip_relay_next_ticket_counter(int counter);

// ---------------------------------------------------------------------------
// Lines on plain sockets (usbip_line_io.cpp)

// Reads one line, one byte per receive so that nothing after its LF is
// taken from the socket, waiting at most wait_ms for each byte and never
// beyond deadline_ms (0: none). Stores at most size-1 characters (the rest
// stays on the socket). Returns the count stored, or -1 on time-out, error
// or close.
int usbip_read_line(plat::socket_t s, char *buf, std::size_t size, int wait_ms, std::int64_t deadline_ms = 0);
// Sends the whole line within limit_ms.
bool usbip_send_line(plat::socket_t s, const std::string &line, int limit_ms = 5000);
// Sends the whole line in one attempt that never waits; false when the
// connection did not take all of it (its stream is then broken).
bool usbip_send_line_now(plat::socket_t s, const std::string &line);

#endif
