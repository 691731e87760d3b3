/* The descriptors of the tests' URB echo device (urb_device.h), in C so
 * that both faces of the device share them: the umockdev device of the
 * Linux tests and the stand-in libusb-1.0.dll of the Windows tests
 * (fake_libusb_win32.c). */
#ifndef HALVOREN_URB_DEVICE_DESCRIPTORS_H
#define HALVOREN_URB_DEVICE_DESCRIPTORS_H

#define URB_DEVICE_VENDOR 0x1209
#define URB_DEVICE_PRODUCT 0x0001

static const unsigned char urb_device_descriptor_bytes[18] = {
    18, 1, 0x00, 0x02, 0, 0, 0, 64, URB_DEVICE_VENDOR & 0xff, URB_DEVICE_VENDOR >> 8,
    URB_DEVICE_PRODUCT & 0xff, URB_DEVICE_PRODUCT >> 8, 0x00, 0x01, 1, 2, 3, 1};

static const unsigned char urb_config_descriptor_bytes[71] = {
    9, 2, 71, 0, 2, 1, 0, 0x80, 50, /* configuration 1, two interfaces */
    9, 4, 0, 0, 3, 0xff, 0, 0, 0,   /* interface 0 */
    7, 5, 0x01, 2, 0x00, 0x02, 0,   /*   bulk OUT, 512 bytes */
    7, 5, 0x81, 2, 0x00, 0x02, 0,   /*   bulk IN, 512 bytes */
    7, 5, 0x82, 3, 64, 0, 4,        /*   interrupt IN, 64 bytes */
    9, 4, 1, 0, 0, 0xff, 0, 0, 0,   /* interface 1, alternate setting 0: no endpoints */
    9, 4, 1, 1, 2, 0xff, 0, 0, 0,   /* interface 1, alternate setting 1 */
    7, 5, 0x83, 1, 0x00, 0x04, 1,   /*   isochronous IN, 1024 bytes */
    7, 5, 0x03, 1, 0x00, 0x04, 1,   /*   isochronous OUT, 1024 bytes */
};

/* String descriptors 1-3 (0 is the language list, US English). */
static const char *const urb_device_strings[4] = {0, "Halvoren Test", "URB Echo Device", "0001"};

/* Byte j of isochronous IN packet i. */
static inline unsigned char urb_device_iso_in_byte(unsigned packet, unsigned offset)
{
    return (unsigned char)(packet * 37 + offset);
}

#endif
