// The reconnect worker's back-off: the wait after a whole round of the broker list has failed. It
// starts at one unit after every fresh loss, doubles after each round up to a ceiling, and with
// jitter is drawn uniformly between no wait and its value, so that a fleet that lost the same broker
// spreads its attempts. The unit is one second (InitOptions::backoffUnit); the failure line names
// the wait in units ("Retrying in <d>s").
//
// A ceiling below one unit: the first wait is still one unit, every later one is none; the line
// names the ceiling as given.
//
// Threading contract: a plain value. The SDK keeps one under reconnectMutex; init replaces it, and
// only the reconnect worker advances it.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace movra {

class Backoff {
public:
    struct Settings {
        int ceiling = 60;  // in units
        bool jitter = false;
        std::chrono::milliseconds unit{1000};
    };
    struct Wait {
        std::chrono::milliseconds length{0};
        int shown = 0;  // the units the failure line names
    };

    Backoff() : Backoff(Settings{}) {}
    explicit Backoff(Settings settings, std::uint32_t seed = std::random_device{}());

    // A fresh loss: the next wait is one unit again.
    void restart() { delay = 1; }
    // The wait after the round that has just failed; the next one is doubled, up to the ceiling.
    Wait next();

private:
    Settings settings;
    int delay = 1;  // in units; the ceiling once it is below one
    std::mt19937 source;
};

}  // namespace movra
