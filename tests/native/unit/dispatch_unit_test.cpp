// Broker-less unit tests of the receive path's parts: the event queue, the handler slots and the
// dispatcher. The end-to-end tests beside this folder cover the same parts behind a real broker.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dispatcher.h"
#include "event_queue.h"
#include "handler_slots.h"

namespace movra {
namespace {

std::vector<std::string> topics(const DispatchBatch& batch) {
    std::vector<std::string> out;
    for (const DispatchItem& e : batch.items)
        out.push_back(e.isMessage ? e.topic : "conn:" + std::to_string(e.code));
    return out;
}

TEST(EventQueueUnit, HandsOutInOrderInBatchesAndDiscardsWhatFollowsTheStop) {
    EventQueue queue;
    EXPECT_FALSE(queue.pushMessage("early", "x")) << "nothing is taken before an epoch opens";
    EXPECT_FALSE(queue.close());
    const auto epoch = queue.open();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(queue.pushMessage("t" + std::to_string(i), "p"));
    queue.pushConnection(false, -1);
    EXPECT_TRUE(queue.batchReady(epoch));
    EXPECT_FALSE(queue.idle(epoch));

    DispatchBatch batch;
    ASSERT_TRUE(queue.take(epoch, batch));
    ASSERT_EQ(batch.items.size(), EventQueue::kBatchSize);
    EXPECT_EQ(batch.items.front().topic, "t0");
    EXPECT_EQ(batch.items.back().topic, "t63");
    queue.delivered(batch);
    EXPECT_TRUE(batch.items.empty());

    ASSERT_TRUE(queue.close());
    EXPECT_FALSE(queue.pushMessage("late", "x"));
    queue.pushConnection(true, 0);  // discarded as well
    ASSERT_TRUE(queue.take(epoch, batch));
    auto rest = topics(batch);
    ASSERT_EQ(rest.size(), 37u);
    EXPECT_EQ(rest.front(), "t64");
    EXPECT_EQ(rest.back(), "conn:-1");
    queue.delivered(batch);
    EXPECT_FALSE(queue.take(epoch, batch)) << "the epoch ends at the stop mark";
    EXPECT_FALSE(queue.close()) << "an ended epoch cannot be stopped again";

    // A new epoch takes messages again; a consumer of the old one ends at once.
    const auto next = queue.open();
    EXPECT_TRUE(queue.pushMessage("again", "x"));
    EXPECT_FALSE(queue.take(epoch, batch));
    ASSERT_TRUE(queue.take(next, batch));
    EXPECT_EQ(topics(batch), std::vector<std::string>{"again"});
}

TEST(EventQueueUnit, FullQueueHoldsTheProducerUntilRoomOrLiftedBound) {
    EventQueue queue;
    const auto epoch = queue.open();
    // A lone message over the bytes bound still gets into an empty queue.
    ASSERT_TRUE(queue.pushMessage("big", std::string(EventQueue::kMaxQueuedBytes + 1, 'b')));
    DispatchBatch batch;
    ASSERT_TRUE(queue.take(epoch, batch));
    queue.delivered(batch);

    std::atomic<std::size_t> pushed{0};
    auto produce = [&](std::size_t count) {
        return std::thread([&, count] {
            for (std::size_t i = 0; i < count; ++i) {
                queue.pushMessage("m", "p");
                pushed.fetch_add(1);
            }
        });
    };
    std::thread producer = produce(EventQueue::kMaxQueuedMessages + 1);
    while (pushed.load() < EventQueue::kMaxQueuedMessages) std::this_thread::yield();
    // Give the producer every chance to push past the bound; it must not.
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_EQ(pushed.load(), EventQueue::kMaxQueuedMessages);
    ASSERT_TRUE(queue.take(epoch, batch));  // room for one batch: the last message gets in
    producer.join();
    EXPECT_EQ(pushed.load(), EventQueue::kMaxQueuedMessages + 1);
    queue.delivered(batch);

    // Full again; a lifted bound lets the producer through without anyone taking.
    pushed = 0;
    producer = produce(EventQueue::kBatchSize);
    while (pushed.load() < EventQueue::kBatchSize - 1) std::this_thread::yield();
    queue.liftBound();
    producer.join();
    queue.restoreBound();
    EXPECT_EQ(pushed.load(), EventQueue::kBatchSize);

    // A stop releases a producer that waits for room, and its message is discarded.
    pushed = 0;
    std::atomic<bool> accepted{true};
    std::thread blocked([&] { accepted = queue.pushMessage("m", "p"); });
    queue.close();
    blocked.join();
    EXPECT_FALSE(accepted.load());
}

TEST(HandlerSlotsUnit, NestedGuardsPassThroughAndOtherThreadsWait) {
    HandlerSlots a, b;
    EXPECT_FALSE(a.heldByThisThread());
    {
        HandlerSlots::Guard outer(a);
        HandlerSlots::Guard nested(a);  // would deadlock on a plain lock taken twice
        HandlerSlots::Guard other(b);
        EXPECT_TRUE(a.heldByThisThread());
        EXPECT_TRUE(b.heldByThisThread());
        bool seenElsewhere = true;
        std::thread([&] { seenElsewhere = a.heldByThisThread(); }).join();
        EXPECT_FALSE(seenElsewhere);
    }
    EXPECT_FALSE(a.heldByThisThread());
    EXPECT_FALSE(b.heldByThisThread());

    // A setter waits for a handler call in progress on another thread; once it returns the old
    // handler is not called again.
    std::vector<std::string> calls;
    std::latch inside(1), release(1);
    a.setMessageHandler([&](const std::string& t, const std::string&) {
        calls.push_back("old:" + t);
        if (t == "first") {
            inside.count_down();
            release.wait();
        }
    });
    std::thread running([&] {
        HandlerSlots::Guard guard(a);
        a.deliverMessage("first", "");
    });
    inside.wait();
    std::atomic<bool> replaced{false};
    std::thread setter([&] {
        a.setMessageHandler(
            [&](const std::string& t, const std::string&) { calls.push_back("new:" + t); });
        replaced = true;
    });
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_FALSE(replaced.load());
    release.count_down();
    running.join();
    setter.join();
    {
        HandlerSlots::Guard guard(a);
        a.deliverMessage("second", "");
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"old:first", "new:second"}));
}

TEST(HandlerSlotsUnit, ErrorsGoToTheSinkOnDeliveryAndToTheCallerOnNotification) {
    HandlerSlots slots;
    std::vector<std::string> sunk;
    slots.setErrorSink([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            sunk.push_back(x.what());
        }
    });
    slots.setMessageHandler(
        [](const std::string& t, const std::string&) { throw std::runtime_error(t); });
    slots.setConnectionHandler(
        [](bool, int code) { throw std::runtime_error(std::to_string(code)); });
    {
        HandlerSlots::Guard guard(slots);
        slots.deliverMessage("m1", "");
        slots.deliverConnection(false, -1);
        slots.deliverMessage("m2", "");
    }
    EXPECT_EQ(sunk, (std::vector<std::string>{"m1", "-1", "m2"}));
    EXPECT_THROW(slots.callConnection(true, 0), std::runtime_error);
    EXPECT_FALSE(slots.heldByThisThread()) << "the lock is released when the handler raises";
}

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> seen;
    void add(std::string s) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(s));
    }
};

TEST(DispatcherUnit, DeliversInArrivalOrderFinishesWhatWasQueuedAndRestarts) {
    auto dispatcher = std::make_shared<Dispatcher>();
    Recorder rec;
    std::atomic<int> scopes{0};
    dispatcher->setDeliveryScope([&](const std::function<void()>& body) {
        ++scopes;
        body();
    });
    dispatcher->setMessageHandler(
        [&](const std::string& t, const std::string& p) { rec.add(t + "=" + p); });
    dispatcher->setConnectionHandler([&](bool c, int code) {
        rec.add(std::string(c ? "up:" : "down:") + std::to_string(code));
    });
    Dispatcher::start(dispatcher);
    std::vector<std::string> expected;
    for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(dispatcher->pushMessage("t", std::to_string(i)));
        expected.push_back("t=" + std::to_string(i));
        if (i == 250) {
            dispatcher->pushConnection(false, -1);
            expected.push_back("down:-1");
        }
    }
    // Waits for the queued loss, then runs in this thread.
    dispatcher->notifyConnection(true, 0);
    dispatcher->finish();
    EXPECT_FALSE(dispatcher->pushMessage("t", "after"));
    auto upAt = std::find(rec.seen.begin(), rec.seen.end(), "up:0");
    ASSERT_NE(upAt, rec.seen.end());
    EXPECT_GT(upAt - rec.seen.begin(), 251)
        << "the caller's notification came before the queued loss";
    rec.seen.erase(upAt);
    EXPECT_EQ(rec.seen, expected);
    EXPECT_GT(scopes.load(), 0);
    EXPECT_LE(scopes.load(), 501) << "one scope serves a batch";

    rec.seen.clear();
    Dispatcher::start(dispatcher);
    ASSERT_TRUE(dispatcher->pushMessage("again", "1"));
    dispatcher->finish();
    EXPECT_EQ(rec.seen, std::vector<std::string>{"again=1"});
}

TEST(DispatcherUnit, HandlerMayFinishRestartAndDropItsOwnDispatcher) {
    auto dispatcher = std::make_shared<Dispatcher>();
    std::weak_ptr<Dispatcher> weak = dispatcher;
    Recorder rec;
    std::latch done(1);
    Dispatcher* raw = dispatcher.get();
    std::shared_ptr<Dispatcher> owner = dispatcher;
    dispatcher->setMessageHandler([&](const std::string& t, const std::string&) {
        rec.add(t);
        if (t == "restart") {
            EXPECT_TRUE(raw->onDispatchThread());
            EXPECT_TRUE(raw->holdsHandlerLock());
            Dispatcher::start(owner);  // cannot join this thread: leaves it lingering
        } else if (t == "finish") {
            raw->finish();  // cannot wait for itself
            owner.reset();  // the last reference the test holds goes here
            done.count_down();
        }
    });
    Dispatcher::start(dispatcher);
    dispatcher.reset();
    ASSERT_TRUE(raw->pushMessage("restart", ""));
    // The message reaches the new thread once the restart is done; order is kept.
    while (raw->pushMessage("finish", "") == false) std::this_thread::yield();
    done.wait();
    // Every dispatch thread holds a reference until it leaves its loop; the last one destroys the
    // dispatcher and detaches itself.
    while (!weak.expired()) std::this_thread::yield();
    std::lock_guard lock(rec.mutex);
    EXPECT_EQ(rec.seen.front(), "restart");
    EXPECT_EQ(rec.seen.back(), "finish");
}

}  // namespace
}  // namespace movra
