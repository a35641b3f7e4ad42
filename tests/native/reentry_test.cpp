// Re-entry: a handler may call any method of its own object. Each action runs once from a message
// handler (dispatch thread) and once from the connection handler of connect (caller's thread, with
// the handler lock held); it must return promptly and take effect. A loss handler may reconnect, and
// a message handler may stop or even destroy its own object, or stop and connect it again while
// another thread initialises it anew.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>

#include "console_capture.h"
#include "support.h"

namespace movra::testing {
namespace {

constexpr auto kPrompt = 5s;

enum class Action {
    Publish0,
    Publish1,
    Publish2,
    Subscribe,
    Unsubscribe,
    Connect,
    Disconnect,
    SetMessageHandler,
    SetConnectionHandler,
    Stop
};

std::string nameOf(Action action) {
    switch (action) {
        case Action::Publish0:
            return "PublishQos0";
        case Action::Publish1:
            return "PublishQos1";
        case Action::Publish2:
            return "PublishQos2";
        case Action::Subscribe:
            return "Subscribe";
        case Action::Unsubscribe:
            return "Unsubscribe";
        case Action::Connect:
            return "Connect";
        case Action::Disconnect:
            return "Disconnect";
        case Action::SetMessageHandler:
            return "SetMessageHandler";
        case Action::SetConnectionHandler:
            return "SetConnectionHandler";
        case Action::Stop:
            return "Stop";
    }
    return "?";
}

// The object under test, a listener that sees what it publishes, and the record of one action.
class Reentry : public ::testing::TestWithParam<Action> {
protected:
    void SetUp() override {
        listener.on_message(echoes.handler());
        connectClient(listener, broker);
        ASSERT_TRUE(listener.subscribe("reentry/out", 2));
    }

    // Runs the action on `sdk` from inside one of its handlers; records result and duration.
    void act() {
        if (acted.exchange(true)) return;
        Stopwatch watch;
        switch (GetParam()) {
            case Action::Publish0:
                sdk.publish("reentry/out", "qos0", 0, false);
                break;
            case Action::Publish1:
                sdk.publish("reentry/out", "qos1", 1, false);
                break;
            case Action::Publish2:
                sdk.publish("reentry/out", "qos2", 2, false);
                break;
            case Action::Subscribe:
                result = sdk.subscribe("reentry/extra", 1);
                break;
            case Action::Unsubscribe:
                sdk.unsubscribe("reentry/in");
                break;
            case Action::Connect:
                result = sdk.connect();
                break;
            case Action::Disconnect:
                sdk.disconnect();
                break;
            case Action::SetMessageHandler:
                sdk.on_message(replacement.handler());
                break;
            case Action::SetConnectionHandler:
                sdk.on_connection(connections.handler());
                break;
            case Action::Stop:
                sdk.stop();
                break;
        }
        took = watch.elapsed();
        done.set();
    }

    // What the action did, seen from outside once it has returned.
    void verify(const std::string& out) {
        ASSERT_TRUE(done.wait()) << "the action never returned";
        EXPECT_LT(took, kPrompt);
        switch (GetParam()) {
            case Action::Publish0:
            case Action::Publish1:
            case Action::Publish2: {
                ASSERT_TRUE(echoes.waitForCount(1));
                std::string expected = "qos" + std::to_string(static_cast<int>(GetParam()));
                EXPECT_EQ(echoes.messages()[0].payload, expected);
                break;
            }
            case Action::Subscribe:
                EXPECT_TRUE(result);
                EXPECT_NE(out.find("[SDK] Subscribed to: reentry/extra\n"), std::string::npos);
                break;
            case Action::Unsubscribe:
                EXPECT_NE(out.find("[SDK] Unsubscribed from: reentry/in\n"), std::string::npos);
                break;
            case Action::Connect:
                EXPECT_TRUE(result);
                EXPECT_NE(out.find("[SDK] Already connected\n"), std::string::npos);
                break;
            case Action::Disconnect:
                EXPECT_FALSE(sdk.is_connected());
                EXPECT_NE(out.find("[SDK] Disconnected\n"), std::string::npos);
                break;
            case Action::SetMessageHandler:
                ASSERT_TRUE(sdk.subscribe("reentry/next", 1));
                listener.publish("reentry/next", "to the replacement", 1, false);
                ASSERT_TRUE(replacement.waitForCount(1));
                EXPECT_EQ(replacement.messages()[0].payload, "to the replacement");
                break;
            case Action::SetConnectionHandler:
                sdk.disconnect();
                ASSERT_TRUE(connections.waitForCount(1));
                EXPECT_EQ(connections.events().back(), std::make_pair(false, 0));
                break;
            case Action::Stop:
                EXPECT_FALSE(sdk.is_initialised());
                EXPECT_FALSE(sdk.is_connected());
                // The object is usable again.
                connectClient(sdk, broker);
                EXPECT_TRUE(sdk.subscribe("reentry/again", 0));
                break;
        }
    }

    Broker broker;
    Inbox echoes, replacement;
    ConnectionLog connections;
    Flag done;
    std::atomic<bool> acted{false};
    bool result = false;
    std::chrono::milliseconds took{0};
    SDK listener;
    SDK sdk;  // destroyed first: its handlers refer to the members above
};

TEST_P(Reentry, FromAMessageHandler) {
    sdk.on_message([this](const std::string&, const std::string&) { act(); });
    connectClient(sdk, broker);
    ASSERT_TRUE(sdk.subscribe("reentry/in", 1));
    ConsoleCapture console;
    listener.publish("reentry/in", "go", 1, false);
    ASSERT_TRUE(done.wait());
    console.restore();
    verify(console.out());
}

TEST_P(Reentry, FromTheConnectionHandlerOfConnect) {
    initClient(sdk, broker);
    sdk.on_connection([this](bool connected, int) {
        if (connected) act();
    });
    ConsoleCapture console;
    EXPECT_TRUE(sdk.connect());
    console.restore();
    verify(console.out());
}

INSTANTIATE_TEST_SUITE_P(EachMethod, Reentry,
                         ::testing::Values(Action::Publish0, Action::Publish1, Action::Publish2,
                                           Action::Subscribe, Action::Unsubscribe, Action::Connect,
                                           Action::Disconnect, Action::SetMessageHandler,
                                           Action::SetConnectionHandler, Action::Stop),
                         [](const auto& info) { return nameOf(info.param); });

TEST(ReentryOnLoss, ALossHandlerMayReconnectSubscribeAndPublish) {
    Broker broker;
    Inbox inbox;
    Flag restarted, done;
    bool reconnected = false, subscribed = false;
    SDK sdk;
    sdk.on_message(inbox.handler());
    sdk.on_connection([&](bool connected, int code) {
        if (connected || code != -1) return;
        // The notification of a loss runs on the dispatch thread; the test restarts the broker.
        if (!restarted.wait()) return;
        reconnected = sdk.connect();
        subscribed = sdk.subscribe("loss/t", 1);
        sdk.publish("loss/t", "after the loss", 1, false);
        done.set();
    });
    ConsoleCapture console;
    connectClient(sdk, broker, {.autoReconnect = false});
    broker.kill();
    ASSERT_TRUE(console.waitForErr("[SDK] Connection lost: ", kPatience));
    broker.start();
    restarted.set();
    ASSERT_TRUE(done.wait());
    EXPECT_TRUE(reconnected);
    EXPECT_TRUE(subscribed);
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(inbox.messages()[0], (Message{"loss/t", "after the loss"}));
    sdk.on_connection(nullptr);
}

TEST(ReentryOnLoss, ALossHandlerMayStopItsObject) {
    Broker broker;
    Flag done;
    SDK sdk;
    sdk.on_connection([&](bool connected, int code) {
        if (connected || code != -1) return;
        sdk.stop();
        done.set();
    });
    ConsoleCapture console;
    // Waits of 20 ms: a worker that outlived the stop would attempt a dozen times in the window below.
    connectClient(sdk, broker,
                  {.autoReconnect = true, .maxReconnectInterval = 1, .backoffUnit = 20ms});
    broker.kill();
    ASSERT_TRUE(done.wait());
    EXPECT_FALSE(sdk.is_initialised());
    const std::size_t stoppedAt = console.out().size();
    // No reconnect attempt follows a stop (one already under way when it came may still report).
    std::this_thread::sleep_for(250ms);
    console.restore();
    const std::string afterStop = console.out().substr(stoppedAt);
    EXPECT_EQ(occurrences(console.out(), "Reconnected successfully"), 0u);
    EXPECT_LE(occurrences(afterStop, "[SDK] Attempting to reconnect...\n"), 1u) << afterStop;
}

TEST(ReentryDestruction, AMessageHandlerMayDestroyItsOwnObject) {
    // The handler and what it touches live on the heap, owned by the handler itself: the dispatch
    // thread of a self-destroyed object finishes on its own, possibly after this test returned.
    struct State {
        Flag destroyed;
        ConnectionLog log;
        std::unique_ptr<SDK> owner = std::make_unique<SDK>();
    };
    auto state = std::make_shared<State>();
    Broker broker;
    SDK sender;
    SDK& sdk = *state->owner;
    sdk.on_connection(state->log.handler());
    sdk.on_message([state](const std::string&, const std::string&) {
        if (!state->owner) return;
        state->owner.reset();
        state->destroyed.set();
    });
    connectClient(sdk, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(sdk.subscribe("destroy/t", 1));
    ConsoleCapture console;
    for (int i = 0; i < 10; ++i) sender.publish("destroy/t", "x", 1, false);
    ASSERT_TRUE(state->destroyed.wait());
    console.restore();
    EXPECT_NE(console.out().find("[SDK] Disconnected\n"), std::string::npos);
    EXPECT_EQ(state->log.events().back(), std::make_pair(false, 0));
}

TEST(ReentryInit, AHandlerStopsAndConnectsWhileAnotherThreadInitialisesAgain) {
    Broker broker;
    Flag stopped;
    std::atomic<bool> handled{false};
    std::atomic<bool> handlerConnected{true};
    SDK sdk;
    sdk.on_message([&](const std::string&, const std::string&) {
        if (handled.exchange(true)) return;
        sdk.stop();
        stopped.set();
        // Gives the other thread time to be inside init, joining this (lingering) dispatch thread,
        // before this connect asks for the object's connect lock.
        std::this_thread::sleep_for(200ms);
        handlerConnected = sdk.connect();
    });
    connectClient(sdk, broker);
    ASSERT_TRUE(sdk.subscribe("reinit/t", 0));
    sdk.publish("reinit/t", "x", 0, false);
    ASSERT_TRUE(stopped.wait());
    auto reinit = std::async(std::launch::async, [&] { initClient(sdk, broker); });
    if (reinit.wait_for(kPatience) != std::future_status::ready) {
        // Both threads wait for each other: nothing can be destroyed or joined any more.
        std::fputs("init and a handler's connect deadlocked\n", stderr);
        std::_Exit(1);
    }
    reinit.get();
    // The handler's connect ran before the new init took effect: the object was stopped then.
    EXPECT_FALSE(handlerConnected);
    EXPECT_TRUE(sdk.is_initialised());
    EXPECT_TRUE(sdk.connect());
}

}  // namespace
}  // namespace movra::testing
