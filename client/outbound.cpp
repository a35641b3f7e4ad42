// The outbound pipeline's queue and its callers: admission under the bounds, the callers that wait,
// the outcomes, and the close.
#include "outbound.h"

#include <algorithm>

#include "publish_outcome.h"

namespace movra {
namespace {

// MQTT's largest packet; a PUBLISH also carries its fixed header, the topic's length and a packet
// identifier.
constexpr std::size_t kMaxPacket = 268435455;
constexpr std::size_t kPublishOverhead = 5 + 2 + 2;
constexpr std::size_t kMaxTopic = 65535;

int checkMessage(std::string_view topic, std::string_view payload, int qos) {
    if (qos < 0 || qos > 2) return MQTTCLIENT_BAD_QOS;
    if (topic.empty() || topic.find_first_of(std::string_view("+#\0", 3)) != topic.npos)
        return kPublishInvalidTopic;
    if (topic.size() > kMaxTopic) return MQTTCLIENT_BAD_STRUCTURE;
    if (payload.size() > kMaxPacket - kPublishOverhead - topic.size()) return kPublishTooLarge;
    return 0;
}

}  // namespace

void Outbound::start(const OutboundSettings& given, ClientSource client, Online isOnline,
                     std::shared_ptr<Dispatcher> dispatcher) {
    join();
    {
        MutexLock lock(mutex);
        settings = given;
        clientSource = std::move(client);
        online = std::move(isOnline);
        this->dispatcher = std::move(dispatcher);
        open = true;
    }
    sender = std::thread(&Outbound::run, this);
}

void Outbound::close() {
    {
        MutexLock lock(mutex);
        if (!open) return;
        open = false;
        while (!waiting.empty()) {
            Held message = std::move(waiting.front());
            waiting.pop_front();
            finish(std::move(message), kPublishStopped);
        }
        // In publish order, as they were sent.
        std::vector<Held> sent;
        for (auto& entry : inflight) sent.push_back(std::move(entry.second));
        inflight.clear();
        inflightQos2 = 0;
        std::sort(sent.begin(), sent.end(),
                  [](const Held& a, const Held& b) { return a.get()->ticket < b.get()->ticket; });
        for (Held& message : sent) finish(std::move(message), kPublishStopped);
        if (transit) {
            // The sender still reads this message inside the library; it drops it on return.
            report(*transit, kPublishStopped);
            transit->tag = nullptr;
            transitAbandoned = true;
        }
    }
    senderReady.notify_all();
    blockingDone.notify_all();
}

void Outbound::join() {
    if (sender.joinable() && sender.get_id() != std::this_thread::get_id()) sender.join();
}

int Outbound::submit(std::string_view topic, std::string_view payload, int qos, bool retained,
                     void* tag) {
    if (const int rc = checkMessage(topic, payload, qos); rc != 0) return rc;
    MutexLock lock(mutex);
    if (!open) return kPublishStopped;
    if (!admit(topic.size() + payload.size())) return kPublishQueueFull;
    enqueue(topic, payload, qos, retained, tag, true);
    return 0;
}

std::uint64_t Outbound::submitBlocking(std::string_view topic, std::string_view payload, int qos,
                                       bool retained) {
    std::uint64_t ticket;
    {
        MutexLock lock(mutex);
        if (!open) return 0;
        blockingResult.reset();
        ticket = blockingTicket = enqueue(topic, payload, qos, retained, nullptr, false);
    }
    // A waiting caller sends the queue itself when nobody else is sending: one thread hand-over
    // less for each message. Otherwise the sender takes it.
    if (sendMutex.tryLock()) {
        MutexLock send(sendMutex, std::adopt_lock);
        if (online()) sendRound(ticket);
    }
    // What is left (messages behind this one, or this one) is the sender's.
    bool wake;
    {
        MutexLock lock(mutex);
        wake = senderAsleep && !waiting.empty();
    }
    if (wake) senderReady.notify_all();
    return ticket;
}

std::optional<int> Outbound::waitBlocking(std::uint64_t ticket, std::chrono::milliseconds limit,
                                          const std::function<bool()>& interrupted) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    MutexLock lock(mutex);
    while (!blockingResult.has_value() && open && !interrupted() &&
           lock.waitUntil(blockingDone, deadline) != std::cv_status::timeout) {
    }
    std::optional<int> result;
    if (blockingTicket == ticket) result = blockingResult;
    blockingTicket = 0;
    blockingResult.reset();
    return result;
}

void Outbound::wakeWaiters() {
    {
        MutexLock lock(mutex);
    }
    blockingDone.notify_all();
}

void Outbound::wakeSender() {
    {
        MutexLock lock(mutex);
    }
    senderReady.notify_all();
}

bool Outbound::admit(std::size_t bytes) {
    // A lone message is always admitted, however large: otherwise it could never be sent.
    if (heldMessages == 0) return true;
    return heldMessages < settings.maxQueued && heldBytes + bytes <= settings.maxQueuedBytes;
}

std::uint64_t Outbound::enqueue(std::string_view topic, std::string_view payload, int qos,
                                bool retained, void* tag, bool wake) {
    auto message = std::make_unique<Message>();
    message->ticket = nextTicket++;
    message->topic.assign(topic);
    message->payload.assign(payload);
    message->qos = qos;
    message->retained = retained;
    message->tag = tag;
    ++heldMessages;
    heldBytes += topic.size() + payload.size();
    const std::uint64_t ticket = message->ticket;
    waiting.push_back(std::move(message));
    // A sleeping sender with other messages queued waits for the window: acknowledgements wake it.
    if (wake && senderAsleep && waiting.size() == 1) senderReady.notify_one();
    return ticket;
}

void Outbound::report(const Message& message, int rc) {
    --heldMessages;
    heldBytes -= message.topic.size() + message.payload.size();
    if (message.tag != nullptr) {
        dispatcher->pushOutcome({message.tag, rc});
    } else if (message.ticket == blockingTicket) {
        blockingResult = rc;
        blockingDone.notify_all();
    }
}

void Outbound::finish(Held message, int rc) { report(*message, rc); }

}  // namespace movra
