/* A tiny host built against an installed halvoren-usbip: the version
 * macros agree with each other, and the library loads, starts and
 * answers. Prints the version it was built with. */
#include <stdio.h>
#include <string.h>

#include <halvoren_usbip.h>

int main(void)
{
    char numbers[32];
    snprintf(numbers, sizeof numbers, "%d.%d.%d", HALVOREN_USBIP_VERSION_MAJOR, HALVOREN_USBIP_VERSION_MINOR,
             HALVOREN_USBIP_VERSION_PATCH);
    if (strcmp(numbers, HALVOREN_USBIP_VERSION_STRING) != 0 ||
        HALVOREN_USBIP_VERSION_NUMBER !=
            (HALVOREN_USBIP_VERSION_MAJOR << 16 | HALVOREN_USBIP_VERSION_MINOR << 8 | HALVOREN_USBIP_VERSION_PATCH)) {
        fprintf(stderr, "version macros disagree: %s, %s\n", numbers, HALVOREN_USBIP_VERSION_STRING);
        return 1;
    }
    if (usbip_protocol_version() != 0x0111 || usbip_init() != 0) {
        fprintf(stderr, "library did not start: %s\n", usbip_last_error());
        return 1;
    }
    const char *devices = usbip_list_local_devices();
    int refused = usbip_client_list_remote("127.0.0.1", 0, NULL, 0) == NULL &&
                  strcmp(usbip_last_error(), "Invalid host or port") == 0;
    usbip_cleanup();
    if (devices == NULL || devices[0] != '[' || !refused) {
        fprintf(stderr, "unexpected answers\n");
        return 1;
    }
    printf("consumer %s\n", HALVOREN_USBIP_VERSION_STRING);
    return 0;
}
