// The library client of one SDK: its creation, connects, disconnects and release.
#include "library_session.h"

namespace movra {

int LibrarySession::create(SDK* target, const Callbacks& callbacks) {
    MQTTClient raw = nullptr;
    const int rc =
        MQTTClient_create(&raw, connectOptions.serverUri().c_str(),
                          connectOptions.clientId().c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTCLIENT_SUCCESS) {
        if (raw != nullptr) ClientDeleter{}(raw);
        return rc;
    }
    {
        std::lock_guard use(clientMutex);
        current = ClientHandle(raw, ClientDeleter{});
    }
    callbackKey = CallbackRegistry::add(target);
    arrivalGate.open();
    MQTTClient_setCallbacks(raw, reinterpret_cast<void*>(callbackKey), callbacks.lost,
                            callbacks.arrived, callbacks.delivered);
    return rc;
}

ClientHandle LibrarySession::client() {
    std::lock_guard use(clientMutex);
    return current;
}

int LibrarySession::connect(std::size_t index) {
    // `current` changes only under the owner's connect lock, which the caller holds.
    arrivalGate.open();
    return connectOptions.connect(current.get(), index);
}

void LibrarySession::disconnect(const ClientHandle& held, int timeoutMs) {
    arrivalGate.close();
    disconnectClient(held.get(), timeoutMs);
    arrivalGate.released();
}

void LibrarySession::withdrawCallbacks() {
    if (callbackKey == 0) return;
    CallbackRegistry::withdraw(callbackKey);
    callbackKey = 0;
}

ClientHandle LibrarySession::release() {
    withdrawCallbacks();
    ClientHandle last;
    {
        std::lock_guard use(clientMutex);
        last.swap(current);
    }
    return last;
}

}  // namespace movra
