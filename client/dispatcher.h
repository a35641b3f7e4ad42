// The dispatch thread of one object: it takes events from the object's EventQueue in arrival order
// and hands them, a batch at a time, to the handlers in HandlerSlots.
//
// Threading contract
// - pushMessage and pushConnection are called by the MQTT library's threads and by the reconnect
//   worker; they touch only the queue (see event_queue.h).
// - One dispatch thread per started dispatcher calls the handlers, holding the slots' lock for a
//   batch. A handler may call back into its own object on that thread (see handler_slots.h).
// - notifyConnection calls the connection handler in the calling thread under the slots' lock and
//   lets an exception from the handler reach the caller. It first waits until the dispatch thread
//   has delivered the connection events queued before it (a loss must not be reported after the
//   connect that followed it), except on the dispatch thread or inside a handler, where it cannot.
// - start() ends a previous dispatch thread and starts one for a new queue epoch; concurrent starts
//   leave the thread of the last epoch opened running. finish() waits for
//   the dispatch thread to deliver what was queued before the call and then joins it; called from
//   inside a handler (on the dispatch thread or while this thread holds the slots' lock) it cannot
//   wait, so it leaves the thread to finish by itself ("lingering") and a later start, finish or
//   the destructor joins it.
// - pushOutcome is called by any thread (the outbound pipeline, under its own lock); it takes only
//   outcomeMutex and the queue's locks. The dispatch thread hands what has gathered to the outcome
//   sink in one call, inside the delivery scope and under the slots' lock, as it does a handler.
// - Lock order: the slots' lock, then threadsMutex, then outcomeMutex, then the queue's locks (see
//   event_queue.h); no lock of this class or of the queue is held while a handler runs, except the
//   slots' lock itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "event_queue.h"
#include "handler_slots.h"
#include "mutex.h"
#include "publish_outcome.h"
#include "thread_annotations.h"

namespace movra {

// Wraps the delivery of one batch (the Python binding takes the interpreter lock here once per batch).
using DeliveryScope = std::function<void(const std::function<void()>& deliver)>;

class Dispatcher {
public:
    // The dispatch thread's look at an empty queue before it sleeps (see run).
    static constexpr int kPollsBeforeSleep = 3;
    static constexpr std::chrono::microseconds kPollInterval{20};
    // After a batch of at least kStreamingBatch messages the next batch is let gather for
    // kStreamingPause: a message of a stream may wait that long more; a lone message does not.
    static constexpr std::size_t kStreamingBatch = 8;
    static constexpr std::chrono::microseconds kStreamingPause{200};

    Dispatcher() = default;
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    ~Dispatcher();

    // Set once, before the first start(); read by the dispatch thread.
    void setErrorSink(ErrorSink sink) { slots.setErrorSink(std::move(sink)); }
    void setDeliveryScope(DeliveryScope scope) { deliveryScope = std::move(scope); }
    void setOutcomeSink(OutcomeSink sink) { outcomeSink = std::move(sink); }

    void setMessageHandler(MessageHandler handler) { slots.setMessageHandler(std::move(handler)); }
    void setConnectionHandler(ConnectionHandler handler) {
        slots.setConnectionHandler(std::move(handler));
    }

    // Calls the connection handler in this thread; its exception reaches the caller.
    void notifyConnection(bool connected, int code);

    // False when the message was discarded because the dispatcher is stopping or stopped.
    bool pushMessage(std::string_view topic, std::string_view payload) {
        return queue.pushMessage(topic, payload);
    }
    void pushConnection(bool connected, int code) { queue.pushConnection(connected, code); }
    // Records a publish outcome for the dispatch thread; outcomes gather until it takes them.
    void pushOutcome(const PublishOutcome& outcome) EXCLUDES(outcomeMutex);

    // Starts a dispatch thread (ending a previous one first, when that is possible).
    static void start(const std::shared_ptr<Dispatcher>& dispatcher);
    // Delivers what was queued before this call, then ends the dispatch thread.
    void finish() EXCLUDES(threadsMutex);

    void reportError(std::exception_ptr error) { slots.reportError(std::move(error)); }

    // True on this dispatcher's dispatch thread.
    bool onDispatchThread() const;
    // True when this thread is inside a handler call of this dispatcher.
    bool holdsHandlerLock() const { return slots.heldByThisThread(); }

    // Marks the dispatch thread, or a thread holding the slots' lock, for the scope's life, as
    // waiting on the library: the queue bound is lifted meanwhile so that the library's receive
    // thread never waits for this thread (nobody else can drain the queue). No effect on other
    // threads.
    class BlockingScope {
    public:
        explicit BlockingScope(Dispatcher& dispatcher);
        ~BlockingScope();
        BlockingScope(const BlockingScope&) = delete;
        BlockingScope& operator=(const BlockingScope&) = delete;

    private:
        EventQueue* queue = nullptr;
    };

private:
    void run(std::uint64_t epoch);
    void deliver(const DispatchBatch& batch);
    void deliverOutcomes() EXCLUDES(outcomeMutex);
    void joinLingering() EXCLUDES(threadsMutex);

    EventQueue queue;
    HandlerSlots slots;
    DeliveryScope deliveryScope;
    OutcomeSink outcomeSink;

    Mutex outcomeMutex;
    std::vector<PublishOutcome> outcomes GUARDED_BY(outcomeMutex);
    bool outcomesMarked GUARDED_BY(outcomeMutex) = false;  // a mark for them is queued
    std::vector<PublishOutcome> deliveredOutcomes;         // the dispatch thread's, reused

    Mutex threadsMutex ACQUIRED_BEFORE(outcomeMutex);
    std::thread thread GUARDED_BY(threadsMutex);
    std::vector<std::thread> lingering GUARDED_BY(threadsMutex);  // threads finish() could not join
};

}  // namespace movra
