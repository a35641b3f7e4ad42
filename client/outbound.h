// The outbound pipeline of one SDK: every publish, waited for or not, goes through it.
//
// Messages wait in publish order in a bounded queue. One sender thread feeds them to the library
// while fewer than maxInflight QoS 1/2 messages await their acknowledgement, so the library's own
// window (set to the same size) never fills and a library publish never blocks on it. Every
// message stays here, with its topic and payload, until it is done: QoS 0 once the library has
// written it, QoS 1 at PUBACK, QoS 2 at PUBCOMP (the library's delivery-complete callback).
// The messages of one round of sending leave as one run of packets (paho::PacketRun): segments
// full of messages rather than one per message.
//
// The code: outbound.cpp (admission, the waiting callers, outcomes, close), outbound_sender.cpp
// (the sender thread and its rounds of sending), outbound_inflight.cpp (the window of messages the
// library holds, their acknowledgements, the check after a connect).
//
// Resending. After every library connect, and before it sends anything else, the sender asks the
// library which tokens it still holds (MQTTClient_getPendingDeliveryTokens, atomic with the
// delivery-complete callback). A message the library still holds is resent by the library itself
// (a kept session: the same packet identifier, DUP set). A message it no longer holds (a clean
// session empties its list at the loss and at the connect) goes back to the front of the queue, in
// publish order, and is published afresh. Library connects wait for a library publish under way
// (LibraryConnect): every publish then lies within one library session, and no packet identifier
// can be reused between a connect and the check that follows it.
//
// Threading contract
// - submit / submitBlocking / waitBlocking: caller threads (also the dispatch thread, inside a
//   handler); they never block on the library. waitBlocking waits up to its limit.
// - acknowledged: the library's receive thread, with the library's mutex held: it takes only this
//   object's mutex and the dispatcher's outcome lock.
// - Only a thread holding sendMutex calls the library (publish, pending tokens): the sender, or a
//   waiting caller that found the queue idle (submitBlocking).
// - LibraryConnect: the threads that make library connects, inside the owner's connectMutex.
// - Lock order: sendMutex, then the library's mutexes, then mutex, then the dispatcher's locks. No
//   lock is held while user code runs: outcomes reach user code through the dispatch thread.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client_handle.h"
#include "dispatcher.h"
#include "mutex.h"
#include "thread_annotations.h"

namespace movra {

// QoS 2 messages in flight at most, whatever maxInflight: mosquitto (max_inflight_messages) and
// other brokers take no more unfinished QoS 2 messages from a client by default and leave the
// ones beyond without PUBREC, and an MQTT 3.1.1 client cannot learn the broker's figure.
inline constexpr std::size_t kMaxInflightQos2 = 20;

struct OutboundSettings {
    std::size_t maxInflight = 100;
    std::size_t maxQueued = 100000;
    std::size_t maxQueuedBytes = std::size_t{64} << 20;
};

class Outbound {
public:
    // The library's client for the sender's calls (null once released), and whether the owner's
    // session is up.
    using ClientSource = std::function<ClientHandle()>;
    using Online = std::function<bool()>;

    Outbound() = default;
    Outbound(const Outbound&) = delete;
    Outbound& operator=(const Outbound&) = delete;
    ~Outbound() {
        close();
        join();
    }

    // Starts the sender; messages are taken from now until close().
    void start(const OutboundSettings& settings, ClientSource client, Online online,
               std::shared_ptr<Dispatcher> dispatcher) EXCLUDES(mutex);
    // Fails every message still held with kPublishStopped (outcomes go to the dispatcher before it
    // finishes), refuses new ones and lets the sender end. Does not wait for the sender.
    void close() EXCLUDES(mutex);
    // Joins the sender; after the library has let go of the session, so it never waits long.
    void join();

    // Queues a message whose outcome goes to the dispatcher with tag. Returns 0 when queued, or the
    // code of an immediate failure (nothing queued, the tag stays with the caller).
    int submit(std::string_view topic, std::string_view payload, int qos, bool retained, void* tag)
        EXCLUDES(mutex);
    // Queues a message for a caller that waits (waitBlocking); one such caller at a time. Returns
    // its ticket, or 0 when the pipeline is closed.
    std::uint64_t submitBlocking(std::string_view topic, std::string_view payload, int qos,
                                 bool retained) EXCLUDES(mutex, sendMutex);
    // Waits until the message is done or failed (its code), the limit passes or interrupted()
    // turns true (nullopt). The message stays in the pipeline in the latter cases.
    std::optional<int> waitBlocking(std::uint64_t ticket, std::chrono::milliseconds limit,
                                    const std::function<bool()>& interrupted) EXCLUDES(mutex);
    // Ends a waitBlocking early so that it looks at interrupted() again.
    void wakeWaiters() EXCLUDES(mutex);
    // The session came up: the sender looks at its queue.
    void wakeSender() EXCLUDES(mutex);

    // The library's delivery-complete callback.
    void acknowledged(MQTTClient_deliveryToken token) EXCLUDES(mutex);

    // Held around every library connect of the owner's client.
    class SCOPED_CAPABILITY LibraryConnect {
    public:
        explicit LibraryConnect(Outbound& outbound) ACQUIRE(outbound.sendMutex);
        ~LibraryConnect() RELEASE();
        LibraryConnect(const LibraryConnect&) = delete;
        LibraryConnect& operator=(const LibraryConnect&) = delete;

    private:
        MutexLock lock;
    };

private:
    struct Message {
        std::uint64_t ticket = 0;
        std::string topic;
        std::string payload;
        int qos = 0;
        bool retained = false;
        void* tag = nullptr;  // null for a waiting caller's message
    };
    using Held = std::unique_ptr<Message>;
    // Free slots that make an acknowledgement wake a sleeping sender with messages waiting.
    static constexpr std::size_t kRefill = 16;
    using Inflight = std::unordered_map<MQTTClient_deliveryToken, Held>;

    // Admits a message under the bounds; false when it does not fit.
    bool admit(std::size_t bytes) REQUIRES(mutex);
    // Hands the outcome to the dispatcher, or to the waiting caller.
    void report(const Message& message, int rc) REQUIRES(mutex);
    void finish(Held message, int rc) REQUIRES(mutex);
    std::uint64_t enqueue(std::string_view topic, std::string_view payload, int qos, bool retained,
                          void* tag, bool wake) REQUIRES(mutex);
    void run() EXCLUDES(mutex, sendMutex);
    // One round of sending, by the sender or a waiting caller holding sendMutex: the check after a
    // connect, then as many publishes as the window and the queue allow. Returns false when the
    // library refused for want of a session. A waiting caller stops after its own message (upTo,
    // its ticket; 0: no end but the window and the queue).
    bool sendRound(std::uint64_t upTo) REQUIRES(sendMutex) EXCLUDES(mutex);
    // Lists a message the library now holds under token, takes one off the list.
    void track(MQTTClient_deliveryToken token, Held message) REQUIRES(mutex);
    Held untrack(Inflight::iterator listed) REQUIRES(mutex);
    // The window has room for the message, and for slots - 1 more.
    bool roomFor(const Message& message, std::size_t slots = 1) const REQUIRES(mutex);
    // The sender has something to do: a check after a connect, or a message the window takes.
    bool senderHasWork() const REQUIRES(mutex);
    void reconcile(MQTTClient client) REQUIRES(sendMutex) EXCLUDES(mutex);
    // Puts messages back at the front of the queue, in publish order.
    void requeueFront(std::vector<Held>& messages) REQUIRES(mutex);

    // Set by start() before the sender starts; read by the sender and the callers.
    ClientSource clientSource;
    Online online;
    std::shared_ptr<Dispatcher> dispatcher;

    Mutex sendMutex;
    std::uint64_t connects GUARDED_BY(sendMutex) = 0;    // library connects so far
    std::uint64_t reconciled GUARDED_BY(sendMutex) = 0;  // the connect the last check followed
    // Mirrors of connects and reconciled for the sender's wait.
    std::atomic<std::uint64_t> connectsSeen{0};
    std::atomic<std::uint64_t> reconciledSeen{0};

    Mutex mutex ACQUIRED_AFTER(sendMutex);
    std::condition_variable senderReady;
    std::condition_variable blockingDone;
    OutboundSettings settings GUARDED_BY(mutex);
    std::deque<Held> waiting GUARDED_BY(mutex);
    Inflight inflight GUARDED_BY(mutex);
    std::size_t inflightQos2 GUARDED_BY(mutex) = 0;  // of the messages in inflight
    // The message inside a library publish. The sender sets it and reads the message through a
    // pointer of its own while the library publishes; close() may report it meanwhile.
    Held transit GUARDED_BY(mutex);
    bool transitAbandoned GUARDED_BY(mutex) = false;
    // Tokens acknowledged while a publish was under way and before it returned its token.
    std::vector<MQTTClient_deliveryToken> earlyAcks GUARDED_BY(mutex);
    bool publishing GUARDED_BY(mutex) = false;
    bool senderAsleep GUARDED_BY(mutex) = false;
    bool open GUARDED_BY(mutex) = false;
    std::size_t heldMessages GUARDED_BY(mutex) = 0;
    std::size_t heldBytes GUARDED_BY(mutex) = 0;
    std::uint64_t nextTicket GUARDED_BY(mutex) = 1;
    // The waiting caller's message, and its code once done.
    std::uint64_t blockingTicket GUARDED_BY(mutex) = 0;
    std::optional<int> blockingResult GUARDED_BY(mutex);
    std::thread sender;
};

}  // namespace movra
