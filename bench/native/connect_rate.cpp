// The transport layer's two figures for the core, against a local mosquitto that it starts itself:
// connect + disconnect cycles per second of one SDK with a message handler set, and the time of a
// QoS 1 publish made right after a QoS 0 one (the broker's delayed ACK, 40 ms and more, when the
// QoS 0 publish left Nagle's algorithm on).
//
//     build/native/tests/native/connect_rate [seconds=1] [rounds=200]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "console_capture.h"
#include "support.h"

using namespace movra;
using namespace movra::testing;

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
    using Clock = std::chrono::steady_clock;
    Broker broker;
    long cycles = 0;
    double elapsed = 0;
    std::vector<double> mixed;
    {
        ConsoleCapture quiet;  // the clients' own lines
        SDK sdk;
        sdk.on_message([](const std::string&, const std::string&) {});
        initClient(sdk, broker);
        const auto start = Clock::now();
        do {
            if (!sdk.connect()) return 1;
            sdk.disconnect();
            ++cycles;
            elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        } while (elapsed < seconds);

        if (!sdk.connect()) return 1;
        for (int i = 0; i < rounds; ++i) {
            sdk.publish("figures/mixed", "q0", 0, false);
            const auto sent = Clock::now();
            sdk.publish("figures/mixed", "q1", 1, false);
            mixed.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        }
        sdk.stop();
    }
    std::sort(mixed.begin(), mixed.end());
    std::printf("connect + disconnect: %ld cycles in %.3f s = %.0f/s\n", cycles, elapsed,
                cycles / elapsed);
    std::printf("QoS 1 publish after a QoS 0 one: p50 %.3f ms, p99 %.3f ms (%d rounds)\n",
                mixed[mixed.size() / 2], mixed[(mixed.size() * 99) / 100], rounds);
    return 0;
}
