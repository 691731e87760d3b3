/* One full cycle of the library as a host drives it, for valgrind's
 * memcheck: start, a TLS server with a password listed directly, a relay
 * with a server listed by code, and cleanup. Exits non-zero when a step
 * fails; memcheck fails the run on any error or leak. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "halvoren_usbip.h"

static int check(int ok, const char *what)
{
    if (!ok) fprintf(stderr, "%s failed: %s\n", what, usbip_last_error());
    return ok;
}

/* A port below the range the system hands out to outgoing connections,
 * where another test may have taken one a moment ago: try a few. */
static int start_on_some_port(int (*start)(int, const char *, int), const char *password, int tls, int *port)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        *port = 20000 + rand() % 12000;
        if (start(*port, password, tls) == 0) return 1;
    }
    return 0;
}

static int relay_start(int port, const char *password, int tls)
{
    (void)password;
    (void)tls;
    return usbip_relay_start(port);
}

int main(void)
{
    srand((unsigned)time(NULL) ^ (unsigned)clock());
    int server_port = 0, relay_port = 0;
    usbip_client_set_timeout(60000); /* everything is slow under memcheck */
    if (!check(usbip_init() == 0, "init")) return 1;

    const char *json = NULL;
    int ok = check(start_on_some_port(usbip_server_start, "pw", 1, &server_port), "TLS server") &&
             check((json = usbip_client_list_remote("127.0.0.1", server_port, "pw", 1)) != NULL, "TLS list") &&
             check(strcmp(json, "[]") == 0, "TLS list content");
    usbip_server_stop();

    const char *code = NULL;
    char saved[16] = "";
    ok = ok && check(start_on_some_port(relay_start, NULL, 0, &relay_port), "relay") &&
         check(start_on_some_port(usbip_server_start, "pw", 0, &server_port), "server") &&
         check((code = usbip_server_register_relay("127.0.0.1", relay_port, NULL)) != NULL, "registration");
    if (ok) snprintf(saved, sizeof saved, "%s", code);
    ok = ok && check((json = usbip_client_list_remote("127.0.0.1", server_port, "pw", 0)) != NULL, "direct list") &&
         check((json = usbip_client_list_by_code("127.0.0.1", relay_port, saved, "pw")) != NULL, "list by code") &&
         check(usbip_client_list_by_code("127.0.0.1", relay_port, saved, "wrong") == NULL, "wrong password");
    usbip_cleanup();
    return ok ? 0 : 1;
}
