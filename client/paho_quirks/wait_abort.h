// Ends a library wait for the broker's answer early once its connection is known to be gone.
//
// Paho MQTT C's synchronous subscribe and unsubscribe wait for the SUBACK / UNSUBACK up to their
// command timeout (10 s) even when the connection drops meanwhile: the receive thread reports the
// loss but does not wake the waiting caller. With the transport layer (MOVRA_TRANSPORT,
// transport.h) the wait is asked every few milliseconds whether `ended` holds, and returns as
// timed out when it does: the library call then fails with its own code at once. Linked to the
// stock library, the library's timeout applies.
//
// Threading contract: scoped to one thread; `ended` is called on that thread only, while the scope
// lives.
#pragma once

#if MOVRA_TRANSPORT
#include "transport.h"
#endif

namespace movra::paho {

template <typename Ended>
class AbortableWait {
public:
    explicit AbortableWait(const Ended& ended) {
#if MOVRA_TRANSPORT
        movra_transport_wait_abort(&AbortableWait::ask, const_cast<Ended*>(&ended));
#else
        (void)ended;
#endif
    }
    ~AbortableWait() {
#if MOVRA_TRANSPORT
        movra_transport_wait_abort(nullptr, nullptr);
#endif
    }
    AbortableWait(const AbortableWait&) = delete;
    AbortableWait& operator=(const AbortableWait&) = delete;

private:
    static int ask(void* ended) { return (*static_cast<const Ended*>(ended))() ? 1 : 0; }
};

}  // namespace movra::paho
