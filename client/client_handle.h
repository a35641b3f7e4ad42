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
// until its timeout. So every library connect, disconnect and client destruction of the process
// runs through inLibraryOrder: under one process-wide lock (the library serialises connects
// anyway), and under a paho::Guard, moment 2 of the message handover (paho_quirks/handover.h: a
// disconnect, a destruction and a clean session's connect release the messages still queued).
inline std::mutex& libraryOrderLock() {
    static std::mutex lock;  // one for the process: not in the template, which has one per call
    return lock;
}

template <typename Call>
decltype(auto) inLibraryOrder(Call&& call) {
    std::lock_guard library(libraryOrderLock());
    paho::Guard handover;
    return call();
}

inline int connectClient(MQTTClient client, MQTTClient_connectOptions& options) {
    return inLibraryOrder([&] { return MQTTClient_connect(client, &options); });
}

inline int disconnectClient(MQTTClient client, int timeoutMs) {
    return inLibraryOrder([&] { return MQTTClient_disconnect(client, timeoutMs); });
}

struct ClientDeleter {
    void operator()(void* handle) const noexcept {
        MQTTClient client = handle;
        // Destroying a connected client stops its session too.
        inLibraryOrder([&] { MQTTClient_destroy(&client); });
    }
};

// Shared: a call still inside the library on another thread keeps the client until it returns,
// while the object has already let go of it. Create with ClientDeleter.
using ClientHandle = std::shared_ptr<std::remove_pointer_t<MQTTClient>>;

}  // namespace movra
