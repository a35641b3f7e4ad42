// The reconnect worker right after a loss: every attempt it makes must be able to succeed.
#include <gtest/gtest.h>

#include <string>

#include "console_capture.h"
#include "fake_broker.h"
#include "support.h"

namespace movra::testing {
namespace {

// A broker that accepts every session and then answers nothing: each session ends when the library
// misses the answer to its keep-alive ping. The library notices that inside its receive thread's
// step, and that thread keeps running for a moment after the loss callback has returned. An attempt
// made in that moment starts no receive thread of its own, nobody reads its CONNACK, and it fails
// after the connect timeout (see paho_quirks/settle.h). Every attempt after a loss must succeed at
// once.
TEST(Reconnect, EveryAttemptRightAfterAKeepAliveLossSucceeds) {
    constexpr std::size_t kLosses = 3;
    FakeBroker broker(/*acceptSessions=*/true);
    ConnectionLog log;
    SDK sdk;
    sdk.on_connection(log.handler());
    ConsoleCapture console;
    initClient(sdk, broker.address(),
               {.autoReconnect = true, .maxReconnectInterval = 1, .keepAlive = 1});
    ASSERT_TRUE(sdk.connect());
    ASSERT_TRUE(log.waitForCount(1 + 2 * kLosses, 60s)) << log.events().size() << " notices";
    sdk.stop();
    console.restore();
    EXPECT_EQ(console.err().find("Reconnect failed"), std::string::npos) << console.err();
    EXPECT_EQ(occurrences(console.out(), "[SDK] Reconnected successfully"),
              occurrences(console.out(), "[SDK] Attempting to reconnect..."));
    const auto events = log.events();
    for (std::size_t i = 0; i < 1 + 2 * kLosses; ++i)
        EXPECT_EQ(events[i], (i % 2 == 0 ? std::pair{true, 0} : std::pair{false, -1})) << i;
}

}  // namespace
}  // namespace movra::testing
