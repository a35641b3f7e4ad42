// The outbound pipeline's sender: the thread that feeds the queue to the library, and the rounds of
// sending that it (or a waiting caller) makes.
#include <algorithm>

#include "outbound.h"
#include "paho_quirks/packet_run.h"

namespace movra {
namespace {

// How long the sender waits after the library refused for want of a session that the owner still
// counts as up (the loss callback is on its way).
constexpr std::chrono::milliseconds kRefusedPause{20};
// How long a sender with messages waiting sleeps when fewer than kRefill slots are free.
constexpr std::chrono::milliseconds kRefillPause{2};

// The library refused because no session is up: the message waits for the next one.
bool refusedOffline(int rc) {
    return rc == MQTTCLIENT_DISCONNECTED || rc == MQTTCLIENT_FAILURE ||
           rc == MQTTCLIENT_MAX_MESSAGES_INFLIGHT;
}

}  // namespace

bool Outbound::senderHasWork() const {
    if (!open) return true;
    if (!online()) return false;
    if (connectsSeen.load() != reconciledSeen) return true;
    if (waiting.empty()) return false;
    return roomFor(*waiting.front());
}

void Outbound::run() {
    using Clock = std::chrono::steady_clock;
    bool refused = false;
    MutexLock lock(mutex);
    while (open) {
        senderAsleep = true;
        if (refused) {
            const auto deadline = Clock::now() + kRefusedPause;
            while (open && lock.waitUntil(senderReady, deadline) != std::cv_status::timeout) {
            }
        } else if (waiting.empty() || !online()) {
            while (!senderHasWork()) lock.wait(senderReady);
        } else {
            // Acknowledgements wake the sender once kRefill slots are free, so that it sends a
            // few messages per wake-up; a slot or two freed by themselves are used after kRefillPause.
            const auto deadline = Clock::now() + kRefillPause;
            while (!senderHasWork() &&
                   lock.waitUntil(senderReady, deadline) != std::cv_status::timeout) {
            }
        }
        senderAsleep = false;
        if (!open) break;
        lock.unlock();
        {
            MutexLock send(sendMutex);
            refused = !sendRound(0);
        }
        lock.relock();
    }
}

bool Outbound::sendRound(std::uint64_t upTo) {
    ClientHandle client = clientSource();
    if (!client) return false;
    if (reconciled != connects) {
        reconcile(client.get());
        reconciled = connects;
        reconciledSeen.store(connects);
    }
    // The messages of one round leave together; the round's end sends them, however it ends.
    paho::PacketRun packets;
    MutexLock lock(mutex);
    while (open && !waiting.empty() && online()) {
        if (!roomFor(*waiting.front())) break;
        transit = std::move(waiting.front());
        waiting.pop_front();
        // Read without the lock during the publish: only this thread moves transit, and close()
        // touches no more than its tag meanwhile.
        Message* const sending = transit.get();
        const bool last = sending->ticket == upTo;
        // Another message follows this one when the window has room for both. A QoS 2 message
        // leaves at once: its small window turns each packet's delay into less throughput.
        packets.moreFollow(!last && sending->qos != 2 && !waiting.empty() &&
                           roomFor(*waiting.front(), sending->qos == 0 ? 1 : 2));
        publishing = true;
        lock.unlock();

        MQTTClient_message record = MQTTClient_message_initializer;
        record.payload = sending->payload.data();
        record.payloadlen = static_cast<int>(sending->payload.size());
        record.qos = sending->qos;
        record.retained = sending->retained ? 1 : 0;
        MQTTClient_deliveryToken token = 0;
        const int rc =
            MQTTClient_publishMessage(client.get(), sending->topic.c_str(), &record, &token);

        lock.relock();
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

}  // namespace movra
