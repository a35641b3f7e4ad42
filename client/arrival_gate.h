// Keeps the library's message callback and a disconnect of the same client apart.
//
// The library hands a message to the message callback without holding its own lock, and a
// disconnect of a clean session releases the messages still queued in the library, the one being
// handed over included. So while a disconnect runs, the callback must not touch the message: it
// returns 0 ("not taken") at once, and the library keeps or releases the message itself.
//
// Threading contract: Pass is taken by the library's receive thread, close()/open() by the thread
// that disconnects. close() waits until every callback that holds a pass has left; a pass holder
// never waits for the closing thread (it may wait for room in the event queue, which the stop
// sequence and BlockingScope keep free).
#pragma once

#include <condition_variable>
#include <mutex>

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
    };

    // Turns new callbacks away and waits for those inside to leave.
    void close();
    void open();

private:
    std::mutex mutex;
    std::condition_variable left;
    int inside = 0;
    bool closed = false;
};

}  // namespace movra
