// Connection loss and the reconnect worker: the loss, "worker wakes", "attempt" and "attempt ok /
// fails" rows of the table in connection_state.h.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "connect_turn.h"
#include "paho_quirks/settle.h"
#include "sdk.h"

namespace movra {
namespace {

using Table = ConnectionState;

// The pause before an attempt that follows a loss (see paho_quirks/settle.h).
constexpr std::chrono::milliseconds kSettleTime = paho::kReconnectSettle;

}  // namespace

void SDK::onConnectionLost(void* context, char* cause) {
    CallbackRegistry::Entry entry(context);
    if (SDK* self = entry.get()) self->connectionLost(cause);
}

void SDK::connectionLost(const char* cause) {
    // On a thread of the library, which waits for it: no library call, no user code.
    {
        MutexLock lock(reconnectMutex);
        const auto step = connection.apply(Table::Event::Loss);
        writeLine(step.line, {.text = cause != nullptr ? cause : "unknown"});
        if (step.notice == Table::Notice::QueuedLost) dispatcher->pushConnection(false, -1);
        if (step.action == Table::Action::WakeWorker) reconnectCondition.notify_all();
        if (step.action == Table::Action::StartWorker) {
            // A previous worker has left its loop: joining it takes no time.
            if (reconnectThread.joinable()) reconnectThread.join();
            reconnectThread = std::thread(&SDK::reconnectLoop, this);
        }
    }
    wakePublishers();
}

void SDK::reconnectLoop() {
    // The session number of the worker's last look. Every loss moves it (the one that started the
    // worker too): the next attempt then waits for the settling pause, from a fresh back-off and a
    // fresh round of the broker list that begins after the address just lost.
    std::uint64_t seen = 0;
    bool freshRound = true;
    std::size_t next = 0;   // the address of the next attempt
    std::size_t tried = 0;  // attempts made in the current round of the list
    for (;;) {
        {
            MutexLock lock(reconnectMutex);
            if (connection.session() != seen) {
                seen = connection.session();
                backoff.restart();
                freshRound = true;
                const auto settled = std::chrono::steady_clock::now() + kSettleTime;
                while (connection.reconnecting())
                    if (lock.waitUntil(reconnectCondition, settled) == std::cv_status::timeout)
                        break;
            }
            if (connection.apply(Table::Event::WorkerWakes).action == Table::Action::EndWorker)
                return;
        }
        int rc;
        long long waitMs = 0;
        int shownDelay = 0;  // the seconds the failure line names
        {
            ConnectTurn turn(*this, Table::Event::Attempt, seen);
            if (!turn.connects()) continue;
            const BrokerList& brokers = library.options().brokers();
            if (freshRound) {
                next = brokers.after(reached);
                tried = 0;
                freshRound = false;
            }
            const std::size_t index = next;
            // The options as they stand: in the Enterprise edition the last explicit connect's token.
            rc = connectTo(index);
            MutexLock state(reconnectMutex);
            const auto step = finishConnect(turn, rc, seen);
            if (rc != MQTTCLIENT_SUCCESS) {
                // The next address at once; the back-off only once the whole list has failed.
                next = brokers.after(index);
                if (++tried >= brokers.size()) {
                    tried = 0;
                    const Backoff::Wait wait = backoff.next();
                    waitMs = wait.length.count();
                    shownDelay = wait.shown;
                }
            }
            writeLine(step.line, {.text = brokers.uri(index), .rc = rc, .delay = shownDelay});
            if (step.notice == Table::Notice::QueuedUp) dispatcher->pushConnection(true, 0);
            if (rc == Table::kLostBeforeRecorded) {
                // The attempt's own session was lost in its renewal (connectTo): that loss is this
                // attempt's failure, not the loss of a live session, so the back-off and the round
                // go on; the next attempt still waits for the library's receive thread to end.
                seen = connection.session();
                waitMs = std::max<long long>(waitMs, kSettleTime.count());
            }
        }
        if (rc == MQTTCLIENT_SUCCESS) outbound.wakeSender();
        if (rc == MQTTCLIENT_SUCCESS || waitMs == 0) continue;
        MutexLock lock(reconnectMutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (connection.reconnecting() && connection.session() == seen)
            if (lock.waitUntil(reconnectCondition, deadline) == std::cv_status::timeout) break;
    }
}

}  // namespace movra
