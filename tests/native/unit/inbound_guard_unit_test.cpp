// The inbound guard's rules, one conversation per case: what the client sends and what the
// broker answers, fed whole and byte by byte; the first violation is named, or none is found.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inbound_guard.h"

namespace {

struct Step {
    bool broker;
    std::vector<std::uint8_t> bytes;
};
using Conversation = std::vector<Step>;

const Step kConnect{false, {0x10, 0x0c, 0, 4, 'M', 'Q', 'T', 'T', 4, 2, 0, 60, 0, 0}};
const Step kConnack{true, {0x20, 2, 0, 0}};
const Step kSubscribe1{false, {0x82, 6, 0, 1, 0, 1, 'a', 1}};  // identifier 1, one filter

// Runs the conversation; returns the violation ("" for none).
std::string run(const Conversation& steps, bool byteByByte) {
    std::unique_ptr<movra_guard, void (*)(movra_guard*)> guard(movra_guard_new(), movra_guard_free);
    const char* violation = nullptr;
    for (const Step& step : steps) {
        const std::size_t chunk = byteByByte ? 1 : step.bytes.size();
        for (std::size_t at = 0; at < step.bytes.size(); at += chunk) {
            if (step.broker)
                violation = movra_guard_received(guard.get(), step.bytes.data() + at, chunk);
            else
                movra_guard_sending(guard.get(), step.bytes.data() + at, chunk);
        }
    }
    return violation ? violation : "";
}

Conversation connected(std::vector<Step> rest) {
    Conversation steps{kConnect, kConnack};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

TEST(InboundGuard, AConversationThatKeepsTheRulesPasses) {
    const Conversation steps = connected({
        kSubscribe1,
        {true, {0x90, 3, 0, 1, 1}},
        {false, {0xa2, 5, 0, 2, 0, 1, 'a'}},
        {true, {0xb0, 2, 0, 2}},
        {false, {0x32, 6, 0, 1, 'a', 0, 3, 'x'}},
        {true, {0x40, 2, 0, 3}},  // QoS 1 out
        {false, {0x34, 6, 0, 1, 'a', 0, 4, 'x'}},
        {true, {0x50, 2, 0, 4}},  // QoS 2 out
        {false, {0x62, 2, 0, 4}},
        {true, {0x70, 2, 0, 4}},
        {true, {0x30, 4, 0, 1, 'a', 'x'}},  // QoS 0 in
        {true, {0x34, 6, 0, 1, 'a', 0, 5, 'x'}},
        {false, {0x50, 2, 0, 5}},  // QoS 2 in
        {true, {0x62, 2, 0, 5}},
        {true, {0x62, 2, 0, 5}},  // PUBREL repeated
        {false, {0xc0, 0}},
        {true, {0xd0, 0}},
        {true, {0x30, 0x82, 0x01, 0, 1, 'a', 'p'}},
    });
    // The last PUBLISH is cut short on purpose: a packet still arriving is no violation.
    EXPECT_EQ(run(steps, false), "");
    EXPECT_EQ(run(steps, true), "");
}

TEST(InboundGuard, EachViolationIsNamed) {
    struct Case {
        Conversation steps;
        std::string violation;
    };
    const std::vector<Case> cases = {
        {connected({kSubscribe1, {true, {0x20, 2, 0, 0}}}), "a second CONNACK on the connection"},
        {{kConnack}, "CONNACK without a CONNECT"},
        {{kConnect, {true, {0x30, 4, 0, 1, 'a', 'x'}}}, "PUBLISH before the CONNACK"},
        {connected({kSubscribe1, {true, {0xb0, 2, 0, 1}}}),
         "UNSUBACK while no UNSUBSCRIBE awaits one"},
        {connected({kSubscribe1, {true, {0x90, 3, 0, 9, 0}}}),
         "SUBACK for packet identifier 9, which nothing awaits"},
        {connected({kSubscribe1, {true, {0x90, 4, 0, 1, 0, 0}}}), "SUBACK with remaining length 4"},
        {connected({kSubscribe1, {true, {0x90, 3, 0, 1, 3}}}), "SUBACK with return code 0x03"},
        {connected({{true, {0x90, 3, 0, 1, 0}}}), "SUBACK while no SUBSCRIBE awaits one"},
        {connected({{true, {0x00, 0}}}), "reserved packet type 0"},
        {connected({{true, {0xf0, 0}}}), "reserved packet type 15"},
        {connected({{true, {0x10, 0}}}), "a CONNECT, which only clients send"},
        {connected({{true, {0xe0, 0}}}), "a DISCONNECT, which only clients send"},
        {connected({{true, {0x60, 2, 0, 1}}}), "PUBREL with fixed-header flags 0x0"},
        {connected({{true, {0x36, 6, 0, 1, 'a', 0, 1, 'x'}}}), "PUBLISH with QoS 3"},
        {connected({{true, {0x30, 0xff, 0xff, 0xff, 0xff, 0x7f}}}),
         "PUBLISH with a remaining length longer than four bytes"},
        {connected({{true, {0x30, 4, 0, 0, 'a', 'x'}}}), "PUBLISH with an empty topic"},
        {connected({{true, {0x30, 4, 0, 9, 'a', 'x'}}}),
         "PUBLISH whose topic is longer than the packet"},
        {connected({{true, {0x32, 6, 0, 1, 'a', 0, 0, 'x'}}}),
         "PUBLISH of QoS 1 with packet identifier 0"},
        {{kConnect, {true, {0x20, 3, 0, 0, 0}}}, "CONNACK with remaining length 3"},
        {{kConnect, {true, {0x20, 2, 2, 0}}}, "CONNACK with reserved flags 0x02"},
        {{kConnect, {true, {0x20, 2, 0, 6}}}, "CONNACK with reserved return code 6"},
        {{kConnect, {true, {0x20, 2, 1, 5}}}, "CONNACK that refuses with a session present"},
        {connected({{false, {0x32, 6, 0, 1, 'a', 0, 3, 'x'}},
                    {true, {0x40, 2, 0, 3}},
                    {true, {0x40, 2, 0, 3}}}),
         "PUBACK while no PUBLISH awaits one"},
        {connected({{false, {0x34, 6, 0, 1, 'a', 0, 4, 'x'}}, {true, {0x50, 2, 0, 3}}}),
         "PUBREC for packet identifier 3, which nothing awaits"},
        {connected({{false, {0x62, 2, 0, 4}}, {true, {0x70, 2, 0, 5}}}),
         "PUBCOMP for packet identifier 5, which nothing awaits"},
        {connected({{true, {0x62, 2, 0, 0}}}), "PUBREL with packet identifier 0"},
        {connected({{true, {0xd0, 0}}}), "PINGRESP while no PINGREQ awaits one"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.steps, false), c.violation);
        EXPECT_EQ(run(c.steps, true), c.violation);
    }
}

TEST(InboundGuard, AWriteSentAgainCountsOnceAndANonMqttConnectionIsLeftAlone) {
    // The SUBSCRIBE's last four bytes did not go out and are written again: one SUBACK only.
    std::unique_ptr<movra_guard, void (*)(movra_guard*)> guard(movra_guard_new(), movra_guard_free);
    movra_guard_sending(guard.get(), kConnect.bytes.data(), kConnect.bytes.size());
    EXPECT_EQ(movra_guard_received(guard.get(), kConnack.bytes.data(), 4), nullptr);
    movra_guard_sending(guard.get(), kSubscribe1.bytes.data(), 8);
    movra_guard_unsent(guard.get(), 4);
    movra_guard_sending(guard.get(), kSubscribe1.bytes.data() + 4, 4);
    const std::uint8_t suback[] = {0x90, 3, 0, 1, 1};
    EXPECT_EQ(movra_guard_received(guard.get(), suback, 5), nullptr);
    EXPECT_STREQ(movra_guard_received(guard.get(), suback, 5),
                 "SUBACK while no SUBSCRIBE awaits one");

    // A WebSocket connection begins with its HTTP upgrade: its frames are not MQTT packets.
    const std::string upgrade = "GET /mqtt HTTP/1.1\r\n\r\n";
    EXPECT_EQ(run({{false, {upgrade.begin(), upgrade.end()}}, {true, {0x00, 0xff, 0x17}}}, false),
              "");
}

}  // namespace
