/*
 * halvoren-usbip: share USB devices over a network with USB/IP. Lists local
 * devices; serves them (device list and import, behind a password exchange
 * and TLS where set, and with forwarding on the devices' own traffic, so that
 * a client uses them), by bus id or by rule as they are plugged in; pairs
 * servers and clients through a relay by code; lists a server's devices as
 * a client; and reports what happens as events, and each failure as a
 * message with a stable code.
 *
 * Every function returns plain integers or text and does its work on the
 * calling thread. Text results live in buffers owned by the library, one
 * per calling thread and kind of call, and stay valid until the same
 * thread's next call of the same kind; never free them. A kind is the set
 * of calls that share one buffer:
 *
 *   local list          usbip_list_local_devices
 *   local device        usbip_local_device_info
 *   shared list         usbip_server_list_shared
 *   sessions            usbip_server_sessions
 *   remote list         usbip_client_list_remote, usbip_client_list_by_code
 *   remote device       usbip_client_device_info
 *   relay codes         usbip_relay_list_codes
 *   event               usbip_next_event
 *   key fingerprint     usbip_tls_key_fingerprint
 *   server fingerprint  usbip_client_server_fingerprint
 *
 * so a list by code replaces the text of an earlier usbip_client_list_remote
 * on the same thread, while a usbip_client_device_info leaves it alone. A
 * failed call leaves its kind's buffer untouched. The pairing code of
 * usbip_server_register_relay and the text of usbip_last_error are not
 * kinds: see those functions. On failure a function returns -1 or NULL and
 * the calling thread's message is available from usbip_last_error(), and
 * its code from usbip_last_error_code(); success leaves an earlier message
 * in place. docs/reference.md lists every
 * message.
 *
 * Device objects in JSON have the members busid, vid, pid, vendor, product,
 * speed and class, all strings ("vid":"0x1d6b"). Text that came from a
 * device or a peer is escaped, so every result parses as JSON.
 */
#ifndef HALVOREN_USBIP_H
#define HALVOREN_USBIP_H

/* The version of this header and of the library it comes with. The build
 * reads these lines, so they are the one place the version is written. */
#define HALVOREN_USBIP_VERSION_MAJOR 0
#define HALVOREN_USBIP_VERSION_MINOR 1
#define HALVOREN_USBIP_VERSION_PATCH 0
#define HALVOREN_USBIP_VERSION_STRING "0.1.0"
/* One number that grows with every release: 0xMMmmpp. */
#define HALVOREN_USBIP_VERSION_NUMBER                                                 \
    ((HALVOREN_USBIP_VERSION_MAJOR << 16) | (HALVOREN_USBIP_VERSION_MINOR << 8) | \
     HALVOREN_USBIP_VERSION_PATCH)

#if defined(_WIN32)
#  if defined(HALVOREN_USBIP_BUILD)
#    define USBIP_API __declspec(dllexport)
#  else
#    define USBIP_API __declspec(dllimport)
#  endif
#else
#  define USBIP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Lifecycle and errors ---------------------------------------------- */

/* Starts sockets, TLS and USB; 0 also when already started. Clears the
 * calling thread's message. Without USB the library still works (no local
 * devices). */
USBIP_API int usbip_init(void);
/* Stops the server and the relay, waits for every library thread and
 * releases everything; the library may then be unloaded. */
USBIP_API void usbip_cleanup(void);
/* The calling thread's last message; never NULL, "" when none. */
USBIP_API const char *usbip_last_error(void);

/* What went wrong, as a stable number beside each message: decide by the
 * code, show the message. A code keeps its number; new ones come at the
 * end. docs/reference.md gives the code of every message. */
enum usbip_error_code {
    USBIP_ERROR_NONE = 0,              /* the thread has no message */
    USBIP_ERROR_OUT_OF_MEMORY = 1,
    USBIP_ERROR_INVALID_ARGUMENT = 2,  /* missing, out of range or too long; nothing done */
    USBIP_ERROR_SYSTEM = 3,            /* no socket, thread or other resource from the system */
    USBIP_ERROR_TLS = 4,               /* TLS could not be set up (random generator, key, certificate, session) */
    USBIP_ERROR_PORT_IN_USE = 5,       /* the port to listen on is taken, or needs privileges */
    USBIP_ERROR_RESOLVE = 6,           /* the host name does not resolve */
    USBIP_ERROR_CONNECT = 7,           /* connection refused, or no route */
    USBIP_ERROR_CONNECT_TIMEOUT = 8,   /* no answer to the connection attempt in time */
    USBIP_ERROR_TIMEOUT = 9,           /* connected, but no answer in time */
    USBIP_ERROR_TLS_HANDSHAKE = 10,    /* the TLS handshake failed */
    USBIP_ERROR_NOT_A_SERVER = 11,     /* no handshake came: no server of this kind */
    USBIP_ERROR_REFUSED = 12,          /* the server refuses this address for a while (wrong passwords) */
    USBIP_ERROR_PASSWORD_REQUIRED = 13,
    USBIP_ERROR_PASSWORD_REJECTED = 14,
    USBIP_ERROR_HANDSHAKE = 15,        /* the handshake broke off or was refused otherwise */
    USBIP_ERROR_CONNECTION_LOST = 16,  /* the connection broke during the exchange */
    USBIP_ERROR_PROTOCOL = 17,         /* the peer answered something unexpected */
    USBIP_ERROR_NOT_FOUND = 18,        /* no such device */
    USBIP_ERROR_NOT_SHARED = 19,       /* the device is not shared */
    USBIP_ERROR_TABLE_FULL = 20,       /* 64 devices are shared already */
    USBIP_ERROR_BUSY = 21,             /* another client uses the device */
    USBIP_ERROR_DEVICE = 22,           /* the device cannot be opened or claimed, or no USB */
    USBIP_ERROR_DEVICE_GONE = 23,      /* the device was unplugged */
    USBIP_ERROR_RELAY = 24,            /* the relay's conversation broke */
    USBIP_ERROR_CODE_NOT_FOUND = 25,   /* the relay knows no server by that code */
    USBIP_ERROR_RELAY_FULL = 26,       /* the relay, or this server's share of it, is full */
    USBIP_ERROR_ATTACH_FAILED = 27,    /* the server behind the code did not answer the relay */
    USBIP_ERROR_RATE_LIMITED = 28,     /* the relay refuses this address for a while */
    USBIP_ERROR_RELAY_REFUSED = 29,    /* the relay refused with another answer */
    USBIP_ERROR_UNSUPPORTED = 30,      /* cannot work this way (a TLS server through a relay) */
    USBIP_ERROR_INTERNAL = 31,         /* a failure inside the library */
    USBIP_ERROR_KEY_MISMATCH = 32,     /* the server's TLS key is not the pinned one */
    USBIP_ERROR_INSECURE_SERVER = 33,  /* the server does not offer the secure password exchange */
    USBIP_ERROR_SERVER_NOT_PROVEN = 34, /* the server could not prove that it knows the password */
    USBIP_ERROR_KEY_FILE = 35,         /* the key file cannot be read or created, or holds no key */
    USBIP_ERROR_NO_KEY = 36            /* no TLS server key yet */
};
/* The code of the calling thread's last message (an usbip_error_code);
 * USBIP_ERROR_NONE when it has none. Works at any time. */
USBIP_API int usbip_last_error_code(void);
/* 0x0111, the USB/IP version spoken. */
USBIP_API int usbip_protocol_version(void);

/* ---- Local devices ----------------------------------------------------- */

/* Enumerates afresh (at most 64 devices) and returns them as a JSON array;
 * never NULL ("[]" without devices or without USB). */
USBIP_API const char *usbip_list_local_devices(void);
/* The number of devices the last enumeration found. */
USBIP_API int usbip_local_device_count(void);
/* One device of the last enumeration as a JSON object; NULL when the index
 * is out of range. */
USBIP_API const char *usbip_local_device_info(int index);

/* ---- Sharing server ---------------------------------------------------- */

/* Listens on `port` (TCP, every address; 0 lets the system choose, see
 * usbip_server_port). `password` (NULL or "" for none, at most 127 bytes)
 * is checked by a challenge handshake; `use_tls` wraps every connection in
 * TLS with a fresh self-signed certificate. 0 also when already running
 * (the running server keeps its settings). */
USBIP_API int usbip_server_start(int port, const char *password, int use_tls);
/* The TCP port the running server listens on; 0 when none runs. */
USBIP_API int usbip_server_port(void);
/* Stops the server, ends its relay registration, empties the shared table
 * and waits for every session. */
USBIP_API void usbip_server_stop(void);
/* Adds a local device (by bus id, as the local list shows it) to the table
 * of up to 64 shared devices; 0 also when already shared. */
USBIP_API int usbip_server_share(const char *busid);
/* Removes a device from the shared table. */
USBIP_API int usbip_server_unshare(const char *busid);
/* Shares devices by rule as they come and go: "1-3.2" (a bus id), "046d:c31c"
 * (vendor and product ids) or "046d:c31c:SERIAL" (ids and serial number).
 * Devices of the last enumeration that the rule names are shared at once;
 * while any rule is in force the library watches USB and shares each newly
 * plugged device that a rule names, and takes a device that a rule shared
 * out of the table when it is unplugged. 0 also when the rule is in force
 * already. */
USBIP_API int usbip_server_share_rule(const char *rule);
/* Takes a rule out of force; the devices it shared leave the table unless
 * another rule names them. */
USBIP_API int usbip_server_unshare_rule(const char *rule);
/* The shared devices as a JSON array; never NULL. */
USBIP_API const char *usbip_server_list_shared(void);
/* The sessions that forward a device now, as a JSON array of
 * {"peer","busid","since","bytes_in","bytes_out","urbs"}; never NULL. */
USBIP_API const char *usbip_server_sessions(void);
/* Registers the running server with a relay and returns its six-character
 * pairing code (library storage, valid for the life of the process; its
 * text changes with the next registration). Clients that know the code
 * reach the server through the relay, without TLS: a server that runs with
 * TLS is refused. `password` is not used (nothing of it goes to the relay);
 * pass NULL. */
USBIP_API const char *usbip_server_register_relay(const char *host, int port, const char *password);
/* Makes a new self-signed certificate for the server: for a new RSA-2048
 * key, or for the key of the key file when one is set. */
USBIP_API int usbip_tls_generate_cert(void);
/* Keeps the server's TLS key in a file, so that clients can pin it: loads
 * the RSA key from the PEM file at `path`, or makes one and writes it there
 * (readable by its owner only) when the file does not exist. Certificates
 * made afterwards (usbip_server_start with TLS, usbip_tls_generate_cert)
 * use that key. NULL or "" returns to a fresh key for every certificate. */
USBIP_API int usbip_tls_set_key_file(const char *path);
/* The SHA-256 fingerprint of the server's TLS key (64 lower-case hex
 * digits over its public key): of the certificate in use, or of the key
 * file's key before any certificate was made. NULL when there is neither. */
USBIP_API const char *usbip_tls_key_fingerprint(void);
/* Forwarding (off by default): with it on, a granted import goes on to
 * carry the device's USB traffic (USB/IP's URB phase) on the same
 * connection, so that the client can use the device; the device is claimed
 * before the reply, which then may say "busy" (status 2) or "device error"
 * (status 3). The session lasts until the client leaves, the device is
 * unshared or unplugged, or the server stops. Off, an import session ends
 * after its reply. 1 turns it on, 0 off, a negative value only asks;
 * returns the setting now in force (0 or 1). Applies to sessions that start
 * afterwards; works before and after usbip_server_start. */
USBIP_API int usbip_server_set_forwarding(int enabled);
/* Stock USB/IP clients (off by default): a server started without password
 * and without TLS lets clients that speak USB/IP without the handshake (the
 * kernel's usbip tool) list and import its devices. Each new direct
 * connection waits 50 ms for such a client's request before it is greeted,
 * so this library's clients keep working; connections through a relay keep
 * the handshake, and a server with a password or TLS is not affected. 1 on,
 * 0 off, negative only asks; returns the setting now in force (0 or 1).
 * Applies to connections accepted afterwards. */
USBIP_API int usbip_server_set_stock_clients(int enabled);
/* The registration key this server presents to relays that ask for one
 * (see usbip_relay_set_registration_key), sent as the argument of its
 * REGISTER line by every later usbip_server_register_relay; NULL or "" for
 * none (a relay without a key takes any registration). 1 to 64 printable
 * ASCII characters without spaces. Not the server's password: the relay's
 * operator hands it out. */
USBIP_API int usbip_server_set_registration_key(const char *key);

/* ---- Relay ------------------------------------------------------------- */

/* Listens on `port` for servers (REGISTER) and clients (CONNECT by code);
 * 0 also when already running. */
USBIP_API int usbip_relay_start(int port);
/* The TCP port the running relay listens on; 0 when none runs. */
USBIP_API int usbip_relay_port(void);
/* Stops the relay and waits for every connection it serves. */
USBIP_API void usbip_relay_stop(void);
/* The active registrations as a JSON array of {"code","active","clients"};
 * never NULL. */
USBIP_API const char *usbip_relay_list_codes(void);
/* The key that servers must present to register (1 to 64 printable ASCII
 * characters without spaces, compared in constant time); NULL or "" makes
 * the relay open to every server, as it is by default. A wrong key is
 * answered "ERROR Registration refused" and costs its sender time like a
 * wrong code. Applies to registrations that come afterwards; works at any
 * time. */
USBIP_API int usbip_relay_set_registration_key(const char *key);
/* How many registrations and how many pairings waiting for their server the
 * relay holds (64 and 64 unless set; 1 to 65536 each). When a table is full,
 * a newcomer takes the place of the source that holds the most. Applies
 * from the relay's next start. */
USBIP_API int usbip_relay_set_capacity(int registrations, int pairings);

/* ---- Events ------------------------------------------------------------ */

/* The next event of the server or the relay as a JSON object
 * {"time","level","kind",...}, waiting at most `timeout_ms` for one (0 only
 * looks, a negative value waits until one comes). NULL when none came, or
 * when usbip_cleanup ended the wait; not a failure, no message. Events
 * wait in one queue of the process (4096 at most; the library never waits
 * for a reader: what does not fit is dropped and counted, and an
 * "events_dropped" event says how many where they are missing). Each event
 * goes to one reader. docs/reference.md lists every kind and its members. */
USBIP_API const char *usbip_next_event(int timeout_ms);

/* ---- Client ------------------------------------------------------------ */

/* A server's shared devices (at most 64) as a JSON array. */
USBIP_API const char *usbip_client_list_remote(const char *host, int port, const char *password,
                                               int use_tls);
/* One of a server's devices, by exact bus id, as a JSON object. */
USBIP_API const char *usbip_client_device_info(const char *host, int port, const char *busid,
                                               const char *password, int use_tls);
/* A server's devices through a relay, by the server's pairing code. */
USBIP_API const char *usbip_client_list_by_code(const char *relay_host, int relay_port, const char *code,
                                                const char *password);
/* Sets how long a client call may take, in milliseconds (10000 when 0 or
 * less); returns the value now in force. Works at any time. */
USBIP_API int usbip_client_set_timeout(int ms);
/* The secure password exchange: a server with a password offers it, and a
 * client with a password takes it up (both ends prove the password, and
 * the rest of the conversation is encrypted end to end, through a relay
 * too). With 1, a client with a password refuses a server that does not
 * offer it, as an older server or somebody on the path who removed the
 * offer would; with 0 (the default) it falls back to the older handshake.
 * Negative only asks; returns the setting now in force (0 or 1). Applies to
 * every thread's later calls. */
USBIP_API int usbip_client_set_require_secure(int required);
/* Pins the TLS server key for this thread's later client calls with TLS:
 * a server whose key has another fingerprint (64 hex digits, as
 * usbip_tls_key_fingerprint gives it; ':' between pairs allowed) is
 * refused. NULL or "" stops pinning. */
USBIP_API int usbip_client_pin_fingerprint(const char *fingerprint);
/* Connects to a TLS server and returns the fingerprint of its key, without
 * sending anything after the TLS handshake: to ask a person before
 * trusting a new key. */
USBIP_API const char *usbip_client_server_fingerprint(const char *host, int port);

#ifdef __cplusplus
}
#endif

#endif /* HALVOREN_USBIP_H */
