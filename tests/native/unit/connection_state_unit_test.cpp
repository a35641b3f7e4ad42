// Broker-less unit tests of the connection state table (connection_state.h): every row, the pairs
// that are ignored, and the session numbers that tell a connect its session dropped before it was
// recorded.
#include <gtest/gtest.h>

#include <string>

#include "connection_state.h"

namespace movra {
namespace {

using S = ConnectionState::State;
using E = ConnectionState::Event;
using N = ConnectionState::Notice;
using L = ConnectionState::Line;
using A = ConnectionState::Action;
using Step = ConnectionState::Step;

// Where a row starts: a state reached through the table itself.
enum class From {
    Fresh,
    Offline,
    OfflineNoRetry,
    Connected,
    ConnectedNoRetry,
    Reconnecting,
    Stopping
};

void reach(ConnectionState& c, From from) {
    if (from == From::Fresh) return;
    const bool retry = from != From::OfflineNoRetry && from != From::ConnectedNoRetry;
    c.init(retry);
    if (from == From::Offline || from == From::OfflineNoRetry) return;
    c.apply(E::Connect);
    c.apply(E::ConnectOk, c.session());
    if (from == From::Connected || from == From::ConnectedNoRetry) return;
    c.apply(E::Loss);  // Reconnecting, with a worker in its loop
    if (from == From::Stopping) c.apply(E::Stop);
}

struct Row {
    From from;
    E event;
    bool staleSession;  // the "ok" events carry a session number from before a loss
    Step expected;
};

std::string describe(const Row& row) {
    return "row from " + std::to_string(static_cast<int>(row.from)) + ", event " +
           std::to_string(static_cast<int>(row.event));
}

TEST(ConnectionStateUnit, EveryRowOfTheTableAndTheIgnoredPairs) {
    const Row rows[] = {
        // Uninitialised
        {From::Fresh, E::Init, false, {S::Offline}},
        {From::Fresh, E::Connect, false, {S::Uninitialised, N::None, L::InitFirst}},
        {From::Fresh, E::Disconnect, false, {S::Uninitialised, N::None, L::NotConnected}},
        {From::Fresh, E::Loss, false, {S::Uninitialised, N::None, L::Lost}},
        {From::Fresh, E::Stop, false, {S::Uninitialised}},
        {From::Fresh, E::Released, false, {S::Uninitialised}},
        {From::Fresh, E::ConnectOk, false, {S::Uninitialised}},  // ignored
        {From::Fresh, E::ConnectFailed, false, {S::Uninitialised}},
        {From::Fresh, E::WorkerWakes, false, {S::Uninitialised}},
        {From::Fresh, E::Attempt, false, {S::Uninitialised}},
        {From::Fresh, E::AttemptOk, false, {S::Uninitialised}},
        // Offline
        {From::Offline, E::Init, false, {S::Offline}},  // ignored: init stops first
        {From::Offline, E::Connect, false, {S::Offline, N::None, L::None, A::LibraryConnect}},
        {From::Offline, E::ConnectOk, false, {S::Connected, N::CallerUp, L::Connected}},
        {From::OfflineNoRetry, E::ConnectOk, true, {S::Offline, N::None, L::ConnectFailed}},
        {From::Offline, E::ConnectFailed, false, {S::Offline, N::None, L::ConnectFailed}},
        {From::Offline, E::Disconnect, false, {S::Offline, N::None, L::NotConnected}},
        {From::Offline, E::Loss, false, {S::Reconnecting, N::None, L::Lost, A::StartWorker}},
        {From::OfflineNoRetry, E::Loss, false, {S::Offline, N::None, L::Lost}},
        {From::Offline, E::WorkerWakes, false, {S::Offline}},  // ignored: no worker
        {From::Offline, E::Attempt, false, {S::Offline}},
        {From::Offline, E::AttemptOk, false, {S::Offline}},
        {From::Offline, E::AttemptFailed, false, {S::Offline}},
        {From::Offline, E::Stop, false, {S::Offline}},
        {From::Offline, E::Released, false, {S::Uninitialised}},
        // Connected
        {From::Connected, E::Connect, false, {S::Connected, N::None, L::AlreadyConnected}},
        {From::Connected, E::ConnectOk, false, {S::Connected}},  // ignored
        {From::Connected, E::ConnectFailed, false, {S::Connected}},
        {From::Connected,
         E::Disconnect,
         false,
         {S::Offline, N::CallerDown, L::Disconnected, A::LibraryDisconnect}},
        {From::Connected,
         E::Loss,
         false,
         {S::Reconnecting, N::QueuedLost, L::Lost, A::StartWorker}},
        {From::ConnectedNoRetry, E::Loss, false, {S::Offline, N::QueuedLost, L::Lost}},
        {From::Connected, E::AttemptOk, false, {S::Connected}},  // ignored: no worker
        {From::Connected, E::Stop, false, {S::Connected}},
        {From::Connected, E::Released, false, {S::Uninitialised}},
        // Reconnecting, a worker in its loop
        {From::Reconnecting,
         E::Connect,
         false,
         {S::Reconnecting, N::None, L::None, A::LibraryConnect}},
        {From::Reconnecting,
         E::ConnectOk,
         false,
         {S::Connected, N::CallerUp, L::Connected, A::WakeWorker}},
        {From::Reconnecting, E::ConnectOk, true, {S::Reconnecting, N::None, L::ConnectFailed}},
        {From::Reconnecting, E::ConnectFailed, false, {S::Reconnecting, N::None, L::ConnectFailed}},
        {From::Reconnecting, E::Disconnect, false, {S::Reconnecting, N::None, L::NotConnected}},
        {From::Reconnecting, E::Loss, false, {S::Reconnecting, N::None, L::Lost, A::WakeWorker}},
        {From::Reconnecting, E::WorkerWakes, false, {S::Reconnecting}},
        {From::Reconnecting,
         E::Attempt,
         false,
         {S::Reconnecting, N::None, L::Attempting, A::LibraryConnect}},
        {From::Reconnecting, E::AttemptOk, false, {S::Connected, N::QueuedUp, L::Reconnected}},
        {From::Reconnecting, E::AttemptOk, true, {S::Reconnecting}},
        {From::Reconnecting,
         E::AttemptFailed,
         false,
         {S::Reconnecting, N::None, L::ReconnectFailed}},
        {From::Reconnecting, E::Stop, false, {S::Reconnecting, N::None, L::None, A::WakeWorker}},
        {From::Reconnecting, E::Released, false, {S::Uninitialised}},
        // The stop sequence has begun: no retry, the worker ends
        {From::Stopping, E::WorkerWakes, false, {S::Reconnecting, N::None, L::None, A::EndWorker}},
        {From::Stopping, E::Attempt, false, {S::Reconnecting}},  // ignored: skipped
        {From::Stopping, E::Loss, false, {S::Reconnecting, N::None, L::Lost}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(describe(row));
        ConnectionState c;
        reach(c, row.from);
        const auto session = c.session();
        const auto interruptions = c.interruptions();
        if (row.staleSession) c.apply(E::Loss);
        const auto before = c.session();
        const Step step = c.apply(row.event, row.staleSession ? session : c.session());
        EXPECT_EQ(step, row.expected);
        EXPECT_EQ(c.state(), row.expected.next);
        EXPECT_EQ(c.connected(), row.expected.next == S::Connected);
        // Losses open a new session and, like a stop, end the waits for acknowledgements.
        EXPECT_EQ(c.session(), before + (row.event == E::Loss ? 1 : 0));
        const bool interrupts = row.event == E::Loss || row.event == E::Stop || row.staleSession;
        EXPECT_EQ(c.interruptions() != interruptions, interrupts);
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

}  // namespace
}  // namespace movra
