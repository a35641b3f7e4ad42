// A QoS 1/2 publish ends when its own acknowledgement arrives (no 100 ms polling steps), when the
// connection drops, or when the object stops; QoS 0 never waits. A FakeBroker that accepts the
// session and never acknowledges makes the waiting visible.
#include <gtest/gtest.h>

#include <future>

#include "console_capture.h"
#include "fake_broker.h"
#include "support.h"

namespace movra::testing {
namespace {

// 200 publishes that each waited for a 100 ms polling step would take 20 s.
constexpr int kPublishes = 200;
constexpr auto kFarBelowPolling = 10s;

void manyPublishes(int qos) {
    Broker broker;
    Inbox inbox;
    SDK sdk, listener;
    listener.on_message(inbox.handler());
    connectClient(sdk, broker);
    connectClient(listener, broker);
    ASSERT_TRUE(listener.subscribe("many", qos));
    ConsoleCapture console;
    Stopwatch watch;
    for (int i = 0; i < kPublishes; ++i) sdk.publish("many", std::to_string(i), qos, false);
    auto took = watch.elapsed();
    console.restore();
    EXPECT_LT(took, kFarBelowPolling);
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(console.err(), "");
    ASSERT_TRUE(inbox.waitForCount(kPublishes));
    auto received = inbox.messages();
    for (int i = 0; i < kPublishes; ++i) EXPECT_EQ(received[i].payload, std::to_string(i));
}

TEST(PublishCompletion, Qos1PublishesEndOnTheirAcknowledgement) { manyPublishes(1); }

TEST(PublishCompletion, Qos2PublishesEndOnTheirCompletion) { manyPublishes(2); }

// Starts a publish on another thread against a broker that never acknowledges it.
std::future<std::chrono::milliseconds> publishInBackground(SDK& sdk, int qos) {
    return std::async(std::launch::async, [&sdk, qos] {
        Stopwatch watch;
        sdk.publish("never/acked", "payload", qos, false);
        return watch.elapsed();
    });
}

TEST(PublishCompletion, AnUnacknowledgedPublishWaitsAndEndsWhenTheConnectionDrops) {
    FakeBroker fake(/*acceptSessions=*/true);
    SDK sdk;
    initClient(sdk, fake.address());
    ConsoleCapture console;
    ASSERT_TRUE(sdk.connect());
    auto publish = publishInBackground(sdk, 1);
    // Still waiting after a while: the acknowledgement has not come.
    auto early = publish.wait_for(500ms);
    std::size_t sent = fake.bytesAfterConnect();
    Stopwatch sinceCut;
    fake.cut();
    auto late = publish.wait_for(kPatience);
    auto sinceCutTook = sinceCut.elapsed();
    bool lost = console.waitForErr("[SDK] Connection lost: ", kPatience);
    console.restore();
    EXPECT_EQ(early, std::future_status::timeout);
    EXPECT_GT(sent, 0u);
    ASSERT_EQ(late, std::future_status::ready);
    // It began a little after the 500 ms wait above and lasted until the cut.
    EXPECT_GE(publish.get(), 400ms);
    EXPECT_LT(sinceCutTook, 5s);
    EXPECT_TRUE(lost);
    EXPECT_EQ(console.err().find("publish failed"), std::string::npos) << console.err();
}

TEST(PublishCompletion, StopEndsAPendingPublishWait) {
    FakeBroker fake(/*acceptSessions=*/true);
    SDK sdk;
    initClient(sdk, fake.address());
    ConsoleCapture console;
    ASSERT_TRUE(sdk.connect());
    auto publish = publishInBackground(sdk, 2);
    EXPECT_EQ(publish.wait_for(300ms), std::future_status::timeout);
    Stopwatch sinceStop;
    auto stop = std::async(std::launch::async, [&] { sdk.stop(); });
    ASSERT_EQ(publish.wait_for(kPatience), std::future_status::ready);
    EXPECT_LT(sinceStop.elapsed(), 5s);
    // The library's disconnect waits for the unacknowledged message; the broker going away ends it.
    fake.cut();
    ASSERT_EQ(stop.wait_for(kPatience), std::future_status::ready);
    EXPECT_FALSE(sdk.is_initialised());
}

TEST(PublishCompletion, AReusedTokenDoesNotEndTheWaitOfALaterPublish) {
    // The first client's publish completes with the library's first token; a fresh client hands out
    // the same token again for a publish that is never acknowledged.
    Broker broker;
    SDK sdk;
    connectClient(sdk, broker);
    sdk.publish("first", "acked", 1, false);
    sdk.stop();

    FakeBroker fake(/*acceptSessions=*/true);
    initClient(sdk, fake.address());
    ConsoleCapture console;
    ASSERT_TRUE(sdk.connect());
    auto publish = publishInBackground(sdk, 1);
    EXPECT_EQ(publish.wait_for(500ms), std::future_status::timeout);
    fake.cut();
    ASSERT_EQ(publish.wait_for(kPatience), std::future_status::ready);
}

TEST(PublishCompletion, Qos0NeverWaitsForTheBroker) {
    FakeBroker fake(/*acceptSessions=*/true);
    SDK sdk;
    initClient(sdk, fake.address());
    ConsoleCapture console;
    ASSERT_TRUE(sdk.connect());
    Stopwatch watch;
    for (int i = 0; i < 20; ++i) sdk.publish("fire/forget", "x", 0, false);
    EXPECT_LT(watch.elapsed(), 2s);
    EXPECT_TRUE(eventually([&] { return fake.bytesAfterConnect() >= 20 * 15; }));
    fake.cut();
}

}  // namespace
}  // namespace movra::testing
