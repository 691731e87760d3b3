// The bookkeeping behind the per-host limits, on a clock the test drives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usbip_limits.h"

namespace {

plat::PeerAddress addr(const char *text)
{
    plat::PeerAddress a;
    EXPECT_TRUE(plat::PeerAddress::parse(text, &a)) << text;
    return a;
}

}  // namespace

TEST(PeerAddress, TextFormsAndMappedIpv4)
{
    struct Case {
        const char *text;
        int size;
        const char *shown;
    } cases[] = {
        {"127.0.0.2", 4, "127.0.0.2"},
        {"::1", 16, "::1"},
        {"::ffff:127.0.0.2", 4, "127.0.0.2"},  // an IPv4 peer of a dual-stack socket
        {"fe80::1:2", 16, "fe80::1:2"},
    };
    for (const auto &c : cases) {
        plat::PeerAddress a = addr(c.text);
        EXPECT_EQ(a.size, c.size) << c.text;
        EXPECT_EQ(a.text(), c.shown) << c.text;
    }
    EXPECT_EQ(addr("::ffff:10.1.2.3"), addr("10.1.2.3"));
    EXPECT_NE(addr("10.1.2.3"), addr("10.1.2.4"));
    plat::PeerAddress none;
    EXPECT_FALSE(plat::PeerAddress::parse("localhost", &none));
    EXPECT_EQ(none.text(), "");
}

// Each step happens at `at` ms; `refused_for` is what the address shows
// right after it.
struct Step {
    std::int64_t at;
    enum { fail, succeed, look } what;
    std::int64_t refused_for;
};

void run_steps(const char *name, const std::vector<Step> &steps)
{
    usbip_failure_backoff backoff;
    plat::PeerAddress a = addr("127.0.0.2");
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step &s = steps[i];
        if (s.what == Step::fail) backoff.failed(a, s.at);
        if (s.what == Step::succeed) backoff.succeeded(a);
        EXPECT_EQ(backoff.refused_for(a, s.at), s.refused_for) << name << ", step " << i;
    }
}

TEST(FailureBackoff, FiveFreeThenDoublingUpToAMinute)
{
    run_steps("five in a minute", {{0, Step::fail, 0},
                                   {10, Step::fail, 0},
                                   {20, Step::fail, 0},
                                   {30, Step::fail, 0},
                                   {40, Step::fail, 1000},
                                   {1039, Step::look, 1},
                                   {1040, Step::look, 0},
                                   {1040, Step::fail, 2000},
                                   {3040, Step::fail, 4000},
                                   {7040, Step::fail, 8000},
                                   {15040, Step::fail, 16000},
                                   {31040, Step::fail, 32000},
                                   {63040, Step::fail, 60000},
                                   {123040, Step::fail, 60000}});
    run_steps("spread over more than a minute", {{0, Step::fail, 0},
                                                 {16000, Step::fail, 0},
                                                 {32000, Step::fail, 0},
                                                 {48000, Step::fail, 0},
                                                 {64000, Step::fail, 0},
                                                 {70000, Step::fail, 0}});
    run_steps("spread within a minute", {{0, Step::fail, 0},
                                         {13000, Step::fail, 0},
                                         {26000, Step::fail, 0},
                                         {39000, Step::fail, 0},
                                         {52000, Step::fail, 1000}});
}

TEST(FailureBackoff, SuccessOrAQuietWindowStartsAfresh)
{
    std::vector<Step> five = {{0, Step::fail, 0}, {1, Step::fail, 0}, {2, Step::fail, 0}, {3, Step::fail, 0},
                              {4, Step::fail, 1000}};
    std::vector<Step> steps = five;
    steps.push_back({1004, Step::fail, 2000});
    steps.push_back({3004, Step::succeed, 0});
    for (int i = 0; i < 4; ++i) steps.push_back({3005 + i, Step::fail, 0});  // five free ones again
    steps.push_back({3009, Step::fail, 1000});                                // and the first period again
    run_steps("success", steps);

    steps = five;
    steps.push_back({1004, Step::fail, 2000});
    // Quiet for a minute after the refusal ended.
    for (int i = 0; i < 4; ++i) steps.push_back({63004 + i, Step::fail, 0});
    steps.push_back({63008, Step::fail, 1000});
    run_steps("quiet window", steps);
}

TEST(FailureBackoff, AddressesAreCountedApartAndTheTableIsBounded)
{
    usbip_failure_backoff::Policy policy;
    policy.capacity = 4;
    usbip_failure_backoff backoff(policy);
    plat::PeerAddress guesser = addr("127.0.0.2"), other = addr("127.0.0.3");
    for (int i = 0; i < 5; ++i) backoff.failed(guesser, i);
    EXPECT_TRUE(backoff.refused(guesser, 10));
    EXPECT_FALSE(backoff.refused(other, 10));
    // More addresses than the table holds: it stays bounded, and the newest
    // guesser is remembered.
    for (int n = 0; n < 10; ++n) {
        plat::PeerAddress a = addr(("10.0.0." + std::to_string(n)).c_str());
        for (int i = 0; i < 5; ++i) backoff.failed(a, 100 + n);
        EXPECT_TRUE(backoff.refused(a, 100 + n)) << n;
    }
    backoff.clear();
    EXPECT_FALSE(backoff.refused(addr("10.0.0.9"), 110));
}

TEST(RateLimit, BurstThenOneEachPeriodPerKey)
{
    usbip_rate_limit limit(30, 1000);
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(limit.take("a", 0)) << i;
    EXPECT_FALSE(limit.take("a", 0));
    EXPECT_TRUE(limit.take("b", 0));  // another key has its own bucket
    EXPECT_FALSE(limit.take("a", 999));
    EXPECT_TRUE(limit.take("a", 1000));
    EXPECT_FALSE(limit.take("a", 1500));
    EXPECT_TRUE(limit.take("a", 2000));
    // Refills stop at the burst.
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(limit.take("a", 100000)) << i;
    EXPECT_FALSE(limit.take("a", 100000));
}

TEST(RateLimit, AHostThatAsksEverySecondIsNeverRefused)
{
    usbip_rate_limit limit(30, 1000);
    // An hour of requests about a second apart, early and late by up to
    // 400 ms.
    std::int64_t t = 0;
    for (int i = 0; i < 3600; ++i) {
        t += 1000 + ((i * 7919) % 801 - 400);
        ASSERT_TRUE(limit.take("host code", t)) << "request " << i << " at " << t;
    }
}
