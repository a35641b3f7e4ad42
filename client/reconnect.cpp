// Connection loss and the reconnect worker.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "console.h"
#include "paho_quirks/settle.h"
#include "sdk.h"

namespace movra {
namespace {

// The next back-off: doubled and capped at the ceiling. Computed in 64 bits so that a large ceiling
// cannot overflow; once the delay is zero or negative (a ceiling below one second) it stays at the
// ceiling instead of doubling towards overflow.
int nextDelay(int delay, int ceiling) {
    if (delay <= 0) return ceiling;
    return static_cast<int>(std::min<std::int64_t>(std::int64_t{delay} * 2, ceiling));
}

// The pause before an attempt that follows a loss: the library must have ended the lost session's
// receive thread first (see paho_quirks/settle.h).
constexpr std::chrono::milliseconds kSettleTime = paho::kReconnectSettle;

}  // namespace

void SDK::onConnectionLost(void* context, char* cause) {
    CallbackRegistry::Entry entry(context);
    if (SDK* self = entry.get()) self->connectionLost(cause);
}

void SDK::connectionLost(const char* cause) {
    // Runs on a thread of the library, which waits for it in its disconnect: record, print, hand the
    // notification to the dispatch thread, start or wake the worker. No library call, no user code.
    {
        std::lock_guard lock(completionMutex);
        ++interruptions;
    }
    completionCondition.notify_all();

    std::lock_guard lock(reconnectMutex);
    // The worker records a reconnected session under the same lock, so the flag and the order of the
    // queued notifications always agree: a loss is queued after the reconnect it ends.
    bool wasConnected = connected.exchange(false);
    ++losses;
    console::err(std::string("Connection lost: ") + (cause != nullptr ? cause : "unknown"));
    // A session that dropped before it was recorded as up was never reported; the attempt that
    // made it sees the loss and goes on retrying.
    if (wasConnected) channel->pushConnection(false, -1);

    // running is tested under the same lock that stop takes to collect the worker, so no worker
    // starts after stop has taken the last one.
    if (!running || !autoReconnect) return;
    if (workerActive) {
        // The worker still in its loop (in a back-off that a caller's connect made moot, or in the
        // attempt whose session just dropped) starts over from a one-second back-off, at once.
        reconnectCondition.notify_all();
        return;
    }
    // A previous worker has left its loop (it clears workerActive as its last step): joining it
    // takes no time.
    if (reconnectThread.joinable()) reconnectThread.join();
    workerActive = true;
    reconnectThread = std::thread(&SDK::reconnectLoop, this);
}

bool SDK::markConnected(std::uint64_t lossesBefore) {
    // Connects are serialised by connectMutex and start only while no session is up, and the library
    // holds back a new connect until the loss callback of the previous session has returned: a loss
    // counted since lossesBefore is the loss of the session this connect has just opened. It was
    // printed but not passed on (the session was never reported up); the caller treats the connect
    // as failed. No library call here: the loss callback may be waiting for this lock while the
    // library holds its own.
    if (losses != lossesBefore) return false;
    connected = true;
    // A worker in its back-off ends now rather than at the end of the wait.
    reconnectCondition.notify_all();
    return true;
}

std::uint64_t SDK::lossCount() {
    std::lock_guard lock(reconnectMutex);
    return losses;
}

void SDK::reconnectLoop() {
    int delay = 1;
    bool settle = true;  // this attempt follows a loss
    for (;;) {
        {
            // The decision to end is taken under reconnectMutex together with clearing workerActive,
            // so a loss reported meanwhile either finds this worker carrying on or starts a new one.
            std::unique_lock lock(reconnectMutex);
            if (settle) {
                settle = false;
                reconnectCondition.wait_for(lock, kSettleTime,
                                            [&] { return !running || connected; });
            }
            if (!running || connected) {
                workerActive = false;
                return;
            }
        }
        int rc;
        {
            std::lock_guard connectLock(connectMutex);
            if (!running || connected) continue;  // a caller's connect won meanwhile
            console::out("Attempting to reconnect...");
            arrivalGate.open();
            const std::uint64_t lossesBefore = lossCount();
            // The options as they stand: in the Enterprise edition the last explicit connect's token.
            rc = tls.connect(client.get(), connectOptions);
            if (rc == MQTTCLIENT_SUCCESS) {
                // Recorded before a caller's connect can look at connected again, and queued under
                // the lock that orders it before the loss of this session.
                std::lock_guard lock(reconnectMutex);
                if (markConnected(lossesBefore)) {
                    console::out("Reconnected successfully to " + serverUri);
                    channel->pushConnection(true, 0);
                }
            }
        }
        if (rc == MQTTCLIENT_SUCCESS) {
            // Recorded: the loop ends at the top. Lost before it was recorded: a new attempt after
            // the settling pause, as after any loss.
            delay = 1;
            settle = true;
            continue;
        }
        console::err("Reconnect failed, rc=" + std::to_string(rc) + ". Retrying in " +
                     std::to_string(delay) + "s");
        std::unique_lock lock(reconnectMutex);
        const std::uint64_t seen = losses;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(delay);
        reconnectCondition.wait_until(lock, deadline,
                                      [&] { return !running || connected || losses != seen; });
        if (losses != seen && !connected) {
            // A new loss (of a session a caller's connect made meanwhile): a fresh start.
            delay = 1;
            settle = true;
            continue;
        }
        delay = nextDelay(delay, maxReconnectInterval);
    }
}

}  // namespace movra
