// A real mosquitto on a free 127.0.0.1 port, for the native tests and the rate program.
//
//     Broker broker;                 // started, accepting connections
//     sdk.init("id", broker.address(), "tcp", ...);
//     broker.kill();                 // dies at once (SIGKILL); the port stays this broker's
//     broker.start();                // back on the same port
//
// The configuration is generated into a private temporary directory: anonymous clients allowed, no
// persistence file, max_queued_messages 0 (no limit) unless told otherwise; `extra` adds lines. The
// destructor always kills the process, reaps it and removes the directory.
//
// Threading contract: not thread-safe; one thread (the test's) drives a Broker.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace movra::testing {

// A port on 127.0.0.1 that nothing listens on at the moment of the call.
int freePort();

class Broker {
public:
    struct Options {
        int maxQueuedMessages = 0;
        // Logs every event (connections with their user names, subscriptions...) instead of errors.
        bool verbose = false;
        std::vector<std::string> extra{};
    };

    Broker();
    explicit Broker(Options options);
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts the process (if it is not running) and returns once it accepts connections.
    void start();
    // Ends the process as a crash would (SIGKILL), or in an orderly way (SIGTERM).
    void kill();
    void stop();
    void restart();
    bool running();

    int port() const { return port_; }
    std::string host() const { return "127.0.0.1"; }
    // host:port, as init() takes it for brokerHost.
    std::string address() const;
    // Everything the broker has logged so far.
    std::string log() const;

private:
    void end(int signal);

    int port_;
    std::string dir;
    std::string configPath;
    std::string logPath;
    pid_t pid = -1;
};

}  // namespace movra::testing
