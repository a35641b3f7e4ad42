// init: the server URI, the library's refusal at creation, the credentials handed to the library,
// and a failed init that must leave nothing dangling.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "console_capture.h"
#include "fake_broker.h"
#include "support.h"

namespace movra::testing {
namespace {

TEST(Init, ServerUriIsProtocolSeparatorAndHostJoinedUnchanged) {
    Broker broker;
    for (const std::string protocol : {"tcp", "mqtt"}) {
        SDK sdk;
        initClient(sdk, broker, {.protocol = protocol});
        ConsoleCapture console;
        ASSERT_TRUE(sdk.connect());
        console.restore();
        EXPECT_EQ(console.out(),
                  "[SDK] Connected to " + protocol + "://" + broker.address() + "\n");
        EXPECT_EQ(console.err(), "");
    }
}

TEST(Init, EmptyProtocolAndHostAreRefusedByTheLibraryWithItsCode) {
    SDK sdk;
    try {
        sdk.init({.clientId = "id"});
        FAIL() << "init accepted the server URI \"://\"";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "SDK::init \xE2\x80\x94 MQTTClient_create failed: " +
                                             std::to_string(MQTTCLIENT_BAD_PROTOCOL));
    }
    EXPECT_FALSE(sdk.is_initialised());
    ConsoleCapture console;
    EXPECT_FALSE(sdk.connect());
    console.restore();
    EXPECT_EQ(console.err(), "[SDK] connect \xE2\x80\x94 call init() first\n");
    EXPECT_EQ(console.out(), "");
}

// What init hands to the library is read off the CONNECT packet itself: a real broker does not tell
// an empty user name from an absent one.
ConnectPacket connectPacketOf(const std::string& clientId, const std::string& username,
                              const std::string& password, bool cleanSession, int keepAlive) {
    FakeBroker fake(/*acceptSessions=*/false);
    SDK sdk;
    initClient(sdk, fake.address(),
               {.clientId = clientId,
                .username = username,
                .password = password,
                .cleanSession = cleanSession,
                .keepAlive = keepAlive});
    ConsoleCapture console;  // the failed connect's line is not under test here
    sdk.connect();
    auto packet = fake.waitForConnect(kPatience);
    if (!packet) throw std::runtime_error("no CONNECT arrived");
    return *packet;
}

TEST(Init, CredentialsReachTheLibraryAsGivenAndEmptyOnesAsEmptyText) {
    ConnectPacket named = connectPacketOf("named", "alice", "secret", true, 60);
    EXPECT_EQ(named.clientId, "named");
    EXPECT_EQ(named.username, std::optional<std::string>("alice"));
    EXPECT_EQ(named.password, std::optional<std::string>("secret"));

    ConnectPacket empty = connectPacketOf("empty", "", "", true, 60);
    EXPECT_EQ(empty.username, std::optional<std::string>(""));
    EXPECT_EQ(empty.password, std::optional<std::string>(""));
}

TEST(Init, KeepAliveAndCleanSessionGoIntoTheConnectOptions) {
    ConnectPacket persistent = connectPacketOf("persistent", "u", "p", false, 17);
    EXPECT_FALSE(persistent.cleanSession());
    EXPECT_EQ(persistent.keepAlive, 17);

    ConnectPacket clean = connectPacketOf("clean", "u", "p", true, 300);
    EXPECT_TRUE(clean.cleanSession());
    EXPECT_EQ(clean.keepAlive, 300);
}

TEST(Init, FailedSecondInitLeavesTheObjectUninitialisedAndTheNextInitUsable) {
    Broker broker({.verbose = true});
    SDK sdk;
    connectClient(sdk, broker, {.clientId = "first", .username = "a"});

    ConsoleCapture console;
    // Long texts force new buffers for the copies; the old ones are released.
    std::string longName(200, 'u');
    EXPECT_THROW(
        sdk.init({.clientId = "second", .username = longName, .password = std::string(300, 'p')}),
        std::runtime_error);
    EXPECT_FALSE(sdk.is_initialised());
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_FALSE(sdk.connect());
    console.restore();
    EXPECT_EQ(console.out(), "[SDK] Disconnected\n");
    EXPECT_EQ(console.err(), "[SDK] connect \xE2\x80\x94 call init() first\n");

    connectClient(sdk, broker, {.clientId = "third", .username = "carol"});
    ASSERT_TRUE(eventually([&] { return broker.log().find("as third") != std::string::npos; }));
    // MQTT 3.1.1 is "p2" in mosquitto 2.0's log and "p4" (the protocol level) from 2.1.
    EXPECT_TRUE(
        std::regex_search(broker.log(), std::regex(R"(as third \(p[24], c1, k60, u'carol'\))")))
        << broker.log();
}

}  // namespace
}  // namespace movra::testing
