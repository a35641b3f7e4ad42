// The generic bounded queue alone: its bounds, its close, and two threads through a small bound
// (run it under ThreadSanitizer too: the tsan tree's ctest -R BoundedQueue).
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bounded_queue.h"

namespace movra {
namespace {

using Queue = BoundedQueue<std::string>;

TEST(BoundedQueueUnit, BoundsItemsAndWeightAdmitsALoneHeavyItemAndLetsControlItemsPast) {
    Queue queue({.maxItems = 3, .maxWeight = 10});
    EXPECT_EQ(queue.tryPush("heavy", 50), 0u) << "a lone item gets in, however heavy";
    EXPECT_FALSE(queue.tryPush("a", 1)) << "over the weight bound";
    EXPECT_EQ(queue.pushPastBound("control"), 1u) << "outside the bound";
    std::vector<std::string> out;
    EXPECT_EQ(queue.popBatch(out, 2, [] { return false; }), 2u);
    EXPECT_EQ(queue.tryPush("a", 4), 2u);
    EXPECT_EQ(queue.tryPush("b", 6), 3u);
    EXPECT_FALSE(queue.tryPush("c", 1)) << "weight 10 of 10 taken";
    EXPECT_TRUE(queue.pop(out.emplace_back()));
    EXPECT_TRUE(queue.tryPush("c", 4));
    EXPECT_TRUE(queue.tryPush("d", 0));
    EXPECT_FALSE(queue.tryPush("e", 0)) << "3 items held, the control item not counted";
    EXPECT_EQ(queue.pushPastBound("control2"), 6u);
    EXPECT_EQ(queue.status().size, 4u);

    // Taken in push order; the count returned covers every ticket below it.
    EXPECT_EQ(queue.popBatch(out, 10, [] { return false; }), 7u);
    EXPECT_EQ(out, (std::vector<std::string>{"heavy", "control", "a", "b", "c", "d", "control2"}));
    EXPECT_EQ(queue.status().size, 0u);

    // A recycled item keeps its buffer for pushWith.
    std::vector<std::string> taken{std::string(100, 'x')};
    const char* buffer = taken.front().data();
    Queue recycling({.maxSpares = 1});
    recycling.recycle(taken, [](const std::string&) { return true; });
    recycling.pushWith(1, [&](std::string& item) {
        EXPECT_EQ(item.data(), buffer);
        item.assign("reused");
    });
    std::string item;
    ASSERT_TRUE(recycling.pop(item));
    EXPECT_EQ(item, "reused");
}

TEST(BoundedQueueUnit, CloseKeepsWhatWasQueuedRefusesTheRestAndReleasesEveryWaiter) {
    Queue queue({.maxItems = 1});
    ASSERT_TRUE(queue.push("before"));
    std::optional<std::uint64_t> blockedPush = 0;
    std::thread producer([&] { blockedPush = queue.push("blocked"); });  // waits for room
    // A consumer whose stop test is true leaves without taking anything.
    std::vector<std::string> none;
    EXPECT_FALSE(queue.popBatch(none, 1, [] { return true; }));
    EXPECT_TRUE(none.empty());

    queue.close();
    producer.join();
    EXPECT_FALSE(blockedPush) << "a push waiting for room ends with the close";
    EXPECT_FALSE(queue.tryPush("after"));
    EXPECT_FALSE(queue.pushPastBound("after"));
    std::string item;
    ASSERT_TRUE(queue.pop(item)) << "what was queued before the close is still handed out";
    EXPECT_EQ(item, "before");
    EXPECT_FALSE(queue.pop(item));
    EXPECT_TRUE(queue.status().closed);

    // A consumer asleep on an empty queue ends once its stop test turns true and it is woken.
    Queue idle({.startOpen = false});
    EXPECT_FALSE(idle.push("refused"));
    idle.reopen();
    std::atomic<bool> stop{false};
    std::optional<std::uint64_t> woken = 0;
    std::thread sleeper([&] {
        std::vector<std::string> nothing;
        woken = idle.popBatch(nothing, 1, [&] { return stop.load(); });
    });
    stop = true;
    idle.wakeConsumers();
    sleeper.join();
    EXPECT_FALSE(woken);
    EXPECT_TRUE(idle.push("again"));
}

TEST(BoundedQueueUnit, TwoThreadsThroughASmallBoundLoseNothingAndKeepOrder) {
    constexpr int kItems = 20000;
    Queue queue({.maxItems = 4, .maxWeight = 64});
    std::atomic<int> overBound{0};
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i) {
            std::string item = std::to_string(i);
            const std::size_t weight = item.size();
            if (i % 100 == 0)
                queue.pushPastBound(std::move(item));
            else if (i % 2 == 0)
                queue.push(std::move(item), weight);
            else
                queue.pushWith(weight, [&](std::string& slot) { slot.assign(item); });
            if (queue.status().size > 4 + 1) overBound.fetch_add(1);
        }
        queue.close();
    });
    std::vector<std::string> all;
    std::vector<std::string> batch;
    std::uint64_t takenUpTo = 0;
    while (auto upTo = queue.popBatch(batch, 3, [] { return false; })) {
        EXPECT_GT(*upTo, takenUpTo);
        takenUpTo = *upTo;
        for (auto& item : batch) all.push_back(std::move(item));
        queue.recycle(batch, [](const std::string&) { return true; });
        batch.clear();
    }
    producer.join();
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kItems));
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(all[i], std::to_string(i));
    EXPECT_EQ(takenUpTo, static_cast<std::uint64_t>(kItems));
    EXPECT_EQ(overBound.load(), 0) << "more than the bound (and one control item) was held";
}

}  // namespace
}  // namespace movra
