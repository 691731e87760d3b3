// The test side of the stand-in libusb-1.0.dll (fake_libusb_win32.c): its
// own exports, looked up in the DLL that this program has loaded.
#ifndef HALVOREN_FAKE_LIBUSB_H
#define HALVOREN_FAKE_LIBUSB_H

#include <windows.h>

#include <stdexcept>
#include <string>

template <typename F>
F fake_libusb(const char *name)
{
    HMODULE usb = GetModuleHandleA("libusb-1.0.dll");
    FARPROC p = usb != nullptr ? GetProcAddress(usb, name) : nullptr;
    if (p == nullptr) throw std::runtime_error(std::string("no stand-in libusb here: ") + name);
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

#endif
