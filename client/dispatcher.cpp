#include "dispatcher.h"

#include <cxxabi.h>

#include <utility>

namespace movra {
namespace {

// The dispatcher whose loop runs on this thread, if any.
thread_local const Dispatcher* dispatchingOn = nullptr;

}  // namespace

Dispatcher::~Dispatcher() {
    // Every dispatch thread holds a reference to the dispatcher, so when this runs they have all
    // left their loop. The last of them may be the one running this destructor.
    std::vector<std::thread> threads = std::move(lingering);
    if (thread.joinable()) threads.push_back(std::move(thread));
    for (auto& t : threads) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

void Dispatcher::notifyConnection(bool connected, int code) {
    if (!onDispatchThread() && !holdsHandlerLock()) queue.waitForConnectionEvents();
    slots.callConnection(connected, code);
}

void Dispatcher::pushOutcome(const PublishOutcome& outcome) {
    bool mark;
    {
        MutexLock lock(outcomeMutex);
        outcomes.push_back(outcome);
        mark = !outcomesMarked;
        outcomesMarked = true;
    }
    if (mark && !queue.pushOutcomesMark()) {
        MutexLock lock(outcomeMutex);
        outcomesMarked = false;
    }
}

void Dispatcher::deliverOutcomes() {
    {
        MutexLock lock(outcomeMutex);
        deliveredOutcomes.swap(outcomes);
        outcomesMarked = false;
    }
    if (outcomeSink && !deliveredOutcomes.empty()) outcomeSink(deliveredOutcomes);
    deliveredOutcomes.clear();
}

void Dispatcher::start(const std::shared_ptr<Dispatcher>& dispatcher) {
    Dispatcher& d = *dispatcher;
    d.joinLingering();
    std::thread previous;
    {
        // The new epoch and its thread are set together: two starts at once each end up with the
        // other's thread as their previous one, and the last epoch opened keeps its thread.
        MutexLock lock(d.threadsMutex);
        previous = std::move(d.thread);
        const std::uint64_t epoch = d.queue.open();
        d.thread = std::thread([keep = dispatcher, epoch] { keep->run(epoch); });
    }
    if (previous.joinable()) {
        // A thread of an older epoch leaves its loop as soon as it sees the new one.
        if (previous.get_id() == std::this_thread::get_id() || d.holdsHandlerLock()) {
            MutexLock lock(d.threadsMutex);
            d.lingering.push_back(std::move(previous));
        } else {
            previous.join();
        }
    }
}

void Dispatcher::finish() {
    std::thread t;
    {
        MutexLock lock(threadsMutex);
        if (!queue.close()) return;
        t = std::move(thread);
    }
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id() || holdsHandlerLock()) {
        // The dispatch thread is inside a handler on this thread's behalf (or is this thread): it
        // delivers the rest and ends once the handler returns.
        MutexLock lock(threadsMutex);
        lingering.push_back(std::move(t));
        return;
    }
    t.join();
    joinLingering();
}

void Dispatcher::joinLingering() {
    if (holdsHandlerLock()) return;
    std::vector<std::thread> threads;
    {
        MutexLock lock(threadsMutex);
        threads.swap(lingering);
    }
    std::vector<std::thread> keep;
    for (auto& t : threads) {
        if (t.get_id() == std::this_thread::get_id())
            keep.push_back(std::move(t));
        else
            t.join();
    }
    if (!keep.empty()) {
        MutexLock lock(threadsMutex);
        for (auto& t : keep) lingering.push_back(std::move(t));
    }
}

bool Dispatcher::onDispatchThread() const { return dispatchingOn == this; }

Dispatcher::BlockingScope::BlockingScope(Dispatcher& d) {
    // The queue cannot drain while the dispatch thread waits on the library, nor while this thread
    // holds the handler lock (a connection handler running in the caller's thread): the dispatch
    // thread then waits for that lock.
    if (!d.onDispatchThread() && !d.holdsHandlerLock()) return;
    queue = &d.queue;
    queue->liftBound();
}

Dispatcher::BlockingScope::~BlockingScope() {
    if (queue != nullptr) queue->restoreBound();
}

void Dispatcher::run(std::uint64_t epoch) {
    dispatchingOn = this;
    DispatchBatch batch;
    batch.items.reserve(EventQueue::kBatchSize);
    std::size_t lastBatch = 0;
    for (;;) {
        // While messages stream in, the thread lets them gather for a moment before it takes the
        // next batch: one wake-up and one handler-lock round then serve many messages instead of a
        // few, which leaves the processor to the library's receive thread. A lone message never
        // waits for this.
        if (lastBatch >= kStreamingBatch && !queue.batchReady(epoch))
            std::this_thread::sleep_for(kStreamingPause);
        // Messages tend to come in streams. Before going to sleep the thread looks at the queue a
        // few times at short intervals, so that a stream does not cost the library's receive thread
        // a wake-up call for every message; a message that arrives meanwhile waits at most one
        // interval.
        for (int i = 0; i < kPollsBeforeSleep && queue.idle(epoch); ++i)
            std::this_thread::sleep_for(kPollInterval);
        if (!queue.take(epoch, batch)) break;
        deliver(batch);
        lastBatch = batch.items.size();
        queue.delivered(batch);
    }
    dispatchingOn = nullptr;
}

void Dispatcher::deliver(const DispatchBatch& batch) {
    HandlerSlots::Guard guard(slots);
    auto body = [&] {
        // Runs inside the guard above, through the delivery scope.
        slots.assertHeld();
        for (const DispatchItem& item : batch.items) {
            if (item.isMessage)
                slots.deliverMessage(item.topic, item.payload);
            else if (item.outcomes)
                deliverOutcomes();
            else
                slots.deliverConnection(item.connected, item.code);
        }
    };
    try {
        if (deliveryScope)
            deliveryScope(body);
        else
            body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        HandlerSlots::reportToConsole(std::current_exception());
    }
}

}  // namespace movra
