// Keeps the library's message callback and a disconnect of the same client apart. It exists only
// because of how Paho MQTT C hands messages over (see settle.h for the code paths and the version).
//
// The gate is closed by disconnect and opened again only by the next connect attempt (and for a new
// client), and not before kSettle after the library released its messages when they were flowing:
// a callback that the library began before the disconnect but reaches its pass only later finds it
// closed. Messages of the next session arrive only after its connect began, so none is turned away.
//
// The library hands a message to the message callback without holding its own lock, and a
// disconnect of a clean session releases the messages still queued in the library, the one being
// handed over included. So while a disconnect runs, the callback must not touch the message: it
// returns 0 ("not taken") at once, and the library keeps or releases the message itself.
//
// A callback that took the message returns 1, and the library then re-takes its lock to unlink the
// message from its queue; a disconnect that takes the lock first releases the message a second
// time. With the transport layer that moment is known (handover.h): a pass holds a paho::Hold, the
// library disconnect after close() waits out the gap itself, and close() and open() need no pause.
// Linked to the stock library nothing tells, and the rest of this comment applies. The message
// reaches the dispatch thread before the callback returns, so a handler that disconnects or stops
// at once meets exactly that moment. So close() also lets kSettle pass after the last callback left
// before it returns: the receive thread needs a few instructions to re-take the lock, and kSettle
// leaves it ample time even on a loaded machine. The same pause lets a callback that the library
// began just before the gate closed, but that has not reached its pass yet, find the gate closed.
// It costs nothing when no message came in during the last second.
//
// Threading contract: Pass is taken by the library's receive thread, close()/open() by the thread
// that disconnects. close() waits until every callback that holds a pass has left; a pass holder
// never waits for the closing thread (it may wait for room in the event queue, which the stop
// sequence and BlockingScope keep free).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "handover.h"
#include "settle.h"

namespace movra {

class ArrivalGate {
public:
    static constexpr std::chrono::milliseconds kSettle = paho::kCallbackSettle;
    static constexpr std::chrono::milliseconds kFlowing = paho::kFlowing;

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

    // When the library is done with a client whose last callback left at lastLeft: kSettle after
    // that, or kSettle from now while messages are still flowing (a callback the library has begun
    // may not have reached this code yet). With the transport layer: at once (a past time point).
    static std::chrono::steady_clock::time_point settledAfter(
        std::chrono::steady_clock::time_point lastLeft);

    // Turns new callbacks away, waits for those inside to leave and for the library to settle.
    void close();
    // Records that the library has released the messages it held (its disconnect returned).
    void released();
    // Lets callbacks through again; called before a connect attempt.
    void open();

private:
    std::mutex mutex;
    std::condition_variable left;
    int inside = 0;
    bool closed = false;
    std::chrono::steady_clock::time_point lastLeft{};
    bool flowingAtClose = false;
    std::chrono::steady_clock::time_point reopenAfter{};
};

}  // namespace movra
