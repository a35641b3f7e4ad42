// Keeps the library's message callback and a disconnect of the same client apart: moments 1 and 2
// of the message handover (handover.h, which explains the library's code paths and both builds).
//
// A callback takes a pass before it touches its message and holds it until it gave the message back
// to the library. close() turns new callbacks away (they return 0, "not taken", and never touch the
// message: the library keeps it or releases it with its session) and waits for those inside to
// leave; the library disconnect follows. The gate stays closed until the next connect attempt calls
// open() (and for a new client): a disconnected persistent session's queued messages are handed
// over meanwhile and stay queued for the next session. Messages of the next session arrive only
// after its connect began, so none is turned away.
//
// Threading contract: Pass is taken by the library's receive thread, close()/released()/open() by
// the thread that disconnects or connects. close() waits until every callback that holds a pass has
// left; a pass holder never waits for the closing thread (it may wait for room in the event queue,
// which the stop sequence and BlockingScope keep free). The settling pauses of the stock build are
// waited for with the gate's mutex released.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>

#include "../mutex.h"
#include "handover.h"

namespace movra {

class ArrivalGate {
public:
    class Pass {
    public:
        explicit Pass(ArrivalGate& gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        explicit operator bool() const { return gate != nullptr; }

    private:
        ArrivalGate* gate = nullptr;
        std::optional<paho::Hold> hold;  // while the callback holds its message
    };

    // Turns new callbacks away and waits for those inside to leave (and, in the stock build, for
    // the library to settle).
    void close();
    // Records that the library has released the messages it held (its disconnect returned).
    void released();
    // Lets callbacks through again; called before a connect attempt.
    void open();

private:
    Mutex mutex;
    std::condition_variable left;
    int inside GUARDED_BY(mutex) = 0;
    bool closed GUARDED_BY(mutex) = false;
    paho::Settling settling GUARDED_BY(mutex);
};

}  // namespace movra
