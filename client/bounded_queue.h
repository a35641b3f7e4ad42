// A first-in first-out queue between threads, bounded in items and in weight.
//
// Each item is pushed with a weight (for messages: their bytes). The bound holds at most maxItems
// items and maxWeight of weight; a push waits while the item does not fit, try-push refuses it. An
// item is always admitted into a queue that holds no bounded item, however heavy, so that a lone
// large item cannot wait for ever. pushPastBound adds an item outside the bound (a control item that
// must neither wait nor be refused for room); it is not counted. suspendBound() lets every push
// through until the matching resumeBound(), for a time when the consumer cannot drain the queue.
//
// close() refuses every push from then on (waiting pushes return empty-handed) and lets the
// consumers take what is left; a pop returns nothing once the queue is closed and empty. reopen()
// takes pushes again. A queue starts closed or open as its constructor is told.
//
// Every item gets a ticket, its place in push order since construction (0, 1, 2, ...). Nothing
// leaves the queue but through a pop, so a pop that leaves n items taken in all has taken every
// ticket below n: popBatch returns that n.
//
// Items taken out may be handed back with recycle(): the queue keeps up to maxSpares of them and
// pushWith fills a kept one in place, so that a stream of items reuses their buffers.
//
// Threading contract: every member may be called from any thread. The queue's one lock is held
// while pushWith's fill runs and while popBatch's stop test runs, never while anything else
// outside this class does. A pop wakes when an item arrives, at close() and at wakeConsumers():
// whoever changes what a stop test reads calls wakeConsumers() after the change.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "mutex.h"
#include "thread_annotations.h"

namespace movra {

template <class T>
class BoundedQueue {
public:
    struct Limits {
        std::size_t maxItems = std::numeric_limits<std::size_t>::max();
        std::size_t maxWeight = std::numeric_limits<std::size_t>::max();
        std::size_t maxSpares = 0;
        bool startOpen = true;
    };
    struct Status {
        std::size_t size = 0;  // every item queued, bounded or not
        bool closed = false;
    };

    explicit BoundedQueue(Limits given) : limits(given), closed(!given.startOpen) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Waits for room, then queues the item; its ticket, or nothing when the queue is (or gets)
    // closed first.
    std::optional<std::uint64_t> push(T item, std::size_t weight = 0) EXCLUDES(mutex) {
        return admit(weight, Admission::Wait, [&](T& slot) { slot = std::move(item); });
    }
    // As push, but writes the item in place under the lock: fill(T&) gets a recycled item, or a
    // new one when none is kept.
    template <class Fill>
    std::optional<std::uint64_t> pushWith(std::size_t weight, Fill&& fill) EXCLUDES(mutex) {
        return admit(weight, Admission::Wait, fill, true);
    }
    // Queues the item only when it fits now.
    std::optional<std::uint64_t> tryPush(T item, std::size_t weight = 0) EXCLUDES(mutex) {
        return admit(weight, Admission::IfRoom, [&](T& slot) { slot = std::move(item); });
    }
    // Queues the item outside the bound: never waits, refused only when closed.
    std::optional<std::uint64_t> pushPastBound(T item) EXCLUDES(mutex) {
        return admit(0, Admission::PastBound, [&](T& slot) { slot = std::move(item); });
    }

    // Waits for an item and takes it; false once the queue is closed and empty.
    bool pop(T& out) EXCLUDES(mutex) {
        std::vector<T> one;
        if (!popBatch(one, 1, [] { return false; })) return false;
        out = std::move(one.front());
        return true;
    }
    // Waits for items and moves up to max of them onto the end of out. Returns the number of items
    // taken from the queue in all so far, or nothing when the queue is closed and empty or stop()
    // (run under the lock) turns true, in which case nothing is taken.
    template <class Stop>
    std::optional<std::uint64_t> popBatch(std::vector<T>& out, std::size_t max, Stop&& stop)
        EXCLUDES(mutex) {
        MutexLock lock(mutex);
        ++waitingConsumers;
        while (!stop() && items.empty() && !closed) lock.wait(itemReady);
        --waitingConsumers;
        if (stop() || items.empty()) return std::nullopt;
        for (std::size_t n = 0; n < max && !items.empty(); ++n) {
            Slot& front = items.front();
            if (front.bounded) {
                --boundedItems;
                weight -= front.weight;
            }
            out.push_back(std::move(front.item));
            items.pop_front();
            ++taken;
        }
        const std::uint64_t upTo = taken;
        const bool wake = waitingProducers > 0;
        lock.unlock();
        if (wake) roomReady.notify_all();
        return upTo;
    }

    void close() EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
            closed = true;
        }
        itemReady.notify_all();
        roomReady.notify_all();
    }
    void reopen() EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
            closed = false;
        }
        itemReady.notify_all();
    }
    // Wakes the waiting pops to run their stop test again.
    void wakeConsumers() EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
        }
        itemReady.notify_all();
    }

    void suspendBound() EXCLUDES(mutex) {
        {
            MutexLock lock(mutex);
            ++boundSuspended;
        }
        roomReady.notify_all();
    }
    void resumeBound() EXCLUDES(mutex) {
        MutexLock lock(mutex);
        --boundSuspended;
    }

    Status status() const EXCLUDES(mutex) {
        MutexLock lock(mutex);
        return {items.size(), closed};
    }

    // Keeps the items that keep(item) accepts, up to maxSpares in all, for pushWith; the rest of
    // taken is left as it is.
    template <class Keep>
    void recycle(std::vector<T>& taken, Keep&& keep) EXCLUDES(mutex) {
        MutexLock lock(mutex);
        for (T& item : taken) {
            if (spares.size() >= limits.maxSpares) return;
            if (keep(item)) spares.push_back(std::move(item));
        }
    }
    // Frees the kept items.
    void releaseSpares() EXCLUDES(mutex) {
        std::vector<T> released;
        {
            MutexLock lock(mutex);
            released.swap(spares);
        }
    }

private:
    struct Slot {
        T item;
        std::size_t weight = 0;
        bool bounded = true;
    };

    bool hasRoom(std::size_t more) const REQUIRES(mutex) {
        return boundSuspended > 0 || boundedItems == 0 ||
               (boundedItems < limits.maxItems && weight + more <= limits.maxWeight);
    }
    enum class Admission { Wait, IfRoom, PastBound };

    // The one way in. A consumer that sleeps is woken; one that polls finds the item by itself.
    // All sleepers are woken: one of them may be about to leave without taking anything.
    template <class Fill>
    std::optional<std::uint64_t> admit(std::size_t itemWeight, Admission how, Fill&& fill,
                                       bool recycled = false) EXCLUDES(mutex) {
        MutexLock lock(mutex);
        const bool bounded = how != Admission::PastBound;
        if (how == Admission::Wait) {
            ++waitingProducers;
            while (!closed && !hasRoom(itemWeight)) lock.wait(roomReady);
            --waitingProducers;
        }
        if (closed || (how == Admission::IfRoom && !hasRoom(itemWeight))) return std::nullopt;
        T item{};
        if (recycled && !spares.empty()) {
            item = std::move(spares.back());
            spares.pop_back();
        }
        fill(item);
        items.push_back(Slot{std::move(item), itemWeight, bounded});
        if (bounded) {
            ++boundedItems;
            weight += itemWeight;
        }
        const std::uint64_t ticket = pushed++;
        const bool wake = waitingConsumers > 0;
        lock.unlock();
        if (wake) itemReady.notify_all();
        return ticket;
    }

    const Limits limits;
    mutable Mutex mutex;
    std::condition_variable itemReady;  // pops wait for items, the close or wakeConsumers
    std::condition_variable roomReady;  // pushes wait for room or the close
    std::deque<Slot> items GUARDED_BY(mutex);
    std::vector<T> spares GUARDED_BY(mutex);
    std::size_t boundedItems GUARDED_BY(mutex) = 0;
    std::size_t weight GUARDED_BY(mutex) = 0;
    std::uint64_t pushed GUARDED_BY(mutex) = 0;
    std::uint64_t taken GUARDED_BY(mutex) = 0;
    int boundSuspended GUARDED_BY(mutex) = 0;
    int waitingProducers GUARDED_BY(mutex) = 0;
    int waitingConsumers GUARDED_BY(mutex) = 0;
    bool closed GUARDED_BY(mutex);
};

}  // namespace movra
