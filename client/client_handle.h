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

using ClientHandle = std::unique_ptr<std::remove_pointer_t<MQTTClient>, ClientDeleter>;

// A client handle that a caller thread can hold for the length of one library call: the last
// holder destroys the client (with ClientDeleter).
using SharedClient = std::shared_ptr<std::remove_pointer_t<MQTTClient>>;

}  // namespace movra
