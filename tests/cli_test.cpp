// The command-line host as its users meet it: help and version, mistakes in
// the command line, failures explained, passwords from a file or the
// environment, codes in any letter case, relay events, and USB names from
// the usb.ids database. Its helpers without the library are tested directly.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_options.h"
#include "cli_support.h"
#include "command_specs.h"
#include "usb_descriptors.h"
#include "vhci.h"
#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"

namespace {

const std::string kCli = CLI_PATH;
// Every command runs without a password or a usb.ids database from the
// environment unless the test gives one.
const std::string kCleanEnv = "env -u HALVOREN_USBIP_PASSWORD HALVOREN_USBIP_USB_IDS=" USB_IDS_FIXTURE " ";

struct CliRun {
    std::string out, err;
    int status = -1;
};

// Runs the host with `args` (shell words), stdout and stderr apart.
CliRun run_cli(const std::string &args, const std::string &env = "")
{
    char path[] = "/tmp/cli_test_err_XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    CliRun r;
    r.out = run_command(kCleanEnv + env + " " + kCli + " " + args + " 2>" + path, &r.status);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    r.err = ss.str();
    std::remove(path);
    return r;
}

std::string first_line(const std::string &s) { return s.substr(0, s.find('\n')); }

struct Library {
    Library() { EXPECT_EQ(usbip_init(), 0); }
    ~Library() { usbip_cleanup(); }
};

// The library's server on a free port, stopped at the end.
class Server {
public:
    explicit Server(const char *password = nullptr)
    {
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            int p = free_port();
            if (usbip_server_start(p, password, 0) == 0) port_ = p;
        }
        EXPECT_NE(port_, 0) << usbip_last_error();
    }
    ~Server() { usbip_server_stop(); }
    int port() const { return port_; }

private:
    int port_ = 0;
};

class TempFile {
public:
    explicit TempFile(const std::string &content)
    {
        char p[] = "/tmp/cli_test_file_XXXXXX";
        int fd = mkstemp(p);
        close(fd);
        path_ = p;
        std::ofstream(path_) << content;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string read_fixture()
{
    std::ifstream in(USB_IDS_FIXTURE);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

// ---------------------------------------------------------------------------
// Helpers without the library

TEST(UsbIds, NamesComeFromTheVendorTheyBelongTo)
{
    struct Case {
        std::uint16_t vid, pid;
        const char *vendor, *product;
    } cases[] = {
        {0x046d, 0xc31c, "Logitech, Inc.", "Keyboard K120"},
        {0x1234, 0xc31c, "Test \"Quoted\" Vendor", "Another vendor's product"},  // same product id, other vendor
        {0x1234, 0x5678, "Test \"Quoted\" Vendor", "Widget"},
        {0x046d, 0x5678, "Logitech, Inc.", ""},        // vendor known, product not
        {0xabcd, 0x0001, "Vendor without products", ""},
        {0xdead, 0x5678, "", ""},                      // unknown vendor
        {0xffff, 0x0000, "", ""},                      // a line after the vendor list
    };
    std::set<std::uint32_t> ids;
    for (const auto &c : cases) ids.insert(cli::usb_id(c.vid, c.pid));
    // The database's own files may come with CR LF line ends.
    std::string text = read_fixture(), crlf;
    for (char ch : text) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    for (const std::string &db : {text, crlf}) {
        std::istringstream in(db);
        auto found = cli::usb_ids_lookup(in, ids);
        for (const auto &c : cases) {
            const auto &names = found[cli::usb_id(c.vid, c.pid)];
            EXPECT_EQ(names.vendor, c.vendor) << std::hex << c.vid << ":" << c.pid;
            EXPECT_EQ(names.product, c.product) << std::hex << c.vid << ":" << c.pid;
        }
    }
}

TEST(CliJson, AddedMembersLeaveTheLibraryTextAsItWas)
{
    const std::string json =
        R"([{"busid":"1-1","vid":"0x1234","pid":"0x5678","vendor":"A \"q\" \\ \u0001","product":"\u00e9"} ,)"
        R"( {"busid":"1-2"},{}])";
    std::vector<cli::Object> objects;
    ASSERT_TRUE(cli::parse_array(json.c_str(), &objects));
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0].get("vendor"), "A \"q\" \\ \x01");
    std::string out = cli::add_members(json, objects, {{{"usb_ids_vendor", "Say \"hi\"\n"}}, {}, {{"k", "v"}}});
    auto parsed = nlohmann::json::parse(out);
    auto original = nlohmann::json::parse(json);
    EXPECT_EQ(parsed[0]["usb_ids_vendor"], "Say \"hi\"\n");
    parsed[0].erase("usb_ids_vendor");
    EXPECT_EQ(parsed[0], original[0]);
    EXPECT_EQ(parsed[1], original[1]);
    EXPECT_EQ(parsed[2], nlohmann::json({{"k", "v"}}));
    // The library's bytes stand unchanged in front of the first addition.
    EXPECT_EQ(out.compare(0, objects[0].end, json, 0, objects[0].end), 0);

    std::vector<cli::Object> none;
    EXPECT_TRUE(cli::parse_array("[]", &none));
    EXPECT_FALSE(cli::parse_array("[{\"a\":\"b\"}] trailing", &none));
}

// ---------------------------------------------------------------------------
// Help, version and mistakes

TEST(Cli, HelpAndVersionGoToStandardOutput)
{
    struct Case {
        const char *args;
        const char *starts;
    } cases[] = {
        {"--help", "usage: halvoren-usbip COMMAND"},
        {"-h", "usage: halvoren-usbip COMMAND"},
        {"list --help", "usage: halvoren-usbip list"},
        {"list -h", "usage: halvoren-usbip list"},
        {"serve --help", "usage: halvoren-usbip serve"},
        {"serve --port 1 -h", "usage: halvoren-usbip serve"},
        {"remote --help", "usage: halvoren-usbip remote"},
        {"relay -h", "usage: halvoren-usbip relay"},
        {"attach --help", "usage: halvoren-usbip attach"},
        {"detach -h", "usage: halvoren-usbip detach"},
        {"port --help", "usage: halvoren-usbip port"},
        {"--version", "halvoren-usbip " HALVOREN_USBIP_VERSION_STRING "\n"},
    };
    for (const auto &c : cases) {
        CliRun r = run_cli(c.args);
        EXPECT_EQ(r.status, 0) << c.args;
        EXPECT_EQ(r.out.rfind(c.starts, 0), 0u) << c.args << ":\n" << r.out;
        EXPECT_EQ(r.err, "") << c.args;
    }
}

TEST(Cli, MistakesNameTheValueAndSayWhy)
{
    struct Case {
        std::string args;
        const char *message;  // the first line on stderr
    } cases[] = {
        {"serve --port abc", "halvoren-usbip: serve: --port 'abc' is not a port number: a port is 1 to 65535"},
        {"serve --port 99999", "halvoren-usbip: serve: --port '99999' is out of range: a port is 1 to 65535"},
        {"serve --port=0", "halvoren-usbip: serve: --port '0' is out of range: a port is 1 to 65535"},
        {"relay --port -5", "halvoren-usbip: relay: --port '-5' is not a port number: a port is 1 to 65535"},
        {"serve --port", "halvoren-usbip: serve: --port needs a value"},
        {"remote 127.0.0.1:70000",
         "halvoren-usbip: remote: the port '70000' of the server '127.0.0.1:70000' is out of range: a port is 1 to "
         "65535"},
        {"remote --relay 127.0.0.1:x --code ABCDEF",
         "halvoren-usbip: remote: the port 'x' of --relay '127.0.0.1:x' is not a port number: a port is 1 to 65535"},
        {"remote ::1", "halvoren-usbip: remote: the server '::1': write an IPv6 address in brackets, as [::1]:3240"},
        {"remote 127.0.0.1 --timeout soon",
         "halvoren-usbip: remote: --timeout 'soon' is not a time: give whole milliseconds above 0"},
        {"remote --relay 127.0.0.1 --code 'AB-12C'",
         "halvoren-usbip: remote: --code 'AB-12C' is not a pairing code: it holds letters and digits only"},
        // Spaces between groups go; what is left has six characters, checked
        // before any byte goes to the relay.
        {"remote --relay 127.0.0.1 --code 'AB 12'",
         "halvoren-usbip: remote: --code 'AB 12' is not a pairing code: a code has 6 letters and digits"},
        {"attach --relay 127.0.0.1 --code ABCDEFG --busid 1-1",
         "halvoren-usbip: attach: --code 'ABCDEFG' is not a pairing code: a code has 6 letters and digits"},
        {"remote 127.0.0.1 --password " + std::string(128, 'p'),
         "halvoren-usbip: remote: the password is 128 bytes long; the library takes at most 127"},
        {"serve --tls --relay 127.0.0.1:3241",
         "halvoren-usbip: serve: --tls and --relay do not go together: clients that come through a relay never start "
         "TLS, so none could reach this server by its code"},
        {"remote --code ABCDEF", "halvoren-usbip: remote: --code needs --relay HOST[:PORT], the relay that knows the code"},
        {"remote --relay 127.0.0.1 --code ABCDEF --tls",
         "halvoren-usbip: remote: --tls does not work through a relay: that path never uses TLS"},
        {"remote", "halvoren-usbip: remote: no server given: name HOST[:PORT], or --relay HOST[:PORT] with --code CODE"},
        {"serve --password a --password-file b", "halvoren-usbip: serve: give one of --password and --password-file, once"},
        {"serve --password-file /nonexistent/pw",
         "halvoren-usbip: serve: cannot read the password file '/nonexistent/pw': No such file or directory"},
        {"remote 127.0.0.1 --descriptors", "halvoren-usbip: remote: --descriptors needs --busid ID, the device to read"},
        {"remote 127.0.0.1 --busid 1-1 --descriptors --json",
         "halvoren-usbip: remote: --descriptors shows text; leave out --json"},
        {"remote --relay 127.0.0.1 --code ABCDEF --busid 1-1",
         "halvoren-usbip: remote: --busid works with a direct HOST[:PORT] only"},
        {"serve --stock-clients --tls",
         "halvoren-usbip: serve: --stock-clients works only without a password and without --tls: stock USB/IP "
         "clients speak neither"},
        {"attach 127.0.0.1", "halvoren-usbip: attach: --busid ID names the device to attach"},
        {"attach --busid 1-1", "halvoren-usbip: attach: no server given: name HOST[:PORT], or --relay HOST[:PORT] "
                               "with --code CODE"},
        {"attach --relay 127.0.0.1 --code ABCDEF --tls --busid 1-1",
         "halvoren-usbip: attach: --tls does not work through a relay: that path never uses TLS"},
        {"remote 127.0.0.1 --accept-new-key",
         "halvoren-usbip: remote: --fingerprint, --known-hosts and --accept-new-key concern a server's TLS key: they "
         "need --tls"},
        {"attach 127.0.0.1 --busid 1-1 --known-hosts kh",
         "halvoren-usbip: attach: --fingerprint, --known-hosts and --accept-new-key concern a server's TLS key: they "
         "need --tls"},
        {"remote 127.0.0.1 --tls --fingerprint " "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" " --accept-new-key",
         "halvoren-usbip: remote: --fingerprint names the key itself: leave out --known-hosts and --accept-new-key"},
        {"remote 127.0.0.1 --tls --fingerprint 12:34",
         "halvoren-usbip: remote: --fingerprint '12:34' is not a key's fingerprint: give the 64 hexadecimal digits "
         "that 'serve --tls' prints"},
        {"serve --key-file server.key",
         "halvoren-usbip: serve: --key-file keeps the server's TLS key: it needs --tls"},
        {"detach", "halvoren-usbip: detach: --port PORT names the port to detach ('halvoren-usbip port' lists them)"},
        {"detach --port x", "halvoren-usbip: detach: --port 'x' is not a vhci-hcd port number"},
        {"port --all", "halvoren-usbip: port: unknown option '--all'"},
        {"list --verbose", "halvoren-usbip: list: unknown option '--verbose'"},
        {"list --json=yes", "halvoren-usbip: list: --json takes no value"},
        {"frobnicate", "halvoren-usbip: unknown command 'frobnicate'"},
        // Short options name the long one in what they say.
        {"serve -p abc", "halvoren-usbip: serve: --port 'abc' is not a port number: a port is 1 to 65535"},
        {"relay -p0", "halvoren-usbip: relay: --port '0' is out of range: a port is 1 to 65535"},
        {"relay -p", "halvoren-usbip: relay: -p needs a value"},
        {"detach -p x", "halvoren-usbip: detach: --port 'x' is not a vhci-hcd port number"},
        {"remote -r 127.0.0.1 127.0.0.2", "halvoren-usbip: remote: give the server once: HOST[:PORT], or -r HOST[:PORT]"},
        {"attach -r ::1 -b 1-1", "halvoren-usbip: attach: the server '::1': write an IPv6 address in brackets, as [::1]:3240"},
        {"list -j", "halvoren-usbip: list: unknown option '-j'"},
        {"serve -tls", "halvoren-usbip: serve: unknown option '-tls'"},
    };
    for (const auto &c : cases) {
        CliRun r = run_cli(c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(first_line(r.err), c.message) << c.args;
        EXPECT_NE(r.err.find("--help' for usage."), std::string::npos) << c.args;
    }
    // Without any argument the usage goes to stderr, as a mistake.
    CliRun r = run_cli("");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("usage: halvoren-usbip COMMAND", 0), 0u);
}

// ---------------------------------------------------------------------------
// Failures of the library, explained

TEST(Cli, PortInUseIsExplained)
{
    Listener taken;
    std::string port = std::to_string(taken.port());
    for (const char *command : {"serve", "relay"}) {
        CliRun r = run_cli(std::string(command) + " --port " + port);
        EXPECT_EQ(r.status, 1) << command;
        std::string who = std::string(command) == "serve" ? "serve: server_start" : "relay: relay_start";
        EXPECT_EQ(r.err, "halvoren-usbip: " + who + ": bind() failed on port " + port + "\n  Another program is " +
                             "already listening on port " + port +
                             " (or, below 1024, the port needs root). Choose another with --port.\n")
            << command;
    }
}

TEST(Cli, TlsFailureIsExplained)
{
    Library lib;
    Server server;
    CliRun r = run_cli("remote 127.0.0.1:" + std::to_string(server.port()) + " --tls --timeout 5000");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("halvoren-usbip: remote: TLS client handshake failed: -0x", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\n  The server did not answer in TLS: it may run without --tls"), std::string::npos) << r.err;
}

TEST(Cli, BackedOffAddressIsExplained)
{
    Library lib;
    Server server("s3cret");
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(usbip_client_list_remote("127.0.0.1", server.port(), "wrong", 0), nullptr);
    CliRun r = run_cli("remote 127.0.0.1:" + std::to_string(server.port()) + " --password s3cret");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("halvoren-usbip: remote: Server refuses this address for ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\n  Too many wrong passwords came from this address"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------
// Passwords and codes

TEST(Cli, PasswordFromFileOrEnvironment)
{
    Library lib;
    Server server("s3cret");
    TempFile right("s3cret\n"), wrong("nope\r\n"), empty("");
    std::string at = "remote 127.0.0.1:" + std::to_string(server.port()) + " --json";
    const std::string rejected = "halvoren-usbip: remote: Authentication rejected by server (invalid password)\n";
    struct Case {
        std::string env, options;
        int status;
        std::string err;
    } cases[] = {
        {"", "--password-file " + right.path(), 0, ""},
        {"", "--password-file=" + right.path(), 0, ""},
        {"HALVOREN_USBIP_PASSWORD=s3cret", "", 0, ""},
        {"HALVOREN_USBIP_PASSWORD=nope", "", 1, rejected},
        {"HALVOREN_USBIP_PASSWORD=nope", "--password-file " + right.path(), 0, ""},  // options come first
        {"HALVOREN_USBIP_PASSWORD=s3cret", "--password-file " + wrong.path(), 1, rejected},
        {"", "--password-file " + empty.path(), 2,
         "halvoren-usbip: remote: the password file '" + empty.path() +
             "' is empty: its first line is the password\nRun 'halvoren-usbip remote --help' for usage.\n"},
    };
    for (const auto &c : cases) {
        CliRun r = run_cli(at + " " + c.options, c.env);
        EXPECT_EQ(r.status, c.status) << c.env << " " << c.options;
        EXPECT_EQ(r.err, c.err) << c.env << " " << c.options;
        EXPECT_EQ(r.out, c.status == 0 ? "[]\n" : "") << c.env << " " << c.options;
    }
}

TEST(Cli, ServerTakesItsPasswordFromAFile)
{
    Library lib;
    TempFile password("from-a-file\n");
    int port = free_port();
    ChildProcess server({kCli, "serve", "-p", std::to_string(port), "--password-file", password.path()});
    ASSERT_FALSE(server.wait_for("Serving 0 device\\(s\\) on port " + std::to_string(port) + " .*password set").empty());
    // A server that shares nothing says how to share.
    EXPECT_FALSE(server.wait_for("^Nothing is shared, so clients get an empty list: name devices with --share").empty());
    const char *json = usbip_client_list_remote("127.0.0.1", port, "from-a-file", 0);
    EXPECT_STREQ(json ? json : usbip_last_error(), "[]");
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", port, "from-a-file\n", 0), nullptr);
    EXPECT_STREQ(usbip_last_error(), "Authentication rejected by server (invalid password)");
    // The operator sees both, as events with their time.
    EXPECT_FALSE(server.wait_for("^\\{\"time\":\"[0-9T:.-]+Z\".*\"kind\":\"devlist_served\"").empty());
    EXPECT_FALSE(server.wait_for("\"kind\":\"handshake_rejected\"").empty());
    EXPECT_EQ(server.stop(SIGINT), 0);
}

TEST(Cli, ServeUnderSystemdPrefixesEachEventWithItsPriority)
{
    Library lib;
    int port = free_port();
    setenv("JOURNAL_STREAM", "8:12345", 1);
    ChildProcess server({kCli, "serve", "-p", std::to_string(port), "--password", "pw"});
    unsetenv("JOURNAL_STREAM");
    ASSERT_FALSE(server.wait_for("^<6>\\{.*\"kind\":\"server_started\"").empty());
    EXPECT_EQ(usbip_client_list_remote("127.0.0.1", port, "wrong", 0), nullptr);
    EXPECT_FALSE(server.wait_for("^<4>\\{.*\"kind\":\"handshake_rejected\"").empty());
    EXPECT_EQ(server.stop(SIGINT), 0);
}

// -v adds the debug events (a connection, an accepted handshake), -q keeps
// only warnings and errors; the same for serve and relay.
TEST(Cli, VerboseAndQuietChooseTheLevelsShown)
{
    Library lib;
    for (const char *flag : {"-v", "-q"}) {
        int port = free_port();
        ChildProcess server({kCli, "serve", "-p", std::to_string(port), "--password", "pw", flag});
        ASSERT_FALSE(server.wait_for("^Serving 0 device").empty());
        EXPECT_NE(usbip_client_list_remote("127.0.0.1", port, "pw", 0), nullptr) << usbip_last_error();
        EXPECT_EQ(usbip_client_list_remote("127.0.0.1", port, "wrong", 0), nullptr);
        if (std::string(flag) == "-v") {
            EXPECT_FALSE(server.wait_for("\"level\":\"debug\",\"kind\":\"connection\"").empty());
        } else {
            // server_started and devlist_served (info) came first: not shown.
            EXPECT_EQ(server.wait_for("^\\{.*\"level\":\"([a-z]+)\""), "warning");
        }
        EXPECT_EQ(server.stop(SIGINT), 0);
    }
    CliRun both = run_cli("relay -v -q");
    EXPECT_EQ(both.status, 2);
    EXPECT_EQ(first_line(both.err), "halvoren-usbip: relay: give -v (--verbose) or -q (--quiet), not both");
}

// The relay's command line prints its events as they happen: every
// registration, every client's request and pairing, and the end, none lost
// between two looks.
TEST(Cli, CodesInAnyLetterCaseAndRelayEventsAsTheyHappen)
{
    Library lib;
    Server server;
    int relay_port = free_port();
    ChildProcess relay({kCli, "relay", "--port", std::to_string(relay_port)});
    relay.wait_for("Relay listening on port " + std::to_string(relay_port));
    const char *registered = usbip_server_register_relay("127.0.0.1", relay_port, nullptr);
    ASSERT_NE(registered, nullptr) << usbip_last_error();
    std::string code = registered;
    const std::string event = "^\\{\"time\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z\",\"level\":\"info\",\"kind\":\"";
    EXPECT_FALSE(relay.wait_for(event + "relay_server_registered\",\"code\":\"" + code + "\"").empty());

    std::string lower = code;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string mixed = code;
    mixed[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(mixed[0])));
    const std::string grouped = "' " + lower.substr(0, 3) + " " + code.substr(3) + " '";
    int clients = 0;
    for (const auto &typed : {lower, mixed, grouped}) {
        CliRun r = run_cli("remote --relay 127.0.0.1:" + std::to_string(relay_port) + " --code " + typed + " --json");
        EXPECT_EQ(r.status, 0) << typed << ": " << r.err;
        EXPECT_EQ(r.out, "[]\n") << typed;
        ++clients;
        EXPECT_FALSE(relay.wait_for(event + "relay_pairing_asked\",\"code\":\"" + code + "\".*\"clients\":" +
                                    std::to_string(clients))
                         .empty());
        EXPECT_FALSE(relay.wait_for(event + "relay_paired\",\"code\":\"" + code + "\"").empty());
    }
    usbip_server_stop();
    EXPECT_FALSE(relay.wait_for(event + "relay_server_ended\",\"code\":\"" + code + "\"").empty());
    EXPECT_EQ(relay.stop(SIGINT), 0);
}

// A relay with a registration key from a file takes the server that
// presents it from its own file, and refuses one without it with a word on
// what to do.
TEST(Cli, RelayAndServerShareARegistrationKeyFromFiles)
{
    Library lib;
    TempFile key("k3y-of-the-relay\n");
    int relay_port = free_port();
    ChildProcess relay({kCli, "relay", "--port", std::to_string(relay_port), "--registration-key-file", key.path(),
                        "--registrations", "8", "--pairings", "4"});
    ASSERT_FALSE(relay.wait_for("Relay listening on port " + std::to_string(relay_port) +
                                " \\(servers need its registration key\\)")
                     .empty());
    const std::string at = "127.0.0.1:" + std::to_string(relay_port);
    int port = free_port();
    ChildProcess server({kCli, "serve", "-p", std::to_string(port), "--relay", at, "--registration-key-file", key.path()});
    EXPECT_FALSE(server.wait_for("Pairing code: [A-Z2-9]{6}").empty());
    CliRun refused = run_cli("serve -p " + std::to_string(free_port()) + " --relay " + at);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("ERROR Registration refused"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--registration-key-file"), std::string::npos) << refused.err;
    CliRun alone = run_cli("serve --registration-key-file " + key.path());
    EXPECT_EQ(alone.status, 2);
    EXPECT_NE(alone.err.find("--registration-key-file goes with --relay"), std::string::npos) << alone.err;
    CliRun zero = run_cli("relay --registrations 0");
    EXPECT_EQ(zero.status, 2);
    EXPECT_NE(zero.err.find("--registrations '0' is not a count from 1 to 65536"), std::string::npos) << zero.err;
    EXPECT_EQ(server.stop(SIGINT), 0);
    EXPECT_EQ(relay.stop(SIGINT), 0);
}

// The words of a usage form or help text that name options ("--port",
// "-p"), without the brackets and "=..." around them.
std::set<std::string> option_words(const std::string &text)
{
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        w.erase(0, w.find_first_not_of("[("));
        while (!w.empty() && std::string("]),;:'.").find(w.back()) != std::string::npos) w.pop_back();
        if (w.size() > 1 && w[0] == '-' && w != "--" && std::isalpha(static_cast<unsigned char>(w.back())))
            out.insert(w);
    }
    return out;
}

bool in_table(const cli::CommandSpec &command, const std::string &word)
{
    if (word == "--help" || word == "-h") return true;
    for (const cli::Option &o : command.options)
        if (word == o.name || (o.short_name != 0 && word == std::string("-") + o.short_name)) return true;
    return false;
}

// Each command's table makes its help: every option is shown (with its
// short form), the usage names no option that the table lacks, lines fit
// a terminal, and the program's help lists every command.
TEST(CliOptions, HelpComesFromTheTable)
{
    CliRun program = run_cli("--help");
    for (const cli::CommandSpec *command : cli::all_command_specs()) {
        SCOPED_TRACE(command->name);
        CliRun r = run_cli(std::string(command->name) + " --help");
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.out, cli::help_text(*command));
        for (const cli::Option &o : command->options) {
            std::string shown = (o.short_name != 0 ? std::string("  -") + o.short_name + ", " : std::string(6, ' ')) +
                                o.name + (o.value != nullptr ? std::string(" ") + o.value : "");
            EXPECT_NE(r.out.find("\n" + shown), std::string::npos) << shown;
        }
        for (const char *form : command->usage)
            for (const std::string &w : option_words(form)) EXPECT_TRUE(in_table(*command, w)) << w << " in " << form;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
        EXPECT_NE(program.out.find(std::string("\n  ") + command->name + "  "), std::string::npos);
    }
}

// The parser takes what the table says and nothing else: long and short
// forms with the value apart or joined, repeated values, an operand once.
TEST(CliOptions, ParserFollowsTheTable)
{
    const cli::CommandSpec command{"try",
                                "",
                                {"[--port PORT]"},
                                "",
                                {{"--port", 'p', "PORT", "a port"},
                                 {"--flag", 'f', nullptr, "a switch"},
                                 {"--share", 0, "ID", "ids", true}},
                                "HOST"};
    auto parse = [&](std::vector<std::string> words) {
        cli::Args a(std::move(words));
        return cli::parse_options(command, a);
    };
    cli::Parsed p = parse({"-p", "1", "--port=2", "-p3", "host", "-f", "--share", "a", "b", "--share", "c"});
    EXPECT_EQ(p.values("--port"), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(p.value("--port"), "3");
    EXPECT_EQ(p.count("--flag"), 1);
    EXPECT_EQ(p.values("--share"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(p.operand(), "host");
    EXPECT_FALSE(p.help);
    EXPECT_TRUE(parse({"--port", "1", "-h", "--nonsense"}).help);
    EXPECT_FALSE(parse({}).has("--flag"));

    struct Case {
        std::vector<std::string> words;
        const char *message;
    } mistakes[] = {
        {{"--port"}, "--port needs a value"},
        {{"-p", "--flag"}, "-p needs a value"},
        {{"--flag=1"}, "--flag takes no value"},
        {{"-fx"}, "unknown option '-fx'"},
        {{"--nonsense"}, "unknown option '--nonsense'"},
        {{"host", "other"}, "unexpected argument 'other'"},
    };
    for (const auto &c : mistakes) {
        try {
            parse(c.words);
            ADD_FAILURE() << c.message;
        } catch (const cli::UsageError &e) {
            EXPECT_EQ(e.message, c.message);
        }
    }
}

// The manual page is made from the same tables: it names every command and
// every option of each.
TEST(CliOptions, ManualPageNamesEveryCommand)
{
    std::ifstream in(MAN_PAGE);
    ASSERT_TRUE(in) << MAN_PAGE;
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string page = ss.str();
    EXPECT_EQ(page.find(".TH HALVOREN\\-USBIP 1 "), page.find('\n') + 1) << page.substr(0, 200);
    auto roff = [](std::string s) {
        std::string out;
        for (char c : s) out += c == '-' ? std::string("\\-") : std::string(1, c);
        return out;
    };
    for (const cli::CommandSpec *command : cli::all_command_specs()) {
        EXPECT_NE(page.find(std::string(".SS \"") + command->name + "\"\n"), std::string::npos) << command->name;
        EXPECT_NE(page.find(".SY \"halvoren\\-usbip " + roff(command->name) + "\"\n"), std::string::npos) << command->name;
        for (const cli::Option &o : command->options)
            EXPECT_NE(page.find("\\fB" + roff(o.name) + "\\fR"), std::string::npos) << command->name << " " << o.name;
    }
    for (const char *section : {".SH ENVIRONMENT", ".SH EXIT STATUS", ".SH SEE ALSO"})
        EXPECT_NE(page.find(section), std::string::npos) << section;
}

// ---------------------------------------------------------------------------
// USB names

TEST(Cli, RemoteDevicesNamedFromUsbIds)
{
    Listener server;
    const int runs = 3;
    std::thread peer([&] {
        for (int i = 0; i < runs; ++i) {
            Fd fd(server.accept_one());
            if (fd < 0 || !raw_server_handshake(fd, 0)) return;
            raw_recv_n(fd, 8);
            raw_send(fd, reply_header(0x0005, 0) + be32(2) + raw_block("1-1", 2, 3, 1, 0x1234, 0x5678) +
                             std::string{3, 0, 0, 0} + raw_block("1-2", 3, 8, 1, 0xdead, 0xbeef) +
                             std::string{8, 0, 0, 0});
        }
    });
    std::string at = "remote 127.0.0.1:" + std::to_string(server.port());

    CliRun table = run_cli(at);
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("\n1-1        1234:5678  Test \"Quoted\" Vendor     Widget      "), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("\n1-2        dead:beef  Vendor_0xdead            Product_0xbeef      "),
              std::string::npos)
        << table.out;

    CliRun json = run_cli(at + " --json");
    ASSERT_EQ(json.status, 0) << json.err;
    auto list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["vendor"], "Vendor_0x1234");  // the library's own text stays
    EXPECT_EQ(list[0]["product"], "Product_0x5678");
    EXPECT_EQ(list[0]["usb_ids_vendor"], "Test \"Quoted\" Vendor");
    EXPECT_EQ(list[0]["usb_ids_product"], "Widget");
    EXPECT_FALSE(list[1].contains("usb_ids_vendor"));
    EXPECT_EQ(list[1].size(), 7u);

    // Without a database the output is the library's JSON alone.
    CliRun plain = run_cli(at + " --json", "HALVOREN_USBIP_USB_IDS=/nonexistent/usb.ids");
    EXPECT_EQ(nlohmann::json::parse(plain.out)[0].size(), 7u) << plain.out;
    peer.join();
}

TEST(Cli, LocalDevicesWithoutStringsNamedFromUsbIds)
{
    int status = -1;
    std::string out = run_command(kCleanEnv + UMOCKDEV_RUN + " --device " + DEMO_DEVICES + " -- " + kCli +
                                      " list --json",
                                  &status);
    ASSERT_EQ(status, 0);
    auto list = nlohmann::json::parse(out);
    auto keyboard = std::find_if(list.begin(), list.end(), [](const auto &d) { return d["busid"] == "1-2"; });
    ASSERT_NE(keyboard, list.end()) << out;
    EXPECT_EQ((*keyboard)["vendor"], "Vendor_0x046d");
    EXPECT_EQ((*keyboard)["usb_ids_vendor"], "Logitech, Inc.");
    EXPECT_EQ((*keyboard)["usb_ids_product"], "Keyboard K120");

    std::string table = run_command(kCleanEnv + UMOCKDEV_RUN + " --device " + DEMO_DEVICES + " -- " + kCli + " list",
                                    &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(table.find("\n1-2        046d:c31c  Logitech, Inc.           Keyboard K120 "), std::string::npos) << table;
    // A root hub's own names are kept: they are not stand-ins for its ids.
    EXPECT_NE(table.find("\n1-1        1d6b:0002  Linux Foundation         USB Root Hub "), std::string::npos) << table;
}

// --share names devices by bus id, by ids, or by ids and serial: what is
// plugged in is shared at once, the rest as it comes; a name that is none
// of these is refused with the library's message and a hint.
TEST(Cli, ServeSharesByBusIdAndByIds)
{
    const int port = free_port();
    ChildProcess server({UMOCKDEV_RUN, "--device", DEMO_DEVICES, "--", kCli, "serve", "-p", std::to_string(port),
                         "--share", "046d:c077", "1-9", "--share", "1-4"});
    ASSERT_FALSE(server.wait_for("Serving 2 device\\(s\\) on port " + std::to_string(port)).empty());
    EXPECT_FALSE(server.wait_for("^Shared as they are plugged in: 046d:c077, 1-9, 1-4$").empty());
    const char *json = usbip_client_list_remote("127.0.0.1", port, nullptr, 0);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    std::vector<std::string> busids;
    for (const auto &d : nlohmann::json::parse(json)) busids.push_back(d["busid"]);
    EXPECT_EQ(busids, (std::vector<std::string>{"1-3", "1-4"}));
    EXPECT_EQ(server.stop(SIGINT), 0);

    CliRun bad = run_cli("serve -p " + std::to_string(port) + " --share 1-02");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Invalid share rule '1-02'"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("by VID:PID or by VID:PID:SERIAL"), std::string::npos) << bad.err;
}

// SIGHUP (the unit's ExecReload) shares again and keeps serving; SIGINT
// still stops.
TEST(Cli, ServeReloadsOnSighup)
{
    Library lib;
    const int port = free_port();
    ChildProcess server({UMOCKDEV_RUN, "--device", DEMO_DEVICES, "--", kCli, "serve", "-p", std::to_string(port),
                         "--share-all"});
    ASSERT_FALSE(server.wait_for("Serving 6 device\\(s\\) on port " + std::to_string(port)).empty());
    ASSERT_EQ(::kill(static_cast<pid_t>(server.pid()), SIGHUP), 0);
    EXPECT_FALSE(server.wait_for("^Reloaded: 6 device\\(s\\) shared \\(6 before\\)\\.$").empty());
    const char *json = usbip_client_list_remote("127.0.0.1", port, nullptr, 0);
    ASSERT_NE(json, nullptr) << usbip_last_error();
    EXPECT_EQ(nlohmann::json::parse(json).size(), 6u);
    EXPECT_EQ(server.stop(SIGINT), 0);
}

// SIGUSR1 prints the sessions as one line and changes nothing else. (Run
// without umockdev-run, which SIGUSR1 would end.)
TEST(Cli, ServePrintsItsSessionsOnSigusr1)
{
    Library lib;
    const int port = free_port();
    ChildProcess server({kCli, "serve", "-p", std::to_string(port)});
    ASSERT_FALSE(server.wait_for("on port " + std::to_string(port)).empty());
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(::kill(static_cast<pid_t>(server.pid()), SIGUSR1), 0);
        EXPECT_FALSE(server.wait_for("^Sessions: \\[\\]$").empty()) << i;
    }
    EXPECT_NE(usbip_client_list_remote("127.0.0.1", port, nullptr, 0), nullptr) << usbip_last_error();
    EXPECT_EQ(server.stop(SIGINT), 0);
}

// ---------------------------------------------------------------------------
// USB descriptors as text: whatever bytes a device (through a server) sent,
// the dump shows what is there and says where it stops.

TEST(UsbDescriptors, MalformedDescriptorsAreShownAsFarAsTheyGo)
{
    const std::vector<std::uint8_t> device = {18, 1, 0x10, 0x02, 0xef, 2, 1, 64, 0x6d, 0x04, 0x1c, 0xc3,
                                              0x01, 0x00, 1, 0, 0, 1};
    struct Case {
        const char *name;
        std::vector<std::uint8_t> config;
        const char *expected;  // a line the dump must hold
    } cases[] = {
        {"a whole one", {9, 2, 25, 0, 1, 1, 0, 0xe0, 0, 9, 4, 0, 0, 1, 3, 1, 1, 0, 7, 5, 0x81, 3, 8, 0, 10},
         "    Endpoint 0x81 IN interrupt, max packet 8, interval 10\n"},
        {"cut inside an interface", {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0},
         "  (the descriptor at byte 9 says it has 9 bytes: the rest is not read)\n"},
        {"a length of zero", {9, 2, 12, 0, 1, 1, 0, 0x80, 50, 0, 4, 0},
         "  (the descriptor at byte 9 says it has 0 bytes: the rest is not read)\n"},
        {"an unknown descriptor", {9, 2, 14, 0, 1, 1, 0, 0x80, 50, 5, 0x24, 1, 2, 3},
         "    Descriptor type 0x24, 5 bytes\n"},
        {"not a configuration", {4, 3, 9, 4}, "  (not a configuration descriptor)\n"},
        {"empty", {}, "  (not a configuration descriptor)\n"},
    };
    for (const auto &c : cases) {
        cli::UsbDescriptors d;
        d.device = device;
        d.configurations.push_back(c.config);
        d.strings[1] = "Caf\xc3\xa9 \x1b[31m";
        std::string out = cli::describe_descriptors(d);
        EXPECT_NE(out.find(c.expected), std::string::npos) << c.name << "\n" << out;
        EXPECT_NE(out.find("  bDeviceClass         0xef (miscellaneous)\n"), std::string::npos) << out;
        // The device's own text, made safe for a terminal.
        EXPECT_NE(out.find("  iManufacturer        1 Caf\xc3\xa9 \\x1b[31m\n"), std::string::npos) << out;
    }
    cli::UsbDescriptors cut;
    cut.device = {18, 1, 0, 2};
    EXPECT_NE(cli::describe_descriptors(cut).find("  (not a whole device descriptor)\n  bytes                12 01 00 02\n"),
              std::string::npos);
    EXPECT_TRUE(cli::device_string_indexes(cut.device).empty());
    EXPECT_EQ(cli::device_string_indexes(device), std::vector<unsigned>{1});
}

TEST(UsbDescriptors, StringDescriptorsAreUtf16)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char *text;
    } cases[] = {
        {{8, 3, 'a', 0, 0xe9, 0, 0xac, 0x20}, "a\xc3\xa9\xe2\x82\xac"},
        {{6, 3, 0x3d, 0xd8, 'x', 0}, "\xef\xbf\xbdx"},  // half of a pair
        {{200, 3, 'a', 0}, "a"},                          // a length beyond the bytes
        {{3, 3, 'a', 0}, ""},                             // an odd length
        {{4, 2, 'a', 0}, ""},                             // not a string
    };
    for (const auto &c : cases) EXPECT_EQ(cli::string_descriptor_text(c.bytes), c.text);
}

// vhci-hcd's status files, as the kernel writes them, and the free port of
// a device's speed.
TEST(VhciStatus, PortsAndTheFreeOneForASpeed)
{
    const std::string text =
        "hub port sta spd dev      sockfd local_busid\n"
        "hs  0000 006 003 00010002 000003 1-1\n"
        "hs  0001 004 000 00000000 000000 0-0\n"
        "ss  0002 004 000 00000000 000000 0-0\n";
    std::vector<cli::VhciPort> ports;
    ASSERT_TRUE(cli::parse_vhci_status(text, &ports));
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].devid, 0x00010002u);
    EXPECT_EQ(ports[0].speed, 3u);
    EXPECT_EQ(ports[0].sockfd, 3u);
    EXPECT_EQ(ports[0].local_busid, "1-1");
    EXPECT_TRUE(ports[2].super_speed);
    struct Case {
        std::uint32_t speed;
        int port;
    } cases[] = {{1, 1}, {2, 1}, {3, 1}, {5, 2}, {6, 2}};
    for (const auto &c : cases) EXPECT_EQ(cli::vhci_free_port(ports, c.speed), c.port) << c.speed;
    ports.pop_back();
    EXPECT_EQ(cli::vhci_free_port(ports, 5), -1);

    for (const char *bad : {"prt sta spd bus dev socket local_busid\n000 004 000 000 0000000000000000 0-0\n",
                            "hub port sta spd dev      sockfd local_busid\nxs  0000 004 000 00000000 000000 0-0\n",
                            "hub port sta spd dev      sockfd local_busid\nhs  00x0 004 000 00000000 000000 0-0\n",
                            "hub port sta spd dev      sockfd local_busid\nhs  0000 004\n", ""}) {
        std::vector<cli::VhciPort> none;
        EXPECT_FALSE(cli::parse_vhci_status(bad, &none)) << bad;
    }
}
