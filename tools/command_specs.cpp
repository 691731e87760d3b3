// The option tables of the host's commands: what their parser takes, and
// what their --help and the manual page say.
#include "command_specs.h"

#include "system_commands.h"

namespace cli {

const CommandSpec kProgramSpec{
    "",
    "share USB devices over a network with USB/IP",
    {"COMMAND [OPTIONS]"},
    "Shares USB devices over a network with USB/IP: lists this machine's devices, serves them to USB/IP clients "
    "(a password handshake, optionally TLS, and with 'serve --forward' the devices' own traffic, so that a client "
    "uses a device as if it were plugged in there), pairs servers and clients through a relay by a six-character "
    "code, and lists, reads and (on Linux) attaches a server's devices.",
    {
        {"--version", 0, nullptr, "show the version"},
    },
    nullptr,
    "'halvoren-usbip COMMAND --help' shows a command's options.\n\n"
    "A password (serve, remote, attach) comes from --password-file FILE, --password P, or the environment variable "
    "HALVOREN_USBIP_PASSWORD, in that order. USB names come from the usb.ids database (/usr/share/misc/usb.ids, or "
    "HALVOREN_USBIP_USB_IDS).",
};

const CommandSpec kListSpec{
    "list",
    "list this machine's USB devices",
    {"[--json]"},
    "Lists this machine's USB devices.",
    {
        {"--json", 0, nullptr,
         "print the library's JSON array; where the usb.ids database knows a device's ids, its object gains "
         "usb_ids_vendor and usb_ids_product"},
    },
};

const CommandSpec kServeSpec{
    "serve",
    "share local devices with USB/IP clients, directly or through a relay",
    {"[--port PORT] [--tls] [--key-file FILE] [--share DEVICE ... | --share-all] [--relay HOST[:PORT]] "
     "[--registration-key-file FILE] [--password-file FILE | --password P] [--forward] [--stock-clients] [-v | -q]"},
    "Shares local USB devices: answers USB/IP device-list and import requests until Ctrl-C (SIGINT) or SIGTERM. "
    "SIGHUP shares again (with --share-all, the devices plugged in since); SIGUSR1 prints the sessions "
    "(peer, bus id, since, bytes) as one JSON line.",
    {
        {"--port", 'p', "PORT", "TCP port to listen on, 1-65535 (default 3240)"},
        {"--share", 0, "DEVICE",
         "share these devices, now and whenever they are plugged in: a bus id as 'halvoren-usbip list' shows it "
         "(1-2, or 1-3.2 behind a hub), vendor and product ids (046d:c31c), or the ids and a serial number "
         "(046d:c31c:SERIAL); a device shared this way is withdrawn when it is unplugged",
         true},
        {"--share-all", 0, nullptr, "share every local device"},
        {"--tls", 0, nullptr,
         "wrap every connection in TLS (self-signed certificate); the server prints its key's fingerprint, which "
         "clients compare the first time"},
        {"--key-file", 0, "FILE",
         "with --tls: keep the server's key in FILE (made, readable by you alone, when it does not exist), so that "
         "its fingerprint stays the same across restarts; without it every start makes a new key"},
        {"--relay", 0, "HOST[:PORT]",
         "register with a relay (port 3241 unless given) and print the pairing code; not with --tls, which clients "
         "that come through a relay never start"},
        {"--registration-key-file", 0, "FILE",
         "with --relay: present the relay's registration key, the first line of FILE (for a relay whose operator "
         "handed one out)"},
        kPasswordFileOption,
        kPasswordOption,
        {"--forward", 0, nullptr,
         "let clients that import a device use it: its USB traffic goes over the connection (without this, an "
         "import is answered and nothing more)"},
        {"--stock-clients", 0, nullptr,
         "let USB/IP clients without the password handshake (the kernel's usbip tool) list and import; only without "
         "a password and without --tls"},
        kVerboseOption,
        kQuietOption,
    },
    nullptr,
    "Without a password the server accepts every client; with --forward that client can use the shared devices as "
    "if they were plugged into its own machine. With a password, clients of this version and the server prove the "
    "password to each other without sending it, and encrypt the rest of the conversation, also through a relay; "
    "older clients still get in with the older handshake.",
};

const CommandSpec kRemoteSpec{
    "remote",
    "list a server's devices, directly or through a relay by pairing code",
    {"HOST[:PORT] [--tls] [--known-hosts FILE] [--accept-new-key | --fingerprint FP] [--busid ID [--descriptors]] "
     "[--password-file FILE | --password P] [--allow-insecure] [--json] [--timeout MS]",
     "--relay HOST[:PORT] --code CODE [--busid ID --descriptors] [--password-file FILE | --password P] "
     "[--allow-insecure] [--json] [--timeout MS]"},
    "Lists a server's shared devices: directly (port 3240 unless given; an IPv6 address goes in brackets, "
    "[::1]:3240), or through a relay by the server's pairing code. With --descriptors, imports one device and reads "
    "its device and configuration descriptors from the device itself (the server must run with --forward).",
    {
        kRemoteOption,
        kTlsOption,
        kKnownHostsOption,
        kAcceptNewKeyOption,
        kFingerprintOption,
        {"--busid", 'b', "ID", "show the one device with this bus id (direct only)"},
        {"--descriptors", 0, nullptr, "with --busid: import the device and show its descriptors"},
        kRelayOption,
        kCodeOption,
        kPasswordFileOption,
        kPasswordOption,
        kAllowInsecureOption,
        {"--json", 0, nullptr,
         "print the library's JSON, with usb_ids_vendor and usb_ids_product where the usb.ids database knows the "
         "ids"},
        {"--timeout", 0, "MS", "give up after MS milliseconds (default 10000)"},
    },
    "HOST[:PORT]",
    "With a password the server must prove that it knows it too, and the conversation is encrypted end to end, "
    "also through a relay; a server that does not offer this (an older version, or one whose offer someone on the "
    "way removed) is refused unless --allow-insecure is given.",
};

const CommandSpec kRelaySpec{
    "relay",
    "pair servers and clients by code",
    {"[--port PORT] [--registration-key-file FILE] [--registrations N] [--pairings N] [-v | -q]"},
    "Pairs servers and clients by code: servers register and get a code, clients ask for a server by that code. "
    "Prints each registration, client's request, pairing and end as it happens (one JSON event a line, with its "
    "UTC time) until Ctrl-C (SIGINT) or SIGTERM.",
    {
        {"--port", 'p', "PORT", "TCP port to listen on, 1-65535 (default 3241)"},
        {"--registration-key-file", 0, "FILE",
         "only servers that present this key, the first line of FILE, may register (without it, any server may)"},
        {"--registrations", 0, "N", "hold up to N registrations, 1-65536 (default 64)"},
        {"--pairings", 0, "N", "let up to N clients wait for their server at once, 1-65536 (default 64)"},
        kVerboseOption,
        kQuietOption,
    },
    nullptr,
    "A relay on a public host should have a registration key: without one anybody can register, and codes of their "
    "own let them hold its places.",
};

std::vector<const CommandSpec *> all_command_specs()
{
    std::vector<const CommandSpec *> all = {&kListSpec, &kServeSpec, &kRemoteSpec, &kRelaySpec};
    for (const SystemCommand &c : system_commands()) all.push_back(c.cmd);
    return all;
}

std::string program_help() { return help_text(kProgramSpec, all_command_specs()); }

const std::vector<ManSection> &man_sections()
{
    static const std::vector<ManSection> sections = {
        {"ENVIRONMENT",
         nullptr,
         {
             {"HALVOREN_USBIP_PASSWORD", "the password, when neither --password-file nor --password is given"},
             {"HALVOREN_USBIP_USB_IDS", "the usb.ids database to take device names from"},
             {"HALVOREN_USBIP_SYSFS", "where sysfs is, for attach, detach and port (default /sys)"},
             {"HALVOREN_USBIP_RUN_DIR",
              "where attach records which server's device each vhci-hcd port holds, for port and detach (default "
              "/run/halvoren-usbip)"},
             {"XDG_CONFIG_HOME", "the folder of the known-hosts file (default ~/.config)"},
         }},
        {"EXIT STATUS",
         nullptr,
         {
             {"0", "success"},
             {"1", "a failure, after the library's message (and, where it helps, what it means)"},
             {"2", "a mistake in the command line, with a pointer to the command's help"},
         }},
        {"FILES",
         nullptr,
         {
             {"/usr/share/misc/usb.ids", "the USB name database (Debian package usb.ids)"},
             {"~/.config/halvoren-usbip/known_hosts",
              "the TLS keys of servers that remote and attach trust, one 'HOST:PORT FINGERPRINT' a line"},
             {"/etc/halvoren-usbip/password",
              "the password of the halvoren-usbip-serve service (systemd hands it over as a credential)"},
             {"/etc/default/halvoren-usbip-serve, /etc/default/halvoren-usbip-relay",
              "options of the two systemd services"},
         }},
        {"SEE ALSO",
         "usbip(8); the reference of the library, the wire protocol, deployment and security in "
         "/usr/share/doc/halvoren-usbip/.",
         {}},
    };
    return sections;
}

}  // namespace cli
