// The message handover: how the client never frees a message, or a client, that Paho MQTT C's
// receive thread still uses. The one place that explains it; ArrivalGate, CallbackRegistry and
// inLibraryOrder (client_handle.h) call this component at the three moments that matter.
//
// The library's code paths (src/MQTTClient.c of eclipse/paho.mqtt.c, line numbers of tag v1.3.12,
// the same code paths in v1.3.13):
// - MQTTClient_run hands a queued message to the message callback after it released
//   mqttclient_mutex (line 893: the callback, line 894) and re-takes the mutex after it (line 895);
//   only then, when the callback returned 1, does it unlink the message from its queue (line 906).
// - A disconnect of a clean session frees the messages still queued under that mutex
//   (MQTTClient_closeSession -> MQTTClient_cleanSession -> MQTTClient_emptyMessageQueue, lines
//   1123, 1128-1140, 569-585), the one being handed over included; MQTTClient_destroy (line 590)
//   frees them and the client itself; a clean session's connect cleans the session too (line 1435).
// - With no socket ready the receive pass reports socket 0 (MQTTClient_cycle, line 2574), which is
//   the socket of a disconnected client (closeSession sets it to 0, line 1114; clientSockCompare,
//   line 697): the messages a disconnected persistent session still has queued are handed over
//   too, until the next connect.
// - The connection-lost callback runs on a thread of its own (connectionLost_call, line 707), while
//   the receive thread holds mqttclient_mutex and waits for it up to 5 s (lines 864, 1960-1961);
//   after the callback that thread touches only its semaphore, never the client (line 714). The
//   delivery-complete callback runs on the receive thread with the mutex held. Neither is a
//   handover: the callback key (CallbackRegistry) is all they need.
//
// So at these three moments:
// 1. A message callback holds its message (ArrivalGate::Pass, with a Hold): from the pass until it
//    gave the message back to the library. A gate closed by a disconnect turns the callback away
//    instead (it returns 0 and never touches the message), until the next connect.
// 2. A library connect, disconnect or destruction (inLibraryOrder, with a Guard): the gate's
//    close() first waits for the callbacks that hold a pass, then the library call runs.
// 3. The object withdraws its callback key (CallbackRegistry::withdraw) before it destroys its
//    client: every callback that found the key has left, none will find it again.
// What remains is the receive thread's gap between the mutex and the callback, either way: a
// callback that has begun but not reached its pass yet, and the unlink after it returned.
//
// Where the transport layer's handover tier is linked (MOVRA_TRANSPORT_HANDOVER, transport.h),
// the layer knows that gap: it counts the library's locks per thread, Hold marks the span a
// callback holds its message, and a Guard's library call takes mqttclient_mutex only while no
// receive thread is in the gap (transport_handover.c). Nothing is timed. The Guard does not wait
// for a callback that holds its message: such a callback may wait for room in its own client's
// event queue, which only that client's dispatch thread frees, and the receive thread serves every
// client of the process; a handler that connects a second client would wait for itself. The gate
// waits per client instead (moment 2).
//
// Linked to the stock library (Paho 1.3.16, whose receive pass the handover tier was not read
// against, or a build without the transport layer), nothing tells: Hold and Guard do nothing, and
// Settling falls back on pauses (handover_settle.cpp) that cover the gap's few instructions many
// times over: kCallbackSettle after the last callback left, before the library disconnect releases
// the messages (close()) and before the client is destroyed (withdraw()); while messages flowed in
// the last kFlowing, from now instead (a callback begun may not have reached its pass yet), and the
// gate then reopens only kCallbackSettle after the disconnect returned. The tests that drive the
// race: Lifecycle.DisconnectWhileMessagesPourInIsClean and
// ReentryDestruction.AMessageHandlerMayDestroyItsOwnObject (tests/native; under ASan a lost race is
// a double free or a use after free in MQTTClient_run). The window is a few instructions wide:
// with kCallbackSettle at 0 both passed 3 runs of 3 (stock build, ASan, 2 cores), so the library
// code above, not those tests, is what the pauses answer.
//
// Threading contract: Hold on the library's receive thread inside the message callback; Guard on
// any thread; both are scoped to one thread. A Settling belongs to one gate or one key and is used
// under its owner's mutex; the Pause it returns is waited for after that mutex is released.
#pragma once

#include <chrono>

#if MOVRA_TRANSPORT_HANDOVER
#include "transport.h"
#endif

namespace movra::paho {

#if MOVRA_TRANSPORT_HANDOVER
class Hold {
public:
    Hold() { movra_transport_hold(); }
    ~Hold() { movra_transport_release(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

class Guard {
public:
    Guard() { movra_transport_guard_begin(); }
    ~Guard() { movra_transport_guard_end(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

// The layer knows the gap: no pause, and nothing to record.
struct Pause {
    void wait() const {}
};

class Settling {
public:
    void callbackLeft() {}
    Pause closing() { return {}; }
    void released() {}
    Pause reopening() const { return {}; }
    Pause destroying() const { return {}; }
};
#else
// Non-trivial, as the ones above: a scoped Guard is not an unused variable.
struct Hold {
    Hold() {}
    ~Hold() {}
};
struct Guard {
    Guard() {}
    ~Guard() {}
};

inline constexpr std::chrono::milliseconds kCallbackSettle{50};
// A callback that left this recently means messages are still flowing.
inline constexpr std::chrono::milliseconds kFlowing{1000};

// A pause until `until` (none when it has passed).
struct Pause {
    std::chrono::steady_clock::time_point until{};
    void wait() const;
};

// What the fallback remembers of one gate's or one key's callbacks.
class Settling {
public:
    // A callback left (moment 1 ends).
    void callbackLeft();
    // The gate closes: the pause before the library disconnect releases the messages.
    Pause closing();
    // The library disconnect returned.
    void released();
    // The gate reopens: the pause before a callback may take a message again.
    Pause reopening() const;
    // The key is withdrawn: the pause before the client is destroyed.
    Pause destroying() const;

private:
    std::chrono::steady_clock::time_point lastLeft{};
    bool flowingAtClose = false;
    std::chrono::steady_clock::time_point reopenAfter{};
};
#endif

}  // namespace movra::paho
