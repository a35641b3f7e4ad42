#include "arrival_gate.h"

#include <thread>

namespace movra {

ArrivalGate::Pass::Pass(ArrivalGate& g) {
    std::lock_guard lock(g.mutex);
    if (g.closed) return;
    ++g.inside;
    gate = &g;
    hold.emplace();
}

ArrivalGate::Pass::~Pass() {
    if (gate == nullptr) return;
    // Given back before the pass: a closer that sees no pass left finds the receive thread in
    // the gap before the library's lock, which its library calls then wait out.
    hold.reset();
    std::lock_guard lock(gate->mutex);
    gate->lastLeft = std::chrono::steady_clock::now();
    if (--gate->inside == 0) gate->left.notify_all();
}

std::chrono::steady_clock::time_point ArrivalGate::settledAfter(
    std::chrono::steady_clock::time_point lastLeft) {
    if (paho::kHandoverKnown) return {};
    auto now = std::chrono::steady_clock::now();
    return now - lastLeft < kFlowing ? now + kSettle : lastLeft + kSettle;
}

void ArrivalGate::close() {
    std::unique_lock lock(mutex);
    closed = true;
    left.wait(lock, [&] { return inside == 0; });
    // While messages flow, a callback the library has already begun may not have reached its pass
    // yet: it gets kSettle to find the gate closed before the library disconnect releases the
    // message it holds.
    if (paho::kHandoverKnown) return;  // the library calls after it wait out the handover
    flowingAtClose = std::chrono::steady_clock::now() - lastLeft < kFlowing;
    auto settled = settledAfter(lastLeft);
    lock.unlock();
    std::this_thread::sleep_until(settled);
}

void ArrivalGate::released() {
    std::lock_guard lock(mutex);
    if (flowingAtClose) reopenAfter = std::chrono::steady_clock::now() + kSettle;
}

void ArrivalGate::open() {
    std::unique_lock lock(mutex);
    if (!closed) return;
    auto after = reopenAfter;
    lock.unlock();
    std::this_thread::sleep_until(after);
    lock.lock();
    closed = false;
}

}  // namespace movra
