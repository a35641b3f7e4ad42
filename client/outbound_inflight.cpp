// The outbound pipeline's window: the messages the library holds until their acknowledgement, and
// the check after each library connect of which of them it still holds.
#include <algorithm>
#include <iterator>

#include "outbound.h"

namespace movra {

void Outbound::acknowledged(MQTTClient_deliveryToken token) {
    bool wake = false;
    {
        MutexLock lock(mutex);
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

Outbound::LibraryConnect::~LibraryConnect() = default;

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
    MutexLock lock(mutex);
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

void Outbound::requeueFront(std::vector<Held>& messages) {
    std::sort(messages.begin(), messages.end(),
              [](const Held& a, const Held& b) { return a->ticket < b->ticket; });
    waiting.insert(waiting.begin(), std::make_move_iterator(messages.begin()),
                   std::make_move_iterator(messages.end()));
    messages.clear();
}

}  // namespace movra
