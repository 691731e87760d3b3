// A virtual machine for the kernel test: Debian's own kernel under QEMU
// (TCG; no KVM) with the initramfs guest_image.sh makes, no network device,
// and two virtio-serial ports:
//   halvoren.control  the guest's /init runs the host's command lines there
//                     (guest_init.sh) and answers each with its output and
//                     "@@rc STATUS";
//   halvoren.streams  the stream tunnel (tunnel_mux.h): connections to the
//                     given ports of the guest's loopback reach the same
//                     ports of the host's loopback, and nothing else does.
// Every wait is bounded; QEMU runs under timeout(1) as well, so that it
// cannot outlive a test that dies.
#ifndef HALVOREN_GUEST_VM_H
#define HALVOREN_GUEST_VM_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

struct GuestConfig {
    std::string image_dir;     // vmlinuz (or vmlinux) and initramfs.cpio
    std::string qemu;          // qemu-system-x86_64
    std::string tunnel_host;   // the host's end of the tunnel
    std::vector<int> ports;    // host loopback ports the guest reaches
    int boot_ms = 180000;      // from start to a running /init
    int lifetime_s = 480;      // QEMU is killed after this, whatever happens
    int memory_mb = 512;
};

class GuestVm {
public:
    explicit GuestVm(const GuestConfig &config);
    ~GuestVm();
    GuestVm(const GuestVm &) = delete;
    GuestVm &operator=(const GuestVm &) = delete;

    // True once /init answers; otherwise failure() says why.
    bool ready() const { return ready_; }
    const std::string &failure() const { return failure_; }
    // The guest's kernel release, as its /init reported it.
    const std::string &release() const { return release_; }
    double boot_seconds() const { return boot_seconds_; }

    struct Result {
        bool done = false;  // false: no answer within the time (the guest is then given up)
        int status = -1;
        std::string output;  // stdout and stderr, cleaned (clean_console)
    };
    // Runs one command line in the guest's shell, within `ms`.
    Result run(const std::string &command, int ms = 30000);

    // What the guest's serial console showed so far, cleaned.
    std::string console() const;

private:
    bool read_line(std::string *line, std::chrono::steady_clock::time_point until);
    bool boot(const GuestConfig &config);
    // Ends the machine, keeping the first reason; false.
    bool give_up(const std::string &why);

    std::string dir_;
    std::unique_ptr<ChildProcess> tunnel_, qemu_;
    int control_ = -1;
    std::string pending_;  // control bytes read past the last line
    bool ready_ = false;
    std::string failure_, release_;
    double boot_seconds_ = 0;
};

// Console text as a person would read it: without \r and without terminal
// control sequences (SeaBIOS clears the screen on the serial port).
std::string clean_console(const std::string &raw);

#endif
