// Measures the core's QoS 1 publish rate against a local mosquitto that it starts itself:
// one SDK publishes N messages at QoS 1 (each publish returns once its PUBACK arrived), and a second
// SDK counts them in.
//
//     build/native/bench/native/qos1_rate [messages=20000] [payload bytes=64]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console_capture.h"
#include "support.h"

using namespace movra;
using namespace movra::testing;

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
    Broker broker;
    double seconds = 0;
    std::atomic<std::size_t> received{0};
    {
        ConsoleCapture quiet;  // the clients' own lines
        SDK publisher, subscriber;
        subscriber.on_message([&](const std::string&, const std::string&) { ++received; });
        connectClient(publisher, broker);
        connectClient(subscriber, broker);
        subscriber.subscribe("rate", 1);
        const std::string payload(size, 'r');
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) publisher.publish("rate", payload, 1, false);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        eventually([&] { return received >= static_cast<std::size_t>(count); }, 30s);
    }
    std::printf("QoS 1: %d publishes of %zu bytes in %.3f s = %.0f messages/s (%zu received)\n",
                count, size, seconds, count / seconds, received.load());
    return received >= static_cast<std::size_t>(count) ? 0 : 1;
}
