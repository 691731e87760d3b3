// Whom a client command trusts. With a password it requires the secure
// password exchange (the server proves the password too, and the
// conversation is encrypted) unless the person allows older servers. With
// TLS it pins the server's key: the one given on the command line, or the
// one remembered for that server in a known-hosts file, which the person is
// asked about the first time, as ssh does.
#ifndef HALVOREN_CLI_TRUST_H
#define HALVOREN_CLI_TRUST_H

#include <string>

#include "cli_common.h"
#include "cli_options.h"

namespace cli {

struct TrustOptions {
    bool allow_insecure = false;
    bool accept_new_key = false;
    std::string known_hosts;  // the file; default_known_hosts() when not given
    std::string fingerprint;  // given with --fingerprint

    // Takes the options from the command line; the key options need --tls.
    void take(const Parsed &p, bool tls);
};

// $XDG_CONFIG_HOME/halvoren-usbip/known_hosts, else under ~/.config (on
// Windows %APPDATA%\halvoren-usbip\known_hosts); "" when there is no home.
std::string default_known_hosts();

// "host:port", with an IPv6 address in brackets: a server's name in the
// known-hosts file.
std::string known_hosts_name(const Endpoint &server);
// The fingerprint remembered for `name` in `file`; "" when none.
std::string known_fingerprint(const std::string &file, const std::string &name);
// Adds the line "name fingerprint" to `file` (and its folder); false when
// it cannot be written.
bool remember_fingerprint(const std::string &file, const std::string &name, const std::string &fingerprint);

// Sets the library up for a client call of command `what` to `server`:
// the requirement of the secure exchange, and for TLS the pinned key.
// Returns -1 to go on, or the exit status after a message.
int prepare_client(const char *what, const TrustOptions &t, const Endpoint &server, bool tls,
                   const std::string &password);

}  // namespace cli

#endif
