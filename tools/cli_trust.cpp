#include "cli_trust.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli_support.h"
#include "halvoren_usbip.h"

namespace cli {

namespace {

bool stdin_is_terminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(0) != 0;
#endif
}

// Asks on the terminal whether to trust a key seen for the first time.
bool ask(const std::string &name, const std::string &fingerprint, const std::string &file)
{
    std::fprintf(stderr,
                 "The server %s is not in %s.\n"
                 "Its TLS key has the SHA-256 fingerprint\n"
                 "  %s\n"
                 "Compare it with what the server prints ('serve --tls'). Trust this key and remember it? [y/N] ",
                 terminal_text(name).c_str(), terminal_text(file).c_str(), fingerprint.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

}  // namespace

void TrustOptions::take(const Parsed &p, bool tls)
{
    allow_insecure = p.has("--allow-insecure");
    accept_new_key = p.has("--accept-new-key");
    known_hosts = p.value("--known-hosts");
    fingerprint = p.value("--fingerprint");
    const bool key_options = accept_new_key || p.has("--known-hosts") || p.has("--fingerprint");
    if (key_options && !tls)
        throw UsageError{"--fingerprint, --known-hosts and --accept-new-key concern a server's TLS key: they need --tls"};
    if (!fingerprint.empty() && (accept_new_key || p.has("--known-hosts")))
        throw UsageError{"--fingerprint names the key itself: leave out --known-hosts and --accept-new-key"};
    if (p.has("--fingerprint")) {
        // The library reads it as it will when it pins it.
        bool ok = usbip_client_pin_fingerprint(fingerprint.c_str()) == 0 && !fingerprint.empty();
        usbip_client_pin_fingerprint(nullptr);
        if (!ok)
            throw UsageError{"--fingerprint '" + fingerprint +
                             "' is not a key's fingerprint: give the 64 hexadecimal digits that 'serve --tls' prints"};
    }
    if (known_hosts.empty()) known_hosts = default_known_hosts();
}

std::string default_known_hosts()
{
#ifdef _WIN32
    const char *base = std::getenv("APPDATA");
    if (base == nullptr || *base == '\0') return "";
    return std::string(base) + "\\halvoren-usbip\\known_hosts";
#else
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config == '/') return std::string(config) + "/halvoren-usbip/known_hosts";
    const char *home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return "";
    return std::string(home) + "/.config/halvoren-usbip/known_hosts";
#endif
}

std::string known_hosts_name(const Endpoint &server)
{
    std::string host = server.host.find(':') != std::string::npos ? "[" + server.host + "]" : server.host;
    return host + ":" + std::to_string(server.port);
}

std::string known_fingerprint(const std::string &file, const std::string &name)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string who, fingerprint;
        if (words >> who >> fingerprint && who == name) return fingerprint;
    }
    return "";
}

bool remember_fingerprint(const std::string &file, const std::string &name, const std::string &fingerprint)
{
    if (file.empty()) return false;
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::path(file).parent_path();
    if (!dir.empty()) std::filesystem::create_directories(dir, ec);
    std::ofstream out(file, std::ios::app);
    out << name << ' ' << fingerprint << '\n';
    return static_cast<bool>(out.flush());
}

int prepare_client(const char *what, const TrustOptions &t, const Endpoint &server, bool tls,
                   const std::string &password)
{
    usbip_client_set_require_secure(!password.empty() && !t.allow_insecure ? 1 : 0);
    if (!tls) return -1;
    if (!t.fingerprint.empty()) {
        usbip_client_pin_fingerprint(t.fingerprint.c_str());  // checked by take()
        return -1;
    }
    const std::string name = known_hosts_name(server);
    std::string known = t.known_hosts.empty() ? "" : known_fingerprint(t.known_hosts, name);
    if (!known.empty()) {
        if (usbip_client_pin_fingerprint(known.c_str()) != 0) {
            std::fprintf(stderr, "%s: %s: %s holds no fingerprint for %s but '%s'\n", kProgram, what,
                         terminal_text(t.known_hosts).c_str(), terminal_text(name).c_str(),
                         terminal_text(known).c_str());
            return 1;
        }
        return -1;
    }
    const char *seen = usbip_client_server_fingerprint(server.host.c_str(), server.port);
    if (seen == nullptr) return fail(what, Situation{0, true, false});
    const std::string fingerprint = seen;
    const std::string file = t.known_hosts.empty() ? "(no known-hosts file)" : t.known_hosts;
    if (!t.accept_new_key) {
        if (!stdin_is_terminal()) {
            std::fprintf(stderr,
                         "%s: %s: the TLS key of %s is not known (SHA-256 fingerprint %s): compare it with what the "
                         "server prints, then run again with --accept-new-key, or with --fingerprint %s\n",
                         kProgram, what, terminal_text(name).c_str(), fingerprint.c_str(), fingerprint.c_str());
            return 1;
        }
        if (!ask(name, fingerprint, file)) {
            std::fprintf(stderr, "%s: %s: the key of %s is not trusted: no password and no request went to it\n", kProgram, what,
                         terminal_text(name).c_str());
            return 1;
        }
    } else {
        std::fprintf(stderr, "Trusting the TLS key of %s (SHA-256 fingerprint %s).\n", terminal_text(name).c_str(),
                     fingerprint.c_str());
    }
    if (!remember_fingerprint(t.known_hosts, name, fingerprint))
        std::fprintf(stderr, "%s: %s: cannot remember the key in %s: it is trusted for this run only\n", kProgram,
                     what, terminal_text(file).c_str());
    usbip_client_pin_fingerprint(fingerprint.c_str());
    return -1;
}

}  // namespace cli
