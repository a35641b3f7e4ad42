// Owner of a Paho MQTT C client handle.
#pragma once

#include <MQTTClient.h>

#include <memory>
#include <type_traits>

namespace movra {

struct ClientDeleter {
    void operator()(void* handle) const noexcept {
        MQTTClient client = handle;
        MQTTClient_destroy(&client);
    }
};

// Shared: a call still inside the library on another thread keeps the client until it returns,
// while the object has already let go of it. Create with ClientDeleter.
using ClientHandle = std::shared_ptr<std::remove_pointer_t<MQTTClient>>;

}  // namespace movra
