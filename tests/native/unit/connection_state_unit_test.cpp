// Broker-less unit tests of the connection state table (connection_state.h): properties every row
// must have, a seeded random walk through the record, and the scenarios whose outcome depends on the
// order of events.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "connection_state.h"

namespace movra {
namespace {

using S = ConnectionState::State;
using E = ConnectionState::Event;
using N = ConnectionState::Notice;
using L = ConnectionState::Line;
using A = ConnectionState::Action;
using M = ConnectionState::Match;
using Row = ConnectionState::Row;
using Facts = ConnectionState::Facts;
using Step = ConnectionState::Step;

constexpr S kStates[] = {S::Uninitialised, S::Offline, S::Connected, S::Reconnecting};
constexpr E kEvents[] = {E::Init,       E::Connect,       E::ConnectOk,   E::ConnectFailed,
                         E::Disconnect, E::Loss,          E::WorkerWakes, E::Attempt,
                         E::AttemptOk,  E::AttemptFailed, E::Stop,        E::Released};

std::vector<Facts> everyFacts() {
    std::vector<Facts> all;
    for (int bits = 0; bits < 8; ++bits)
        all.push_back(
            {.retry = (bits & 1) != 0, .worker = (bits & 2) != 0, .current = (bits & 4) != 0});
    return all;
}

std::string name(S state, E event, Facts f) {
    return "state " + std::to_string(static_cast<int>(state)) + ", event " +
           std::to_string(static_cast<int>(event)) + ", retry " + std::to_string(f.retry) +
           ", worker " + std::to_string(f.worker) + ", current " + std::to_string(f.current);
}

bool implies(bool premise, bool conclusion) { return !premise || conclusion; }
bool isUp(N n) { return n == N::CallerUp || n == N::QueuedUp; }
bool isDown(N n) { return n == N::CallerDown || n == N::QueuedLost; }
bool only(const Row& row, S state) { return row.from == ConnectionState::bit(state); }
bool from(const Row& row, S state) { return (row.from & ConnectionState::bit(state)) != 0; }

TEST(ConnectionStateUnit, ExactlyOneRowHandlesEveryStateEventAndFacts) {
    for (S state : kStates)
        for (E event : kEvents)
            for (Facts f : everyFacts()) {
                int matching = 0;
                for (const Row& row : ConnectionState::rows())
                    matching += row.matches(state, event, f) ? 1 : 0;
                EXPECT_EQ(matching, 1) << name(state, event, f);
            }
    for (const Row& row : ConnectionState::rows()) {
        EXPECT_NE(row.from, 0u) << "a row for no state";
    }
}

// What each row may do, judged from what the row itself says.
TEST(ConnectionStateUnit, EveryRowNoticesOnlyRealChangesAndActsOnlyWhereItCan) {
    for (const Row& row : ConnectionState::rows()) {
        SCOPED_TRACE("row of event " + std::to_string(static_cast<int>(row.event)));
        const bool stays = !row.next.has_value();
        if (row.ignored) {
            EXPECT_TRUE(stays && row.notice == N::None && row.line == L::None &&
                        row.action == A::None);
            EXPECT_TRUE(row.event != E::Loss && row.event != E::Stop && row.event != E::Released)
                << "these events always take effect";
        }
        // Up and down notices only where the session really comes up or goes down.
        EXPECT_TRUE(
            implies(isUp(row.notice), row.next == S::Connected && !from(row, S::Connected)));
        EXPECT_TRUE(
            implies(isDown(row.notice), only(row, S::Connected) && row.next != S::Connected));
        // Callers hear of their own connect and disconnect; the dispatch thread of the rest.
        EXPECT_TRUE(implies(row.notice == N::CallerUp || row.notice == N::CallerDown,
                            row.event == E::ConnectOk || row.event == E::Disconnect));
        EXPECT_TRUE(implies(row.notice == N::QueuedUp || row.notice == N::QueuedLost,
                            row.event == E::AttemptOk || row.event == E::Loss));
        // Entering Connected is always told; so is leaving it, but for the release at the end of
        // the stop sequence, which disconnects first.
        EXPECT_TRUE(implies(row.next == S::Connected, isUp(row.notice)));
        EXPECT_TRUE(implies(from(row, S::Connected) && row.next.has_value() &&
                                row.next != S::Connected && row.event != E::Released,
                            isDown(row.notice)));
        // Reconnecting only where a worker will have work; a caller's disconnect disconnects the
        // library; a caller's connect either calls the library or says why not.
        EXPECT_TRUE(implies(row.next == S::Reconnecting, row.retry == M::Yes));
        EXPECT_TRUE(implies(row.notice == N::CallerDown, row.action == A::LibraryDisconnect));
        EXPECT_TRUE(implies(row.event == E::Connect,
                            (row.action == A::LibraryConnect) == (row.line == L::None)));
        // Nothing is lost silently: every loss is printed.
        EXPECT_TRUE(implies(row.event == E::Loss, row.line == L::Lost));
        // A session opened over a lost one is never recorded.
        EXPECT_TRUE(implies(row.current == M::No, stays && row.notice == N::None));
        // The library is connected only where no session is up, and disconnected only where one is.
        EXPECT_TRUE(implies(row.action == A::LibraryConnect,
                            !from(row, S::Connected) && !from(row, S::Uninitialised)));
        EXPECT_TRUE(implies(row.action == A::LibraryDisconnect, only(row, S::Connected)));
        // One worker at a time: started only where none is in its loop, and only with retry, into
        // Reconnecting; woken or ended only where one is.
        EXPECT_TRUE(implies(row.action == A::StartWorker, row.worker == M::No &&
                                                              row.retry == M::Yes &&
                                                              row.next == S::Reconnecting));
        EXPECT_TRUE(implies(row.action == A::WakeWorker || row.action == A::EndWorker,
                            row.worker == M::Yes));
        // The worker's own events come only from a worker in its loop, and it attempts only while
        // it has work.
        EXPECT_TRUE(implies(row.event == E::WorkerWakes || row.event == E::Attempt ||
                                row.event == E::AttemptOk || row.event == E::AttemptFailed,
                            row.worker == M::Yes || row.ignored));
        EXPECT_TRUE(implies(row.line == L::Attempting ||
                                (row.action == A::LibraryConnect && row.event == E::Attempt),
                            only(row, S::Reconnecting) && row.retry == M::Yes));
        EXPECT_TRUE(implies(row.line == L::InitFirst, only(row, S::Uninitialised)));
        EXPECT_TRUE(implies(row.line == L::AlreadyConnected, only(row, S::Connected)));
        EXPECT_TRUE(implies(row.line == L::Reconnected || row.line == L::ReconnectFailed,
                            only(row, S::Reconnecting)));
    }
}

// Events in a random order, as the SDK's threads can send them: the "ok" events with the current
// session or one from before a loss, the release only at the end of a stop sequence.
TEST(ConnectionStateUnit, ARandomWalkKeepsTheMirrorsTheNoticesAndTheWorkerConsistent) {
    std::mt19937 random(20240611);
    for (int walk = 0; walk < 200; ++walk) {
        ConnectionState c;
        bool lastUp = false;  // the last up or down notice was an up
        for (int n = 0; n < 60; ++n) {
            const E event = kEvents[random() % std::size(kEvents)];
            if (event == E::Released && (c.initialised() || c.workerInLoop() || c.connected()))
                continue;
            const auto session = c.session() - (random() % 3 == 0 && c.session() > 0 ? 1 : 0);
            const bool hadWorker = c.workerInLoop();
            const auto losses = c.session();
            const auto interruptions = c.interruptions();
            const Step step =
                event == E::Init ? c.init(random() % 2 == 0) : c.apply(event, session);
            SCOPED_TRACE("walk " + std::to_string(walk) + ", step " + std::to_string(n));

            EXPECT_EQ(step.next, c.state());
            EXPECT_EQ(c.connected(), c.state() == S::Connected);
            if (isUp(step.notice)) {
                EXPECT_FALSE(lastUp) << "up twice without a down";
                lastUp = true;
            }
            if (isDown(step.notice)) {
                EXPECT_TRUE(lastUp) << "down without an up";
                lastUp = false;
            }
            EXPECT_EQ(lastUp, c.connected()) << "is_connected disagrees with the last notice";
            EXPECT_EQ(c.session(), losses + (event == E::Loss ? 1 : 0));
            EXPECT_EQ(c.interruptions(),
                      interruptions + (event == E::Loss || event == E::Stop ? 1 : 0));
            EXPECT_TRUE(implies(step.action == A::StartWorker, !hadWorker));
            EXPECT_TRUE(implies(step.action == A::WakeWorker, hadWorker));
            EXPECT_EQ(c.workerInLoop(),
                      step.action == A::StartWorker || (hadWorker && step.action != A::EndWorker));
            // Work never waits for a worker that is not there; a worker without work ends.
            EXPECT_TRUE(implies(event == E::WorkerWakes && hadWorker,
                                c.workerInLoop() == c.reconnecting()));
            EXPECT_TRUE(implies(c.reconnecting(), c.workerInLoop()));
            EXPECT_TRUE(implies(c.state() == S::Uninitialised, !c.initialised()));
        }
    }
}

TEST(ConnectionStateUnit, InitialisedFromInitUntilStopAndAgainAfterANewInit) {
    ConnectionState c;
    EXPECT_FALSE(c.initialised());
    c.init(true);
    EXPECT_TRUE(c.initialised());
    c.apply(E::Stop);
    EXPECT_FALSE(c.initialised());
    EXPECT_EQ(c.state(), S::Offline) << "the state stays until the client is released";
    EXPECT_EQ(c.init(true), Step{S::Offline}) << "ignored: init stops first";
    EXPECT_FALSE(c.initialised());
    c.apply(E::Released);
    EXPECT_EQ(c.init(false), Step{S::Offline});
    EXPECT_TRUE(c.initialised());
    c.apply(E::Connect);
    c.apply(E::ConnectOk, c.session());
    EXPECT_EQ(c.apply(E::Loss).next, S::Offline) << "the new init's autoReconnect counts";
}

TEST(ConnectionStateUnit, AConnectWhoseSessionWasLostMeanwhileFailsAndAWorkerStartsOver) {
    ConnectionState c;
    c.init(true);
    EXPECT_EQ(c.apply(E::Connect).action, A::LibraryConnect);
    const auto before = c.session();
    EXPECT_EQ(c.apply(E::Loss), (Step{S::Reconnecting, N::None, L::Lost, A::StartWorker}));
    EXPECT_EQ(c.apply(E::ConnectOk, before), (Step{S::Reconnecting, N::None, L::ConnectFailed}));
    EXPECT_FALSE(c.connected());

    const auto attempt = c.session();
    EXPECT_EQ(c.apply(E::Attempt).action, A::LibraryConnect);
    c.apply(E::Loss);
    EXPECT_EQ(c.apply(E::AttemptOk, attempt), Step{S::Reconnecting}) << "no notice, no line";
    EXPECT_EQ(c.apply(E::AttemptOk, c.session()),
              (Step{S::Connected, N::QueuedUp, L::Reconnected}));
}

TEST(ConnectionStateUnit, OneWorkerAtATimeStartedAnewOnlyAfterItEnded) {
    ConnectionState c;
    c.init(true);
    c.apply(E::Connect);
    c.apply(E::ConnectOk, c.session());
    EXPECT_EQ(c.apply(E::Loss).action, A::StartWorker);
    EXPECT_TRUE(c.workerInLoop());
    EXPECT_TRUE(c.reconnecting());

    // Reconnected; a loss before the worker has looked again restarts the same worker.
    EXPECT_EQ(c.apply(E::AttemptOk, c.session()).next, S::Connected);
    EXPECT_FALSE(c.reconnecting());
    EXPECT_EQ(c.apply(E::Loss).action, A::WakeWorker);
    EXPECT_EQ(c.apply(E::WorkerWakes).action, A::None) << "Reconnecting again: it goes on";

    // A caller's connect wins; the worker ends at its next look, and the next loss starts a new one.
    EXPECT_EQ(c.apply(E::ConnectOk, c.session()).action, A::WakeWorker);
    EXPECT_EQ(c.apply(E::Attempt), Step{S::Connected}) << "skipped";
    EXPECT_EQ(c.apply(E::WorkerWakes).action, A::EndWorker);
    EXPECT_FALSE(c.workerInLoop());
    EXPECT_EQ(c.apply(E::WorkerWakes), Step{S::Connected}) << "ignored: no worker";
    EXPECT_EQ(c.apply(E::Loss).action, A::StartWorker);
}

TEST(ConnectionStateUnit, AStopDuringReconnectWakesTheWorkerWhichThenEndsWithoutAnAttempt) {
    ConnectionState c;
    c.init(true);
    c.apply(E::Connect);
    c.apply(E::ConnectOk, c.session());
    c.apply(E::Loss);
    EXPECT_EQ(c.apply(E::Stop), (Step{S::Reconnecting, N::None, L::None, A::WakeWorker}));
    EXPECT_FALSE(c.reconnecting());
    EXPECT_EQ(c.apply(E::Attempt), Step{S::Reconnecting}) << "skipped";
    EXPECT_EQ(c.apply(E::WorkerWakes).action, A::EndWorker);
    EXPECT_EQ(c.apply(E::Loss).action, A::None) << "a late loss starts no worker";
    EXPECT_EQ(c.apply(E::Disconnect).line, L::NotConnected);
    EXPECT_EQ(c.apply(E::Released).next, S::Uninitialised);
}

}  // namespace
}  // namespace movra
