#include "callback_registry.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace movra {
namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
    SDK* target = nullptr;
    int inside = 0;
    Clock::time_point lastLeft{};
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
    // Wait until no callback for the key has been inside for the grace period. A disconnected
    // client may still be handed messages the library had queued; those callbacks are turned away
    // but counted, so the wait covers them too.
    for (;;) {
        r.left.wait(lock, [&] { return slot.inside == 0; });
        Clock::time_point quiet = slot.lastLeft + kGracePeriod;
        if (Clock::now() >= quiet) break;
        r.left.wait_until(lock, quiet, [&] { return slot.inside != 0; });
    }
    // The slot stays, empty, so that a late callback still finds the key withdrawn.
}

CallbackRegistry::Entry::Entry(void* context) : key(reinterpret_cast<Key>(context)) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.slots.find(key);
    if (it == r.slots.end()) return;
    counted = true;
    ++it->second.inside;
    target = it->second.target;
}

CallbackRegistry::Entry::~Entry() {
    if (!counted) return;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Slot& slot = r.slots.at(key);
    slot.lastLeft = Clock::now();
    if (--slot.inside == 0) r.left.notify_all();
}

}  // namespace movra
