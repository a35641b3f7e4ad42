#include "event_queue.h"

#include <algorithm>
#include <utility>

namespace movra {

bool EventQueue::pushMessage(std::string_view topic, std::string_view payload) {
    const std::size_t bytes = topic.size() + payload.size();
    // A large message is copied before the lock is taken. A small one is copied under it, into the
    // buffers of a message already delivered, so that a stream costs no allocation on either side.
    if (bytes > kRecycledBytes) {
        DispatchItem item;
        item.topic.assign(topic);
        item.payload.assign(payload);
        return items.push(std::move(item), bytes).has_value();
    }
    return items
        .pushWith(bytes,
                  [&](DispatchItem& item) {
                      item.topic.assign(topic);
                      item.payload.assign(payload);
                  })
        .has_value();
}

void EventQueue::pushConnection(bool connected, int code) {
    DispatchItem item;
    item.isMessage = false;
    item.connected = connected;
    item.code = code;
    const auto ticket = items.pushPastBound(std::move(item));
    if (!ticket) return;
    MutexLock lock(mutex);
    connectionEventsUpTo = std::max(connectionEventsUpTo, *ticket + 1);
}

bool EventQueue::pushOutcomesMark() {
    DispatchItem item;
    item.isMessage = false;
    item.outcomes = true;
    return items.pushPastBound(std::move(item)).has_value();
}

std::uint64_t EventQueue::open() {
    MutexLock lock(mutex);
    const std::uint64_t epoch = currentEpoch.load() + 1;
    currentEpoch.store(epoch);
    active = true;
    // Also wakes a consumer of the older epoch, which then ends.
    items.reopen();
    return epoch;
}

bool EventQueue::close() {
    {
        MutexLock lock(mutex);
        if (!active) return false;
        items.close();
    }
    handled.notify_all();
    return true;
}

bool EventQueue::ended(std::uint64_t epoch,
                       const BoundedQueue<DispatchItem>::Status& status) const {
    return currentEpoch.load() != epoch || (status.closed && status.size == 0);
}

bool EventQueue::batchReady(std::uint64_t epoch) const {
    const auto status = items.status();
    return status.size >= kBatchSize || ended(epoch, status);
}

bool EventQueue::idle(std::uint64_t epoch) const {
    const auto status = items.status();
    return status.size == 0 && !ended(epoch, status);
}

bool EventQueue::take(std::uint64_t epoch, DispatchBatch& batch) {
    const auto upTo =
        items.popBatch(batch.items, kBatchSize, [&] { return currentEpoch.load() != epoch; });
    if (upTo) {
        batch.upTo = *upTo;
        return true;
    }
    {
        MutexLock lock(mutex);
        // A newer epoch goes on with the queue as it is.
        if (currentEpoch.load() != epoch) return false;
        // Stopped and drained: the queue stays closed until the next open().
        active = false;
    }
    items.releaseSpares();
    handled.notify_all();
    return false;
}

void EventQueue::delivered(DispatchBatch& batch) {
    if (!batch.items.empty()) {
        {
            MutexLock lock(mutex);
            handledUpTo = std::max(handledUpTo, batch.upTo);
        }
        items.recycle(batch.items, [](const DispatchItem& item) {
            return item.isMessage &&
                   item.topic.capacity() + item.payload.capacity() <= 2 * kRecycledBytes;
        });
    }
    handled.notify_all();
    batch.items.clear();
}

void EventQueue::waitForConnectionEvents() {
    MutexLock lock(mutex);
    const std::uint64_t target = connectionEventsUpTo;
    while (active && !items.status().closed && handledUpTo < target) lock.wait(handled);
}

}  // namespace movra
