// The per-object event queue and the dispatch thread that hands queued events to the handlers.
//
// Threading contract
// - pushMessage and pushConnection are called by the MQTT library's threads and by the reconnect
//   worker. They take only queueMutex, which no user code ever holds. pushMessage waits while the
//   queue is full (see below); pushConnection never waits.
// - One dispatch thread per started channel pops events in arrival order and calls the handlers, a
//   batch at a time, holding handlerMutex for the batch. handlerMutex is recursive, so a handler may
//   call back into its own object (setters, stop, ...) on the same thread.
// - setMessageHandler / setConnectionHandler take handlerMutex; they wait for a batch in progress on
//   another thread, so once they return the previous handler is not called again.
// - notifyConnection calls the connection handler in the calling thread under handlerMutex and lets
//   an exception from the handler reach the caller. It first waits until the dispatch thread has
//   delivered the connection events queued before it (a loss must not be reported after the
//   connect that followed it), except on the dispatch thread or inside a handler, where it cannot.
// - finish() waits for the dispatch thread to deliver what was queued before the call and then joins
//   it; called from inside a handler (on the dispatch thread or while this thread holds handlerMutex)
//   it cannot wait, so it leaves the thread to finish by itself and joins it later.
// - Lock order: handlerMutex before queueMutex; queueMutex is never held while a handler runs.
//   Whatever lock user code takes inside a handler (for Python: the interpreter lock) comes after
//   handlerMutex, so no thread may wait for handlerMutex while holding such a lock.
//
// Bound: at most kMaxQueuedMessages messages or kMaxQueuedBytes of topic and payload bytes wait in
// the queue. When it is full, pushMessage blocks the library's receive thread until the handler has
// caught up, which stops reading from the socket and lets TCP flow control push back on the broker:
// nothing is dropped and memory stays bounded. The one exception is a dispatch thread that is itself
// waiting on the library (a handler that publishes, subscribes, connects...): the library's receive
// thread must stay free to read the acknowledgement it waits for, so the bound is lifted until that
// wait ends. The same holds for a thread that waits on the library while it holds handlerMutex (a
// connection handler of connect/disconnect subscribing or publishing): the dispatch thread cannot
// drain the queue meanwhile. Messages that arrive after stop has begun are discarded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace movra {

using MessageHandler = std::function<void(const std::string& topic, const std::string& payload)>;
using ConnectionHandler = std::function<void(bool connected, int code)>;

// Receives an error raised by a handler on the dispatch thread, where no caller can take it.
using ErrorSink = std::function<void(std::exception_ptr)>;
// Wraps the delivery of one batch (the Python binding takes the interpreter lock here once per batch).
using DeliveryScope = std::function<void(const std::function<void()>& deliver)>;

class EventChannel {
public:
    static constexpr std::size_t kMaxQueuedMessages = 100000;
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{64} << 20;
    static constexpr std::size_t kBatchSize = 64;
    // The dispatch thread's look at an empty queue before it sleeps (see takeBatch).
    static constexpr int kPollsBeforeSleep = 3;
    static constexpr std::chrono::microseconds kPollInterval{20};
    // After a batch of at least kStreamingBatch messages the next batch is let gather for
    // kStreamingPause: a message of a stream may wait that long more; a lone message does not.
    static constexpr std::size_t kStreamingBatch = 8;
    static constexpr std::chrono::microseconds kStreamingPause{200};
    // Delivered messages of up to kRecycledBytes keep their buffers for the next ones, up to
    // kSpareEvents of them.
    static constexpr std::size_t kRecycledBytes = 1024;
    static constexpr std::size_t kSpareEvents = 2 * kBatchSize;

    EventChannel() = default;
    EventChannel(const EventChannel&) = delete;
    EventChannel& operator=(const EventChannel&) = delete;
    ~EventChannel();

    // Set once, before the first start(); read by the dispatch thread.
    void setErrorSink(ErrorSink sink) { errorSink = std::move(sink); }
    void setDeliveryScope(DeliveryScope scope) { deliveryScope = std::move(scope); }

    void setMessageHandler(MessageHandler handler);
    void setConnectionHandler(ConnectionHandler handler);

    // Calls the connection handler in this thread; its exception reaches the caller.
    void notifyConnection(bool connected, int code);

    // False when the message was discarded because the channel is stopping or stopped.
    bool pushMessage(std::string_view topic, std::string_view payload);
    void pushConnection(bool connected, int code);

    // Starts a dispatch thread (ending a previous one first, when that is possible).
    static void start(const std::shared_ptr<EventChannel>& channel);
    // Delivers what was queued before this call, then ends the dispatch thread.
    void finish();

    // Hands an error that no caller can take to the error sink (or to the console without one).
    void reportError(std::exception_ptr error);

    // True on this channel's dispatch thread.
    bool onDispatchThread() const;
    // True when this thread is inside a handler call of this channel.
    bool holdsHandlerLock() const;

    // Marks the dispatch thread, or a thread holding handlerMutex, for the scope's life, as waiting on
    // the library: the queue bound is lifted meanwhile so that the library's receive thread never
    // waits for this thread. No effect on other threads.
    class BlockingScope {
    public:
        explicit BlockingScope(EventChannel& channel);
        ~BlockingScope();
        BlockingScope(const BlockingScope&) = delete;
        BlockingScope& operator=(const BlockingScope&) = delete;

    private:
        EventChannel* channel = nullptr;
    };

private:
    struct Event {
        std::uint64_t seq = 0;
        bool isMessage = true;
        bool connected = false;
        int code = 0;
        std::string topic;
        std::string payload;
    };

    class HandlerLock;

    void push(Event event);
    void waitForQueuedConnectionEvents();
    void run(std::uint64_t generation);
    bool takeBatch(std::uint64_t generation, std::size_t lastBatch, std::vector<Event>& batch);
    void recycle(std::vector<Event>& batch);
    void deliver(std::vector<Event>& batch);
    void deliverOne(const Event& event);
    void joinLingering();

    ErrorSink errorSink;
    DeliveryScope deliveryScope;

    // Handler slots. A slot holds a shared pointer so that a handler replaced while it runs lives
    // until that call returns.
    std::recursive_mutex handlerMutex;
    std::atomic<std::thread::id> handlerOwner{};
    int handlerDepth = 0;
    std::shared_ptr<const MessageHandler> messageHandler;
    std::shared_ptr<const ConnectionHandler> connectionHandler;

    // Queue state, under queueMutex.
    std::mutex queueMutex;
    std::condition_variable queueReady;   // dispatch thread waits for events or for the stop
    std::condition_variable spaceReady;   // pushMessage waits for room
    std::condition_variable delivered;    // notifyConnection waits for queued connection events
    std::deque<Event> queue;
    std::vector<Event> spare;             // delivered messages whose buffers are reused
    std::size_t queuedMessages = 0;
    std::size_t queuedBytes = 0;
    std::uint64_t nextSeq = 0;
    std::uint64_t deliveredUpTo = 0;      // every event with a smaller seq has been handled
    std::uint64_t connectionEventsUpTo = 0;  // one past the seq of the last connection event
    std::uint64_t generation = 0;         // bumped by every start(); an older thread ends
    bool active = false;                  // a dispatch thread of the current generation runs
    bool stopping = false;
    std::uint64_t stopMark = 0;
    int dispatchBlocked = 0;
    int sleepingDispatchers = 0;          // pushMessage wakes dispatch threads only when asleep
    std::thread thread;
    std::vector<std::thread> lingering;   // threads that finish() could not join
};

}  // namespace movra
