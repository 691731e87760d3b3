// Events as a host reads them with usbip_next_event: the queue on its own
// (time stamps, drops and their report, a reader woken by cleanup), a
// table of scenarios and the events each must produce in order, and a
// burst of a thousand connections whose events are all there or counted.
// Runs under umockdev-wrapper: imports and forwarding use an emulated
// device (support/urb_device.h).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "halvoren_usbip.h"
#include "library_fixtures.h"
#include "test_support.h"
#include "testbed.h"
#include "urb_client.h"
#include "urb_device.h"
#include "usbip_auth.h"
#include "usbip_events.h"
#include "usbip_protocol.h"
#include "usbip_relay.h"
#include "usbip_server.h"

using nlohmann::json;

namespace {

// Every event that comes within `ms` of the last one (0: those queued now).
std::vector<json> drain(int ms = 0)
{
    std::vector<json> all;
    while (const char *e = usbip_next_event(ms)) all.push_back(json::parse(e));
    return all;
}

// What an event must hold: its kind and some of its members.
struct Want {
    std::string kind;
    json members = json::object();
};

bool matches(const json &event, const Want &want)
{
    if (event.value("kind", "") != want.kind) return false;
    for (const auto &[key, value] : want.members.items())
        if (!event.contains(key) || event[key] != value) return false;
    return true;
}

// The events read so far, and more as they come.
class EventLog {
public:
    // Reads until the wanted events have all come in order (true), or `ms`
    // has passed without that.
    bool wait_for_sequence(const std::vector<Want> &wanted, int ms = 10000)
    {
        const std::int64_t until = plat::monotonic_ms() + ms;
        for (;;) {
            if (in_order(wanted)) return true;
            const std::int64_t left = until - plat::monotonic_ms();
            if (left <= 0) return false;
            if (const char *e = usbip_next_event(static_cast<int>(std::min<std::int64_t>(left, 200))))
                events_.push_back(json::parse(e));
        }
    }
    std::string dump() const
    {
        std::string text;
        for (const json &e : events_) text += e.dump() + "\n";
        return text;
    }
    const std::vector<json> &events() const { return events_; }
    void clear() { events_.clear(); }

private:
    bool in_order(const std::vector<Want> &wanted) const
    {
        std::size_t next = 0;
        for (const json &e : events_)
            if (next < wanted.size() && matches(e, wanted[next])) ++next;
        return next == wanted.size();
    }
    std::vector<json> events_;
};

// A wrong password from `from`, answered or refused at once: the raw bytes
// of what the server sent first (36 for a greeting, 8 for a refusal).
std::string guess_wrong(const char *from, int port)
{
    Fd fd(raw_connect_from(from, port, 2000));
    if (fd < 0) return "";
    std::string first = raw_recv_n(fd, 4);
    if (first.size() != 4 || first == std::string(4, '\xff')) return first + raw_recv_all(fd, 64);
    std::string challenge = raw_recv_n(fd, USBIP_CHALLENGE_SIZE);
    std::uint8_t proof[USBIP_DIGEST_SIZE];
    usbip_auth_proof(reinterpret_cast<const std::uint8_t *>(challenge.data()), "wrong", proof);
    raw_send(fd, proof, sizeof proof);
    raw_recv_n(fd, 4);
    return first + challenge;
}

class Events : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(Testbed::preloaded()) << "run under umockdev-wrapper";
        dev_ = std::make_unique<UrbDevice>(bed_, 4);
        ASSERT_EQ(usbip_init(), 0);
        usbip_events_clear();
    }
    void TearDown() override
    {
        usbip_server_set_forwarding(0);
        usbip_relay_set_pairing_limit(30, 1000);
        usbip_cleanup();
        usbip_events_set_capacity(0);
        usbip_events_clear();
    }

    int start_server(const char *password = "pw")
    {
        int port = free_port();
        EXPECT_EQ(usbip_server_start(port, password, 0), 0) << usbip_last_error();
        return port;
    }

    // A connection past the handshake, that imports `busid`; null when the
    // server refused it.
    std::unique_ptr<usbip_conn> import(int port, const char *busid, usbip_imported *reply)
    {
        auto conn = std::make_unique<usbip_conn>();
        if (!connect_by(*conn, ServerRoute::to(port, false), "pw")) return nullptr;
        if (usbip_request_import(conn.get(), busid, reply) != 0) return nullptr;
        conn->deadline_ms = 0;
        return conn;
    }

    Testbed bed_;
    std::unique_ptr<UrbDevice> dev_;
    EventLog log_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The queue

TEST(EventQueue, TimesAreUtcWithMilliseconds)
{
    EXPECT_EQ(usbip_utc_text(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(usbip_utc_text(951782400123), "2000-02-29T00:00:00.123Z");  // a leap day of a century
    EXPECT_EQ(usbip_utc_text(1709251199999), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(usbip_utc_text(1735689600000), "2025-01-01T00:00:00.000Z");
    EXPECT_EQ(usbip_utc_text(-1), "1969-12-31T23:59:59.999Z");
}

// An event is one JSON object with a time, a level and a kind first; text
// from peers is escaped.
TEST(EventQueue, OneObjectPerEventWithEscapedText)
{
    ASSERT_EQ(usbip_init(), 0);
    usbip_events_clear();
    const std::int64_t before = plat::wall_ms();
    usbip_event(usbip_level::warning, "import").text("busid", "1-\"4\"\n").number("n", -3).flag("tls", true).post();
    const char *text = usbip_next_event(0);
    ASSERT_NE(text, nullptr);
    json e = json::parse(text);
    EXPECT_EQ(std::string(text).rfind("{\"time\":\"", 0), 0u) << text;
    EXPECT_NE(std::string(text).find("\",\"level\":\"warning\",\"kind\":\"import\",\"busid\":\"1-\\\"4\\\"\\u000a\",\"n\":-3,"
                                     "\"tls\":true}"),
              std::string::npos)
        << text;
    EXPECT_GE(e["time"].get<std::string>(), usbip_utc_text(before));
    EXPECT_LE(e["time"].get<std::string>(), usbip_utc_text(plat::wall_ms()));
    EXPECT_EQ(usbip_next_event(0), nullptr);
    usbip_cleanup();
}

// A full queue drops what it cannot hold and says so where the events are
// missing: before the next event that finds room, or last.
TEST(EventQueue, DropsAreCountedWhereTheyHappen)
{
    ASSERT_EQ(usbip_init(), 0);
    usbip_events_clear();
    usbip_events_set_capacity(3);
    for (int i = 0; i < 5; ++i) usbip_event(usbip_level::info, "test").number("i", i).post();
    EXPECT_EQ(json::parse(usbip_next_event(0))["i"], 0);  // room for one again
    usbip_event(usbip_level::info, "test").number("i", 5).post();
    usbip_event(usbip_level::info, "test").number("i", 6).post();  // no room: dropped
    std::vector<json> rest = drain();
    ASSERT_EQ(rest.size(), 5u);
    EXPECT_EQ(rest[0]["i"], 1);
    EXPECT_EQ(rest[1]["i"], 2);
    EXPECT_EQ(rest[2]["kind"], "events_dropped");
    EXPECT_EQ(rest[2]["level"], "warning");
    EXPECT_EQ(rest[2]["count"], 2);  // 3 and 4
    EXPECT_EQ(rest[3]["i"], 5);
    EXPECT_EQ(rest[4]["kind"], "events_dropped");
    EXPECT_EQ(rest[4]["count"], 1);  // 6
    EXPECT_EQ(usbip_next_event(0), nullptr);
    usbip_events_set_capacity(0);
    usbip_cleanup();
}

// usbip_cleanup wakes a host thread that waits for an event, and without a
// started library nobody waits: queued events are still handed out.
TEST(EventQueue, CleanupWakesAWaitingReader)
{
    ASSERT_EQ(usbip_init(), 0);
    usbip_events_clear();
    std::atomic<bool> returned{false};
    const char *got = reinterpret_cast<const char *>(1);
    std::thread reader([&] {
        got = usbip_next_event(-1);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned);
    usbip_cleanup();
    EXPECT_TRUE(wait_until([&] { return returned.load(); }, 2000));
    reader.join();
    EXPECT_EQ(got, nullptr);

    usbip_event(usbip_level::info, "late").post();
    const std::int64_t start = plat::monotonic_ms();
    ASSERT_NE(usbip_next_event(-1), nullptr);
    EXPECT_EQ(usbip_next_event(-1), nullptr);
    EXPECT_LT(plat::monotonic_ms() - start, 1000);
}

// ---------------------------------------------------------------------------
// Scenarios and their events, in order

TEST_F(Events, EachKindInItsScenario)
{
    struct Scenario {
        const char *what;
        std::function<std::vector<Want>(Events &)> run;  // acts, returns the events it must produce
    };
    const std::vector<Scenario> scenarios = {
        {"a server starts and stops",
         [](Events &t) -> std::vector<Want> {
             int port = t.start_server("pw");
             usbip_server_stop();
             return {{"server_started", {{"port", port}, {"tls", false}, {"password", true}}}, {"server_stopped"}};
         }},
        {"a client lists with the right password",
         [](Events &t) -> std::vector<Want> {
             EXPECT_EQ(usbip_server_share("1-4"), 0) << usbip_last_error();
             int port = t.start_server("pw");
             EXPECT_NE(usbip_client_list_remote("127.0.0.1", port, "pw", 0), nullptr) << usbip_last_error();
             usbip_server_stop();
             const json peer = {{"peer", "127.0.0.1"}};
             return {{"connection", peer}, {"handshake_accepted", peer},
                     {"devlist_served", {{"peer", "127.0.0.1"}, {"devices", 1}}}, {"server_stopped"}};
         }},
        {"wrong passwords back an address off, and its next connection is refused",
         [](Events &t) -> std::vector<Want> {
             int port = t.start_server("pw");
             for (int i = 0; i < 5; ++i) EXPECT_EQ(guess_wrong("127.0.0.3", port).size(), 36u) << i;
             std::string refusal = guess_wrong("127.0.0.3", port);
             EXPECT_EQ(hex_of(refusal), "ffffffff00000001");
             usbip_server_stop();
             const json peer = {{"peer", "127.0.0.3"}};
             return {{"handshake_rejected", {{"peer", "127.0.0.3"}, {"reason", "wrong password"}}},
                     {"handshake_rejected", peer}, {"handshake_rejected", peer}, {"handshake_rejected", peer},
                     {"handshake_rejected", peer},
                     {"address_backed_off", {{"peer", "127.0.0.3"}, {"source", "127.0.0.3"}, {"seconds", 1}}},
                     {"connection", peer}, {"server_stopped"}};
         }},
        {"imports without forwarding: granted and not shared",
         [](Events &t) -> std::vector<Want> {
             EXPECT_EQ(usbip_server_share("1-4"), 0) << usbip_last_error();
             int port = t.start_server("pw");
             usbip_imported reply;
             EXPECT_NE(t.import(port, "1-4", &reply), nullptr) << usbip_last_error();
             EXPECT_EQ(t.import(port, "9-9", &reply), nullptr);
             usbip_server_stop();
             return {{"import", {{"peer", "127.0.0.1"}, {"busid", "1-4"}, {"result", "accepted"}, {"level", "info"}}},
                     {"import", {{"busid", "9-9"}, {"result", "not shared"}, {"level", "warning"}}}};
         }},
        {"a forwarding session, a busy import meanwhile, and its end",
         [](Events &t) -> std::vector<Want> {
             EXPECT_EQ(usbip_server_share("1-4"), 0) << usbip_last_error();
             usbip_server_set_forwarding(1);
             int port = t.start_server("pw");
             usbip_imported reply;
             std::unique_ptr<usbip_conn> first = t.import(port, "1-4", &reply);
             EXPECT_NE(first, nullptr) << usbip_last_error();
             if (!first) return {{"never"}};
             EXPECT_EQ(t.import(port, "1-4", &reply), nullptr);
             UrbClient c(*first);
             EXPECT_EQ(c.control(setup(0x80, 6, 0x0100, 0, 18)).ret_submit.status, 0);
             // The session list shows it while it runs.
             json sessions = json::parse(usbip_server_sessions());
             EXPECT_EQ(sessions.size(), 1u) << sessions;
             if (sessions.size() == 1) {
                 EXPECT_EQ(sessions[0]["peer"], "127.0.0.1");
                 EXPECT_EQ(sessions[0]["busid"], "1-4");
                 EXPECT_EQ(sessions[0]["urbs"], 1);
                 EXPECT_GT(sessions[0]["bytes_in"].get<int>(), 48);
                 EXPECT_GT(sessions[0]["bytes_out"].get<int>(), 48);
                 EXPECT_EQ(sessions[0]["since"].get<std::string>().size(), 24u);
             }
             usbip_conn_close(first.get());
             expect_released(*t.dev_);
             EXPECT_STREQ(usbip_server_sessions(), "[]");
             usbip_server_stop();
             return {{"import", {{"busid", "1-4"}, {"result", "accepted"}}},
                     {"forwarding_started", {{"peer", "127.0.0.1"}, {"busid", "1-4"}}},
                     {"import", {{"busid", "1-4"}, {"result", "busy"}}},
                     {"forwarding_ended", {{"busid", "1-4"}, {"urbs", 1}, {"reason", "peer closed"}}}};
         }},
        {"a server registers with the relay and a client lists it by code",
         [](Events &t) -> std::vector<Want> {
             LibraryRelay relay;
             int port = t.start_server("pw");
             const char *registered = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
             EXPECT_NE(registered, nullptr) << usbip_last_error();
             const std::string code = registered ? registered : "";
             EXPECT_NE(usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), "pw"), nullptr)
                 << usbip_last_error();
             // The bridge ends once both sides have closed; registrations
             // hold no thread, so none is left.
             EXPECT_TRUE(wait_until([] { return usbip_relay_busy_threads() == 0; }, 5000));
             EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay.port(), "AAAAAA", "pw"), nullptr);
             usbip_server_stop();
             (void)port;
             const std::string via = "relay 127.0.0.1:" + std::to_string(relay.port());
             const json by_code = {{"code", code}};
             return {{"relay_started", {{"port", relay.port()}}},
                     {"relay_server_registered", {{"code", code}, {"peer", "127.0.0.1"}}},
                     {"relay_pairing_asked", {{"code", code}, {"peer", "127.0.0.1"}, {"clients", 1}}},
                     {"relay_paired", by_code},
                     {"handshake_accepted", {{"peer", via}}},
                     {"devlist_served", {{"peer", via}, {"devices", 0}}},
                     {"relay_bridge_ended", {{"code", code}, {"reason", "closed"}}},
                     {"relay_refused", {{"request", "connect"}, {"code", "AAAAAA"}, {"reason", "code not found"}}},
                     {"relay_server_ended", by_code}};
         }},
        {"the server's side of a registration",
         [](Events &t) -> std::vector<Want> {
             LibraryRelay relay;
             t.start_server("pw");
             const char *registered = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
             const std::string code = registered ? registered : "";
             usbip_server_stop();
             usbip_relay_stop();
             return {{"relay_registered", {{"relay", "127.0.0.1:" + std::to_string(relay.port())}, {"code", code}}},
                     {"relay_stopped"}};
         }},
        {"the relay's pairing limit refuses a client",
         [](Events &t) -> std::vector<Want> {
             usbip_relay_set_pairing_limit(1, 60000);
             LibraryRelay relay;
             t.start_server("pw");
             const char *registered = usbip_server_register_relay("127.0.0.1", relay.port(), nullptr);
             const std::string code = registered ? registered : "";
             EXPECT_NE(usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), "pw"), nullptr);
             EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), "pw"), nullptr);
             usbip_server_stop();
             return {{"relay_paired", {{"code", code}}},
                     {"relay_refused", {{"request", "connect"}, {"code", code}, {"reason", "too many requests"},
                                        {"level", "warning"}}}};
         }},
        {"a server that never attaches",
         [](Events &) -> std::vector<Want> {
             // Shorter than the client's 8 s wait for an answer, so that
             // the relay's refusal (and its event) is what comes first.
             usbip_relay_set_attach_wait_ms(1500);
             LibraryRelay relay;
             Fd control(raw_connect(relay.port()));
             raw_send(control, std::string("REGISTER \n"));
             std::string code = raw_recv_line(control).substr(5, 6);
             EXPECT_EQ(usbip_client_list_by_code("127.0.0.1", relay.port(), code.c_str(), nullptr), nullptr);
             EXPECT_STREQ(usbip_last_error(), "Relay returned: ERROR Server failed to attach");
             usbip_relay_set_attach_wait_ms(0);
             return {{"relay_pairing_asked", {{"code", code}}},
                     {"relay_attach_timed_out", {{"code", code}, {"peer", "127.0.0.1"}}}};
         }},
    };
    for (const Scenario &s : scenarios) {
        SCOPED_TRACE(s.what);
        usbip_events_clear();
        log_.clear();
        std::vector<Want> wanted = s.run(*this);
        EXPECT_TRUE(log_.wait_for_sequence(wanted)) << log_.dump();
        usbip_server_stop();
        usbip_relay_stop();
        for (const char *busid : {"1-4"}) usbip_server_unshare(busid);
        usbip_server_set_forwarding(0);
        usbip_relay_set_pairing_limit(30, 1000);
    }
}

// A thousand connections in a burst: with a host reading meanwhile, every
// connection's events are there; with a small queue and nobody reading,
// what is missing is counted to the event.
TEST_F(Events, NoneLostUnderABurstOfAThousandConnections)
{
    int port = start_server(nullptr);
    auto burst = [port](int connections) {
        std::vector<std::thread> clients;
        std::atomic<int> failed{0};
        for (int t = 0; t < 4; ++t)
            clients.emplace_back([&] {
                for (int i = 0; i < connections / 4; ++i)
                    if (usbip_client_list_remote("127.0.0.1", port, nullptr, 0) == nullptr) ++failed;
            });
        for (auto &c : clients) c.join();
        EXPECT_EQ(failed, 0);
    };
    usbip_events_clear();

    std::map<std::string, long> seen;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (;;) {
            const char *e = usbip_next_event(100);
            if (e != nullptr) {
                json j = json::parse(e);
                seen[j["kind"]] += j["kind"] == "events_dropped" ? j["count"].get<long>() : 1;
            } else if (done) {
                return;
            }
        }
    });
    burst(1000);
    // The last events are posted as the last replies go out.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
    reader.join();
    EXPECT_EQ(seen["connection"], 1000);
    EXPECT_EQ(seen["handshake_accepted"], 1000);
    EXPECT_EQ(seen["devlist_served"], 1000);
    EXPECT_EQ(seen["events_dropped"], 0);

    usbip_events_set_capacity(50);
    burst(200);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long events = 0, dropped = 0, reports = 0;
    for (const json &e : drain()) {
        if (e["kind"] == "events_dropped") {
            dropped += e["count"].get<long>();
            ++reports;
        } else {
            ++events;
        }
    }
    EXPECT_EQ(events, 50);
    EXPECT_GE(reports, 1);
    EXPECT_EQ(events + dropped, 3 * 200);
}
