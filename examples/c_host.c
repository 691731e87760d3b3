/* A minimal host of halvoren-usbip in C: it shares the first local USB
 * device (if the machine has one), serves it with a password, runs a relay
 * in the same process, registers the server with it, and lists the shared
 * devices back twice: directly and through the relay by pairing code.
 *
 *   usage: c_host [SERVER_PORT [RELAY_PORT]]     (3240 and 3241 by default)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <halvoren_usbip.h>

static const char kPassword[] = "example-password";

static int fail(const char *what)
{
    fprintf(stderr, "%s failed: %s\n", what, usbip_last_error());
    usbip_cleanup();
    return 1;
}

/* The value of "busid" in a device object: {"busid":"1-2",...}. */
static int busid_of(const char *object, char *out, size_t size)
{
    const char *start = strstr(object, "\"busid\":\"");
    if (start == NULL) return -1;
    start += strlen("\"busid\":\"");
    const char *end = strchr(start, '"');
    if (end == NULL || (size_t)(end - start) >= size) return -1;
    memcpy(out, start, (size_t)(end - start));
    out[end - start] = '\0';
    return 0;
}

int main(int argc, char **argv)
{
    int server_port = argc > 1 ? atoi(argv[1]) : 3240;
    int relay_port = argc > 2 ? atoi(argv[2]) : 3241;

    printf("halvoren-usbip %s, USB/IP version %04x\n", HALVOREN_USBIP_VERSION_STRING, usbip_protocol_version());
    if (usbip_init() != 0) return fail("usbip_init");

    printf("local devices: %s\n", usbip_list_local_devices());
    char busid[32];
    const char *first = usbip_local_device_info(0);
    if (first != NULL && busid_of(first, busid, sizeof busid) == 0) {
        if (usbip_server_share(busid) != 0) return fail("usbip_server_share");
        printf("shared: %s\n", busid);
    }

    if (usbip_server_start(server_port, kPassword, 0) != 0) return fail("usbip_server_start");
    if (usbip_relay_start(relay_port) != 0) return fail("usbip_relay_start");
    const char *code = usbip_server_register_relay("127.0.0.1", relay_port, NULL);  /* the password is not used */
    if (code == NULL) return fail("usbip_server_register_relay");
    printf("pairing code: %s\n", code);

    const char *direct = usbip_client_list_remote("127.0.0.1", server_port, kPassword, 0);
    if (direct == NULL) return fail("usbip_client_list_remote");
    /* Both lists are of one kind and share one buffer: keep a copy of the
     * first before the second call replaces it. */
    char *direct_copy = strdup(direct);
    const char *by_code = usbip_client_list_by_code("127.0.0.1", relay_port, code, kPassword);
    if (direct_copy == NULL || by_code == NULL) {
        free(direct_copy);
        return fail("usbip_client_list_by_code");
    }
    printf("listed directly: %s\n", direct_copy);
    printf("listed by code:  %s\n", by_code);
    int same = strcmp(direct_copy, by_code) == 0;
    free(direct_copy);

    usbip_server_stop();
    usbip_relay_stop();
    usbip_cleanup();
    puts(same ? "the same list both ways" : "the lists differ");
    return same ? 0 : 1;
}
