// The connection state of one SDK: which state it is in, and what each event does there.
//
// The transitions are data: the rows of kRows in connection_state.cpp. A row matches a set of
// states, an event and the facts of the record (Facts: retry, a worker in its loop, the session
// still current) and names the next state, the notice, the console line and what the applying thread
// does next. Exactly one row matches each state, event and combination of facts; a row marked
// ignored leaves the record as it is. Beyond its row an event moves two counters: every loss opens a
// new session number, and every loss and every stop moves interruptions().
//
// The console lines (writeLine): <uri> is the address the connect reached (broker_list.h). With
// failover addresses an explicit connect writes one line for all of them (the last code when none
// answered); every attempt of the worker writes its own, whose back-off is 0 while the round of the
// list goes on.
//
// "retry": autoReconnect was given to init and the stop sequence has not begun. A loss with retry
// starts the reconnect worker, or restarts the one still in its loop. A worker looks again after
// every pause ("worker wakes") and before every library connect ("attempt"); it ends when the state
// is no longer Reconnecting, so a connect that succeeds ends it too.
//
// "session lost since": every loss opens a new session number. A connect reads the number before it
// calls the library and hands it to "connect ok" / "attempt ok": when a loss came in between, the
// session it opened has dropped before it was recorded. Its loss was printed but not passed on (the
// session was never reported up); the caller's connect fails with rc=-3 and a worker starts over.
//
// The notices: "caller" ones are delivered by the thread that made the change, after it has let go
// of every lock; "queued" ones go to the dispatch thread, queued while the owner's lock is held, so
// that they follow the order of the state changes. A session is "up" (is_connected) only in
// Connected. The stop sequence is: stop, the worker joined, the queued events delivered, disconnect,
// released.
//
// Threading contract: apply() and the plain readers are called with the owner's reconnectMutex held.
// mirrors() (connected(), initialised(), interruptions()) are atomic mirrors that any thread may
// read without a lock; they never block. The table itself (rows(), find()) is constant.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace movra {

class ConnectionState {
public:
    enum class State { Uninitialised, Offline, Connected, Reconnecting };
    enum class Event {
        Init,           // init has made the library client
        Connect,        // a caller asks to connect
        ConnectOk,      // the caller's library connect succeeded
        ConnectFailed,  // the caller's connect failed (library code, or refused before the library)
        Disconnect,     // a caller asks to disconnect
        Loss,           // the library reports the loss of a session
        WorkerWakes,    // the reconnect worker looks whether to go on
        Attempt,        // the worker is about to make a library connect
        AttemptOk,
        AttemptFailed,
        Stop,      // the stop sequence begins
        Released,  // the stop sequence has let the library client go
    };
    enum class Notice { None, CallerUp, CallerDown, QueuedLost, QueuedUp };
    enum class Line {
        None,
        InitFirst,         // err "connect — call init() first"
        AlreadyConnected,  // out "Already connected"
        Connected,         // out "Connected to <uri>"
        ConnectFailed,     // err "connect failed, rc=<rc>"
        Disconnected,      // out "Disconnected"
        NotConnected,      // out "Not connected"
        Lost,              // err "Connection lost: <cause>"
        Attempting,        // out "Attempting to reconnect..."
        Reconnected,       // out "Reconnected successfully to <uri>"
        ReconnectFailed,   // err "Reconnect failed, rc=<rc>. Retrying in <d>s"
    };
    // What the thread that applied the event does next.
    enum class Action {
        None,
        LibraryConnect,     // connect: call the library
        LibraryDisconnect,  // disconnect: call the library
        StartWorker,        // join a finished worker, start a new one
        WakeWorker,         // notify the worker's condition
        EndWorker,          // the worker leaves its loop
    };
    struct Step {
        State next = State::Uninitialised;
        Notice notice = Notice::None;
        Line line = Line::None;
        Action action = Action::None;
        bool operator==(const Step&) const = default;
    };

    // What a row matches on beyond the state and the event.
    struct Facts {
        bool retry = false;    // autoReconnect, and the stop sequence has not begun
        bool worker = false;   // a reconnect worker is inside its loop
        bool current = false;  // the session an "ok" event carries is the current one
    };
    enum class Match { Any, Yes, No };
    // A set of states, one bit per state.
    static constexpr unsigned bit(State state) { return 1u << static_cast<unsigned>(state); }
    struct Row {
        unsigned from = 0;
        Event event = Event::Init;
        Match retry = Match::Any;
        Match worker = Match::Any;
        Match current = Match::Any;
        std::optional<State> next{};  // empty: the state stays
        Notice notice = Notice::None;
        Line line = Line::None;
        Action action = Action::None;
        bool ignored = false;
        bool matches(State state, Event event, Facts facts) const;
    };
    static std::span<const Row> rows();
    // The row that applies; there is one for every state, event and combination of facts.
    static const Row& find(State state, Event event, Facts facts);

    // The result a connect reports when its session was lost before it was recorded.
    static constexpr int kLostBeforeRecorded = MQTTCLIENT_DISCONNECTED;

    // The init event, with init's autoReconnect.
    Step init(bool autoReconnect);
    // Any event; `session` is the number read before the library connect, for the "ok" events.
    Step apply(Event event, std::uint64_t session = 0);

    State state() const { return current; }
    // The number of the current session (see "session lost since").
    std::uint64_t session() const { return losses; }
    // A worker is inside its loop.
    bool workerInLoop() const { return flags.worker; }
    // The worker has work: Reconnecting, with retry.
    bool reconnecting() const { return current == State::Reconnecting && retry(); }

    // The lock-free side of the record, which any thread may read.
    class Mirrors {
    public:
        bool connected() const { return up.load(); }
        // True from init until the stop sequence begins.
        bool initialised() const { return live.load(); }
        // Moves with every loss and every stop: a wait for a publish acknowledgement ends.
        std::uint64_t interruptions() const { return interrupted.load(); }

    private:
        friend class ConnectionState;
        std::atomic<bool> up{false};
        std::atomic<bool> live{false};
        std::atomic<std::uint64_t> interrupted{0};
    };
    const Mirrors& mirrors() const { return mirror; }
    bool connected() const { return mirror.connected(); }
    bool initialised() const { return mirror.initialised(); }
    std::uint64_t interruptions() const { return mirror.interruptions(); }

private:
    bool retry() const { return flags.autoReconnect && !flags.stopping; }

    // What the facts are made of, besides the session numbers.
    struct Flags {
        bool autoReconnect = false;
        bool stopping = false;  // from stop until the next init
        bool worker = false;    // from StartWorker until EndWorker
    };
    State current = State::Uninitialised;
    Flags flags;
    std::uint64_t losses = 0;
    Mirrors mirror;
};

// What a console line of the table says beyond its fixed text: the URI or the cause, a library
// code, the back-off in seconds.
struct LineDetail {
    std::string_view text{};
    int rc = 0;
    int delay = 0;
};

// Writes the line, composed whole, to its stream; nothing for Line::None.
void writeLine(ConnectionState::Line line, const LineDetail& detail = {});

}  // namespace movra
