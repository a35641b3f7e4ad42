// The library connect to one address of the broker list, the renewal of subscriptions on a broker
// that kept no session.
#include <string>

#include "call_failure.h"
#include "console.h"
#include "paho_quirks/wait_abort.h"
#include "sdk.h"

namespace movra {

int SDK::connectTo(std::size_t index) {
    int rc;
    {
        // No publish is in the library while it connects (outbound.h).
        Outbound::LibraryConnect quiet(outbound);
        rc = library.connect(index);
    }
    if (rc != MQTTCLIENT_SUCCESS) return rc;
    reached = index;
    // MQTT 3.1 has no session-present flag: the library leaves it at 0, and the subscriptions are
    // renewed, which at worst repeats them.
    if (resumeSubs && !library.options().sessionPresent() && !renewSubscriptions())
        return ConnectionState::kLostBeforeRecorded;
    return rc;
}

bool SDK::renewSubscriptions() {
    const auto entries = subscriptions.entries();
    if (entries.empty()) return true;
    // A loss ends the renewal: its SUBACK waits return at once and the rest is not tried. The
    // session's own "ok" event then sees the loss (connection_state.h, "session lost since").
    const auto lost = lostSinceNow();
    paho::AbortableWait wait(lost);
    const ClientHandle held = library.client();
    for (const auto& entry : entries) {
        if (lost()) return false;
        // Once each per connect, silent when granted (a program that subscribes again in its
        // connection handler sees its own lines only); a refusal is reported and the subscription
        // stays in the book for the next broker without a session.
        const int rc = MQTTClient_subscribe(held.get(), entry.topic.c_str(), entry.qos);
        if (rc != MQTTCLIENT_SUCCESS) console::err(callFailure("subscribe", entry.topic, rc));
    }
    return !lost();
}

}  // namespace movra
