// A run of packets written one after another by one thread (the outbound pipeline's sender).
//
// With the transport layer (MOVRA_TRANSPORT, transport.h) the packets that more follow at once are
// held back in the kernel (MSG_MORE) and the run leaves in full segments: one wake-up of the
// broker per run, not per packet. The run's end, however it ends, sends what is held back.
// Linked to the stock library, every packet goes out on its own.
//
// Threading contract: a PacketRun is scoped to the thread that writes the run; it says nothing
// about other threads' writes, which send what is held back too.
#pragma once

#if MOVRA_TRANSPORT
#include "transport.h"
#endif

namespace movra::paho {

class PacketRun {
public:
    PacketRun() = default;
    PacketRun(const PacketRun&) = delete;
    PacketRun& operator=(const PacketRun&) = delete;
#if MOVRA_TRANSPORT
    ~PacketRun() {
        movra_transport_more(0);
        movra_transport_flush();
    }
    // Whether another packet of the run follows the next one this thread writes.
    void moreFollow(bool more) { movra_transport_more(more ? 1 : 0); }
#else
    ~PacketRun() {}
    void moreFollow(bool) {}
#endif
};

}  // namespace movra::paho
