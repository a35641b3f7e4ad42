// A listener on 127.0.0.1 that plays a broker only as far as a test needs, for conditions a real
// mosquitto cannot produce: it records the CONNECT packet byte for byte (mosquitto does not tell an
// empty user name from an absent one), can accept the session and then never acknowledge anything,
// and can cut the connection on command.
//
// Threading contract: one accepting thread of its own; every public method may be called from the
// test's thread while it runs. The destructor closes the sockets and joins the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace movra::testing {

// The fields of an MQTT 3.1.1 CONNECT packet that the tests look at.
struct ConnectPacket {
    std::uint8_t flags = 0;
    int keepAlive = 0;
    std::string clientId;
    std::optional<std::string> username;
    std::optional<std::string> password;
    bool cleanSession() const { return (flags & 0x02) != 0; }
};

class FakeBroker {
public:
    // acceptSessions: answer CONNECT with a CONNACK that accepts and keep the connection open;
    // otherwise answer with a refusal and close it.
    explicit FakeBroker(bool acceptSessions);
    ~FakeBroker();
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    // The first CONNECT received, once it has arrived.
    std::optional<ConnectPacket> waitForConnect(std::chrono::milliseconds timeout);
    // Bytes received after the CONNECT.
    std::size_t bytesAfterConnect();
    // Closes the client's connection, as a broker that goes away would.
    void cut();

private:
    void serve();
    template <typename Readable>
    void session(int fd, Readable& readable);

    bool acceptSessions;
    int listener = -1;
    int port = 0;
    std::mutex mutex;
    std::condition_variable changed;
    int connection = -1;
    bool closing = false;
    std::optional<ConnectPacket> connect;
    std::size_t afterConnect = 0;
    std::thread thread;
};

}  // namespace movra::testing
