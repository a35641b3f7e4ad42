// The outbound pipeline under threads: publishes without waiting from several threads beside
// waiting ones, through a broker crash and a stop with messages pending. Every outcome reaches the
// sink exactly once, on one thread (the dispatch thread), and none is lost.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console_capture.h"
#include "support.h"

using namespace movra;
using namespace movra::testing;

namespace {

class Outcomes {
public:
    void record(std::span<const PublishOutcome> batch) {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
        for (const PublishOutcome& outcome : batch)
            codes[reinterpret_cast<std::uintptr_t>(outcome.tag)].push_back(outcome.rc);
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return codes.size();
    }
    std::map<std::uintptr_t, std::vector<int>> all() {
        std::lock_guard lock(mutex);
        return codes;
    }
    std::size_t threadCount() {
        std::lock_guard lock(mutex);
        return threads.size();
    }

private:
    std::mutex mutex;
    std::map<std::uintptr_t, std::vector<int>> codes;
    std::set<std::thread::id> threads;
};

void* tagOf(std::uintptr_t n) { return reinterpret_cast<void*>(n); }

}  // namespace

TEST(Outbound, EveryOutcomeOnceThroughACrashAndAStop) {
    Broker broker;
    ConsoleCapture quiet;
    Outcomes outcomes;
    auto publisher = std::make_unique<SDK>();
    publisher->setOutcomeSink(
        [&](std::span<const PublishOutcome> batch) { outcomes.record(batch); });
    InitOptions options{.clientId = uniqueClientId(),
                        .brokerHost = broker.address(),
                        .protocol = "tcp",
                        .cleanSession = true,
                        .autoReconnect = true};
    options.maxInflight = 8;
    publisher->init(options);
    ASSERT_TRUE(publisher->connect());

    constexpr std::uintptr_t kPerThread = 1500;
    auto publishRange = [&](std::uintptr_t first) {
        for (std::uintptr_t n = first; n < first + kPerThread; ++n)
            ASSERT_EQ(publisher->publishAsync("pipe", std::to_string(n), 1, false, tagOf(n)), 0);
    };
    std::thread a(publishRange, 1);
    std::thread b(publishRange, 1 + kPerThread);
    for (int i = 0; i < 50; ++i) publisher->publish("pipe", "waited", 1, false);
    broker.kill();
    broker.start();
    a.join();
    b.join();
    ASSERT_TRUE(eventually([&] { return outcomes.size() == 2 * kPerThread; }, 60s));
    for (const auto& [tag, codes] : outcomes.all()) ASSERT_EQ(codes, std::vector<int>{0}) << tag;

    // Offline now: these wait in the queue until the stop fails them.
    broker.kill();
    ASSERT_TRUE(eventually([&] { return !publisher->is_connected(); }));
    constexpr std::uintptr_t kPending = 100000;
    for (std::uintptr_t n = kPending; n < kPending + 200; ++n)
        ASSERT_EQ(publisher->publishAsync("pipe", "late", 1, false, tagOf(n)), 0);
    publisher.reset();
    const auto all = outcomes.all();
    ASSERT_EQ(all.size(), 2 * kPerThread + 200);
    for (std::uintptr_t n = kPending; n < kPending + 200; ++n)
        ASSERT_EQ(all.at(n), std::vector<int>{kPublishStopped}) << n;
    EXPECT_EQ(outcomes.threadCount(), 1u);
}
