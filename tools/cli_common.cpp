// The parts of the command-line host that its commands share.
#include "cli_common.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "cli_options.h"
#include "cli_support.h"
#include "halvoren_usbip.h"

namespace cli {

void reject_unknown(const std::string &word)
{
    if (word.rfind("-", 0) == 0) throw UsageError{"unknown option '" + word + "'"};
    throw UsageError{"unexpected argument '" + word + "'"};
}

bool is_help(const std::string &w) { return w == "-h" || w == "--help"; }

int parse_port(const std::string &option, const std::string &text, const std::string &within)
{
    std::string subject = within.empty() ? option + " '" + text + "'" : "the port '" + text + "' of " + within;
    bool digits = !text.empty() && text.size() <= 9 &&
                  std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits) throw UsageError{subject + " is not a port number: a port is 1 to 65535"};
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < 1 || v > 65535) throw UsageError{subject + " is out of range: a port is 1 to 65535"};
    return static_cast<int>(v);
}

int parse_timeout(const std::string &text)
{
    bool digits = !text.empty() && text.size() <= 9 &&
                  std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    long v = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
    if (v < 1) throw UsageError{"--timeout '" + text + "' is not a time: give whole milliseconds above 0"};
    return static_cast<int>(v);
}

int parse_count(const std::string &option, const std::string &text, int most)
{
    bool digits = !text.empty() && text.size() <= 9 &&
                  std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    long v = digits ? std::strtol(text.c_str(), nullptr, 10) : 0;
    if (v < 1 || v > most)
        throw UsageError{option + " '" + text + "' is not a count from 1 to " + std::to_string(most)};
    return static_cast<int>(v);
}

std::string read_key_file(const std::string &option, const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{"cannot read the file of " + option + " '" + path + "': " + std::strerror(errno)};
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) throw UsageError{"the file of " + option + " '" + path + "' is empty: its first line is the key"};
    return line;
}

Endpoint parse_endpoint(const std::string &what, const std::string &text, int default_port)
{
    Endpoint e{"", default_port};
    std::string port_text;
    bool has_port = false;
    if (!text.empty() && text[0] == '[') {
        auto close = text.find(']');
        if (close == std::string::npos) throw UsageError{what + " '" + text + "' has no closing ']'"};
        e.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                throw UsageError{what + " '" + text + "': only ':PORT' may follow the ']' of an address"};
            port_text = text.substr(close + 2);
            has_port = true;
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        auto colon = text.find(':');
        e.host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        has_port = true;
    } else if (text.find(':') != std::string::npos) {
        throw UsageError{what + " '" + text + "': write an IPv6 address in brackets, as [::1]:3240"};
    } else {
        e.host = text;
    }
    if (e.host.empty()) throw UsageError{what + " '" + text + "' names no host"};
    if (has_port) e.port = parse_port(what, port_text, what + " '" + text + "'");
    return e;
}

std::string parse_code(const std::string &text)
{
    std::string code;
    for (unsigned char c : text) {
        if (std::isspace(c) != 0) continue;
        if (std::isalnum(c) == 0)
            throw UsageError{"--code '" + text + "' is not a pairing code: it holds letters and digits only"};
        code += static_cast<char>(std::toupper(c));
    }
    if (code.size() != kCodeLength)
        throw UsageError{"--code '" + text + "' is not a pairing code: a code has " + std::to_string(kCodeLength) +
                         " letters and digits"};
    return code;
}

const char *or_null(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

std::string utc_now()
{
    std::time_t t = std::time(nullptr);
    char text[32] = "";
    if (const std::tm *tm = std::gmtime(&t)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", tm);
    return text;
}

void PasswordSource::take(const Parsed &p)
{
    const int count = p.count("--password") + p.count("--password-file");
    if (count > 1) throw UsageError{"give one of --password and --password-file, once"};
    given = count == 1;
    value = p.value("--password");
    file = p.value("--password-file");
}

Endpoint server_operand(const Parsed &p)
{
    const int count = p.count("--remote") + (p.has_operand() ? 1 : 0);
    if (count > 1) throw UsageError{"give the server once: HOST[:PORT], or -r HOST[:PORT]"};
    if (count == 0) return Endpoint{};
    return parse_endpoint("the server", p.has_operand() ? p.operand() : p.value("--remote"), kDefaultServerPort);
}

std::string PasswordSource::resolve() const
{
    std::string password;
    if (!file.empty()) password = read_file(file);
    else if (given) password = value;
    else if (const char *env = std::getenv(kPasswordVariable)) password = env;
    if (password.size() > kMaxPassword)
        throw UsageError{"the password is " + std::to_string(password.size()) + " bytes long; the library takes at most " +
                         std::to_string(kMaxPassword)};
    return password;
}

std::string PasswordSource::read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{"cannot read the password file '" + path + "': " + std::strerror(errno)};
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) throw UsageError{"the password file '" + path + "' is empty: its first line is the password"};
    return line;
}

std::string explain(int code, const Situation &s)
{
    // By the library's code, never its text: the text names hosts, ports
    // and bus ids, and may change wording.
    switch (code) {
    case USBIP_ERROR_PORT_IN_USE:
        return "Another program is already listening on port " + std::to_string(s.port) +
               " (or, below 1024, the port needs root). Choose another with --port.";
    case USBIP_ERROR_TLS_HANDSHAKE:
        // A TLS server closes a connection from an address it has backed
        // off without a word, so that case looks the same from here.
        return "The server did not answer in TLS: it may run without --tls (then leave --tls out), it may refuse "
               "this address for a while after wrong passwords (a TLS server then closes the connection), or it "
               "is not a USB/IP server of this kind.";
    case USBIP_ERROR_TLS:
        return "TLS could not be set up; the server can run without --tls.";
    case USBIP_ERROR_TIMEOUT:
        if (!s.tls && !s.by_code) return "A server started with --tls waits for a TLS handshake first: if this one was, add --tls.";
        return "";
    case USBIP_ERROR_REFUSED:
        return "Too many wrong passwords came from this address: the server ignores it until that time has "
               "passed. Wait, then try again with the right password.";
    case USBIP_ERROR_NOT_A_SERVER:
        return "The peer sent no handshake: it is not a USB/IP server of this kind, or it closed the connection at "
               "once.";
    case USBIP_ERROR_KEY_MISMATCH:
        return "The server's TLS key is not the one trusted before (in the known-hosts file, or given with "
               "--fingerprint): someone may be posing as the server. If its operator replaced the key on purpose, "
               "remove the server's line from the known-hosts file.";
    case USBIP_ERROR_INSECURE_SERVER:
        return "The server is an older version, or someone on the way removed its offer. --allow-insecure talks to "
               "it anyway: it then does not prove the password, and whoever records the conversation can test "
               "passwords offline.";
    case USBIP_ERROR_SERVER_NOT_PROVEN:
        return "This is not the server you meant: it does not know the password. Someone (a relay, or a party on "
               "the way) may be posing as it, or its password has changed.";
    case USBIP_ERROR_RELAY_REFUSED:
        if (!s.by_code)  // a server's registration
            return "The relay takes only servers with its registration key: give the key its operator handed out "
                   "with --registration-key-file.";
        return "";
    case USBIP_ERROR_CODE_NOT_FOUND:
        return "No server is registered with this code on the relay: check the code, and that the server still "
               "runs (a server whose relay restarted registers again under a new code).";
    case USBIP_ERROR_RATE_LIMITED:
        return "The relay refuses this address for a while: too many requests, or wrong codes. Wait, then try "
               "again.";
    default:
        return "";
    }
}

// The library's message may quote a peer (a relay's answer line, a bus id).
int fail(const char *what, const Situation &s)
{
    std::string message = usbip_last_error();
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, what, terminal_text(message).c_str());
    std::string why = explain(usbip_last_error_code(), s);
    if (!why.empty()) std::fprintf(stderr, "  %s\n", why.c_str());
    return 1;
}

}  // namespace cli
