// Connection loss and the reconnect worker: the loss, "worker wakes", "attempt" and "attempt ok /
// fails" rows of the table in connection_state.h.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "paho_quirks/settle.h"
#include "sdk.h"

namespace movra {
namespace {

using Link = ConnectionState;

// The next back-off: doubled and capped at the ceiling. Computed in 64 bits so that a large ceiling
// cannot overflow; once the delay is zero or negative (a ceiling below one second) it stays at the
// ceiling instead of doubling towards overflow.
int nextDelay(int delay, int ceiling) {
    if (delay <= 0) return ceiling;
    return static_cast<int>(std::min<std::int64_t>(std::int64_t{delay} * 2, ceiling));
}

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
        std::lock_guard lock(reconnectMutex);
        const auto step = link.apply(Link::Event::Loss);
        writeLine(step.line, {.text = cause != nullptr ? cause : "unknown"});
        if (step.notice == Link::Notice::QueuedLost) channel->pushConnection(false, -1);
        if (step.action == Link::Action::WakeWorker) reconnectCondition.notify_all();
        if (step.action == Link::Action::StartWorker) {
            // A previous worker has left its loop: joining it takes no time.
            if (reconnectThread.joinable()) reconnectThread.join();
            reconnectThread = std::thread(&SDK::reconnectLoop, this);
        }
    }
    wakePublishers();
}

void SDK::reconnectLoop() {
    int delay = 1;
    // The session number of the worker's last look. Every loss moves it (the one that started the
    // worker too): the next attempt then waits for the settling pause, from a fresh back-off.
    std::uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(reconnectMutex);
            if (link.session() != seen) {
                seen = link.session();
                delay = 1;
                reconnectCondition.wait_for(lock, kSettleTime,
                                            [&] { return !link.reconnecting(); });
            }
            if (link.apply(Link::Event::WorkerWakes).action == Link::Action::EndWorker) return;
        }
        int rc;
        {
            std::lock_guard connectLock(connectMutex);
            {
                std::lock_guard lock(reconnectMutex);
                const auto step = link.apply(Link::Event::Attempt);
                if (step.action != Link::Action::LibraryConnect || link.session() != seen) continue;
                writeLine(step.line);
            }
            arrivalGate.open();
            {
                Outbound::LibraryConnect quiet(outbound);
                // The options as they stand: in the Enterprise edition the last explicit connect's
                // token.
                rc = tls.connect(client.get(), connectOptions);
            }
            std::lock_guard lock(reconnectMutex);
            const auto step = link.apply(
                rc == MQTTCLIENT_SUCCESS ? Link::Event::AttemptOk : Link::Event::AttemptFailed,
                seen);
            writeLine(step.line, {.text = serverUri, .rc = rc, .delay = delay});
            if (step.notice == Link::Notice::QueuedUp) channel->pushConnection(true, 0);
        }
        if (rc == MQTTCLIENT_SUCCESS) outbound.wakeSender();
        if (rc == MQTTCLIENT_SUCCESS) continue;
        std::unique_lock lock(reconnectMutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(delay);
        reconnectCondition.wait_until(
            lock, deadline, [&] { return !link.reconnecting() || link.session() != seen; });
        delay = nextDelay(delay, maxReconnectInterval);
    }
}

}  // namespace movra
