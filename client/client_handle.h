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

}  // namespace movra
