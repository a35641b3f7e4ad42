// What init takes: the client's identity, the broker, the credentials, the session and reconnection
// settings, the edition, the TLS settings, the last will and the failover addresses. The defaults
// are those of the Python signature of init (python/module.cpp reads them from here).
//
// Threading contract: a plain value; SDK::init copies what it keeps.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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
    // Whether a connect that finds no session at the broker subscribes again to what was
    // subscribed since init, before it reports the connection (subscription_book.h).
    bool resumeSubs = true;
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
    // More host:port addresses of the same service, tried after brokerHost (broker_list.h).
    std::vector<std::string> failoverHosts{};
    // Each back-off wait of the reconnect worker drawn uniformly between zero and its value.
    bool reconnectJitter = false;
    // The length of one unit of that back-off, which starts at one unit and whose ceiling is
    // maxReconnectInterval units; a second. C++ only (the Python signature has no such argument):
    // tests shorten it.
    std::chrono::milliseconds backoffUnit{1000};
    // The outbound pipeline (outbound.h): QoS 1/2 messages awaiting their acknowledgement at once
    // (1 to 65,535), and the messages and topic-plus-payload bytes it holds at most.
    int maxInflight = 100;
    std::int64_t maxQueued = 100000;
    std::int64_t maxQueuedBytes = std::int64_t{64} << 20;
};

}  // namespace movra
