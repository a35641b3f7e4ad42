#include "event_channel.h"

#include <cxxabi.h>

#include <utility>

#include "console.h"

namespace movra {
namespace {

// The channel whose dispatch loop runs on this thread, if any.
thread_local const EventChannel* dispatchingChannel = nullptr;

void reportToConsole(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        console::err(std::string("handler raised: ") + e.what());
    } catch (...) {
        console::err("handler raised an unknown error");
    }
}

}  // namespace

// handlerMutex with a record of its owner, so that finish() can tell it is called from a handler.
class EventChannel::HandlerLock {
public:
    explicit HandlerLock(EventChannel& c) : channel(c) {
        channel.handlerMutex.lock();
        if (channel.handlerDepth++ == 0) channel.handlerOwner.store(std::this_thread::get_id());
    }
    ~HandlerLock() {
        if (--channel.handlerDepth == 0) channel.handlerOwner.store(std::thread::id{});
        channel.handlerMutex.unlock();
    }
    HandlerLock(const HandlerLock&) = delete;
    HandlerLock& operator=(const HandlerLock&) = delete;

private:
    EventChannel& channel;
};

EventChannel::~EventChannel() {
    // Every dispatch thread holds a reference to the channel, so when this runs they have all left
    // their loop. The last of them may be the one running this destructor.
    std::vector<std::thread> threads = std::move(lingering);
    if (thread.joinable()) threads.push_back(std::move(thread));
    for (auto& t : threads) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

void EventChannel::setMessageHandler(MessageHandler handler) {
    auto next = handler ? std::make_shared<const MessageHandler>(std::move(handler)) : nullptr;
    HandlerLock lock(*this);
    messageHandler.swap(next);
    // The previous handler is released here, still under the lock.
}

void EventChannel::setConnectionHandler(ConnectionHandler handler) {
    auto next = handler ? std::make_shared<const ConnectionHandler>(std::move(handler)) : nullptr;
    HandlerLock lock(*this);
    connectionHandler.swap(next);
}

void EventChannel::notifyConnection(bool connected, int code) {
    waitForQueuedConnectionEvents();
    HandlerLock lock(*this);
    auto handler = connectionHandler;
    if (handler) (*handler)(connected, code);
}

bool EventChannel::pushMessage(std::string_view topic, std::string_view payload) {
    const std::size_t bytes = topic.size() + payload.size();
    // A large message is copied before the lock is taken. A small one is copied under it, into the
    // buffers of a message already delivered, so that a stream costs no allocation on either side.
    const bool recycled = bytes <= kRecycledBytes;
    Event event;
    if (!recycled) {
        event.topic.assign(topic);
        event.payload.assign(payload);
    }

    std::unique_lock lock(queueMutex);
    spaceReady.wait(lock, [&] {
        return stopping || !active || dispatchBlocked > 0 ||
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
    // A dispatch thread that is polling (see takeBatch) finds the message by itself. All sleepers
    // are woken: a thread of an older generation may still be among them.
    bool wake = sleepingDispatchers > 0;
    lock.unlock();
    if (wake) queueReady.notify_all();
    return true;
}

void EventChannel::pushConnection(bool connected, int code) {
    Event event;
    event.isMessage = false;
    event.connected = connected;
    event.code = code;
    push(std::move(event));
}

void EventChannel::push(Event event) {
    {
        std::lock_guard lock(queueMutex);
        if (stopping || !active) return;
        event.seq = nextSeq++;
        connectionEventsUpTo = nextSeq;
        queue.push_back(std::move(event));
    }
    queueReady.notify_one();
}

void EventChannel::waitForQueuedConnectionEvents() {
    if (onDispatchThread() || holdsHandlerLock()) return;
    std::unique_lock lock(queueMutex);
    std::uint64_t target = connectionEventsUpTo;
    delivered.wait(lock, [&] { return !active || stopping || deliveredUpTo >= target; });
}

void EventChannel::start(const std::shared_ptr<EventChannel>& channel) {
    EventChannel& c = *channel;
    c.joinLingering();
    std::thread previous;
    std::uint64_t gen;
    {
        std::lock_guard lock(c.queueMutex);
        previous = std::move(c.thread);
        gen = ++c.generation;
        c.stopping = false;
        c.active = true;
    }
    c.queueReady.notify_all();
    if (previous.joinable()) {
        // A thread of an older generation leaves its loop as soon as it sees the new generation.
        if (previous.get_id() == std::this_thread::get_id() || c.holdsHandlerLock()) {
            std::lock_guard lock(c.queueMutex);
            c.lingering.push_back(std::move(previous));
        } else {
            previous.join();
        }
    }
    std::thread next([keep = channel, gen] { keep->run(gen); });
    std::lock_guard lock(c.queueMutex);
    c.thread = std::move(next);
}

void EventChannel::finish() {
    std::thread t;
    {
        std::lock_guard lock(queueMutex);
        if (!active) return;
        stopping = true;
        stopMark = nextSeq;
        t = std::move(thread);
    }
    queueReady.notify_all();
    spaceReady.notify_all();
    delivered.notify_all();
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id() || holdsHandlerLock()) {
        // The dispatch thread is inside a handler on this thread's behalf (or is this thread): it
        // delivers the rest and ends once the handler returns.
        std::lock_guard lock(queueMutex);
        lingering.push_back(std::move(t));
        return;
    }
    t.join();
    joinLingering();
}

void EventChannel::joinLingering() {
    if (holdsHandlerLock()) return;
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(queueMutex);
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
        std::lock_guard lock(queueMutex);
        for (auto& t : keep) lingering.push_back(std::move(t));
    }
}

bool EventChannel::onDispatchThread() const { return dispatchingChannel == this; }

bool EventChannel::holdsHandlerLock() const {
    return handlerOwner.load() == std::this_thread::get_id();
}

EventChannel::BlockingScope::BlockingScope(EventChannel& c) {
    // The queue cannot drain while the dispatch thread waits on the library, nor while this thread
    // holds the handler lock (a connection handler running in the caller's thread): the dispatch
    // thread then waits for that lock.
    if (!c.onDispatchThread() && !c.holdsHandlerLock()) return;
    channel = &c;
    {
        std::lock_guard lock(c.queueMutex);
        ++c.dispatchBlocked;
    }
    c.spaceReady.notify_all();
}

EventChannel::BlockingScope::~BlockingScope() {
    if (channel == nullptr) return;
    std::lock_guard lock(channel->queueMutex);
    --channel->dispatchBlocked;
}

bool EventChannel::takeBatch(std::uint64_t gen, std::size_t lastBatch, std::vector<Event>& batch) {
    std::unique_lock lock(queueMutex);
    auto done = [&] {
        return generation != gen || (stopping && (queue.empty() || queue.front().seq >= stopMark));
    };
    // While messages stream in, the thread lets them gather for a moment before it takes the next
    // batch: one wake-up and one handler-lock round then serve many messages instead of a few, which
    // leaves the processor to the library's receive thread. A lone message never waits for this.
    if (lastBatch >= kStreamingBatch && queue.size() < kBatchSize && !done()) {
        lock.unlock();
        std::this_thread::sleep_for(kStreamingPause);
        lock.lock();
    }
    // Messages tend to come in streams. Before going to sleep the thread looks at the queue a few
    // times at short intervals, so that a stream does not cost the library's receive thread a
    // wake-up call for every message; a message that arrives meanwhile waits at most one interval.
    for (int i = 0; i < kPollsBeforeSleep && queue.empty() && !done(); ++i) {
        lock.unlock();
        std::this_thread::sleep_for(kPollInterval);
        lock.lock();
    }
    ++sleepingDispatchers;
    queueReady.wait(lock, [&] { return done() || !queue.empty(); });
    --sleepingDispatchers;
    if (done()) {
        if (generation == gen) {
            // Stopped: what arrived after the stop began is discarded.
            queue.clear();
            spare.clear();
            queuedMessages = 0;
            queuedBytes = 0;
            active = false;
            spaceReady.notify_all();
            delivered.notify_all();
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

void EventChannel::run(std::uint64_t gen) {
    dispatchingChannel = this;
    std::vector<Event> batch;
    batch.reserve(kBatchSize);
    std::size_t lastBatch = 0;
    while (takeBatch(gen, lastBatch, batch)) {
        deliver(batch);
        lastBatch = batch.size();
        {
            std::lock_guard lock(queueMutex);
            deliveredUpTo = batch.back().seq + 1;
            recycle(batch);
        }
        delivered.notify_all();
        batch.clear();
    }
    dispatchingChannel = nullptr;
}

void EventChannel::recycle(std::vector<Event>& batch) {
    for (Event& event : batch) {
        if (spare.size() >= kSpareEvents) return;
        if (event.isMessage && event.topic.capacity() + event.payload.capacity() <= 2 * kRecycledBytes)
            spare.push_back(std::move(event));
    }
}

void EventChannel::deliver(std::vector<Event>& batch) {
    HandlerLock lock(*this);
    auto body = [&] {
        for (const Event& event : batch) deliverOne(event);
    };
    try {
        if (deliveryScope)
            deliveryScope(body);
        else
            body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        reportToConsole(std::current_exception());
    }
}

void EventChannel::deliverOne(const Event& event) {
    try {
        if (event.isMessage) {
            auto handler = messageHandler;
            if (handler) (*handler)(event.topic, event.payload);
        } else {
            auto handler = connectionHandler;
            if (handler) (*handler)(event.connected, event.code);
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        reportError(std::current_exception());
    }
}

void EventChannel::reportError(std::exception_ptr error) {
    try {
        if (errorSink) {
            errorSink(error);
            return;
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    reportToConsole(std::move(error));
}

}  // namespace movra
