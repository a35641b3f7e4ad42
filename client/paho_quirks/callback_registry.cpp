#include "callback_registry.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "arrival_gate.h"

namespace movra {
namespace {

struct Slot {
    SDK* target = nullptr;
    int inside = 0;
    std::chrono::steady_clock::time_point lastLeft{};
};

struct Registry {
    std::mutex mutex;
    std::condition_variable left;
    std::unordered_map<CallbackRegistry::Key, Slot> slots;
    CallbackRegistry::Key last = 0;
};

// Never destroyed: library threads may still look a key up while the process exits.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

}  // namespace

CallbackRegistry::Key CallbackRegistry::add(SDK* target) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Key key = ++r.last;
    r.slots[key] = Slot{target, 0};
    return key;
}

void CallbackRegistry::withdraw(Key key) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    auto it = r.slots.find(key);
    if (it == r.slots.end()) return;
    // References to elements survive a rehash; iterators do not.
    Slot& slot = it->second;
    slot.target = nullptr;
    r.left.wait(lock, [&] { return slot.inside == 0; });
    // A callback that has just returned is still inside the library, which touches the client's
    // state once more under its own lock; destroying the client meanwhile would pull it away. And
    // while messages flow, a callback the library has already begun may not have looked its key up
    // yet. Both need only a few instructions; the settling pause covers them many times over.
    auto settled = ArrivalGate::settledAfter(slot.lastLeft);
    r.slots.erase(key);
    lock.unlock();
    std::this_thread::sleep_until(settled);
}

CallbackRegistry::Entry::Entry(void* context) : key(reinterpret_cast<Key>(context)) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.slots.find(key);
    if (it == r.slots.end() || it->second.target == nullptr) return;
    ++it->second.inside;
    target = it->second.target;
}

CallbackRegistry::Entry::~Entry() {
    if (target == nullptr) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Slot& slot = r.slots.at(key);
    slot.lastLeft = std::chrono::steady_clock::now();
    if (--slot.inside == 0 && slot.target == nullptr) r.left.notify_all();
}

}  // namespace movra
