#include "arrival_gate.h"

namespace movra {

ArrivalGate::Pass::Pass(ArrivalGate& g) {
    MutexLock lock(g.mutex);
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
    MutexLock lock(gate->mutex);
    gate->settling.callbackLeft();
    if (--gate->inside == 0) gate->left.notify_all();
}

void ArrivalGate::close() {
    MutexLock lock(mutex);
    closed = true;
    while (inside != 0) lock.wait(left);
    const paho::Pause pause = settling.closing();
    lock.unlock();
    pause.wait();
}

void ArrivalGate::released() {
    MutexLock lock(mutex);
    settling.released();
}

void ArrivalGate::open() {
    MutexLock lock(mutex);
    if (!closed) return;
    const paho::Pause pause = settling.reopening();
    lock.unlock();
    pause.wait();
    lock.relock();
    closed = false;
}

}  // namespace movra
