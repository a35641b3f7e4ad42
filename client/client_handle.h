// Owner of a Paho MQTT C client handle, and the process-wide order of the library's connects,
// disconnects and client destructions.
#pragma once

#include <MQTTClient.h>

#include <memory>
#include <mutex>
#include <type_traits>

#include "paho_quirks/handover.h"

namespace movra {

// Paho's synchronous client has one receive thread for the whole process and ends it when the last
// connected client disconnects or is destroyed; a connect that another thread begins while that
// thread is ending finds it still running, starts none, and waits for a CONNACK that nobody reads
// until its timeout. So every library connect (TlsConnector::connect), disconnect and client
// destruction of the process runs under this one lock. The library serialises connects anyway.
inline std::mutex& libraryConnectLock() {
    static std::mutex lock;
    return lock;
}

// MQTTClient_disconnect in the order of libraryConnectLock, clear of a message handover
// (paho_quirks/handover.h).
inline int disconnectClient(MQTTClient client, int timeoutMs) {
    std::lock_guard library(libraryConnectLock());
    paho::Guard handover;
    return MQTTClient_disconnect(client, timeoutMs);
}

struct ClientDeleter {
    void operator()(void* handle) const noexcept {
        MQTTClient client = handle;
        std::lock_guard library(libraryConnectLock());  // destroying a connected client stops too
        paho::Guard handover;
        MQTTClient_destroy(&client);
    }
};

// Shared: a call still inside the library on another thread keeps the client until it returns,
// while the object has already let go of it. Create with ClientDeleter.
using ClientHandle = std::shared_ptr<std::remove_pointer_t<MQTTClient>>;

}  // namespace movra
