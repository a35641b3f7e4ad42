// Connection loss and the reconnect worker.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "console.h"
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

}  // namespace

void SDK::onConnectionLost(void* context, char* cause) {
    CallbackRegistry::Entry entry(context);
    if (SDK* self = entry.get()) self->connectionLost(cause);
}

void SDK::connectionLost(const char* cause) {
    // Runs on a thread of the library, which waits for it in its disconnect: record, print, hand the
    // notification to the dispatch thread, start the worker. No library call, no user code.
    connected = false;
    console::err(std::string("Connection lost: ") + (cause != nullptr ? cause : "unknown"));
    channel->pushConnection(false, -1);
    {
        std::lock_guard lock(completionMutex);
        ++interruptions;
    }
    completionCondition.notify_all();

    std::lock_guard lock(reconnectMutex);
    // running is tested under the same lock that stop takes to collect the worker, so no worker
    // starts after stop has taken the last one.
    if (!running || !autoReconnect) return;
    if (workerActive) return;  // the worker still in its loop carries on with this loss
    // A previous worker has left its loop (it clears workerActive as its last step): joining it
    // takes no time.
    if (reconnectThread.joinable()) reconnectThread.join();
    workerActive = true;
    reconnectThread = std::thread(&SDK::reconnectLoop, this);
}

void SDK::reconnectLoop() {
    int delay = 1;
    for (;;) {
        {
            // The decision to end is taken under reconnectMutex together with clearing workerActive,
            // so a loss reported meanwhile either finds this worker carrying on or starts a new one.
            std::lock_guard lock(reconnectMutex);
            if (!running || connected) {
                workerActive = false;
                return;
            }
        }
        int rc;
        // The back-off counts from the start of an attempt: a refused connect still takes the
        // library a few hundred milliseconds, which would otherwise add to every wait.
        auto attemptStart = std::chrono::steady_clock::now();
        {
            std::lock_guard connectLock(connectMutex);
            if (!running || connected) continue;  // a caller's connect won meanwhile
            console::out("Attempting to reconnect...");
            // The options as they stand: in the Enterprise edition the last explicit connect's token.
            rc = MQTTClient_connect(client.get(), &connectOptions);
            if (rc == MQTTCLIENT_SUCCESS) connected = true;
        }
        if (rc == MQTTCLIENT_SUCCESS) {
            console::out("Reconnected successfully to " + serverUri);
            channel->pushConnection(true, 0);
            delay = 1;
            continue;
        }
        console::err("Reconnect failed, rc=" + std::to_string(rc) + ". Retrying in " +
                     std::to_string(delay) + "s");
        std::unique_lock lock(reconnectMutex);
        auto deadline = attemptStart + std::chrono::seconds(delay);
        reconnectCondition.wait_until(lock, deadline, [&] { return !running; });
        delay = nextDelay(delay, maxReconnectInterval);
    }
}

}  // namespace movra
