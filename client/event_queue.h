// The bounded queue between the library's threads and the dispatch thread.
//
// Threading contract
// - pushMessage and pushConnection are called by the MQTT library's threads and by the reconnect
//   worker; the consumer calls (batchReady, idle, take, delivered) by the one dispatch thread of the
//   current epoch; open, close and waitForConnectionEvents by caller threads. Every member takes only
//   the queue's own mutex, which is never held while anything outside this class runs.
// - pushMessage waits while the queue is full (see below); nothing else waits except take (for an
//   event or the end of its epoch) and waitForConnectionEvents (for the dispatch thread).
//
// Bound: at most kMaxQueuedMessages messages or kMaxQueuedBytes of topic and payload bytes wait. When
// the queue is full, pushMessage blocks the library's receive thread until the consumer has caught
// up, which stops reading from the socket and lets TCP flow control push back on the broker: nothing
// is dropped and memory stays bounded. liftBound() suspends the bound while a thread that the queue
// cannot drain without is itself waiting on the library (see Dispatcher::BlockingScope): the receive
// thread must stay free to read the acknowledgement that thread waits for. A lone message larger than
// the bytes bound is always admitted into an empty queue.
//
// Epochs: open() starts one; a consumer of an older epoch ends at its next take. close() marks the
// stop: what was queued before it is still handed out, what arrives after it is discarded (pushes
// return false), and the epoch's consumer ends once it has taken the rest.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace movra {

// One queued event: an inbound message, a connection change for the connection handler, or the
// mark that publish outcomes wait (Dispatcher::pushOutcome).
struct Event {
    std::uint64_t seq = 0;
    bool isMessage = true;
    bool outcomes = false;
    bool connected = false;
    int code = 0;
    std::string topic;
    std::string payload;
};

class EventQueue {
public:
    static constexpr std::size_t kMaxQueuedMessages = 100000;
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{64} << 20;
    static constexpr std::size_t kBatchSize = 64;
    // Delivered messages of up to kRecycledBytes keep their buffers for the next ones, up to
    // kSpareEvents of them.
    static constexpr std::size_t kRecycledBytes = 1024;
    static constexpr std::size_t kSpareEvents = 2 * kBatchSize;

    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // False when the message was discarded: no epoch is open, or its stop has begun.
    bool pushMessage(std::string_view topic, std::string_view payload);
    void pushConnection(bool connected, int code);
    // False when no epoch is open or its stop has begun.
    bool pushOutcomesMark();

    // Starts a new epoch and returns it; a consumer of an older one ends.
    std::uint64_t open();
    // Marks the stop of the open epoch; false when none is open (never opened, or already ended).
    bool close();

    // Consumer side, for the epoch's dispatch thread.
    // A full batch is waiting, or the epoch has ended.
    bool batchReady(std::uint64_t epoch);
    // Nothing is waiting and the epoch goes on.
    bool idle(std::uint64_t epoch);
    // Waits for events and moves up to kBatchSize of them into batch; false once the epoch has ended
    // (for the open epoch: the stop mark is reached, and what came after it is discarded).
    bool take(std::uint64_t epoch, std::vector<Event>& batch);
    // Records the batch as handled and takes its buffers back for reuse; leaves batch empty.
    void delivered(std::vector<Event>& batch);

    // Waits until the connection events queued before this call have been handled, or the epoch
    // has stopped.
    void waitForConnectionEvents();

    void liftBound();
    void restoreBound();

private:
    bool ended(std::uint64_t epoch) const;    // under mutex
    void recycle(std::vector<Event>& batch);  // under mutex

    std::mutex mutex;
    std::condition_variable queueReady;  // the consumer waits for events or for the stop
    std::condition_variable spaceReady;  // pushMessage waits for room
    std::condition_variable handled;     // waitForConnectionEvents waits for the consumer
    std::deque<Event> queue;
    std::vector<Event> spare;  // delivered messages whose buffers are reused
    std::size_t queuedMessages = 0;
    std::size_t queuedBytes = 0;
    std::uint64_t nextSeq = 0;
    std::uint64_t handledUpTo = 0;           // every event with a smaller seq has been handled
    std::uint64_t connectionEventsUpTo = 0;  // one past the seq of the last connection event
    std::uint64_t epoch = 0;
    bool active = false;  // the current epoch's consumer has not ended
    bool stopping = false;
    std::uint64_t stopMark = 0;
    int boundLifted = 0;
    int sleepingConsumers = 0;  // pushMessage wakes consumers only when asleep
};

}  // namespace movra
