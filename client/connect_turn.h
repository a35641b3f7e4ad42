// The sequence every library connect of an SDK follows, the caller's and the reconnect worker's:
// one turn per request.
//
//   ConnectTurn turn(sdk, Event::Connect);   // connectMutex taken, the request applied
//   if (!turn.connects()) ...                // the table answered without a library connect
//   rc = sdk.connectTo(index);               // the arrival gate opened, one library connect, the
//                                            // renewal of subscriptions
//   MutexLock state(sdk.reconnectMutex);
//   step = sdk.finishConnect(turn, rc, session);   // the "ok" or "fails" event applied
//
// Threading contract: a turn lives on the stack of one thread. It holds connectMutex from its
// construction to its end (a scoped capability for clang's analysis). It takes reconnectMutex to
// apply the request and lets go of it before the library connect; the caller takes it again for
// finishConnect() and keeps it while it uses the outcome (lines, queued notices, the worker's back-off), so
// that use is ordered with the other events of the table.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "sdk.h"

namespace movra {

class SCOPED_CAPABILITY SDK::ConnectTurn {
public:
    // `request` is Connect (the caller) or Attempt (the worker). A worker passes the session number
    // it last looked at: a loss since then turns the attempt down. When the table asks for a
    // library connect, the request's own line is written under reconnectMutex.
    ConnectTurn(SDK& sdk, ConnectionState::Event request,
                std::optional<std::uint64_t> expectedSession = std::nullopt)
        ACQUIRE(sdk.connectMutex);
    ~ConnectTurn() RELEASE();
    ConnectTurn(const ConnectTurn&) = delete;
    ConnectTurn& operator=(const ConnectTurn&) = delete;

    // What the request did; when it asked for no library connect, its line is the caller's to write.
    const ConnectionState::Step& requested() const { return request; }
    // Whether a library connect follows.
    bool connects() const { return proceeds; }
    // The event that reports a library connect's code `rc`: ConnectOk / ConnectFailed, or
    // AttemptOk / AttemptFailed for a worker's turn (SDK::finishConnect applies it).
    ConnectionState::Event outcome(int rc) const;

private:
    SDK& sdk;
    ConnectionState::Event kind;
    ConnectionState::Step request;
    bool proceeds = false;
};

}  // namespace movra
