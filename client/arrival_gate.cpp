#include "arrival_gate.h"

#include <thread>

namespace movra {

ArrivalGate::Pass::Pass(ArrivalGate& g) {
    std::lock_guard lock(g.mutex);
    if (g.closed) return;
    ++g.inside;
    gate = &g;
}

ArrivalGate::Pass::~Pass() {
    if (gate == nullptr) return;
    std::lock_guard lock(gate->mutex);
    gate->lastLeft = std::chrono::steady_clock::now();
    if (--gate->inside == 0) gate->left.notify_all();
}

void ArrivalGate::close() {
    std::unique_lock lock(mutex);
    closed = true;
    left.wait(lock, [&] { return inside == 0; });
    auto settled = lastLeft + kSettle;
    lock.unlock();
    std::this_thread::sleep_until(settled);
}

void ArrivalGate::open() {
    std::lock_guard lock(mutex);
    closed = false;
}

}  // namespace movra
