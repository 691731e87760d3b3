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

usbip_source source(const char *text) { return usbip_source_of(addr(text)); }
usbip_source source(const std::string &text) { return source(text.c_str()); }

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
    usbip_source a = source("127.0.0.2");
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

TEST(FailureBackoff, SourcesAreCountedApart)
{
    usbip_failure_backoff backoff;
    usbip_source guesser = source("127.0.0.2"), other = source("127.0.0.3");
    for (int i = 0; i < 5; ++i) backoff.failed(guesser, i);
    EXPECT_TRUE(backoff.refused(guesser, 10));
    EXPECT_FALSE(backoff.refused(other, 10));
    backoff.clear();
    EXPECT_FALSE(backoff.refused(guesser, 10));
}

// A full table makes room only with sources that have been quiet for a
// window: it never forgets a source with recent failures for a new one,
// and while it cannot make room, every source it does not hold is refused,
// until the first source in it has been quiet for a window.
TEST(FailureBackoff, AFullTablePenalisesAndNeverForgives)
{
    usbip_failure_backoff::Policy policy;
    policy.capacity = 3;
    usbip_failure_backoff backoff(policy);
    backoff.failed(source("10.0.0.3"), 0);                                  // quiet from 0
    for (int i = 0; i < 5; ++i) backoff.failed(source("10.0.0.1"), 40000);  // refused until 41000
    backoff.failed(source("10.0.0.2"), 40500);                              // one failure
    EXPECT_TRUE(backoff.refused(source("10.0.0.1"), 40900));
    backoff.failed(source("10.0.0.4"), 60600);  // takes the place of the one quiet for a minute
    EXPECT_EQ(backoff.size(), 3u);
    EXPECT_FALSE(backoff.refused(source("10.0.0.4"), 60600));

    // No place can be freed: the newcomer's failure is not kept, and every
    // source outside the table is refused until 10.0.0.2 has been quiet for
    // a minute (at 100500); those inside keep their own standing.
    backoff.failed(source("10.0.0.5"), 60700);
    EXPECT_EQ(backoff.size(), 3u);
    EXPECT_EQ(backoff.refused_for(source("10.0.0.5"), 60700), 39800);
    EXPECT_EQ(backoff.refused_for(source("10.0.0.6"), 100000), 500);
    EXPECT_FALSE(backoff.refused(source("10.0.0.2"), 60700));
    EXPECT_FALSE(backoff.refused(source("10.0.0.6"), 100500));
    backoff.failed(source("10.0.0.6"), 100500);  // 10.0.0.2's place
    EXPECT_EQ(backoff.size(), 3u);
    EXPECT_FALSE(backoff.refused(source("10.0.0.6"), 100500));
}

// More guessers than the table holds, round robin, each guessing as soon as
// it is not refused: the table refuses them no later than one guesser is
// refused, instead of greeting each failure as a first one.
TEST(FailureBackoff, MoreGuessersThanPlacesAreRefusedAsOne)
{
    usbip_failure_backoff::Policy policy;
    policy.capacity = 64;
    usbip_failure_backoff backoff(policy);
    int answered = 0;
    for (std::int64_t t = 0; t < 600000; t += 10) {  // ten minutes, 100 guesses a second
        usbip_source s = source("10.1.0." + std::to_string(t / 10 % 100));
        if (backoff.refused(s, t)) continue;
        backoff.failed(s, t);
        ++answered;
    }
    // 64 sources get 5 free failures each, then refusals up to a minute
    // (about 10 more in ten minutes); the others are refused while the
    // table is full. A table that forgot would answer all 60,000.
    EXPECT_LT(answered, 100 * 16);
}

TEST(Sources, IPv6CountsByItsNetworkAndRelayedSourcesApart)
{
    EXPECT_EQ(source("2001:db8:1:2::1"), source("2001:db8:1:2:ffff:1:2:3"));
    EXPECT_NE(source("2001:db8:1:2::1"), source("2001:db8:1:3::1"));
    EXPECT_EQ(source("2001:db8:1:2::1").text(), "2001:db8:1:2::/64");
    EXPECT_EQ(usbip_source_of(addr("2001:db8:1:2::1"), 48), usbip_source_of(addr("2001:db8:1:ff::1"), 48));
    EXPECT_NE(usbip_source_of(addr("2001:db8:1:2::1"), 128), usbip_source_of(addr("2001:db8:1:2::2"), 128));
    EXPECT_EQ(usbip_source_of(addr("2001:db8::7"), 128).text(), "2001:db8::7");
    // IPv4 by the whole address, whatever the IPv6 prefix.
    EXPECT_NE(usbip_source_of(addr("10.0.0.1"), 8), usbip_source_of(addr("10.0.0.2"), 8));
    EXPECT_EQ(source("::ffff:10.0.0.1"), source("10.0.0.1"));
    // Through a relay: apart from the same address directly.
    usbip_source relayed = usbip_source_of(addr("10.0.0.1"), 64, 3);
    EXPECT_NE(relayed, source("10.0.0.1"));
    EXPECT_EQ(relayed.text(), "10.0.0.1 via relay 3");
    EXPECT_EQ(usbip_source_of(plat::PeerAddress{}, 64, 3).text(), "unknown via relay 3");
}

TEST(FailureBudget, RoomForABurstThenOneEachPeriod)
{
    usbip_failure_budget budget({3, 1000});
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.take(0)) << i;
    EXPECT_FALSE(budget.take(0));
    EXPECT_FALSE(budget.take(999));
    EXPECT_TRUE(budget.take(1000));  // recovered by one
    EXPECT_FALSE(budget.take(1500));
    EXPECT_EQ(budget.room(3500), 2);  // the half period counted on
    EXPECT_EQ(budget.room(100000), 3);  // never beyond the burst
    // Room taken and given back costs nothing.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(budget.take(100000));
        budget.give_back();
    }
    EXPECT_EQ(budget.room(100000), 3);
}

// Holds give their room back unless spent; attempts in flight cannot take
// more room than there is.
TEST(FailureBudget, HoldsGiveBackUnlessSpent)
{
    usbip_failure_budget budget({2, 1000});
    {
        usbip_budget_hold a(budget, 0), b(budget, 0), c(budget, 0);
        EXPECT_TRUE(a.held());
        EXPECT_TRUE(b.held());
        EXPECT_FALSE(c.held());
        a.spend();
        usbip_budget_hold moved(std::move(b));
        EXPECT_FALSE(b.held());
        EXPECT_EQ(budget.room(0), 0);
    }
    EXPECT_EQ(budget.room(0), 1);  // b's room came back once, a's was spent
}

// The budget of a whole service: untrusted sources are served while it
// has room and refused while it has none, sources that succeeded recently
// are served throughout, and a source that fails is trusted no more.
TEST(GuessLimits, ABudgetForAllAndServiceForTheProven)
{
    usbip_guess_limits limits(usbip_failure_backoff::Policy{}, {10, 1000});
    usbip_source user = source("192.0.2.1");
    usbip_budget_hold hold;
    ASSERT_TRUE(limits.begin(false, 0, &hold));
    limits.succeeded(user, 0);
    hold = usbip_budget_hold();

    // 100 guessers, one guess each, at one moment.
    int answered = 0;
    for (int i = 0; i < 100; ++i) {
        usbip_source s = source("10.2.0." + std::to_string(i));
        if (limits.refused_for(s, limits.trusted(s, 1), 1) > 0) continue;
        if (!limits.begin(false, 1, &hold)) continue;
        limits.failed(s, 1, hold);
        ++answered;
    }
    EXPECT_EQ(answered, 10);
    EXPECT_EQ(limits.refused_for(source("10.3.0.1"), false, 1), 1000) << "a newcomer waits for the budget";
    ASSERT_TRUE(limits.trusted(user, 1));
    EXPECT_EQ(limits.refused_for(user, true, 1), 0);
    EXPECT_TRUE(limits.begin(true, 1, &hold));
    EXPECT_FALSE(hold.held()) << "a trusted source takes no room";

    // Recovery: one more untrusted guess a second.
    EXPECT_EQ(limits.refused_for(source("10.3.0.1"), false, 999), 2);
    EXPECT_EQ(limits.refused_for(source("10.3.0.1"), false, 1001), 0);

    // The trusted user fails once: trusted no more, and counted.
    limits.failed(user, 2000, hold);
    EXPECT_FALSE(limits.trusted(user, 2000));
    // Trust lasts an hour after the last success.
    usbip_source other = source("192.0.2.2");
    limits.succeeded(other, 0);
    EXPECT_TRUE(limits.trusted(other, 3599999));
    EXPECT_FALSE(limits.trusted(other, 3600000));
}

TEST(RecentSuccesses, TheOldestSuccessMakesRoom)
{
    usbip_recent_successes<std::string> recent({1000, 2});
    recent.add("a", 0);
    recent.add("b", 10);
    recent.add("a", 20);  // a's success is now the newer
    recent.add("c", 30);  // b goes
    EXPECT_TRUE(recent.contains("a", 40));
    EXPECT_FALSE(recent.contains("b", 40));
    EXPECT_TRUE(recent.contains("c", 40));
    EXPECT_FALSE(recent.contains("c", 1030));
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

// A full table makes room with buckets that have filled up again; a key
// that finds every bucket in use is refused rather than given a fresh
// burst at another key's expense.
TEST(RateLimit, AFullTableRefusesNewKeysUntilABucketRefills)
{
    usbip_rate_limit limit(2, 1000, 2);
    EXPECT_TRUE(limit.take("a", 0));
    EXPECT_TRUE(limit.take("b", 0));
    EXPECT_FALSE(limit.take("c", 0));
    EXPECT_TRUE(limit.take("a", 0));
    EXPECT_TRUE(limit.take("c", 1000)) << "b has filled up again";
    EXPECT_FALSE(limit.take("d", 1000)) << "a and c are in use";
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
