// Subscriptions, publishing and the library's message callbacks.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string>

#include "call_failure.h"
#include "console.h"
#include "paho_quirks/wait_abort.h"
#include "sdk.h"

namespace movra {
namespace {

// The library takes topics as C strings: a zero byte inside a topic ends it there. Topics of usual
// length are terminated on the stack, so the publish path allocates nothing.
class CTopic {
public:
    explicit CTopic(std::string_view topic) {
        if (topic.size() < sizeof(buffer)) {
            topic.copy(buffer, topic.size());
            buffer[topic.size()] = '\0';
            text = buffer;
        } else {
            heap.assign(topic);
            text = heap.c_str();
        }
    }
    CTopic(const CTopic&) = delete;
    CTopic& operator=(const CTopic&) = delete;
    const char* c_str() const { return text; }
    // The length the library sends: up to the first zero byte.
    std::size_t size() const { return std::strlen(text); }
    bool fits() const { return size() <= SDK::kMaxStringLength; }

private:
    char buffer[256];
    std::string heap;
    const char* text = nullptr;
};

}  // namespace

// The prologue that subscribe, unsubscribe and publish share: refused at once while offline, then
// for a reason of the call's own (refusal, a library code) or a topic the library cannot send; the
// queue bound lifted while the call waits on the library; the client taken for the call's length.
class SDK::Call {
public:
    Call(SDK& sdk, const char* operation, std::string_view topic, int refusal = 0)
        : sdk(sdk), operation(operation), topic(topic), text(topic) {
        if (!sdk.mirrors().connected()) {
            notConnected();
            return;
        }
        if (refusal == 0 && !text.fits()) refusal = kStringTooLong;
        if (refusal != 0) {
            fail(refusal);
            return;
        }
        blocking.emplace(*sdk.dispatcher);
        ok = true;
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    explicit operator bool() const { return ok; }
    const char* c_str() const { return text.c_str(); }
    // The current client, or null after the "not connected" line.
    ClientHandle client() {
        ClientHandle held = sdk.library.client();
        if (!held) notConnected();
        return held;
    }
    // False after the failure line when the library refused.
    bool succeeded(int rc) {
        if (rc == MQTTCLIENT_SUCCESS) return true;
        fail(rc);
        return false;
    }

private:
    void notConnected() { console::err(std::string(operation) + " — not connected"); }
    void fail(int rc) { console::err(callFailure(operation, topic, rc)); }

    SDK& sdk;
    const char* operation;
    std::string_view topic;
    CTopic text;
    std::optional<Dispatcher::BlockingScope> blocking;
    bool ok = false;
};

bool SDK::subscribe(std::string_view topic, int qos) {
    // A loss from here on, or the stop sequence, ends the wait for the SUBACK. Taken before the
    // connected check: a loss between the two would otherwise leave the wait to the library's 10 s.
    const auto lost = lostSinceNow();
    Call call(*this, "subscribe", topic);
    if (!call) return false;
    ClientHandle held = call.client();
    if (!held) return false;
    paho::AbortableWait wait(lost);
    if (!call.succeeded(MQTTClient_subscribe(held.get(), call.c_str(), qos))) return false;
    subscriptions.granted(topic, qos);
    console::out(std::string("Subscribed to: ").append(topic));
    return true;
}

void SDK::unsubscribe(std::string_view topic) {
    // The caller no longer wants it, whether or not the broker hears of it now.
    subscriptions.removed(topic);
    const auto lost = lostSinceNow();
    Call call(*this, "unsubscribe", topic);
    if (!call) return;
    ClientHandle held = call.client();
    if (!held) return;
    paho::AbortableWait wait(lost);
    if (!call.succeeded(MQTTClient_unsubscribe(held.get(), call.c_str()))) return;
    console::out(std::string("Unsubscribed from: ").append(topic));
}

void SDK::publish(std::string_view topic, std::string_view payload, int qos, bool retained) {
    // The record's length field is 32 bits: refuse rather than truncate.
    Call call(*this, "publish", topic,
              payload.size() > static_cast<std::size_t>(INT_MAX) ? kPayloadTooLarge : 0);
    if (!call || !call.client()) return;
    MutexLock serial(publishMutex);
    // A loss or a stop from here on ends the wait below; the message stays in the pipeline.
    const auto lost = lostSinceNow();
    const std::uint64_t ticket = outbound.submitBlocking(topic, payload, qos, retained);
    if (ticket == 0) return;
    const std::optional<int> rc =
        outbound.waitBlocking(ticket, std::chrono::milliseconds(kPublishTimeoutMs), lost);
    if (rc && *rc != kPublishStopped) call.succeeded(*rc);
}

int SDK::publishAsync(std::string_view topic, std::string_view payload, int qos, bool retained,
                      void* tag) {
    if (!mirrors().initialised()) return kPublishStopped;
    return outbound.submit(topic, payload, qos, retained, tag);
}

int SDK::onMessageArrived(void* context, char* topicName, int topicLen,
                          MQTTClient_message* message) {
    {
        CallbackRegistry::Entry entry(context);
        SDK* self = entry.get();
        // A client on its way out, or a disconnect under way: the message is not touched and not
        // taken; the library keeps it or releases it with its session.
        if (self == nullptr) return 0;
        ArrivalGate::Pass pass(self->library.gate());
        if (!pass) return 0;
        // The library gives the length only when the topic holds a NUL of its own.
        std::string_view topic =
            topicLen > 0 ? std::string_view(topicName, static_cast<std::size_t>(topicLen))
                         : std::string_view(topicName);
        std::string_view payload;
        if (message->payloadlen > 0)
            payload = std::string_view(static_cast<const char*>(message->payload),
                                       static_cast<std::size_t>(message->payloadlen));
        // The dispatcher copies both; the library's buffers are released after it has.
        self->dispatcher->pushMessage(topic, payload);
        MQTTClient_freeMessage(&message);
        MQTTClient_free(topicName);
    }
    return 1;
}

void SDK::onDeliveryComplete(void* context, MQTTClient_deliveryToken token) {
    CallbackRegistry::Entry entry(context);
    if (SDK* self = entry.get()) self->deliveryComplete(token);
}

void SDK::deliveryComplete(MQTTClient_deliveryToken token) {
    // Called with the library's own mutex held: the pipeline records it, nothing else.
    outbound.acknowledged(token);
}

}  // namespace movra
