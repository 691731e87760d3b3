// The Linux kernel's vhci-hcd, the USB/IP client inside the kernel, through
// its sysfs files: below ROOT/devices/platform/vhci_hcd.0, "status" (and
// "status.1", ... for further controllers) lists the virtual ports, writing
// "PORT SOCKFD DEVID SPEED" to "attach" hands the kernel a connection that
// has just imported a device, and writing "PORT" to "detach" ends it.
// ROOT is /sys on a real system; tests give a tree of their own.
#ifndef HALVOREN_VHCI_H
#define HALVOREN_VHCI_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// One line of a status file:
//   hub port sta spd dev      sockfd local_busid
//   hs  0000 004 000 00000000 000000 0-0
struct VhciPort {
    bool super_speed = false;  // "ss": for USB 3 devices; "hs" for the rest
    unsigned port = 0;
    unsigned status = 0;       // 4: free; 5: not yet assigned; 6: in use; 7: error
    unsigned speed = 0;        // USB/IP's codes: 1 low, 2 full, 3 high, 4 wireless, 5 super, 6 super plus
    std::uint32_t devid = 0;   // (busnum << 16) | devnum on the server
    unsigned sockfd = 0;       // the descriptor in the process that attached it
    std::string local_busid;   // the device's bus id here, "0-0" when free

    static constexpr unsigned kFree = 4;
    static constexpr unsigned kInUse = 6;
};

// The ports a status file lists; false when its text is not a status file
// of this form (older kernels wrote another, without the hub column).
bool parse_vhci_status(const std::string &text, std::vector<VhciPort> *out);

// The first free port that takes a device of `speed`, or -1.
int vhci_free_port(const std::vector<VhciPort> &ports, std::uint32_t speed);

class Vhci {
public:
    explicit Vhci(std::string sysfs_root);
    // ROOT/devices/platform/vhci_hcd.0
    const std::string &dir() const { return dir_; }
    // Every controller's ports; false with `error` when vhci-hcd's files are
    // missing or unreadable.
    bool ports(std::vector<VhciPort> *out, std::string *error) const;
    bool attach(unsigned port, int sockfd, std::uint32_t devid, std::uint32_t speed, std::string *error) const;
    bool detach(unsigned port, std::string *error) const;

private:
    bool write_line(const char *file, const std::string &line, std::string *error) const;
    std::string dir_;
};

// Where sysfs is: the --sysfs option when given, else the environment
// variable HALVOREN_USBIP_SYSFS, else /sys.
std::string vhci_sysfs_root(const std::string &option);

// What attach knows of a port it filled and vhci-hcd's status files do not
// say: which server's device it holds. One file per port ("port-N", a JSON
// object) in the run directory; attach writes it, port reads it, detach
// and the end of a TLS attach remove it. A record counts only while the
// port's status line still shows its devid and socket: a port that the
// kernel freed, or that another program filled, leaves it stale.
struct PortRecord {
    unsigned port = 0;
    std::uint32_t devid = 0;
    unsigned sockfd = 0;
    std::string busid;   // the device's bus id on the server
    std::string server;  // "127.0.0.1:3240", or "code K7WQ2M at relay.example:3241"
    std::string since;   // when it was attached, UTC

    std::string to_json() const;
    static bool from_json(const std::string &text, PortRecord *out);
    bool describes(const VhciPort &p) const;
};

// HALVOREN_USBIP_RUN_DIR, else /run/halvoren-usbip.
std::string vhci_run_dir();
// Writes the record (the directory made if needed); false with `error`.
bool save_port_record(const std::string &dir, const PortRecord &r, std::string *error);
// False when the port has no readable record.
bool load_port_record(const std::string &dir, unsigned port, PortRecord *out);
void remove_port_record(const std::string &dir, unsigned port);

}  // namespace cli

#endif
