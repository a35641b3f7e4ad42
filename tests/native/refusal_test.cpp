// What the client refuses to send: a plain password in the Enterprise edition when no token could be
// made, and MQTT strings longer than their 16-bit length can carry. Each refusal writes its failure
// line, sends nothing, and leaves the client usable.
#include <cjose/cjose.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "console_capture.h"
#include "fake_broker.h"
#include "support.h"

namespace movra::testing {
namespace {

using namespace std::chrono_literals;

// An MQTT string carries a 16-bit length.
constexpr std::size_t kMqttStringLimit = 65535;

// cjose's allocations fail while `failing` is set, as they would when memory runs out.
std::atomic<bool> failing{false};
void* allocate(std::size_t size) { return failing ? nullptr : std::malloc(size); }
void* reallocate(void* pointer, std::size_t size) {
    return failing ? nullptr : std::realloc(pointer, size);
}

std::size_t segments(const std::string& token) {
    std::size_t count = 1;
    for (char c : token) count += c == '.';
    return count;
}

TEST(Refusal, EnterpriseConnectWithoutATokenFailsClosedAndSendsNothing) {
    cjose_set_alloc_funcs(allocate, reallocate, std::free);
    FakeBroker broker(/*acceptSessions=*/true);
    SDK sdk;
    initClient(sdk, broker.address(),
               {.username = "alice", .password = "plain-secret", .edition = "Enterprise"});

    failing = true;
    ConsoleCapture console;
    EXPECT_FALSE(sdk.connect());
    failing = false;
    console.restore();
    EXPECT_EQ(console.err(), "[SDK] JWK import failed\n[SDK] connect failed, rc=-100\n");
    EXPECT_FALSE(sdk.is_connected());
    EXPECT_FALSE(broker.waitForConnect(300ms).has_value()) << "the broker was contacted";

    // Once wrapping works again the next connect sends a token, never the plain password.
    ASSERT_TRUE(sdk.connect());
    auto packet = broker.waitForConnect(kPatience);
    ASSERT_TRUE(packet && packet->password);
    EXPECT_NE(*packet->password, "plain-secret");
    EXPECT_EQ(segments(*packet->password), 5u);
}

TEST(Refusal, OverlongCredentialsFailTheConnectAndSendNothing) {
    const std::string longest(kMqttStringLimit, 'x');
    const std::string over = longest + "y";
    // A password that fits as it is but not once wrapped into a token.
    const std::string wrapsTooLong(50000, 'p');
    const Settings cases[] = {
        {.clientId = over},
        {.username = over},
        {.password = over},
        {.password = wrapsTooLong, .edition = "Enterprise"},
    };
    for (const Settings& settings : cases) {
        FakeBroker broker(/*acceptSessions=*/true);
        SDK sdk;
        initClient(sdk, broker.address(), settings);
        ConsoleCapture console;
        EXPECT_FALSE(sdk.connect());
        console.restore();
        EXPECT_EQ(console.err(), "[SDK] connect failed, rc=-8\n");
        EXPECT_FALSE(broker.waitForConnect(200ms).has_value()) << "a corrupt CONNECT was sent";
    }
    // The longest string that fits is sent whole.
    FakeBroker broker(/*acceptSessions=*/true);
    SDK sdk;
    initClient(sdk, broker.address(), {.username = longest});
    ASSERT_TRUE(sdk.connect());
    auto packet = broker.waitForConnect(kPatience);
    ASSERT_TRUE(packet && packet->username);
    EXPECT_EQ(*packet->username, longest);
}

TEST(Refusal, OverlongTopicsAreRefusedAndTheNextQos1PublishCompletes) {
    Broker broker;
    // Declared before the client: the dispatch thread may still be inside the handler when the
    // waiter wakes, so the inbox must outlive the client.
    Inbox inbox;
    SDK sdk;
    sdk.on_message(inbox.handler());
    connectClient(sdk, broker);
    ASSERT_TRUE(sdk.subscribe("refusal/ok", 1));

    const std::string topic = std::string(kMqttStringLimit - 1, 'a') + "/tail";
    const std::string code = "-8";
    ConsoleCapture console;
    sdk.publish(topic, "lost", 1, false);
    EXPECT_FALSE(sdk.subscribe(topic, 1));
    sdk.unsubscribe(topic);
    sdk.publish("refusal/ok", "after", 1, false);
    ASSERT_TRUE(inbox.waitForCount(1));
    console.restore();
    EXPECT_EQ(console.err(), "[SDK] publish failed on '" + topic + "', rc=" + code + "\n" +
                                 "[SDK] subscribe failed on '" + topic + "', rc=" + code + "\n" +
                                 "[SDK] unsubscribe failed on '" + topic + "', rc=" + code + "\n");
    EXPECT_EQ(inbox.messages(), (std::vector<Message>{{"refusal/ok", "after"}}));
}

}  // namespace
}  // namespace movra::testing
