#include "connection_state.h"

#include <string>

#include "console.h"

namespace movra {

using State = ConnectionState::State;
using Event = ConnectionState::Event;
using Notice = ConnectionState::Notice;
using Line = ConnectionState::Line;
using Action = ConnectionState::Action;
using Match = ConnectionState::Match;
using Row = ConnectionState::Row;

namespace {

constexpr unsigned U = ConnectionState::bit(State::Uninitialised);
constexpr unsigned O = ConnectionState::bit(State::Offline);
constexpr unsigned C = ConnectionState::bit(State::Connected);
constexpr unsigned R = ConnectionState::bit(State::Reconnecting);
constexpr unsigned All = U | O | C | R;

constexpr Match any = Match::Any;
constexpr Match yes = Match::Yes;
constexpr Match no = Match::No;
constexpr std::optional<State> Stay{};

// A pair that does nothing at all: the record stays as it is.
constexpr Row ignore(unsigned from, Event event, Match retry = any, Match worker = any) {
    return Row{from, event, retry, worker, any, Stay, Notice::None, Line::None, Action::None, true};
}

// clang-format off
constexpr Row kRows[] = {
//   from   event                retry worker current  next                   notice            line                    action
    {U,     Event::Init,          any, any,  any,     State::Offline},
    ignore(O | C | R, Event::Init),

    {U,     Event::Connect,       any, any,  any,     Stay,                  Notice::None,       Line::InitFirst},
    {C,     Event::Connect,       any, any,  any,     Stay,                  Notice::None,       Line::AlreadyConnected},
    {O | R, Event::Connect,       any, any,  any,     Stay,                  Notice::None,       Line::None,             Action::LibraryConnect},

    // A loss between the library connect and this: the session dropped before it was recorded.
    {O | R, Event::ConnectOk,     any, any,  no,      Stay,                  Notice::None,       Line::ConnectFailed},
    {O | R, Event::ConnectOk,     any, yes,  yes,     State::Connected,      Notice::CallerUp,   Line::Connected,        Action::WakeWorker},
    {O | R, Event::ConnectOk,     any, no,   yes,     State::Connected,      Notice::CallerUp,   Line::Connected},
    ignore(U | C, Event::ConnectOk),
    {O | R, Event::ConnectFailed, any, any,  any,     Stay,                  Notice::None,       Line::ConnectFailed},
    ignore(U | C, Event::ConnectFailed),

    {C,     Event::Disconnect,    any, any,  any,     State::Offline,        Notice::CallerDown, Line::Disconnected,     Action::LibraryDisconnect},
    {U | O | R, Event::Disconnect, any, any, any,     Stay,                  Notice::None,       Line::NotConnected},

    // Every loss is printed; only the loss of the session that was up is passed on.
    {C,     Event::Loss,          no,  any,  any,     State::Offline,        Notice::QueuedLost, Line::Lost},
    {C,     Event::Loss,          yes, no,   any,     State::Reconnecting,   Notice::QueuedLost, Line::Lost,             Action::StartWorker},
    {C,     Event::Loss,          yes, yes,  any,     State::Reconnecting,   Notice::QueuedLost, Line::Lost,             Action::WakeWorker},
    {O | R, Event::Loss,          yes, no,   any,     State::Reconnecting,   Notice::None,       Line::Lost,             Action::StartWorker},
    {O | R, Event::Loss,          yes, yes,  any,     State::Reconnecting,   Notice::None,       Line::Lost,             Action::WakeWorker},
    {O | R, Event::Loss,          no,  any,  any,     Stay,                  Notice::None,       Line::Lost},
    {U,     Event::Loss,          any, any,  any,     Stay,                  Notice::None,       Line::Lost},

    // Only a worker in its loop sends the worker's events.
    ignore(All, Event::WorkerWakes, any, no),
    {R,     Event::WorkerWakes,   yes, yes,  any,     Stay},
    {R,     Event::WorkerWakes,   no,  yes,  any,     Stay,                  Notice::None,       Line::None,             Action::EndWorker},
    {U | O | C, Event::WorkerWakes, any, yes, any,    Stay,                  Notice::None,       Line::None,             Action::EndWorker},

    {R,     Event::Attempt,       yes, yes,  any,     Stay,                  Notice::None,       Line::Attempting,       Action::LibraryConnect},
    ignore(R, Event::Attempt, no, yes),
    ignore(R, Event::Attempt, any, no),
    ignore(U | O | C, Event::Attempt),

    // A loss during the attempt: the worker starts over.
    {R,     Event::AttemptOk,     any, yes,  no,      Stay},
    {R,     Event::AttemptOk,     any, yes,  yes,     State::Connected,      Notice::QueuedUp,   Line::Reconnected},
    ignore(R, Event::AttemptOk, any, no),
    ignore(U | O | C, Event::AttemptOk),
    {R,     Event::AttemptFailed, any, yes,  any,     Stay,                  Notice::None,       Line::ReconnectFailed},
    ignore(R, Event::AttemptFailed, any, no),
    ignore(U | O | C, Event::AttemptFailed),

    // Retry ends with the stop; a worker in its pause is woken to see it.
    {All,   Event::Stop,          any, yes,  any,     Stay,                  Notice::None,       Line::None,             Action::WakeWorker},
    {All,   Event::Stop,          any, no,   any,     Stay},

    {All,   Event::Released,      any, any,  any,     State::Uninitialised},
};
// clang-format on

bool fits(Match match, bool fact) { return match == Match::Any || (match == Match::Yes) == fact; }

}  // namespace

bool Row::matches(State state, Event event_, Facts facts) const {
    return (from & ConnectionState::bit(state)) != 0 && event == event_ &&
           fits(retry, facts.retry) && fits(worker, facts.worker) && fits(current, facts.current);
}

std::span<const Row> ConnectionState::rows() { return kRows; }

const Row& ConnectionState::find(State state, Event event, Facts facts) {
    for (const Row& row : kRows)
        if (row.matches(state, event, facts)) return row;
    // Unreachable: the unit test proves that every combination has its row.
    static constexpr Row kNone = ignore(All, Event::Init);
    return kNone;
}

ConnectionState::Step ConnectionState::init(bool autoReconnect) {
    if (current != State::Uninitialised) return Step{current};
    flags.autoReconnect = autoReconnect;
    flags.stopping = false;
    return apply(Event::Init);
}

ConnectionState::Step ConnectionState::apply(Event event, std::uint64_t session) {
    const Row& row = find(current, event,
                          {.retry = retry(), .worker = flags.worker, .current = session == losses});
    if (row.ignored) return Step{current};
    if (event == Event::Loss) {
        ++losses;
        ++mirror.interrupted;
    }
    if (event == Event::Stop) {
        flags.stopping = true;
        ++mirror.interrupted;
    }
    if (row.action == Action::StartWorker) flags.worker = true;
    if (row.action == Action::EndWorker) flags.worker = false;
    current = row.next.value_or(current);
    mirror.up = current == State::Connected;
    mirror.live = current != State::Uninitialised && !flags.stopping;
    return Step{current, row.notice, row.line, row.action};
}

void writeLine(Line line, const LineDetail& detail) {
    const std::string text(detail.text);
    switch (line) {
        case Line::None:
            return;
        case Line::InitFirst:
            return console::err("connect — call init() first");
        case Line::AlreadyConnected:
            return console::out("Already connected");
        case Line::Connected:
            return console::out("Connected to " + text);
        case Line::ConnectFailed:
            return console::err("connect failed, rc=" + std::to_string(detail.rc));
        case Line::Disconnected:
            return console::out("Disconnected");
        case Line::NotConnected:
            return console::out("Not connected");
        case Line::Lost:
            return console::err("Connection lost: " + text);
        case Line::Attempting:
            return console::out("Attempting to reconnect...");
        case Line::Reconnected:
            return console::out("Reconnected successfully to " + text);
        case Line::ReconnectFailed:
            return console::err("Reconnect failed, rc=" + std::to_string(detail.rc) +
                                ". Retrying in " + std::to_string(detail.delay) + "s");
    }
}

}  // namespace movra
