#include "event_queue.h"

#include <utility>

namespace movra {

bool EventQueue::pushMessage(std::string_view topic, std::string_view payload) {
    const std::size_t bytes = topic.size() + payload.size();
    // A large message is copied before the lock is taken. A small one is copied under it, into the
    // buffers of a message already delivered, so that a stream costs no allocation on either side.
    const bool recycled = bytes <= kRecycledBytes;
    Event event;
    if (!recycled) {
        event.topic.assign(topic);
        event.payload.assign(payload);
    }

    std::unique_lock lock(mutex);
    spaceReady.wait(lock, [&] {
        return stopping || !active || boundLifted > 0 ||
               (queuedMessages < kMaxQueuedMessages && queuedBytes + bytes <= kMaxQueuedBytes) ||
               queuedMessages == 0;
    });
    if (stopping || !active) return false;
    if (recycled) {
        if (!spare.empty()) {
            event = std::move(spare.back());
            spare.pop_back();
        }
        event.topic.assign(topic);
        event.payload.assign(payload);
    }
    event.seq = nextSeq++;
    queue.push_back(std::move(event));
    ++queuedMessages;
    queuedBytes += bytes;
    // A consumer that is polling (see Dispatcher::run) finds the message by itself. All sleepers are
    // woken: a consumer of an older epoch may still be among them.
    bool wake = sleepingConsumers > 0;
    lock.unlock();
    if (wake) queueReady.notify_all();
    return true;
}

void EventQueue::pushConnection(bool connected, int code) {
    Event event;
    event.isMessage = false;
    event.connected = connected;
    event.code = code;
    {
        std::lock_guard lock(mutex);
        if (stopping || !active) return;
        event.seq = nextSeq++;
        connectionEventsUpTo = nextSeq;
        queue.push_back(std::move(event));
    }
    queueReady.notify_one();
}

bool EventQueue::pushOutcomesMark() {
    Event event;
    event.isMessage = false;
    event.outcomes = true;
    {
        std::lock_guard lock(mutex);
        if (stopping || !active) return false;
        event.seq = nextSeq++;
        queue.push_back(std::move(event));
    }
    queueReady.notify_one();
    return true;
}

std::uint64_t EventQueue::open() {
    std::uint64_t current;
    {
        std::lock_guard lock(mutex);
        current = ++epoch;
        stopping = false;
        active = true;
    }
    queueReady.notify_all();
    return current;
}

bool EventQueue::close() {
    {
        std::lock_guard lock(mutex);
        if (!active) return false;
        stopping = true;
        stopMark = nextSeq;
    }
    queueReady.notify_all();
    spaceReady.notify_all();
    handled.notify_all();
    return true;
}

bool EventQueue::ended(std::uint64_t e) const {
    return epoch != e || (stopping && (queue.empty() || queue.front().seq >= stopMark));
}

bool EventQueue::batchReady(std::uint64_t e) {
    std::lock_guard lock(mutex);
    return queue.size() >= kBatchSize || ended(e);
}

bool EventQueue::idle(std::uint64_t e) {
    std::lock_guard lock(mutex);
    return queue.empty() && !ended(e);
}

bool EventQueue::take(std::uint64_t e, std::vector<Event>& batch) {
    std::unique_lock lock(mutex);
    ++sleepingConsumers;
    queueReady.wait(lock, [&] { return ended(e) || !queue.empty(); });
    --sleepingConsumers;
    if (ended(e)) {
        if (epoch == e) {
            // Stopped: what arrived after the stop began is discarded.
            queue.clear();
            spare.clear();
            queuedMessages = 0;
            queuedBytes = 0;
            active = false;
            spaceReady.notify_all();
            handled.notify_all();
        }
        return false;
    }
    while (!queue.empty() && batch.size() < kBatchSize &&
           !(stopping && queue.front().seq >= stopMark)) {
        Event& front = queue.front();
        if (front.isMessage) {
            --queuedMessages;
            queuedBytes -= front.topic.size() + front.payload.size();
        }
        batch.push_back(std::move(front));
        queue.pop_front();
    }
    lock.unlock();
    spaceReady.notify_all();
    return true;
}

void EventQueue::delivered(std::vector<Event>& batch) {
    if (!batch.empty()) {
        std::lock_guard lock(mutex);
        handledUpTo = batch.back().seq + 1;
        recycle(batch);
    }
    handled.notify_all();
    batch.clear();
}

void EventQueue::recycle(std::vector<Event>& batch) {
    for (Event& event : batch) {
        if (spare.size() >= kSpareEvents) return;
        if (event.isMessage &&
            event.topic.capacity() + event.payload.capacity() <= 2 * kRecycledBytes)
            spare.push_back(std::move(event));
    }
}

void EventQueue::waitForConnectionEvents() {
    std::unique_lock lock(mutex);
    std::uint64_t target = connectionEventsUpTo;
    handled.wait(lock, [&] { return !active || stopping || handledUpTo >= target; });
}

void EventQueue::liftBound() {
    {
        std::lock_guard lock(mutex);
        ++boundLifted;
    }
    spaceReady.notify_all();
}

void EventQueue::restoreBound() {
    std::lock_guard lock(mutex);
    --boundLifted;
}

}  // namespace movra
