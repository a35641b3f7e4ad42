// The event queue's bound (EventQueue::kMaxQueuedMessages / kMaxQueuedBytes): under a flood that a
// held handler cannot keep up with, nothing is lost, the order is kept, the memory the queue holds
// stays near the bound instead of growing with the flood, and a handler that publishes at QoS 1
// while the queue is full is not stalled by the receive thread waiting for room.
#include <gtest/gtest.h>
#include <malloc.h>

#include "line_publisher.h"
#include "support.h"

namespace movra::testing {
namespace {

// The sanitizers replace the allocator, so the heap statistics below describe only glibc's heap.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapIsMeasurable = false;
#else
constexpr bool kHeapIsMeasurable = true;
#endif

constexpr std::size_t kMessageSize = 64 * 1024;
constexpr std::size_t kMessagesInBound = EventQueue::kMaxQueuedBytes / kMessageSize;

std::size_t heapInUse() {
    struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Waits until the flood has filled the client's queue: the heap has grown by more than half the
// bound (the flood arrived) and then stopped growing (the receive thread waits for room). Where the
// heap cannot be measured, gives the broker a fixed while to push what the client will take.
// Returns the growth.
std::size_t waitForTheQueueToFill(std::size_t before) {
    if (!kHeapIsMeasurable) {
        std::this_thread::sleep_for(1500ms);
        return 0;
    }
    constexpr std::size_t kStill = 1u << 20;
    std::size_t last = 0;
    int stillSamples = 0;
    eventually([&] {
        std::this_thread::sleep_for(100ms);
        const std::size_t now = heapInUse();
        const std::size_t grown = now - std::min(before, now);
        stillSamples = grown + kStill > last && last + kStill > grown ? stillSamples + 1 : 0;
        last = grown;
        return grown > EventQueue::kMaxQueuedBytes / 2 && stillSamples >= 3;
    });
    return last;
}

std::string numbered(std::size_t i) {
    std::string payload(kMessageSize, 'f');
    std::string number = std::to_string(i) + ":";
    payload.replace(0, number.size(), number);
    return payload;
}

// A receiver whose handler holds the first message until released, and a sender in another process.
struct Flood {
    Broker broker;
    Flag held, release;
    Inbox inbox;
    std::function<void()> onRelease;
    SDK receiver;
    LinePublisher sender{broker, "flood"};

    Flood() {
        receiver.on_message([this](const std::string& topic, const std::string& payload) {
            if (!held.isSet()) {
                held.set();
                release.wait();
                if (onRelease) onRelease();
            }
            inbox.add(topic, payload);
        });
        connectClient(receiver, broker);
        EXPECT_TRUE(receiver.subscribe("flood", 0));
    }

    void send(std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) sender.send(numbered(i));
        sender.finish();
    }

    void expectAllInOrder(std::size_t count) {
        ASSERT_TRUE(inbox.waitForCount(count, 60s)) << inbox.size() << " of " << count;
        auto received = inbox.messages();
        ASSERT_EQ(received.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(received[i].payload.size(), kMessageSize) << "message " << i;
            ASSERT_EQ(received[i].payload.compare(0, std::to_string(i).size() + 1,
                                                  std::to_string(i) + ":"),
                      0)
                << "message " << i << " out of order";
        }
    }
};

TEST(QueueBound, AHeldHandlerUnderAFloodLosesNothingAndTheQueueStaysNearItsBound) {
    Flood flood;
    const std::size_t count = 2 * kMessagesInBound;
    flood.sender.send(numbered(0));
    ASSERT_TRUE(flood.held.wait());
    ::malloc_trim(0);
    const std::size_t before = heapInUse();
    flood.send(1, count);
    const std::size_t grown = waitForTheQueueToFill(before);
    flood.release.set();
    flood.expectAllInOrder(count);
    if (kHeapIsMeasurable) {
        // The flood is twice the bound; an unbounded queue would hold all of it.
        EXPECT_LT(grown, EventQueue::kMaxQueuedBytes + (16u << 20)) << grown << " bytes held";
        EXPECT_GT(grown, EventQueue::kMaxQueuedBytes / 2) << "the flood did not reach the client";
    }
}

TEST(QueueBound, AHandlerPublishingAtQos1WhileTheQueueIsFullIsNotStalled) {
    Flood flood;
    Inbox acks;
    SDK listener;
    listener.on_message(acks.handler());
    connectClient(listener, flood.broker);
    ASSERT_TRUE(listener.subscribe("ack", 1));
    std::chrono::milliseconds took{0};
    flood.onRelease = [&] {
        Stopwatch watch;
        flood.receiver.publish("ack", "from a full queue", 1, false);
        took = watch.elapsed();
    };
    const std::size_t count = kMessagesInBound + kMessagesInBound / 2;
    ::malloc_trim(0);
    const std::size_t before = heapInUse();
    flood.send(0, count);
    ASSERT_TRUE(flood.held.wait());
    waitForTheQueueToFill(before);
    flood.release.set();
    flood.expectAllInOrder(count);
    EXPECT_LT(took, 5s);
    ASSERT_TRUE(acks.waitForCount(1));
}

}  // namespace
}  // namespace movra::testing
