// The message handover's fallback where the transport layer's handover tier is not linked: the
// settling pauses (see handover.h for what they wait for and why).
#include <thread>

#include "handover.h"

// The build compiles this file only without the handover tier; the condition keeps a check that
// reads every source with the tier's defines (scripts/thread-safety.sh) from finding it twice.
#if !MOVRA_TRANSPORT_HANDOVER
namespace movra::paho {
namespace {

using Clock = std::chrono::steady_clock;

// kCallbackSettle after the last callback left, or from now while messages are still flowing (a
// callback the library has begun may not have reached its pass yet).
Clock::time_point settledAfter(Clock::time_point lastLeft) {
    const auto now = Clock::now();
    return now - lastLeft < kFlowing ? now + kCallbackSettle : lastLeft + kCallbackSettle;
}

}  // namespace

void Pause::wait() const { std::this_thread::sleep_until(until); }

void Settling::callbackLeft() { lastLeft = Clock::now(); }

Pause Settling::closing() {
    flowingAtClose = Clock::now() - lastLeft < kFlowing;
    return {settledAfter(lastLeft)};
}

void Settling::released() {
    if (flowingAtClose) reopenAfter = Clock::now() + kCallbackSettle;
}

Pause Settling::reopening() const { return {reopenAfter}; }

Pause Settling::destroying() const { return {settledAfter(lastLeft)}; }

}  // namespace movra::paho
#endif
