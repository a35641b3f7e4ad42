// Helpers shared by the native tests: configuring an SDK against a test broker, collecting what
// the handlers receive, and waiting for a condition with a generous deadline.
//
// Threading contract: Inbox and Flag are thread-safe (handlers fill them on the dispatch thread, the
// test reads them); the rest is called from the test's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "broker.h"
#include "sdk.h"

namespace movra::testing {

using namespace std::chrono_literals;

// The deadline for things that normally take milliseconds; only a failure waits it out.
constexpr std::chrono::milliseconds kPatience = 20s;

struct Settings {
    std::string clientId{};  // empty: a fresh unique identifier
    std::string protocol = "tcp";
    std::string username{};
    std::string password{};
    bool cleanSession = true;
    bool autoReconnect = false;
    int maxReconnectInterval = 60;
    std::chrono::milliseconds backoffUnit = 1s;
    int keepAlive = 60;
    int connectTimeout = 5;
    std::string edition = "Standard";
    TlsOptions tls{};
};

// A client identifier no other test process uses.
std::string uniqueClientId(const std::string& prefix = "native");

void initClient(SDK& sdk, const std::string& address, Settings settings = {});
void initClient(SDK& sdk, const Broker& broker, Settings settings = {});
// init + connect; fails the test when the connection cannot be made.
void connectClient(SDK& sdk, const Broker& broker, Settings settings = {});

// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = kPatience);

struct Message {
    std::string topic;
    std::string payload;
    bool operator==(const Message&) const = default;
};

// Collects messages; usable directly as a MessageHandler through handler().
class Inbox {
public:
    void add(const std::string& topic, const std::string& payload);
    MessageHandler handler();
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = kPatience);
    std::vector<Message> messages();
    std::size_t size();

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Message> received;
};

// Collects connection notifications; usable directly as a ConnectionHandler through handler().
class ConnectionLog {
public:
    ConnectionHandler handler();
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = kPatience);
    std::vector<std::pair<bool, int>> events();

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<bool, int>> received;
};

// A one-shot signal between threads.
class Flag {
public:
    void set();
    bool isSet();
    bool wait(std::chrono::milliseconds timeout = kPatience);

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool value = false;
};

class Stopwatch {
public:
    Stopwatch() : start(std::chrono::steady_clock::now()) {}
    std::chrono::milliseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }

private:
    std::chrono::steady_clock::time_point start;
};

}  // namespace movra::testing
