// subscribe, unsubscribe and publish: their results, console lines and streams, topics with a zero
// byte, values the library refuses, payloads too large for the message record, and inbound messages
// without a handler.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>

#include "console_capture.h"
#include "support.h"

namespace movra::testing {
namespace {

TEST(Messaging, EveryOperationBeforeConnectFailsWithItsLineAndCallsNoLibrary) {
    Broker broker;
    SDK sdk;
    initClient(sdk, broker);
    ConsoleCapture console;
    EXPECT_FALSE(sdk.subscribe("a/b", 1));
    sdk.unsubscribe("a/b");
    sdk.publish("a/b", "x", 1, false);
    console.restore();
    EXPECT_EQ(console.err(),
              "[SDK] subscribe \xE2\x80\x94 not connected\n"
              "[SDK] unsubscribe \xE2\x80\x94 not connected\n"
              "[SDK] publish \xE2\x80\x94 not connected\n");
    EXPECT_EQ(console.out(), "");
}

TEST(Messaging, OperationsOnAnUninitialisedObjectFailTheSameWay) {
    SDK sdk;
    ConsoleCapture console;
    EXPECT_FALSE(sdk.subscribe("a/b", 0));
    sdk.publish("a/b", "x", 0, false);
    console.restore();
    EXPECT_EQ(console.err(),
              "[SDK] subscribe \xE2\x80\x94 not connected\n"
              "[SDK] publish \xE2\x80\x94 not connected\n");
}

TEST(Messaging, SubscribeAndUnsubscribeWriteOneLineEachAndPublishNothing) {
    Broker broker;
    SDK sdk;
    connectClient(sdk, broker);
    ConsoleCapture console;
    EXPECT_TRUE(sdk.subscribe("lines/t", 2));
    for (int qos = 0; qos <= 2; ++qos) sdk.publish("lines/t", "payload", qos, false);
    sdk.publish("lines/t", "retained", 1, true);
    sdk.unsubscribe("lines/t");
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Subscribed to: lines/t\n[SDK] Unsubscribed from: lines/t\n");
    EXPECT_EQ(console.err(), "");
}

TEST(Messaging, ValuesTheLibraryRefusesTakeTheFailurePathWithItsCode) {
    Broker broker;
    SDK sdk;
    connectClient(sdk, broker);
    const std::string badTopic = "bad/\xFF";
    ConsoleCapture console;
    EXPECT_FALSE(sdk.subscribe("bad/qos", 3));
    EXPECT_FALSE(sdk.subscribe(badTopic, 1));
    sdk.unsubscribe(badTopic);
    sdk.publish(badTopic, "x", 1, false);
    console.restore();
    std::string utf8 = std::to_string(MQTTCLIENT_BAD_UTF8_STRING);
    EXPECT_EQ(console.err(),
              "[SDK] subscribe failed on 'bad/qos', rc=" + std::to_string(MQTTCLIENT_BAD_QOS) +
                  "\n" + "[SDK] subscribe failed on '" + badTopic + "', rc=" + utf8 + "\n" +
                  "[SDK] unsubscribe failed on '" + badTopic + "', rc=" + utf8 + "\n" +
                  "[SDK] publish failed on '" + badTopic + "', rc=" + utf8 + "\n");
    EXPECT_EQ(console.out(), "");
    EXPECT_TRUE(sdk.is_connected());
}

TEST(Messaging, ATopicEndsAtItsFirstZeroByteButItsLinesShowAllOfIt) {
    Broker broker;
    Inbox inbox;
    SDK sdk;
    sdk.on_message(inbox.handler());
    connectClient(sdk, broker);
    const std::string topic("zero\0tail", 9);
    ConsoleCapture console;
    EXPECT_TRUE(sdk.subscribe(topic, 1));
    sdk.publish(topic, "p", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    sdk.unsubscribe(topic);
    console.restore();
    EXPECT_EQ(console.out(),
              "[SDK] Subscribed to: " + topic + "\n[SDK] Unsubscribed from: " + topic + "\n");
    EXPECT_EQ(inbox.messages(), (std::vector<Message>{{"zero", "p"}}));
}

TEST(Messaging, InboundMessagesWithoutAHandlerAreConsumedSilently) {
    Broker broker;
    Inbox inbox;
    SDK receiver, sender;
    connectClient(receiver, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(receiver.subscribe("silent/t", 1));
    ConsoleCapture console;
    for (int i = 0; i < 5; ++i) sender.publish("silent/t", "unseen " + std::to_string(i), 1, false);
    // A marker shows when the five have been taken; nothing of them is held back for a later handler.
    Inbox marker;
    SDK probe;
    connectClient(probe, broker);
    probe.on_message(marker.handler());
    ASSERT_TRUE(probe.subscribe("silent/marker", 1));
    ASSERT_TRUE(receiver.subscribe("silent/marker", 1));
    sender.publish("silent/marker", "m", 1, false);
    ASSERT_TRUE(marker.waitForCount(1));
    std::this_thread::sleep_for(100ms);
    receiver.on_message(inbox.handler());
    sender.publish("silent/t", "seen", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    // Anything held back and handed over later would come before this marker.
    sender.publish("silent/t", "end", 1, false);
    ASSERT_TRUE(inbox.waitForCount(2));
    console.restore();
    EXPECT_EQ(inbox.messages(), (std::vector<Message>{{"silent/t", "seen"}, {"silent/t", "end"}}));
    EXPECT_EQ(console.err(), "");
    EXPECT_EQ(console.out().find("unseen"), std::string::npos);
}

// 2^31 bytes of address space, never touched: the pages are not backed until written.
class HugePayload {
public:
    static constexpr std::size_t kSize = std::size_t{1} << 31;
    HugePayload() {
        data =
            ::mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    }
    ~HugePayload() {
        if (data != MAP_FAILED) ::munmap(data, kSize);
    }
    bool ok() const { return data != MAP_FAILED; }
    std::string_view view() const { return {static_cast<const char*>(data), kSize}; }

private:
    void* data;
};

TEST(Messaging, APayloadOfTwoGibibytesIsRefusedBeforeTheLibraryAndNothingIsSent) {
    Broker broker;
    HugePayload huge;
    ASSERT_TRUE(huge.ok());
    Inbox inbox;
    SDK receiver, sender;
    receiver.on_message(inbox.handler());
    connectClient(receiver, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(receiver.subscribe("huge/#", 1));
    ConsoleCapture console;
    for (int qos = 0; qos <= 2; ++qos) sender.publish("huge/t", huge.view(), qos, false);
    // The marker: whatever the refused calls had sent would arrive before it.
    sender.publish("huge/after", "small", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    console.restore();
    const std::string line = "[SDK] publish failed on 'huge/t', rc=-8\n";
    EXPECT_EQ(console.err(), line + line + line);
    EXPECT_EQ(console.out(), "");
    // Nothing truncated reached the broker; the session carries on.
    EXPECT_EQ(inbox.messages(), (std::vector<Message>{{"huge/after", "small"}}));
    EXPECT_TRUE(sender.is_connected());
}

}  // namespace
}  // namespace movra::testing
