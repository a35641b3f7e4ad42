// Handlers run on the object's own dispatch thread, never on the library's receive thread: from a
// message handler the library's round trips (subscribe, QoS 1/2 publish) complete at once, a resumed
// session's backlog cannot stall a connection handler that subscribes, and a blocked handler of one
// object does not hold up another object. Each of these waits out a 10 s library timeout when a
// handler runs on the receive thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "console_capture.h"
#include "support.h"

namespace movra::testing {
namespace {

// Far below the library's 10 s timeouts, far above a loaded machine's round trip.
constexpr auto kPrompt = 5s;

struct Timed {
    bool ok = false;
    std::chrono::milliseconds took{0};
};

TEST(DispatchThread, SubscribeInsideAMessageHandlerSucceedsPromptly) {
    Broker broker;
    Inbox inbox;
    Flag done;
    Timed subscribed;
    SDK sdk;
    sdk.on_message([&](const std::string& topic, const std::string& payload) {
        inbox.add(topic, payload);
        if (topic != "trigger") return;
        Stopwatch watch;
        subscribed.ok = sdk.subscribe("after/trigger", 1);
        subscribed.took = watch.elapsed();
        done.set();
    });
    connectClient(sdk, broker);
    ASSERT_TRUE(sdk.subscribe("trigger", 1));
    sdk.publish("trigger", "go", 1, false);
    ASSERT_TRUE(done.wait());
    EXPECT_TRUE(subscribed.ok);
    EXPECT_LT(subscribed.took, kPrompt);
    // The subscription made inside the handler is live.
    sdk.publish("after/trigger", "works", 1, false);
    ASSERT_TRUE(inbox.waitForCount(2));
    EXPECT_EQ(inbox.messages()[1], (Message{"after/trigger", "works"}));
}

TEST(DispatchThread, ReliablePublishesInsideAMessageHandlerCompletePromptly) {
    Broker broker;
    Inbox echoes;
    Flag done;
    std::chrono::milliseconds took[3]{};
    SDK sdk, listener;
    sdk.on_message([&](const std::string&, const std::string&) {
        for (int qos = 0; qos <= 2; ++qos) {
            Stopwatch watch;
            sdk.publish("echo", "qos" + std::to_string(qos), qos, false);
            took[qos] = watch.elapsed();
        }
        done.set();
    });
    listener.on_message(echoes.handler());
    connectClient(sdk, broker);
    connectClient(listener, broker);
    ASSERT_TRUE(listener.subscribe("echo", 2));
    ASSERT_TRUE(sdk.subscribe("trigger", 0));
    listener.publish("trigger", "go", 0, false);
    ASSERT_TRUE(done.wait());
    EXPECT_LT(took[1], kPrompt);
    EXPECT_LT(took[2], kPrompt);
    ASSERT_TRUE(echoes.waitForCount(3));
    EXPECT_EQ(echoes.messages(),
              (std::vector<Message>{{"echo", "qos0"}, {"echo", "qos1"}, {"echo", "qos2"}}));
}

// A persistent session with `backlog` QoS 1 messages of `size` bytes waiting at the broker; the
// connection handler subscribes while the backlog streams in right after the CONNACK.
void resumeWithBacklog(int backlog, std::size_t size) {
    Broker broker;
    const std::string id = uniqueClientId("resumed");
    Inbox inbox;
    Timed subscribed;
    bool subscribeRan = false;
    SDK sdk;
    connectClient(sdk, broker, {.clientId = id, .cleanSession = false});
    ASSERT_TRUE(sdk.subscribe("backlog/t", 1));
    sdk.disconnect();
    {
        SDK sender;
        connectClient(sender, broker);
        for (int i = 0; i < backlog; ++i) {
            std::string payload(size, 'x');
            std::string number = std::to_string(i);
            payload.replace(0, number.size(), number);
            sender.publish("backlog/t", payload, 1, false);
        }
    }
    sdk.on_message(inbox.handler());
    sdk.on_connection([&](bool connected, int) {
        if (!connected || subscribeRan) return;
        subscribeRan = true;
        // Give the backlog time to arrive while this handler holds the handler lock.
        std::this_thread::sleep_for(200ms);
        Stopwatch watch;
        subscribed.ok = sdk.subscribe("backlog/other", 1);
        subscribed.took = watch.elapsed();
    });
    ASSERT_TRUE(sdk.connect());
    EXPECT_TRUE(subscribed.ok);
    EXPECT_LT(subscribed.took, kPrompt);
    ASSERT_TRUE(inbox.waitForCount(static_cast<std::size_t>(backlog)));
    auto received = inbox.messages();
    ASSERT_EQ(received.size(), static_cast<std::size_t>(backlog));
    for (int i = 0; i < backlog; ++i) {
        std::string number = std::to_string(i);
        EXPECT_EQ(received[i].payload.compare(0, number.size(), number), 0) << "message " << i;
        EXPECT_EQ(received[i].payload.size(), size);
    }
    sdk.on_connection(nullptr);
}

TEST(DispatchThread, ConnectionHandlerSubscribesPromptlyWhileAResumedSessionDeliversItsBacklog) {
    resumeWithBacklog(20, 16);
}

TEST(DispatchThread, ConnectionHandlerSubscribesPromptlyWhileABacklogBeyondTheQueueBoundArrives) {
    // More bytes than the event queue holds: the receive thread must not wait for room while the
    // caller's connection handler waits for its acknowledgement.
    constexpr std::size_t kSize = 256 * 1024;
    resumeWithBacklog(static_cast<int>(EventQueue::kMaxQueuedBytes / kSize) + 40, kSize);
}

TEST(DispatchThread, ABlockedHandlerOfOneObjectDoesNotHoldUpAnother) {
    Broker broker;
    Flag blocked, release;
    Inbox inbox;
    SDK slow, other, sender;
    slow.on_message([&](const std::string&, const std::string&) {
        blocked.set();
        release.wait();
    });
    other.on_message(inbox.handler());
    connectClient(slow, broker);
    connectClient(other, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(slow.subscribe("shared", 1));
    ASSERT_TRUE(other.subscribe("shared", 1));
    sender.publish("shared", "first", 1, false);
    ASSERT_TRUE(blocked.wait());

    Stopwatch watch;
    for (int i = 0; i < 5; ++i) sender.publish("shared", std::to_string(i), 1, false);
    other.publish("shared", "from other", 1, false);
    EXPECT_TRUE(inbox.waitForCount(7, kPrompt));
    EXPECT_LT(watch.elapsed(), kPrompt);
    release.set();
}

TEST(DispatchThread, NotificationsOfConnectDisconnectAndStopRunInTheCallersThread) {
    Broker broker;
    std::vector<std::thread::id> threads;
    SDK sdk;
    sdk.on_connection([&](bool, int) { threads.push_back(std::this_thread::get_id()); });
    connectClient(sdk, broker);
    sdk.disconnect();
    ASSERT_TRUE(sdk.connect());
    sdk.stop();
    ASSERT_EQ(threads.size(), 4u);
    for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(DispatchThread, MessagesOfOneObjectAreHandledOneAtATimeInArrivalOrder) {
    Broker broker;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    Inbox inbox;
    SDK receiver, sender;
    receiver.on_message([&](const std::string& topic, const std::string& payload) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        inbox.add(topic, payload);
        inside.fetch_sub(1);
    });
    connectClient(receiver, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(receiver.subscribe("order/#", 1));
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i)
        sender.publish("order/" + std::to_string(i % 3), std::to_string(i), 1, false);
    ASSERT_TRUE(inbox.waitForCount(kCount)) << inbox.size() << " received";
    EXPECT_FALSE(overlapped);
    auto received = inbox.messages();
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(received[i].payload, std::to_string(i));
}

}  // namespace
}  // namespace movra::testing
