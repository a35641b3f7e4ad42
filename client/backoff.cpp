#include "backoff.h"

#include <algorithm>

namespace movra {

Backoff::Backoff(Settings settings_, std::uint32_t seed) : settings(settings_), source(seed) {}

Backoff::Wait Backoff::next() {
    const std::int64_t unit = settings.unit.count();
    // In 64 bits: neither a large ceiling nor a long unit can overflow.
    const std::int64_t full = delay > 0 ? unit * delay : 0;
    Wait wait{std::chrono::milliseconds(full), delay};
    if (settings.jitter && full > 0) {
        wait.length =
            std::chrono::milliseconds(std::uniform_int_distribution<std::int64_t>(0, full)(source));
        wait.shown = static_cast<int>((wait.length.count() + unit / 2) / unit);
    }
    // Once the delay is zero or negative (a ceiling below one unit) it stays at the ceiling instead
    // of doubling towards overflow.
    delay =
        delay <= 0
            ? settings.ceiling
            : static_cast<int>(std::min<std::int64_t>(std::int64_t{delay} * 2, settings.ceiling));
    return wait;
}

}  // namespace movra
