#include "outbound.h"

#include <algorithm>
#include <iterator>

#include "paho_quirks/packet_run.h"
#include "publish_outcome.h"

namespace movra {
namespace {

// MQTT's largest packet; a PUBLISH also carries its fixed header, the topic's length and a packet
// identifier.
constexpr std::size_t kMaxPacket = 268435455;
constexpr std::size_t kPublishOverhead = 5 + 2 + 2;
constexpr std::size_t kMaxTopic = 65535;
// How long the sender waits after the library refused for want of a session that the owner still
// counts as up (the loss callback is on its way).
constexpr std::chrono::milliseconds kRefusedPause{20};
// Free slots that make an acknowledgement wake the sender, and how long a sender with messages
// waiting sleeps when fewer are free.
constexpr std::size_t kRefill = 16;
constexpr std::chrono::milliseconds kRefillPause{2};

int checkMessage(std::string_view topic, std::string_view payload, int qos) {
    if (qos < 0 || qos > 2) return MQTTCLIENT_BAD_QOS;
    if (topic.empty() || topic.find_first_of(std::string_view("+#\0", 3)) != topic.npos)
        return kPublishInvalidTopic;
    if (topic.size() > kMaxTopic) return MQTTCLIENT_BAD_STRUCTURE;
    if (payload.size() > kMaxPacket - kPublishOverhead - topic.size()) return kPublishTooLarge;
    return 0;
}

// The library refused because no session is up: the message waits for the next one.
bool refusedOffline(int rc) {
    return rc == MQTTCLIENT_DISCONNECTED || rc == MQTTCLIENT_FAILURE ||
           rc == MQTTCLIENT_MAX_MESSAGES_INFLIGHT;
}

}  // namespace

void Outbound::start(const OutboundSettings& given, ClientSource client, Online isOnline,
                     std::shared_ptr<Dispatcher> dispatcher) {
    join();
    {
        std::lock_guard lock(mutex);
        settings = given;
        clientSource = std::move(client);
        online = std::move(isOnline);
        channel = std::move(dispatcher);
        open = true;
    }
    sender = std::thread(&Outbound::run, this);
}

void Outbound::close() {
    {
        std::lock_guard lock(mutex);
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
    std::lock_guard lock(mutex);
    if (!open) return kPublishStopped;
    if (!admit(topic.size() + payload.size())) return kPublishQueueFull;
    enqueue(topic, payload, qos, retained, tag, true);
    return 0;
}

std::uint64_t Outbound::submitBlocking(std::string_view topic, std::string_view payload, int qos,
                                       bool retained) {
    std::uint64_t ticket;
    {
        std::lock_guard lock(mutex);
        if (!open) return 0;
        blockingResult.reset();
        ticket = blockingTicket = enqueue(topic, payload, qos, retained, nullptr, false);
    }
    // A waiting caller sends the queue itself when nobody else is sending: one thread hand-over
    // less for each message. Otherwise the sender takes it.
    std::unique_lock send(sendMutex, std::try_to_lock);
    if (send.owns_lock() && online()) sendRound(send, ticket);
    if (send.owns_lock()) send.unlock();
    // What is left (messages behind this one, or this one) is the sender's.
    bool wake;
    {
        std::lock_guard lock(mutex);
        wake = senderAsleep && !waiting.empty();
    }
    if (wake) senderReady.notify_all();
    return ticket;
}

std::optional<int> Outbound::waitBlocking(std::uint64_t ticket, std::chrono::milliseconds limit,
                                          const std::function<bool()>& interrupted) {
    std::unique_lock lock(mutex);
    blockingDone.wait_for(lock, limit,
                          [&] { return blockingResult.has_value() || !open || interrupted(); });
    std::optional<int> result;
    if (blockingTicket == ticket) result = blockingResult;
    blockingTicket = 0;
    blockingResult.reset();
    return result;
}

void Outbound::wakeWaiters() {
    {
        std::lock_guard lock(mutex);
    }
    blockingDone.notify_all();
}

void Outbound::wakeSender() {
    {
        std::lock_guard lock(mutex);
    }
    senderReady.notify_all();
}

void Outbound::acknowledged(MQTTClient_deliveryToken token) {
    bool wake = false;
    {
        std::lock_guard lock(mutex);
        auto found = inflight.find(token);
        if (found != inflight.end()) {
            Held message = untrack(found);
            finish(std::move(message), 0);
            wake = senderAsleep && !waiting.empty() && roomFor(*waiting.front(), kRefill);
        } else if (publishing) {
            // Possibly the message the sender is publishing, acknowledged before the library
            // returned its token.
            earlyAcks.push_back(token);
        }
    }
    if (wake) senderReady.notify_one();
}

Outbound::LibraryConnect::LibraryConnect(Outbound& outbound) : lock(outbound.sendMutex) {
    ++outbound.connects;
    outbound.connectsSeen.store(outbound.connects);
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
        channel->pushOutcome({message.tag, rc});
    } else if (message.ticket == blockingTicket) {
        blockingResult = rc;
        blockingDone.notify_all();
    }
}

void Outbound::finish(Held message, int rc) { report(*message, rc); }

void Outbound::requeueFront(std::vector<Held>& messages) {
    std::sort(messages.begin(), messages.end(),
              [](const Held& a, const Held& b) { return a->ticket < b->ticket; });
    waiting.insert(waiting.begin(), std::make_move_iterator(messages.begin()),
                   std::make_move_iterator(messages.end()));
    messages.clear();
}

void Outbound::run() {
    bool refused = false;
    std::unique_lock lock(mutex);
    while (open) {
        auto ready = [&] {
            if (!open) return true;
            if (!online()) return false;
            if (connectsSeen.load() != reconciledSeen) return true;
            if (waiting.empty()) return false;
            return roomFor(*waiting.front());
        };
        senderAsleep = true;
        if (refused)
            senderReady.wait_for(lock, kRefusedPause, [&] { return !open; });
        else if (waiting.empty() || !online())
            senderReady.wait(lock, ready);
        else
            // Acknowledgements wake the sender once kRefill slots are free, so that it sends a
            // few messages per wake-up; a slot or two freed by themselves are used after kRefillPause.
            senderReady.wait_for(lock, kRefillPause, ready);
        senderAsleep = false;
        if (!open) break;
        lock.unlock();
        {
            std::unique_lock send(sendMutex);
            refused = !sendRound(send, 0);
        }
        lock.lock();
    }
}

bool Outbound::sendRound(std::unique_lock<std::mutex>&, std::uint64_t upTo) {
    ClientHandle client = clientSource();
    if (!client) return false;
    if (reconciled != connects) {
        reconcile(client.get());
        reconciled = connects;
        reconciledSeen.store(connects);
    }
    // The messages of one round leave together; the round's end sends them, however it ends.
    paho::PacketRun packets;
    std::unique_lock lock(mutex);
    while (open && !waiting.empty() && online()) {
        if (!roomFor(*waiting.front())) break;
        transit = std::move(waiting.front());
        waiting.pop_front();
        const bool last = transit->ticket == upTo;
        // Another message follows this one when the window has room for both. A QoS 2 message
        // leaves at once: its small window turns each packet's delay into less throughput.
        packets.moreFollow(!last && transit->qos != 2 && !waiting.empty() &&
                           roomFor(*waiting.front(), transit->qos == 0 ? 1 : 2));
        publishing = true;
        lock.unlock();

        MQTTClient_message record = MQTTClient_message_initializer;
        record.payload = transit->payload.data();
        record.payloadlen = static_cast<int>(transit->payload.size());
        record.qos = transit->qos;
        record.retained = transit->retained ? 1 : 0;
        MQTTClient_deliveryToken token = 0;
        const int rc =
            MQTTClient_publishMessage(client.get(), transit->topic.c_str(), &record, &token);

        lock.lock();
        publishing = false;
        Held message = std::move(transit);
        std::vector<MQTTClient_deliveryToken> acks;
        acks.swap(earlyAcks);
        if (transitAbandoned) {
            transitAbandoned = false;
            break;
        }
        if (rc == MQTTCLIENT_SUCCESS) {
            if (message->qos == 0 || std::find(acks.begin(), acks.end(), token) != acks.end())
                finish(std::move(message), 0);
            else
                track(token, std::move(message));
        } else if (refusedOffline(rc)) {
            waiting.push_front(std::move(message));
            return false;
        } else {
            finish(std::move(message), rc);
        }
        if (last) break;
    }
    return true;
}

void Outbound::track(MQTTClient_deliveryToken token, Held message) {
    if (auto listed = inflight.find(token); listed != inflight.end()) {
        // The library holds one message per identifier: the one listed before is no longer in it
        // and is sent again.
        std::vector<Held> orphan;
        orphan.push_back(untrack(listed));
        requeueFront(orphan);
    }
    if (message->qos == 2) ++inflightQos2;
    inflight.emplace(token, std::move(message));
}

Outbound::Held Outbound::untrack(Inflight::iterator listed) {
    Held message = std::move(listed->second);
    inflight.erase(listed);
    if (message->qos == 2) --inflightQos2;
    return message;
}

bool Outbound::roomFor(const Message& message, std::size_t slots) const {
    if (message.qos == 0) return true;
    const auto fits = [&](std::size_t used, std::size_t window) {
        // A small window needs no more than a quarter of it free.
        return used + std::max<std::size_t>(1, std::min(slots, window / 4)) <= window;
    };
    if (message.qos == 2 && !fits(inflightQos2, std::min(settings.maxInflight, kMaxInflightQos2)))
        return false;
    return fits(inflight.size(), settings.maxInflight);
}

void Outbound::reconcile(MQTTClient client) {
    MQTTClient_deliveryToken* tokens = nullptr;
    std::vector<MQTTClient_deliveryToken> held;
    // Without the list every unacknowledged message is sent again: duplicates, never a loss.
    if (MQTTClient_getPendingDeliveryTokens(client, &tokens) == MQTTCLIENT_SUCCESS &&
        tokens != nullptr) {
        for (const MQTTClient_deliveryToken* t = tokens; *t != -1; ++t) held.push_back(*t);
    }
    if (tokens != nullptr) MQTTClient_free(tokens);
    std::lock_guard lock(mutex);
    std::vector<Held> orphans;
    for (auto it = inflight.begin(); it != inflight.end();) {
        if (std::find(held.begin(), held.end(), it->first) == held.end()) {
            auto orphan = it++;
            orphans.push_back(untrack(orphan));
        } else {
            ++it;
        }
    }
    requeueFront(orphans);
}

}  // namespace movra
