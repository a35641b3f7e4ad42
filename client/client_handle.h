// Owner of a Paho MQTT C client handle.
#pragma once

#include <MQTTClient.h>

#include <memory>
#include <mutex>
#include <type_traits>

namespace movra {

// Paho's synchronous client ends its receive thread when the last client of the process
// disconnects; a connect that another thread begins while that thread is ending waits for a CONNACK
// that nobody reads, until its timeout. MQTTClient_connect and MQTTClient_disconnect are therefore
// called (and clients destroyed) under this one process-wide lock (the library serialises connects anyway).
inline std::mutex& libraryConnectLock() {
    static std::mutex lock;
    return lock;
}

struct ClientDeleter {
    void operator()(void* handle) const noexcept {
        MQTTClient client = handle;
        std::lock_guard library(libraryConnectLock());  // destroying a connected client stops too
        MQTTClient_destroy(&client);
    }
};

// Shared: a call still inside the library on another thread keeps the client until it returns,
// while the object has already let go of it. Create with ClientDeleter.
using ClientHandle = std::shared_ptr<std::remove_pointer_t<MQTTClient>>;

}  // namespace movra
