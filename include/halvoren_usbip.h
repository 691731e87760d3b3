/*
 * halvoren-usbip: share USB devices over a network with the discovery
 * messages of USB/IP.
 *
 * Every function returns plain integers or text. Text results live in
 * buffers owned by the library (per calling thread unless stated) and stay
 * valid until the same thread's next call of the same kind; never free them.
 * On failure a function returns -1 or NULL and the calling thread's message
 * is available from usbip_last_error().
 */
#ifndef HALVOREN_USBIP_H
#define HALVOREN_USBIP_H

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

/* Lifecycle and errors */
USBIP_API int usbip_init(void);
USBIP_API void usbip_cleanup(void);
USBIP_API const char *usbip_last_error(void);
USBIP_API int usbip_protocol_version(void);

/* Local devices */
USBIP_API const char *usbip_list_local_devices(void);
USBIP_API int usbip_local_device_count(void);
USBIP_API const char *usbip_local_device_info(int index);

/* Server */
USBIP_API int usbip_server_start(int port, const char *password, int use_tls);
USBIP_API void usbip_server_stop(void);
USBIP_API int usbip_server_share(const char *busid);
USBIP_API int usbip_server_unshare(const char *busid);
USBIP_API const char *usbip_server_list_shared(void);
USBIP_API const char *usbip_server_register_relay(const char *host, int port, const char *password);
USBIP_API int usbip_tls_generate_cert(void);

/* Relay */
USBIP_API int usbip_relay_start(int port);
USBIP_API void usbip_relay_stop(void);
USBIP_API const char *usbip_relay_list_codes(void);

/* Client */
USBIP_API const char *usbip_client_list_remote(const char *host, int port, const char *password,
                                               int use_tls);
USBIP_API const char *usbip_client_device_info(const char *host, int port, const char *busid,
                                               const char *password, int use_tls);
USBIP_API const char *usbip_client_list_by_code(const char *relay_host, int relay_port, const char *code,
                                                const char *password);
USBIP_API int usbip_client_set_timeout(int ms);

#ifdef __cplusplus
}
#endif

#endif /* HALVOREN_USBIP_H */
