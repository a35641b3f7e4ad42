// What init takes: the client's identity, the broker, the credentials, the session and reconnection
// settings, the edition, the TLS settings and the last will. The defaults are those of the Python
// signature of init (python/module.cpp reads them from here).
//
// Threading contract: a plain value; SDK::init copies what it keeps.
#pragma once

#include <cstdint>
#include <string>

#include "tls_options.h"
#include "will_options.h"

namespace movra {

struct InitOptions {
    std::string clientId{};
    // host:port, and for WebSockets a path; the server URI is protocol + "://" + brokerHost.
    std::string brokerHost{};
    std::string protocol{};
    std::string username{};
    std::string password{};
    bool cleanSession = false;
    bool resumeSubs = true;    // accepted, not used
    bool connectRetry = true;  // accepted, not used
    // Whether the loss of a live session starts the reconnect worker.
    bool autoReconnect = true;
    int connectRetryInterval = 5;  // seconds; accepted, not used
    // Ceiling of the reconnect worker's back-off, in seconds.
    int maxReconnectInterval = 1;
    int keepAlive = 30;         // seconds
    int pingTimeout = 10;       // seconds; accepted, not used
    int writeTimeout = 10;      // seconds: the library's retry interval
    bool orderMatters = false;  // accepted, not used
    int connectTimeout = 30;    // seconds
    // "Enterprise" (exactly) sends the password as a token; any other text sends it as given.
    std::string edition = "Community";
    // Applies to the TLS schemes (usesTls).
    TlsOptions tls{};
    // The message the broker publishes for this client when its connection is lost.
    WillOptions will{};
    // The outbound pipeline (outbound.h): QoS 1/2 messages awaiting their acknowledgement at once
    // (1 to 65,535), and the messages and topic-plus-payload bytes it holds at most.
    int maxInflight = 100;
    std::int64_t maxQueued = 100000;
    std::int64_t maxQueuedBytes = std::int64_t{64} << 20;
};

}  // namespace movra
