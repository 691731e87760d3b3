// The command line's options, one table per command. The same table drives
// the parser (which words take a value, short forms, repeated values), the
// command's --help and the manual page, so that the three cannot drift.
#ifndef HALVOREN_CLI_OPTIONS_H
#define HALVOREN_CLI_OPTIONS_H

#include <string>
#include <utility>
#include <vector>

#include "cli_common.h"

namespace cli {

struct Option {
    const char *name;         // "--port"
    char short_name;          // 'p', or 0 for none
    const char *value;        // "PORT"; nullptr for a switch
    const char *help;         // one paragraph, wrapped where it is shown
    bool many = false;        // also takes every plain word that follows ("--share BUSID ...")
};

// Options that several commands share. The server and the relay of remote
// and attach:
inline constexpr Option kRemoteOption{"--remote", 'r', "HOST[:PORT]",
                                      "the server (the same as HOST[:PORT] without the option)"};
inline constexpr Option kRelayOption{"--relay", 0, "HOST[:PORT]", "the relay (port 3241 unless given)"};
inline constexpr Option kCodeOption{"--code", 0, "CODE", "the server's pairing code, in any letter case"};
inline constexpr Option kTlsOption{"--tls", 0, nullptr, "speak TLS to the server (direct only)"};
// How much of its events serve and relay print (info and above unless given).
inline constexpr Option kVerboseOption{"--verbose", 'v', nullptr, "print debug events too (each connection, each "
                                                                  "accepted handshake)"};
inline constexpr Option kQuietOption{"--quiet", 'q', nullptr, "print only warnings and errors of the events"};
// The password options of serve, remote and attach.
inline constexpr Option kPasswordFileOption{"--password-file", 0, "FILE", "the password is the first line of FILE"};
inline constexpr Option kPasswordOption{
    "--password", 0, "P",
    "the password P (other users can see it in the process list: prefer --password-file or "
    "HALVOREN_USBIP_PASSWORD)"};

// Whom remote and attach trust (cli_trust.h).
inline constexpr Option kAllowInsecureOption{
    "--allow-insecure", 0, nullptr,
    "with a password, also talk to a server that does not offer the secure password exchange (an older version): "
    "that server does not prove that it knows the password, the conversation is encrypted only with --tls, and "
    "whoever records it can test passwords offline"};
inline constexpr Option kKnownHostsOption{
    "--known-hosts", 0, "FILE",
    "with --tls: the servers' keys that you trust, one 'HOST:PORT FINGERPRINT' a line (default "
    "~/.config/halvoren-usbip/known_hosts); a server that is not there is asked about, one whose key changed is "
    "refused"};
inline constexpr Option kAcceptNewKeyOption{
    "--accept-new-key", 0, nullptr,
    "with --tls: trust the key of a server that is not in the known-hosts file without asking, and remember it "
    "(for scripts; a changed key is still refused)"};
inline constexpr Option kFingerprintOption{
    "--fingerprint", 0, "FP",
    "with --tls: the server's key must have this SHA-256 fingerprint (as 'serve --tls' prints it); the "
    "known-hosts file is not used"};

struct CommandSpec {
    const char *name;                 // "serve"; "" for the program itself
    const char *summary;              // its line in the program's list of commands
    std::vector<const char *> usage;  // each form of the command, after "halvoren-usbip NAME "
    const char *description;          // paragraphs, separated by blank lines
    std::vector<Option> options;      // -h, --help is every command's and not listed here
    const char *operand = nullptr;    // a plain word the command takes once ("HOST[:PORT]"), if any
    const char *notes = nullptr;      // paragraphs after the options
};

// What the words of a command line said, checked against its table: each
// option that was given with its values, in order, and the operand.
class Parsed {
public:
    explicit Parsed(const CommandSpec &cmd) : cmd_(&cmd) {}

    bool help = false;  // -h or --help came (the words after it are not read)

    // `name` is an option of the command's table (a name that is not is a
    // mistake of the program, which aborts).
    bool has(const char *name) const { return count(name) > 0; }
    int count(const char *name) const;
    // The last value given to the option; "" when it was not given.
    std::string value(const char *name) const;
    // Every value given to the option, in order.
    std::vector<std::string> values(const char *name) const;

    bool has_operand() const { return has_operand_; }
    const std::string &operand() const { return operand_; }

    void add(const Option *option, std::string value) { given_.emplace_back(option, std::move(value)); }
    void set_operand(std::string word)
    {
        operand_ = std::move(word);
        has_operand_ = true;
    }

private:
    const Option &option(const char *name) const;

    const CommandSpec *cmd_;
    std::vector<std::pair<const Option *, std::string>> given_;
    std::string operand_;
    bool has_operand_ = false;
};

// Reads the words of `a` by the table of `cmd`: "--name VALUE",
// "--name=VALUE", "-n VALUE", "-nVALUE"; a switch takes no value. Throws
// UsageError for an unknown option, a missing value, a value given to a
// switch and a plain word the command does not take. Stops at -h/--help.
Parsed parse_options(const CommandSpec &cmd, Args &a);

// Prints the command's help on standard output; the exit status 0.
int print_help(const CommandSpec &cmd);

// The command's --help: usage, description, options and notes, wrapped to
// 79 columns. For the program itself (name ""), `commands` are listed.
std::string help_text(const CommandSpec &cmd, const std::vector<const CommandSpec *> &commands = {});

// A section of the manual page beyond the commands: paragraphs, then terms
// with their text (environment variables, exit statuses).
struct ManSection {
    const char *title;  // "ENVIRONMENT"
    const char *text;   // may be nullptr
    std::vector<std::pair<const char *, const char *>> items;
};

// The manual page (roff, section 1) of the program and every command.
std::string man_page(const CommandSpec &program, const std::vector<const CommandSpec *> &commands,
                     const std::vector<ManSection> &sections, const char *version);

}  // namespace cli

#endif
