#include "arrival_gate.h"

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
    gate->settling.callbackLeft();
    if (--gate->inside == 0) gate->left.notify_all();
}

void ArrivalGate::close() {
    std::unique_lock lock(mutex);
    closed = true;
    left.wait(lock, [&] { return inside == 0; });
    const paho::Pause pause = settling.closing();
    lock.unlock();
    pause.wait();
}

void ArrivalGate::released() {
    std::lock_guard lock(mutex);
    settling.released();
}

void ArrivalGate::open() {
    std::unique_lock lock(mutex);
    if (!closed) return;
    const paho::Pause pause = settling.reopening();
    lock.unlock();
    pause.wait();
    lock.lock();
    closed = false;
}

}  // namespace movra
