// Maps the context value given to the MQTT library to the object it stands for. It exists only
// because of when Paho MQTT C runs its callbacks (see settle.h for the code paths and the version).
//
// The library runs its callbacks on threads of its own, and it may still start one (the
// connection-lost callback runs on a thread it spawns) after the object has torn its client down.
// So the context handed to the library is a key, never an address: a callback looks the key up
// (enter) and is turned away once the object has withdrawn it. withdraw() waits until every callback
// that entered has left, and then a short settling time for the library's own steps after the last
// callback returned, so after it returns no callback for that key runs or will run.
//
// The library's receive thread still touches its client for a moment after a message callback
// returns (it takes its own mutex back and unlinks the message); MQTTClient_destroy in that moment
// frees the client under it. Linked to the stock library no call reveals when it is done, so
// withdraw() also lets the arrival gate's settling time pass since the last callback for the key
// left, which covers that step many times over. With the transport layer the destruction itself
// waits that step out (handover.h) and withdraw() returns as soon as the callbacks have left.
//
// Threading contract: all members are thread-safe. enter/leave take a process-wide mutex for a few
// instructions; withdraw waits on a condition variable. Never call withdraw from a callback.
#pragma once

#include <chrono>
#include <cstdint>

namespace movra {

class SDK;

class CallbackRegistry {
public:
    using Key = std::uintptr_t;

    static Key add(SDK* target);
    static void withdraw(Key key);

    // Pins the target for the duration of one callback; empty when the key was withdrawn.
    class Entry {
    public:
        explicit Entry(void* context);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        SDK* get() const { return target; }

    private:
        Key key = 0;
        SDK* target = nullptr;
        bool counted = false;
    };
};

}  // namespace movra
