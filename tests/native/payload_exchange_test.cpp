// Two clients exchange payloads that test the byte-exact path: zero bytes inside, an empty payload
// and 1 MiB of every byte value, at each quality of service, in order.
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

TEST_P(PayloadExchange, PayloadsArriveUnchangedAndInOrder) {
    const int qos = GetParam();
    Broker broker;
    Inbox inbox;
    SDK receiver, sender;
    receiver.on_message(inbox.handler());
    connectClient(receiver, broker);
    connectClient(sender, broker);
    ASSERT_TRUE(receiver.subscribe("exchange/#", qos));

    const std::vector<Message> sent = {
        {"exchange/zeros", std::string("a\0b\0\0c\0", 7)},
        {"exchange/empty", ""},
        {"exchange/only-zero", std::string(1, '\0')},
        {"exchange/mebibyte", everyByteValue(std::size_t{1} << 20)},
        {"exchange/utf8", "gr\xC3\xBC\xC3\x9F \xE2\x80\x94 \xF0\x9F\x98\x80"},
        {"exchange/invalid-utf8", "\xFF\xFE\xC3"},
    };
    for (const auto& m : sent) sender.publish(m.topic, m.payload, qos, false);
    ASSERT_TRUE(inbox.waitForCount(sent.size()));
    auto received = inbox.messages();
    ASSERT_EQ(received.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(received[i].topic, sent[i].topic);
        EXPECT_TRUE(received[i].payload == sent[i].payload)
            << sent[i].topic << ": " << received[i].payload.size() << " bytes received, "
            << sent[i].payload.size() << " sent";
    }
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
