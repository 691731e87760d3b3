// The parts of the command-line host that its commands share: the words
// of the command line and their checks, passwords, and how a failure of the
// library is reported.
#ifndef HALVOREN_CLI_COMMON_H
#define HALVOREN_CLI_COMMON_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace cli {

constexpr char kProgram[] = "halvoren-usbip";
constexpr int kDefaultServerPort = 3240;
constexpr int kDefaultRelayPort = 3241;
// The longest password the library takes, in bytes (it refuses longer ones).
constexpr std::size_t kMaxPassword = 127;
// A pairing code has this many letters and digits.
constexpr std::size_t kCodeLength = 6;
constexpr char kPasswordVariable[] = "HALVOREN_USBIP_PASSWORD";

// A mistake in the command line: reported with the command's name and a
// pointer to its help, and status 2.
struct UsageError {
    std::string message;
};

class Parsed;

class Args {
public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
    bool more() const { return i_ < words_.size() || pending_value_; }
    // The next word; "--name=value" comes as "--name", then its value.
    std::string next()
    {
        if (pending_value_) {
            pending_value_ = false;
            return value_;
        }
        std::string w = words_[i_++];
        auto eq = w.find('=');
        if (w.rfind("--", 0) == 0 && eq != std::string::npos) {
            value_ = w.substr(eq + 1);
            pending_value_ = true;
            w.resize(eq);
        }
        return w;
    }
    // The value that follows option `name`.
    std::string value(const std::string &name)
    {
        if (!more() || (!pending_value_ && words_[i_].rfind("--", 0) == 0))
            throw UsageError{name + " needs a value"};
        return next();
    }
    // True when the next word is a plain value (not an option).
    bool value_follows() const { return i_ < words_.size() && !pending_value_ && words_[i_].rfind("-", 0) != 0; }
    // True when an "--name=value" value is waiting for an option that takes none.
    bool value_pending() const { return pending_value_; }

private:
    std::vector<std::string> words_;
    std::size_t i_ = 0;
    bool pending_value_ = false;
    std::string value_;
};

void reject_unknown(const std::string &word);
bool is_help(const std::string &w);

// A TCP port, checked here so that the library never sees a value that it
// would take modulo 65536 or hand to the system to choose.
// `within` names the HOST:PORT text that held the port, if any.
int parse_port(const std::string &option, const std::string &text, const std::string &within = "");
int parse_timeout(const std::string &text);
// A count from 1 to `most` given to `option`.
int parse_count(const std::string &option, const std::string &text, int most);
// The first line of a key file given to `option` (a CR at its end dropped).
std::string read_key_file(const std::string &option, const std::string &path);

struct Endpoint {
    std::string host;
    int port = 0;
};

// "host", "host:port", "[v6-address]" or "[v6-address]:port".
Endpoint parse_endpoint(const std::string &what, const std::string &text, int default_port);
// Pairing codes are handed out in capitals; people type them as they like,
// with spaces where they read them in groups. Checked here, before any byte
// goes to a relay: a wrong code costs the address a strike there.
std::string parse_code(const std::string &text);
// The server of remote and attach: the plain HOST[:PORT] word or -r/--remote
// (as usbip names it), once; an empty host when neither came.
Endpoint server_operand(const Parsed &p);

// Where a password came from: the options, then the environment.
struct PasswordSource {
    std::string value;
    std::string file;
    bool given = false;

    // Takes --password and --password-file from the command line.
    void take(const Parsed &p);
    // The password to use; empty for none. One longer than the library
    // takes is a mistake of the command line.
    std::string resolve() const;
    static std::string read_file(const std::string &path);
};

const char *or_null(const std::string &s);

// The time now in UTC, "2026-01-31T12:00:00Z".
std::string utc_now();

// What a library failure (by its code) means for the person at the
// terminal, where the message alone leaves them guessing; empty when it
// speaks for itself.
struct Situation {
    int port = 0;           // the port the command listens on, if any
    bool tls = false;       // the command asked for TLS
    bool by_code = false;   // the command went through a relay
};

std::string explain(int code, const Situation &s);
// Reports the library's last message (which may quote a peer: a relay's
// answer line, a bus id) after `what`, with what it means where that
// helps; returns the exit status 1.
int fail(const char *what, const Situation &s = {});

}  // namespace cli

#endif
