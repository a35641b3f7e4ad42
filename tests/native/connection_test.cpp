// connect, disconnect, stop, destruction and the handler setters: results, console lines on their
// streams, and which notifications reach the connection handler.
#include <gtest/gtest.h>

#include <memory>

#include "console_capture.h"
#include "support.h"

namespace movra::testing {
namespace {

using Events = std::vector<std::pair<bool, int>>;

// An object whose connection handler records every notification, and a broker for it.
class ObservedClient : public ::testing::Test {
protected:
    ObservedClient() { sdk.on_connection(log.handler()); }
    Broker broker;
    ConnectionLog log;
    SDK sdk;  // destroyed first: its handler refers to `log`
};
class Connect : public ObservedClient {};
class Disconnect : public ObservedClient {};
class Stop : public ObservedClient {};

TEST_F(Connect, OnAFreshObjectFailsWithTheInitFirstLineOnStandardError) {
    ConsoleCapture console;
    EXPECT_FALSE(sdk.connect());
    console.restore();
    EXPECT_EQ(console.err(), "[SDK] connect \xE2\x80\x94 call init() first\n");
    EXPECT_EQ(console.out(), "");
    EXPECT_TRUE(log.events().empty());
}

TEST_F(Connect, TwiceReportsAlreadyConnectedAndNotifiesOnce) {
    connectClient(sdk, broker);
    ConsoleCapture console;
    EXPECT_TRUE(sdk.connect());
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Already connected\n");
    EXPECT_EQ(console.err(), "");
    EXPECT_EQ(log.events(), (Events{{true, 0}}));
}

TEST_F(Connect, ToAnAbsentBrokerFailsWithTheLibraryCodeAndNoNotification) {
    broker.kill();
    initClient(sdk, broker);
    ConsoleCapture console;
    EXPECT_FALSE(sdk.connect());
    console.restore();
    EXPECT_EQ(console.out(), "");
    EXPECT_EQ(console.err().rfind("[SDK] connect failed, rc=-", 0), 0u) << console.err();
    EXPECT_EQ(occurrences(console.err(), "\n"), 1u);
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_TRUE(log.events().empty());
}

TEST_F(Connect, AfterAnEmptiedHandlerWritesTheLineButCallsNothing) {
    sdk.on_connection(nullptr);
    initClient(sdk, broker);
    ConsoleCapture console;
    EXPECT_TRUE(sdk.connect());
    sdk.disconnect();
    console.restore();
    EXPECT_EQ(console.out(),
              "[SDK] Connected to tcp://" + broker.address() + "\n[SDK] Disconnected\n");
    EXPECT_TRUE(log.events().empty());
}

TEST_F(Disconnect, OfALiveSessionNotifiesAndASecondOneReportsNotConnected) {
    connectClient(sdk, broker);
    ConsoleCapture console;
    sdk.disconnect();
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_TRUE(sdk.is_initialised());
    sdk.disconnect();
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Disconnected\n[SDK] Not connected\n");
    EXPECT_EQ(console.err(), "");
    EXPECT_EQ(log.events(), (Events{{true, 0}, {false, 0}}));
    // Offline, not stopped: a later connect is allowed.
    EXPECT_TRUE(sdk.connect());
}

TEST_F(Stop, OnANeverConnectedObjectReportsNotConnectedOncePerStop) {
    initClient(sdk, broker);
    ConsoleCapture console;
    sdk.stop();
    EXPECT_EQ(console.out(), "[SDK] Not connected\n");
    sdk.stop();
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Not connected\n[SDK] Not connected\n");
    EXPECT_EQ(console.err(), "");
    EXPECT_TRUE(log.events().empty());
    EXPECT_FALSE(sdk.is_initialised());
}

TEST_F(Stop, OfAConnectedObjectDisconnectsAndLeavesItUninitialised) {
    connectClient(sdk, broker);
    ConsoleCapture console;
    sdk.stop();
    EXPECT_FALSE(sdk.connect());
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Disconnected\n");
    EXPECT_EQ(console.err(), "[SDK] connect \xE2\x80\x94 call init() first\n");
    EXPECT_EQ(log.events(), (Events{{true, 0}, {false, 0}}));
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_FALSE(sdk.is_initialised());
}

TEST(Destruction, OfAConnectedObjectDisconnectsAndNotifies) {
    Broker broker;
    ConnectionLog log;
    auto sdk = std::make_unique<SDK>();
    sdk->on_connection(log.handler());
    connectClient(*sdk, broker);
    ConsoleCapture console;
    sdk.reset();
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Disconnected\n");
    EXPECT_EQ(console.err(), "");
    EXPECT_EQ(log.events(), (Events{{true, 0}, {false, 0}}));
}

TEST(Destruction, OfANeverInitialisedObjectReportsNotConnected) {
    ConsoleCapture console;
    {
        SDK sdk;
    }
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Not connected\n");
    EXPECT_EQ(console.err(), "");
}

TEST(Destruction, AnErrorFromTheConnectionHandlerIsReportedAndDoesNotEscape) {
    Broker broker;
    auto sdk = std::make_unique<SDK>();
    connectClient(*sdk, broker);
    sdk->on_connection([](bool connected, int) {
        if (!connected) throw std::runtime_error("refused");
    });
    ConsoleCapture console;
    EXPECT_NO_THROW(sdk.reset());
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Disconnected\n");
    EXPECT_EQ(console.err(), "[SDK] handler raised: refused\n");
}

TEST(Handlers, AnErrorFromTheConnectionHandlerReachesTheCallerOfConnect) {
    Broker broker;
    SDK sdk;
    sdk.on_connection([](bool, int) { throw std::runtime_error("from handler"); });
    initClient(sdk, broker);
    EXPECT_THROW(sdk.connect(), std::runtime_error);
    EXPECT_TRUE(sdk.is_connected());
}

TEST(Handlers, SurviveStopAndANewInit) {
    Broker broker;
    Inbox inbox;
    ConnectionLog log;
    SDK sdk;
    sdk.on_message(inbox.handler());
    sdk.on_connection(log.handler());
    connectClient(sdk, broker);
    sdk.stop();
    connectClient(sdk, broker);
    ASSERT_TRUE(sdk.subscribe("survive/t", 1));
    sdk.publish("survive/t", "after", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(inbox.messages(), (std::vector<Message>{{"survive/t", "after"}}));
    EXPECT_EQ(log.events(), (Events{{true, 0}, {false, 0}, {true, 0}}));
}

}  // namespace
}  // namespace movra::testing
