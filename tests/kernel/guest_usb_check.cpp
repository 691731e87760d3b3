// What the kernel test checks inside the guest, on the device that
// vhci-hcd attached, as a program of that machine would see it:
//
//   guest-usb-check VID PID PRODUCT GO_FILE
//
// 1. enumeration: a device VID:PID shows up in sysfs, with PRODUCT as its
//    product string;
// 2. a bulk echo through usbfs: bytes written to 0x01 come back from 0x81;
// 3. a cancelled URB: an interrupt IN on 0x82, which the device never
//    completes, is submitted; once GO_FILE exists (the host has seen the
//    URB reach the device) it is discarded and reaped with -ENOENT.
//
// Each check prints one line, "PASS name: ..." or "FAIL name: ...", which
// the host reads; "READY ..." says the interrupt URB is in flight. Every
// wait is bounded. Linked statically, for an initramfs.
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kEnumerateMs = 30000;
constexpr int kGoMs = 30000;
constexpr int kReapMs = 10000;
constexpr unsigned kTransferMs = 5000;

int failures = 0;

void report(bool ok, const char *name, const std::string &detail)
{
    std::printf("%s %s: %s\n", ok ? "PASS" : "FAIL", name, detail.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

std::string read_line(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

template <typename Pred>
bool wait_until(Pred pred, int ms)
{
    for (int spent = 0; spent < ms; spent += 50) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

// The sysfs directory of the device VID:PID ("" when there is none now).
std::string find_device(const std::string &vid, const std::string &pid)
{
    const std::string root = "/sys/bus/usb/devices/";
    DIR *dir = opendir(root.c_str());
    if (dir == nullptr) return "";
    std::string found;
    while (dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name[0] == '.' || name.find(':') != std::string::npos) continue;  // interfaces
        if (read_line(root + name + "/idVendor") == vid && read_line(root + name + "/idProduct") == pid)
            found = root + name;
    }
    closedir(dir);
    return found;
}

void bulk_echo(int fd)
{
    const std::vector<unsigned> sizes = {1, 511, 512, 513, 4096, 16384, 65536};
    std::size_t total = 0;
    for (unsigned size : sizes) {
        std::vector<unsigned char> out(size), back(size);
        for (unsigned i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i * 7 + size);
        usbdevfs_bulktransfer w{0x01, size, kTransferMs, out.data()};
        int n = ioctl(fd, USBDEVFS_BULK, &w);
        if (n != static_cast<int>(size)) {
            report(false, "bulk echo",
                   "writing " + std::to_string(size) + " bytes to 0x01 gave " + std::to_string(n) +
                       (n < 0 ? std::string(" (") + std::strerror(errno) + ")" : ""));
            return;
        }
        unsigned got = 0;
        for (int reads = 0; got < size && reads < 100; ++reads) {
            usbdevfs_bulktransfer r{0x81, size - got, kTransferMs, back.data() + got};
            n = ioctl(fd, USBDEVFS_BULK, &r);
            if (n <= 0) break;
            got += static_cast<unsigned>(n);
        }
        if (got != size || out != back) {
            report(false, "bulk echo",
                   std::to_string(size) + " bytes written to 0x01, " + std::to_string(got) + " read back from 0x81" +
                       (got == size ? " but different" : ""));
            return;
        }
        total += size;
    }
    report(true, "bulk echo",
           std::to_string(total) + " bytes in " + std::to_string(sizes.size()) + " transfers came back intact");
}

void cancelled_urb(int fd, const std::string &go_file)
{
    unsigned char buffer[64];
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_INTERRUPT;
    urb.endpoint = 0x82;
    urb.buffer = buffer;
    urb.buffer_length = sizeof buffer;
    urb.usercontext = &urb;
    if (ioctl(fd, USBDEVFS_SUBMITURB, &urb) != 0) {
        report(false, "cancelled URB", std::string("submitting an interrupt IN on 0x82 failed: ") + std::strerror(errno));
        return;
    }
    std::printf("READY interrupt IN on 0x82 submitted\n");
    std::fflush(stdout);
    usbdevfs_urb *reaped = nullptr;
    const bool go = wait_until(
        [&] { return access(go_file.c_str(), F_OK) == 0 || ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped) == 0; }, kGoMs);
    if (reaped != nullptr) {
        report(false, "cancelled URB", "the interrupt IN completed by itself (status " + std::to_string(reaped->status) +
                                           ")");
        return;
    }
    if (!go) {
        report(false, "cancelled URB", "the host never said that the URB reached the device");
        return;
    }
    // vhci-hcd sends CMD_UNLINK and gives the URB back when the server
    // answers; the discard waits for that.
    if (ioctl(fd, USBDEVFS_DISCARDURB, &urb) != 0) {
        report(false, "cancelled URB", std::string("discarding it failed: ") + std::strerror(errno));
        return;
    }
    wait_until([&] { return ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped) == 0; }, kReapMs);
    if (reaped != &urb)
        report(false, "cancelled URB", "not reaped within " + std::to_string(kReapMs / 1000) + " s after the discard");
    else
        report(urb.status == -ENOENT, "cancelled URB",
               "interrupt IN on 0x82 discarded, reaped with status " + std::to_string(urb.status) + " (-ENOENT is " +
                   std::to_string(-ENOENT) + ")");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: guest-usb-check VID PID PRODUCT GO_FILE\n");
        return 2;
    }
    const std::string vid = argv[1], pid = argv[2], product = argv[3];
    std::string dev;
    wait_until([&] { return !(dev = find_device(vid, pid)).empty(); }, kEnumerateMs);
    if (dev.empty()) {
        report(false, "enumeration", "no device " + vid + ":" + pid + " in /sys/bus/usb/devices after " +
                                         std::to_string(kEnumerateMs / 1000) + " s");
        return 1;
    }
    // The product string is read during enumeration; the file appears with it.
    std::string got;
    wait_until([&] { return !(got = read_line(dev + "/product")).empty(); }, 5000);
    const std::string busnum = read_line(dev + "/busnum"), devnum = read_line(dev + "/devnum");
    report(got == product, "enumeration",
           vid + ":" + pid + " \"" + got + "\" at " + dev.substr(dev.rfind('/') + 1) + " (bus " + busnum + ", device " +
               devnum + ")");

    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", std::atoi(busnum.c_str()), std::atoi(devnum.c_str()));
    int fd = -1;
    wait_until([&] { return (fd = open(node, O_RDWR | O_CLOEXEC)) >= 0; }, 5000);
    if (fd < 0) {
        report(false, "usbfs", std::string("cannot open ") + node + ": " + std::strerror(errno));
        return 1;
    }
    unsigned interface = 0;
    if (ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) != 0) {
        report(false, "usbfs", std::string("cannot claim interface 0: ") + std::strerror(errno));
        close(fd);
        return 1;
    }
    bulk_echo(fd);
    cancelled_urb(fd, argv[4]);
    ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface);
    close(fd);
    std::printf("DONE %d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
