// Two clients exchange payloads that test the byte-exact path: zero bytes inside, an empty payload,
// 1 MiB of every byte value and a stream of rising and falling sizes, at each quality of service,
// in order.
#include <gtest/gtest.h>

#include "support.h"

namespace movra::testing {
namespace {

std::string everyByteValue(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
    return text;
}

class PayloadExchange : public ::testing::TestWithParam<int> {};

// A receiver subscribed to `filter` and a sender, both connected to their own broker.
struct Exchange {
    Broker broker;
    Inbox inbox;
    SDK receiver, sender;
    int qos;

    Exchange(const std::string& filter, int qos_) : qos(qos_) {
        receiver.on_message(inbox.handler());
        connectClient(receiver, broker);
        connectClient(sender, broker);
        EXPECT_TRUE(receiver.subscribe(filter, qos));
    }

    // Publishes every message and expects each to arrive unchanged and in order.
    void sendAndExpect(const std::vector<Message>& sent) {
        for (const auto& m : sent) sender.publish(m.topic, m.payload, qos, false);
        ASSERT_TRUE(inbox.waitForCount(sent.size()));
        auto received = inbox.messages();
        ASSERT_EQ(received.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(received[i].topic, sent[i].topic) << "message " << i;
            EXPECT_TRUE(received[i].payload == sent[i].payload)
                << "message " << i << " on " << sent[i].topic << ": " << received[i].payload.size()
                << " bytes received, " << sent[i].payload.size() << " sent";
        }
    }
};

TEST_P(PayloadExchange, PayloadsArriveUnchangedAndInOrder) {
    Exchange exchange("exchange/#", GetParam());
    exchange.sendAndExpect({
        {"exchange/zeros", std::string("a\0b\0\0c\0", 7)},
        {"exchange/empty", ""},
        {"exchange/only-zero", std::string(1, '\0')},
        {"exchange/mebibyte", everyByteValue(std::size_t{1} << 20)},
        {"exchange/utf8", "gr\xC3\xBC\xC3\x9F \xE2\x80\x94 \xF0\x9F\x98\x80"},
        {"exchange/invalid-utf8", "\xFF\xFE\xC3"},
    });
}

// Delivered messages lend their buffers to later ones: a stream whose sizes rise and fall, on
// topics of different lengths, must still arrive byte for byte.
TEST_P(PayloadExchange, AStreamOfRisingAndFallingSizesArrivesUnchanged) {
    const std::vector<std::string> topics = {"mixed/a", "mixed/a-much-longer-topic-name",
                                             "mixed/ab"};
    const std::vector<std::size_t> sizes = {0, 1000, 3, 1024, 5000, 17, 0, 2048, 1023, 64};
    std::vector<Message> sent;
    for (std::size_t i = 0; i < 400; ++i) {
        std::string payload = everyByteValue(sizes[i % sizes.size()]);
        std::string number = std::to_string(i);
        payload.replace(0, std::min(payload.size(), number.size()), number);
        sent.push_back({topics[i % topics.size()], payload});
    }
    Exchange exchange("mixed/#", GetParam());
    exchange.sendAndExpect(sent);
}

TEST_P(PayloadExchange, BothDirectionsWorkAtOnce) {
    const int qos = GetParam();
    Broker broker;
    Inbox inboxA, inboxB;
    SDK a, b;
    a.on_message(inboxA.handler());
    b.on_message(inboxB.handler());
    connectClient(a, broker);
    connectClient(b, broker);
    ASSERT_TRUE(a.subscribe("to/a", qos));
    ASSERT_TRUE(b.subscribe("to/b", qos));
    constexpr int kCount = 50;
    std::thread other([&] {
        for (int i = 0; i < kCount; ++i) b.publish("to/a", "b" + std::to_string(i), qos, false);
    });
    for (int i = 0; i < kCount; ++i) a.publish("to/b", "a" + std::to_string(i), qos, false);
    other.join();
    ASSERT_TRUE(inboxA.waitForCount(kCount));
    ASSERT_TRUE(inboxB.waitForCount(kCount));
    auto atA = inboxA.messages();
    auto atB = inboxB.messages();
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(atA[i].payload, "b" + std::to_string(i));
        EXPECT_EQ(atB[i].payload, "a" + std::to_string(i));
    }
}

INSTANTIATE_TEST_SUITE_P(AtEachQos, PayloadExchange, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return "Qos" + std::to_string(info.param); });

}  // namespace
}  // namespace movra::testing
