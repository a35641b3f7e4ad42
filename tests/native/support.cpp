#include "support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace movra::testing {

std::string uniqueClientId(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

void initClient(SDK& sdk, const Broker& broker, Settings settings) {
    initClient(sdk, broker.address(), std::move(settings));
}

void initClient(SDK& sdk, const std::string& address, Settings s) {
    if (s.clientId.empty()) s.clientId = uniqueClientId();
    sdk.init({.clientId = s.clientId,
              .brokerHost = address,
              .protocol = s.protocol,
              .username = s.username,
              .password = s.password,
              .cleanSession = s.cleanSession,
              .autoReconnect = s.autoReconnect,
              .maxReconnectInterval = s.maxReconnectInterval,
              .keepAlive = s.keepAlive,
              .connectTimeout = s.connectTimeout,
              .edition = s.edition,
              .tls = s.tls,
              .backoffUnit = s.backoffUnit});
}

void connectClient(SDK& sdk, const Broker& broker, Settings settings) {
    initClient(sdk, broker, std::move(settings));
    ASSERT_TRUE(sdk.connect());
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Inbox::add(const std::string& topic, const std::string& payload) {
    {
        std::lock_guard lock(mutex);
        received.push_back({topic, payload});
    }
    changed.notify_all();
}

MessageHandler Inbox::handler() {
    return [this](const std::string& topic, const std::string& payload) { add(topic, payload); };
}

bool Inbox::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return received.size() >= count; });
}

std::vector<Message> Inbox::messages() {
    std::lock_guard lock(mutex);
    return received;
}

std::size_t Inbox::size() {
    std::lock_guard lock(mutex);
    return received.size();
}

ConnectionHandler ConnectionLog::handler() {
    return [this](bool connected, int code) {
        {
            std::lock_guard lock(mutex);
            received.emplace_back(connected, code);
        }
        changed.notify_all();
    };
}

bool ConnectionLog::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return received.size() >= count; });
}

std::vector<std::pair<bool, int>> ConnectionLog::events() {
    std::lock_guard lock(mutex);
    return received;
}

void Flag::set() {
    {
        std::lock_guard lock(mutex);
        value = true;
    }
    changed.notify_all();
}

bool Flag::isSet() {
    std::lock_guard lock(mutex);
    return value;
}

bool Flag::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return value; });
}

}  // namespace movra::testing
