// The library's side of one SDK: the Paho MQTT C client, its connect options (connect_options.h),
// the key its callbacks carry (paho_quirks/callback_registry.h) and the gate of its message
// callback (paho_quirks/arrival_gate.h), created by init and let go of by the stop sequence.
//
// create() makes the client and registers the callbacks under a fresh key; connect() makes one
// library connect to an address of the broker list, the gate opened first; disconnect() makes the
// library disconnect with the gate closed around it; release() withdraws the key and lets go of the
// client. What the connection's state makes of them is the owner's (connection_state.h).
//
// Threading contract
// - The owner serialises create(), options(), connect() and release() with its connect lock, the
//   lock it holds across a connect and what follows it (sdk.h): the options are never rewritten
//   under a library connect, and the client is never let go of under one.
// - client() may be called from any thread: it takes the short clientMutex to copy the handle, and
//   the call that uses the copy keeps the client alive until it returns, whatever release() does
//   meanwhile. disconnect() runs on such a copy, outside the connect lock.
// - withdrawCallbacks() waits until every callback for the key has left; never call it from a
//   callback. gate() is entered by the library's receive thread (ArrivalGate::Pass).
// - Neither copyable nor movable: the library holds pointers into the options.
#pragma once

#include <MQTTClient.h>

#include <cstddef>
#include <mutex>

#include "client_handle.h"
#include "connect_options.h"
#include "mutex.h"
#include "paho_quirks/arrival_gate.h"
#include "paho_quirks/callback_registry.h"

namespace movra {

class SDK;

class LibrarySession {
public:
    // The library callbacks, called with the registry key as their context.
    struct Callbacks {
        MQTTClient_connectionLost* lost;
        MQTTClient_messageArrived* arrived;
        MQTTClient_deliveryComplete* delivered;
    };

    LibrarySession() = default;
    ~LibrarySession() { release(); }
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;
    LibrarySession(LibrarySession&&) = delete;
    LibrarySession& operator=(LibrarySession&&) = delete;

    // Creates the client for the options' server URI and client identifier (assign them first),
    // registers `callbacks` with a fresh key for `target` and opens the gate. Returns the library
    // code; on a failure nothing is kept.
    int create(SDK* target, const Callbacks& callbacks);
    // The current client, null before create() and after release().
    ClientHandle client() EXCLUDES(clientMutex);

    ConnectOptions& options() { return connectOptions; }
    ArrivalGate& gate() { return arrivalGate; }

    // One library connect to the address `index` of the broker list. The gate, closed since the
    // last disconnect, opens first: the messages of the new session arrive only after it began.
    int connect(std::size_t index);
    // The library disconnect of the session `held` belongs to, waiting up to timeoutMs for what is
    // in flight. The gate is closed around it: a callback the library began before the disconnect
    // and that reaches the gate only afterwards may hold a message the disconnect releases.
    void disconnect(const ClientHandle& held, int timeoutMs);

    // After it returns no library callback for the client runs, or will run.
    void withdrawCallbacks();
    // withdrawCallbacks(), then lets go of the client and returns the last handle of this object:
    // the client is destroyed when that handle goes, or by a call still inside the library on
    // another thread when that call returns. Destroying a connected client ends its session too.
    ClientHandle release();

private:
    // First, so it goes last: the client it is handed to goes before it.
    ConnectOptions connectOptions;
    // See client().
    Mutex clientMutex;
    ClientHandle current GUARDED_BY(clientMutex);
    CallbackRegistry::Key callbackKey = 0;
    ArrivalGate arrivalGate;
};

}  // namespace movra
