// Broker-less unit tests of the reconnect back-off (backoff.h): the doubling to the ceiling, a
// ceiling below one unit, no overflow at the largest ceiling, and the jitter's range and line.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "backoff.h"

namespace movra {
namespace {

using namespace std::chrono_literals;

std::vector<int> shown(Backoff& backoff, int count) {
    std::vector<int> values;
    for (int i = 0; i < count; ++i) values.push_back(backoff.next().shown);
    return values;
}

TEST(BackoffUnit, DoublesUpToTheCeilingInItsUnitAndStartsOverAfterARestart) {
    Backoff backoff({.ceiling = 5, .unit = 7ms});
    for (int expected : {1, 2, 4, 5, 5}) {
        const auto wait = backoff.next();
        EXPECT_EQ(wait.shown, expected);
        EXPECT_EQ(wait.length, expected * 7ms);
    }
    backoff.restart();
    EXPECT_EQ(shown(backoff, 3), (std::vector{1, 2, 4}));
}

TEST(BackoffUnit, ACeilingBelowOneUnitWaitsOneUnitOnceThenNone) {
    for (int ceiling : {0, -3}) {
        Backoff backoff({.ceiling = ceiling});
        EXPECT_EQ(backoff.next().length, 1000ms);
        for (int i = 0; i < 3; ++i) {
            const auto wait = backoff.next();
            EXPECT_EQ(wait.shown, ceiling) << "the line names the ceiling as given";
            EXPECT_EQ(wait.length, 0ms);
        }
    }
}

TEST(BackoffUnit, TheLargestCeilingIsReachedWithoutOverflow) {
    Backoff backoff({.ceiling = INT_MAX, .unit = 1h});
    Backoff::Wait wait;
    for (int i = 0; i < 40; ++i) {
        wait = backoff.next();
        ASSERT_GT(wait.length, 0ms) << i;
    }
    EXPECT_EQ(wait.shown, INT_MAX);
    EXPECT_EQ(wait.length, std::chrono::milliseconds(std::chrono::hours(INT_MAX)));
}

TEST(BackoffUnit, JitterDrawsAcrossTheWholeWaitAndTheLineNamesTheDrawRounded) {
    const auto unit = 1000ms;
    Backoff backoff({.ceiling = 8, .jitter = true, .unit = unit}, /*seed=*/7);
    shown(backoff, 3);  // up to 8 units
    auto shortest = 8 * unit, longest = 0 * unit;
    for (int i = 0; i < 200; ++i) {
        const auto wait = backoff.next();
        ASSERT_GE(wait.length, 0ms);
        ASSERT_LE(wait.length, 8 * unit);
        EXPECT_EQ(wait.shown, (wait.length + unit / 2) / unit);
        shortest = std::min(shortest, wait.length);
        longest = std::max(longest, wait.length);
    }
    EXPECT_LT(shortest, 1 * unit);
    EXPECT_GT(longest, 7 * unit);
}

}  // namespace
}  // namespace movra
