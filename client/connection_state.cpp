#include "connection_state.h"

#include <string>

#include "console.h"

namespace movra {

using State = ConnectionState::State;
using Event = ConnectionState::Event;
using Notice = ConnectionState::Notice;
using Line = ConnectionState::Line;
using Action = ConnectionState::Action;

ConnectionState::Step ConnectionState::init(bool autoReconnect_) {
    if (current != State::Uninitialised) return ignored();
    autoReconnect = autoReconnect_;
    stopping = false;
    return apply(Event::Init);
}

ConnectionState::Step ConnectionState::apply(Event event, std::uint64_t session) {
    const bool offline = current == State::Offline || current == State::Reconnecting;
    switch (event) {
        case Event::Init:
            if (current != State::Uninitialised) return ignored();
            live = true;
            return to(State::Offline);
        case Event::Connect:
            if (current == State::Uninitialised) return to(current, Notice::None, Line::InitFirst);
            if (current == State::Connected)
                return to(current, Notice::None, Line::AlreadyConnected);
            return to(current, Notice::None, Line::None, Action::LibraryConnect);
        case Event::ConnectOk:
            if (!offline) return ignored();
            if (session != losses) return to(current, Notice::None, Line::ConnectFailed);
            return to(State::Connected, Notice::CallerUp, Line::Connected,
                      worker ? Action::WakeWorker : Action::None);
        case Event::ConnectFailed:
            if (!offline) return ignored();
            return to(current, Notice::None, Line::ConnectFailed);
        case Event::Disconnect:
            if (current != State::Connected) return to(current, Notice::None, Line::NotConnected);
            return to(State::Offline, Notice::CallerDown, Line::Disconnected,
                      Action::LibraryDisconnect);
        case Event::Loss:
            ++losses;
            ++interrupted;
            if (current == State::Connected) {
                if (!retry()) return to(State::Offline, Notice::QueuedLost, Line::Lost);
                return to(State::Reconnecting, Notice::QueuedLost, Line::Lost, runWorker());
            }
            if (offline && retry())
                return to(State::Reconnecting, Notice::None, Line::Lost, runWorker());
            return to(current, Notice::None, Line::Lost);
        case Event::WorkerWakes:
            if (!worker) return ignored();
            if (reconnecting()) return to(current);
            worker = false;
            return to(current, Notice::None, Line::None, Action::EndWorker);
        case Event::Attempt:
            if (!worker || !reconnecting()) return ignored();
            return to(current, Notice::None, Line::Attempting, Action::LibraryConnect);
        case Event::AttemptOk:
            if (!worker || current != State::Reconnecting) return ignored();
            if (session != losses) return to(current);
            return to(State::Connected, Notice::QueuedUp, Line::Reconnected);
        case Event::AttemptFailed:
            if (!worker || current != State::Reconnecting) return ignored();
            return to(current, Notice::None, Line::ReconnectFailed);
        case Event::Stop:
            stopping = true;
            live = false;
            ++interrupted;
            return to(current, Notice::None, Line::None,
                      worker ? Action::WakeWorker : Action::None);
        case Event::Released:
            return to(State::Uninitialised);
    }
    return ignored();
}

ConnectionState::Step ConnectionState::to(State next, Notice notice, Line line, Action action) {
    current = next;
    up = next == State::Connected;
    return Step{next, notice, line, action};
}

Action ConnectionState::runWorker() {
    if (worker) return Action::WakeWorker;
    worker = true;
    return Action::StartWorker;
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
