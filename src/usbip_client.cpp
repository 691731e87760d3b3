// Client queries: a remote server's device list, directly or through a
// relay code, and one remote device by bus id.
#include <cstring>
#include <string>

#include "halvoren_usbip.h"
#include "usbip_auth.h"
#include "usbip_client.h"
#include "usbip_conn.h"
#include "usbip_device.h"
#include "usbip_frame.h"
#include "usbip_line_io.h"
#include "usbip_protocol.h"
#include "usbip_relay_lines.h"
#include "usbip_tls.h"

namespace {

thread_local std::string tls_client_json;
thread_local std::string tls_client_dev;

struct RemoteList {
    usbip_device devices[USBIP_MAX_DEVICES];
    int count = 0;
};

// Handshake, request and reply on a connected (and possibly TLS-wrapped)
// connection. On failure the connection is closed and a time-out is
// reported as such even when a later step wrote its own message.
bool exchange(usbip_conn *c, const char *password, const char *auth_phase, RemoteList *out)
{
    bool ok = false;
    usbip_conn_set_phase(c, auth_phase);
    if (usbip_auth_handshake_client(c, password) == 0) {
        usbip_conn_set_phase(c, "device list request");
        if (usbip_send_op_req_devlist(c) == 0) {
            usbip_conn_set_phase(c, "device list reply");
            out->count = 0;
            ok = usbip_recv_op_rep_devlist(c, out->devices, USBIP_MAX_DEVICES, &out->count) == 0;
        }
    }
    usbip_conn_close(c);
    if (!ok) usbip_conn_restore_error(c);
    return ok;
}

bool query_direct(const char *host, int port, const char *password, int use_tls, RemoteList *out)
{
    usbip_conn conn;
    if (usbip_conn_connect_deadline(&conn, host, port) != 0) return false;
    if (use_tls && usbip_tls_wrap_client(&conn) != 0) {
        usbip_conn_close(&conn);
        usbip_conn_restore_error(&conn);
        return false;
    }
    return exchange(&conn, password, "authentication handshake", out);
}

}  // namespace

int usbip_client_pair_by_code(usbip_conn *conn, const char *code)
{
    usbip_conn_set_phase(conn, "relay pairing");
    // The pairing lines travel on the plain socket; the relay's answer is
    // read one byte at a time so that the server's first bytes, which follow
    // "OK", stay on the socket.
    plat::IoError err;
    std::string line = std::string("CONNECT ") + code + "\n";
    if (plat::send_until(conn->fd, line.data(), line.size(), conn->deadline_ms, &err) <= 0) {
        usbip_set_last_error(USBIP_ERROR_RELAY, "Failed to send CONNECT to relay");
        return -1;
    }
    char answer[128];
    if (usbip_read_line(conn->fd, answer, sizeof answer, 8000) < 1) {
        usbip_set_last_error(USBIP_ERROR_TIMEOUT, "Relay timeout on connection response");
        return -1;
    }
    if (!usbip_relay_is_ok(answer)) {
        usbip_set_last_error(usbip_relay_refusal_code(answer), "Relay returned: %s", answer);
        return -1;
    }
    return 0;
}

const char *usbip_client_list_by_code_on(usbip_conn *conn, const char *code, const char *password)
{
    if (usbip_client_pair_by_code(conn, code) != 0) return nullptr;
    RemoteList list;
    if (!exchange(conn, password, "authentication handshake (via relay)", &list)) return nullptr;
    return usbip_devices_to_json(tls_client_json, list.devices, list.count);
}

extern "C" {

USBIP_API const char *usbip_client_list_remote(const char *host, int port, const char *password, int use_tls)
{
    return usbip_guard<const char *>(nullptr, [&]() -> const char * {
        if (host == nullptr || port <= 0) {
            usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid host or port");
            return nullptr;
        }
        if (!usbip_password_fits(password)) return nullptr;
        RemoteList list;
        if (!query_direct(host, port, password, use_tls, &list)) return nullptr;
        return usbip_devices_to_json(tls_client_json, list.devices, list.count);
    });
}

USBIP_API const char *usbip_client_list_by_code(const char *relay_host, int relay_port, const char *code,
                                                const char *password)
{
    return usbip_guard<const char *>(nullptr, [&]() -> const char * {
        if (relay_port <= 0 || code == nullptr || relay_host == nullptr) {
            usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid relay parameters");
            return nullptr;
        }
        if (!usbip_password_fits(password)) return nullptr;
        usbip_conn conn;
        if (usbip_conn_connect_deadline(&conn, relay_host, relay_port) != 0) return nullptr;
        return usbip_client_list_by_code_on(&conn, code, password);
    });
}

USBIP_API const char *usbip_client_device_info(const char *host, int port, const char *busid,
                                               const char *password, int use_tls)
{
    return usbip_guard<const char *>(nullptr, [&]() -> const char * {
        if (port <= 0 || busid == nullptr || host == nullptr) {
            usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid parameters for client_device_info");
            return nullptr;
        }
        if (!usbip_password_fits(password)) return nullptr;
        RemoteList list;
        if (!query_direct(host, port, password, use_tls, &list)) return nullptr;
        for (int i = 0; i < list.count; ++i) {
            if (std::strcmp(list.devices[i].busid, busid) == 0) {
                tls_client_dev.clear();
                usbip_dev_to_json(tls_client_dev, list.devices[i]);
                return tls_client_dev.c_str();
            }
        }
        usbip_set_last_error(USBIP_ERROR_NOT_FOUND, "Remote device with busid '%s' not found", busid);
        return nullptr;
    });
}

USBIP_API int usbip_client_pin_fingerprint(const char *fingerprint)
{
    return usbip_guard(-1, [&] { return usbip_tls_pin(fingerprint); });
}

USBIP_API const char *usbip_client_server_fingerprint(const char *host, int port)
{
    return usbip_guard<const char *>(nullptr, [&]() -> const char * {
        if (host == nullptr || port <= 0) {
            usbip_set_last_error(USBIP_ERROR_INVALID_ARGUMENT, "Invalid host or port");
            return nullptr;
        }
        static thread_local char text[USBIP_FINGERPRINT_SIZE];
        usbip_conn conn;
        if (usbip_conn_connect_deadline(&conn, host, port) != 0) return nullptr;
        // Whatever is pinned, this call is how a host learns a new key.
        std::string pinned = usbip_tls_pinned();
        usbip_tls_pin(nullptr);
        int r = usbip_tls_wrap_client(&conn);
        usbip_tls_pin(pinned.c_str());
        if (r == 0) r = usbip_tls_peer_fingerprint(&conn, text);
        usbip_conn_close(&conn);
        if (r != 0) {
            usbip_conn_restore_error(&conn);
            return nullptr;
        }
        return text;
    });
}

}  // extern "C"
