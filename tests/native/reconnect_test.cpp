// The reconnect worker: every attempt right after a loss can succeed, its back-off doubles up to the
// ceiling in the unit init gives it, a fresh loss starts it over, and neither a caller's connect nor
// a caller's disconnect leaves a second worker or a lost session behind.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

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

// The back-offs the failure lines name, in order.
std::vector<int> backoffs(const std::string& err) {
    static const std::regex line(R"(\[SDK\] Reconnect failed, rc=-?\d+\. Retrying in (-?\d+)s\n)");
    std::vector<int> waits;
    for (std::sregex_iterator it(err.begin(), err.end(), line), end; it != end; ++it)
        waits.push_back(std::stoi((*it)[1]));
    return waits;
}

// A session whose broker is killed: returns once the worker's first round has failed and it waits
// its first back-off, of one `unit`.
void loseTheBroker(SDK& sdk, Broker& broker, ConnectionLog& log, ConsoleCapture& console,
                   std::chrono::milliseconds unit) {
    sdk.on_connection(log.handler());
    connectClient(sdk, broker,
                  {.autoReconnect = true, .maxReconnectInterval = 60, .backoffUnit = unit});
    broker.kill();
    ASSERT_TRUE(console.waitForErr("Retrying in 1s\n", kPatience));
}

TEST(ReconnectBackoff, WaitsDoubleUpToTheCeilingInTheUnitInitGives) {
    constexpr auto kUnit = 100ms;
    Broker broker;
    SDK sdk;
    ConsoleCapture console;
    connectClient(sdk, broker,
                  {.autoReconnect = true, .maxReconnectInterval = 3, .backoffUnit = kUnit});
    Stopwatch watch;
    broker.kill();
    ASSERT_TRUE(eventually([&] { return backoffs(console.err()).size() >= 4; }));
    // The fourth failure follows three waits: 1 + 2 + 3 units, not as many seconds.
    const auto elapsed = watch.elapsed();
    sdk.stop();
    console.restore();
    auto waits = backoffs(console.err());
    waits.resize(4);
    EXPECT_EQ(waits, (std::vector{1, 2, 3, 3}));
    EXPECT_GE(elapsed, 6 * kUnit);
    EXPECT_LT(elapsed, 6s);
}

TEST(ReconnectBackoff, ACeilingBelowOneUnitRetriesBackToBackAfterTheFirstWait) {
    // Long enough that three refused connects of the stock library (each a few library polls,
    // and its retry as MQTT 3.1) fit in it on a loaded machine, while three waits of a unit do not.
    constexpr auto kUnit = 2s;
    Broker broker;
    SDK sdk;
    ConsoleCapture console;
    connectClient(sdk, broker,
                  {.autoReconnect = true, .maxReconnectInterval = 0, .backoffUnit = kUnit});
    broker.kill();
    ASSERT_TRUE(eventually([&] { return backoffs(console.err()).size() >= 2; }));
    Stopwatch watch;
    ASSERT_TRUE(eventually([&] { return backoffs(console.err()).size() >= 5; }));
    // Three more rounds against a closed port, none of them a unit's wait.
    EXPECT_LT(watch.elapsed(), kUnit);
    sdk.stop();
    console.restore();
    auto waits = backoffs(console.err());
    waits.resize(5);
    EXPECT_EQ(waits, (std::vector{1, 0, 0, 0, 0}));
}

// The worker is in a back-off of an hour when the caller connects: the worker ends without a
// notification of its own, and the next loss is retried at once from a fresh back-off.
TEST(ReconnectBackoff, ACallerConnectEndsTheWaitingWorkerAndANewLossStartsAfresh) {
    Broker broker;
    ConnectionLog log;
    SDK sdk;
    ConsoleCapture console;
    ASSERT_NO_FATAL_FAILURE(loseTheBroker(sdk, broker, log, console, 1h));
    broker.start();
    ASSERT_TRUE(sdk.connect());
    broker.kill();
    ASSERT_TRUE(log.waitForCount(4));
    ASSERT_TRUE(eventually([&] { return backoffs(console.err()).size() == 2; }))
        << "the second loss waited for the first one's back-off";
    sdk.stop();
    console.restore();
    EXPECT_EQ(backoffs(console.err()), (std::vector{1, 1}));
    EXPECT_EQ(occurrences(console.out(), "[SDK] Reconnected successfully"), 0u);
    // Stopped while retrying: no session to report down.
    EXPECT_EQ(log.events(),
              (std::vector<std::pair<bool, int>>{{true, 0}, {false, -1}, {true, 0}, {false, -1}}));
}

TEST(ReconnectBackoff, ADisconnectWhileRetryingIsNotConnectedAndTheWorkerGoesOn) {
    Broker broker;
    ConnectionLog log;
    SDK sdk;
    ConsoleCapture console;
    ASSERT_NO_FATAL_FAILURE(loseTheBroker(sdk, broker, log, console, 50ms));
    sdk.disconnect();
    ASSERT_TRUE(console.waitForOut("[SDK] Not connected\n", kPatience));
    broker.start();
    ASSERT_TRUE(log.waitForCount(3));
    EXPECT_TRUE(sdk.is_connected());
    sdk.stop();
    console.restore();
    EXPECT_EQ(log.events(),
              (std::vector<std::pair<bool, int>>{{true, 0}, {false, -1}, {true, 0}, {false, 0}}));
    EXPECT_EQ(occurrences(console.out(), "[SDK] Disconnected\n"), 1u)
        << "stop's, on the new session";
}

}  // namespace
}  // namespace movra::testing
