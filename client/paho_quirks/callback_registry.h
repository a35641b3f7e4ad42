// Maps the context value given to the MQTT library to the object it stands for: moment 3 of the
// message handover (handover.h, which explains the library's code paths and both builds).
//
// The library runs its callbacks on threads of its own, and it may still start one (the
// connection-lost callback runs on a thread it spawns) after the object has torn its client down.
// So the context handed to the library is a key, never an address: a callback looks the key up
// (Entry) and is turned away once the object has withdrawn it. withdraw() waits until every
// callback that entered has left, so after it returns no callback for that key runs or will run;
// in the stock build it also lets the settling pause pass before the client may be destroyed.
//
// Threading contract: all members are thread-safe. Entry takes a process-wide mutex for a few
// instructions on the way in and out; withdraw waits on a condition variable, and for the stock
// build's pause with that mutex released. Never call withdraw from a callback.
#pragma once

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
    };
};

}  // namespace movra
