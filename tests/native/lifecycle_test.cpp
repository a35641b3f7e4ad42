// The life of an object: a second init replaces the earlier client so that it can never call back;
// stop is prompt whatever the reconnect back-off and delivers what was queued before it; destruction
// waits for a running handler, and after it no handler runs.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "console_capture.h"
#include "support.h"

namespace movra::testing {
namespace {

using Events = std::vector<std::pair<bool, int>>;

TEST(Lifecycle, ASecondInitTearsTheEarlierClientDownSoItCanNeverCallBack) {
    Broker broker;
    Inbox inbox;
    ConnectionLog log;
    SDK sdk, sender;
    sdk.on_message(inbox.handler());
    sdk.on_connection(log.handler());
    connectClient(sdk, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(sdk.subscribe("old/session", 1));

    ConsoleCapture console;
    initClient(sdk, broker);
    EXPECT_EQ(console.out(), "[SDK] Disconnected\n");
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_TRUE(sdk.is_initialised());
    EXPECT_EQ(log.events(), (Events{{true, 0}, {false, 0}}));

    // Messages for the earlier session find nobody; the new session gets only its own.
    for (int i = 0; i < 3; ++i) sender.publish("old/session", "stale", 1, false);
    ASSERT_TRUE(sdk.connect());
    ASSERT_TRUE(sdk.subscribe("new/session", 1));
    sender.publish("new/session", "fresh", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    // A marker a round trip later, through the same receive thread: a late call of the earlier
    // client would come before it.
    sender.publish("new/session", "end", 1, false);
    ASSERT_TRUE(inbox.waitForCount(2));
    console.restore();
    EXPECT_EQ(inbox.messages(),
              (std::vector<Message>{{"new/session", "fresh"}, {"new/session", "end"}}));
}

TEST(Lifecycle, ASecondInitOnAStoppedObjectKeepsTheHandlers) {
    Broker broker;
    Inbox inbox;
    SDK sdk;
    sdk.on_message(inbox.handler());
    connectClient(sdk, broker);
    sdk.stop();
    sdk.stop();
    connectClient(sdk, broker);
    ASSERT_TRUE(sdk.subscribe("kept", 0));
    sdk.publish("kept", "yes", 0, false);
    ASSERT_TRUE(inbox.waitForCount(1));
}

// The worker is inside a back-off of an hour: stop, and destruction without a stop, end it at once.
TEST(Lifecycle, StopOrDestructionDuringAReconnectBackOffReturnsAtOnce) {
    Broker broker;
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destruction" : "stop");
        broker.start();
        auto sdk = std::make_unique<SDK>();
        ConsoleCapture console;
        connectClient(*sdk, broker,
                      {.autoReconnect = true, .maxReconnectInterval = 60, .backoffUnit = 1h});
        broker.kill();
        ASSERT_TRUE(console.waitForErr("Retrying in 1s\n", kPatience));
        Stopwatch watch;
        if (destroy)
            sdk.reset();
        else
            sdk->stop();
        EXPECT_LT(watch.elapsed(), 1500ms);
        console.restore();
        EXPECT_EQ(occurrences(console.out(), "[SDK] Attempting to reconnect...\n"), 1u);
    }
}

TEST(Lifecycle, StopWhileTheWorkerStartsIsAlwaysPrompt) {
    // Stop at many points of the worker's first second: between its check and its wait too.
    Broker broker;
    SDK sdk;
    ConsoleCapture console;
    for (int round = 0; round < 5; ++round) {
        broker.start();
        connectClient(sdk, broker, {.autoReconnect = true, .maxReconnectInterval = 60});
        broker.kill();
        ASSERT_TRUE(console.waitForErr("[SDK] Connection lost: ", kPatience));
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 7));
        Stopwatch watch;
        sdk.stop();
        EXPECT_LT(watch.elapsed(), 900ms) << "round " << round;
    }
}

TEST(Lifecycle, StopDeliversTheMessagesQueuedBeforeIt) {
    Broker broker;
    Flag release;
    Inbox inbox;
    SDK sdk, sender;
    sdk.on_message([&](const std::string& topic, const std::string& payload) {
        release.wait();
        inbox.add(topic, payload);
    });
    connectClient(sdk, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(sdk.subscribe("queued", 1));
    constexpr int kCount = 20;
    for (int i = 0; i < kCount; ++i) sender.publish("queued", std::to_string(i), 1, false);
    // The broker queued every copy before acknowledging its publish, so its answer to this
    // subscribe follows them on the connection; the library hands each message over before it
    // reads the next packet. Once subscribe returns, all of them wait in the queue.
    ASSERT_TRUE(sdk.subscribe("queued/marker", 1));
    auto stop = std::async(std::launch::async, [&] { sdk.stop(); });
    EXPECT_EQ(stop.wait_for(200ms), std::future_status::timeout);
    release.set();
    ASSERT_EQ(stop.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(inbox.size(), static_cast<std::size_t>(kCount));
}

TEST(Lifecycle, DestructionWaitsForARunningHandlerAndNoHandlerRunsAfterIt) {
    Broker broker;
    std::atomic<int> inside{0}, calls{0};
    Flag entered;
    auto sdk = std::make_unique<SDK>();
    SDK sender;
    sdk->on_message([&](const std::string&, const std::string&) {
        ++inside;
        ++calls;
        entered.set();
        std::this_thread::sleep_for(300ms);
        --inside;
    });
    connectClient(*sdk, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(sdk->subscribe("busy", 0));
    sender.publish("busy", "x", 0, false);
    ASSERT_TRUE(entered.wait());
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) sender.publish("busy", "more", 0, false);
    });
    sdk.reset();
    EXPECT_EQ(inside.load(), 0);
    int after = calls.load();
    std::this_thread::sleep_for(300ms);
    flooding = false;
    flood.join();
    EXPECT_EQ(calls.load(), after);
}

TEST(Lifecycle, DestructionWhileMessagesPourInIsClean) {
    Broker broker;
    SDK sender;
    connectClient(sender, broker);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) sender.publish("pour", std::string(512, 'p'), 0, false);
    });
    for (int round = 0; round < 5; ++round) {
        std::atomic<int> calls{0};
        auto sdk = std::make_unique<SDK>();
        sdk->on_message([&](const std::string&, const std::string&) { ++calls; });
        connectClient(*sdk, broker);
        ASSERT_TRUE(sdk->subscribe("pour", 0));
        ASSERT_TRUE(eventually([&] { return calls.load() > 10; }));
        sdk.reset();
        int after = calls.load();
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(calls.load(), after);
    }
    flooding = false;
    flood.join();
}

TEST(Lifecycle, DisconnectWhileMessagesPourInIsClean) {
    // The library releases the messages it still holds when a clean session disconnects; the one
    // being handed to the callback at that moment must not be used or released twice.
    Broker broker;
    SDK sender;
    connectClient(sender, broker);
    // Large payloads keep the callback copying for longer: the moment a disconnect can hit.
    const std::string payload(64 * 1024, 'p');
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) sender.publish("pour", payload, 0, false);
    });
    std::atomic<int> calls{0};
    SDK sdk;
    sdk.on_message([&](const std::string&, const std::string&) { ++calls; });
    initClient(sdk, broker);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(sdk.connect());
        ASSERT_TRUE(sdk.subscribe("pour", 0));
        int before = calls.load();
        ASSERT_TRUE(eventually([&] { return calls.load() > before + 10; }));
        sdk.disconnect();
        EXPECT_FALSE(sdk.is_connected());
    }
    flooding = false;
    flood.join();
}

TEST(Lifecycle, StopFromAnotherThreadWhileCallsAreUnderWayIsClean) {
    // Caller threads may use one object at once: stop must neither pull the client away from a
    // publish or subscribe running on another thread nor wait for one (a subscribe that meets the
    // disconnect waits out the library's 10 s acknowledgement timeout on its own thread).
    Broker broker;
    for (int round = 0; round < 2; ++round) {
        SDK sdk;
        ConsoleCapture console;
        connectClient(sdk, broker);
        std::atomic<bool> going{true};
        std::vector<std::thread> callers;
        for (int qos = 0; qos <= 2; ++qos)
            callers.emplace_back([&, qos] {
                while (going) sdk.publish("busy/" + std::to_string(qos), "x", qos, false);
            });
        callers.emplace_back([&] {
            while (going) sdk.subscribe("busy/sub", 1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 20 * round));
        Stopwatch watch;
        sdk.stop();
        auto took = watch.elapsed();
        going = false;
        for (auto& t : callers) t.join();
        console.restore();
        // Publishes on other threads do not keep the library's disconnect waiting for 10 s.
        EXPECT_LT(took, 5s) << "round " << round;
        EXPECT_FALSE(sdk.is_initialised());
    }
}

TEST(Lifecycle, ABrokerRestartWithAutoReconnectRestoresTheSession) {
    Broker broker;
    ConnectionLog log;
    SDK sdk;
    sdk.on_connection(log.handler());
    ConsoleCapture console;
    connectClient(sdk, broker, {.autoReconnect = true, .maxReconnectInterval = 1});
    broker.kill();
    ASSERT_TRUE(log.waitForCount(2));
    broker.start();
    ASSERT_TRUE(log.waitForCount(3));
    EXPECT_EQ(log.events(), (Events{{true, 0}, {false, -1}, {true, 0}}));
    EXPECT_TRUE(sdk.is_connected());
    EXPECT_TRUE(console.waitForOut(
        "[SDK] Reconnected successfully to tcp://" + broker.address() + "\n", kPatience));
}

}  // namespace
}  // namespace movra::testing
