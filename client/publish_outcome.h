// The outcome of a publish made without waiting, as the dispatch thread hands it to the binding.
//
// Threading contract: plain values. The outbound pipeline records outcomes on whatever thread ends
// a message (the library's receive thread for an acknowledgement, the sender, stop); the
// dispatcher hands them in batches to the OutcomeSink on its dispatch thread only.
#pragma once

#include <MQTTClient.h>

#include <functional>
#include <span>

namespace movra {

// Codes of the pipeline's own, outside the library's range; every other non-zero code is the
// library's.
inline constexpr int kPublishStopped = -101;       // stop() (or deallocation) ended the client
inline constexpr int kPublishQueueFull = -102;     // the maxQueued / maxQueuedBytes bound
inline constexpr int kPublishInvalidTopic = -103;  // empty, a wildcard or a zero byte
inline constexpr int kPublishTooLarge = -104;      // beyond MQTT's 256 MiB packet

struct PublishOutcome {
    // What the caller gave with the message (the binding's future).
    void* tag = nullptr;
    // 0: done (QoS 0 handed to the socket, QoS 1 PUBACK, QoS 2 PUBCOMP); otherwise the failure.
    int rc = 0;
};

// Called on the dispatch thread, inside the delivery scope, with every outcome recorded since the
// previous call. Each tag is handed over exactly once.
using OutcomeSink = std::function<void(std::span<const PublishOutcome>)>;

}  // namespace movra
