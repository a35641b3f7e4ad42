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
        MutexLock use(clientMutex);
        current = ClientHandle(raw, ClientDeleter{});
    }
    callbackKey = CallbackRegistry::add(target);
    arrivalGate.open();
    MQTTClient_setCallbacks(raw, reinterpret_cast<void*>(callbackKey), callbacks.lost,
                            callbacks.arrived, callbacks.delivered);
    return rc;
}

ClientHandle LibrarySession::client() {
    MutexLock use(clientMutex);
    return current;
}

int LibrarySession::connect(std::size_t index) {
    arrivalGate.open();
    // The handle keeps the client for the call; it changes only under the owner's connect lock,
    // which the caller holds.
    const ClientHandle held = client();
    return connectOptions.connect(held.get(), index);
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
        MutexLock use(clientMutex);
        last.swap(current);
    }
    return last;
}

}  // namespace movra
