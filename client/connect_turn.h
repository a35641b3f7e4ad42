// The sequence every library connect of an SDK follows, the caller's and the reconnect worker's:
// one turn per request.
//
//   ConnectTurn turn(sdk, Event::Connect);   // connectMutex taken, the request applied
//   if (!turn.connects()) ...                // the table answered without a library connect
//   rc = turn.attempt(index);                // the arrival gate opened, one library connect, the
//                                            // renewal of subscriptions (SDK::connectTo)
//   step = turn.finish(rc, session);         // the "ok" or "fails" event applied
//
// Threading contract: a turn lives on the stack of one thread. It holds connectMutex from its
// construction to its end. It takes reconnectMutex to apply the request and lets go of it before
// the library connect; finish() takes it again and keeps it until the turn ends, so the caller's
// use of the outcome (lines, queued notices, the worker's back-off) is ordered with the other
// events of the table. The locks go in reverse order.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "sdk.h"

namespace movra {

class SDK::ConnectTurn {
public:
    // `request` is Connect (the caller) or Attempt (the worker). A worker passes the session number
    // it last looked at: a loss since then turns the attempt down. When the table asks for a
    // library connect, the request's own line is written under reconnectMutex.
    ConnectTurn(SDK& sdk, ConnectionState::Event request,
                std::optional<std::uint64_t> expectedSession = std::nullopt);
    ConnectTurn(const ConnectTurn&) = delete;
    ConnectTurn& operator=(const ConnectTurn&) = delete;

    // What the request did; when it asked for no library connect, its line is the caller's to write.
    const ConnectionState::Step& requested() const { return request; }
    // Whether a library connect follows.
    bool connects() const { return proceeds; }
    // One library connect to the address `index`, with the renewal of subscriptions.
    int attempt(std::size_t index);
    // Applies ConnectOk / ConnectFailed (AttemptOk / AttemptFailed for a worker's turn) with the
    // session number read before the library connect, wakes a worker the table asks to wake, and
    // returns the step; reconnectMutex stays held until the turn ends.
    ConnectionState::Step finish(int rc, std::uint64_t session);

private:
    SDK& sdk;
    ConnectionState::Event kind;
    std::lock_guard<std::mutex> connectLock;
    std::unique_lock<std::mutex> stateLock;
    ConnectionState::Step request;
    bool proceeds = false;
};

}  // namespace movra
