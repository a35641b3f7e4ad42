// The bounded queue between the library's threads and the dispatch thread.
//
// Threading contract
// - pushMessage and pushConnection are called by the MQTT library's threads and by the reconnect
//   worker; the consumer calls (batchReady, idle, take, delivered) by the one dispatch thread of the
//   current epoch; open, close and waitForConnectionEvents by caller threads. Every member takes only
//   this class's own locks (mutex, then the item queue's), never held while anything outside this
//   class runs.
// - pushMessage waits while the queue is full (see below); nothing else waits except take (for an
//   item or the end of its epoch) and waitForConnectionEvents (for the dispatch thread).
//
// Bound: at most kMaxQueuedMessages messages or kMaxQueuedBytes of topic and payload bytes wait. When
// the queue is full, pushMessage blocks the library's receive thread until the consumer has caught
// up, which stops reading from the socket and lets TCP flow control push back on the broker: nothing
// is dropped and memory stays bounded. liftBound() suspends the bound while a thread that the queue
// cannot drain without is itself waiting on the library (see Dispatcher::BlockingScope): the receive
// thread must stay free to read the acknowledgement that thread waits for. A lone message larger than
// the bytes bound is always admitted into an empty queue. Connection changes and outcome marks pass
// the bound (BoundedQueue::pushPastBound): they never wait.
//
// Epochs: open() starts one; a consumer of an older epoch ends at its next take. close() marks the
// stop: what was queued before it is still handed out, what arrives after it is discarded (pushes
// return false), and the epoch's consumer ends once it has taken the rest.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bounded_queue.h"
#include "mutex.h"
#include "thread_annotations.h"

namespace movra {

// What the dispatch thread hands to the handlers: an inbound message, a connection change for the
// connection handler, or the mark that publish outcomes wait (Dispatcher::pushOutcome).
struct DispatchItem {
    bool isMessage = true;
    bool outcomes = false;
    bool connected = false;
    int code = 0;
    std::string topic;
    std::string payload;
};

// One take's items, and how far the queue has been taken with them.
struct DispatchBatch {
    std::vector<DispatchItem> items;
    std::uint64_t upTo = 0;  // one past the ticket of the last item
};

class EventQueue {
public:
    static constexpr std::size_t kMaxQueuedMessages = 100000;
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{64} << 20;
    static constexpr std::size_t kBatchSize = 64;
    // Delivered messages of up to kRecycledBytes keep their buffers for the next ones, up to
    // kSpareItems of them.
    static constexpr std::size_t kRecycledBytes = 1024;
    static constexpr std::size_t kSpareItems = 2 * kBatchSize;

    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // False when the message was discarded: no epoch is open, or its stop has begun.
    bool pushMessage(std::string_view topic, std::string_view payload);
    void pushConnection(bool connected, int code) EXCLUDES(mutex);
    // False when no epoch is open or its stop has begun.
    bool pushOutcomesMark();

    // Starts a new epoch and returns it; a consumer of an older one ends.
    std::uint64_t open() EXCLUDES(mutex);
    // Marks the stop of the open epoch; false when none is open (never opened, or already ended).
    bool close() EXCLUDES(mutex);

    // Consumer side, for the epoch's dispatch thread.
    // A full batch is waiting, or the epoch has ended.
    bool batchReady(std::uint64_t epoch) const;
    // Nothing is waiting and the epoch goes on.
    bool idle(std::uint64_t epoch) const;
    // Waits for items and moves up to kBatchSize of them into batch; false once the epoch has ended
    // (for the open epoch: the stop is reached and what was queued before it is taken).
    bool take(std::uint64_t epoch, DispatchBatch& batch) EXCLUDES(mutex);
    // Records the batch as handled and takes its buffers back for reuse; leaves batch empty.
    void delivered(DispatchBatch& batch) EXCLUDES(mutex);

    // Waits until the connection events queued before this call have been handled, or the epoch
    // has stopped.
    void waitForConnectionEvents() EXCLUDES(mutex);

    void liftBound() { items.suspendBound(); }
    void restoreBound() { items.resumeBound(); }

private:
    bool ended(std::uint64_t epoch, const BoundedQueue<DispatchItem>::Status& status) const;

    // Closed outside an epoch and from its stop on; reopened by open().
    BoundedQueue<DispatchItem> items{{.maxItems = kMaxQueuedMessages,
                                      .maxWeight = kMaxQueuedBytes,
                                      .maxSpares = kSpareItems,
                                      .startOpen = false}};
    // Written under mutex; read by the consumers' stop test under the item queue's lock.
    std::atomic<std::uint64_t> currentEpoch{0};

    Mutex mutex;
    std::condition_variable handled;        // waitForConnectionEvents waits for the consumer
    bool active GUARDED_BY(mutex) = false;  // the current epoch's consumer has not ended
    std::uint64_t handledUpTo GUARDED_BY(mutex) = 0;  // every item of a lower ticket is handled
    // One past the ticket of the last connection change queued.
    std::uint64_t connectionEventsUpTo GUARDED_BY(mutex) = 0;
};

}  // namespace movra
