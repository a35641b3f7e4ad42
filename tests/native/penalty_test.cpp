// The broker plugin's penalty table (broker/penalty.c), on a clock the test sets: windows grow with
// each failure past the free ones up to the cap, other addresses are untouched, an admitted CONNECT
// and time both clear a record, and the table stays within its slots under a flood of addresses.
#include <gtest/gtest.h>

#include <memory>
#include <string>

extern "C" {
#include "penalty.h"
}

namespace {

std::unique_ptr<penalty_table> table(uint64_t maxMs = PENALTY_MAX_MS) {
    auto made = std::make_unique<penalty_table>();
    penalty_init(made.get(), maxMs);
    return made;
}

TEST(PenaltyTable, WindowsGrowPerAddressUpToTheCapAndClearOnAdmissionOrWithTime) {
    auto t = table();
    uint64_t now = 1000;
    for (int i = 0; i < PENALTY_FREE_FAILURES; i++) penalty_failed(t.get(), "10.0.0.1", now);
    EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.1", now), 0u);
    uint64_t expected = PENALTY_FIRST_MS;
    for (int i = 0; i < 12; i++) {
        penalty_failed(t.get(), "10.0.0.1", now);
        EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.1", now), expected) << "failure " << i;
        expected = std::min<uint64_t>(expected * 2, PENALTY_MAX_MS);
        now += 1;
    }
    EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.2", now), 0u);
    EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.1", now + PENALTY_MAX_MS), 0u);

    penalty_admitted(t.get(), "10.0.0.1");
    penalty_failed(t.get(), "10.0.0.1", now);
    EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.1", now), 0u) << "admission reset the count";

    for (int i = 0; i < PENALTY_FREE_FAILURES + 1; i++) penalty_failed(t.get(), "10.0.0.3", now);
    EXPECT_GT(penalty_remaining(t.get(), "10.0.0.3", now), 0u);
    now += PENALTY_FORGET_MS;
    penalty_failed(t.get(), "10.0.0.3", now);
    EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.3", now), 0u) << "an old record is forgotten";
}

TEST(PenaltyTable, AFloodOfAddressesStaysInTheTableAndEvictsTheOldestRecord) {
    auto t = table();
    for (int i = 0; i < PENALTY_FREE_FAILURES + 1; i++) penalty_failed(t.get(), "192.0.2.1", 0);
    ASSERT_GT(penalty_remaining(t.get(), "192.0.2.1", 1), 0u);
    for (int i = 0; i < PENALTY_SLOTS - 1; i++) {
        penalty_failed(t.get(), ("10.1." + std::to_string(i)).c_str(), 10);
    }
    EXPECT_GT(penalty_remaining(t.get(), "192.0.2.1", 11), 0u) << "the table had room";
    penalty_failed(t.get(), "10.2.0.0", 20);
    EXPECT_EQ(penalty_remaining(t.get(), "192.0.2.1", 21), 0u) << "the oldest record gave way";
}

TEST(PenaltyTable, ACapOfZeroOpensNoWindow) {
    auto t = table(0);
    for (int i = 0; i < 50; i++) penalty_failed(t.get(), "10.0.0.1", 5);
    EXPECT_EQ(penalty_remaining(t.get(), "10.0.0.1", 5), 0u);
}

}  // namespace
