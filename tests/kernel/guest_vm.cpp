#include "guest_vm.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQemuConnectMs = 30000;

int ms_left(Clock::time_point until)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int unix_listener(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Quotes a word for sh.
std::string quoted(const std::string &word)
{
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::string clean_console(const std::string &raw)
{
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r') continue;
        if (c != '\x1b') {
            out += c;
            continue;
        }
        // ESC [ parameters final-byte (CSI), or ESC and one more byte.
        if (i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() && !(raw[i] >= 0x40 && raw[i] <= 0x7e)) ++i;
        } else {
            ++i;
        }
    }
    return out;
}

GuestVm::GuestVm(const GuestConfig &config) { ready_ = boot(config); }

bool GuestVm::boot(const GuestConfig &config)
{
    const Clock::time_point start = Clock::now();
    dir_ = make_temp_dir();
    if (dir_.empty()) return give_up("cannot make a directory for the machine's sockets");
    // The uncompressed kernel when there is one: under TCG the decompression
    // of vmlinuz takes seconds.
    const std::string kernel =
        config.image_dir + (access((config.image_dir + "/vmlinux").c_str(), R_OK) == 0 ? "/vmlinux" : "/vmlinuz");
    for (const char *file : {"/vmlinuz", "/initramfs.cpio"})
        if (access((config.image_dir + file).c_str(), R_OK) != 0)
            return give_up("no " + config.image_dir + file + ": the test Kernel.GuestImage makes it (ctest -R Kernel)");
    if (access(config.qemu.c_str(), X_OK) != 0)
        return give_up("no QEMU at '" + config.qemu + "' (scripts/deps.sh installs qemu-system-x86)");

    // The emulation this test's processes run under is for the servers; QEMU
    // and the tunnel see the real machine.
    const std::vector<std::string> plain = {"/usr/bin/env", "-u", "LD_PRELOAD", "-u", "UMOCKDEV_DIR"};
    std::string ports;
    std::vector<std::string> tunnel_argv = plain;
    tunnel_argv.push_back(config.tunnel_host);
    tunnel_argv.push_back(dir_ + "/streams.sock");
    for (int p : config.ports) {
        ports += (ports.empty() ? "" : ",") + std::to_string(p);
        tunnel_argv.push_back(std::to_string(p));
    }
    tunnel_ = std::make_unique<ChildProcess>(tunnel_argv);
    if (tunnel_->wait_for("Listening on", 10000).empty()) return give_up("the host's end of the tunnel did not start");
    int listener = unix_listener(dir_ + "/control.sock");
    if (listener < 0) return give_up("cannot listen on " + dir_ + "/control.sock");

    std::vector<std::string> qemu = {
        config.qemu, "-nodefaults", "-no-user-config", "-machine", "pc,accel=tcg", "-smp", "1",
        "-m", std::to_string(config.memory_mb), "-display", "none", "-monitor", "none", "-nic", "none",
        "-no-reboot", "-serial", "file:" + dir_ + "/console.log", "-kernel", kernel,
        "-initrd", config.image_dir + "/initramfs.cpio", "-append",
        "console=ttyS0 quiet panic=-1 halvoren.ports=" + ports, "-device", "virtio-serial-pci",
        "-chardev", "socket,id=control,path=" + dir_ + "/control.sock", "-device",
        "virtserialport,chardev=control,name=halvoren.control", "-chardev",
        "socket,id=streams,path=" + dir_ + "/streams.sock", "-device",
        "virtserialport,chardev=streams,name=halvoren.streams"};
    std::string line = "exec";
    for (const std::string &w : plain) line += " " + quoted(w);
    line += " timeout -k 5 " + std::to_string(config.lifetime_s);
    for (const std::string &w : qemu) line += " " + quoted(w);
    line += " >" + quoted(dir_ + "/qemu.log") + " 2>&1";
    qemu_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", line});

    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, kQemuConnectMs) == 1) control_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (control_ < 0) return give_up("QEMU did not connect its control port: " + read_file(dir_ + "/qemu.log"));

    const Clock::time_point until = start + std::chrono::milliseconds(config.boot_ms);
    std::string got;
    while (got.rfind("@@ready ", 0) != 0)
        if (!read_line(&got, until))
            return give_up("the guest's /init did not answer within " + std::to_string(config.boot_ms / 1000) + " s");
    release_ = got.substr(8);
    boot_seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}

GuestVm::~GuestVm()
{
    if (control_ >= 0) ::close(control_);
    if (qemu_) qemu_->stop(SIGTERM);
    if (tunnel_) tunnel_->stop(SIGTERM);
    if (!dir_.empty()) run_command("rm -rf '" + dir_ + "'");
}

bool GuestVm::give_up(const std::string &why)
{
    ready_ = false;
    if (failure_.empty()) failure_ = why;
    if (control_ >= 0) ::close(control_);
    control_ = -1;
    if (qemu_) qemu_->stop(SIGTERM);
    return false;
}

bool GuestVm::read_line(std::string *line, Clock::time_point until)
{
    for (;;) {
        std::size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            *line = clean_console(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
            return true;
        }
        if (control_ < 0) return false;
        pollfd p{control_, POLLIN, 0};
        if (::poll(&p, 1, ms_left(until)) != 1) return false;
        char buf[4096];
        ssize_t n = ::read(control_, buf, sizeof buf);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

GuestVm::Result GuestVm::run(const std::string &command, int ms)
{
    Result r;
    if (!ready_) {
        r.output = "the guest is not running: " + failure_;
        return r;
    }
    if (command.find('\n') != std::string::npos) {
        r.output = "a command for the guest is one line";
        return r;
    }
    const std::string line = command + "\n";
    if (::send(control_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        give_up("the control port failed");
        r.output = failure_;
        return r;
    }
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    std::string got;
    while (read_line(&got, until)) {
        if (got.rfind("@@rc ", 0) == 0) {
            r.done = true;
            r.status = std::atoi(got.c_str() + 5);
            return r;
        }
        r.output += got + "\n";
    }
    give_up("no answer within " + std::to_string(ms / 1000) + " s to: " + command);
    return r;
}

std::string GuestVm::console() const
{
    return clean_console(read_file(dir_ + "/console.log")) + clean_console(read_file(dir_ + "/qemu.log"));
}
