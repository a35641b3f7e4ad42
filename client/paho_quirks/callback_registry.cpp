#include "callback_registry.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "../mutex.h"
#include "handover.h"

namespace movra {
namespace {

struct Slot {
    SDK* target = nullptr;
    int inside = 0;
    paho::Settling settling;
};

struct Registry {
    Mutex mutex;
    std::condition_variable left;
    std::unordered_map<CallbackRegistry::Key, Slot> slots GUARDED_BY(mutex);
    CallbackRegistry::Key last GUARDED_BY(mutex) = 0;
};

// Never destroyed: library threads may still look a key up while the process exits.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

}  // namespace

CallbackRegistry::Key CallbackRegistry::add(SDK* target) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    Key key = ++r.last;
    r.slots[key] = Slot{target, 0, {}};
    return key;
}

void CallbackRegistry::withdraw(Key key) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto it = r.slots.find(key);
    if (it == r.slots.end()) return;
    // References to elements survive a rehash; iterators do not.
    Slot& slot = it->second;
    slot.target = nullptr;
    while (slot.inside != 0) lock.wait(r.left);
    // The receive thread's gap after the last callback (handover.h): the stock build's pause.
    const paho::Pause pause = slot.settling.destroying();
    r.slots.erase(key);
    lock.unlock();
    pause.wait();
}

CallbackRegistry::Entry::Entry(void* context) : key(reinterpret_cast<Key>(context)) {
    Registry& r = registry();
    MutexLock lock(r.mutex);
    auto it = r.slots.find(key);
    if (it == r.slots.end() || it->second.target == nullptr) return;
    ++it->second.inside;
    target = it->second.target;
}

CallbackRegistry::Entry::~Entry() {
    if (target == nullptr) return;
    Registry& r = registry();
    MutexLock lock(r.mutex);
    Slot& slot = r.slots.at(key);
    slot.settling.callbackLeft();
    if (--slot.inside == 0 && slot.target == nullptr) r.left.notify_all();
}

}  // namespace movra
