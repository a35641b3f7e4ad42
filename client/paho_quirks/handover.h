// How the client knows that Paho MQTT C's receive thread is done with a message it handed over.
//
// With the transport layer's handover tier (MOVRA_TRANSPORT_HANDOVER, transport.h) it is known
// exactly: a message callback that took its message marks the span it holds it (Hold), and every
// library connect, disconnect and destruction runs under a Guard, whose library locks wait while
// the receive thread is between the library's lock and a callback. No pause is needed (kHandoverKnown).
//
// Linked to the stock library, or without that tier, nothing tells: Hold and Guard do nothing and
// ArrivalGate and CallbackRegistry fall back on the settling pauses of settle.h.
//
// Threading contract: Hold on the library's receive thread inside the message callback; Guard on
// any thread; both are scoped to one thread.
#pragma once

#if MOVRA_TRANSPORT_HANDOVER
#include "transport.h"
#endif

namespace movra::paho {

#if MOVRA_TRANSPORT_HANDOVER
inline constexpr bool kHandoverKnown = true;

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
#else
inline constexpr bool kHandoverKnown = false;

// Non-trivial, as the ones above: a scoped Guard is not an unused variable.
struct Hold {
    Hold() {}
    ~Hold() {}
};
struct Guard {
    Guard() {}
    ~Guard() {}
};
#endif

}  // namespace movra::paho
